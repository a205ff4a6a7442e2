/* Dates and times: MatchSchedule on typical five-field schedules, and strptime and timegm
 * against the C library's own on the same inputs. */
#include <time.h>

#include <qorvel.h>

// The C library's functions, to compare with.
#undef timegm
#undef strptime

#include <benchmark/benchmark.h>

#include <string.h>

namespace {

/* Schedules of every field form, each tested at a time it matches in every field so
 * that all five are read. */
const wchar_t *const SCHEDULES[] = {
    L"*/5 8-18 * * 1-5", L"0,15,30,45 9 1,15,L * *", L"30 2 * * 0", L"0 */2 1-7 1-12/3 *", L"5 4 * * 5L",
};
const size_t SCHEDULE_COUNT = sizeof(SCHEDULES) / sizeof(SCHEDULES[0]);

struct tm CalendarTime(int year, int month, int day, int hour, int minute, int second)
{
   struct tm t = {};
   t.tm_year = year - 1900;
   t.tm_mon = month - 1;
   t.tm_mday = day;
   t.tm_hour = hour;
   t.tm_min = minute;
   t.tm_sec = second;
   time_t seconds = qv_timegm(&t);
   gmtime_r(&seconds, &t);
   return t;
}

/* The one typical schedule alone: every five minutes during working hours on weekdays. */
void BM_MatchScheduleTypical(benchmark::State &state)
{
   struct tm t = CalendarTime(2024, 2, 29, 13, 5, 0);
   time_t now = qv_timegm(&t);
   for (auto _ : state)
   {
      bool match = MatchSchedule(L"*/5 8-18 * * 1-5", &t, now);
      benchmark::DoNotOptimize(match);
   }
}
BENCHMARK(BM_MatchScheduleTypical);

/* The mix above, each at a time in a year's sweep of minutes, matching or not. */
void BM_MatchScheduleMix(benchmark::State &state)
{
   struct tm start = CalendarTime(2024, 1, 1, 0, 0, 0);
   time_t first = qv_timegm(&start);
   const int TIMES = 4096;
   static struct tm times[TIMES];
   static time_t seconds[TIMES];
   for (int i = 0; i < TIMES; i++)
   {
      seconds[i] = first + static_cast<time_t>(i) * 7919 * 60;  // a prime step through the year
      gmtime_r(&seconds[i], &times[i]);
   }
   int i = 0;
   for (auto _ : state)
   {
      for (const wchar_t *schedule : SCHEDULES)
      {
         bool match = MatchSchedule(schedule, &times[i], seconds[i]);
         benchmark::DoNotOptimize(match);
      }
      i = (i + 1) % TIMES;
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * SCHEDULE_COUNT));
}
BENCHMARK(BM_MatchScheduleMix);

const char STAMP[] = "2024-02-29 13:05:00";
const char STAMP_FORMAT[] = "%Y-%m-%d %H:%M:%S";

void BM_StrptimeLibrary(benchmark::State &state)
{
   for (auto _ : state)
   {
      struct tm t;
      memset(&t, 0, sizeof(t));
      char *end = qv_strptime(STAMP, STAMP_FORMAT, &t);
      benchmark::DoNotOptimize(end);
      benchmark::DoNotOptimize(t);
   }
}
BENCHMARK(BM_StrptimeLibrary);

void BM_StrptimePeerGlibc(benchmark::State &state)
{
   for (auto _ : state)
   {
      struct tm t;
      memset(&t, 0, sizeof(t));
      char *end = strptime(STAMP, STAMP_FORMAT, &t);
      benchmark::DoNotOptimize(end);
      benchmark::DoNotOptimize(t);
   }
}
BENCHMARK(BM_StrptimePeerGlibc);

/* A spread of dates 1970-2100, so that neither side gains from one fixed input. */
struct Dates
{
   static const int COUNT = 1024;
   struct tm values[COUNT];
   Dates()
   {
      uint32_t x = 12345;
      for (int i = 0; i < COUNT; i++)
      {
         x = x * 1103515245 + 12345;
         values[i] = CalendarTime(1970 + x % 131, 1 + (x >> 8) % 12, 1 + (x >> 12) % 28, (x >> 16) % 24, (x >> 20) % 60,
                                  (x >> 26) % 60);
      }
   }
};
const Dates DATES;

void BM_TimegmLibrary(benchmark::State &state)
{
   int i = 0;
   for (auto _ : state)
   {
      struct tm t = DATES.values[i];
      time_t seconds = qv_timegm(&t);
      benchmark::DoNotOptimize(seconds);
      i = (i + 1) % Dates::COUNT;
   }
}
BENCHMARK(BM_TimegmLibrary);

void BM_TimegmPeerGlibc(benchmark::State &state)
{
   int i = 0;
   for (auto _ : state)
   {
      struct tm t = DATES.values[i];
      time_t seconds = timegm(&t);
      benchmark::DoNotOptimize(seconds);
      i = (i + 1) % Dates::COUNT;
   }
}
BENCHMARK(BM_TimegmPeerGlibc);

}  // namespace
