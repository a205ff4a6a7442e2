/* The process log: opening and closing, the line format, the direct line writer, the
 * background writer thread, rotation by size and by day, and the debug path. */
#include "log/log_writer.h"
#include "log/log_messages.h"
#include "log/log_ring.h"

#include "platform/crash_dump.h"
#include "platform/event_log.h"
#include "platform/log_support.h"
#include "platform/safe_text.h"
#include "platform/sleep.h"
#include "platform/sync.h"

#include <qv_strings.h>
#include <qv_threads.h>

#include <atomic>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

using namespace qv::log;
using namespace qv::platform;

namespace {

/* Room for the log file name: 259 characters and the terminator. */
constexpr size_t LOG_FILE_NAME_CHARS = 260;

/* Room for the daily suffix format and for the suffix made from it: 63 characters each. */
constexpr size_t DAILY_SUFFIX_CHARS = 64;

/* Initial rotation settings: by size, 4 MiB, four old files. */
constexpr uint64_t DEFAULT_MAX_SIZE = 4194304;
constexpr int32_t DEFAULT_HISTORY_SIZE = 4;

/* Smallest size limit: limits from 1 to 1023 bytes are raised to it. */
constexpr uint64_t MIN_MAX_SIZE = 1024;

/* The background writer makes one pass per second when nothing wakes it. */
constexpr uint32_t WRITER_PASS_MS = 1000;

/* Buffered characters at which a writer wakes the background writer before its second is
 * up, so that a burst does not pile up a second's worth of lines in memory. */
constexpr size_t WRITER_WAKE_CHARS = 1 << 20;

/* Allocation step of the background buffers, in characters: the wake-up size, so that a
 * busy log reaches it in one allocation instead of copying its buffer on the way there
 * (the storage is kept from pass to pass, and pages are only touched as lines arrive). */
constexpr size_t BUFFER_ALLOCATION_STEP = WRITER_WAKE_CHARS;

/* The background writer converts and writes its block in pieces of this many characters. */
constexpr size_t WRITE_CHUNK_CHARS = 65536;

/* Most UTF-8 bytes of one character. */
constexpr size_t UTF8_MAX_BYTES = 4;

/* Converted lines up to this size are built on the stack. */
constexpr size_t STACK_UTF8_BYTES = 4096;

/* "yyyy.mm.dd hh:mm:ss" and ".mmm": the timestamp is 23 characters. */
constexpr size_t TIMESTAMP_SECONDS_CHARS = 19;
constexpr size_t TIMESTAMP_CHARS = 23;

/* Severity marks are four characters ("*E* "); a line starts with the timestamp, a space
 * and the mark. */
constexpr size_t SEVERITY_MARK_CHARS = 4;
constexpr size_t LINE_PREFIX_CHARS = TIMESTAMP_CHARS + 1 + SEVERITY_MARK_CHARS;

constexpr int64_t MS_PER_SECOND = 1000;

/* Highest number tried when the name for a file rotated by day is taken already. */
constexpr int MAX_DAILY_DUPLICATE = 9999;

/* Room for "." and a number after a file name, in bytes. */
constexpr size_t NUMBER_SUFFIX_BYTES = 16;

/* Room for "MSG 0x%08X - cannot format message". */
constexpr size_t FALLBACK_TEXT_CHARS = 64;

/* Room for the background writer's trace line. */
constexpr size_t TRACE_LINE_BYTES = 96;

/* Room for a line about lost lines, and for the system's text of an error. */
constexpr size_t LOSS_TEXT_BYTES = 512;
constexpr size_t ERROR_TEXT_BYTES = 128;

/* Two locks guard the log. g_logLock (the log lock) serialises everything that touches the
 * file: the direct line writer, the background writer's block writes, and every rotation,
 * explicit or automatic, in either mode. g_bufferLock guards only the background buffer.
 * The background writer takes the buffer lock just to swap the buffer out and then writes
 * under the log lock, so writers in background mode never wait for the disk, while an
 * explicit rotation from another thread can never close the file under a running block
 * write or run into the writer's own rotation. Neither lock is ever taken while the other
 * is held. Both are static, so a writer that races with qvlog_close never meets a freed
 * lock. */
QvLock g_logLock = {{LOCK_FREE}, {0}, 0, QV_LOCK_SPIN_COUNT};
QvLock g_bufferLock = {{LOCK_FREE}, {0}, 0, QV_LOCK_SPIN_COUNT};

/* Open flags and QVLOG_OPENED. Read by every writer without a lock. */
std::atomic<uint32_t> g_flags{0};

/* An open cycle is under way (from a successful qvlog_open to qvlog_close), also while a
 * failed rotation left the log closed. */
std::atomic<bool> g_active{false};

std::atomic<uint32_t> g_debugMsg{0};
std::atomic<uint32_t> g_debugMsgTagged{0};
std::atomic<uint32_t> g_genericMsg{0};

std::atomic<int32_t> g_policy{QVLOG_ROTATE_BY_SIZE};
std::atomic<uint64_t> g_maxSize{DEFAULT_MAX_SIZE};
std::atomic<int32_t> g_historySize{DEFAULT_HISTORY_SIZE};

/* Under the log lock: the file, its size, its names, the day. */
FILE *g_file = nullptr;
uint64_t g_fileSize = 0;
wchar_t g_logFileName[LOG_FILE_NAME_CHARS];
char *g_logFileNameUtf8 = nullptr;
wchar_t g_dailySuffixFormat[DAILY_SUFFIX_CHARS] = L"%Y%m%d";
int64_t g_dayStart = 0;      // local midnight that began the current day, seconds
int64_t g_nextDayStart = 0;  // the local midnight after it

/* Lines the file could not take since the last notice (a full disk), and the system's
 * code of the last refusal. Under the log lock. */
uint64_t g_lostLines = 0;
int g_lostError = 0;

/* Background mode. The buffers and the flag are under the buffer lock; the writer swaps
 * g_buffer with g_standby, which it then writes without a lock. */
String *g_buffer = nullptr;
String *g_standby = nullptr;
bool g_accepting = false;
QvEvent *g_wake = nullptr;
std::atomic<bool> g_stop{false};
qorvel_thread_t *g_writer = nullptr;

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

std::atomic<LogConsoleWriter> g_consoleWriter{DefaultConsoleWriter};
std::atomic<LogDebugWriter> g_debugWriter{nullptr};
std::atomic<LogClock> g_clock{nullptr};

int64_t NowMs()
{
   LogClock clock = g_clock.load(std::memory_order_acquire);
   return (clock != nullptr) ? clock() : GetCurrentTimeMs();
}

int64_t SecondsOf(int64_t ms)
{
   return (ms >= 0) ? ms / MS_PER_SECOND : -((-ms + MS_PER_SECOND - 1) / MS_PER_SECOND);
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

/* Local midnight that began the day of nowMs, and the one after it (found through the
 * calendar rather than by adding 86400 seconds, so days of 23 or 25 hours end at
 * midnight too). Log lock held. */
void ComputeDayStart(int64_t nowMs)
{
   struct tm local;
   LocalTimeOf(SecondsOf(nowMs), &local);
   local.tm_hour = 0;
   local.tm_min = 0;
   local.tm_sec = 0;
   local.tm_isdst = -1;
   struct tm next = local;
   g_dayStart = static_cast<int64_t>(mktime(&local));
   next.tm_mday++;
   g_nextDayStart = static_cast<int64_t>(mktime(&next));
}

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

/* Name of a rotated file: the log file name, a point and suffix, optionally followed by a
 * point and number (when number > 0). New block for free(), null when out of memory. */
char *RotatedName(const char *suffix, int number)
{
   size_t size = strlen(g_logFileNameUtf8) + strlen(suffix) + 2 * NUMBER_SUFFIX_BYTES;
   char *name = static_cast<char *>(malloc(size));
   if (name == nullptr)
      return nullptr;
   if (number > 0)
      qv_snprintf(name, size, "%s.%s.%d", g_logFileNameUtf8, suffix, number);
   else
      qv_snprintf(name, size, "%s.%s", g_logFileNameUtf8, suffix);
   return name;
}

char *NumberedName(int number)
{
   char digits[NUMBER_SUFFIX_BYTES];
   qv_snprintf(digits, sizeof(digits), "%d", number);
   return RotatedName(digits, 0);
}

bool FileExists(const char *name)
{
   FILE *file = fopen(name, "rb");
   if (file == nullptr)
      return false;
   fclose(file);
   return true;
}

/* Names are built to their full length, so a long log file name can never make two
 * numbers share a cut name. */
void ShiftHistory(int32_t historySize)
{
   for (int n = QVLOG_MAX_HISTORY_SIZE; n >= historySize; n--)
   {
      char *name = NumberedName(n);
      if (name != nullptr)
         remove(name);
      free(name);
   }
   for (int n = historySize - 1; n >= 0; n--)
   {
      char *from = NumberedName(n);
      char *to = NumberedName(n + 1);
      if (from != nullptr && to != nullptr)
         rename(from, to);
      free(from);
      free(to);
   }
   char *newest = NumberedName(0);
   if (newest != nullptr)
      rename(g_logFileNameUtf8, newest);
   free(newest);
}

/* Renames the log file with the suffix of the day that ended. A name that is taken (the
 * log was rotated before on that day) gets ".1", ".2"... so no earlier file is
 * overwritten. */
void RenameForDay(int64_t nowMs)
{
   struct tm local;
   LocalTimeOf(g_dayStart, &local);
   wchar_t suffix[DAILY_SUFFIX_CHARS];
   if (wcsftime(suffix, DAILY_SUFFIX_CHARS, g_dailySuffixFormat, &local) == 0)
      suffix[0] = 0;
   char *suffixUtf8 = UTF8StringFromWideString(suffix);
   if (suffixUtf8 != nullptr)
   {
      for (int number = 0; number <= MAX_DAILY_DUPLICATE; number++)
      {
         char *name = RotatedName(suffixUtf8, number);
         if (name == nullptr)
            break;
         bool taken = FileExists(name);
         if (!taken)
            rename(g_logFileNameUtf8, name);
         free(name);
         if (!taken)
            break;
      }
      free(suffixUtf8);
   }
   ComputeDayStart(nowMs);
}

/* The rotation itself. Log lock held. */
bool RotateLocked()
{
   if ((g_flags.load(std::memory_order_relaxed) & QVLOG_EVENT_LOG) != 0 || g_logFileNameUtf8 == nullptr)
      return false;
   // QVLOG_OPENED stays set while the files are renamed: writers wait for the lock and
   // then write to the new file instead of dropping their lines. It is cleared only when
   // the file cannot be opened again.
   if (g_file != nullptr)
   {
      fclose(g_file);
      g_file = nullptr;
   }
   int64_t now = NowMs();
   switch (g_policy.load(std::memory_order_relaxed))
   {
      case QVLOG_ROTATE_BY_SIZE: ShiftHistory(g_historySize.load(std::memory_order_relaxed)); break;
      case QVLOG_ROTATE_DAILY: RenameForDay(now); break;
      default: break;
   }
   g_file = OpenLogFile(g_logFileNameUtf8, true);
   if (g_file == nullptr)
   {
      g_flags.fetch_and(~QVLOG_OPENED, std::memory_order_acq_rel);
      return false;
   }
   g_fileSize = 0;
   g_flags.fetch_or(QVLOG_OPENED, std::memory_order_acq_rel);
   wchar_t timestamp[TIMESTAMP_CHARS + 1];
   FormatTimestamp(now, timestamp);
   WriteHeader(L"%s Log file truncated.\n", timestamp);
   return true;
}

/* Log lock held. */
void RotateIfDayEnded(int64_t nowMs)
{
   if (g_policy.load(std::memory_order_relaxed) == QVLOG_ROTATE_DAILY && SecondsOf(nowMs) >= g_nextDayStart)
      RotateLocked();
}

/* Log lock held. */
void RotateIfFull()
{
   uint64_t maxSize = g_maxSize.load(std::memory_order_relaxed);
   if (g_file != nullptr && g_policy.load(std::memory_order_relaxed) == QVLOG_ROTATE_BY_SIZE && maxSize != 0 &&
       g_fileSize >= maxSize)
      RotateLocked();
}

/* Converts count characters of text to UTF-8 at out (room for UTF8_MAX_BYTES each). */
size_t ToUtf8(const wchar_t *text, size_t count, char *out)
{
   return static_cast<size_t>(
       wchar_to_utf8(text, static_cast<int>(count), out, static_cast<int>(count * UTF8_MAX_BYTES)));
}

/* One block of the background writer: to the console writer, then to the file in
 * pieces, then the size check. */
void WriteBlock(const String &block, uint32_t flags, char *chunk)
{
   if ((flags & QVLOG_CONSOLE) != 0)
      g_consoleWriter.load(std::memory_order_acquire)(L"%s", block.getBuffer());
   const wchar_t *text = block.getBuffer();
   size_t length = block.length();
   LockAcquire(&g_logLock);
   if (g_file != nullptr)
   {
      if ((flags & QVLOG_TRACE_WRITES) != 0)
      {
         char trace[TRACE_LINE_BYTES];
         int64_t bytes = wchar_utf8len(text, static_cast<int>(length)) - 1;
         int n =
             qv_snprintf(trace, sizeof(trace), "##(%I64d)%I64d @%I64d\n", static_cast<int64_t>(length), bytes, NowMs());
         WriteFileLines(trace, static_cast<size_t>(n));
      }
      size_t done = 0;
      while (done < length)
      {
         // Pieces of whole lines, so that a full disk cuts between lines.
         size_t count = (length - done < WRITE_CHUNK_CHARS) ? length - done : WRITE_CHUNK_CHARS;
         size_t end = count;
         while (done + count < length && end > 0 && text[done + end - 1] != L'\n')
            end--;
         count = (end > 0) ? end : count;
         WriteFileLines(chunk, ToUtf8(text + done, count, chunk));
         done += count;
      }
      RotateIfFull();
   }
   LockRelease(&g_logLock);
}

/* The background writer: one pass per second, or sooner when woken; the pass after the
 * stop request writes whatever is left. */
void BackgroundWriter(void *)
{
   char *chunk = static_cast<char *>(malloc(WRITE_CHUNK_CHARS * UTF8_MAX_BYTES));
   bool stop = false;
   while (!stop)
   {
      EventWait(g_wake, WRITER_PASS_MS);
      stop = g_stop.load(std::memory_order_acquire);

      LockAcquire(&g_logLock);
      RotateIfDayEnded(NowMs());
      LockRelease(&g_logLock);

      String *block = nullptr;
      LockAcquire(&g_bufferLock);
      if (!g_buffer->isEmpty())
      {
         block = g_buffer;
         g_buffer = g_standby;
         g_standby = block;
      }
      LockRelease(&g_bufferLock);

      if (block != nullptr)
      {
         if (chunk != nullptr)
            WriteBlock(*block, g_flags.load(std::memory_order_acquire), chunk);
         block->clear();
      }
   }
   free(chunk);
}

bool StartBackgroundWriter()
{
   g_buffer = new String();
   g_standby = new String();
   g_buffer->setAllocationStep(BUFFER_ALLOCATION_STEP);
   g_standby->setAllocationStep(BUFFER_ALLOCATION_STEP);
   g_wake = EventCreate(false);
   g_stop.store(false, std::memory_order_release);
   if (g_wake != nullptr)
      g_writer = ThreadStart(BackgroundWriter, 0, nullptr);
   if (g_writer == nullptr)
   {
      EventDestroy(g_wake);
      g_wake = nullptr;
      delete g_buffer;
      delete g_standby;
      g_buffer = g_standby = nullptr;
      return false;
   }
   ThreadSetName(g_writer, "LogWriter");
   LockAcquire(&g_bufferLock);
   g_accepting = true;
   LockRelease(&g_bufferLock);
   return true;
}

/* Writers are turned away under the buffer lock before the stop request, so the writer's
 * last pass sees every line that got into the buffer. */
void StopBackgroundWriter()
{
   LockAcquire(&g_bufferLock);
   g_accepting = false;
   LockRelease(&g_bufferLock);
   g_stop.store(true, std::memory_order_release);
   EventSet(g_wake);
   ThreadWaitForExit(g_writer);
   g_writer = nullptr;
   EventDestroy(g_wake);
   g_wake = nullptr;
   delete g_buffer;
   delete g_standby;
   g_buffer = g_standby = nullptr;
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
      LockAcquire(&g_bufferLock);
      if (g_accepting)
      {
         size_t before = g_buffer->length();
         g_buffer->append(prefix, LINE_PREFIX_CHARS);
         g_buffer->append(text.text(), text.length());
         if (before < WRITER_WAKE_CHARS && g_buffer->length() >= WRITER_WAKE_CHARS)
            EventSet(g_wake);
      }
      LockRelease(&g_bufferLock);
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
   if ((flags & QVLOG_EVENT_LOG) != 0)
      ReportEvent(flags, severity, &text, formatted, inserts);
   else
      WriteLine(flags, severity, text);
}

}  // namespace

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
      if (g_writer != nullptr)
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

QV_API bool qvlog_rotate(void)
{
   if (!g_active.load(std::memory_order_acquire))
      return false;
   LockAcquire(&g_logLock);
   bool open = RotateLocked();
   LockRelease(&g_logLock);
   return open;
}

QV_API bool qvlog_set_rotation_policy(int32_t policy, uint64_t maxSize, int32_t historySize, const wchar_t *dailySuffix)
{
   // Rotations read the settings under the log lock, so they never see half of a change.
   LockAcquire(&g_logLock);
   bool taken = true;
   g_policy.store(policy, std::memory_order_relaxed);
   if (policy == QVLOG_ROTATE_BY_SIZE)
   {
      bool raised = (maxSize > 0 && maxSize < MIN_MAX_SIZE);
      g_maxSize.store(raised ? MIN_MAX_SIZE : maxSize, std::memory_order_relaxed);
      if (historySize > QVLOG_MAX_HISTORY_SIZE)
         g_historySize.store(QVLOG_MAX_HISTORY_SIZE, std::memory_order_relaxed);
      else if (historySize >= 0)
         g_historySize.store(historySize, std::memory_order_relaxed);
      taken = !raised && historySize >= 0 && historySize <= QVLOG_MAX_HISTORY_SIZE;
   }
   else if (policy == QVLOG_ROTATE_DAILY)
   {
      if (dailySuffix != nullptr && *dailySuffix != 0)
         wcslcpy(g_dailySuffixFormat, dailySuffix, DAILY_SUFFIX_CHARS);
      ComputeDayStart(NowMs());
   }
   LockRelease(&g_logLock);
   if (!taken)
      return false;
   wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
   qv_snwprintf(text, LOG_MESSAGE_BUFFER_CHARS, L"Log rotation policy set to %d (size=%I64u, count=%d)", policy,
                maxSize, historySize);
   LogWriteDebugMessage(nullptr, text);
   return true;
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

void LogWriteCrashEvent(uint32_t msg, uint16_t severity, const wchar_t *const *inserts, int count)
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
