/* The last lines the log wrote, kept in memory for crash reports: a fixed ring that
 * writers fill without a lock and the crash path reads without one. */
#ifndef QORVEL_LOG_LOG_RING_H
#define QORVEL_LOG_LOG_RING_H

#include <qv_base.h>

#include "platform/safe_text.h"
#include "text/utf8_codec.h"

namespace qv {
namespace log {

/* Appends wide text as UTF-8 to a crash-path text (null: "(null)") and returns it. No
 * heap. */
inline qv::platform::SafeText &AppendWide(qv::platform::SafeText &text, const wchar_t *s)
{
   if (s == nullptr)
      return text.append("(null)");
   for (; *s != 0; s++)
   {
      char utf8[4];
      text.append(utf8, qv::text::Utf8EncodeOne(static_cast<UCS4CHAR>(*s), utf8));
   }
   return text;
}

/* Lines kept, and bytes kept of each (UTF-8; longer lines are cut). */
constexpr size_t LOG_RING_LINES = 100;
constexpr size_t LOG_RING_LINE_BYTES = 512;

/* Keeps one written line: prefix (timestamp and severity mark, may be null) and text,
 * without a trailing line feed. Any thread. */
void LogRingAdd(const wchar_t *prefix, size_t prefixLength, const wchar_t *text, size_t textLength);

/* Passes the kept lines, oldest first, to sink (UTF-8, without line feed, not
 * terminated). A line that a writer is changing at that moment is left out. No heap, no
 * lock: safe in the crash path. Returns the number of lines passed. */
size_t LogRingRead(void (*sink)(void *data, const char *line, size_t length), void *data);

}  // namespace log
}  // namespace qv

#endif
