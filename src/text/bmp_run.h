/* Copying runs of characters between UTF-16 and the 32-bit forms sixteen units at a time, in
 * the manner of ascii_run.h. A UTF-16 unit that is not a surrogate is one character of the
 * same value, and a 32-bit character up to 0xFFFF is one UTF-16 unit of the same value, so
 * such a run converts by widening or narrowing alone. Only the run itself is written: the
 * destination past it is never touched. */
#ifndef QORVEL_TEXT_BMP_RUN_H
#define QORVEL_TEXT_BMP_RUN_H

#include <qv_base.h>

#include "text/ascii_run.h"

namespace qv::text {

/* Units of the surrogate range share their top five bits. */
constexpr uint32_t SURROGATE_TOP_MASK = 0xF800;
constexpr uint32_t SURROGATE_TOP_BITS = 0xD800;

/* Largest value a UTF-16 unit holds. */
constexpr uint32_t MAX_UTF16_UNIT = 0xFFFF;

/* A UTF-16 unit that is a character of its own. */
inline bool IsSingleUnit(UCS4CHAR unit)
{
   return (unit & SURROGATE_TOP_MASK) != SURROGATE_TOP_BITS;
}

#if defined(__SSE2__)

/* Bit i set when UTF-16 unit i of the block of ASCII_BLOCK units at s is a surrogate. */
template <typename S> inline unsigned SurrogateMask(const S *s)
{
   const __m128i *p = reinterpret_cast<const __m128i *>(s);
   const __m128i top = _mm_set1_epi16(static_cast<short>(SURROGATE_TOP_MASK));
   const __m128i surrogate = _mm_set1_epi16(static_cast<short>(SURROGATE_TOP_BITS));
   __m128i a = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(p), top), surrogate);
   __m128i b = _mm_cmpeq_epi16(_mm_and_si128(_mm_loadu_si128(p + 1), top), surrogate);
   return static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b)));
}

/* Bit i set when character i of the block of ASCII_BLOCK 32-bit units at s is above
 * 0xFFFF (negative ones included). */
template <typename S> inline unsigned WideMask(const S *s)
{
   const __m128i *p = reinterpret_cast<const __m128i *>(s);
   const __m128i zero = _mm_setzero_si128();
   // The high halves, as 16-bit lanes: zero for every character that fits one unit.
   __m128i a = _mm_packs_epi32(_mm_srli_epi32(_mm_loadu_si128(p), 16), _mm_srli_epi32(_mm_loadu_si128(p + 1), 16));
   __m128i b = _mm_packs_epi32(_mm_srli_epi32(_mm_loadu_si128(p + 2), 16), _mm_srli_epi32(_mm_loadu_si128(p + 3), 16));
   a = _mm_cmpeq_epi16(a, zero);
   b = _mm_cmpeq_epi16(b, zero);
   return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(a, b))) & 0xFFFF;
}

/* Narrows a block of ASCII_BLOCK 32-bit characters, each at most 0xFFFF, to UTF-16 units. */
template <typename S, typename D> inline void NarrowBlock(const S *s, D *d)
{
   const __m128i *in = reinterpret_cast<const __m128i *>(s);
   __m128i *out = reinterpret_cast<__m128i *>(d);
   // The signed pack keeps a value exactly when it is a sign-extended 16-bit one.
   auto low = [](__m128i v) { return _mm_srai_epi32(_mm_slli_epi32(v, 16), 16); };
   _mm_storeu_si128(out, _mm_packs_epi32(low(_mm_loadu_si128(in)), low(_mm_loadu_si128(in + 1))));
   _mm_storeu_si128(out + 1, _mm_packs_epi32(low(_mm_loadu_si128(in + 2)), low(_mm_loadu_si128(in + 3))));
}

#else

template <typename S> inline unsigned SurrogateMask(const S *s)
{
   unsigned mask = 0;
   for (size_t i = 0; i < ASCII_BLOCK; i++)
      if (!IsSingleUnit(static_cast<UCS4CHAR>(s[i])))
         mask |= 1u << i;
   return mask;
}

template <typename S> inline unsigned WideMask(const S *s)
{
   unsigned mask = 0;
   for (size_t i = 0; i < ASCII_BLOCK; i++)
      if (static_cast<UCS4CHAR>(s[i]) > MAX_UTF16_UNIT)
         mask |= 1u << i;
   return mask;
}

template <typename S, typename D> inline void NarrowBlock(const S *s, D *d)
{
   for (size_t i = 0; i < ASCII_BLOCK; i++)
      d[i] = static_cast<D>(s[i]);
}

#endif

/* Widens the UTF-16 units at the start of s (available units) that are characters of their
 * own into d (room characters) and returns how many; stops before the first surrogate, or
 * when either side runs out. S is a 16-bit unit type, D a 32-bit one. */
template <typename S, typename D> inline size_t WidenBmpRun(const S *s, size_t available, D *d, size_t room)
{
   static_assert(sizeof(S) == 2 && sizeof(D) == 4, "UTF-16 units to 32-bit characters");
   // Widening a block is what the ASCII copy does with 16-bit units.
   return ConvertUnitRun(
       s, available, d, room, [](const S *block) { return SurrogateMask(block); },
       [](const S *block, D *out) { ConvertAsciiBlock(block, out); }, [](UCS4CHAR unit) { return IsSingleUnit(unit); });
}

/* Narrows the 32-bit characters at the start of s (available units) that are at most 0xFFFF
 * into d (room units) and returns how many; stops before the first larger one, or when
 * either side runs out. */
template <typename S, typename D> inline size_t NarrowBmpRun(const S *s, size_t available, D *d, size_t room)
{
   static_assert(sizeof(S) == 4 && sizeof(D) == 2, "32-bit characters to UTF-16 units");
   return ConvertUnitRun(
       s, available, d, room, [](const S *block) { return WideMask(block); },
       [](const S *block, D *out) { NarrowBlock(block, out); }, [](UCS4CHAR unit) { return unit <= MAX_UTF16_UNIT; });
}

}  // namespace qv::text

#endif
