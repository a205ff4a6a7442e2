/* The wide directory reader, the stat replacement, whole-file loading, file sizes, clean
 * file names, time stamps and temporary files. */
#include "system/files.h"

#include "platform/file_io.h"
#include "platform/files.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

using namespace qv::platform;

namespace {

/* d_type values of the wide directory entry. */
constexpr int32_t DIRENT_TYPE_DIRECTORY = 2;
constexpr int32_t DIRENT_TYPE_OTHER = 1;

/* Mode bits of the stat replacement. */
constexpr uint32_t MODE_READ_ONLY = 0400;
constexpr uint32_t MODE_READ_WRITE = 0600;
constexpr uint32_t OWNER_WRITE_BIT = 0200;

}  // namespace

struct WDIR
{
   DirListing *listing;
   int32_t sequence;
   struct wdirent entry;
};

namespace qv {
namespace system {

char *JoinPath(const char *directory, const char *name)
{
   size_t dirLength = strlen(directory);
   size_t nameLength = strlen(name);
   bool separator = dirLength > 0 && directory[dirLength - 1] != PATH_SEPARATOR;
   char *path = static_cast<char *>(malloc(dirLength + nameLength + 2));
   if (path == nullptr)
      return nullptr;
   memcpy(path, directory, dirLength);
   if (separator)
      path[dirLength++] = PATH_SEPARATOR;
   memcpy(path + dirLength, name, nameLength + 1);
   return path;
}

}  // namespace system
}  // namespace qv

using namespace qv::system;

QV_API WDIR *wopendir(const wchar_t *path)
{
   if (path == nullptr || *path == 0)
      return nullptr;
   Utf8Path utf8(path);
   if (!utf8.valid())
      return nullptr;
   // One trailing separator is ignored; the root stays as it is.
   size_t length = strlen(utf8.get());
   if (length > 1 && utf8.get()[length - 1] == PATH_SEPARATOR)
      utf8.data()[length - 1] = 0;
   int error;
   DirListing *listing = DirOpen(utf8.get(), &error);
   if (listing == nullptr)
      return nullptr;
   WDIR *dir = static_cast<WDIR *>(malloc(sizeof(WDIR)));
   if (dir == nullptr)
   {
      DirClose(listing);
      return nullptr;
   }
   dir->listing = listing;
   dir->sequence = 0;
   return dir;
}

QV_API struct wdirent *wreaddir(WDIR *dir)
{
   if (dir == nullptr)
      return nullptr;
   const char *name;
   bool isDirectory;
   if (!DirNext(dir->listing, &name, &isDirectory))
      return nullptr;
   int length = utf8_to_wchar(name, -1, dir->entry.d_name, QV_DIRENT_NAME_CHARS);
   if (length <= 0)
      dir->entry.d_name[0] = 0;
   dir->entry.d_name[QV_DIRENT_NAME_CHARS - 1] = 0;
   dir->entry.d_namlen = static_cast<int32_t>(wcslen(dir->entry.d_name));
   dir->entry.d_type = isDirectory ? DIRENT_TYPE_DIRECTORY : DIRENT_TYPE_OTHER;
   dir->entry.d_ino = dir->sequence++;
   return &dir->entry;
}

QV_API int wclosedir(WDIR *dir)
{
   if (dir == nullptr)
      return -1;
   DirClose(dir->listing);
   free(dir);
   return 0;
}

QV_API int _statw32(const wchar_t *path, struct stat *record)
{
   if (path == nullptr || record == nullptr)
   {
      errno = EINVAL;
      return -1;
   }
   Utf8Path utf8(path);
   if (!utf8.valid())
   {
      errno = EACCES;
      return -1;
   }
   size_t length = strlen(utf8.get());
   if (length > 1 && utf8.get()[length - 1] == PATH_SEPARATOR)
      utf8.data()[length - 1] = 0;
   FileStatus status;
   int error = 0;
   if (!FileGetStatus(utf8.get(), true, &status, &error))
   {
      errno = IsNotFoundError(error) ? ENOENT : EACCES;
      return -1;
   }
   memset(record, 0, sizeof(*record));
   uint32_t mode = ((status.mode & OWNER_WRITE_BIT) != 0) ? MODE_READ_WRITE : MODE_READ_ONLY;
   if (status.isDirectory)
      mode |= S_IFDIR;
   else if (status.isCharDevice)
      mode |= S_IFCHR;
   else
      mode |= S_IFREG;
   record->st_mode = mode;
   record->st_size = status.size;
   record->st_atime = static_cast<time_t>(status.accessTime);
   record->st_mtime = static_cast<time_t>(status.modifyTime);
   record->st_ctime = static_cast<time_t>(status.birthTime);
   return 0;
}

QV_API BYTE *LoadFileA(const char *fileName, uint32_t *size)
{
   // The size must fit the 32-bit result and leave room for the terminating zero.
   size_t loaded;
   BYTE *data = qv::platform::FileLoad(fileName, UINT32_MAX - 1, &loaded);
   if (size != nullptr)
      *size = static_cast<uint32_t>(loaded);
   return data;
}

QV_API BYTE *LoadFile(const wchar_t *fileName, uint32_t *size)
{
   if (size != nullptr)
      *size = 0;
   Utf8Path utf8(fileName);
   return utf8.valid() ? LoadFileA(utf8.get(), size) : nullptr;
}

QV_API int64_t FileSizeA(const char *fileName)
{
   if (fileName == nullptr)
      return 0;
   FileStatus status;
   int error;
   return FileGetStatus(fileName, true, &status, &error) ? status.size : 0;
}

QV_API int64_t FileSizeW(const wchar_t *fileName)
{
   Utf8Path utf8(fileName);
   return utf8.valid() ? FileSizeA(utf8.get()) : 0;
}

QV_API const wchar_t *GetCleanFileName(const wchar_t *fileName)
{
   if (fileName == nullptr)
      return nullptr;
   const wchar_t *clean = fileName;
   for (const wchar_t *p = fileName; *p != 0; p++)
   {
      if (*p == L'/' || *p == L'\\' || *p == L':')
         clean = p + 1;
   }
   return clean;
}

QV_API bool SetLastModificationTime(const wchar_t *fileName, time_t t)
{
   Utf8Path utf8(fileName);
   int error;
   return utf8.valid() && FileSetTimes(utf8.get(), static_cast<int64_t>(t), &error);
}

QV_API int wmkstemp(wchar_t *templ)
{
   Utf8Path utf8(templ);
   if (!utf8.valid())
      return -1;
   int error;
   int fd = TempFileCreate(utf8.data(), &error);
   if (fd < 0)
   {
      errno = error;
      return -1;
   }
   // The unique part is ASCII, so the wide template keeps its length.
   size_t wideLength = wcslen(templ);
   size_t utf8Length = strlen(utf8.get());
   for (size_t i = 0; i < TEMP_SUFFIX_LENGTH; i++)
      templ[wideLength - TEMP_SUFFIX_LENGTH + i] =
          static_cast<wchar_t>(static_cast<unsigned char>(utf8.get()[utf8Length - TEMP_SUFFIX_LENGTH + i]));
   return fd;
}
