/* Internal crash-path services of the crash report: files written with plain system
 * calls, the process id, the time and the local time without the C library's time zone
 * lock, and the memory dump (an ELF core file, gzip-compressed). No OS header appears
 * here; the POSIX side is crash_dump_posix.cpp. All of it is crash path unless marked. */
#ifndef QORVEL_PLATFORM_CRASH_DUMP_H
#define QORVEL_PLATFORM_CRASH_DUMP_H

#include "platform/crash_frame.h"

namespace qv {
namespace platform {

/* Creates (or empties) a file for writing; readable by its owner only when privateFile is
 * set. The descriptor, or -1. */
int CrashFileCreate(const char *path, bool privateFile);

/* Writes all bytes; false when the file took fewer. */
bool CrashFileWrite(int fd, const char *bytes, size_t count);

void CrashFileClose(int fd);
void CrashFileRemove(const char *path);

uint32_t CrashProcessId();

/* Seconds since 1970. */
int64_t CrashTimeNow();

/* Broken-down local time in the form the crash report needs. */
struct CrashLocalTime
{
   int year, month, day;  // month 1-12
   int hour, minute, second;
   int weekday;  // 0 = Sunday
};

/* Notes the local time zone's offset from UTC, which CrashLocalTimeOf uses. Not crash
 * path; called when crash handling is set up. */
void CrashLocalTimePrepare();

/* The local time of t with the offset noted by CrashLocalTimePrepare (UTC before it). */
void CrashLocalTimeOf(int64_t t, CrashLocalTime *out);

/* Writes a gzip-compressed ELF core file of the process to fd: the crashing thread's
 * registers and signal, the process's name, arguments and mapped files, and the memory of
 * every writable mapping (every thread's stack among them) and of the relocated read-only
 * data; with fullMemory every readable mapping. comment (8-bit, may be null) goes into a
 * note of its own. The memory is read through the kernel, so pages that cannot be read
 * become zeros instead of faults. False when the file could not be written whole. */
bool CrashDumpWrite(int fd, const CrashEvent *event, bool fullMemory, const char *comment);

}  // namespace platform
}  // namespace qv

#endif
