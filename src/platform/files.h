/* Internal file-system layer of the file and directory functions: directory listing, file
 * status, directories, copies with modes and times, renames, temporary files and the
 * first line of a shell command's output. Paths are UTF-8. No OS header appears here; the
 * POSIX side is files_posix.cpp. */
#ifndef QORVEL_PLATFORM_FILES_H
#define QORVEL_PLATFORM_FILES_H

#include <qv_base.h>

#include <stdio.h>

namespace qv {
namespace platform {

/* Separator of path components on this platform. */
constexpr char PATH_SEPARATOR = '/';

/* Length of the unique part (XXXXXX) of a temporary file template. */
constexpr size_t TEMP_SUFFIX_LENGTH = 6;

/* fopen of a UTF-8 name whose descriptor is not inherited by child processes. */
FILE *FileOpen(const char *path, const char *mode);

/* An open directory listing (definition in files_posix.cpp). */
struct DirListing;

/* Opens the directory for listing; null (error set) when it is not a directory or cannot
 * be read. */
DirListing *DirOpen(const char *path, int *error);

/* Next entry of the listing ("." and ".." included): its name (valid until the next call)
 * and whether it is a directory, symbolic links being followed. False at the end. */
bool DirNext(DirListing *dir, const char **name, bool *isDirectory);

void DirClose(DirListing *dir);

/* What the file functions need of a file's status. Times are seconds and nanoseconds
 * since 1970; birth is the creation time where the file system keeps one, otherwise the
 * status-change time. */
struct FileStatus
{
   uint64_t device;
   uint64_t inode;
   uint32_t mode;  // permission bits (07777)
   bool isDirectory;
   bool isCharDevice;
   bool isRegular;
   bool isSymlink;
   int64_t size;
   int64_t accessTime, accessNs;
   int64_t modifyTime, modifyNs;
   int64_t birthTime;
};

/* Status of the file (followLinks: of what a symbolic link names). False with error set
 * (an errno value) when it cannot be had. */
bool FileGetStatus(const char *path, bool followLinks, FileStatus *status, int *error);

/* True when error means that the file or a directory on its path does not exist. */
bool IsNotFoundError(int error);

/* True when error means that the source and the destination of a rename lie on different
 * file systems, or that the destination is a directory that is not empty. */
bool IsRenameNeedsCopyError(int error);

/* Creates one directory (permissions 0777 less the process's mask). */
bool DirCreate(const char *path, int *error);

bool DirRemove(const char *path, int *error);
bool FileRemove(const char *path, int *error);

/* Renames, replacing a destination file or empty directory. */
bool PathRename(const char *from, const char *to, int *error);

/* Copies the content of the regular file from (anything else fails: EISDIR for a
 * directory, EINVAL for special files) to to (created or emptied), then gives to
 * the mode and the access and modification times of from. The kernel copies the bytes
 * itself where it can. A destination that is the source itself fails with EINVAL, as
 * emptying it would lose the content. */
bool FileCopy(const char *from, const char *to, int *error);

/* Gives the directory the permission bits and times of status. */
bool DirSetModeAndTimes(const char *path, const FileStatus &status, int *error);

/* Sets the access and modification times to t (seconds since 1970). */
bool FileSetTimes(const char *path, int64_t t, int *error);

/* Replaces the trailing XXXXXX of templ (changed in place) with a unique text and creates
 * that file for reading and writing, failing when it exists, with permissions 0600. The
 * descriptor, or -1 with error set. */
int TempFileCreate(char *templ, int *error);

/* Runs the command through the shell and stores the first line of its standard output
 * (without the line feed, at most size - 1 bytes, terminated) in out. False when the
 * command could not be started. */
bool CommandFirstLine(const char *command, char *out, size_t size);

/* Text of an errno value (static or thread-safe storage). */
const char *ErrorText(int error);

}  // namespace platform
}  // namespace qv

#endif
