/* Internal platform services of local time: broken-down local time and the names of the
 * local time zone. No OS header appears here; the POSIX side is local_time_posix.cpp. */
#ifndef QORVEL_PLATFORM_LOCAL_TIME_H
#define QORVEL_PLATFORM_LOCAL_TIME_H

#include <qv_base.h>

#include <time.h>

namespace qv {
namespace platform {

/* Local broken-down time of timeSeconds (seconds since the Unix epoch); thread-safe.
 * Returns false and leaves result all zero when the time cannot be converted. */
bool LocalTimeOf(int64_t timeSeconds, struct tm *result);

/* The names of the local time zone without and with daylight saving time (e.g. "CET"
 * and "CEST"), as the run-time knows them after reading the zone settings. The texts
 * stay valid until the zone settings change. */
void TimeZoneNames(const char **standardName, const char **daylightName);

}  // namespace platform
}  // namespace qv

#endif
