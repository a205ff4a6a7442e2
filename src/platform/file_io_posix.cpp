/* Whole-file reads and descriptor writes on POSIX descriptors. */
#include "platform/file_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* Largest count one read or write is given: the kernel moves at most this much at once
 * anyway, and larger counts are not portable. */
constexpr size_t MAX_TRANSFER = 0x7FFFF000;

/* Bytes one read of a whole-file load asks for. */
constexpr size_t LOAD_CHUNK = 16384;

/* Reads the whole open file (see FileLoad). */
uint8_t *LoadOpenFile(int fd, uint64_t maxSize, size_t *size)
{
   struct stat st;
   if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxSize ||
       static_cast<uint64_t>(st.st_size) >= SIZE_MAX)
      return nullptr;
   size_t total = static_cast<size_t>(st.st_size);
   uint8_t *data = static_cast<uint8_t *>(malloc(total + 1));
   if (data == nullptr)
      return nullptr;
   size_t done = 0;
   while (done < total)
   {
      size_t want = (total - done < LOAD_CHUNK) ? total - done : LOAD_CHUNK;
      ssize_t n = read(fd, data + done, want);
      if (n < 0 && errno == EINTR)
         continue;
      if (n < 0)
      {
         free(data);
         return nullptr;
      }
      if (n == 0)
         break;
      done += static_cast<size_t>(n);
   }
   data[done] = 0;
   *size = done;
   return data;
}

}  // namespace

namespace qv {
namespace platform {

uint8_t *FileLoad(const char *name, uint64_t maxSize, size_t *size)
{
   *size = 0;
   if (name == nullptr)
      return nullptr;
   int fd;
   do
      fd = open(name, O_RDONLY | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   if (fd < 0)
      return nullptr;
   uint8_t *data = LoadOpenFile(fd, maxSize, size);
   close(fd);
   return data;
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

}  // namespace platform
}  // namespace qv
