/* MAC addresses: classification, the six text notations and the parser of the notations
 * devices and users write. */
#include <qv_data.h>

#include <tre/tre.h>

namespace {

/* Addresses that can be broadcast or multicast: Ethernet's 6 bytes. */
constexpr size_t ETHERNET_LENGTH = 6;
constexpr uint8_t MULTICAST_BIT = 0x01;
constexpr uint8_t BROADCAST_BYTE = 0xFF;

/* Longest text the parser takes: eight pairs with a separator after all but the last. */
constexpr size_t MAX_TEXT_LENGTH = 23;
/* Bytes of the code-page copy of a wide text. */
constexpr size_t NARROW_BUFFER_SIZE = 256;

/* Pairs of digits with optional separators: four to eight bytes. */
const char PAIRS_PATTERN[] =
    "^([0-9a-fA-F]{2})[ :-]?([0-9a-fA-F]{2})[ .:-]?([0-9a-fA-F]{2})[ :-]?([0-9a-fA-F]{2})[ .:-]?"
    "([0-9a-fA-F]{2})?[ :-]?([0-9a-fA-F]{2})?[ .:-]?([0-9a-fA-F]{2})?[ :-]?([0-9a-fA-F]{2})?$";
constexpr size_t PAIRS_GROUPS = 8;
/* Four groups of three digits separated by dots: six bytes. */
const char TRIPLETS_PATTERN[] = "^([0-9a-fA-F]{3})\\.([0-9a-fA-F]{3})\\.([0-9a-fA-F]{3})\\.([0-9a-fA-F]{3})$";
constexpr size_t TRIPLETS_GROUPS = 4;

/* How a notation groups the digits: digits per group (0: one group) and the separator. */
struct NotationForm
{
   size_t groupDigits;
   wchar_t separator;
};

constexpr NotationForm NOTATION_FORMS[] = {
    {0, 0},     // MAC_NOTATION_FLAT
    {2, L':'},  // MAC_NOTATION_COLON
    {4, L':'},  // MAC_NOTATION_COLON_PAIRS
    {2, L'-'},  // MAC_NOTATION_HYPHEN
    {3, L'.'},  // MAC_NOTATION_DOT_TRIPLETS
    {4, L'.'},  // MAC_NOTATION_DOT_PAIRS
};
constexpr size_t NOTATIONS = sizeof(NOTATION_FORMS) / sizeof(NOTATION_FORMS[0]);

const wchar_t HEX_DIGITS[] = L"0123456789ABCDEF";

/* The two patterns, compiled once for the life of the process. Compiled patterns are only
 * read by matching, which any number of threads may do at once. */
class MacPatterns
{
   regex_t m_pairs;
   regex_t m_triplets;
   bool m_pairsReady;
   bool m_tripletsReady;

public:
   MacPatterns()
   {
      m_pairsReady = (tre_regcomp(&m_pairs, PAIRS_PATTERN, REG_EXTENDED) == 0);
      m_tripletsReady = (tre_regcomp(&m_triplets, TRIPLETS_PATTERN, REG_EXTENDED) == 0);
   }
   ~MacPatterns()
   {
      if (m_pairsReady)
         tre_regfree(&m_pairs);
      if (m_tripletsReady)
         tre_regfree(&m_triplets);
   }
   MacPatterns(const MacPatterns &) = delete;
   MacPatterns &operator=(const MacPatterns &) = delete;

   /* The hex digits of the groups that matched, joined, into digits (room for 32 and a
    * terminator); the count of digits, 0 when neither pattern matches. */
   size_t match(const char *text, char *digits) const
   {
      regmatch_t groups[PAIRS_GROUPS + 1];
      size_t groupCount = 0;
      if (m_pairsReady && tre_regexec(&m_pairs, text, PAIRS_GROUPS + 1, groups, 0) == 0)
         groupCount = PAIRS_GROUPS;
      else if (m_tripletsReady && tre_regexec(&m_triplets, text, TRIPLETS_GROUPS + 1, groups, 0) == 0)
         groupCount = TRIPLETS_GROUPS;
      size_t count = 0;
      for (size_t g = 1; g <= groupCount; g++)
      {
         // Optional groups that did not take part have offsets of -1.
         if (groups[g].rm_so < 0 || groups[g].rm_eo < groups[g].rm_so)
            continue;
         for (regoff_t i = groups[g].rm_so; i < groups[g].rm_eo; i++)
            digits[count++] = text[i];
      }
      digits[count] = 0;
      return count;
   }
};

const MacPatterns &Patterns()
{
   static const MacPatterns patterns;
   return patterns;
}

}  // namespace

MacAddress::MacAddress(size_t length) : m_value(), m_length((length < MAX_LENGTH) ? length : MAX_LENGTH) {}

MacAddress::MacAddress(const uint8_t *value, size_t length)
    : m_value(), m_length((length < MAX_LENGTH) ? length : MAX_LENGTH)
{
   if (value != nullptr)
      memcpy(m_value, value, m_length);
}

bool MacAddress::isValid() const
{
   for (size_t i = 0; i < m_length; i++)
      if (m_value[i] != 0)
         return true;
   return false;
}

bool MacAddress::isMulticast() const
{
   return m_length == ETHERNET_LENGTH && (m_value[0] & MULTICAST_BIT) != 0;
}

bool MacAddress::isBroadcast() const
{
   if (m_length != ETHERNET_LENGTH)
      return false;
   for (size_t i = 0; i < m_length; i++)
      if (m_value[i] != BROADCAST_BYTE)
         return false;
   return true;
}

bool MacAddress::equals(const MacAddress &other) const
{
   return m_length == other.m_length && memcmp(m_value, other.m_value, m_length) == 0;
}

wchar_t *MacAddress::toString(wchar_t *buffer, MacAddressNotation notation) const
{
   wchar_t *p = buffer;
   size_t index = static_cast<size_t>(notation);
   if (index < NOTATIONS)
   {
      const NotationForm &form = NOTATION_FORMS[index];
      size_t digits = 2 * m_length;
      for (size_t d = 0; d < digits; d++)
      {
         uint8_t byte = m_value[d / 2];
         *p++ = HEX_DIGITS[(d % 2 == 0) ? (byte >> 4) : (byte & 0x0F)];
         // A separator after each full group, never after the last digit.
         if (form.groupDigits != 0 && (d + 1) % form.groupDigits == 0 && d + 1 < digits)
            *p++ = form.separator;
      }
   }
   *p = 0;
   return buffer;
}

String MacAddress::toString(MacAddressNotation notation) const
{
   wchar_t buffer[TEXT_BUFFER_SIZE];
   return String(toString(buffer, notation));
}

MacAddress MacAddress::parse(const char *text)
{
   if (text == nullptr || strnlen(text, MAX_TEXT_LENGTH + 1) > MAX_TEXT_LENGTH)
      return MacAddress();
   char digits[2 * MAX_LENGTH + 1];
   size_t count = Patterns().match(text, digits);
   uint8_t bytes[MAX_LENGTH];
   return MacAddress(bytes, StrToBinA(digits, bytes, count / 2));
}

MacAddress MacAddress::parse(const wchar_t *text)
{
   // A longer text converts to at least as many bytes, all refused.
   if (text == nullptr || wcsnlen(text, MAX_TEXT_LENGTH + 1) > MAX_TEXT_LENGTH)
      return MacAddress();
   char narrow[NARROW_BUFFER_SIZE];
   if (wchar_to_mb(text, -1, narrow, static_cast<int>(sizeof(narrow))) == 0)
      return MacAddress();
   return parse(narrow);
}

wchar_t *MACToStr(const uint8_t *mac, wchar_t *buffer)
{
   return MacAddress(mac, ETHERNET_LENGTH).toString(buffer, MAC_NOTATION_COLON);
}
