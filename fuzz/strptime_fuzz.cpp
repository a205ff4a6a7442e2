/* Fuzz target for strptime. The input is the format, a zero byte and the text; without a
 * zero byte, the first byte picks one of the formats below and the rest is the text, so
 * that texts are explored for formats that mean something. Whatever the input, the
 * result is null or points into the text, at or before its terminator. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

volatile int g_sink;

const char *const FORMATS[] = {
    "%Y-%m-%d %H:%M:%S",
    "%Y/%m/%d %H:%M:%S",
    "%D %T",
    "%F %R",
    "%C%y %j",
    "%e %k %l %p",
    "%s",
    "%u %w %U %W %V %G %g",
    "%Z %z",
    "%Ey %EC %OH:%OM:%OS %Od %Om",
    "%n%t%%",
    "%y%m%d%H%M%S",
};
constexpr size_t FORMAT_COUNT = sizeof(FORMATS) / sizeof(FORMATS[0]);

void ParseOne(const char *text, const char *format)
{
   struct tm t;
   memset(&t, 0, sizeof(t));
   char *end = qv_strptime(text, format, &t);
   if (end != nullptr)
   {
      Check(end >= text && end <= text + strlen(text));
      g_sink = t.tm_year ^ t.tm_mon ^ t.tm_mday ^ t.tm_hour ^ t.tm_min ^ t.tm_sec ^ t.tm_wday ^ t.tm_yday;
   }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   const uint8_t *zero = static_cast<const uint8_t *>(memchr(data, 0, size));
   if (zero != nullptr)
   {
      size_t formatLength = static_cast<size_t>(zero - data);
      HeapText<char> format(NarrowText(data, formatLength));
      HeapText<char> text(NarrowText(zero + 1, size - formatLength - 1));
      ParseOne(text.get(), format.get());
   }
   else if (size > 0)
   {
      HeapText<char> text(NarrowText(data + 1, size - 1));
      ParseOne(text.get(), FORMATS[data[0] % FORMAT_COUNT]);
   }
   return 0;
}
