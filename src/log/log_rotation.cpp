/* Rotation of the log file: by size, through numbered old files, and by day, through
 * files named by the day that ended; explicit and automatic. */
#include "log/log_state.h"
#include "log/metrics_registry.h"

#include "platform/log_support.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

using namespace qv::platform;

namespace qv::log {

namespace {

/* Room for the daily suffix format and for the suffix made from it: 63 characters each. */
constexpr size_t DAILY_SUFFIX_CHARS = 64;

/* Initial rotation settings: by size, 4 MiB, four old files. */
constexpr uint64_t DEFAULT_MAX_SIZE = 4194304;
constexpr int32_t DEFAULT_HISTORY_SIZE = 4;

/* Smallest size limit: limits from 1 to 1023 bytes are raised to it. */
constexpr uint64_t MIN_MAX_SIZE = 1024;

/* Highest number tried when the name for a file rotated by day is taken already. */
constexpr int MAX_DAILY_DUPLICATE = 9999;

/* Room for "." and a number after a file name, in bytes. */
constexpr size_t NUMBER_SUFFIX_BYTES = 16;

/* Under the log lock: the history size, the daily suffix format and the day. */
std::atomic<int32_t> g_historySize{DEFAULT_HISTORY_SIZE};
wchar_t g_dailySuffixFormat[DAILY_SUFFIX_CHARS] = L"%Y%m%d";
int64_t g_dayStart = 0;      // local midnight that began the current day, seconds
int64_t g_nextDayStart = 0;  // the local midnight after it

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

}  // namespace

std::atomic<int32_t> g_policy{QVLOG_ROTATE_BY_SIZE};
std::atomic<uint64_t> g_maxSize{DEFAULT_MAX_SIZE};

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
   MetricsCountLogRotation();
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

}  // namespace qv::log

using namespace qv::log;

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
