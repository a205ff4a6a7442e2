/* Internal interface of the log writer for the debug output: the formatted-message rule
 * and the path by which debug messages reach the log and the debug writer hook. */
#ifndef QORVEL_LOG_LOG_WRITER_H
#define QORVEL_LOG_LOG_WRITER_H

#include <qv_log.h>

namespace qv::log {

/* Size of the buffer a formatted log or debug message is built in: longer text is cut
 * at LOG_MESSAGE_BUFFER_CHARS - 1 = 8191 characters. */
constexpr size_t LOG_MESSAGE_BUFFER_CHARS = 8192;

/* Width to which debug tags are padded with spaces, or cut, in the log. */
constexpr size_t LOG_DEBUG_TAG_WIDTH = 19;

/* Formats format with args by the library's wide rules into buffer, which holds
 * LOG_MESSAGE_BUFFER_CHARS characters; longer text is cut, and a format the formatter
 * refuses is copied as it stands (cut the same way). */
void LogFormatMessage(wchar_t *buffer, const wchar_t *format, va_list args);

/* Writes a debug message that passed its level. Untagged (tag null): as the debug message
 * code with the text as its insert. Tagged: as the tagged debug message code with the tag
 * padded or cut to exactly LOG_DEBUG_TAG_WIDTH characters and the text. Then passes (tag
 * as given, text) to the debug writer hook, if one is set, also while the log is closed.
 * Takes no lock of the caller's; may be called from any thread. */
void LogWriteDebugMessage(const wchar_t *tag, const wchar_t *text);

/* Writes message code msg with severity and count wide inserts to the log, from the crash
 * path: no heap, no stdio, and the log lock only when it can be had within a second (a
 * crashed thread may hold it). The line goes to the file with a plain write, or to the
 * system log, and into the ring of last lines. */
void LogWriteCrashEvent(uint32_t msg, uint16_t severity, const wchar_t *const *inserts, int count);

}  // namespace qv::log

#endif
