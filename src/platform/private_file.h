/* Internal platform service of the key files: creating a file that only its owner can
 * read. No OS header appears here; the POSIX side is private_file_posix.cpp. */
#ifndef QORVEL_PLATFORM_PRIVATE_FILE_H
#define QORVEL_PLATFORM_PRIVATE_FILE_H

#include <stdio.h>

namespace qv {
namespace platform {

/* Opens the file of the UTF-8 name for binary writing, empty; a new file gets access for
 * its owner only. The descriptor is not inherited by child processes. Null when it
 * cannot be opened. */
FILE *CreatePrivateFile(const char *name);

}  // namespace platform
}  // namespace qv

#endif
