/* Single-character UTF-8 and UTF-16 decoding and encoding shared by the converters and the
 * formatter, so that every place that reads or writes these forms follows the same rules. */
#ifndef QORVEL_TEXT_UTF8_CODEC_H
#define QORVEL_TEXT_UTF8_CODEC_H

#include <qv_base.h>

namespace qv::text {

/* Highest code point that UTF-8 and UTF-16 can carry. */
constexpr UCS4CHAR MAX_UNICODE = 0x10FFFF;

/* Replacement for a lead byte that starts no sequence (or one cut off by the end). */
constexpr UCS4CHAR UTF8_REPLACEMENT = '?';

/* Decodes one character from s, which has remaining (>= 1) bytes left. The lead byte alone
 * decides the sequence length; continuation bytes are not checked for their 10xxxxxx
 * pattern and overlong forms are accepted. A lead byte that starts no sequence, or a
 * sequence cut off by the end of the input, gives '?' and consumes one byte. Returns the
 * number of bytes consumed (1 to 4). */
inline size_t Utf8DecodeOne(const unsigned char *s, size_t remaining, UCS4CHAR *cp)
{
   unsigned char b = s[0];
   if (b < 0x80)
   {
      *cp = b;
      return 1;
   }
   if ((b & 0xE0) == 0xC0 && remaining >= 2)
   {
      *cp = (static_cast<UCS4CHAR>(b & 0x1F) << 6) | (s[1] & 0x3F);
      return 2;
   }
   if ((b & 0xF0) == 0xE0 && remaining >= 3)
   {
      *cp = (static_cast<UCS4CHAR>(b & 0x0F) << 12) | (static_cast<UCS4CHAR>(s[1] & 0x3F) << 6) | (s[2] & 0x3F);
      return 3;
   }
   if ((b & 0xF8) == 0xF0 && remaining >= 4)
   {
      *cp = (static_cast<UCS4CHAR>(b & 0x0F) << 18) | (static_cast<UCS4CHAR>(s[1] & 0x3F) << 12) |
            (static_cast<UCS4CHAR>(s[2] & 0x3F) << 6) | (s[3] & 0x3F);
      return 4;
   }
   *cp = UTF8_REPLACEMENT;
   return 1;
}

/* Number of UTF-8 bytes for a code point: 1 to 4, or 0 for values above 0x10FFFF, which
 * cannot be encoded and are dropped. Surrogate code points count as 3 bytes. */
inline size_t Utf8EncodedLength(UCS4CHAR cp)
{
   if (cp < 0x80)
      return 1;
   if (cp < 0x800)
      return 2;
   if (cp < 0x10000)
      return 3;
   if (cp <= MAX_UNICODE)
      return 4;
   return 0;
}

/* Writes the UTF-8 form of cp (Utf8EncodedLength(cp) bytes, at most 4) to out and returns
 * the byte count; 0 and nothing written for values above 0x10FFFF. */
inline size_t Utf8EncodeOne(UCS4CHAR cp, char *out)
{
   if (cp < 0x80)
   {
      out[0] = static_cast<char>(cp);
      return 1;
   }
   if (cp < 0x800)
   {
      out[0] = static_cast<char>(0xC0 | (cp >> 6));
      out[1] = static_cast<char>(0x80 | (cp & 0x3F));
      return 2;
   }
   if (cp < 0x10000)
   {
      out[0] = static_cast<char>(0xE0 | (cp >> 12));
      out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[2] = static_cast<char>(0x80 | (cp & 0x3F));
      return 3;
   }
   if (cp <= MAX_UNICODE)
   {
      out[0] = static_cast<char>(0xF0 | (cp >> 18));
      out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<char>(0x80 | (cp & 0x3F));
      return 4;
   }
   return 0;
}

/* UTF-16 surrogate ranges and the offset of the code points a pair carries. */
constexpr UCS4CHAR HIGH_SURROGATE_FIRST = 0xD800;
constexpr UCS4CHAR HIGH_SURROGATE_LAST = 0xDBFF;
constexpr UCS4CHAR LOW_SURROGATE_FIRST = 0xDC00;
constexpr UCS4CHAR LOW_SURROGATE_LAST = 0xDFFF;
constexpr UCS4CHAR SURROGATE_PAIR_BASE = 0x10000;
/* Payload bits of one surrogate. */
constexpr UCS4CHAR SURROGATE_PAYLOAD_MASK = 0x3FF;
/* Highest code point a single UTF-16 unit holds. */
constexpr UCS4CHAR MAX_BMP = 0xFFFF;

/* Value that Utf16DecodeOne gives for units that carry no character (unpaired surrogates).
 * It lies above MAX_UNICODE, so every encoder drops it. */
constexpr UCS4CHAR NO_CHARACTER = 0xFFFFFFFF;

/* Decodes one character from s, which has remaining (>= 1) units left. A high surrogate
 * followed by a low one gives the code point they carry and consumes both. An unpaired
 * surrogate of either kind consumes one unit and gives NO_CHARACTER, so a high surrogate
 * followed by anything else is dropped and the next unit is decoded on its own. Returns
 * the number of units consumed (1 or 2). T is any 16- or 32-bit unit type. */
template <typename T> inline size_t Utf16DecodeOne(const T *s, size_t remaining, UCS4CHAR *cp)
{
   UCS4CHAR u = static_cast<UCS4CHAR>(s[0]);
   if (u < HIGH_SURROGATE_FIRST || u > LOW_SURROGATE_LAST)
   {
      *cp = u;
      return 1;
   }
   if (u <= HIGH_SURROGATE_LAST && remaining >= 2)
   {
      UCS4CHAR low = static_cast<UCS4CHAR>(s[1]);
      if (low >= LOW_SURROGATE_FIRST && low <= LOW_SURROGATE_LAST)
      {
         *cp = (((u & SURROGATE_PAYLOAD_MASK) << 10) | (low & SURROGATE_PAYLOAD_MASK)) + SURROGATE_PAIR_BASE;
         return 2;
      }
   }
   *cp = NO_CHARACTER;
   return 1;
}

/* Number of UTF-16 units for a code point: 1 up to 0xFFFF (surrogate code points
 * included, unchanged), 2 up to 0x10FFFF, 0 above (dropped). */
inline size_t Utf16EncodedLength(UCS4CHAR cp)
{
   if (cp <= MAX_BMP)
      return 1;
   return (cp <= MAX_UNICODE) ? 2 : 0;
}

/* Writes the UTF-16 form of cp (Utf16EncodedLength(cp) units) and returns the unit count. */
template <typename T> inline size_t Utf16EncodeOne(UCS4CHAR cp, T *out)
{
   if (cp <= MAX_BMP)
   {
      out[0] = static_cast<T>(cp);
      return 1;
   }
   if (cp <= MAX_UNICODE)
   {
      out[0] = static_cast<T>(((cp - SURROGATE_PAIR_BASE) >> 10) | HIGH_SURROGATE_FIRST);
      out[1] = static_cast<T>((cp & SURROGATE_PAYLOAD_MASK) | LOW_SURROGATE_FIRST);
      return 2;
   }
   return 0;
}

}  // namespace qv::text

#endif
