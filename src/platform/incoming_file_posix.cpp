/* POSIX side of the incoming file: every call is relative to the directory's descriptor,
 * the temporary file is made with O_CREAT | O_EXCL | O_NOFOLLOW, and the final name is
 * given with renameat2(RENAME_NOREPLACE) (linkat where the file system lacks it) or, to
 * replace, with renameat. */
#include "platform/incoming_file.h"
#include "platform/random.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qv {
namespace platform {

namespace {

/* Read and write for everybody the process's umask allows, as a plain new file gets. */
constexpr mode_t NEW_FILE_MODE = 0666;

/* Names tried for the temporary file before giving up. */
constexpr int TEMP_NAME_ATTEMPTS = 16;

int OpenDirectory(const char *path)
{
   int fd;
   do
      fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   return fd;
}

}  // namespace

IncomingFile::~IncomingFile()
{
   discard();
   if (m_dir >= 0)
      close(m_dir);
}

bool IncomingFile::create(const char *dir)
{
   if (m_dir >= 0 || dir == nullptr)
   {
      m_error = EINVAL;
      return false;
   }
   m_dir = OpenDirectory(dir);
   if (m_dir < 0)
   {
      m_error = errno;
      return false;
   }
   for (int attempt = 0; attempt < TEMP_NAME_ATTEMPTS; attempt++)
   {
      uint64_t tag = 0;
      if (!RandomBytes(&tag, sizeof(tag)))
         tag = static_cast<uint64_t>(getpid()) << 32 | static_cast<uint64_t>(attempt);
      snprintf(m_tempName, sizeof(m_tempName), ".qvrecv-%016llx.part", static_cast<unsigned long long>(tag));
      do
         m_file = openat(m_dir, m_tempName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, NEW_FILE_MODE);
      while (m_file < 0 && errno == EINTR);
      if (m_file >= 0)
         return true;
      m_error = errno;
      if (m_error != EEXIST)
         break;
   }
   m_tempName[0] = 0;
   return false;
}

bool IncomingFile::nameTaken(const char *name) const
{
   struct stat st;
   return m_dir >= 0 && fstatat(m_dir, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool IncomingFile::write(const void *data, size_t size)
{
   const char *p = static_cast<const char *>(data);
   while (size > 0)
   {
      ssize_t n = (m_file >= 0) ? ::write(m_file, p, size) : -1;
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
      {
         m_error = (n < 0) ? errno : ENOSPC;
         return false;
      }
      p += n;
      size -= static_cast<size_t>(n);
   }
   return true;
}

StoreResult IncomingFile::store(const char *name, bool replace)
{
   if (m_file < 0 || m_tempName[0] == 0)
   {
      m_error = EINVAL;
      return StoreResult::FAILED;
   }
   // A file that cannot be closed may not hold what was written.
   int closed = close(m_file);
   m_file = -1;
   if (closed != 0 && errno != EINTR)
   {
      m_error = errno;
      discard();
      return StoreResult::FAILED;
   }
   int rc;
   if (replace)
   {
      rc = renameat(m_dir, m_tempName, m_dir, name);
   }
   else
   {
      rc = renameat2(m_dir, m_tempName, m_dir, name, RENAME_NOREPLACE);
      if (rc != 0 && (errno == EINVAL || errno == ENOSYS))
      {
         // Without the flag: a second link fails when the name exists, then the
         // temporary name goes.
         rc = linkat(m_dir, m_tempName, m_dir, name, 0);
         if (rc == 0)
            unlinkat(m_dir, m_tempName, 0);
      }
   }
   if (rc != 0)
   {
      m_error = errno;
      discard();
      return (m_error == EEXIST) ? StoreResult::EXISTS : StoreResult::FAILED;
   }
   m_tempName[0] = 0;
   return StoreResult::STORED;
}

void IncomingFile::discard()
{
   if (m_file >= 0)
   {
      close(m_file);
      m_file = -1;
   }
   if (m_tempName[0] != 0 && m_dir >= 0)
      unlinkat(m_dir, m_tempName, 0);
   m_tempName[0] = 0;
}

}  // namespace platform
}  // namespace qv
