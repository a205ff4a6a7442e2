/* Fuzz target for the UUID text parser. The input is read twice as wide text: once byte by
 * byte (each byte one character) and once as native 32-bit units (any value, surrogates and
 * values beyond Unicode included), each in a heap block of exactly its size with a
 * terminator. A successful parse must print back as the input in lower case, and a failed
 * one must leave its output untouched and give the null identifier. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile int g_sink;

/* Filler of the output array, to see that a failed parse leaves it alone. */
constexpr unsigned char UNTOUCHED = 0x5A;

void Check(bool condition)
{
   if (!condition)
      abort();
}

wchar_t LowerAscii(wchar_t ch)
{
   return (ch >= L'A' && ch <= L'Z') ? ch - L'A' + L'a' : ch;
}

void ParseOne(const wchar_t *text)
{
   unsigned char out[QV_UUID_LENGTH];
   memset(out, UNTOUCHED, sizeof(out));
   int rc = _uuid_parse(text, out);
   uuid id = uuid::parse(text);
   if (rc != 0)
   {
      Check(rc == -1);
      Check(id.isNull());
      for (unsigned char b : out)
         Check(b == UNTOUCHED);
      g_sink = rc;
      return;
   }
   Check(memcmp(out, id.getValue(), QV_UUID_LENGTH) == 0);
   wchar_t wide[QV_UUID_TEXT_LENGTH + 1];
   char narrow[QV_UUID_TEXT_LENGTH + 1];
   _uuid_to_string(out, wide);
   _uuid_to_stringA(out, narrow);
   Check(wcslen(text) == QV_UUID_TEXT_LENGTH);
   for (size_t i = 0; i <= QV_UUID_TEXT_LENGTH; i++)
   {
      Check(wide[i] == LowerAscii(text[i]));
      Check(static_cast<wchar_t>(narrow[i]) == wide[i]);
   }
   g_sink = out[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   wchar_t *bytes = static_cast<wchar_t *>(malloc((size + 1) * sizeof(wchar_t)));
   for (size_t i = 0; i < size; i++)
      bytes[i] = data[i];
   bytes[size] = 0;
   ParseOne(bytes);
   free(bytes);

   size_t units = size / sizeof(wchar_t);
   wchar_t *wide = static_cast<wchar_t *>(malloc((units + 1) * sizeof(wchar_t)));
   if (units > 0)
      memcpy(wide, data, units * sizeof(wchar_t));
   wide[units] = 0;
   ParseOne(wide);
   free(wide);
   return 0;
}
