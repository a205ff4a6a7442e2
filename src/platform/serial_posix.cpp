/* Serial lines on POSIX terminal devices: a non-blocking descriptor whose reads and writes
 * wait with poll (millisecond time-outs of any length), termios settings from
 * serial_settings.h, TIOCEXCL for exclusive use. */
#include "platform/serial_line.h"

#include "platform/serial_settings.h"
#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qv {
namespace platform {

namespace {

/* Waits for the descriptor until deadline (monotonic milliseconds): 1 ready, with the
 * events in *revents, 0 when the time passed, -1 when the wait failed. */
int WaitFor(int fd, short events, uint64_t deadline, short *revents)
{
   for (;;)
   {
      uint64_t now = MonotonicMs();
      uint64_t left = (now < deadline) ? deadline - now : 0;
      struct pollfd entry = {fd, events, 0};
      int rc = poll(&entry, 1, static_cast<int>((left > INT_MAX) ? INT_MAX : left));
      if (rc < 0 && errno == EINTR)
         continue;
      if (rc == 0 && MonotonicMs() < deadline)
         continue;
      if (rc > 0 && (entry.revents & POLLNVAL))
      {
         errno = EBADF;
         return -1;
      }
      *revents = entry.revents;
      return rc;
   }
}

/* One read of what is there, waiting until deadline for the first byte: the bytes read,
 * 0 when the time passed, -1 when the line failed or hung up. A terminal without a
 * minimum count reads 0 bytes both when nothing is there and when it hung up, so the wait
 * tells the two apart. */
int ReadSome(int fd, char *buffer, size_t size, uint64_t deadline)
{
   for (;;)
   {
      short revents = 0;
      int rc = WaitFor(fd, POLLIN, deadline, &revents);
      if (rc <= 0)
         return rc;
      ssize_t n = ::read(fd, buffer, size);
      if (n > 0)
         return static_cast<int>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
         return -1;
      if (revents & (POLLHUP | POLLERR))
      {
         errno = EIO;
         return -1;
      }
   }
}

}  // namespace

int SerialOpen(const char *path)
{
   int fd;
   do
      fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   if (fd < 0)
      return -1;
   // Exclusive use: later opens by others fail (a device that is no terminal has no such
   // mode and is used as it is).
   ioctl(fd, TIOCEXCL);
   return fd;
}

void SerialClose(int fd)
{
   if (fd >= 0)
      ::close(fd);
}

bool SerialApply(int fd, const SerialLineSettings &settings)
{
   struct termios tio;
   if (tcgetattr(fd, &tio) != 0)
      return false;
   if (!BuildSerialTermios(&tio, settings))
   {
      errno = EINVAL;
      return false;
   }
   if (tcsetattr(fd, TCSANOW, &tio) != 0)
      return false;
   // Raised DTR and RTS tell the device that the computer is ready; lines without them
   // (pseudo-terminals) refuse the call, which does not matter.
   int lines = TIOCM_DTR | TIOCM_RTS;
   ioctl(fd, TIOCMBIS, &lines);
   return true;
}

int SerialRead(int fd, void *buffer, size_t size, uint32_t timeout)
{
   if (size > INT_MAX)
      size = INT_MAX;
   return ReadSome(fd, static_cast<char *>(buffer), size, MonotonicMs() + timeout);
}

int SerialReadAll(int fd, void *buffer, size_t size, uint32_t timeout)
{
   if (size > INT_MAX)
      size = INT_MAX;
   char *next = static_cast<char *>(buffer);
   size_t got = 0;
   uint64_t deadline = MonotonicMs() + timeout;
   while (got < size)
   {
      int n = ReadSome(fd, next + got, size - got, deadline);
      // What came before a failure is returned; the next read reports the failure.
      if (n < 0)
         return (got > 0) ? static_cast<int>(got) : -1;
      if (n == 0)
         break;
      got += static_cast<size_t>(n);
   }
   return static_cast<int>(got);
}

ptrdiff_t SerialWrite(int fd, const void *data, size_t size, uint32_t timeout)
{
   const char *next = static_cast<const char *>(data);
   size_t written = 0;
   uint64_t deadline = MonotonicMs() + timeout;
   while (written < size)
   {
      ssize_t n = ::write(fd, next + written, size - written);
      if (n > 0)
      {
         written += static_cast<size_t>(n);
         continue;
      }
      if (n < 0 && errno == EINTR)
         continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
         return -1;
      short revents = 0;
      int rc = WaitFor(fd, POLLOUT, deadline, &revents);
      if (rc < 0)
         return -1;
      if (rc == 0)
         break;
   }
   return static_cast<ptrdiff_t>(written);
}

void SerialDrain(int fd)
{
   while (tcdrain(fd) != 0 && errno == EINTR)
   {}
}

}  // namespace platform
}  // namespace qv
