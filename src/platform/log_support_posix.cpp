/* POSIX side of the log writer's platform services: strerror_r with the C library's list
 * of known codes, log files opened close-on-exec, and appends of whole lines that a full
 * disk cuts back with ftruncate. */
#include "platform/log_support.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

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
   {
      size_t length = strnlen(text, size - 1);
      memcpy(buffer, text, length);
      buffer[length] = 0;
   }
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

size_t AppendLogLines(FILE *file, const char *bytes, size_t count, size_t atLeast, int *error)
{
   int fd = fileno(file);
   fflush(file);
   size_t written = 0;
   while (written < count)
   {
      ssize_t n = write(fd, bytes + written, count - written);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
      {
         *error = (n < 0) ? errno : ENOSPC;
         break;
      }
      written += static_cast<size_t>(n);
   }
   if (written == count)
      return count;
   size_t kept = written;
   while (kept > 0 && bytes[kept - 1] != '\n')
      kept--;
   if (kept < atLeast)
      kept = 0;
   if (kept < written)
   {
      // The file is open for appending, so its offset is the end of what went in.
      off_t end = lseek(fd, 0, SEEK_CUR);
      if (end < 0 || ftruncate(fd, end - static_cast<off_t>(written - kept)) != 0)
         return written;  // a part the system would not let go of
   }
   return kept;
}

}  // namespace platform
}  // namespace qv
