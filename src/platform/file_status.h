/* Internal platform service of the configuration loaders: what kind of object a path
 * names, and the names in a directory. No OS header appears here; the POSIX side is
 * file_status_posix.cpp. */
#ifndef QORVEL_PLATFORM_FILE_STATUS_H
#define QORVEL_PLATFORM_FILE_STATUS_H

#include <stdio.h>

#include <string>
#include <vector>

namespace qv {
namespace platform {

enum class FileType
{
   MISSING,  // the status cannot be read (no such path, no permission)
   REGULAR,
   DIRECTORY,
   OTHER
};

/* The type of the object the 8-bit path names, following symbolic links. */
FileType GetFileType(const char *path);

/* The size of the open file in bytes; 0 when it cannot be told. */
size_t GetFileSize(FILE *file);

/* Appends the names of the directory's entries ("." and ".." left out) to names in the
 * order the system lists them. False when the directory cannot be opened. */
bool ListDirectory(const char *path, std::vector<std::string> *names);

}  // namespace platform
}  // namespace qv

#endif
