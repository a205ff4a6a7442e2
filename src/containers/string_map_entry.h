/* The entry of the string maps' hash table, the table's settings, and the folding and
 * hashing of keys. */
#ifndef QORVEL_CONTAINERS_STRING_MAP_ENTRY_H
#define QORVEL_CONTAINERS_STRING_MAP_ENTRY_H

#include <qv_containers.h>

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

/* Characters as they are, or folded to upper case; map3 maps three at once. */
struct SameCase
{
   static wchar_t map(wchar_t ch) { return ch; }
   static void map3(wchar_t &, wchar_t &, wchar_t &) {}
};
struct UpperCase
{
   static wchar_t map(wchar_t ch) { return FoldCharacter(ch); }
   static void map3(wchar_t &c0, wchar_t &c1, wchar_t &c2)
   {
      UCS4CHAR any = static_cast<UCS4CHAR>(c0) | static_cast<UCS4CHAR>(c1) | static_cast<UCS4CHAR>(c2);
      if (any < 0x80)
      {
         c0 = static_cast<wchar_t>(ASCII_UPPER.upper[c0]);
         c1 = static_cast<wchar_t>(ASCII_UPPER.upper[c1]);
         c2 = static_cast<wchar_t>(ASCII_UPPER.upper[c2]);
      }
      else
      {
         c0 = FoldCharacter(c0);
         c1 = FoldCharacter(c1);
         c2 = FoldCharacter(c2);
      }
   }
};

/* HASH_JEN's starting values: the golden ratio for its first two words, its own seed
 * for the third. */
constexpr unsigned JEN_GOLDEN_RATIO = 0x9e3779b9u;
constexpr unsigned JEN_SEED = 0xfeedbeefu;

/* HASH_JEN of the length characters of key mapped through Case, computed with each
 * character as one of the little-endian words that HASH_JEN reads, so no byte is loaded
 * twice; with out not null the mapped characters are written there as well (out may be
 * key itself). */
template <typename Case> inline unsigned HashKey(const wchar_t *key, size_t length, wchar_t *out)
{
   static_assert(sizeof(wchar_t) == 4, "one HASH_JEN word per character");
   static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "HASH_JEN reads little-endian words");
   // HASH_JEN's block is three words.
   constexpr size_t BLOCK_CHARS = 3;
   unsigned i = JEN_GOLDEN_RATIO, j = JEN_GOLDEN_RATIO, hashv = JEN_SEED;
   size_t n = 0;
   for (; length - n >= BLOCK_CHARS; n += BLOCK_CHARS)
   {
      wchar_t c0 = key[n], c1 = key[n + 1], c2 = key[n + 2];
      Case::map3(c0, c1, c2);
      if (out != nullptr)
      {
         out[n] = c0;
         out[n + 1] = c1;
         out[n + 2] = c2;
      }
      i += static_cast<unsigned>(c0);
      j += static_cast<unsigned>(c1);
      hashv += static_cast<unsigned>(c2);
      HASH_JEN_MIX(i, j, hashv);
   }
   hashv += KeyBytes(length);
   if (length - n == 2)
   {
      wchar_t c1 = Case::map(key[n + 1]);
      if (out != nullptr)
         out[n + 1] = c1;
      j += static_cast<unsigned>(c1);
   }
   if (length - n >= 1)
   {
      wchar_t c0 = Case::map(key[n]);
      if (out != nullptr)
         out[n] = c0;
      i += static_cast<unsigned>(c0);
   }
   HASH_JEN_MIX(i, j, hashv);
   return hashv;
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
