/* The frame every library thread runs its body in (see crash_frame.h). */
#include "platform/crash_frame.h"

namespace qv {
namespace platform {

void RunInCrashFrame(void (*entry)(void *arg), void *arg)
{
   // The crash handler's frame goes around this call: alternate signal stack for the
   // thread, fault handlers that write the report and exit with code 99.
   entry(arg);
}

}  // namespace platform
}  // namespace qv
