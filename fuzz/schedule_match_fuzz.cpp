/* Fuzz target for the schedule matcher. The first 8 input bytes are a time (seconds since
 * the epoch, kept within a few thousand years so the broken-down time exists); the rest
 * is the schedule, read as widened bytes and as wide units. Each schedule is matched at
 * that time as a whole and as a single field, and the field's text must stay as it was;
 * it is matched once more against a broken-down time of arbitrary fields taken from the
 * input's first bytes. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

volatile int g_sink;

/* Times are taken modulo this span (about 5800 years either side of 1970). */
constexpr int64_t TIME_SPAN = INT64_C(1) << 42;

void MatchOne(wchar_t *schedule, const struct tm &t, time_t now)
{
   g_sink = MatchSchedule(schedule, &t, now);
   size_t length = wcslen(schedule);
   wchar_t *before = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   wmemcpy(before, schedule, length + 1);
   g_sink = MatchScheduleElement(schedule, t.tm_min, 59, &t, now);
   g_sink = MatchScheduleElement(schedule, t.tm_wday, 7, nullptr, now);
   g_sink = MatchScheduleElement(schedule, t.tm_mday, GetLastMonthDay(&t), &t, now);
   Check(wmemcmp(before, schedule, length + 1) == 0);
   free(before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   int64_t raw = 0;
   size_t head = (size < sizeof(raw)) ? size : sizeof(raw);
   memcpy(&raw, data, head);
   time_t now = static_cast<time_t>(raw % TIME_SPAN);
   struct tm t;
   if (gmtime_r(&now, &t) == nullptr)
      return 0;
   const uint8_t *text = data + head;
   size_t length = size - head;
   MatchOne(WidenedText(text, length).get(), t, now);
   MatchOne(WideUnitsText(text, length).get(), t, now);

   // A caller's broken-down time need not be one the calendar has: the first fields of
   // a struct tm taken from the input bytes as they are.
   struct tm rawTime;
   memset(&rawTime, 0, sizeof(rawTime));
   constexpr size_t RAW_FIELDS = 9 * sizeof(int);  // tm_sec to tm_isdst
   memcpy(&rawTime, data, (size < RAW_FIELDS) ? size : RAW_FIELDS);
   MatchOne(WidenedText(text, length).get(), rawTime, now);
   return 0;
}
