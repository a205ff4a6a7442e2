/* Copying runs of ASCII between the units of the text forms (8-, 16- and 32-bit) sixteen
 * units at a time. Every form takes a character below 0x80 as one unit of the same value,
 * so such a run converts by widening or narrowing alone. Only the run itself is written:
 * the destination past it is never touched, not even temporarily. */
#ifndef QORVEL_TEXT_ASCII_RUN_H
#define QORVEL_TEXT_ASCII_RUN_H

#include <qv_base.h>

#include <string.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace qv::text {

/* Units checked at once. */
constexpr size_t ASCII_BLOCK = 16;

/* Unit types by size: the value of a unit as an unsigned code. */
template <typename T> inline UCS4CHAR UnitValue(T unit)
{
   if constexpr (sizeof(T) == 1)
      return static_cast<unsigned char>(unit);
   else
      return static_cast<UCS4CHAR>(unit);
}

#if defined(__SSE2__)

/* Bit i set when unit i of the block at s is not ASCII. */
template <typename S> inline unsigned NonAsciiMask(const S *s)
{
   const __m128i *p = reinterpret_cast<const __m128i *>(s);
   if constexpr (sizeof(S) == 1)
   {
      return static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(p)));
   }
   else if constexpr (sizeof(S) == 2)
   {
      const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
      const __m128i zero = _mm_setzero_si128();
      __m128i a = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(p), high), zero);
      __m128i b = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(p + 1), high), zero);
      return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & 0xFFFF;
   }
   else
   {
      // Signed saturation to 16 bits keeps every value of 0x80 or above (and every
      // negative one) outside 0..0x7F, so the 16-bit test decides for the 32-bit units.
      const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
      const __m128i zero = _mm_setzero_si128();
      __m128i a = _mm_packs_epi32(_mm_loadu_si128(p), _mm_loadu_si128(p + 1));
      __m128i b = _mm_packs_epi32(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3));
      a = _mm_cmpeq_epi16(_mm_and_si128(a, high), zero);
      b = _mm_cmpeq_epi16(_mm_and_si128(b, high), zero);
      return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & 0xFFFF;
   }
}

/* Converts a whole block of ASCII_BLOCK ASCII units from s to d. */
template <typename S, typename D> inline void ConvertAsciiBlock(const S *s, D *d)
{
   const __m128i *in = reinterpret_cast<const __m128i *>(s);
   __m128i *out = reinterpret_cast<__m128i *>(d);
   const __m128i zero = _mm_setzero_si128();
   if constexpr (sizeof(S) == sizeof(D))
   {
      memcpy(d, s, ASCII_BLOCK * sizeof(S));
   }
   else if constexpr (sizeof(S) == 1)
   {
      __m128i v = _mm_loadu_si128(in);
      __m128i lo = _mm_unpacklo_epi8(v, zero);
      __m128i hi = _mm_unpackhi_epi8(v, zero);
      if constexpr (sizeof(D) == 2)
      {
         _mm_storeu_si128(out, lo);
         _mm_storeu_si128(out + 1, hi);
      }
      else
      {
         _mm_storeu_si128(out, _mm_unpacklo_epi16(lo, zero));
         _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(lo, zero));
         _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(hi, zero));
         _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(hi, zero));
      }
   }
   else if constexpr (sizeof(S) == 2 && sizeof(D) == 1)
   {
      _mm_storeu_si128(out, _mm_packus_epi16(_mm_loadu_si128(in), _mm_loadu_si128(in + 1)));
   }
   else if constexpr (sizeof(S) == 4 && sizeof(D) == 1)
   {
      __m128i a = _mm_packs_epi32(_mm_loadu_si128(in), _mm_loadu_si128(in + 1));
      __m128i b = _mm_packs_epi32(_mm_loadu_si128(in + 2), _mm_loadu_si128(in + 3));
      _mm_storeu_si128(out, _mm_packus_epi16(a, b));
   }
   else if constexpr (sizeof(S) == 4 && sizeof(D) == 2)
   {
      // Values below 0x80 survive the signed saturation unchanged.
      _mm_storeu_si128(out, _mm_packs_epi32(_mm_loadu_si128(in), _mm_loadu_si128(in + 1)));
      _mm_storeu_si128(out + 1, _mm_packs_epi32(_mm_loadu_si128(in + 2), _mm_loadu_si128(in + 3)));
   }
   else
   {
      __m128i a = _mm_loadu_si128(in);
      __m128i b = _mm_loadu_si128(in + 1);
      _mm_storeu_si128(out, _mm_unpacklo_epi16(a, zero));
      _mm_storeu_si128(out + 1, _mm_unpackhi_epi16(a, zero));
      _mm_storeu_si128(out + 2, _mm_unpacklo_epi16(b, zero));
      _mm_storeu_si128(out + 3, _mm_unpackhi_epi16(b, zero));
   }
}

#else

template <typename S> inline unsigned NonAsciiMask(const S *s)
{
   unsigned mask = 0;
   for (size_t i = 0; i < ASCII_BLOCK; i++)
      if (UnitValue(s[i]) >= 0x80)
         mask |= 1u << i;
   return mask;
}

template <typename S, typename D> inline void ConvertAsciiBlock(const S *s, D *d)
{
   for (size_t i = 0; i < ASCII_BLOCK; i++)
      d[i] = static_cast<D>(UnitValue(s[i]));
}

#endif

/* Converts the run at the start of s (available units) into d (room units) and returns its
 * length: a block of ASCII_BLOCK units at a time while stops(block) (bit i set for each
 * unit that ends the run) is 0 and convert(block) converts it whole, then unit by unit
 * while fits(unit). Stops at the first unit outside the run, or when either side runs
 * out. */
template <typename S, typename D, typename Stops, typename Convert, typename Fits>
inline size_t ConvertUnitRun(const S *s, size_t available, D *d, size_t room, Stops stops, Convert convert, Fits fits)
{
   size_t limit = (available < room) ? available : room;
   size_t done = 0;
   while (limit - done >= ASCII_BLOCK)
   {
      unsigned mask = stops(s + done);
      if (mask != 0)
      {
         limit = done + static_cast<size_t>(__builtin_ctz(mask));
         break;
      }
      convert(s + done, d + done);
      done += ASCII_BLOCK;
   }
   while (done < limit && fits(UnitValue(s[done])))
   {
      d[done] = static_cast<D>(UnitValue(s[done]));
      done++;
   }
   return done;
}

/* Converts the ASCII units at the start of s (available units) into d (room units) and
 * returns how many; stops before the first unit of 0x80 or above, or when either side
 * runs out. */
template <typename S, typename D> inline size_t ConvertAsciiRun(const S *s, size_t available, D *d, size_t room)
{
   return ConvertUnitRun(
       s, available, d, room, [](const S *block) { return NonAsciiMask(block); },
       [](const S *block, D *out) { ConvertAsciiBlock(block, out); }, [](UCS4CHAR unit) { return unit < 0x80; });
}

/* Number of ASCII units at the start of s (available units). */
template <typename S> inline size_t CountAsciiRun(const S *s, size_t available)
{
   size_t done = 0;
   while (available - done >= ASCII_BLOCK)
   {
      unsigned mask = NonAsciiMask(s + done);
      if (mask != 0)
         return done + static_cast<size_t>(__builtin_ctz(mask));
      done += ASCII_BLOCK;
   }
   while (done < available && UnitValue(s[done]) < 0x80)
      done++;
   return done;
}

}  // namespace qv::text

#endif
