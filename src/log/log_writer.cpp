/* The process log: opening and closing, the line format, the direct line writer, the
 * event-log mode and the debug path. Rotation is in log_rotation.cpp, the background
 * writer in log_background.cpp. */
#include "log/log_state.h"
#include "log/log_messages.h"
#include "log/log_ring.h"
#include "log/metrics_registry.h"

#include "platform/crash_dump.h"
#include "platform/event_log.h"
#include "platform/log_support.h"
#include "platform/safe_text.h"
#include "platform/sleep.h"

#include <errno.h>
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

/* Room for a line about lost lines, and for the system's text of an error. */
constexpr size_t LOSS_TEXT_BYTES = 512;
constexpr size_t ERROR_TEXT_BYTES = 128;

/* Lines the file could not take since the last notice (a full disk), and the system's
 * code of the last refusal. Under the log lock. */
uint64_t g_lostLines = 0;
int g_lostError = 0;

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
   LogRingAdd(prefix, LINE_PREFIX_CHARS, text.text(), text.length());

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
   if (g_file != nullptr)
   {
      if (line != nullptr)
         WriteFileLines(line, bytes);
      else
         NoteLoss(1, ENOMEM);
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
   wchar_t timestamp[TIMESTAMP_CHARS + 2];
   FormatTimestamp(now, timestamp);
   if ((flags & QVLOG_CONSOLE) != 0)
      g_consoleWriter.load(std::memory_order_acquire)(L"%s %s", timestamp, text->text());
   timestamp[TIMESTAMP_CHARS] = L' ';
   LogRingAdd(timestamp, TIMESTAMP_CHARS + 1, text->text(), text->length());
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
   MetricsCountLogLine();
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

int64_t DebugClockMs()
{
   LogClock clock = g_clock.load(std::memory_order_acquire);
   return (clock != nullptr) ? clock() : static_cast<int64_t>(MonotonicMs());
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

namespace {

uint64_t CountLines(const char *bytes, size_t count)
{
   uint64_t lines = 0;
   for (size_t i = 0; i < count; i++)
      lines += (bytes[i] == '\n') ? 1 : 0;
   return (lines == 0 && count > 0) ? 1 : lines;
}

void ErrorText(int error, char *text, size_t size)
{
   if (!SystemErrorText(static_cast<uint32_t>(error), text, size))
      qv_snprintf(text, size, "error %d", error);
}

}  // namespace

/* Counts lines the file refused. The first loss after a good write goes to the system log
 * at once: the file cannot tell it. Log lock held. */
void NoteLoss(uint64_t lines, int error)
{
   if (g_lostLines == 0)
   {
      char reason[ERROR_TEXT_BYTES];
      ErrorText(error, reason, sizeof(reason));
      char text[LOSS_TEXT_BYTES];
      qv_snprintf(text, sizeof(text), "Log writer: cannot write to %s (%s); lines are being lost",
                  (g_logFileNameUtf8 != nullptr) ? g_logFileNameUtf8 : "the log file", reason);
      EventLogReportAlways(EVENTLOG_ERROR_TYPE, SecondsOf(NowMs()), text);
   }
   g_lostLines += lines;
   g_lostError = error;
   MetricsCountLogDrops(lines);
}

/* Writes whole lines (UTF-8, each ending in a line feed) to the open file. A full disk
 * never leaves a torn line: lines that do not fit are counted as lost. After a loss, the
 * count goes into the file in one write with the next lines, and only together with at
 * least the first of them, so that it stands in the first line written once space has
 * returned; the system log hears it at the same moment. Log lock held. */
void WriteFileLines(const char *bytes, size_t count)
{
   char notice[LOSS_TEXT_BYTES + LINE_PREFIX_CHARS + 1];
   char text[LOSS_TEXT_BYTES];
   size_t noticeLength = 0;
   int64_t now = 0;
   if (g_lostLines > 0)
   {
      char reason[ERROR_TEXT_BYTES];
      ErrorText(g_lostError, reason, sizeof(reason));
      qv_snprintf(text, sizeof(text), "Log writer: %I64u lines were lost (%s)", g_lostLines, reason);
      now = NowMs();
      wchar_t timestamp[TIMESTAMP_CHARS + 1];
      FormatTimestamp(now, timestamp);
      noticeLength = static_cast<size_t>(
          qv_snprintf(notice, sizeof(notice), "%ls %ls%s\n", timestamp, SeverityMark(EVENTLOG_WARNING_TYPE), text));
   }
   const char *out = bytes;
   size_t total = count;
   size_t atLeast = 0;
   char *joined = nullptr;
   if (noticeLength > 0)
   {
      joined = static_cast<char *>(malloc(noticeLength + count));
      if (joined == nullptr)
      {
         NoteLoss(CountLines(bytes, count), ENOMEM);
         return;
      }
      memcpy(joined, notice, noticeLength);
      memcpy(joined + noticeLength, bytes, count);
      const char *firstEnd = static_cast<const char *>(memchr(bytes, '\n', count));
      out = joined;
      total = noticeLength + count;
      atLeast = noticeLength + ((firstEnd != nullptr) ? size_t(firstEnd - bytes) + 1 : count);
   }
   int error = 0;
   size_t kept = AppendLogLines(g_file, out, total, atLeast, &error);
   g_fileSize += kept;
   if (noticeLength > 0 && kept > 0)
   {
      EventLogReportAlways(EVENTLOG_WARNING_TYPE, SecondsOf(now), text);
      g_lostLines = 0;
   }
   if (kept < total)
      NoteLoss(CountLines(out + kept, total - kept) - ((kept == 0 && noticeLength > 0) ? 1 : 0), error);
   free(joined);
}

/* Writes a header line (ASCII apart from the timestamp's digits). Log lock held, file
 * open. */
void WriteHeader(const wchar_t *format, ...)
{
   wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
   va_list args;
   va_start(args, format);
   qv_vsnwprintf(text, LOG_MESSAGE_BUFFER_CHARS, format, args);
   va_end(args);
   char utf8[LOG_MESSAGE_BUFFER_CHARS];
   int length = wchar_to_utf8(text, static_cast<int>(wcslen(text)), utf8, sizeof(utf8));
   WriteFileLines(utf8, static_cast<size_t>(length));
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

namespace {

/* The crash event waits at most this long for the log lock, in steps of the pause. */
constexpr int CRASH_LOCK_TRIES = 200;
constexpr uint32_t CRASH_LOCK_PAUSE_MS = 5;

/* Room for the crash event's line in UTF-8. */
constexpr size_t CRASH_LINE_BYTES = LogText::INLINE_CHARS * UTF8_MAX_BYTES + LINE_PREFIX_CHARS * 2;

/* "yyyy.mm.dd hh:mm:ss.000 " of the local time, without the C library's time functions. */
void CrashTimestamp(wchar_t *out)
{
   CrashLocalTime t;
   CrashLocalTimeOf(CrashTimeNow(), &t);
   int fields[6] = {t.year, t.month, t.day, t.hour, t.minute, t.second};
   const wchar_t separators[6] = {L'.', L'.', L' ', L':', L':', L'.'};
   size_t n = 0;
   for (int i = 0; i < 6; i++)
   {
      int digits = (i == 0) ? 4 : 2;
      for (int d = digits - 1; d >= 0; d--)
      {
         int value = fields[i];
         for (int k = 0; k < d; k++)
            value /= 10;
         out[n++] = static_cast<wchar_t>(L'0' + value % 10);
      }
      out[n++] = separators[i];
   }
   out[n++] = L'0';
   out[n++] = L'0';
   out[n++] = L'0';
   out[n] = 0;
}

}  // namespace

void qv::log::LogWriteCrashEvent(uint32_t msg, uint16_t severity, const wchar_t *const *inserts, int count)
{
   uint32_t flags = g_flags.load(std::memory_order_acquire);
   if ((flags & QVLOG_OPENED) == 0 || msg == 0)
      return;
   LogInserts list;
   for (int i = 0; i < count && i < MAX_INSERTS; i++)
      list.add(inserts[i]);
   LogText text(true);
   const wchar_t *messageText = FindMessageText(msg);
   if (messageText == nullptr || !FormatMessageText(messageText, list, &text))
   {
      char fallback[FALLBACK_TEXT_CHARS];
      SafeText line(fallback, sizeof(fallback));
      line.append("MSG 0x").appendHex(msg, 8).append(" - cannot format message");
      text.truncate(0);
      for (size_t i = 0; i < line.length(); i++)
         text.append(static_cast<wchar_t>(fallback[i]));
   }
   MakeOneLine(&text);

   wchar_t prefix[LINE_PREFIX_CHARS + 1];
   CrashTimestamp(prefix);
   prefix[TIMESTAMP_CHARS] = L' ';
   const wchar_t *mark = SeverityMark(severity);
   for (size_t i = 0; i <= SEVERITY_MARK_CHARS; i++)
      prefix[TIMESTAMP_CHARS + 1 + i] = mark[i];
   LogRingAdd(prefix, LINE_PREFIX_CHARS, text.text(), text.length());

   char bytes[CRASH_LINE_BYTES];
   SafeText line(bytes, sizeof(bytes));
   if ((flags & QVLOG_EVENT_LOG) != 0)
   {
      text.truncate(text.length() - 1);  // the line feed
      AppendWide(line, text.text());
      EventLogReportCrash(severity, CrashTimeNow(), line.text());
      return;
   }
   AppendWide(line, prefix);
   AppendWide(line, text.text());
   bool locked = false;
   for (int i = 0; i < CRASH_LOCK_TRIES && !locked; i++)
   {
      locked = LockTryAcquire(&g_logLock);
      if (!locked)
         SleepMs(CRASH_LOCK_PAUSE_MS);
   }
   // Without the lock the line is written all the same: the process ends next.
   int fd = (g_file != nullptr) ? LogFileDescriptor(g_file) : -1;
   if (fd >= 0)
      CrashFileWrite(fd, line.text(), line.length());
   if (locked)
      LockRelease(&g_logLock);
}
