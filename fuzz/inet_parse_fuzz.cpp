/* Fuzz target for the numeric address parser and the address text forms. The input is
 * parsed as 8-bit text, as the same bytes widened, and as raw wide-character units; the
 * results must agree with each other and with the C library's inet_pton, and every valid
 * address printed and parsed again must give the same address and the same text. The
 * first 16 and 4 input bytes are also taken as raw addresses and sent round the printers
 * and the parser. */
#include <qorvel.h>

#include <arpa/inet.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

volatile int g_sink;

void Check(bool condition)
{
   if (!condition)
      abort();
}

bool Same(const InetAddress &a, const InetAddress &b)
{
   return a.equals(b) && a.getMaskBits() == b.getMaskBits();
}

/* The C library's reading of a text: INVALID when it takes it for neither family. */
InetAddress PlatformParse(const char *text)
{
   struct in_addr v4;
   uint8_t v6[16];
   if (inet_pton(AF_INET, text, &v4) == 1)
      return InetAddress(ntohl(v4.s_addr));
   if (inet_pton(AF_INET6, text, v6) == 1)
      return InetAddress(v6, 128);
   return InetAddress::INVALID;
}

/* A valid address printed in both widths, parsed again, and printed once more. */
void CheckRoundTrip(const InetAddress &addr)
{
   char narrow[InetAddress::TEXT_BUFFER_SIZE];
   wchar_t wide[InetAddress::TEXT_BUFFER_SIZE];
   addr.toStringA(narrow);
   addr.toString(wide);
   size_t length = strlen(narrow);
   Check(length < InetAddress::TEXT_BUFFER_SIZE && wcslen(wide) == length);
   for (size_t i = 0; i <= length; i++)
      Check(wide[i] == static_cast<wchar_t>(narrow[i]));

   InetAddress again = InetAddress::parse(narrow);
   Check(Same(again, addr));
   Check(Same(InetAddress::parse(wide), addr));
   Check(Same(PlatformParse(narrow), addr));
   char twice[InetAddress::TEXT_BUFFER_SIZE];
   Check(strcmp(again.toStringA(twice), narrow) == 0);
   if (addr.getFamily() == AF_INET6)
   {
      // One "::" at most, and no group with a leading zero.
      const char *gap = strstr(narrow, "::");
      Check(gap == nullptr || strstr(gap + 1, "::") == nullptr);
      for (const char *p = narrow; *p != 0; p++)
         Check(!(*p == '0' && (p == narrow || p[-1] == ':') && p[1] != 0 && p[1] != ':'));
   }
   g_sink = g_sink + static_cast<int>(length);
}

void CheckText(const uint8_t *data, size_t size)
{
   // The bytes up to the first zero, in a block of exactly that size.
   size_t length = strnlen(reinterpret_cast<const char *>(data), size);
   char *text = static_cast<char *>(malloc(length + 1));
   memcpy(text, data, length);
   text[length] = 0;
   wchar_t *widened = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   for (size_t i = 0; i <= length; i++)
      widened[i] = static_cast<wchar_t>(static_cast<unsigned char>(text[i]));

   InetAddress narrow = InetAddress::parse(text);
   Check(Same(InetAddress::parse(widened), narrow));
   Check(Same(PlatformParse(text), narrow));
   if (narrow.isValid())
   {
      Check(narrow.getMaskBits() == ((narrow.getFamily() == AF_INET) ? 32 : 128));
      CheckRoundTrip(narrow);
   }
   free(text);
   free(widened);
}

/* The input as wide units of any value: a valid result needs every unit to be ASCII, and
 * then the narrowed text reads the same. */
void CheckWideUnits(const uint8_t *data, size_t size)
{
   size_t count = size / sizeof(wchar_t);
   std::vector<wchar_t> units(count + 1, 0);
   if (count > 0)
      memcpy(units.data(), data, count * sizeof(wchar_t));
   size_t length = wcslen(units.data());
   wchar_t *exact = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   memcpy(exact, units.data(), (length + 1) * sizeof(wchar_t));
   InetAddress addr = InetAddress::parse(exact);
   if (addr.isValid())
   {
      std::string narrow;
      for (size_t i = 0; i < length; i++)
      {
         Check(exact[i] > 0 && exact[i] < 0x80);
         narrow += static_cast<char>(exact[i]);
      }
      Check(Same(InetAddress::parse(narrow.c_str()), addr));
   }
   free(exact);
}

void CheckRawAddresses(const uint8_t *data, size_t size)
{
   if (size >= 16)
   {
      char text[QV_IPV6_TEXT_SIZE];
      Ip6ToStrA(data, text);
      InetAddress addr = InetAddress::parse(text);
      Check(addr.getFamily() == AF_INET6 && memcmp(addr.getAddressV6(), data, 16) == 0);
      CheckRoundTrip(addr);
   }
   if (size >= 4)
   {
      uint32_t v4;
      memcpy(&v4, data, sizeof(v4));
      char text[QV_IPV4_TEXT_SIZE];
      Check(InetAddress::parse(IpToStrA(v4, text)).getAddressV4() == v4);
   }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   CheckText(data, size);
   CheckWideUnits(data, size);
   CheckRawAddresses(data, size);
   return 0;
}
