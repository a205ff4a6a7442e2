/* Fuzz target for the date-time stamp parsers. The input is read as 8-bit text, as
 * widened bytes and as wide units; a text that is not 12 or 14 decimal digits must give
 * the default, and the narrow and widened readings of the same bytes must agree (both end
 * at the first zero byte). */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

volatile int64_t g_sink;

/* A default no stamp of the years 2000-9999 gives. */
constexpr int64_t DEFAULT_TIME = INT64_MIN + 17;

template <typename C> bool IsStamp(const C *text)
{
   size_t length = 0;
   for (; text[length] != 0; length++)
      if (text[length] < '0' || text[length] > '9')
         return false;
   return length == 12 || length == 14;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   HeapText<char> narrow(NarrowText(data, size));
   HeapText<wchar_t> widened = WidenedText(data, size);
   HeapText<wchar_t> units = WideUnitsText(data, size);

   int64_t a = ParseDateTimeA(narrow.get(), DEFAULT_TIME);
   if (!IsStamp(narrow.get()))
      Check(a == DEFAULT_TIME);
   int64_t w = ParseDateTimeW(widened.get(), DEFAULT_TIME);
   Check(w == a);
   int64_t u = ParseDateTimeW(units.get(), DEFAULT_TIME);
   if (!IsStamp(units.get()))
      Check(u == DEFAULT_TIME);
   g_sink = a ^ w ^ u;
   return 0;
}
