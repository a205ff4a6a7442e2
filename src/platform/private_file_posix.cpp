/* Files readable by their owner only, made with open(2) so that the access rule holds from
 * the moment the file exists. */
#include "platform/private_file.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

/* Read and write for the owner only. */
constexpr mode_t PRIVATE_MODE = 0600;

}  // namespace

namespace qv {
namespace platform {

FILE *CreatePrivateFile(const char *name)
{
   int fd;
   do
      fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, PRIVATE_MODE);
   while (fd < 0 && errno == EINTR);
   if (fd < 0)
      return nullptr;
   FILE *file = fdopen(fd, "wb");
   if (file == nullptr)
      close(fd);
   return file;
}

}  // namespace platform
}  // namespace qv
