/* Opening files by their wide-character names. No OS header appears here; the POSIX side is
 * file_posix.cpp, where names are UTF-8 bytes. */
#ifndef QORVEL_PLATFORM_FILE_H
#define QORVEL_PLATFORM_FILE_H

#include <qv_base.h>

#include <stdio.h>

namespace qv::platform {

/* Opens the file of the wide name with the stdio mode ("rb", "wb", ...); the descriptor is
 * not inherited by programs the process starts. Null for a null name, when the name cannot
 * be converted (out of memory) or the file cannot be opened. */
FILE *OpenFile(const wchar_t *name, const char *mode);

/* Opens the file of the wide name for binary writing, empty; a new file gets access for its
 * owner only, from the moment it exists. Otherwise as OpenFile. */
FILE *CreatePrivateFile(const wchar_t *name);

}  // namespace qv::platform

#endif
