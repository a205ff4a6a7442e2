/* Sleeping with nanosleep, resumed after signals. */
#include "platform/sleep.h"

#include <errno.h>
#include <time.h>

namespace {
constexpr uint32_t MS_PER_SECOND = 1000;
constexpr long NS_PER_MS = 1000000;
}  // namespace

namespace qv {
namespace platform {

void SleepMs(uint32_t ms)
{
   struct timespec rest;
   rest.tv_sec = ms / MS_PER_SECOND;
   rest.tv_nsec = static_cast<long>(ms % MS_PER_SECOND) * NS_PER_MS;
   while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
   {}
}

}  // namespace platform
}  // namespace qv
