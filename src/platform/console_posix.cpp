/* Terminal facts on POSIX: isatty and the termios echo flag. */
#include "platform/console.h"

#include <errno.h>
#include <termios.h>
#include <unistd.h>

namespace qv {
namespace platform {

bool StreamIsTerminal(FILE *stream)
{
   if (stream == nullptr)
      return false;
   int fd = fileno(stream);
   return fd >= 0 && isatty(fd) == 1;
}

bool SetStandardInputEcho(bool on, bool *wasOn)
{
   struct termios mode;
   if (tcgetattr(STDIN_FILENO, &mode) != 0)
      return false;
   if (wasOn != nullptr)
      *wasOn = (mode.c_lflag & ECHO) != 0;
   if (on)
      mode.c_lflag |= ECHO;
   else
      mode.c_lflag &= ~static_cast<tcflag_t>(ECHO);
   // Typed-ahead input stays: nothing the user typed is thrown away.
   int result;
   do
      result = tcsetattr(STDIN_FILENO, TCSANOW, &mode);
   while (result != 0 && errno == EINTR);
   return result == 0;
}

}  // namespace platform
}  // namespace qv
