/* The one configuration of uthash that every hash table of the containers uses: Jenkins'
 * hash, inline key comparison, and the end of the process when the table cannot allocate. */
#ifndef QORVEL_CONTAINERS_HASH_TABLE_H
#define QORVEL_CONTAINERS_HASH_TABLE_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace qv::containers {

/* Whether two hash keys of the given byte length differ (HASH_KEYCMP). Keys are short and
 * a call to memcmp costs more than the comparison, so whole words are compared inline. */
inline bool KeyBytesDiffer(const void *a, const void *b, size_t bytes)
{
   const unsigned char *p = static_cast<const unsigned char *>(a);
   const unsigned char *q = static_cast<const unsigned char *>(b);
   size_t i = 0;
   for (; bytes - i >= sizeof(uint64_t); i += sizeof(uint64_t))
   {
      uint64_t x, y;
      memcpy(&x, p + i, sizeof(x));
      memcpy(&y, q + i, sizeof(y));
      if (x != y)
         return true;
   }
   // A wide key's tail is one character, also compared inline.
   if (bytes - i >= sizeof(uint32_t))
   {
      uint32_t x, y;
      memcpy(&x, p + i, sizeof(x));
      memcpy(&y, q + i, sizeof(y));
      if (x != y)
         return true;
      i += sizeof(uint32_t);
   }
   return i != bytes && memcmp(p + i, q + i, bytes - i) != 0;
}

}  // namespace qv::containers

// Exit code of a process whose hash table could not allocate.
#define QV_HASH_TABLE_FATAL_EXIT (-1)

#define HASH_FUNCTION(keyptr, keylen, hashv) HASH_JEN(keyptr, keylen, hashv)
#define HASH_KEYCMP(a, b, n) qv::containers::KeyBytesDiffer((a), (b), (n))
#define uthash_fatal(msg) exit(QV_HASH_TABLE_FATAL_EXIT)
#include <uthash.h>

namespace qv::containers {

/* Doubles the buckets of the table whose entry handle is hh while they are fewer than its
 * entries. uthash on its own only grows a table once some chain reaches ten entries, and
 * a lookup then walks a few entries of its chain, each a likely cache miss; with a bucket
 * per entry the chains stay near one. */
template <typename Handle> inline void KeepChainsShort(Handle *hh)
{
   UT_hash_table *table = hh->tbl;
   while (table->num_buckets < table->num_items && !table->noexpand)
   {
      HASH_EXPAND_BUCKETS(hh, table, oomed);
   }
}

}  // namespace qv::containers

#endif
