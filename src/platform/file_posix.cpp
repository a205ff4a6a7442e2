/* POSIX side of the file calls: wide names become UTF-8 bytes, and files are opened with
 * close-on-exec; private files are made with open(2) so that the access rule holds from the
 * moment the file exists. */
#include "platform/file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace qv::platform {

namespace {

/* Read and write for the owner only. */
constexpr mode_t PRIVATE_MODE = 0600;

/* Longest stdio mode taken, and the close-on-exec flag appended to it. */
constexpr size_t MAX_MODE_CHARS = 8;
constexpr char CLOSE_ON_EXEC_MODE = 'e';

/* Highest code point that UTF-8 can carry; higher values are dropped from a name. */
constexpr uint32_t MAX_UNICODE = 0x10FFFF;

size_t Utf8Length(uint32_t cp)
{
   return (cp < 0x80) ? 1 : (cp < 0x800) ? 2 : (cp < 0x10000) ? 3 : (cp <= MAX_UNICODE) ? 4 : 0;
}

/* The name as the file system takes it: UTF-8 in a new block (free), by the rules of the
 * library's wide-to-UTF-8 conversion. Null when out of memory. */
char *FileSystemName(const wchar_t *name)
{
   size_t bytes = 0;
   for (const wchar_t *p = name; *p != 0; p++)
      bytes += Utf8Length(static_cast<uint32_t>(*p));
   char *out = static_cast<char *>(malloc(bytes + 1));
   if (out == nullptr)
      return nullptr;
   char *q = out;
   for (const wchar_t *p = name; *p != 0; p++)
   {
      uint32_t cp = static_cast<uint32_t>(*p);
      switch (Utf8Length(cp))
      {
         case 1: *q++ = static_cast<char>(cp); break;
         case 2:
            *q++ = static_cast<char>(0xC0 | (cp >> 6));
            *q++ = static_cast<char>(0x80 | (cp & 0x3F));
            break;
         case 3:
            *q++ = static_cast<char>(0xE0 | (cp >> 12));
            *q++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *q++ = static_cast<char>(0x80 | (cp & 0x3F));
            break;
         case 4:
            *q++ = static_cast<char>(0xF0 | (cp >> 18));
            *q++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *q++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *q++ = static_cast<char>(0x80 | (cp & 0x3F));
            break;
         default: break;
      }
   }
   *q = 0;
   return out;
}

}  // namespace

FILE *OpenFile(const wchar_t *name, const char *mode)
{
   size_t modeLength = (mode != nullptr) ? strlen(mode) : 0;
   if (name == nullptr || modeLength == 0 || modeLength > MAX_MODE_CHARS)
      return nullptr;
   char fullMode[MAX_MODE_CHARS + 2];
   memcpy(fullMode, mode, modeLength);
   fullMode[modeLength] = CLOSE_ON_EXEC_MODE;
   fullMode[modeLength + 1] = 0;
   char *path = FileSystemName(name);
   FILE *file = (path != nullptr) ? fopen(path, fullMode) : nullptr;
   free(path);
   return file;
}

FILE *CreatePrivateFile(const wchar_t *name)
{
   char *path = (name != nullptr) ? FileSystemName(name) : nullptr;
   if (path == nullptr)
      return nullptr;
   int fd;
   do
      fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, PRIVATE_MODE);
   while (fd < 0 && errno == EINTR);
   free(path);
   if (fd < 0)
      return nullptr;
   FILE *file = fdopen(fd, "wb");
   if (file == nullptr)
      close(fd);
   return file;
}

}  // namespace qv::platform
