/* Fuzz target for file name templates (time fields, ${VAR}; commands off). The first byte
 * picks the output size, the rest is the template, one character per byte. The output
 * must be terminated within its size and nothing past it may change. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile size_t g_sink;

/* Characters after the output that must stay as they are. */
constexpr size_t GUARD_CHARS = 16;
constexpr wchar_t GUARD = 0x5A5A;

/* Output sizes the first byte chooses from. */
const size_t SIZES[] = {1, 2, 3, 8, 17, 64, 260, 4096};

void Check(bool condition)
{
   if (!condition)
      abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0)
      return 0;
   size_t outSize = SIZES[data[0] % (sizeof(SIZES) / sizeof(SIZES[0]))];
   wchar_t *templ = static_cast<wchar_t *>(malloc(size * sizeof(wchar_t)));
   for (size_t i = 1; i < size; i++)
      templ[i - 1] = data[i];
   templ[size - 1] = 0;
   wchar_t *out = static_cast<wchar_t *>(malloc((outSize + GUARD_CHARS) * sizeof(wchar_t)));
   for (size_t i = 0; i < outSize + GUARD_CHARS; i++)
      out[i] = GUARD;
   wchar_t *result = ExpandFileName(templ, out, outSize, false);
   if (result != nullptr)
   {
      Check(result == out);
      size_t length = 0;
      while (length < outSize && out[length] != 0)
         length++;
      Check(length < outSize);
      g_sink = length;
   }
   for (size_t i = outSize; i < outSize + GUARD_CHARS; i++)
      Check(out[i] == GUARD);
   free(out);
   free(templ);
   return 0;
}
