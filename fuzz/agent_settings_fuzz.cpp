/* Fuzz target for the agent's settings: the input is the agent's INI file. A file read
 * without errors gives settings within their limits; a file with errors names each one. */
#include "agent_settings.h"
#include "config_fuzz_input.h"

namespace {

volatile size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::wstring file = qvfuzz::InputFile(data, size, ".ini");
   Config config(false);
   config.loadIniConfig(file.c_str(), L"agent", false);
   agent::AgentSettings settings;
   std::vector<std::string> errors;
   bool ok = agent::ReadAgentSettings(config, "agent.ini", &settings, &errors);
   qvfuzz::Check(ok == errors.empty());
   if (ok)
   {
      qvfuzz::Check(!settings.keyFile.empty());
      qvfuzz::Check(settings.minWorkers <= settings.maxWorkers && settings.maxWorkers >= 1);
      qvfuzz::Check(settings.logHistory >= 0 && settings.logHistory <= QVLOG_MAX_HISTORY_SIZE);
      for (const InetAddress &peer : settings.allowedPeers)
         qvfuzz::Check(peer.isValid());
      for (const agent::ScheduleSetting &s : settings.schedules)
         qvfuzz::Check(!s.schedule.empty());
   }
   for (const std::string &e : errors)
      g_sink += e.size();
   g_sink += settings.schedules.size() + settings.debugTags.size();
   qvfuzz::RemoveInputFile(file);
   return 0;
}
