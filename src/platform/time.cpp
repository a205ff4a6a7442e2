/* Wall-clock time for the whole library. */
#include <qv_base.h>

#include <time.h>

namespace {
constexpr int64_t MS_PER_SECOND = 1000;
constexpr int64_t NS_PER_MS = 1000000;
}  // namespace

QV_API int64_t GetCurrentTimeMs(void)
{
   struct timespec ts;
   clock_gettime(CLOCK_REALTIME, &ts);
   return static_cast<int64_t>(ts.tv_sec) * MS_PER_SECOND + ts.tv_nsec / NS_PER_MS;
}
