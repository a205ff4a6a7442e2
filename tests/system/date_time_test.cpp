/* Dates and times: timegm against the C library's, strptime round trips with strftime
 * and single conversions, date-time stamps and the seconds until a time of day. */
#include <time.h>

#include <qorvel.h>

// The C library's own functions, to compare with.
#undef timegm
#undef strptime

#include "support/time_test_util.h"

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

TEST(Timegm, KnownTimesAndRefusals)
{
   const struct
   {
      struct tm time;
      int64_t expected;
   } cases[] = {
       {CalendarTime(1970, 1, 1), 0},
       {CalendarTime(2000, 2, 29, 12), 951825600},
       {CalendarTime(2038, 1, 19, 3, 14, 8), INT64_C(2147483648)},
       {CalendarTime(2016, 12, 31, 23, 59, 60), 1483228799},  // a leap second counts as :59
       {CalendarTime(2016, 12, 31, 23, 59, 61), 1483228800},
       {CalendarTime(1969, 12, 31, 23, 59, 59), -1},
       {CalendarTime(2024, 13, 1), -1},
       {CalendarTime(2024, 0, 1), -1},
       {CalendarTime(1970, 1, 1, -1), -1},  // fields that reach back before the epoch
       {CalendarTime(1970, 1, 1, 0, 0, -1), -1},
   };
   for (const auto &c : cases)
   {
      struct tm t = c.time;
      EXPECT_EQ(qv_timegm(&t), c.expected) << t.tm_year + 1900 << "-" << t.tm_mon + 1 << "-" << t.tm_mday;
      EXPECT_EQ(memcmp(&t, &c.time, sizeof(t)), 0);  // not changed
   }
   EXPECT_EQ(qv_timegm(nullptr), -1);
   // Extreme fields are counted without overflow.
   struct tm t = CalendarTime(1970, 1, 1);
   t.tm_year = t.tm_mday = t.tm_hour = t.tm_min = t.tm_sec = INT32_MAX;
   EXPECT_GT(qv_timegm(&t), 0);
   t.tm_mday = t.tm_hour = t.tm_min = t.tm_sec = INT32_MIN;
   EXPECT_GT(qv_timegm(&t), 0);
}

TEST(Timegm, AgreesWithTheCLibraryFrom1970To2100)
{
   std::mt19937 random(20240229);
   std::uniform_int_distribution<int> year(1970, 2100), month(0, 11), day(1, 31), hour(0, 23), minute(0, 59),
       second(0, 59), wild(-100000, 100000);
   for (int i = 0; i < 200000; i++)
   {
      struct tm t = CalendarTime(year(random), 1, day(random), hour(random), minute(random), second(random));
      t.tm_mon = month(random);
      // Every tenth time with fields out of their ranges, which roll over.
      if (i % 10 == 0)
      {
         t.tm_mday = wild(random) / 100;
         t.tm_hour = wild(random) / 10;
         t.tm_min = wild(random);
      }
      struct tm copy = t;
      time_t expected = timegm(&copy);
      ASSERT_EQ(qv_timegm(&t), expected < 0 ? -1 : expected)
          << t.tm_year + 1900 << "-" << t.tm_mon + 1 << "-" << t.tm_mday << " " << t.tm_hour << ":" << t.tm_min;
   }
}

TEST(Strptime, SingleConversions)
{
   ZoneSetting zone(RIGA_ZONE);
   const struct
   {
      const char *text;
      const char *format;
      int tm::*field;  // null: the call must fail
      int value;
      const char *rest;
   } cases[] = {
       {"2024-02-29 13:05:00", "%Y-%m-%d %H:%M:%S", &tm::tm_yday, 59, ""},
       {"2024-02-29 13:05:00", "%Y-%m-%d %H:%M:%S", &tm::tm_wday, 4, ""},
       {"12/31/99 rest", "%D", &tm::tm_year, 99, " rest"},
       {"68", "%y", &tm::tm_year, 168, ""},
       {"69", "%y", &tm::tm_year, 69, ""},
       {"1905", "%C%y", &tm::tm_year, 5, ""},
       {"05 19", "%y %C", &tm::tm_year, 5, ""},
       {"21", "%C", &tm::tm_year, 200, ""},
       {"19 2024", "%C %Y", &tm::tm_year, 124, ""},
       {"12 am", "%I %p", &tm::tm_hour, 0, ""},
       {"12 PM", "%I %p", &tm::tm_hour, 12, ""},
       {"1 pm", "%l %p", &tm::tm_hour, 13, ""},
       {"pm 05", "%p %I", &tm::tm_hour, 17, ""},  // pm counts whatever comes first
       {"15 pm", "%H %p", &tm::tm_hour, 15, ""},
       {"GMT", "%Z", &tm::tm_isdst, 0, ""},
       {"EEST", "%Z", &tm::tm_isdst, 1, ""},
       {"EET", "%Z", &tm::tm_isdst, 0, ""},
       {"EDT", "%z", &tm::tm_isdst, 1, ""},
       {"+0200x", "%z", &tm::tm_isdst, -7, "x"},  // offsets, names and letters: isdst as it was
       {"-05:30", "%z", &tm::tm_isdst, -7, ""},
       {"UTC", "%z", &tm::tm_isdst, -7, ""},
       {"UT", "%z", &tm::tm_isdst, -7, ""},
       {"Z", "%z", &tm::tm_isdst, -7, ""},
       {"Y", "%z", &tm::tm_isdst, -7, ""},
       {"PST", "%z", &tm::tm_isdst, -7, ""},
       {"Monday", "%A", nullptr, 0, nullptr},
       {"Jan", "%b", nullptr, 0, nullptr},
       {"x", "%c", nullptr, 0, nullptr},
       {"1", "%Ed", nullptr, 0, nullptr},
       {"1", "%OY", nullptr, 0, nullptr},
       {"2024", "%Y%", nullptr, 0, nullptr},
       {"13", "%m", nullptr, 0, nullptr},
       {"0", "%d", nullptr, 0, nullptr},
       {"24", "%H", nullptr, 0, nullptr},
       {"13", "%I", nullptr, 0, nullptr},
       {"60", "%M", nullptr, 0, nullptr},
       {"62", "%S", nullptr, 0, nullptr},
       {"367", "%j", nullptr, 0, nullptr},
       {"8", "%u", nullptr, 0, nullptr},
       {"54", "%V", nullptr, 0, nullptr},
       {"2024-", "%Y-%m", nullptr, 0, nullptr},
       {"a", "%p", nullptr, 0, nullptr},
       {"+0560", "%z", nullptr, 0, nullptr},
       {"J", "%z", nullptr, 0, nullptr},
       {"XYZ", "%Z", nullptr, 0, nullptr},
       {"9999999999999999999", "%s", nullptr, 0, nullptr},
       {"", "x", nullptr, 0, nullptr},
   };
   for (const auto &c : cases)
   {
      struct tm t = {};
      t.tm_isdst = -7;
      char *end = qv_strptime(c.text, c.format, &t);
      if (c.field == nullptr)
      {
         EXPECT_EQ(end, nullptr) << c.text << " / " << c.format;
         continue;
      }
      ASSERT_NE(end, nullptr) << c.text << " / " << c.format;
      EXPECT_STREQ(end, c.rest) << c.text << " / " << c.format;
      EXPECT_EQ(t.*c.field, c.value) << c.text << " / " << c.format;
   }
   struct tm t = {};
   EXPECT_EQ(qv_strptime(nullptr, "%Y", &t), nullptr);
   EXPECT_EQ(qv_strptime("2024", nullptr, &t), nullptr);
   EXPECT_EQ(qv_strptime("2024", "%Y", nullptr), nullptr);
}

TEST(Strptime, RoundTripsWithStrftimeForEveryConversion)
{
   ZoneSetting zone(RIGA_ZONE);
   // Each format and the fields it sets; where the C library's strptime reads the text
   // too, it must agree field for field.
   int tm::*const fields[] = {&tm::tm_sec, &tm::tm_min,  &tm::tm_hour, &tm::tm_mday,
                              &tm::tm_mon, &tm::tm_year, &tm::tm_wday, &tm::tm_yday};
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
   for (int i = 0; i < 3000 && !HasFailure(); i++)
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
         bool glibc = c.glibc && strptime(text, c.format, &theirs) != nullptr;
         EXPECT_EQ(glibc, c.glibc) << c.format << " on \"" << text << "\"";
         for (size_t f = 0; f < sizeof(fields) / sizeof(fields[0]); f++)
         {
            if ((c.fields & (1u << f)) == 0)
               continue;
            EXPECT_EQ(ours.*fields[f], source.*fields[f]) << "field " << f << " of " << c.format << " on " << text;
            if (glibc)
            {
               EXPECT_EQ(ours.*fields[f], theirs.*fields[f]) << "field " << f << " of " << c.format << " on " << text;
            }
         }
      }
   }
}

TEST(ParseDateTime, TheTwoStampsAndNothingElse)
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

   const char *const texts[] = {"2301312359590",
                                "23013123595",
                                "",
                                "2023013123595x",
                                "23013123595 ",
                                " 30131235959",
                                "-30131235959",
                                "0x0131235959",
                                "23013123595\xd9",
                                nullptr,
                                "230131235959230131235959"};
   for (const char *text : texts)
      EXPECT_EQ(ParseDateTimeA(text, -5), -5) << (text != nullptr ? text : "(null)");
   const wchar_t *const wide[] = {L"23013123595\x0663",
                                  L"\xff12\xff13"
                                  L"0131235959",
                                  L"2301312359590",
                                  L"2023013123595\x100000",
                                  L"230131235959230131235959230131235959",
                                  nullptr};
   for (const wchar_t *text : wide)
      EXPECT_EQ(ParseDateTimeW(text, -5), -5);
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
      int second = now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec;
      auto sleepTo = [](int target) {
         target %= 86400;
         return GetSleepTime(target / 3600, target / 60 % 60, target % 60);
      };
      int32_t atNow = sleepTo(second);
      int32_t secondAhead = sleepTo(second + 1);
      int32_t hourAhead = sleepTo(second + 3600);
      int32_t secondAgo = sleepTo(second + 86399);
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
