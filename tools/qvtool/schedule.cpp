/* qvtool schedule: the next times at which a schedule matches, so that an operator sees
 * what a schedule means before relying on it. Times are local. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

namespace {

constexpr long DEFAULT_COUNT = 10;
constexpr long MAX_COUNT = 100000;
/* How far ahead matches are looked for. */
constexpr int YEARS_AHEAD = 4;
constexpr time_t SECONDS_PER_MINUTE = 60;
const char FROM_FORMAT[] = "%Y-%m-%d %H:%M";

enum Key
{
   FROM_KEY = LONG_OPTION_KEY,
   COUNT_KEY,
};

const CommandOption OPTIONS[] = {
    {"from", required_argument, FROM_KEY, "TIME",
     "start at local TIME, \"YYYY-MM-DD HH:MM\" (default: the next minute)"},
    {"count", required_argument, COUNT_KEY, "N", "list this many times, 1 to 100000 (default 10)"},
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"schedule",
                              "\"SCHEDULE\" [--from \"YYYY-MM-DD HH:MM\"] [--count N] [--json]",
                              "list the next local times a schedule matches",
                              OPTIONS,
                              false,
                              "JSON fields: schedule, from (\"YYYY-MM-DD HH:MM\", local), count (asked for),\n"
                              "  yearsSearched, matches (array of time \"YYYY-MM-DD HH:MM\", weekday, unixTime),\n"
                              "  complete (false when fewer than count matched).\n"
                              "Exit code 1 when nothing matches within the years searched.\n"};

static_assert(DEFAULT_COUNT == 10 && MAX_COUNT == 100000, "the help above tells the count's default and limit");

/* Positive decimal count, or -1. */
long ParseCount(const char *text)
{
   char *end;
   long n = strtol(text, &end, 10);
   if (end == text || *end != 0 || n < 1 || n > MAX_COUNT)
      return -1;
   return n;
}

/* The local time of "YYYY-MM-DD HH:MM", or -1. */
time_t ParseFrom(const char *text)
{
   struct tm t = {};
   const char *end = qv_strptime(text, FROM_FORMAT, &t);
   if (end == nullptr || *end != 0)
      return -1;
   t.tm_sec = 0;
   t.tm_isdst = -1;
   return mktime(&t);
}

/* The start of the next whole minute after now. */
time_t NextMinute()
{
   time_t now = time(nullptr);
   return (now / SECONDS_PER_MINUTE + 1) * SECONDS_PER_MINUTE;
}

/* The same local time of day YEARS_AHEAD years after start. */
time_t YearsAfter(time_t start)
{
   struct tm t;
   localtime_r(&start, &t);
   t.tm_year += YEARS_AHEAD;
   t.tm_isdst = -1;
   return mktime(&t);
}

}  // namespace

int CommandSchedule(int argc, char **argv)
{
   time_t start = -1;
   bool haveStart = false;
   bool json = false;
   long count = DEFAULT_COUNT;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      const char *value = args.value();
      switch (args.key())
      {
         case FROM_KEY:
            start = ParseFrom(value);
            haveStart = true;
            if (start == -1)
               return args.fail("bad start \"%s\"; give it as YYYY-MM-DD HH:MM", value);
            break;
         case COUNT_KEY:
            if ((count = ParseCount(value)) < 0)
               return args.fail("bad count \"%s\"; give a number from 1 to %ld", value, MAX_COUNT);
            break;
         case JSON_OPTION_KEY: json = true; break;
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *schedule = args.operand(0);
   if (!haveStart)
      start = NextMinute();

   wchar_t *wide = WideStringFromUTF8String(schedule);
   time_t end = YearsAfter(start);
   long found = 0;
   json_t *matches = json_array();
   for (time_t t = start; t < end && found < count; t += SECONDS_PER_MINUTE)
   {
      struct tm local;
      localtime_r(&t, &local);
      if (!MatchSchedule(wide, &local, t))
         continue;
      char when[32], weekday[16];
      strftime(when, sizeof(when), "%Y-%m-%d %H:%M", &local);
      strftime(weekday, sizeof(weekday), "%a", &local);
      if (json)
         json_array_append_new(matches, json_pack("{s:s, s:s, s:I}", "time", when, "weekday", weekday, "unixTime",
                                                  static_cast<json_int_t>(t)));
      else
         printf("%s %s\n", when, weekday);
      found++;
   }
   free(wide);
   int result = (found == 0) ? 1 : 0;
   if (json)
   {
      struct tm local;
      localtime_r(&start, &local);
      char from[32];
      strftime(from, sizeof(from), "%Y-%m-%d %H:%M", &local);
      int printed = PrintJson(json_pack("{s:o, s:s, s:I, s:i, s:o, s:b}", "schedule", JsonText(schedule), "from", from,
                                        "count", static_cast<json_int_t>(count), "yearsSearched", YEARS_AHEAD,
                                        "matches", matches, "complete", found == count),
                              "schedule");
      if (printed != 0)
         return printed;
   }
   else
   {
      json_decref(matches);
      if (found > 0 && found < count)
         printf("no more matches in the next %d years\n", YEARS_AHEAD);
      fflush(stdout);
   }
   if (found == 0)
      fprintf(stderr, "qvtool schedule: \"%s\" matches nothing in the next %d years; check its fields\n", schedule,
              YEARS_AHEAD);
   return result;
}
