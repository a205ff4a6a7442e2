/* Putting the calling thread to sleep for a while, without an OS header. */
#ifndef QORVEL_PLATFORM_SLEEP_H
#define QORVEL_PLATFORM_SLEEP_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Sleeps for ms milliseconds (the whole time, also when a signal interrupts the sleep). */
void SleepMs(uint32_t ms);

}  // namespace platform
}  // namespace qv

#endif
