/* POSIX side of the file-system layer: readdir, stat/statx, copy_file_range with a
 * read/write fallback, futimens, mkostemp and popen. */
#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

/* Largest piece handed to one copy_file_range or read/write call. */
constexpr size_t COPY_CHUNK_BYTES = 1 << 30;

/* Buffer of the read/write fallback. */
constexpr size_t FALLBACK_BUFFER_BYTES = 256 * 1024;

/* Permissions of new directories, before the process's mask. */
constexpr mode_t NEW_DIRECTORY_MODE = 0777;

/* Permissions of temporary files. */
constexpr mode_t TEMP_FILE_MODE = 0600;

int OpenRetry(const char *path, int flags, mode_t mode = 0)
{
   int fd;
   do
      fd = open(path, flags, mode);
   while (fd < 0 && errno == EINTR);
   return fd;
}

void FillStatus(const struct stat &st, qv::platform::FileStatus *status)
{
   status->device = st.st_dev;
   status->inode = st.st_ino;
   status->mode = st.st_mode & 07777;
   status->isDirectory = S_ISDIR(st.st_mode);
   status->isCharDevice = S_ISCHR(st.st_mode);
   status->isRegular = S_ISREG(st.st_mode);
   status->isSymlink = S_ISLNK(st.st_mode);
   status->size = st.st_size;
   status->accessTime = st.st_atim.tv_sec;
   status->accessNs = st.st_atim.tv_nsec;
   status->modifyTime = st.st_mtim.tv_sec;
   status->modifyNs = st.st_mtim.tv_nsec;
   status->birthTime = st.st_ctim.tv_sec;
}

/* Copies what is left of in to out with the kernel's copy, falling back to read and write
 * where the kernel refuses (other file systems on old kernels, special files). */
bool CopyContent(int in, int out, int *error)
{
   bool kernelCopy = true;
   char *buffer = nullptr;
   for (;;)
   {
      ssize_t n;
      if (kernelCopy)
      {
         n = copy_file_range(in, nullptr, out, nullptr, COPY_CHUNK_BYTES, 0);
         if (n < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP || errno == EPERM ||
                       errno == ETXTBSY))
         {
            kernelCopy = false;
            continue;
         }
         if (n < 0 && errno == EINTR)
            continue;
      }
      else
      {
         if (buffer == nullptr)
         {
            buffer = static_cast<char *>(malloc(FALLBACK_BUFFER_BYTES));
            if (buffer == nullptr)
            {
               *error = ENOMEM;
               return false;
            }
         }
         n = read(in, buffer, FALLBACK_BUFFER_BYTES);
         if (n < 0 && errno == EINTR)
            continue;
         for (ssize_t done = 0; n > 0 && done < n;)
         {
            ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR)
               continue;
            if (w <= 0)
            {
               n = -1;
               break;
            }
            done += w;
         }
      }
      if (n == 0)
         break;
      if (n < 0)
      {
         *error = errno;
         free(buffer);
         return false;
      }
   }
   free(buffer);
   return true;
}

}  // namespace

namespace qv {
namespace platform {

FILE *FileOpen(const char *path, const char *mode)
{
   char withCloseOnExec[8];
   size_t length = strlen(mode);
   if (length + 2 > sizeof(withCloseOnExec))
      return nullptr;
   memcpy(withCloseOnExec, mode, length);
   withCloseOnExec[length] = 'e';
   withCloseOnExec[length + 1] = 0;
   return fopen(path, withCloseOnExec);
}

struct DirListing
{
   DIR *dir;
   int fd;
};

DirListing *DirOpen(const char *path, int *error)
{
   DIR *dir = opendir(path);
   if (dir == nullptr)
   {
      *error = errno;
      return nullptr;
   }
   DirListing *listing = static_cast<DirListing *>(malloc(sizeof(DirListing)));
   if (listing == nullptr)
   {
      closedir(dir);
      *error = ENOMEM;
      return nullptr;
   }
   listing->dir = dir;
   listing->fd = dirfd(dir);
   return listing;
}

bool DirNext(DirListing *listing, const char **name, bool *isDirectory)
{
   struct dirent *entry = readdir(listing->dir);
   if (entry == nullptr)
      return false;
   *name = entry->d_name;
   if (entry->d_type == DT_DIR)
   {
      *isDirectory = true;
   }
   else if (entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN)
   {
      // A link counts as what it names, as does an entry the file system does not type.
      struct stat st;
      *isDirectory = fstatat(listing->fd, entry->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
   }
   else
   {
      *isDirectory = false;
   }
   return true;
}

void DirClose(DirListing *listing)
{
   if (listing == nullptr)
      return;
   closedir(listing->dir);
   free(listing);
}

bool FileGetStatus(const char *path, bool followLinks, FileStatus *status, int *error)
{
   struct stat st;
   if ((followLinks ? stat(path, &st) : lstat(path, &st)) != 0)
   {
      *error = errno;
      return false;
   }
   FillStatus(st, status);
#ifdef STATX_BTIME
   struct statx sx;
   if (statx(AT_FDCWD, path, followLinks ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
       (sx.stx_mask & STATX_BTIME) != 0)
      status->birthTime = sx.stx_btime.tv_sec;
#endif
   return true;
}

bool IsNotFoundError(int error)
{
   return error == ENOENT || error == ENOTDIR;
}

bool IsRenameNeedsCopyError(int error)
{
   return error == EXDEV || error == ENOTEMPTY || error == EEXIST || error == EISDIR || error == ENOTDIR;
}

bool DirCreate(const char *path, int *error)
{
   if (mkdir(path, NEW_DIRECTORY_MODE) == 0)
      return true;
   *error = errno;
   return false;
}

bool DirRemove(const char *path, int *error)
{
   if (rmdir(path) == 0)
      return true;
   *error = errno;
   return false;
}

bool FileRemove(const char *path, int *error)
{
   if (unlink(path) == 0)
      return true;
   *error = errno;
   return false;
}

bool PathRename(const char *from, const char *to, int *error)
{
   if (rename(from, to) == 0)
      return true;
   *error = errno;
   return false;
}

bool FileCopy(const char *from, const char *to, int *error)
{
   // Opened without blocking, so that a FIFO cannot hold the copy up; only regular files
   // are copied.
   int in = OpenRetry(from, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
   if (in < 0)
   {
      *error = errno;
      return false;
   }
   struct stat st;
   if (fstat(in, &st) != 0)
   {
      *error = errno;
      close(in);
      return false;
   }
   if (!S_ISREG(st.st_mode))
   {
      *error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
      close(in);
      return false;
   }
   // Emptying the destination must not empty the source.
   struct stat target;
   if (stat(to, &target) == 0 && target.st_dev == st.st_dev && target.st_ino == st.st_ino)
   {
      *error = EINVAL;
      close(in);
      return false;
   }
   int out = OpenRetry(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, st.st_mode & 07777);
   if (out < 0)
   {
      *error = errno;
      close(in);
      return false;
   }
   bool ok = CopyContent(in, out, error);
   if (ok && fchmod(out, st.st_mode & 07777) != 0)
   {
      *error = errno;
      ok = false;
   }
   struct timespec times[2] = {st.st_atim, st.st_mtim};
   if (ok && futimens(out, times) != 0)
   {
      *error = errno;
      ok = false;
   }
   if (close(out) != 0 && ok)
   {
      *error = errno;
      ok = false;
   }
   close(in);
   return ok;
}

bool DirSetModeAndTimes(const char *path, const FileStatus &status, int *error)
{
   struct timespec times[2];
   times[0].tv_sec = static_cast<time_t>(status.accessTime);
   times[0].tv_nsec = static_cast<long>(status.accessNs);
   times[1].tv_sec = static_cast<time_t>(status.modifyTime);
   times[1].tv_nsec = static_cast<long>(status.modifyNs);
   if (chmod(path, static_cast<mode_t>(status.mode)) != 0 || utimensat(AT_FDCWD, path, times, 0) != 0)
   {
      *error = errno;
      return false;
   }
   return true;
}

bool FileSetTimes(const char *path, int64_t t, int *error)
{
   struct timespec times[2];
   times[0].tv_sec = static_cast<time_t>(t);
   times[0].tv_nsec = 0;
   times[1] = times[0];
   if (utimensat(AT_FDCWD, path, times, 0) != 0)
   {
      *error = errno;
      return false;
   }
   return true;
}

int TempFileCreate(char *templ, int *error)
{
   size_t length = strlen(templ);
   if (length < TEMP_SUFFIX_LENGTH || strcmp(templ + length - TEMP_SUFFIX_LENGTH, "XXXXXX") != 0)
   {
      *error = EINVAL;
      return -1;
   }
   int fd = mkostemp(templ, O_CLOEXEC);
   if (fd < 0)
   {
      *error = errno;
      return -1;
   }
   // mkostemp creates with 0600 already; stated here so the rule does not rest on it.
   fchmod(fd, TEMP_FILE_MODE);
   return fd;
}

bool CommandFirstLine(const char *command, char *out, size_t size)
{
   if (size == 0)
      return false;
   out[0] = 0;
   FILE *pipe = popen(command, "re");
   if (pipe == nullptr)
      return false;
   size_t used = 0;
   bool lineEnded = false;
   char chunk[1024];
   size_t n;
   // The whole output is read, so the command never dies of a closed pipe.
   while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
   {
      for (size_t i = 0; i < n && !lineEnded; i++)
      {
         if (chunk[i] == '\n')
            lineEnded = true;
         else if (used + 1 < size)
            out[used++] = chunk[i];
      }
   }
   out[used] = 0;
   pclose(pipe);
   return true;
}

const char *ErrorText(int error)
{
   return strerror(error);
}

}  // namespace platform
}  // namespace qv
