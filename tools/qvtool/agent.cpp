/* qvtool agent: loads the agent's configuration, opens its log, starts AgentServer and
 * serves until SIGTERM or SIGINT. SIGHUP loads the configuration again: a configuration
 * that loads without errors takes effect, one with errors is reported with file and line
 * and the last good one stays. Prints "agent listening on port N" when it accepts
 * connections, so that scripts and tests can wait for that line. */
#include "agent_server.h"
#include "qvtool.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* Codes of the log's message texts: debug lines, tagged debug lines, generic lines. */
constexpr uint32_t MSG_DEBUG = 1;
constexpr uint32_t MSG_DEBUG_TAGGED = 2;
constexpr uint32_t MSG_GENERIC = 3;

const QVLOG_MESSAGE_TEXT LOG_TEXTS[] = {
    {MSG_DEBUG, L"%1"},
    {MSG_DEBUG_TAGGED, L"[%1] %2"},
    {MSG_GENERIC, L"%1"},
};

const CommandOption OPTIONS[] = {
    {"config", required_argument, 'c', "FILE", "the agent's configuration (INI)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const char NOTES[] =
    "configuration, section [agent]:\n"
    "  Port = 4700                 TCP port on IPv4 and IPv6 (0: any free port)\n"
    "  ListenAddress = ADDRESS     address to listen on (default: every address)\n"
    "  KeyFile = FILE              RSA key pair made with qvtool keygen (required)\n"
    "  AllowedPeer = ADDR[/BITS]   peers that may connect, repeatable; * for all (default: loopback)\n"
    "  LogFile = FILE              log file; LogRotation = never|daily|size, LogMaxSize = 10M, LogHistory = 4\n"
    "  DebugTag = TAG=LEVEL        debug level of a tag, repeatable (* for the default level)\n"
    "  MinWorkers = 1, MaxWorkers = 16   limits of the worker pool\n"
    "  MaxSessions = 64            connections served at once; more are closed at once\n"
    "  AllowExec = no              whether clients may run commands\n"
    "  FileRoot = DIR              directory of get-file and put-file (default: no transfers)\n"
    "  MaxTransferRate = 0         bytes per second of one transfer, such as 512K (0: no limit)\n"
    "  DebugRateLimit = 0          debug lines per second and tag (0: no limit)\n"
    "  StuckTaskThreshold = 0      milliseconds after which a running request is reported (0: off)\n"
    "section [schedules]: NAME = \"MINUTE HOUR DAY MONTH WEEKDAY\", one per schedule\n"
    "signals: SIGHUP reloads the configuration, SIGTERM and SIGINT stop the agent\n";

const CommandSyntax SYNTAX = {"agent", "--config FILE", "serve qvtool call clients as configured",
                              OPTIONS, false,           NOTES};

/* Prints the configuration's error records from index first on. */
void PrintConfigErrors(const Config &config, int32_t first, const char *prefix)
{
   for (int32_t i = first; i < config.getErrorRecordCount(); i++)
   {
      const ConfigError *e = config.getErrorRecord(i);
      char *file = UTF8StringFromWideString(e->file);
      char *message = UTF8StringFromWideString(e->message);
      if (file != nullptr && file[0] != 0 && e->line > 0)
         fprintf(stderr, "%s%s:%d: %s\n", prefix, file, e->line, (message != nullptr) ? message : "");
      else if (file != nullptr && file[0] != 0)
         fprintf(stderr, "%s%s: %s\n", prefix, file, (message != nullptr) ? message : "");
      else
         fprintf(stderr, "%s%s\n", prefix, (message != nullptr) ? message : "");
      free(file);
      free(message);
   }
}

void PrintErrors(const std::vector<std::string> &errors, const char *prefix)
{
   for (const std::string &e : errors)
      fprintf(stderr, "%s%s\n", prefix, e.c_str());
}

/* The debug levels of the configuration: the earlier settings go, the new ones come. */
void ApplyDebugTags(const agent::AgentSettings &settings)
{
   qvlog_reset_debug_level_tags();
   for (const auto &tag : settings.debugTags)
      qvlog_set_debug_level_tag(tag.first.c_str(), tag.second);
}

bool OpenLog(const agent::AgentSettings &settings)
{
   if (settings.logFile.empty())
      return true;
   qvlog_register_message_table(LOG_TEXTS, sizeof(LOG_TEXTS) / sizeof(LOG_TEXTS[0]));
   if (!qvlog_open(settings.logFile.c_str(), QVLOG_ASYNC, L"qvtool-agent", 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED,
                   MSG_GENERIC))
      return false;
   qvlog_set_rotation_policy(settings.logRotation, settings.logMaxSize, settings.logHistory, nullptr);
   return true;
}

}  // namespace

int CommandAgent(int argc, char **argv)
{
   const char *configFile = nullptr;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      if (args.key() == 'c')
         configFile = args.value();
      else
         return args.usage();
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 0 || configFile == nullptr)
      return args.fail("the configuration file is required (--config FILE)");

   // The signals are taken by sigwait below: every thread started from here on has them
   // blocked, so none of them is interrupted by one.
   sigset_t signals;
   sigemptyset(&signals);
   sigaddset(&signals, SIGHUP);
   sigaddset(&signals, SIGTERM);
   sigaddset(&signals, SIGINT);
   pthread_sigmask(SIG_BLOCK, &signals, nullptr);

   InitQorvelProcess();
   wchar_t *wideFile = WideStringFromUTF8String(configFile);
   Config config;
   bool loaded = config.loadConfig(wideFile, L"agent", false);
   free(wideFile);
   if (!loaded || config.getErrorCount() > 0)
   {
      PrintConfigErrors(config, 0, "qvtool agent: ");
      fprintf(stderr, "qvtool agent: %s: the configuration has errors; correct them and start again\n", configFile);
      return 1;
   }
   agent::AgentSettings settings;
   std::vector<std::string> errors;
   if (!agent::ReadAgentSettings(config, configFile, &settings, &errors))
   {
      PrintErrors(errors, "qvtool agent: ");
      fprintf(stderr, "qvtool agent: %s: the configuration has errors; correct them and start again\n", configFile);
      return 1;
   }

   InitCryptoLib(QVCP_ALL_CIPHERS);
   RSA_KEY key = LoadRSAKeys(settings.keyFile.c_str());
   if (key == nullptr)
   {
      char *name = UTF8StringFromWideString(settings.keyFile.c_str());
      fprintf(stderr, "qvtool agent: cannot load the key file \"%s\"; make one with qvtool keygen\n", name);
      free(name);
      return 1;
   }
   if (!OpenLog(settings))
   {
      char *name = UTF8StringFromWideString(settings.logFile.c_str());
      fprintf(stderr, "qvtool agent: cannot open the log file \"%s\"; check LogFile\n", name);
      free(name);
      RSAFree(key);
      return 1;
   }
   ApplyDebugTags(settings);

   int result = 0;
   {
      agent::AgentServer server;
      std::string error;
      if (!server.start(settings, key, &error))
      {
         fprintf(stderr, "qvtool agent: %s; check Port and ListenAddress\n", error.c_str());
         result = 1;
      }
      else
      {
         qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"agent listening on port %u", server.port());
         printf("agent listening on port %u\n", server.port());
         fflush(stdout);
         while (true)
         {
            int signal = 0;
            if (sigwait(&signals, &signal) != 0)
               continue;
            if (signal != SIGHUP)
               break;
            int32_t firstError = config.getErrorRecordCount();
            agent::AgentSettings reloaded;
            errors.clear();
            if (config.reload() && agent::ReadAgentSettings(config, configFile, &reloaded, &errors))
            {
               server.updateSettings(reloaded);
               ApplyDebugTags(reloaded);
               qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"configuration reloaded");
               printf("configuration reloaded\n");
            }
            else
            {
               PrintConfigErrors(config, firstError, "qvtool agent: ");
               PrintErrors(errors, "qvtool agent: ");
               qvlog_write_generic(EVENTLOG_WARNING_TYPE,
                                   L"configuration not reloaded: it has errors; the last good one stays");
               printf("configuration not reloaded: it has errors; the last good one stays\n");
            }
            fflush(stdout);
         }
         server.stop();
         qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"agent stopped");
         printf("agent stopped\n");
      }
   }
   qvlog_close();
   RSAFree(key);
   return result;
}
