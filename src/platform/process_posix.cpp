/* Process identity on POSIX. */
#include "platform/process.h"

#include <unistd.h>

namespace qv {
namespace platform {

uint32_t CurrentProcessId()
{
   return static_cast<uint32_t>(getpid());
}

}  // namespace platform
}  // namespace qv
