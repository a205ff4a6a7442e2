/* Number parses shared by the text utilities and the containers' typed getters: base 0
 * (decimal, "0x" hexadecimal, a leading 0 octal), leading blanks skipped, an optional sign;
 * text that does not parse gives 0. The 32-bit forms keep the range of a 32-bit long, which
 * is what the design's platform parses with: they saturate at the 32-bit limits, not the
 * 64-bit ones. Each parse exists for wide and 8-bit text, and can report where the number
 * ended (end set to text itself when nothing parsed). */
#ifndef QORVEL_TEXT_PARSE_NUMBER_H
#define QORVEL_TEXT_PARSE_NUMBER_H

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <wchar.h>
#include <wctype.h>

namespace qv::text {

inline long long StrToLL(const wchar_t *text, const wchar_t **end)
{
   return wcstoll(text, const_cast<wchar_t **>(end), 0);
}

inline long long StrToLL(const char *text, const char **end)
{
   return strtoll(text, const_cast<char **>(end), 0);
}

inline unsigned long long StrToULL(const wchar_t *text, const wchar_t **end)
{
   return wcstoull(text, const_cast<wchar_t **>(end), 0);
}

inline unsigned long long StrToULL(const char *text, const char **end)
{
   return strtoull(text, const_cast<char **>(end), 0);
}

inline bool IsBlank(wchar_t ch)
{
   return iswspace(static_cast<wint_t>(ch)) != 0;
}

inline bool IsBlank(char ch)
{
   return isspace(static_cast<unsigned char>(ch)) != 0;
}

/* True when text, after the blanks that the C parsers skip, starts with a minus sign. */
template <typename C> bool HasMinusSign(const C *text)
{
   while (IsBlank(*text))
      text++;
   return *text == '-';
}

/* As wcstol with a 32-bit long: saturates at INT32_MIN and INT32_MAX. */
template <typename C> int32_t ParseInt32(const C *text, const C **end)
{
   // The 64-bit parse saturates far beyond the 32-bit range, so clamping its result
   // saturates exactly as the 32-bit parse would.
   long long value = StrToLL(text, end);
   if (value < INT32_MIN)
      return INT32_MIN;
   if (value > INT32_MAX)
      return INT32_MAX;
   return static_cast<int32_t>(value);
}

/* As wcstoul with a 32-bit unsigned long: a magnitude above UINT32_MAX gives UINT32_MAX
 * (with either sign); a negative text within range gives the negated value modulo 2^32,
 * so "-1" is UINT32_MAX. */
template <typename C> uint32_t ParseUInt32(const C *text, const C **end)
{
   // The 64-bit parse negates in 64 bits; undo that to see the magnitude, then negate
   // again in 32 bits.
   bool negative = HasMinusSign(text);
   errno = 0;
   unsigned long long value = StrToULL(text, end);
   if (errno == ERANGE)
      return UINT32_MAX;
   unsigned long long magnitude = negative ? 0 - value : value;
   if (magnitude > UINT32_MAX)
      return UINT32_MAX;
   uint32_t result = static_cast<uint32_t>(magnitude);
   return negative ? 0 - result : result;
}

/* As wcstoull: negative texts wrap modulo 2^64, magnitudes above 64 bits saturate. */
template <typename C> uint64_t ParseUInt64(const C *text, const C **end)
{
   return static_cast<uint64_t>(StrToULL(text, end));
}

/* The forms of the containers' getters: wide text, null gives 0. */

inline int32_t ParseInt32(const wchar_t *text)
{
   return (text != nullptr) ? ParseInt32<wchar_t>(text, nullptr) : 0;
}

inline uint32_t ParseUInt32(const wchar_t *text)
{
   return (text != nullptr) ? ParseUInt32<wchar_t>(text, nullptr) : 0;
}

/* As wcstoll: saturates at the 64-bit limits. */
inline int64_t ParseInt64(const wchar_t *text)
{
   return (text != nullptr) ? static_cast<int64_t>(wcstoll(text, nullptr, 0)) : 0;
}

inline uint64_t ParseUInt64(const wchar_t *text)
{
   return (text != nullptr) ? ParseUInt64<wchar_t>(text, nullptr) : 0;
}

/* As wcstod. */
inline double ParseDouble(const wchar_t *text)
{
   return (text != nullptr) ? wcstod(text, nullptr) : 0;
}

}  // namespace qv::text

#endif
