/* The process log: opening and closing, the line format, the direct line writer, the
 * event-log mode and the debug path. Rotation is in log_rotation.cpp, the background
 * writer in log_background.cpp. */
#include "log/log_state.h"
#include "log/log_messages.h"

#include "platform/event_log.h"
#include "platform/log_support.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

using namespace qv::log;
using namespace qv::platform;

namespace qv::log {

namespace {

/* Converted lines up to this size are built on the stack. */
constexpr size_t STACK_UTF8_BYTES = 4096;

/* Room for "MSG 0x%08X - cannot format message". */
constexpr size_t FALLBACK_TEXT_CHARS = 64;

void DefaultConsoleWriter(const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   wchar_t *text = qv_vaswprintf(format, args);
   va_end(args);
   char *utf8 = UTF8StringFromWideString(text);
   if (utf8 != nullptr)
      fputs(utf8, stdout);
   free(utf8);
   free(text);
}

std::atomic<uint32_t> g_debugMsg{0};
std::atomic<uint32_t> g_debugMsgTagged{0};
std::atomic<uint32_t> g_genericMsg{0};

/* Under the log lock: the file name as given. */
wchar_t g_logFileName[LOG_FILE_NAME_CHARS];

std::atomic<LogDebugWriter> g_debugWriter{nullptr};
std::atomic<LogClock> g_clock{nullptr};

const wchar_t *SeverityMark(uint16_t severity)
{
   switch (severity)
   {
      case EVENTLOG_ERROR_TYPE: return L"*E* ";
      case EVENTLOG_WARNING_TYPE: return L"*W* ";
      case EVENTLOG_INFORMATION_TYPE: return L"*I* ";
      case QVLOG_DEBUG_TYPE: return L"*D* ";
      default: return L"*?* ";
   }
}

/* Line writer of file mode: the line is built (and in direct mode converted) before a
 * lock is taken. */
void WriteLine(uint32_t flags, uint16_t severity, const LogText &text)
{
   int64_t now = NowMs();
   wchar_t prefix[LINE_PREFIX_CHARS + 1];
   FormatTimestamp(now, prefix);
   const wchar_t *mark = SeverityMark(severity);
   prefix[TIMESTAMP_CHARS] = L' ';
   memcpy(prefix + TIMESTAMP_CHARS + 1, mark, (SEVERITY_MARK_CHARS + 1) * sizeof(wchar_t));

   if ((flags & QVLOG_ASYNC) != 0)
   {
      BackgroundAppend(prefix, LINE_PREFIX_CHARS, text.text(), text.length());
      return;
   }

   size_t capacity = (LINE_PREFIX_CHARS + text.length()) * UTF8_MAX_BYTES;
   char stackLine[STACK_UTF8_BYTES];
   char *line = (capacity <= sizeof(stackLine)) ? stackLine : static_cast<char *>(malloc(capacity));
   size_t bytes = 0;
   if (line != nullptr)
   {
      bytes = ToUtf8(prefix, LINE_PREFIX_CHARS, line);
      bytes += ToUtf8(text.text(), text.length(), line + bytes);
   }

   LockAcquire(&g_logLock);
   RotateIfDayEnded(now);
   if (g_file != nullptr && line != nullptr)
   {
      WriteFileBytes(line, bytes);
      fflush(g_file);
   }
   if ((flags & QVLOG_CONSOLE) != 0)
   {
      prefix[TIMESTAMP_CHARS] = 0;
      g_consoleWriter.load(std::memory_order_acquire)(L"%s %s%s", prefix, mark, text.text());
   }
   RotateIfFull();
   LockRelease(&g_logLock);
   if (line != stackLine)
      free(line);
}

/* Event-log mode: the text goes to the system log, and with QVLOG_CONSOLE to the console
 * writer. Without a registered text, the system log still gets the inserts. */
void ReportEvent(uint32_t flags, uint16_t severity, LogText *text, bool formatted, const LogInserts &inserts)
{
   int64_t now = NowMs();
   if ((flags & QVLOG_CONSOLE) != 0)
   {
      wchar_t timestamp[TIMESTAMP_CHARS + 1];
      FormatTimestamp(now, timestamp);
      g_consoleWriter.load(std::memory_order_acquire)(L"%s %s", timestamp, text->text());
   }
   text->truncate(text->length() - 1);  // the line feed
   for (int i = 0; !formatted && i < inserts.count; i++)
   {
      text->append((i == 0) ? L": " : L", ");
      text->append((inserts.text[i] != nullptr) ? inserts.text[i] : L"(null)");
   }
   char *utf8 = UTF8StringFromWideString(text->text());
   if (utf8 != nullptr)
      EventLogReport(severity, SecondsOf(now), utf8);
   free(utf8);
}

/* Formats message code msg with its inserts and writes it. */
void WriteMessage(uint32_t flags, uint32_t msg, uint16_t severity, const LogInserts &inserts)
{
   LogText text;
   const wchar_t *messageText = FindMessageText(msg);
   bool formatted = (messageText != nullptr) && FormatMessageText(messageText, inserts, &text);
   if (!formatted)
   {
      wchar_t fallback[FALLBACK_TEXT_CHARS];
      qv_snwprintf(fallback, FALLBACK_TEXT_CHARS, L"MSG 0x%08X - cannot format message", msg);
      text.truncate(0);
      text.append(fallback);
   }
   MakeOneLine(&text);
   if ((flags & QVLOG_EVENT_LOG) != 0)
      ReportEvent(flags, severity, &text, formatted, inserts);
   else
      WriteLine(flags, severity, text);
}

}  // namespace

QvLock g_logLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};
std::atomic<uint32_t> g_flags{0};
std::atomic<bool> g_active{false};
FILE *g_file = nullptr;
uint64_t g_fileSize = 0;
char *g_logFileNameUtf8 = nullptr;
std::atomic<LogConsoleWriter> g_consoleWriter{DefaultConsoleWriter};

int64_t NowMs()
{
   LogClock clock = g_clock.load(std::memory_order_acquire);
   return (clock != nullptr) ? clock() : GetCurrentTimeMs();
}

/* "yyyy.mm.dd hh:mm:ss.mmm" of the local time into out (TIMESTAMP_CHARS + 1). The part up
 * to the seconds is kept per thread, as lines come many to a second. */
void FormatTimestamp(int64_t nowMs, wchar_t *out)
{
   thread_local int64_t cachedSecond = INT64_MIN;
   thread_local wchar_t cached[TIMESTAMP_SECONDS_CHARS + 1];
   int64_t second = SecondsOf(nowMs);
   if (second != cachedSecond)
   {
      struct tm local;
      LocalTimeOf(second, &local);
      qv_snwprintf(cached, TIMESTAMP_SECONDS_CHARS + 1, L"%04d.%02d.%02d %02d:%02d:%02d", local.tm_year + 1900,
                   local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
      cachedSecond = second;
   }
   memcpy(out, cached, TIMESTAMP_SECONDS_CHARS * sizeof(wchar_t));
   int ms = static_cast<int>(nowMs - second * MS_PER_SECOND);
   out[TIMESTAMP_SECONDS_CHARS] = L'.';
   out[TIMESTAMP_SECONDS_CHARS + 1] = static_cast<wchar_t>(L'0' + ms / 100);
   out[TIMESTAMP_SECONDS_CHARS + 2] = static_cast<wchar_t>(L'0' + ms / 10 % 10);
   out[TIMESTAMP_SECONDS_CHARS + 3] = static_cast<wchar_t>(L'0' + ms % 10);
   out[TIMESTAMP_CHARS] = 0;
}

/* Writes bytes to the open file and counts them. Log lock held. */
void WriteFileBytes(const char *bytes, size_t count)
{
   g_fileSize += fwrite(bytes, 1, count, g_file);
}

/* Writes a header line (ASCII apart from the timestamp's digits) and flushes it. Log lock
 * held, file open. */
void WriteHeader(const wchar_t *format, ...)
{
   wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
   va_list args;
   va_start(args, format);
   qv_vsnwprintf(text, LOG_MESSAGE_BUFFER_CHARS, format, args);
   va_end(args);
   char utf8[LOG_MESSAGE_BUFFER_CHARS];
   int length = wchar_to_utf8(text, static_cast<int>(wcslen(text)), utf8, sizeof(utf8));
   WriteFileBytes(utf8, static_cast<size_t>(length));
   fflush(g_file);
}

/* Converts count characters of text to UTF-8 at out (room for UTF8_MAX_BYTES each). */
size_t ToUtf8(const wchar_t *text, size_t count, char *out)
{
   return static_cast<size_t>(
       wchar_to_utf8(text, static_cast<int>(count), out, static_cast<int>(count * UTF8_MAX_BYTES)));
}

void LogFormatMessage(wchar_t *buffer, const wchar_t *format, va_list args)
{
   if (qv_vsnwprintf(buffer, LOG_MESSAGE_BUFFER_CHARS, format, args) < 0)
      wcslcpy(buffer, (format != nullptr) ? format : L"", LOG_MESSAGE_BUFFER_CHARS);
}

void LogWriteDebugMessage(const wchar_t *tag, const wchar_t *text)
{
   uint32_t flags = g_flags.load(std::memory_order_acquire);
   uint32_t msg =
       (tag == nullptr) ? g_debugMsg.load(std::memory_order_relaxed) : g_debugMsgTagged.load(std::memory_order_relaxed);
   if ((flags & QVLOG_OPENED) != 0 && msg != 0)
   {
      LogInserts inserts;
      if (tag != nullptr)
      {
         wchar_t *padded = inserts.scratch[0];
         size_t length = wcslen(tag);
         if (length > LOG_DEBUG_TAG_WIDTH)
            length = LOG_DEBUG_TAG_WIDTH;
         memcpy(padded, tag, length * sizeof(wchar_t));
         wmemset(padded + length, L' ', LOG_DEBUG_TAG_WIDTH - length);
         padded[LOG_DEBUG_TAG_WIDTH] = 0;
         inserts.add(padded);
      }
      inserts.add(text);
      WriteMessage(flags, msg, QVLOG_DEBUG_TYPE, inserts);
   }
   LogDebugWriter writer = g_debugWriter.load(std::memory_order_acquire);
   if (writer != nullptr)
      writer(tag, text);
}

}  // namespace qv::log

QV_API bool qvlog_open(const wchar_t *logName, uint32_t flags, const wchar_t *moduleName, uint32_t messageCount,
                       const wchar_t **messages, uint32_t debugMsg, uint32_t debugMsgTagged, uint32_t genericMsg)
{
   if (g_active.load(std::memory_order_acquire))
      qvlog_close();
   flags &= ~QVLOG_OPENED;
   g_flags.store(flags, std::memory_order_release);
   g_debugMsg.store(debugMsg, std::memory_order_relaxed);
   g_debugMsgTagged.store(debugMsgTagged, std::memory_order_relaxed);
   g_genericMsg.store(genericMsg, std::memory_order_relaxed);
   if (logName == nullptr)
      return false;

   if ((flags & QVLOG_EVENT_LOG) != 0)
   {
      char *name = UTF8StringFromWideString(logName);
      bool registered = EventLogOpen(name);
      free(name);
      if (!registered)
         return false;
      g_flags.fetch_or(QVLOG_OPENED, std::memory_order_acq_rel);
      g_active.store(true, std::memory_order_release);
      return true;
   }

   LockAcquire(&g_logLock);
   wcslcpy(g_logFileName, logName, LOG_FILE_NAME_CHARS);
   free(g_logFileNameUtf8);
   g_logFileNameUtf8 = UTF8StringFromWideString(g_logFileName);
   ComputeDayStart(NowMs());
   g_file = (g_logFileNameUtf8 != nullptr) ? OpenLogFile(g_logFileNameUtf8, false) : nullptr;
   if (g_file != nullptr)
   {
      fseek(g_file, 0, SEEK_END);
      long size = ftell(g_file);
      g_fileSize = (size > 0) ? static_cast<uint64_t>(size) : 0;
      g_flags.fetch_or(QVLOG_OPENED, std::memory_order_acq_rel);
      wchar_t timestamp[TIMESTAMP_CHARS + 1];
      FormatTimestamp(NowMs(), timestamp);
      WriteHeader(L"\n%s Log file opened (rotation policy %d, max size %I64u)\n", timestamp,
                  g_policy.load(std::memory_order_relaxed), g_maxSize.load(std::memory_order_relaxed));
   }
   bool opened = (g_file != nullptr);
   LockRelease(&g_logLock);
   if (!opened)
      return false;

   // Without a writer thread the lines would only pile up in memory: write them directly.
   if ((flags & QVLOG_ASYNC) != 0 && !StartBackgroundWriter())
      g_flags.fetch_and(~QVLOG_ASYNC, std::memory_order_acq_rel);
   g_active.store(true, std::memory_order_release);
   return true;
}

/* The writer thread is stopped whenever a cycle is under way, even when a failed
 * rotation left the log closed, so no thread outlives the log. */
QV_API void qvlog_close(void)
{
   if (!g_active.load(std::memory_order_acquire))
      return;
   uint32_t flags = g_flags.load(std::memory_order_acquire);
   if ((flags & QVLOG_EVENT_LOG) != 0)
   {
      EventLogClose();
   }
   else
   {
      StopBackgroundWriter();
      LockAcquire(&g_logLock);
      if (g_file != nullptr)
         fclose(g_file);
      g_file = nullptr;
      LockRelease(&g_logLock);
   }
   g_flags.fetch_and(~QVLOG_OPENED, std::memory_order_acq_rel);
   g_active.store(false, std::memory_order_release);
}

QV_API void qvlog_write(uint32_t msg, uint16_t severity, const char *format, ...)
{
   uint32_t flags = g_flags.load(std::memory_order_acquire);
   if ((flags & QVLOG_OPENED) == 0 || msg == 0)
      return;
   LogInserts inserts;
   va_list args;
   va_start(args, format);
   BuildInserts(&inserts, format, args);
   va_end(args);
   WriteMessage(flags, msg, severity, inserts);
}

QV_API void qvlog_write_generic(uint16_t severity, const wchar_t *format, ...)
{
   uint32_t flags = g_flags.load(std::memory_order_acquire);
   uint32_t msg = g_genericMsg.load(std::memory_order_relaxed);
   if ((flags & QVLOG_OPENED) == 0 || msg == 0)
      return;
   wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
   va_list args;
   va_start(args, format);
   LogFormatMessage(text, format, args);
   va_end(args);
   LogInserts inserts;
   inserts.add(text);
   WriteMessage(flags, msg, severity, inserts);
}

QV_API void qvlog_set_console_writer(LogConsoleWriter writer)
{
   g_consoleWriter.store((writer != nullptr) ? writer : DefaultConsoleWriter, std::memory_order_release);
}

QV_API void qvlog_set_debug_writer(LogDebugWriter writer)
{
   g_debugWriter.store(writer, std::memory_order_release);
}

QV_API void qvlog_set_syslog_path(const char *path)
{
   EventLogSetPath(path);
}

QV_API void qvlog_set_clock(LogClock clock)
{
   g_clock.store(clock, std::memory_order_release);
}
