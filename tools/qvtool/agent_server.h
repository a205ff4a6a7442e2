/* The server side of qvtool agent, kept apart from the command so that a benchmark or a
 * test can run an agent inside its own process: AgentServer, which listens, agrees a session key with every client
 * and serves its requests on a thread pool, one request at a time per connection. */
#ifndef QVTOOL_AGENT_SERVER_H
#define QVTOOL_AGENT_SERVER_H

#include "agent_settings.h"

#include <qorvel.h>

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace agent {

/* The library figures that the agent reports and changes: the registry of the library's
 * own figures as a table (null when it cannot be read; the caller releases it), a debug
 * level change that expires after seconds (0: one that stays), and the limits of debug
 * output and of stuck pool work. */
Table *LibraryMetricsTable();
/* The same figures as compact JSON text; empty when they cannot be read. */
std::string LibraryMetricsJson();
void SetDebugLevelFor(const wchar_t *tag, int32_t level, uint32_t seconds);
void ApplyLibraryLimits(const AgentSettings &settings, ThreadPool *pool);

struct Session;
class AgentListener;

/* Figures of a running agent. */
struct AgentCounters
{
   uint64_t requests;
   uint64_t sessions;          // sessions set up since the start
   uint64_t failedHandshakes;  // connections that never agreed a key
   uint32_t activeSessions;
   uint32_t acceptedConnections;
   uint32_t rejectedConnections;
};

class AgentServer
{
public:
   AgentServer();
   /* Stops the server when it runs. */
   ~AgentServer();
   AgentServer(const AgentServer &) = delete;
   AgentServer &operator=(const AgentServer &) = delete;

   /* Creates the worker pool "AGENT", binds the port (IPv4 and IPv6) and starts to
    * accept. key is the agent's RSA key pair, not owned: it must live until stop. False
    * with the reason in *error when the pool or the listener cannot be made. */
   bool start(const AgentSettings &settings, RSA_KEY key, std::string *error);
   /* The port the agent listens on (the free port chosen for port 0). */
   uint16_t port() const { return m_port; }
   /* Takes the settings that apply while running (peers, commands, schedules, transfer
    * root and rate, debug limits); the port, address and worker limits stay until a
    * restart, which is written to the log when they differ. */
   void updateSettings(const AgentSettings &settings);
   std::shared_ptr<const AgentSettings> settings() const;
   /* Stops accepting, closes every session and waits for their requests to end. */
   void stop();

   AgentCounters counters() const;
   /* Counts a request taken from a client. */
   void countRequest() { m_requests.fetch_add(1, std::memory_order_relaxed); }

private:
   friend class AgentListener;
   friend struct Session;
   friend void RunRequest(void *arg);

   mutable std::mutex m_lock;  // guards the settings pointer and the session lists
   std::shared_ptr<const AgentSettings> m_settings;
   RSA_KEY m_key = nullptr;
   ThreadPool *m_pool = nullptr;
   AgentListener *m_listener = nullptr;
   qorvel_thread_t *m_listenerThread = nullptr;
   uint16_t m_port = 0;
   int64_t m_startTime = 0;
   std::condition_variable m_sessionsChanged;      // a reader left m_sessions
   std::vector<Session *> m_sessions;              // sessions whose reader runs
   std::vector<qorvel_thread_t *> m_endedReaders;  // readers that ended, to be waited for
   std::atomic<uint64_t> m_requests{0};
   std::atomic<uint64_t> m_sessionCount{0};
   std::atomic<uint64_t> m_failedHandshakes{0};
   uint32_t m_nextSession = 0;

   bool isPeerAllowed(const InetAddress &peer);
   void startSession(SOCKET s, const InetAddress &peer);
   void reapEndedReaders();
   void sessionEnded(Session *session);
};

}  // namespace agent

#endif
