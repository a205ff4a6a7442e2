/* Internal hook through which every thread the library starts runs its body. */
#ifndef QORVEL_PLATFORM_CRASH_FRAME_H
#define QORVEL_PLATFORM_CRASH_FRAME_H

namespace qv {
namespace platform {

/* Runs entry(arg) on the calling thread inside the crash handler's frame. The crash handler
 * installs its per-thread state and fault handling here, and a fault it accepts ends the
 * process with exit code 99; until it exists this just calls the body. */
void RunInCrashFrame(void (*entry)(void *arg), void *arg);

}  // namespace platform
}  // namespace qv

#endif
