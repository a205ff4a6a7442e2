/* Text forms of addresses: the IPv4 and IPv6 writers, the strict numeric parser behind
 * InetAddress::parse, and the prefix length of masks. One template serves wide and
 * 8-bit text. */
#include <qv_data.h>

#include "platform/resolver.h"

#include <string.h>

#include <type_traits>

using namespace qv::platform;

namespace {

/* Longest text parse looks at; anything longer is not an address. */
constexpr size_t MAX_LITERAL_LENGTH = 254;

/* A dotted quad: four octets of at most three decimal digits. */
constexpr int OCTETS = 4;
constexpr unsigned MAX_OCTET = 255;
constexpr long MAX_OCTET_DIGITS = 3;
/* An IPv6 address: eight 16-bit groups of at most four hex digits. */
constexpr int GROUPS = 8;
constexpr long MAX_GROUP_DIGITS = 4;
constexpr int BITS_PER_BYTE = 8;
constexpr int BITS_PER_HEX_DIGIT = 4;
constexpr unsigned DECIMAL_BASE = 10;
/* Characters of ASCII, the only ones a literal may hold. */
constexpr unsigned ASCII_CHARACTERS = 128;

template <typename C> bool IsDecimal(C c)
{
   return c >= '0' && c <= '9';
}

/* Values of the hex digits of ASCII (either case), -1 for every other character. */
struct HexTable
{
   int8_t values[ASCII_CHARACTERS];
   constexpr HexTable() : values()
   {
      for (unsigned c = 0; c < ASCII_CHARACTERS; c++)
         values[c] = (c >= '0' && c <= '9')   ? static_cast<int8_t>(c - '0')
                     : (c >= 'a' && c <= 'f') ? static_cast<int8_t>(c - 'a' + 10)
                     : (c >= 'A' && c <= 'F') ? static_cast<int8_t>(c - 'A' + 10)
                                              : -1;
   }
};
constexpr HexTable HEX_VALUES;

/* The value of a hex digit (either case), or -1. */
template <typename C> int HexValue(C c)
{
   auto code = static_cast<typename std::make_unsigned<C>::type>(c);
   return (code < ASCII_CHARACTERS) ? HEX_VALUES.values[code] : -1;
}

/* Parses [p, end) as exactly four decimal octets 0-255 joined by dots, without leading
 * zeros (010 would read as octal elsewhere), into four bytes. */
template <typename C> bool ParseDottedQuad(const C *p, const C *end, uint8_t *out)
{
   for (int part = 0; part < OCTETS; part++)
   {
      if (part > 0)
      {
         if (p == end || *p != '.')
            return false;
         p++;
      }
      const C *start = p;
      unsigned value = 0;
      while (p < end && IsDecimal(*p) && p - start < MAX_OCTET_DIGITS)
         value = value * DECIMAL_BASE + static_cast<unsigned>(*p++ - '0');
      if (p == start || value > MAX_OCTET || (*start == '0' && p - start > 1))
         return false;
      out[part] = static_cast<uint8_t>(value);
   }
   return p == end;
}

/* Parses [p, end) as an IPv6 literal into 16 bytes: eight groups of one to four hex
 * digits, or fewer with one "::" standing for at least one zero group, the last two
 * groups optionally written as a dotted quad. */
template <typename C> bool ParseIPv6(const C *p, const C *end, uint8_t *out)
{
   uint16_t groups[GROUPS];
   int count = 0;
   int gap = -1;  // index of the group where "::" stands, or -1
   if (end - p >= 2 && p[0] == ':' && p[1] == ':')
   {
      gap = 0;
      p += 2;
   }
   while (p < end)
   {
      const C *start = p;
      unsigned value = 0;
      // One digit more than a group may have, to see that it has too many.
      int digit;
      while (p < end && (digit = HexValue(*p)) >= 0 && p - start <= MAX_GROUP_DIGITS)
      {
         value = (value << BITS_PER_HEX_DIGIT) | static_cast<unsigned>(digit);
         p++;
      }
      if (p < end && *p == '.')
      {
         uint8_t quad[OCTETS];
         if (count > GROUPS - 2 || !ParseDottedQuad(start, end, quad))
            return false;
         groups[count++] = static_cast<uint16_t>((quad[0] << BITS_PER_BYTE) | quad[1]);
         groups[count++] = static_cast<uint16_t>((quad[2] << BITS_PER_BYTE) | quad[3]);
         break;
      }
      if (p == start || p - start > MAX_GROUP_DIGITS || count == GROUPS)
         return false;
      groups[count++] = static_cast<uint16_t>(value);
      if (p == end)
         break;
      if (*p++ != ':')
         return false;
      if (p < end && *p == ':')
      {
         if (gap >= 0)
            return false;
         gap = count;
         p++;
      }
      else if (p == end)
      {
         return false;  // a single colon at the end
      }
   }
   if ((gap < 0) ? (count != GROUPS) : (count == GROUPS))
      return false;

   uint16_t full[GROUPS] = {};
   int tail = (gap < 0) ? 0 : count - gap;
   int head = count - tail;
   memcpy(full, groups, static_cast<size_t>(head) * sizeof(uint16_t));
   memcpy(full + GROUPS - tail, groups + head, static_cast<size_t>(tail) * sizeof(uint16_t));
   for (int i = 0; i < GROUPS; i++)
   {
      out[2 * i] = static_cast<uint8_t>(full[i] >> BITS_PER_BYTE);
      out[2 * i + 1] = static_cast<uint8_t>(full[i]);
   }
   return true;
}

uint32_t NumberFromBytes(const uint8_t *bytes)
{
   return (static_cast<uint32_t>(bytes[0]) << 24) | (static_cast<uint32_t>(bytes[1]) << 16) |
          (static_cast<uint32_t>(bytes[2]) << 8) | bytes[3];
}

template <typename C> InetAddress ParseLiteral(const C *text)
{
   if (text == nullptr)
      return InetAddress::INVALID;
   // Only IPv6 literals hold a colon, so one scan picks the parser.
   size_t length = 0;
   bool colon = false;
   while (length <= MAX_LITERAL_LENGTH && text[length] != 0)
      colon |= (text[length++] == ':');
   if (length > MAX_LITERAL_LENGTH)
      return InetAddress::INVALID;
   uint8_t bytes[QV_IPV6_BYTES];
   if (!colon)
      return ParseDottedQuad(text, text + length, bytes) ? InetAddress(NumberFromBytes(bytes)) : InetAddress::INVALID;
   if (ParseIPv6(text, text + length, bytes))
      return InetAddress(bytes, static_cast<int>(QV_IPV6_BYTES * BITS_PER_BYTE));
   return InetAddress::INVALID;
}

/* Writes value (below 256) in decimal; returns the position after it. */
template <typename C> C *PutDecimal(C *out, unsigned value)
{
   if (value >= 100)
      *out++ = static_cast<C>('0' + value / 100);
   if (value >= 10)
      *out++ = static_cast<C>('0' + value / 10 % 10);
   *out++ = static_cast<C>('0' + value % 10);
   return out;
}

/* Writes a 16-bit value in lower-case hex without leading zeros. */
template <typename C> C *PutHex(C *out, unsigned value)
{
   static const char DIGITS[] = "0123456789abcdef";
   int shift = 12;
   while (shift > 0 && (value >> shift) == 0)
      shift -= BITS_PER_HEX_DIGIT;
   for (; shift >= 0; shift -= BITS_PER_HEX_DIGIT)
      *out++ = static_cast<C>(DIGITS[(value >> shift) & 0xF]);
   return out;
}

template <typename C> C *WriteIPv4(uint32_t addr, C *buffer)
{
   C *p = buffer;
   for (int shift = 24; shift >= 0; shift -= BITS_PER_BYTE)
   {
      p = PutDecimal(p, (addr >> shift) & 0xFF);
      if (shift > 0)
         *p++ = '.';
   }
   *p = 0;
   return buffer;
}

/* The run of zero groups that "::" replaces: the first one met, however short and
 * whether or not a longer one follows, as [*start, *end); both -1 when there is none. */
void FindCompressedRun(const uint16_t *groups, int *start, int *end)
{
   *start = *end = -1;
   for (int i = 0; i < GROUPS; i++)
   {
      if (groups[i] == 0)
      {
         *start = i;
         *end = i + 1;
         while (*end < GROUPS && groups[*end] == 0)
            (*end)++;
         return;
      }
   }
}

template <typename C> C *WriteIPv6(const uint8_t *addr, C *buffer)
{
   C *p = buffer;
   if (addr != nullptr)
   {
      uint16_t groups[GROUPS];
      for (int i = 0; i < GROUPS; i++)
         groups[i] = static_cast<uint16_t>((addr[2 * i] << BITS_PER_BYTE) | addr[2 * i + 1]);
      int runStart, runEnd;
      FindCompressedRun(groups, &runStart, &runEnd);
      for (int i = 0; i < GROUPS; i++)
      {
         if (i == runStart)
         {
            *p++ = ':';
            *p++ = ':';
            i = runEnd - 1;
            continue;
         }
         if (p != buffer && i != runEnd)
            *p++ = ':';
         p = PutHex(p, groups[i]);
      }
   }
   *p = 0;
   return buffer;
}

/* The buffer a text function uses when it is given none: one per function and thread. */
template <typename C, size_t N> C *OwnBuffer(C *given, C (&own)[N])
{
   return (given != nullptr) ? given : own;
}

}  // namespace

InetAddress InetAddress::parse(const wchar_t *text)
{
   return ParseLiteral(text);
}

InetAddress InetAddress::parse(const char *text)
{
   return ParseLiteral(text);
}

wchar_t *IpToStr(uint32_t addr, wchar_t *buffer)
{
   static thread_local wchar_t own[QV_IPV4_TEXT_SIZE];
   return WriteIPv4(addr, OwnBuffer(buffer, own));
}

char *IpToStrA(uint32_t addr, char *buffer)
{
   static thread_local char own[QV_IPV4_TEXT_SIZE];
   return WriteIPv4(addr, OwnBuffer(buffer, own));
}

wchar_t *Ip6ToStr(const uint8_t *addr, wchar_t *buffer)
{
   static thread_local wchar_t own[QV_IPV6_TEXT_SIZE];
   return WriteIPv6(addr, OwnBuffer(buffer, own));
}

char *Ip6ToStrA(const uint8_t *addr, char *buffer)
{
   static thread_local char own[QV_IPV6_TEXT_SIZE];
   return WriteIPv6(addr, OwnBuffer(buffer, own));
}

int BitsInMask(uint32_t mask)
{
   return (mask == 0) ? 0 : 32 - __builtin_ctz(mask);
}

int BitsInMask(const uint8_t *mask, size_t size)
{
   if (mask == nullptr)
      return 0;
   int bits = 0;
   for (size_t i = 0; i < size; i++)
   {
      if (mask[i] != 0xFF)
         return bits + ((mask[i] == 0) ? 0 : BITS_PER_BYTE - __builtin_ctz(mask[i]));
      bits += BITS_PER_BYTE;
   }
   return bits;
}
