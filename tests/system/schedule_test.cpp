/* Schedule matching: the documented forms one by one, and every minute of a leap year
 * against a reference matcher written here from the documented rules. */
#include <time.h>

#include <qorvel.h>

#include "system/time_test_util.h"

#include <gtest/gtest.h>

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

bool Matches(const wchar_t *schedule, const struct tm &t)
{
   struct tm copy = t;
   return MatchSchedule(schedule, &copy, qv_timegm(&copy));
}

bool Element(const wchar_t *field, int value, int highest, const struct tm *t = nullptr, time_t now = 0)
{
   std::wstring text(field);
   return MatchScheduleElement(&text[0], value, highest, t, now);
}

/* ------------------------------------------------------------------------------------
 * Reference matcher: each field is cut into items once, with the standard library, and
 * the items are tested by the documented meaning of each form. It covers the well-formed
 * schedules of the comparison below, not arbitrary text. */

struct RefItem
{
   enum Kind
   {
      NUMBER,
      RANGE,
      LAST,         // "L": the highest value
      LAST_WEEK_N,  // "nL"
   } kind;
   int a;
   int b;
};

struct RefField
{
   bool every;   // "*"
   long period;  // "%N", 0 when absent
   long step;
   std::vector<RefItem> items;
};

long StepOf(const std::wstring &text)
{
   long n = text.empty() ? 0 : std::stol(text);
   return n < 1 ? 1 : n;
}

RefField ParseRefField(const std::wstring &text)
{
   RefField field = {false, 0, 1, {}};
   size_t percent = text.find(L'%');
   if (percent != std::wstring::npos)
   {
      field.period = StepOf(text.substr(percent + 1));
      return field;
   }
   std::wstring body = text;
   size_t slash = text.find(L'/');
   if (slash != std::wstring::npos)
   {
      field.step = StepOf(text.substr(slash + 1));
      body = text.substr(0, slash);
   }
   if (body == L"*")
   {
      field.every = true;
      return field;
   }
   size_t start = 0;
   for (;;)
   {
      size_t comma = body.find(L',', start);
      std::wstring item = body.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start);
      size_t dash = item.find(L'-');
      if (item == L"L")
         field.items.push_back({RefItem::LAST, 0, 0});
      else if (!item.empty() && item.back() == L'L')
         field.items.push_back({RefItem::LAST_WEEK_N, std::stoi(item), 0});
      else if (dash != std::wstring::npos)
         field.items.push_back({RefItem::RANGE, std::stoi(item.substr(0, dash)), std::stoi(item.substr(dash + 1))});
      else
         field.items.push_back({RefItem::NUMBER, item.empty() ? 0 : std::stoi(item), 0});
      if (comma == std::wstring::npos)
         break;
      start = comma + 1;
   }
   return field;
}

int DaysInMonth(int year, int month0)
{
   static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
   bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
   return (month0 == 1 && leap) ? 29 : days[month0];
}

bool RefMatch(const RefField &field, int value, int highest, const struct tm &t, time_t now)
{
   if (field.period != 0)
      return now % field.period == 0;
   if (field.every)
      return value % field.step == 0;
   int lastDay = DaysInMonth(t.tm_year + 1900, t.tm_mon);
   for (const RefItem &item : field.items)
   {
      switch (item.kind)
      {
         case RefItem::NUMBER:
            if (value == item.a)
               return true;
            break;
         case RefItem::RANGE:
            if (item.a <= value && value <= item.b && value % field.step == 0)
               return true;
            break;
         case RefItem::LAST:
            if (value == highest)
               return true;
            break;
         case RefItem::LAST_WEEK_N:
            if (value == item.a && t.tm_mday > lastDay - 7)
               return true;
            break;
      }
   }
   return false;
}

struct RefSchedule
{
   std::wstring text;
   RefField fields[5];
};

RefSchedule ParseRefSchedule(const std::wstring &text)
{
   RefSchedule schedule;
   schedule.text = text;
   size_t pos = 0;
   for (RefField &field : schedule.fields)
   {
      pos = text.find_first_not_of(L" \t", pos);
      size_t end = (pos == std::wstring::npos) ? std::wstring::npos : text.find_first_of(L" \t", pos);
      std::wstring piece = (pos == std::wstring::npos) ? std::wstring() : text.substr(pos, end - pos);
      field = ParseRefField(piece);
      pos = end;
   }
   return schedule;
}

bool RefMatchSchedule(const RefSchedule &s, const struct tm &t, time_t now)
{
   int lastDay = DaysInMonth(t.tm_year + 1900, t.tm_mon);
   bool weekday =
       RefMatch(s.fields[4], t.tm_wday, 7, t, now) || (t.tm_wday == 0 && RefMatch(s.fields[4], 7, 7, t, now));
   return RefMatch(s.fields[0], t.tm_min, 59, t, now) && RefMatch(s.fields[1], t.tm_hour, 23, t, now) &&
          RefMatch(s.fields[2], t.tm_mday, lastDay, t, now) && RefMatch(s.fields[3], t.tm_mon + 1, 12, t, now) &&
          weekday;
}

}  // namespace

TEST(Schedule, StepsAndRangesCountMultiplesFromZero)
{
   for (int minute = 0; minute < 60; minute++)
   {
      EXPECT_EQ(Element(L"*/15", minute, 59), minute % 15 == 0) << minute;
      EXPECT_EQ(Element(L"5-20/10", minute, 59), minute == 10 || minute == 20) << minute;
      EXPECT_EQ(Element(L"10-12", minute, 59), minute >= 10 && minute <= 12) << minute;
   }
   // A missing, zero or negative step counts as 1; single numbers ignore the step.
   EXPECT_TRUE(Element(L"*/", 7, 59));
   EXPECT_TRUE(Element(L"*/0", 7, 59));
   EXPECT_TRUE(Element(L"1-9/-3", 7, 59));
   EXPECT_TRUE(Element(L"7/5", 7, 59));
   EXPECT_TRUE(Element(L"1,7-9/7", 1, 59));
   // A second '-' before the range closes fails the field.
   EXPECT_FALSE(Element(L"1-5-9", 3, 59));
   // An empty item reads as 0.
   EXPECT_TRUE(Element(L"", 0, 59));
   EXPECT_TRUE(Element(L"5,", 0, 59));
   EXPECT_FALSE(Element(L"", 1, 59));
}

TEST(Schedule, LastAndSundayForms)
{
   // The leap day is the last of February 2024, the 28th is not.
   EXPECT_TRUE(Matches(L"0 0 1,15,L * *", At(2024, 2, 29)));
   EXPECT_FALSE(Matches(L"0 0 1,15,L * *", At(2024, 2, 28)));
   // Friday 2024-06-07 to Sunday 2024-06-09 are 5-7; Monday is not.
   EXPECT_TRUE(Matches(L"0 0 * * 5-7", At(2024, 6, 9)));
   EXPECT_FALSE(Matches(L"0 0 * * 5-7", At(2024, 6, 10)));
   // "nL" needs the broken-down time, and is no range bound.
   struct tm last = At(2024, 5, 31);
   EXPECT_TRUE(Element(L"5L", 5, 7, &last));
   EXPECT_FALSE(Element(L"5L", 5, 7, nullptr));
   EXPECT_FALSE(Element(L"1-5L", 5, 7, &last));
   EXPECT_FALSE(Element(L"5L3", 4, 7, &last));
   // "L" alone needs no broken-down time.
   EXPECT_TRUE(Element(L"L", 59, 59, nullptr));
}

TEST(Schedule, PercentMeansEveryNSeconds)
{
   struct tm t = At(2024, 1, 1);
   EXPECT_TRUE(Element(L"%30", 0, 59, &t, 1800));
   EXPECT_FALSE(Element(L"%30", 0, 59, &t, 1801));
   EXPECT_TRUE(Element(L"%", 0, 59, &t, 1801));
   EXPECT_TRUE(Element(L"%0", 0, 59, &t, 1801));
   EXPECT_TRUE(Element(L"junk%7", 0, 59, &t, 14));
   EXPECT_FALSE(Element(L"junk%7", 0, 59, &t, 15));
   time_t now = qv_timegm(&t);
   EXPECT_TRUE(MatchSchedule(L"%5 * * * *", &t, now));
   EXPECT_FALSE(MatchSchedule(L"%5 * * * *", &t, now + 1));
}

TEST(Schedule, MissingFieldsMatchOnlyZero)
{
   // The day of month is never 0, so two or three fields never match.
   EXPECT_FALSE(Matches(L"0 0", At(2024, 1, 7)));
   // Four fields: the empty day of week is 0, Sunday; 2024-01-07 is one.
   EXPECT_TRUE(Matches(L"0 0 7 1", At(2024, 1, 7)));
   EXPECT_FALSE(Matches(L"0 0 8 1", At(2024, 1, 8)));
   EXPECT_FALSE(Matches(L"", At(2024, 1, 7)));
   EXPECT_FALSE(MatchSchedule(nullptr, nullptr, 0));
   struct tm t = At(2024, 1, 7);
   EXPECT_FALSE(MatchSchedule(L"* * * * *", nullptr, 0));
   EXPECT_FALSE(MatchScheduleElement(nullptr, 0, 59, &t, 0));
   // Fields after the fifth are not looked at.
   EXPECT_TRUE(Matches(L"* * * * * garbage", t));
}

TEST(Schedule, FieldsLongerThanAnyBufferAreReadWhole)
{
   // A list of 400 characters whose only matching item comes last.
   std::wstring minutes;
   for (int i = 0; i < 100; i++)
      minutes += L"59,";
   minutes += L"7";
   struct tm t = At(2024, 3, 3, 4, 7);
   EXPECT_TRUE(Matches((minutes + L" * * * *").c_str(), t));
   t.tm_min = 8;
   EXPECT_FALSE(Matches((minutes + L" * * * *").c_str(), t));
   std::wstring huge(100000, L'1');
   EXPECT_FALSE(Matches((huge + L" * * * *").c_str(), t));
   EXPECT_TRUE(Matches((L"* * * * " + huge + L",0").c_str(), At(2024, 3, 3)));
}

TEST(Schedule, ElementLeavesItsTextAlone)
{
   wchar_t field[] = L"1-5/2,L,3L";
   struct tm t = At(2024, 1, 31);
   MatchScheduleElement(field, 3, 7, &t, 0);
   EXPECT_STREQ(field, L"1-5/2,L,3L");
}

TEST(Schedule, LastMonthDay)
{
   struct tm t = {};
   const int days2023[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
   t.tm_year = 123;
   for (int m = 0; m < 12; m++)
   {
      t.tm_mon = m;
      EXPECT_EQ(GetLastMonthDay(&t), days2023[m]) << m;
   }
   t.tm_mon = 1;
   for (int year : {2000, 2024, 2400, 1600})
   {
      t.tm_year = year - 1900;
      EXPECT_EQ(GetLastMonthDay(&t), 29) << year;
   }
   for (int year : {1900, 2100, 2023, 2200})
   {
      t.tm_year = year - 1900;
      EXPECT_EQ(GetLastMonthDay(&t), 28) << year;
   }
   t.tm_mon = 12;
   EXPECT_EQ(GetLastMonthDay(&t), 30);
   t.tm_mon = -1;
   EXPECT_EQ(GetLastMonthDay(&t), 30);
   EXPECT_EQ(GetLastMonthDay(nullptr), 30);
}

TEST(Schedule, EveryMinuteOfALeapYearAgreesWithTheReference)
{
   const wchar_t *const schedules[] = {
       L"* * * * *",
       L"\t*  *\t* * *  ",
       L"0 0 1 1 *",
       L"*/15 * * * *",
       L"5-20/10 * * * *",
       L"0,30 8,20 * * *",
       L"0 9-17 * * 1-5",
       L"0 */6 * * *",
       L"15 10 * 1-3,10-12 *",
       L"0 0 29 2 *",
       L"59 23 31 12 *",
       L"0 0 L * *",
       L"0 0 1,15,L * *",
       L"0 0 L,1,15 * *",
       L"0 0 1,L,15 * *",
       L"0 12 L,10 */2 *",
       L"30 2 L 2 *",
       L"L L * * *",
       L"0 0 * L *",
       L"0 0 * * 5-7",
       L"0 0 * * 7",
       L"0 0 * * 0",
       L"0 0 * * 0-7",
       L"0 0 * * 1-7/2",
       L"0 0 * * */7",
       L"0 0 * * L",
       L"0 0 * * 5L",
       L"0 0 * * 0L",
       L"0 0 * * 1,7L",
       L"0 0 * * 7L",
       L"0 0 * * 6,7",
       L"0 0 * * 1-7",
       L"0 6 13 * 5",
       L"0 0 1-7 * 1",
       L"%120 * * * *",
       L"%7 0 * * *",
       L"0 0",
       L"0 0 1 1",
       L"1-5/2,45-59/15 0-23/12 10-20/5 3-9/3 *",
   };
   std::vector<RefSchedule> refs;
   for (const wchar_t *s : schedules)
      refs.push_back(ParseRefSchedule(s));
   std::vector<int> counts(refs.size(), 0);

   struct tm start = At(2024, 1, 1);
   time_t first = qv_timegm(&start);
   constexpr int MINUTES_IN_LEAP_YEAR = 366 * 24 * 60;
   int mismatches = 0;
   for (int minute = 0; minute < MINUTES_IN_LEAP_YEAR; minute++)
   {
      time_t now = first + minute * 60;
      struct tm t;
      gmtime_r(&now, &t);
      for (size_t i = 0; i < refs.size(); i++)
      {
         bool expected = RefMatchSchedule(refs[i], t, now);
         bool got = MatchSchedule(refs[i].text.c_str(), &t, now);
         counts[i] += got ? 1 : 0;
         if (expected != got && ++mismatches <= 20)
            ADD_FAILURE() << "schedule \"" << std::string(refs[i].text.begin(), refs[i].text.end()) << "\" at " << now
                          << ": expected " << expected << ", got " << got;
      }
   }
   EXPECT_EQ(mismatches, 0);

   // Known counts for 2024 (which starts on a Monday and has 366 days), so that the
   // reference itself is held to the calendar.
   auto count = [&](const wchar_t *schedule) {
      for (size_t i = 0; i < refs.size(); i++)
         if (refs[i].text == schedule)
            return counts[i];
      return -1;
   };
   EXPECT_EQ(count(L"* * * * *"), MINUTES_IN_LEAP_YEAR);
   EXPECT_EQ(count(L"0 0 1 1 *"), 1);
   EXPECT_EQ(count(L"0 0 L * *"), 12);
   EXPECT_EQ(count(L"0 0 1,15,L * *"), 36);
   EXPECT_EQ(count(L"0 0 * * 5-7"), 156);
   EXPECT_EQ(count(L"0 0 * * 7"), 52);
   EXPECT_EQ(count(L"0 0 * * L"), 52);
   EXPECT_EQ(count(L"0 0 * * 0-7"), 366);
   EXPECT_EQ(count(L"0 0 * * 5L"), 12);
   EXPECT_EQ(count(L"0 0 * * 0L"), 12);
   EXPECT_EQ(count(L"0 0 * * 7L"), 12);
   EXPECT_EQ(count(L"0 0 L,1,15 * *"), 36);
   EXPECT_EQ(count(L"0 0 1,L,15 * *"), 36);
   EXPECT_EQ(count(L"0 0 * * 6,7"), 104);
   EXPECT_EQ(count(L"0 0 * * 1-7"), 366);
   EXPECT_EQ(count(L"0 0 * * */7"), 52);
   EXPECT_EQ(count(L"0 0 * L *"), 31);
   EXPECT_EQ(count(L"L L * * *"), 366);
   EXPECT_EQ(count(L"0 0 29 2 *"), 1);
   EXPECT_EQ(count(L"0 6 13 * 5"), 2);  // September and December
   EXPECT_EQ(count(L"%120 * * * *"), MINUTES_IN_LEAP_YEAR / 2);
   EXPECT_EQ(count(L"0 0"), 0);
}
