/* Parsing a date and time by a format, for 8-bit texts. One pass over the format; the
 * conversions that depend on each other (%C with %y, %p with the hour) are settled when
 * the whole format has been read. */
#include <qv_platform.h>

#include "platform/local_time.h"
#include "system/calendar.h"

#include <string.h>

namespace {

using namespace qv::system;

constexpr int YEARS_PER_CENTURY = 100;
/* %y without %C: 69-99 are 1969-1999, 00-68 are 2000-2068. */
constexpr int FIRST_YEAR_OF_1900S = 69;
constexpr int HOURS_PER_HALF_DAY = 12;
/* 1970-01-01 was a Thursday. */
constexpr int64_t EPOCH_WEEKDAY = 4;
/* Digits of the largest number %s reads: enough for any 64-bit time. */
constexpr int MAX_EPOCH_DIGITS = 18;

/* Zone names of %z, without and with daylight saving time. */
const char *const STANDARD_ZONES[] = {"EST", "CST", "MST", "PST"};
const char *const DAYLIGHT_ZONES[] = {"EDT", "CDT", "MDT", "PDT"};
const char *const UNIVERSAL_ZONES[] = {"GMT", "UTC", "UT", "Z"};

/* Conversions that take the E and O modifiers. */
const char E_CONVERSIONS[] = "CyY";
const char O_CONVERSIONS[] = "deHImMSuUVwWy";

bool IsSpace(char ch)
{
   return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool IsDigit(char ch)
{
   return ch >= '0' && ch <= '9';
}

const char *SkipSpace(const char *p)
{
   while (IsSpace(*p))
      p++;
   return p;
}

/* What the format has set, for what is settled at the end. */
struct State
{
   struct tm *tm;
   int century;
   int yearInCentury;
   bool haveCentury;
   bool haveYearInCentury;
   bool haveYear;
   bool haveMonth;
   bool haveDay;
   bool haveWeekday;
   bool haveYearDay;
   bool pm;
};

/* Reads 1 to maxDigits decimal digits after optional white space into *value when the
 * number lies in [low, high]; returns the position after it, or null. */
const char *ReadNumber(const char *p, int low, int high, int maxDigits, int *value)
{
   p = SkipSpace(p);
   if (!IsDigit(*p))
      return nullptr;
   int n = 0;
   for (int digits = 0; digits < maxDigits && IsDigit(*p); digits++)
      n = n * 10 + (*p++ - '0');
   if (n < low || n > high)
      return nullptr;
   *value = n;
   return p;
}

/* Reads a field into *field when the number is in range. */
const char *ReadField(const char *p, int low, int high, int maxDigits, int *field)
{
   int value;
   p = ReadNumber(p, low, high, maxDigits, &value);
   if (p != nullptr)
      *field = value;
   return p;
}

bool StartsWith(const char *text, const char *prefix, size_t length)
{
   return length > 0 && strncmp(text, prefix, length) == 0;
}

/* The position after whichever of the names starts the text (the longest one), or null. */
template <size_t N> const char *MatchName(const char *p, const char *const (&names)[N], size_t *index)
{
   const char *best = nullptr;
   for (size_t i = 0; i < N; i++)
   {
      size_t length = strlen(names[i]);
      if (StartsWith(p, names[i], length) && (best == nullptr || p + length > best))
      {
         best = p + length;
         *index = i;
      }
   }
   return best;
}

/* %p: "am" or "pm" in any case. */
const char *ReadMeridian(const char *p, State *state)
{
   // ASCII letters of either case become lower case by this bit.
   constexpr char LOWER_CASE_BIT = 0x20;
   char first = static_cast<char>(p[0] | LOWER_CASE_BIT);
   if (first != 'a' && first != 'p')
      return nullptr;
   // p[1] exists: p[0] was a letter, not the terminator.
   if ((p[1] | LOWER_CASE_BIT) != 'm')
      return nullptr;
   state->pm = (first == 'p');
   return p + 2;
}

/* %s: seconds since the epoch, as local time. */
const char *ReadEpochSeconds(const char *p, State *state)
{
   p = SkipSpace(p);
   bool negative = (*p == '-');
   if (negative)
      p++;
   if (!IsDigit(*p))
      return nullptr;
   int64_t seconds = 0;
   for (int digits = 0; IsDigit(*p); digits++)
   {
      if (digits == MAX_EPOCH_DIGITS)
         return nullptr;
      seconds = seconds * 10 + (*p++ - '0');
   }
   if (!qv::platform::LocalTimeOf(negative ? -seconds : seconds, state->tm))
      return nullptr;
   state->haveCentury = state->haveYearInCentury = false;
   state->haveYear = state->haveMonth = state->haveDay = state->haveWeekday = state->haveYearDay = true;
   return p;
}

/* %Z: "GMT" or one of the local zone's names. */
const char *ReadZoneName(const char *p, State *state)
{
   const char *names[3] = {"GMT", nullptr, nullptr};
   qv::platform::TimeZoneNames(&names[1], &names[2]);
   const char *best = nullptr;
   int dst = 0;
   for (int i = 0; i < 3; i++)
   {
      size_t length = (names[i] != nullptr) ? strlen(names[i]) : 0;
      if (StartsWith(p, names[i], length) && (best == nullptr || p + length > best))
      {
         best = p + length;
         dst = (i == 2) ? 1 : 0;
      }
   }
   if (best != nullptr)
      state->tm->tm_isdst = dst;
   return best;
}

/* %z: a numeric offset, a zone name or a military zone letter; the offset is not
 * applied. */
const char *ReadZoneOffset(const char *p, State *state)
{
   p = SkipSpace(p);
   if (*p == '+' || *p == '-')
   {
      p++;
      if (!IsDigit(p[0]) || !IsDigit(p[1]))
         return nullptr;
      p += 2;
      if (*p == ':')
         p++;
      if (!IsDigit(p[0]) || !IsDigit(p[1]) || (p[0] - '0') * 10 + (p[1] - '0') >= static_cast<int>(MINUTES_PER_HOUR))
         return nullptr;
      return p + 2;
   }
   size_t index;
   if (const char *end = MatchName(p, DAYLIGHT_ZONES, &index))
   {
      state->tm->tm_isdst = 1;
      return end;
   }
   if (const char *end = MatchName(p, STANDARD_ZONES, &index))
      return end;
   if (const char *end = MatchName(p, UNIVERSAL_ZONES, &index))
      return end;
   // Military zones: every letter but J (local time), K and Z (taken above) from A to Y.
   if (*p >= 'A' && *p <= 'Y' && *p != 'J' && *p != 'K')
      return p + 1;
   return nullptr;
}

const char *Parse(const char *text, const char *format, State *state);

/* One conversion (the character after '%' and any modifier) at p. */
const char *Convert(char conversion, const char *p, State *state)
{
   struct tm *tm = state->tm;
   int value;
   switch (conversion)
   {
      case '%': return (*p == '%') ? p + 1 : nullptr;
      case 'C': state->haveCentury = true; return ReadField(p, 0, 99, 2, &state->century);
      case 'd':
      case 'e': state->haveDay = true; return ReadField(p, 1, 31, 2, &tm->tm_mday);
      case 'D': return Parse(p, "%m/%d/%y", state);
      case 'F': return Parse(p, "%Y-%m-%d", state);
      case 'H':
      case 'k': return ReadField(p, 0, 23, 2, &tm->tm_hour);
      case 'I':
      case 'l':
         p = ReadNumber(p, 1, 12, 2, &value);
         if (p != nullptr)
            tm->tm_hour = value % HOURS_PER_HALF_DAY;
         return p;
      case 'j':
         p = ReadNumber(p, 1, 366, 3, &value);
         if (p != nullptr)
         {
            tm->tm_yday = value - 1;
            state->haveYearDay = true;
         }
         return p;
      case 'm':
         p = ReadNumber(p, 1, 12, 2, &value);
         if (p != nullptr)
         {
            tm->tm_mon = value - 1;
            state->haveMonth = true;
         }
         return p;
      case 'M': return ReadField(p, 0, 59, 2, &tm->tm_min);
      case 'n':
      case 't': return SkipSpace(p);
      case 'p': return ReadMeridian(p, state);
      case 'R': return Parse(p, "%H:%M", state);
      case 'S': return ReadField(p, 0, 61, 2, &tm->tm_sec);
      case 's': return ReadEpochSeconds(p, state);
      case 'T': return Parse(p, "%H:%M:%S", state);
      case 'u':
         p = ReadNumber(p, 1, 7, 1, &value);
         if (p != nullptr)
         {
            tm->tm_wday = value % DAYS_PER_WEEK;
            state->haveWeekday = true;
         }
         return p;
      case 'w': state->haveWeekday = true; return ReadField(p, 0, 6, 1, &tm->tm_wday);
      case 'U':
      case 'W':
      case 'V': return ReadNumber(p, 0, 53, 2, &value);
      case 'G': return ReadNumber(p, 0, 9999, 4, &value);
      case 'g': return ReadNumber(p, 0, 99, 2, &value);
      case 'y': state->haveYearInCentury = true; return ReadField(p, 0, 99, 2, &state->yearInCentury);
      case 'Y':
         p = ReadNumber(p, 0, 9999, 4, &value);
         if (p != nullptr)
         {
            tm->tm_year = value - TM_YEAR_BASE;
            state->haveYear = true;
            state->haveCentury = state->haveYearInCentury = false;
         }
         return p;
      case 'Z': return ReadZoneName(p, state);
      case 'z': return ReadZoneOffset(p, state);
      default: return nullptr;
   }
}

const char *Parse(const char *text, const char *format, State *state)
{
   const char *p = text;
   const char *f = format;
   while (*f != 0)
   {
      if (IsSpace(*f))
      {
         p = SkipSpace(p);
         f++;
         continue;
      }
      if (*f != '%')
      {
         if (*p != *f)
            return nullptr;
         p++;
         f++;
         continue;
      }
      char conversion = *++f;
      if (conversion == 'E' || conversion == 'O')
      {
         const char *allowed = (conversion == 'E') ? E_CONVERSIONS : O_CONVERSIONS;
         conversion = *++f;
         if (conversion == 0 || strchr(allowed, conversion) == nullptr)
            return nullptr;
      }
      if (conversion == 0)
         return nullptr;
      f++;
      p = Convert(conversion, p, state);
      if (p == nullptr)
         return nullptr;
   }
   return p;
}

/* Settles the year, the half of the day and the derived fields once the format is read. */
void Finish(State *state)
{
   struct tm *tm = state->tm;
   if (state->haveCentury)
   {
      int yy = state->haveYearInCentury ? state->yearInCentury : 0;
      tm->tm_year = state->century * YEARS_PER_CENTURY + yy - TM_YEAR_BASE;
      state->haveYear = true;
   }
   else if (state->haveYearInCentury)
   {
      int yy = state->yearInCentury;
      tm->tm_year = yy + ((yy < FIRST_YEAR_OF_1900S) ? YEARS_PER_CENTURY : 0);
      state->haveYear = true;
   }
   if (state->pm && tm->tm_hour < HOURS_PER_HALF_DAY)
      tm->tm_hour += HOURS_PER_HALF_DAY;
   if (!state->haveYear || !state->haveMonth || !state->haveDay)
      return;
   int64_t year = static_cast<int64_t>(tm->tm_year) + TM_YEAR_BASE;
   if (!state->haveYearDay)
      tm->tm_yday = DayOfYear(year, tm->tm_mon, tm->tm_mday);
   if (!state->haveWeekday)
   {
      int64_t weekday = (DaysFromEpoch(year, tm->tm_mon, tm->tm_mday) + EPOCH_WEEKDAY) % DAYS_PER_WEEK;
      tm->tm_wday = static_cast<int>((weekday < 0) ? weekday + DAYS_PER_WEEK : weekday);
   }
}

}  // namespace

QV_API char *qv_strptime(const char *text, const char *format, struct tm *tm)
{
   if (text == nullptr || format == nullptr || tm == nullptr)
      return nullptr;
   State state = {};
   state.tm = tm;
   const char *end = Parse(text, format, &state);
   if (end == nullptr)
      return nullptr;
   Finish(&state);
   return const_cast<char *>(end);
}
