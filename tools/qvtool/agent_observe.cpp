/* The library figures that the agent reports and changes: the registry of the library's
 * own figures, expiring debug changes, debug flood control and the pool's watchdog. */
#include "agent_server.h"

#include <jansson.h>
#include <stdlib.h>

namespace agent {

Table *LibraryMetricsTable()
{
   return GetLibraryMetrics();
}

std::string LibraryMetricsJson()
{
   json_t *doc = GetLibraryMetricsAsJson();
   if (doc == nullptr)
      return std::string();
   char *text = json_dumps(doc, JSON_COMPACT);
   json_decref(doc);
   std::string result = (text != nullptr) ? text : "";
   free(text);
   return result;
}

void SetDebugLevelFor(const wchar_t *tag, int32_t level, uint32_t seconds)
{
   if (seconds > 0)
      qvlog_set_debug_level_tag_for(tag, level, seconds);
   else
      qvlog_set_debug_level_tag(tag, level);
}

void ApplyLibraryLimits(const AgentSettings &settings, ThreadPool *pool)
{
   qvlog_set_debug_rate_limit(settings.debugRateLimit);
   ThreadPoolSetStuckTaskThreshold(pool, settings.stuckTaskMs);
}

}  // namespace agent
