/* Internal cheap clock for statistics on hot paths. No OS header appears here; the POSIX
 * side is coarse_clock_posix.cpp. */
#ifndef QORVEL_PLATFORM_COARSE_CLOCK_H
#define QORVEL_PLATFORM_COARSE_CLOCK_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Milliseconds of a monotonic clock that is cheap to read but advances in steps of a few
 * milliseconds (the scheduler tick). For measuring, not for deadlines. */
uint64_t MonotonicCoarseMs();

}  // namespace platform
}  // namespace qv

#endif
