/* POSIX side of the log writer's platform services: strerror_r with the C library's list
 * of known codes, log files opened close-on-exec. */
#include "platform/log_support.h"

#include <qv_strings.h>

#include <string.h>

namespace qv {
namespace platform {

bool SystemErrorText(uint32_t code, char *buffer, size_t size)
{
   int error = static_cast<int>(code);
   // Only codes the C library has a name for have a real text; for the others it would
   // make up "Unknown error N".
   if (error < 0 || strerrorname_np(error) == nullptr || size == 0)
      return false;
   // The GNU form returns the text, which need not be in the buffer.
   const char *text = strerror_r(error, buffer, size);
   if (text != buffer)
      strlcpy(buffer, text, size);
   return true;
}

FILE *OpenLogFile(const char *name, bool truncate)
{
   return fopen(name, truncate ? "we" : "ae");
}

int LogFileDescriptor(FILE *file)
{
   return fileno_unlocked(file);
}

}  // namespace platform
}  // namespace qv
