/* Internal platform services of the log writer: system error texts, local broken-down
 * time (platform/local_time.h) and opening the log file. No OS header appears here; the
 * POSIX side is log_support_posix.cpp. */
#ifndef QORVEL_PLATFORM_LOG_SUPPORT_H
#define QORVEL_PLATFORM_LOG_SUPPORT_H

#include <qv_base.h>

#include "platform/local_time.h"

#include <stdio.h>

namespace qv {
namespace platform {

/* Writes the system's message text for error code (8-bit text of the default code page,
 * terminated, cut to size) into buffer and returns true; false when the system has no
 * text for that code. Thread-safe. */
bool SystemErrorText(uint32_t code, char *buffer, size_t size);

/* Opens the file of the UTF-8 name for appending, or empty when truncate is set; the
 * descriptor is not inherited by child processes. Null when it cannot be opened. */
FILE *OpenLogFile(const char *name, bool truncate);

/* The descriptor under a log file's stream, read without the stream's lock (for the
 * crash path, which writes to it directly). */
int LogFileDescriptor(FILE *file);

/* Appends count bytes of whole lines (each ending in a line feed) to the log file, past
 * any stream buffering. When the file system takes only part of them (a full disk), the
 * file is cut back to the end of the last whole line that went in, or to where it was
 * when that would keep fewer than atLeast bytes, so that no line is left torn. Returns
 * the bytes kept, count when all were written; on a shortfall *error gets the system's
 * error code. */
size_t AppendLogLines(FILE *file, const char *bytes, size_t count, size_t atLeast, int *error);

}  // namespace platform
}  // namespace qv

#endif
