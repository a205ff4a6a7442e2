/* POSIX side of the coarse clock: the kernel's tick-resolution monotonic clock, read
 * without a hardware counter. */
#include "platform/coarse_clock.h"

#include <time.h>

namespace {
constexpr uint64_t MS_PER_SECOND = 1000;
constexpr uint64_t NS_PER_MS = 1000000;
}  // namespace

namespace qv {
namespace platform {

uint64_t MonotonicCoarseMs()
{
   struct timespec now;
#ifdef CLOCK_MONOTONIC_COARSE
   clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
   clock_gettime(CLOCK_MONOTONIC, &now);
#endif
   return static_cast<uint64_t>(now.tv_sec) * MS_PER_SECOND + static_cast<uint64_t>(now.tv_nsec) / NS_PER_MS;
}

}  // namespace platform
}  // namespace qv
