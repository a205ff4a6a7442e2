/* Internal platform service of the byte containers: reading a whole file through a
 * descriptor and writing to one. No OS header appears here; the POSIX side is
 * file_io_posix.cpp. */
#ifndef QORVEL_PLATFORM_FILE_IO_H
#define QORVEL_PLATFORM_FILE_IO_H

#include <stddef.h>
#include <stdint.h>

namespace qv {
namespace platform {

/* Opens the file of the name (in the default code page) for reading in binary mode, with
 * no sharing restriction; the descriptor is not inherited by child processes. -1 when it
 * cannot be opened. */
int FileOpenForReading(const char *name);

/* The size of the open file in *size; false when it cannot be told. */
bool FileSize(int fd, uint64_t *size);

/* One read of at most size bytes, repeated when a signal interrupts it: the bytes read, 0
 * at the end of the file, -1 on failure. */
ptrdiff_t FileRead(int fd, void *buffer, size_t size);

/* Writes all size bytes, repeating short and interrupted writes; false when a write
 * fails. */
bool FileWriteAll(int fd, const void *data, size_t size);

void FileClose(int fd);

}  // namespace platform
}  // namespace qv

#endif
