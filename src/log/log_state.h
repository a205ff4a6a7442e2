/* State and helpers of the process log shared by its units: the line writer
 * (log_writer.cpp), rotation (log_rotation.cpp) and the background writer
 * (log_background.cpp). */
#ifndef QORVEL_LOG_LOG_STATE_H
#define QORVEL_LOG_LOG_STATE_H

#include "log/log_writer.h"

#include "platform/sync.h"

#include <qv_strings.h>
#include <qv_threads.h>

#include <atomic>
#include <stdio.h>

namespace qv::log {

/* Room for the log file name: 259 characters and the terminator. */
constexpr size_t LOG_FILE_NAME_CHARS = 260;

/* Most UTF-8 bytes of one character. */
constexpr size_t UTF8_MAX_BYTES = 4;

/* "yyyy.mm.dd hh:mm:ss" and ".mmm": the timestamp is 23 characters. */
constexpr size_t TIMESTAMP_SECONDS_CHARS = 19;
constexpr size_t TIMESTAMP_CHARS = 23;

/* Severity marks are four characters ("*E* "); a line starts with the timestamp, a space
 * and the mark. */
constexpr size_t SEVERITY_MARK_CHARS = 4;
constexpr size_t LINE_PREFIX_CHARS = TIMESTAMP_CHARS + 1 + SEVERITY_MARK_CHARS;

constexpr int64_t MS_PER_SECOND = 1000;

/* Two locks guard the log. g_logLock (the log lock) serialises everything that touches the
 * file: the direct line writer, the background writer's block writes, and every rotation,
 * explicit or automatic, in either mode. The buffer lock of the background writer
 * (log_background.cpp) guards only the background buffer. The background writer takes the
 * buffer lock just to swap the buffer out and then writes under the log lock, so writers
 * in background mode never wait for the disk, while an explicit rotation from another
 * thread can never close the file under a running block write or run into the writer's
 * own rotation. Neither lock is ever taken while the other is held. Both are static, so a
 * writer that races with qvlog_close never meets a freed lock. */
extern platform::QvLock g_logLock;

/* Open flags and QVLOG_OPENED. Read by every writer without a lock. */
extern std::atomic<uint32_t> g_flags;

/* An open cycle is under way (from a successful qvlog_open to qvlog_close), also while a
 * failed rotation left the log closed. */
extern std::atomic<bool> g_active;

/* Under the log lock: the file, its size and its names. */
extern FILE *g_file;
extern uint64_t g_fileSize;
extern char *g_logFileNameUtf8;

/* The rotation settings (log_rotation.cpp); changed under the log lock. */
extern std::atomic<int32_t> g_policy;
extern std::atomic<uint64_t> g_maxSize;

extern std::atomic<LogConsoleWriter> g_consoleWriter;

/* The log's clock: milliseconds since 1970, from the hook when one is set. */
int64_t NowMs();

/* The clock of debug expiries and flood control: milliseconds from the hook when one is
 * set, else of a monotonic clock. */
int64_t DebugClockMs();

/* Whole seconds of a time in milliseconds, rounded down. */
inline int64_t SecondsOf(int64_t ms)
{
   return (ms >= 0) ? ms / MS_PER_SECOND : -((-ms + MS_PER_SECOND - 1) / MS_PER_SECOND);
}

/* "yyyy.mm.dd hh:mm:ss.mmm" of the local time into out (TIMESTAMP_CHARS + 1). */
void FormatTimestamp(int64_t nowMs, wchar_t *out);

/* Writes whole lines (UTF-8, each ending in a line feed) to the open file; a full disk
 * never leaves a torn line, the lines it refuses are counted and reported once space has
 * returned. Log lock held. */
void WriteFileLines(const char *bytes, size_t count);
/* Counts lines lost for the system error code error. Log lock held. */
void NoteLoss(uint64_t lines, int error);

/* Writes a header line (ASCII apart from the timestamp's digits). Log lock held, file
 * open. */
void WriteHeader(const wchar_t *format, ...);

/* Converts count characters of text to UTF-8 at out (room for UTF8_MAX_BYTES each). */
size_t ToUtf8(const wchar_t *text, size_t count, char *out);

/* ---- Rotation (log_rotation.cpp); log lock held for each. */

/* Finds the local midnight that began the day of nowMs and the one after it. */
void ComputeDayStart(int64_t nowMs);
/* Closes, renames by the policy and opens the file anew; whether it is open afterwards. */
bool RotateLocked();
/* Rotation by day once the day has ended, and by size once the file is full. */
void RotateIfDayEnded(int64_t nowMs);
void RotateIfFull();

/* ---- The background writer (log_background.cpp). */

/* Starts the writer thread with its buffers; false (nothing started) on failure. */
bool StartBackgroundWriter();
/* Writes what was buffered, stops the thread and releases the buffers; nothing when no
 * writer runs. Not while other threads still log. */
void StopBackgroundWriter();
/* Appends a line (prefix and text) for the writer to write; dropped while no writer runs. */
void BackgroundAppend(const wchar_t *prefix, size_t prefixLength, const wchar_t *text, size_t length);

}  // namespace qv::log

#endif
