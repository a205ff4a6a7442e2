/* Schedule matching: edge cases of single fields, and every minute of a leap year against
 * a reference matcher written here from the documented rules. */
#include <time.h>

#include <qorvel.h>

#include "support/time_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* UTC broken-down time of the date; the matcher takes any broken-down time. */
struct tm At(int year, int month, int day, int hour = 0, int minute = 0)
{
   struct tm t = CalendarTime(year, month, day, hour, minute);
   time_t seconds = qv_timegm(&t);
   gmtime_r(&seconds, &t);
   return t;
}

bool Matches(const std::wstring &schedule, struct tm t)
{
   return MatchSchedule(schedule.c_str(), &t, qv_timegm(&t));
}

/* Reference matcher: each field cut into items once with the standard library, each item
 * tested by the documented meaning of its form. It reads the well-formed schedules of the
 * comparison below, not arbitrary text. */
struct RefItem
{
   char kind;  // 'n' number, 'r' range, 'L' highest value, 'l' "nL"
   int a, b;
};

struct RefField
{
   bool every = false;  // "*"
   long period = 0;     // "%N"
   long step = 1;
   std::vector<RefItem> items;
};

long StepOf(const std::wstring &text)
{
   long n = text.empty() ? 0 : std::stol(text);
   return n < 1 ? 1 : n;
}

RefField ParseRefField(const std::wstring &text)
{
   RefField field;
   size_t percent = text.find(L'%');
   if (percent != std::wstring::npos)
   {
      field.period = StepOf(text.substr(percent + 1));
      return field;
   }
   size_t slash = text.find(L'/');
   if (slash != std::wstring::npos)
      field.step = StepOf(text.substr(slash + 1));
   std::wstring body = text.substr(0, slash);
   field.every = (body == L"*");
   for (size_t start = 0; !field.every && start <= body.size();)
   {
      size_t comma = std::min(body.find(L',', start), body.size());
      std::wstring item = body.substr(start, comma - start);
      size_t dash = item.find(L'-');
      if (item == L"L")
         field.items.push_back({'L', 0, 0});
      else if (!item.empty() && item.back() == L'L')
         field.items.push_back({'l', std::stoi(item), 0});
      else if (dash != std::wstring::npos)
         field.items.push_back({'r', std::stoi(item.substr(0, dash)), std::stoi(item.substr(dash + 1))});
      else
         field.items.push_back({'n', item.empty() ? 0 : std::stoi(item), 0});
      start = comma + 1;
   }
   return field;
}

bool RefMatch(const RefField &field, int value, int highest, int lastDay, const struct tm &t, time_t now)
{
   if (field.period != 0)
      return now % field.period == 0;
   if (field.every)
      return value % field.step == 0;
   for (const RefItem &item : field.items)
   {
      bool hit = (item.kind == 'n' && value == item.a) ||
                 (item.kind == 'r' && item.a <= value && value <= item.b && value % field.step == 0) ||
                 (item.kind == 'L' && value == highest) ||
                 (item.kind == 'l' && value == item.a && t.tm_mday > lastDay - 7);
      if (hit)
         return true;
   }
   return false;
}

struct RefSchedule
{
   std::wstring text;
   RefField fields[5];
   int count = 0;  // matches seen
};

RefSchedule ParseRefSchedule(const std::wstring &text)
{
   RefSchedule schedule;
   schedule.text = text;
   size_t pos = 0;
   for (RefField &field : schedule.fields)
   {
      pos = std::min(text.find_first_not_of(L" \t", pos), text.size());
      size_t end = std::min(text.find_first_of(L" \t", pos), text.size());
      field = ParseRefField(text.substr(pos, end - pos));
      pos = end;
   }
   return schedule;
}

bool RefMatchSchedule(const RefSchedule &s, const struct tm &t, time_t now)
{
   static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
   int year = t.tm_year + 1900;
   bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
   int lastDay = days[t.tm_mon] + ((t.tm_mon == 1 && leap) ? 1 : 0);
   const RefField *f = s.fields;
   return RefMatch(f[0], t.tm_min, 59, lastDay, t, now) && RefMatch(f[1], t.tm_hour, 23, lastDay, t, now) &&
          RefMatch(f[2], t.tm_mday, lastDay, lastDay, t, now) && RefMatch(f[3], t.tm_mon + 1, 12, lastDay, t, now) &&
          (RefMatch(f[4], t.tm_wday, 7, lastDay, t, now) || (t.tm_wday == 0 && RefMatch(f[4], 7, 7, lastDay, t, now)));
}

}  // namespace

TEST(Schedule, SingleFields)
{
   struct tm lastFriday = At(2024, 5, 31);  // the last Friday of May 2024
   const struct
   {
      const wchar_t *field;
      int value;
      int highest;
      const struct tm *time;
      time_t now;
      bool expected;
   } cases[] = {
       // A missing, zero or negative step counts as 1; single numbers ignore the step.
       {L"*/", 7, 59, nullptr, 0, true},
       {L"*/0", 7, 59, nullptr, 0, true},
       {L"1-9/-3", 7, 59, nullptr, 0, true},
       {L"7/5", 7, 59, nullptr, 0, true},
       {L"1,7-9/7", 1, 59, nullptr, 0, true},
       {L"5-20/10", 15, 59, nullptr, 0, false},
       // A second '-' before the range closes fails the field; an empty item is 0.
       {L"1-5-9", 3, 59, nullptr, 0, false},
       {L"", 0, 59, nullptr, 0, true},
       {L"5,", 0, 59, nullptr, 0, true},
       {L"", 1, 59, nullptr, 0, false},
       // "nL" needs the broken-down time and is no range bound; "L" alone needs neither.
       {L"5L", 5, 7, &lastFriday, 0, true},
       {L"5L", 5, 7, nullptr, 0, false},
       {L"1-5L", 5, 7, &lastFriday, 0, false},
       {L"5L3", 4, 7, &lastFriday, 0, false},
       {L"L", 59, 59, nullptr, 0, true},
       {L"3,L", 31, 31, nullptr, 0, true},
       // "%N": every N seconds, whatever stands before it.
       {L"%30", 0, 59, nullptr, 1800, true},
       {L"%30", 0, 59, nullptr, 1801, false},
       {L"%", 0, 59, nullptr, 1801, true},
       {L"%0", 0, 59, nullptr, 1801, true},
       {L"junk%7", 0, 59, nullptr, 14, true},
       {L"junk%7", 0, 59, nullptr, 15, false},
   };
   for (const auto &c : cases)
   {
      std::wstring text(c.field);
      EXPECT_EQ(MatchScheduleElement(&text[0], c.value, c.highest, c.time, c.now), c.expected)
          << std::string(text.begin(), text.end()) << " with " << c.value;
      EXPECT_EQ(text, c.field);  // not changed
   }
   EXPECT_FALSE(MatchScheduleElement(nullptr, 0, 59, &lastFriday, 0));
}

TEST(Schedule, ShortLongAndMissingSchedules)
{
   // Missing fields are empty and match only 0: the day of month never, the empty day
   // of week Sunday (2024-01-07 is one).
   EXPECT_FALSE(Matches(L"0 0", At(2024, 1, 7)));
   EXPECT_TRUE(Matches(L"0 0 7 1", At(2024, 1, 7)));
   EXPECT_FALSE(Matches(L"0 0 8 1", At(2024, 1, 8)));
   EXPECT_TRUE(Matches(L"* * * * * garbage", At(2024, 1, 8)));
   struct tm t = At(2024, 3, 3, 4, 7);
   EXPECT_FALSE(MatchSchedule(nullptr, &t, 0));
   EXPECT_FALSE(MatchSchedule(L"* * * * *", nullptr, 0));
   // Fields longer than any buffer are read whole: the matching item comes last.
   std::wstring minutes;
   for (int i = 0; i < 100; i++)
      minutes += L"59,";
   EXPECT_TRUE(Matches(minutes + L"7 * * * *", t));
   EXPECT_FALSE(Matches(minutes + L"8 * * * *", t));
   std::wstring huge(100000, L'1');
   EXPECT_FALSE(Matches(huge + L" * * * *", t));
   EXPECT_TRUE(Matches(L"* * * * " + huge + L",0", t));  // 2024-03-03 is a Sunday
}

TEST(Schedule, LastMonthDay)
{
   struct tm t = {};
   const int days2023[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
   t.tm_year = 123;
   for (t.tm_mon = 0; t.tm_mon < 12; t.tm_mon++)
      EXPECT_EQ(GetLastMonthDay(&t), days2023[t.tm_mon]) << t.tm_mon;
   t.tm_mon = 1;
   for (int year : {2000, 2024, 2400, 1900, 2100, 2023})
   {
      t.tm_year = year - 1900;
      EXPECT_EQ(GetLastMonthDay(&t), (year % 4 == 0 && year % 100 != 0) || year % 400 == 0 ? 29 : 28) << year;
   }
   t.tm_mon = 12;
   EXPECT_EQ(GetLastMonthDay(&t), 30);
   t.tm_mon = -1;
   EXPECT_EQ(GetLastMonthDay(&t), 30);
   EXPECT_EQ(GetLastMonthDay(nullptr), 30);
}

TEST(Schedule, EveryMinuteOfALeapYearAgreesWithTheReference)
{
   // Each with its count of matches in 2024, a leap year that starts on a Monday, so
   // that the reference itself is held to the calendar (-1: not counted).
   const struct
   {
      const wchar_t *schedule;
      int count;
   } schedules[] = {
       {L"* * * * *", 527040},
       {L"\t*  *\t* * *  ", 527040},
       {L"0 0 1 1 *", 1},
       {L"*/15 * * * *", 35136},
       {L"5-20/10 * * * *", 17568},
       {L"0,30 8,20 * * *", 1464},
       {L"0 9-17 * * 1-5", 2358},
       {L"0 */6 * * *", 1464},
       {L"15 10 * 1-3,10-12 *", 183},
       {L"0 0 29 2 *", 1},
       {L"59 23 31 12 *", 1},
       {L"0 0 L * *", 12},
       {L"0 0 1,15,L * *", 36},
       {L"0 0 L,1,15 * *", 36},
       {L"0 0 1,L,15 * *", 36},
       {L"0 12 L,10 */2 *", 12},
       {L"30 2 L 2 *", 1},
       {L"L L * * *", 366},
       {L"0 0 * L *", 31},
       {L"0 0 * * 5-7", 156},
       {L"0 0 * * 7", 52},
       {L"0 0 * * 0", 52},
       {L"0 0 * * 0-7", 366},
       {L"0 0 * * 1-7", 366},
       {L"0 0 * * 6,7", 104},
       {L"0 0 * * 1-7/2", 157},
       {L"0 0 * * */7", 52},
       {L"0 0 * * L", 52},
       {L"0 0 * * 5L", 12},
       {L"0 0 * * 0L", 12},
       {L"0 0 * * 7L", 12},
       {L"0 0 * * 1,7L", 65},
       {L"0 6 13 * 5", 2},
       {L"0 0 1-7 * 1", 12},
       {L"%120 * * * *", 263520},
       {L"%7 0 * * *", -1},
       {L"0 0", 0},
       {L"0 0 1 1", 0},
       {L"1-5/2,45-59/15 0-23/12 10-20/5 3-9/3 *", -1},
   };
   std::vector<RefSchedule> refs;
   for (const auto &s : schedules)
      refs.push_back(ParseRefSchedule(s.schedule));

   struct tm start = CalendarTime(2024, 1, 1);
   time_t first = qv_timegm(&start);
   int mismatches = 0;
   for (int minute = 0; minute < 527040; minute++)
   {
      time_t now = first + minute * 60;
      struct tm t;
      gmtime_r(&now, &t);
      for (RefSchedule &ref : refs)
      {
         bool got = MatchSchedule(ref.text.c_str(), &t, now);
         ref.count += got ? 1 : 0;
         if (got != RefMatchSchedule(ref, t, now) && ++mismatches <= 20)
            ADD_FAILURE() << "\"" << std::string(ref.text.begin(), ref.text.end()) << "\" at " << now << ": " << got;
      }
   }
   EXPECT_EQ(mismatches, 0);
   for (size_t i = 0; i < refs.size(); i++)
      EXPECT_TRUE(schedules[i].count < 0 || refs[i].count == schedules[i].count)
          << std::string(refs[i].text.begin(), refs[i].text.end()) << ": " << refs[i].count;
}
