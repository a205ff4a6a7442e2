/* Schedule matching: the five-field schedule, one field of it, and the length of a month.
 * Fields are read where they lie in the schedule text, without copying, so a field of
 * any length is matched whole. */
#include <qv_platform.h>

#include "system/calendar.h"

#include <wctype.h>

namespace {

/* Highest values of the fields that have a fixed one (for "L"). */
constexpr int LAST_MINUTE = 59;
constexpr int LAST_HOUR = 23;
constexpr int LAST_MONTH = 12;
/* Sunday counts as 0 and as 7 in the day of week; 7 is the highest value. */
constexpr int SUNDAY = 0;
constexpr int SUNDAY_HIGH = 7;

/* "nL" holds in the last this many days of the month. */
constexpr int DAYS_IN_LAST_WEEK = 7;

/* The length given for a month outside 0-11. */
constexpr int DAYS_IN_UNKNOWN_MONTH = 30;
constexpr int64_t DECIMAL_BASE = 10;

/* The text of one field: [begin, end). */
struct FieldText
{
   const wchar_t *begin;
   const wchar_t *end;
};

const wchar_t *Find(const wchar_t *begin, const wchar_t *end, wchar_t ch)
{
   for (const wchar_t *p = begin; p < end; p++)
      if (*p == ch)
         return p;
   return end;
}

/* The decimal number at the start of [begin, end) as the C library reads it: leading
 * white space and a sign are taken, reading stops at the first other character, and no
 * digits give 0. Saturates far beyond any value a field is compared with. */
int64_t ReadDecimal(const wchar_t *begin, const wchar_t *end)
{
   constexpr int64_t LIMIT = INT64_C(1) << 40;
   const wchar_t *p = begin;
   while (p < end && iswspace(static_cast<wint_t>(*p)))
      p++;
   bool negative = false;
   if (p < end && (*p == L'+' || *p == L'-'))
      negative = (*p++ == L'-');
   int64_t n = 0;
   for (; p < end && *p >= L'0' && *p <= L'9'; p++)
   {
      if (n < LIMIT)
         n = n * DECIMAL_BASE + (*p - L'0');
   }
   return negative ? -n : n;
}

/* The step or period after a '/' or '%': below 1 counts as 1. */
int64_t ReadStep(const wchar_t *begin, const wchar_t *end)
{
   int64_t step = ReadDecimal(begin, end);
   return (step < 1) ? 1 : step;
}

bool InLastWeek(const struct tm *localTime)
{
   return localTime->tm_mday > GetLastMonthDay(localTime) - DAYS_IN_LAST_WEEK;
}

bool MatchField(FieldText field, int value, int highest, const struct tm *localTime, time_t now)
{
   // "%N": decided by the time in seconds alone.
   const wchar_t *percent = Find(field.begin, field.end, L'%');
   if (percent != field.end)
      return static_cast<int64_t>(now) % ReadStep(percent + 1, field.end) == 0;

   const wchar_t *end = Find(field.begin, field.end, L'/');
   int64_t step = (end != field.end) ? ReadStep(end + 1, field.end) : 1;
   if (field.begin < end && *field.begin == L'*')
      return value % step == 0;

   bool rangeOpen = false;
   int64_t rangeStart = 0;
   const wchar_t *item = field.begin;
   for (;;)
   {
      const wchar_t *stop = item;
      while (stop < end && *stop != L',' && *stop != L'-' && *stop != L'L')
         stop++;
      int64_t number = ReadDecimal(item, stop);
      if (stop == end || *stop == L',')
      {
         if (rangeOpen)
         {
            if (rangeStart <= value && value <= number && value % step == 0)
               return true;
            rangeOpen = false;
         }
         else if (value == number)
         {
            return true;
         }
         if (stop == end)
            return false;
         item = stop + 1;
      }
      else if (*stop == L'-')
      {
         if (rangeOpen)
            return false;
         rangeOpen = true;
         rangeStart = number;
         item = stop + 1;
      }
      else  // 'L'
      {
         if (rangeOpen)
            return false;
         if (stop == item)
         {
            // "L" alone, also as an item of a list: the field's highest value.
            if (value == highest)
               return true;
         }
         else if (localTime == nullptr)
         {
            return false;
         }
         else if (value == number && InLastWeek(localTime))
         {
            return true;
         }
         if (stop + 1 == end || stop[1] != L',')
            return false;
         item = stop + 2;
      }
   }
}

bool IsBlank(wchar_t ch)
{
   return ch == L' ' || ch == L'\t';
}

/* The next field of the schedule from *cursor, which moves past it; an empty field at
 * the end of the text. */
FieldText NextField(const wchar_t **cursor)
{
   const wchar_t *p = *cursor;
   while (IsBlank(*p))
      p++;
   FieldText field = {p, p};
   while (*p != 0 && !IsBlank(*p))
      p++;
   field.end = p;
   *cursor = p;
   return field;
}

}  // namespace

QV_API int GetLastMonthDay(const struct tm *tm)
{
   using namespace qv::system;
   if (tm == nullptr || tm->tm_mon < 0 || tm->tm_mon >= MONTHS)
      return DAYS_IN_UNKNOWN_MONTH;
   return DaysInMonth(static_cast<int64_t>(tm->tm_year) + TM_YEAR_BASE, tm->tm_mon);
}

QV_API bool MatchScheduleElement(wchar_t *field, int value, int highest, const struct tm *localTime, time_t now)
{
   if (field == nullptr)
      return false;
   FieldText text = {field, field + wcslen(field)};
   return MatchField(text, value, highest, localTime, now);
}

QV_API bool MatchSchedule(const wchar_t *schedule, const struct tm *localTime, time_t now)
{
   if (schedule == nullptr || localTime == nullptr)
      return false;
   const wchar_t *cursor = schedule;
   if (!MatchField(NextField(&cursor), localTime->tm_min, LAST_MINUTE, localTime, now))
      return false;
   if (!MatchField(NextField(&cursor), localTime->tm_hour, LAST_HOUR, localTime, now))
      return false;
   if (!MatchField(NextField(&cursor), localTime->tm_mday, GetLastMonthDay(localTime), localTime, now))
      return false;
   // Computed wide, so that no month number of a caller's time overflows.
   int month = static_cast<int>(static_cast<int64_t>(localTime->tm_mon) + 1);
   if (!MatchField(NextField(&cursor), month, LAST_MONTH, localTime, now))
      return false;
   FieldText dayOfWeek = NextField(&cursor);
   if (MatchField(dayOfWeek, localTime->tm_wday, SUNDAY_HIGH, localTime, now))
      return true;
   // Sunday is both 0 and 7, so "5-7", "7" and "L" hold on Sundays too.
   return localTime->tm_wday == SUNDAY && MatchField(dayOfWeek, SUNDAY_HIGH, SUNDAY_HIGH, localTime, now);
}
