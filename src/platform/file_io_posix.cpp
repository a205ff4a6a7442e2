/* Whole-file reads and descriptor writes on POSIX descriptors. */
#include "platform/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* Largest count one read or write is given: the kernel moves at most this much at once
 * anyway, and larger counts are not portable. */
constexpr size_t MAX_TRANSFER = 0x7FFFF000;

}  // namespace

namespace qv {
namespace platform {

int FileOpenForReading(const char *name)
{
   if (name == nullptr)
      return -1;
   int fd;
   do
      fd = open(name, O_RDONLY | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   return fd;
}

bool FileSize(int fd, uint64_t *size)
{
   struct stat st;
   if (fstat(fd, &st) != 0 || st.st_size < 0)
      return false;
   *size = static_cast<uint64_t>(st.st_size);
   return true;
}

ptrdiff_t FileRead(int fd, void *buffer, size_t size)
{
   if (size > MAX_TRANSFER)
      size = MAX_TRANSFER;
   ssize_t n;
   do
      n = read(fd, buffer, size);
   while (n < 0 && errno == EINTR);
   return n;
}

bool FileWriteAll(int fd, const void *data, size_t size)
{
   const char *p = static_cast<const char *>(data);
   while (size > 0)
   {
      ssize_t n = write(fd, p, (size > MAX_TRANSFER) ? MAX_TRANSFER : size);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return false;
      p += n;
      size -= static_cast<size_t>(n);
   }
   return true;
}

void FileClose(int fd)
{
   close(fd);
}

}  // namespace platform
}  // namespace qv
