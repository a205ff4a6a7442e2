/* Random bytes from getrandom(2), or from /dev/urandom where the call is missing or refused
 * (old kernels, system call filters). */
#include "platform/random.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

/* Device read when getrandom cannot be used. */
const char *const RANDOM_DEVICE = "/dev/urandom";

/* Calls read(p, count) until size bytes are filled, retrying interrupted calls; returns the
 * bytes filled, fewer when read fails or has nothing more. */
template <typename Read> size_t Fill(unsigned char *p, size_t size, Read read)
{
   size_t done = 0;
   while (done < size)
   {
      ssize_t n = read(p + done, size - done);
      if (n > 0)
         done += static_cast<size_t>(n);
      else if (n == 0 || errno != EINTR)
         break;
   }
   return done;
}

bool FillFromDevice(unsigned char *p, size_t size)
{
   int fd;
   do
      fd = open(RANDOM_DEVICE, O_RDONLY | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   if (fd < 0)
      return false;
   size_t done = Fill(p, size, [fd](unsigned char *at, size_t count) { return read(fd, at, count); });
   close(fd);
   return done == size;
}

}  // namespace

namespace qv {
namespace platform {

bool RandomBytes(void *buffer, size_t size)
{
   unsigned char *p = static_cast<unsigned char *>(buffer);
   size_t done = Fill(p, size, [](unsigned char *at, size_t count) { return getrandom(at, count, 0); });
   return done == size || FillFromDevice(p + done, size - done);
}

}  // namespace platform
}  // namespace qv
