/* The entry of the string maps' hash table, the table's settings, and the case folding
 * that ignore-case maps apply to keys before hashing. */
#ifndef QORVEL_CONTAINERS_STRING_MAP_ENTRY_H
#define QORVEL_CONTAINERS_STRING_MAP_ENTRY_H

#include <qv_containers.h>

#include <stdlib.h>
#include <wctype.h>

#if defined(__SSE2__)
#  include <emmintrin.h>
#endif

// Jenkins hash, and the process ends with exit code -1 when the table cannot allocate.
#define HASH_FUNCTION(keyptr, keylen, hashv) HASH_JEN(keyptr, keylen, hashv)
#define uthash_fatal(msg) exit(-1)
#include <uthash.h>

struct StringMapEntry
{
   UT_hash_handle hh;
   wchar_t *key;            // hash key: upper-cased in an ignore-case map
   void *value;
   wchar_t *originalKey;    // the latest spelling in an ignore-case map, otherwise null

   /* The key that operations hand out. */
   const wchar_t *reportedKey() const { return (originalKey != nullptr) ? originalKey : key; }
   /* The next entry in insertion order, or null. */
   StringMapEntry *next() const { return static_cast<StringMapEntry *>(hh.next); }
};

namespace qv_map {

/* Longest key in characters whose byte length the table can hold. */
constexpr size_t MAX_KEY_LENGTH = UINT32_MAX / sizeof(wchar_t);

/* Upper-case form of one character, as qv_wcsupr makes it. */
inline wchar_t FoldCharacter(wchar_t ch)
{
   if (static_cast<UCS4CHAR>(ch) < 0x80)
      return (ch >= L'a' && ch <= L'z') ? static_cast<wchar_t>(ch - (L'a' - L'A')) : ch;
   return static_cast<wchar_t>(towupper(static_cast<wint_t>(ch)));
}

/* Writes the upper-case form of length characters of key to folded (which may be key
 * itself), four ASCII characters at a time. */
inline void FoldKey(const wchar_t *key, size_t length, wchar_t *folded)
{
   size_t i = 0;
#if defined(__SSE2__)
   static_assert(sizeof(wchar_t) == 4, "four characters per vector");
   constexpr size_t VECTOR_CHARS = 4;
   const __m128i nonAsciiBits = _mm_set1_epi32(~0x7F);
   const __m128i beforeLowerA = _mm_set1_epi32(L'a' - 1);
   const __m128i afterLowerZ = _mm_set1_epi32(L'z' + 1);
   const __m128i caseBit = _mm_set1_epi32(L'a' - L'A');
   const __m128i zero = _mm_setzero_si128();
   for (; length - i >= VECTOR_CHARS; i += VECTOR_CHARS)
   {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(key + i));
      if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(v, nonAsciiBits), zero)) != 0xFFFF)
      {
         for (size_t j = i; j < i + VECTOR_CHARS; j++)
            folded[j] = FoldCharacter(key[j]);
         continue;
      }
      __m128i lower = _mm_and_si128(_mm_cmpgt_epi32(v, beforeLowerA), _mm_cmplt_epi32(v, afterLowerZ));
      _mm_storeu_si128(reinterpret_cast<__m128i *>(folded + i), _mm_sub_epi32(v, _mm_and_si128(lower, caseBit)));
   }
#endif
   for (; i < length; i++)
      folded[i] = FoldCharacter(key[i]);
}

/* Byte length of a hash key of length characters. */
inline unsigned KeyBytes(size_t length)
{
   return static_cast<unsigned>(length * sizeof(wchar_t));
}

}  // namespace qv_map

#endif
