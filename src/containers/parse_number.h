/* Number parses of the containers' typed getters: base 0 (decimal, "0x" hexadecimal, a
 * leading 0 octal), leading blanks skipped, an optional sign; text that does not parse
 * gives 0. The 32-bit forms keep the range of a 32-bit long, which is what the design's
 * platform parses with: they saturate at the 32-bit limits, not the 64-bit ones. */
#ifndef QORVEL_CONTAINERS_PARSE_NUMBER_H
#define QORVEL_CONTAINERS_PARSE_NUMBER_H

#include <errno.h>
#include <stdint.h>
#include <wchar.h>
#include <wctype.h>

namespace qv::containers {

/* True when text, after the blanks that the C parsers skip, starts with a minus sign. */
inline bool HasMinusSign(const wchar_t *text)
{
   while (iswspace(static_cast<wint_t>(*text)))
      text++;
   return *text == L'-';
}

/* As wcstol with a 32-bit long: saturates at INT32_MIN and INT32_MAX. */
inline int32_t ParseInt32(const wchar_t *text)
{
   if (text == nullptr)
      return 0;
   // The 64-bit parse saturates far beyond the 32-bit range, so clamping its result
   // saturates exactly as the 32-bit parse would.
   long long value = wcstoll(text, nullptr, 0);
   if (value < INT32_MIN)
      return INT32_MIN;
   if (value > INT32_MAX)
      return INT32_MAX;
   return static_cast<int32_t>(value);
}

/* As wcstoul with a 32-bit unsigned long: a magnitude above UINT32_MAX gives UINT32_MAX
 * (with either sign); a negative text within range gives the negated value modulo 2^32,
 * so "-1" is UINT32_MAX. */
inline uint32_t ParseUInt32(const wchar_t *text)
{
   if (text == nullptr)
      return 0;
   // The 64-bit parse negates in 64 bits; undo that to see the magnitude, then negate
   // again in 32 bits.
   bool negative = HasMinusSign(text);
   errno = 0;
   unsigned long long value = wcstoull(text, nullptr, 0);
   if (errno == ERANGE)
      return UINT32_MAX;
   unsigned long long magnitude = negative ? 0 - value : value;
   if (magnitude > UINT32_MAX)
      return UINT32_MAX;
   uint32_t result = static_cast<uint32_t>(magnitude);
   return negative ? 0 - result : result;
}

/* As wcstoll: saturates at the 64-bit limits. */
inline int64_t ParseInt64(const wchar_t *text)
{
   return (text != nullptr) ? static_cast<int64_t>(wcstoll(text, nullptr, 0)) : 0;
}

/* As wcstoull: negative texts wrap modulo 2^64, magnitudes above 64 bits saturate. */
inline uint64_t ParseUInt64(const wchar_t *text)
{
   return (text != nullptr) ? static_cast<uint64_t>(wcstoull(text, nullptr, 0)) : 0;
}

/* As wcstod. */
inline double ParseDouble(const wchar_t *text)
{
   return (text != nullptr) ? wcstod(text, nullptr) : 0;
}

}  // namespace qv::containers

#endif
