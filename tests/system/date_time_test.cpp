/* Dates and times: timegm against the C library's, strptime round trips with strftime,
 * date-time stamps and the seconds until a time of day. */
#include <time.h>

#include <qorvel.h>

// The C library's own functions, to compare with.
#undef timegm
#undef strptime

#include "system/time_test_util.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>

namespace {

/* Sets TZ for the life of the object and puts the old value back. */
class ZoneSetting
{
   std::string m_old;
   bool m_had;

public:
   explicit ZoneSetting(const char *zone)
   {
      const char *old = getenv("TZ");
      m_had = (old != nullptr);
      if (m_had)
         m_old = old;
      setenv("TZ", zone, 1);
      tzset();
   }
   ~ZoneSetting()
   {
      if (m_had)
         setenv("TZ", m_old.c_str(), 1);
      else
         unsetenv("TZ");
      tzset();
   }
};

/* A zone with daylight saving time that needs no zone files. */
const char *const RIGA_ZONE = "EET-2EEST,M3.5.0/3,M10.5.0/4";

}  // namespace

TEST(Timegm, KnownTimes)
{
   struct tm t = CalendarTime(1970, 1, 1);
   EXPECT_EQ(qv_timegm(&t), 0);
   t = CalendarTime(2000, 2, 29, 12);
   EXPECT_EQ(qv_timegm(&t), 951825600);
   t = CalendarTime(2038, 1, 19, 3, 14, 8);
   EXPECT_EQ(qv_timegm(&t), INT64_C(2147483648));
   // A leap second counts as the second before it; the struct is not changed.
   struct tm leap = CalendarTime(2016, 12, 31, 23, 59, 60);
   struct tm before = CalendarTime(2016, 12, 31, 23, 59, 59);
   EXPECT_EQ(qv_timegm(&leap), qv_timegm(&before));
   EXPECT_EQ(leap.tm_sec, 60);
   EXPECT_EQ(leap.tm_wday, 0);
}

TEST(Timegm, RefusesWhatItCannotCount)
{
   struct tm t = CalendarTime(1969, 12, 31, 23, 59, 59);
   EXPECT_EQ(qv_timegm(&t), -1);
   t = CalendarTime(2024, 13, 1);
   EXPECT_EQ(qv_timegm(&t), -1);
   t = CalendarTime(2024, 0, 1);
   EXPECT_EQ(qv_timegm(&t), -1);
   // Fields that take the time before the epoch.
   t = CalendarTime(1970, 1, 1, -1);
   EXPECT_EQ(qv_timegm(&t), -1);
   t = CalendarTime(1970, 1, 1, 0, 0, -1);
   EXPECT_EQ(qv_timegm(&t), -1);
   EXPECT_EQ(qv_timegm(nullptr), -1);
   // Extreme fields are counted without overflow.
   t = CalendarTime(1970, 1, 1);
   t.tm_year = INT32_MAX;
   t.tm_mday = INT32_MAX;
   t.tm_hour = INT32_MAX;
   t.tm_min = INT32_MAX;
   t.tm_sec = INT32_MAX;
   EXPECT_GT(qv_timegm(&t), 0);
   t.tm_mday = INT32_MIN;
   t.tm_hour = INT32_MIN;
   t.tm_min = INT32_MIN;
   t.tm_sec = INT32_MIN;
   EXPECT_GT(qv_timegm(&t), 0);
}

TEST(Timegm, AgreesWithTheCLibraryFrom1970To2100)
{
   std::mt19937 random(20240229);
   std::uniform_int_distribution<int> year(1970, 2100), month(0, 11), day(1, 31), hour(0, 23), minute(0, 59),
       second(0, 59);
   for (int i = 0; i < 200000; i++)
   {
      struct tm t = CalendarTime(year(random), 1, day(random), hour(random), minute(random), second(random));
      t.tm_mon = month(random);
      struct tm copy = t;
      time_t expected = timegm(&copy);
      ASSERT_EQ(qv_timegm(&t), expected) << t.tm_year + 1900 << "-" << t.tm_mon + 1 << "-" << t.tm_mday << " "
                                         << t.tm_hour << ":" << t.tm_min << ":" << t.tm_sec;
   }
   // Fields out of their ranges roll over as the C library rolls them.
   std::uniform_int_distribution<int> wild(-100000, 100000);
   for (int i = 0; i < 20000; i++)
   {
      struct tm t = CalendarTime(year(random), 1, 1);
      t.tm_mon = month(random);
      t.tm_mday = wild(random) / 100;
      t.tm_hour = wild(random) / 10;
      t.tm_min = wild(random);
      t.tm_sec = wild(random) % 60;
      struct tm copy = t;
      time_t expected = timegm(&copy);
      ASSERT_EQ(qv_timegm(&t), expected < 0 ? -1 : expected) << i;
   }
}

TEST(Strptime, FillsTheFieldsAndPointsAtTheRest)
{
   struct tm t = {};
   const char *text = "2024-02-29 13:05:00";
   char *end = qv_strptime(text, "%Y-%m-%d %H:%M:%S", &t);
   ASSERT_EQ(end, text + strlen(text));
   EXPECT_EQ(t.tm_year, 124);
   EXPECT_EQ(t.tm_mon, 1);
   EXPECT_EQ(t.tm_mday, 29);
   EXPECT_EQ(t.tm_hour, 13);
   EXPECT_EQ(t.tm_min, 5);
   EXPECT_EQ(t.tm_sec, 0);
   // The weekday and the day of the year follow from the date.
   EXPECT_EQ(t.tm_wday, 4);
   EXPECT_EQ(t.tm_yday, 59);

   text = "12/31/99 rest";
   end = qv_strptime(text, "%D", &t);
   EXPECT_STREQ(end, " rest");
   EXPECT_EQ(t.tm_year, 99);
   EXPECT_EQ(t.tm_yday, 364);
   EXPECT_EQ(t.tm_wday, 5);
}

TEST(Strptime, FailsOnWhatItDoesNotKnow)
{
   struct tm t = {};
   const char *const formats[] = {"%A", "%a", "%B", "%b", "%h", "%c", "%x", "%X", "%r", "%Ed", "%OY", "%", "%E", "%Q"};
   for (const char *format : formats)
      EXPECT_EQ(qv_strptime("Monday January 1 2024 12:00:00 AM", format, &t), nullptr) << format;
   struct Case
   {
      const char *text;
      const char *format;
   };
   const Case bad[] = {
       {"13", "%m"},      {"0", "%m"},        {"0", "%d"},
       {"32", "%d"},      {"24", "%H"},       {"0", "%I"},
       {"13", "%I"},      {"60", "%M"},       {"62", "%S"},
       {"0", "%j"},       {"367", "%j"},      {"0", "%u"},
       {"8", "%u"},       {"7", "%w"},        {"54", "%U"},
       {"54", "%V"},      {"x", "%Y"},        {"", "%Y"},
       {"2024", "%Y-%m"}, {"2024-", "%Y-%m"}, {"am", "%p %I"},
       {"xm", "%p"},      {"a", "%p"},        {"", "%p"},
       {"+05", "%z"},     {"+0560", "%z"},    {"J", "%z"},
       {"z", "%z"},       {"", "%z"},         {"XYZ", "%Z"},
       {"", "%s"},        {"-", "%s"},        {"9999999999999999999", "%s"},
       {"a", "b"},        {"", "x"},
   };
   for (const Case &c : bad)
      EXPECT_EQ(qv_strptime(c.text, c.format, &t), nullptr) << c.text << " / " << c.format;
   EXPECT_EQ(qv_strptime(nullptr, "%Y", &t), nullptr);
   EXPECT_EQ(qv_strptime("2024", nullptr, &t), nullptr);
   EXPECT_EQ(qv_strptime("2024", "%Y", nullptr), nullptr);
}

TEST(Strptime, CenturiesAndTwoDigitYears)
{
   const struct
   {
      const char *text;
      const char *format;
      int year;
   } cases[] = {
       {"68", "%y", 2068},       {"69", "%y", 1969}, {"1905", "%C%y", 1905},
       {"05 19", "%y %C", 1905}, {"21", "%C", 2100}, {"19 2024", "%C %Y", 2024},
   };
   for (const auto &c : cases)
   {
      struct tm t = {};
      ASSERT_NE(qv_strptime(c.text, c.format, &t), nullptr) << c.text;
      EXPECT_EQ(t.tm_year + 1900, c.year) << c.text;
   }
}

TEST(Strptime, HalfDays)
{
   struct tm t = {};
   const struct
   {
      const char *text;
      const char *format;
      int hour;
   } cases[] = {
       {"12 am", "%I %p", 0},  {"12 PM", "%I %p", 12}, {"1 pm", "%l %p", 13},
       {"11 Am", "%I %p", 11}, {"pm 05", "%p %I", 17}, {"15 pm", "%H %p", 15},
   };
   for (const auto &c : cases)
   {
      ASSERT_NE(qv_strptime(c.text, c.format, &t), nullptr) << c.text;
      EXPECT_EQ(t.tm_hour, c.hour) << c.text;
   }
}

TEST(Strptime, Zones)
{
   ZoneSetting zone(RIGA_ZONE);
   struct tm t = {};
   t.tm_isdst = 5;
   ASSERT_NE(qv_strptime("GMT", "%Z", &t), nullptr);
   EXPECT_EQ(t.tm_isdst, 0);
   ASSERT_NE(qv_strptime("EEST", "%Z", &t), nullptr);
   EXPECT_EQ(t.tm_isdst, 1);
   ASSERT_NE(qv_strptime("EET", "%Z", &t), nullptr);
   EXPECT_EQ(t.tm_isdst, 0);

   const char *const accepted[] = {"+0200", "-0530", "+02:00", "GMT", "UT",  "UTC", "Z",
                                   "A",     "I",     "L",      "Y",   "EST", "PST"};
   for (const char *text : accepted)
   {
      t.tm_isdst = 0;
      char *end = qv_strptime(text, "%z", &t);
      ASSERT_NE(end, nullptr) << text;
      EXPECT_EQ(*end, 0) << text;
      EXPECT_EQ(t.tm_isdst, 0) << text;
   }
   for (const char *text : {"EDT", "CDT", "MDT", "PDT"})
   {
      t.tm_isdst = 0;
      ASSERT_NE(qv_strptime(text, "%z", &t), nullptr) << text;
      EXPECT_EQ(t.tm_isdst, 1) << text;
   }
}

TEST(Strptime, RoundTripsWithStrftimeForEveryConversion)
{
   ZoneSetting zone(RIGA_ZONE);
   // Each format and the fields it sets (as a set of tm members); where the C library's
   // strptime reads the text too, it must agree field for field.
   enum : unsigned
   {
      SEC = 1,
      MIN = 2,
      HOUR = 4,
      MDAY = 8,
      MON = 16,
      YEAR = 32,
      WDAY = 64,
      YDAY = 128,
      ALL = 255
   };
   const struct
   {
      const char *format;
      unsigned fields;
      bool glibc = true;  // false: the C library's strptime refuses the text
   } conversions[] = {
       {"%Y-%m-%d %H:%M:%S", ALL},
       {"%C%y %j", YEAR | YDAY},
       {"%D", MON | MDAY | YEAR | WDAY | YDAY},
       {"%F %T", ALL},
       {"%R", HOUR | MIN},
       {"%e.%m.%Y %k", MDAY | MON | YEAR | HOUR | WDAY | YDAY},
       {"%I:%M %p", HOUR | MIN},
       {"%l %p", HOUR},
       {"%u", WDAY},
       {"%w", WDAY},
       {"%U %W %V %G %g", 0},
       {"%y", YEAR},
       {"%Ey %EC %OH:%OM:%OS", YEAR | HOUR | MIN | SEC, false},
       {"%Od/%Om/%EY", MDAY | MON | YEAR | WDAY | YDAY, false},
       {"%s", ALL},
       {"%%%n%t%H", HOUR},
       {"%Y%m%d%H%M%S %z %Z", ALL},
   };
   std::mt19937 random(7);
   // To the end of 2068, the last year that two digits name without a century.
   std::uniform_int_distribution<int64_t> seconds(0, INT64_C(3124137599));
   for (int i = 0; i < 3000; i++)
   {
      time_t when = static_cast<time_t>(seconds(random));
      struct tm source;
      localtime_r(&when, &source);
      for (const auto &c : conversions)
      {
         char text[128];
         ASSERT_GT(strftime(text, sizeof(text), c.format, &source), 0u) << c.format;
         struct tm ours = {};
         struct tm theirs = {};
         char *end = qv_strptime(text, c.format, &ours);
         ASSERT_NE(end, nullptr) << c.format << " on \"" << text << "\"";
         EXPECT_EQ(*end, 0) << c.format << " on \"" << text << "\"";
         if (c.glibc)
         {
            ASSERT_NE(strptime(text, c.format, &theirs), nullptr) << c.format;
         }
         auto check = [&](unsigned field, int mine, int expected, int glibc, const char *name) {
            if (c.fields & field)
            {
               EXPECT_EQ(mine, expected) << name << " of " << c.format << " on \"" << text << "\"";
               if (c.glibc)
               {
                  EXPECT_EQ(mine, glibc) << name << " of " << c.format << " on \"" << text << "\"";
               }
            }
         };
         check(SEC, ours.tm_sec, source.tm_sec, theirs.tm_sec, "second");
         check(MIN, ours.tm_min, source.tm_min, theirs.tm_min, "minute");
         check(HOUR, ours.tm_hour, source.tm_hour, theirs.tm_hour, "hour");
         check(MDAY, ours.tm_mday, source.tm_mday, theirs.tm_mday, "day");
         check(MON, ours.tm_mon, source.tm_mon, theirs.tm_mon, "month");
         check(YEAR, ours.tm_year, source.tm_year, theirs.tm_year, "year");
         check(WDAY, ours.tm_wday, source.tm_wday, theirs.tm_wday, "weekday");
         check(YDAY, ours.tm_yday, source.tm_yday, theirs.tm_yday, "day of year");
         if (HasFailure())
            return;
      }
   }
}

TEST(ParseDateTime, ShortAndLongStamps)
{
   struct tm t = CalendarTime(2023, 1, 31, 23, 59, 59);
   t.tm_isdst = -1;
   int64_t expected = mktime(&t);
   EXPECT_EQ(ParseDateTimeA("230131235959", -5), expected);
   EXPECT_EQ(ParseDateTimeA("20230131235959", -5), expected);
   EXPECT_EQ(ParseDateTimeW(L"230131235959", -5), expected);
   EXPECT_EQ(ParseDateTimeW(L"20230131235959", -5), expected);
   // Fields past their range roll over.
   t = CalendarTime(2024, 1, 1);
   t.tm_isdst = -1;
   EXPECT_EQ(ParseDateTimeA("231232000000", -5), mktime(&t));
}

TEST(ParseDateTime, AnythingButTheTwoStampsGivesTheDefault)
{
   const char *const texts[] = {"2301312359590",
                                "23013123595",
                                "",
                                "2023013123595x",
                                "23013123595 ",
                                " 30131235959",
                                "-30131235959",
                                "2023-01-31 23",
                                "0x0131235959",
                                "23013123595\xd9",
                                "230131235959230131235959"};
   for (const char *text : texts)
      EXPECT_EQ(ParseDateTimeA(text, -5), -5) << text;
   EXPECT_EQ(ParseDateTimeA(nullptr, -5), -5);
   const wchar_t *const wide[] = {L"23013123595\x0663",
                                  L"\xff12\xff13"
                                  L"0131235959",
                                  L"2301312359590", L"2023013123595\x100000", L"230131235959230131235959230131235959"};
   for (const wchar_t *text : wide)
      EXPECT_EQ(ParseDateTimeW(text, -5), -5);
   EXPECT_EQ(ParseDateTimeW(nullptr, -5), -5);
}

TEST(SleepTime, CountsToTheNextTimeOfDay)
{
   // Done within one second of the clock, so that "now" is the same for the calls and
   // for the expectations; tried again when the second turned over in between.
   for (int attempt = 0; attempt < 100; attempt++)
   {
      time_t before = time(nullptr);
      struct tm now;
      localtime_r(&before, &now);
      if (now.tm_sec == 0 || now.tm_sec >= 59)
         continue;
      int32_t atNow = GetSleepTime(now.tm_hour, now.tm_min, now.tm_sec);
      int32_t secondAhead = GetSleepTime(now.tm_hour, now.tm_min, now.tm_sec + 1);
      int32_t hourAhead = GetSleepTime((now.tm_hour + 1) % 24, now.tm_min, now.tm_sec);
      int32_t secondAgo = GetSleepTime(now.tm_hour, now.tm_min, now.tm_sec - 1);
      if (time(nullptr) != before)
         continue;
      EXPECT_EQ(atNow, 0);
      EXPECT_EQ(secondAhead, 1);
      EXPECT_EQ(hourAhead, 3600);
      EXPECT_EQ(secondAgo, 86399);
      // A time of day that is not one is capped, not wrapped.
      EXPECT_EQ(GetSleepTime(UINT32_MAX, UINT32_MAX, UINT32_MAX), INT32_MAX);
      return;
   }
   FAIL() << "the clock never stayed within one second";
}
