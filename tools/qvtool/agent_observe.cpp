/* The library figures that the agent reports and changes. */
#include "agent_server.h"

namespace agent {

Table *LibraryMetricsTable()
{
   return nullptr;
}

void SetDebugLevelFor(const wchar_t *tag, int32_t level, uint32_t seconds)
{
   (void)seconds;
   qvlog_set_debug_level_tag(tag, level);
}

void ApplyLibraryLimits(const AgentSettings &settings, ThreadPool *pool)
{
   (void)settings;
   (void)pool;
}

}  // namespace agent
