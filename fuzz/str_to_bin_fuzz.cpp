/* Fuzz target for StrToBin. The first byte gives the buffer size (0 to 255), the rest (up
 * to a zero) is the hex text. The 8-bit and wide forms must agree, write only the buffer,
 * clear what they do not produce, produce one byte per two characters, and give the
 * digits back through BinToStr when the text is all hex digits. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <ctype.h>

#include <algorithm>
#include <string>

namespace {

volatile size_t g_sink;

/* Bytes past the buffer that must stay as they were. */
constexpr size_t GUARD = 8;
constexpr BYTE GUARD_BYTE = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   size_t room = data[0];
   std::string hex = NarrowText(data + 1, size - 1);
   HeapText<char> text(hex);
   HeapText<wchar_t> wide(WideText(hex));

   BYTE *a = static_cast<BYTE *>(malloc(room + GUARD));
   BYTE *w = static_cast<BYTE *>(malloc(room + GUARD));
   memset(a, GUARD_BYTE, room + GUARD);
   memset(w, GUARD_BYTE, room + GUARD);
   size_t count = StrToBinA(text.get(), a, room);
   Check(count == StrToBinW(wide.get(), w, room));
   Check(memcmp(a, w, room + GUARD) == 0);
   Check(count == std::min(room, (hex.size() + 1) / 2));
   for (size_t i = count; i < room; i++)
      Check(a[i] == 0);
   for (size_t i = room; i < room + GUARD; i++)
      Check(a[i] == GUARD_BYTE);

   bool allDigits = true;
   for (char c : hex)
      allDigits = allDigits && isxdigit(static_cast<unsigned char>(c));
   if (allDigits && count > 0)
   {
      std::string back(2 * count + 1, 'x');
      BinToStrA(a, count, &back[0]);
      std::string expected = hex.substr(0, 2 * count);
      for (char &c : expected)
         c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
      if (expected.size() < 2 * count)
         expected += '0';  // an odd last digit is the high half of its byte
      Check(back.compare(0, 2 * count, expected) == 0 && back[2 * count] == 0);
   }
   g_sink = count;
   free(a);
   free(w);
   return 0;
}
