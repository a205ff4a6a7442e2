/* Fuzz target for the MAC address parser and printer. The input is parsed as 8-bit text,
 * as widened bytes and as wide units; the narrow and widened readings must agree. A
 * parsed address is printed in every notation into buffers of exactly the documented
 * size and must parse back from its colon and flat forms. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile int g_sink;

size_t BufferSize(size_t length, int notation)
{
   size_t size = 2 * length + (length + 1) / 2;  // COLON_PAIRS, DOT_PAIRS
   if (notation == MAC_NOTATION_FLAT)
      size = 2 * length + 1;
   else if (notation == MAC_NOTATION_COLON || notation == MAC_NOTATION_HYPHEN || notation == MAC_NOTATION_DOT_TRIPLETS)
      size = 3 * length;
   return (size < 1) ? 1 : size;
}

void CheckAddress(const MacAddress &mac)
{
   if (mac.length() == 0)
      return;
   Check(mac.length() >= 4 && mac.length() <= 8);
   for (int n = MAC_NOTATION_FLAT; n <= MAC_NOTATION_DOT_PAIRS; n++)
   {
      size_t size = BufferSize(mac.length(), n);
      wchar_t *buffer = static_cast<wchar_t *>(malloc(size * sizeof(wchar_t)));
      mac.toString(buffer, static_cast<MacAddressNotation>(n));
      Check(wcslen(buffer) + 1 <= size);
      if (n == MAC_NOTATION_COLON || n == MAC_NOTATION_FLAT)
         Check(MacAddress::parse(buffer).equals(mac));
      g_sink = buffer[0];
      free(buffer);
   }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   HeapText<char> narrow(NarrowText(data, size));
   HeapText<wchar_t> widened = WidenedText(data, size);
   HeapText<wchar_t> units = WideUnitsText(data, size);
   MacAddress a = MacAddress::parse(narrow.get());
   MacAddress w = MacAddress::parse(widened.get());
   MacAddress u = MacAddress::parse(units.get());
   // Only ASCII makes an address, so the narrow and the widened texts read alike.
   Check(a.equals(w));
   CheckAddress(a);
   CheckAddress(u);
   return 0;
}
