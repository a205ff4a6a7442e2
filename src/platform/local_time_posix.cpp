/* POSIX side of local time: localtime_r and the C library's zone names. */
#include "platform/local_time.h"

#include <string.h>

namespace qv {
namespace platform {

bool LocalTimeOf(int64_t timeSeconds, struct tm *result)
{
   time_t t = static_cast<time_t>(timeSeconds);
   if (localtime_r(&t, result) != nullptr)
      return true;
   memset(result, 0, sizeof(*result));
   return false;
}

void TimeZoneNames(const char **standardName, const char **daylightName)
{
   tzset();
   *standardName = tzname[0];
   *daylightName = tzname[1];
}

}  // namespace platform
}  // namespace qv
