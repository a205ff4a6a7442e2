/* The settings of qvtool agent as its configuration gives them: every entry of the
 * sections [agent] and [schedules], checked, with the file and line of each problem. */
#ifndef QVTOOL_AGENT_SETTINGS_H
#define QVTOOL_AGENT_SETTINGS_H

#include <qorvel.h>

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace agent {

/* Port of an agent whose configuration names none. */
constexpr uint16_t DEFAULT_PORT = 4700;

/* One configured schedule: its name and its five fields. */
struct ScheduleSetting
{
   std::wstring name;
   std::wstring schedule;
};

/* Everything the configuration says, with the defaults of a missing entry. */
struct AgentSettings
{
   uint16_t port = DEFAULT_PORT;           // 0: any free port
   std::wstring listenAddress;             // empty: every local address
   std::wstring keyFile;                   // the RSA key pair written by qvtool keygen
   std::vector<InetAddress> allowedPeers;  // subnets; empty: loopback only
   bool allowEveryPeer = false;
   std::wstring logFile;  // empty: no log file
   int32_t logRotation = QVLOG_ROTATE_NEVER;
   uint64_t logMaxSize = 0;
   int32_t logHistory = 4;
   std::vector<std::pair<std::wstring, int32_t>> debugTags;  // "*" is the default level
   int32_t minWorkers = 1;
   int32_t maxWorkers = 16;
   uint32_t maxSessions = 64;  // connections served at once; more are closed at once
   bool allowExec = false;
   std::wstring fileRoot;         // directory of get-file and put-file; empty: no transfers
   uint64_t maxTransferRate = 0;  // bytes per second of one transfer; 0: no limit
   uint32_t debugRateLimit = 0;   // debug lines per second and tag; 0: no limit
   uint32_t stuckTaskMs = 0;      // report requests running longer; 0: off
   std::vector<ScheduleSetting> schedules;
};

/* Reads the settings of a loaded configuration ([agent] and [schedules]) into *settings.
 * False when an entry is wrong; each problem is appended to *errors as "FILE:LINE: what
 * is wrong" (fileName, UTF-8, names the file of a required entry that is missing). */
bool ReadAgentSettings(const Config &config, const char *fileName, AgentSettings *settings,
                       std::vector<std::string> *errors);

}  // namespace agent

#endif
