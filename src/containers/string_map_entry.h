/* The entry of the string maps' hash table, the table's settings, and the folding and
 * hashing of keys. */
#ifndef QORVEL_CONTAINERS_STRING_MAP_ENTRY_H
#define QORVEL_CONTAINERS_STRING_MAP_ENTRY_H

#include <qv_containers.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

#include "containers/hash_table.h"

struct StringMapEntry
{
   UT_hash_handle hh;
   wchar_t *key;  // hash key: upper-cased in an ignore-case map
   void *value;
   wchar_t *originalKey;  // the latest spelling in an ignore-case map, otherwise null

   /* The key that operations hand out. */
   const wchar_t *reportedKey() const { return (originalKey != nullptr) ? originalKey : key; }
   /* The next entry in insertion order, or null. */
   StringMapEntry *next() const { return static_cast<StringMapEntry *>(hh.next); }
   /* Room right behind the entry, in the same heap block, where the map copies a new key,
    * so that a lookup finds the entry and its key in neighbouring cache lines. */
   wchar_t *inlineKey() { return reinterpret_cast<wchar_t *>(this + 1); }
   /* Frees key unless it lives in the entry's own block. */
   void freeKey()
   {
      if (key != inlineKey())
         free(key);
   }
};
static_assert(sizeof(StringMapEntry) % alignof(wchar_t) == 0, "a key behind the entry is aligned");

namespace qv::containers {

/* Longest key in characters whose byte length the table can hold. */
constexpr size_t MAX_KEY_LENGTH = UINT32_MAX / sizeof(wchar_t);

/* Byte length of a hash key of length characters. */
inline unsigned KeyBytes(size_t length)
{
   return static_cast<unsigned>(length * sizeof(wchar_t));
}

/* Upper-case forms of the ASCII characters, looked up rather than computed: a lookup
 * leaves the arithmetic units to the hash. */
struct AsciiUpperTable
{
   unsigned char upper[0x80];
   constexpr AsciiUpperTable() : upper()
   {
      for (int c = 0; c < 0x80; c++)
         upper[c] = static_cast<unsigned char>((c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c);
   }
};
inline constexpr AsciiUpperTable ASCII_UPPER;

/* Upper-case form of one character, as qv_wcsupr makes it. */
inline wchar_t FoldCharacter(wchar_t ch)
{
   UCS4CHAR c = static_cast<UCS4CHAR>(ch);
   if (c < 0x80)
      return static_cast<wchar_t>(ASCII_UPPER.upper[c]);
   return static_cast<wchar_t>(towupper(static_cast<wint_t>(ch)));
}

/* The key hash's constants: odd 64-bit numbers with bits spread evenly. */
constexpr uint64_t KEY_HASH_SEED = 0xa0761d6478bd642full;
constexpr uint64_t KEY_HASH_MIX = 0xe7037ed1a0b428dbull;
constexpr uint64_t KEY_HASH_FINAL = 0x8ebc6af09c88c6e3ull;

/* Both halves of the 128-bit product of a and b folded together: every bit of either
 * factor reaches every bit of the result. */
inline uint64_t KeyHashMix(uint64_t a, uint64_t b)
{
   unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
   return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

/* Two characters as one 64-bit word, the first in the low half. */
inline uint64_t CharPair(wchar_t c0, wchar_t c1)
{
   return static_cast<uint64_t>(static_cast<UCS4CHAR>(c0)) | (static_cast<uint64_t>(static_cast<UCS4CHAR>(c1)) << 32);
}

/* Upper-cases both characters of a pair: ASCII ones four at a time with no table, others
 * as FoldCharacter does. */
inline uint64_t FoldPair(uint64_t pair)
{
   constexpr uint64_t LANES = 0x0000000100000001ull;
   if ((pair & (0xFFFFFF80ull * LANES)) != 0)
      return CharPair(FoldCharacter(static_cast<wchar_t>(static_cast<uint32_t>(pair))),
                      FoldCharacter(static_cast<wchar_t>(static_cast<uint32_t>(pair >> 32))));
   // Each lane is below 0x80: bit 7 of lane + (0x80 - 'a') tells c >= 'a', that of
   // lane + (0x80 - 'z' - 1) tells c > 'z'.
   uint64_t fromA = pair + (0x80 - 'a') * LANES;
   uint64_t pastZ = pair + (0x80 - 'z' - 1) * LANES;
   uint64_t lower = fromA & ~pastZ & (0x80 * LANES);
   return pair - (lower >> 2);  // 'a' - 'A' is 0x20
}

/* Characters as they are, or folded to upper case, a pair at a time. */
struct SameCase
{
   static uint64_t map2(uint64_t pair) { return pair; }
   static wchar_t map(wchar_t ch) { return ch; }
};
struct UpperCase
{
   static uint64_t map2(uint64_t pair) { return FoldPair(pair); }
   static wchar_t map(wchar_t ch) { return FoldCharacter(ch); }
};

/* Hash of the length characters of key mapped through Case, four characters to a
 * multiplication; with out not null the mapped characters are written there as well (out
 * may be key itself). The hash of a key mapped through UpperCase is that of the folded
 * key taken as it is. The hash lives only in the tables of a running process: nothing
 * stores or sends it. */
template <typename Case> inline unsigned HashKey(const wchar_t *key, size_t length, wchar_t *out)
{
   static_assert(sizeof(wchar_t) == 4, "two characters to a 64-bit word");
   uint64_t hash = KEY_HASH_SEED ^ (length * KEY_HASH_FINAL);
   size_t n = 0;
   auto pairAt = [&](size_t at) {
      uint64_t pair = Case::map2(CharPair(key[at], key[at + 1]));
      if (out != nullptr)
      {
         out[at] = static_cast<wchar_t>(static_cast<uint32_t>(pair));
         out[at + 1] = static_cast<wchar_t>(static_cast<uint32_t>(pair >> 32));
      }
      return pair;
   };
   for (; length - n >= 4; n += 4)
   {
      uint64_t first = pairAt(n);
      uint64_t second = pairAt(n + 2);
      hash = KeyHashMix(first ^ KEY_HASH_MIX, second ^ hash);
   }
   uint64_t first = 0, second = 0;
   if (length - n >= 2)
   {
      first = pairAt(n);
      n += 2;
   }
   if (length - n == 1)
   {
      wchar_t last = Case::map(key[n]);
      if (out != nullptr)
         out[n] = last;
      second = static_cast<UCS4CHAR>(last);
   }
   hash = KeyHashMix(first ^ KEY_HASH_MIX, second ^ hash);
   hash = KeyHashMix(hash ^ KEY_HASH_FINAL, length ^ KEY_HASH_SEED);
   return static_cast<unsigned>(hash ^ (hash >> 32));
}

/* Upper-cases length characters of key in place. */
inline void FoldInPlace(wchar_t *key, size_t length)
{
   for (size_t n = 0; n < length; n++)
      key[n] = FoldCharacter(key[n]);
}

/* Upper-cases length characters of key in place and returns the hash of the result. */
inline unsigned FoldKeyInPlace(wchar_t *key, size_t length)
{
   return HashKey<UpperCase>(key, length, key);
}

}  // namespace qv::containers

#endif
