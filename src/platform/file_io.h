/* Internal platform service of whole-file reads (byte streams, LoadFile) and of writes to a
 * descriptor. No OS header appears here; the POSIX side is file_io_posix.cpp. */
#ifndef QORVEL_PLATFORM_FILE_IO_H
#define QORVEL_PLATFORM_FILE_IO_H

#include <stddef.h>
#include <stdint.h>

namespace qv {
namespace platform {

/* The whole content of the file of the name (bytes as the system takes them) in a new malloc block, followed by
 * one zero byte, and its length in *size. The file is opened for reading with no sharing
 * restriction and without being inherited by child processes. A file that comes up short
 * ends where the reads ended; one that grows meanwhile is read up to the size it had when
 * opened. Null (and *size 0) for a null name, a file that cannot be opened or read, a
 * directory, a size above maxSize, or when out of memory. */
uint8_t *FileLoad(const char *name, uint64_t maxSize, size_t *size);

/* Writes all size bytes, repeating short and interrupted writes; false when a write
 * fails. */
bool FileWriteAll(int fd, const void *data, size_t size);

}  // namespace platform
}  // namespace qv

#endif
