/* Dates and times: UTC broken-down time to seconds, compact date-time stamps, and the
 * seconds until a time of day. */
#include <qv_platform.h>

#include "platform/local_time.h"
#include "system/calendar.h"

#include <limits.h>

namespace {

using namespace qv::system;

constexpr int EPOCH_TM_YEAR = 70;
/* A seconds field from this value on is a leap second. */
constexpr int LEAP_SECOND = 60;

/* Stamp lengths: YYMMDDhhmmss and YYYYMMDDhhmmss. */
constexpr size_t SHORT_STAMP = 12;
constexpr size_t LONG_STAMP = 14;
/* A two-digit stamp year is a year of this century. */
constexpr int SHORT_STAMP_CENTURY = 2000;
/* Characters of a wide stamp looked at: one more than the longest stamp. */
constexpr size_t WIDE_STAMP_LIMIT = LONG_STAMP + 1;

/* The value of the count decimal digits at text. */
int Digits(const char *text, size_t count)
{
   int value = 0;
   for (size_t i = 0; i < count; i++)
      value = value * 10 + (text[i] - '0');
   return value;
}

}  // namespace

QV_API time_t qv_timegm(struct tm *tm)
{
   if (tm == nullptr || tm->tm_mon < 0 || tm->tm_mon >= MONTHS || tm->tm_year < EPOCH_TM_YEAR)
      return -1;
   // 64-bit arithmetic throughout: every field may hold any int without overflow.
   int64_t days = DaysFromEpoch(static_cast<int64_t>(tm->tm_year) + TM_YEAR_BASE, tm->tm_mon, tm->tm_mday);
   int64_t seconds =
       ((days * HOURS_PER_DAY + tm->tm_hour) * MINUTES_PER_HOUR + tm->tm_min) * SECONDS_PER_MINUTE + tm->tm_sec;
   if (tm->tm_sec >= LEAP_SECOND)
      seconds--;
   return (seconds < 0) ? -1 : static_cast<time_t>(seconds);
}

QV_API int64_t ParseDateTimeA(const char *text, int64_t defaultValue)
{
   if (text == nullptr)
      return defaultValue;
   size_t length = strnlen(text, LONG_STAMP + 1);
   if (length != SHORT_STAMP && length != LONG_STAMP)
      return defaultValue;
   for (size_t i = 0; i < length; i++)
   {
      if (text[i] < '0' || text[i] > '9')
         return defaultValue;
   }
   // Pairs from the end: seconds, minutes, hours, day, month; the rest is the year.
   const char *p = text + length;
   struct tm t = {};
   t.tm_sec = Digits(p -= 2, 2);
   t.tm_min = Digits(p -= 2, 2);
   t.tm_hour = Digits(p -= 2, 2);
   t.tm_mday = Digits(p -= 2, 2);
   t.tm_mon = Digits(p -= 2, 2) - 1;
   int year = (length == LONG_STAMP) ? Digits(text, 4) : SHORT_STAMP_CENTURY + Digits(text, 2);
   t.tm_year = year - TM_YEAR_BASE;
   t.tm_isdst = -1;
   return static_cast<int64_t>(mktime(&t));
}

QV_API int64_t ParseDateTimeW(const wchar_t *text, int64_t defaultValue)
{
   if (text == nullptr)
      return defaultValue;
   // Only decimal digits make a stamp, so anything else needs no conversion: it fails.
   char narrow[WIDE_STAMP_LIMIT + 1];
   size_t length = 0;
   for (; length < WIDE_STAMP_LIMIT && text[length] != 0; length++)
   {
      wchar_t ch = text[length];
      narrow[length] = (ch >= L'0' && ch <= L'9') ? static_cast<char>(ch) : 'x';
   }
   narrow[length] = 0;
   return ParseDateTimeA(narrow, defaultValue);
}

QV_API int32_t GetSleepTime(uint32_t hour, uint32_t minute, uint32_t second)
{
   struct tm now;
   qv::platform::LocalTimeOf(static_cast<int64_t>(time(nullptr)), &now);
   int64_t target = hour * SECONDS_PER_HOUR + minute * SECONDS_PER_MINUTE + second;
   int64_t current = now.tm_hour * SECONDS_PER_HOUR + now.tm_min * SECONDS_PER_MINUTE + now.tm_sec;
   int64_t sleep = target - current;
   if (sleep < 0)
      sleep += SECONDS_PER_DAY;
   return (sleep > INT32_MAX) ? INT32_MAX : static_cast<int32_t>(sleep);
}
