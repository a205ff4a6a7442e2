/* Entries of the hash map and hash set and the table operations both share: key storage
 * with short keys inline, lookup, insertion and removal of entries. */
#ifndef QORVEL_CONTAINERS_HASH_MAP_ENTRY_H
#define QORVEL_CONTAINERS_HASH_MAP_ENTRY_H

#include <qv_containers.h>

#include "containers/hash_table.h"

namespace qv::containers {

/* Keys of up to this many bytes live inside their entry; longer ones in a heap copy. */
constexpr unsigned INLINE_KEY_BYTES = 16;

}  // namespace qv::containers

/* Entry of a hash set; a map entry adds the value. Allocated zero-filled. */
struct HashSetEntry
{
   UT_hash_handle hh;
   union
   {
      unsigned char bytes[qv::containers::INLINE_KEY_BYTES];
      void *heap;
   } keyStorage;

   static bool keyInline(unsigned keyLength) { return keyLength <= qv::containers::INLINE_KEY_BYTES; }
   /* The key bytes, wherever they are stored. */
   const void *key(unsigned keyLength) const { return keyInline(keyLength) ? keyStorage.bytes : keyStorage.heap; }
};

struct HashMapEntry : HashSetEntry
{
   void *value;

   /* The next entry in insertion order, or null. */
   HashMapEntry *next() const { return static_cast<HashMapEntry *>(hh.next); }
};

namespace qv::containers {

/* The entry of the table at head whose key bytes equal key, or null. With hash not null
 * the key's hash is put there, so that an insertion need not hash again. */
template <typename Entry> Entry *FindEntry(Entry *head, const void *key, unsigned keyLength, unsigned *hash)
{
   unsigned hashv;
   HASH_VALUE(key, keyLength, hashv);
   if (hash != nullptr)
      *hash = hashv;
   Entry *entry = nullptr;
   if (head != nullptr)
      HASH_FIND_BYHASHVALUE(hh, head, key, keyLength, hashv, entry);
   return entry;
}

/* A new zero-filled entry with a copy of key, added at the end of insertion order; hash
 * is the one FindEntry gave. Null, with nothing added, when an allocation fails. */
template <typename Entry> Entry *AddEntry(Entry *&head, const void *key, unsigned keyLength, unsigned hash)
{
   Entry *entry = static_cast<Entry *>(calloc(1, sizeof(Entry)));
   if (entry == nullptr)
      return nullptr;
   void *storage = entry->keyStorage.bytes;
   if (!Entry::keyInline(keyLength))
   {
      storage = malloc(keyLength);
      if (storage == nullptr)
      {
         free(entry);
         return nullptr;
      }
      entry->keyStorage.heap = storage;
   }
   memcpy(storage, key, keyLength);
   HASH_ADD_KEYPTR_BYHASHVALUE(hh, head, entry->key(keyLength), keyLength, hash, entry);
   return entry;
}

/* Unlinks entry from the table and frees it with its heap key copy. */
template <typename Entry> void DeleteEntry(Entry *&head, Entry *entry, unsigned keyLength)
{
   HASH_DELETE(hh, head, entry);
   if (!Entry::keyInline(keyLength))
      free(entry->keyStorage.heap);
   free(entry);
}

}  // namespace qv::containers

#endif
