/* HashMapBase and HashMapIterator: fixed-length binary keys to untyped values on a uthash
 * table, in insertion order, optionally owning the values. */
#include "containers/hash_map_entry.h"

using qv::containers::AddEntry;
using qv::containers::DeleteEntry;
using qv::containers::FindEntry;

namespace {

/* The destroy function of a new map: the value is a malloc'ed block. */
void FreeValue(void *value, HashMapBase *)
{
   free(value);
}

}  // namespace

namespace qv::containers {

/* The one friend of HashMapBase: its hash table, each operation on the map given. */
struct HashMapInternals
{
   /* The entry of key, or null; *hash (when not null) gets the key's hash. */
   static HashMapEntry *find(const HashMapBase *map, const void *key, unsigned *hash = nullptr);
   static void removeEntry(HashMapBase *map, HashMapEntry *entry);
   /* Releases value through the map's destroy function (null: nothing). */
   static void destroyObject(HashMapBase *map, void *value);
};

}  // namespace qv::containers

using qv::containers::HashMapInternals;

HashMapBase::HashMapBase(bool owner, unsigned int keyLength)
    : m_data(nullptr), m_objectOwner(owner), m_keylen(keyLength), m_objectDestructor(FreeValue)
{}

HashMapBase::~HashMapBase()
{
   clear();
}

int HashMapBase::size() const
{
   return static_cast<int>(HASH_COUNT(m_data));
}

HashMapEntry *HashMapInternals::find(const HashMapBase *map, const void *key, unsigned *hash)
{
   if (key == nullptr || (map->m_data == nullptr && hash == nullptr))
      return nullptr;
   return FindEntry(map->m_data, key, map->m_keylen, hash);
}

void HashMapInternals::destroyObject(HashMapBase *map, void *value)
{
   if (value != nullptr)
      map->m_objectDestructor(value, const_cast<HashMapBase *>(map));
}

void HashMapBase::_set(const void *key, void *value)
{
   if (key == nullptr)
      return;
   unsigned hash;
   HashMapEntry *entry = HashMapInternals::find(this, key, &hash);
   if (entry != nullptr)
   {
      // Storing the value it already holds must not release it.
      void *old = entry->value;
      entry->value = value;
      if (m_objectOwner && old != value)
         HashMapInternals::destroyObject(this, old);
      return;
   }
   entry = AddEntry(m_data, key, m_keylen, hash);
   if (entry != nullptr)
      entry->value = value;
   else if (m_objectOwner)
      HashMapInternals::destroyObject(this, value);  // the map was handed the value and cannot keep it
}

void *HashMapBase::_get(const void *key) const
{
   HashMapEntry *entry = HashMapInternals::find(this, key);
   return (entry != nullptr) ? entry->value : nullptr;
}

bool HashMapBase::_contains(const void *key) const
{
   return HashMapInternals::find(this, key) != nullptr;
}

/* Unlinks entry and frees it with its key, then releases an owned value. */
void HashMapInternals::removeEntry(HashMapBase *map, HashMapEntry *entry)
{
   void *value = entry->value;
   DeleteEntry(map->m_data, entry, map->m_keylen);
   if (map->m_objectOwner)
      destroyObject(map, value);
}

void HashMapBase::_remove(const void *key)
{
   HashMapEntry *entry = HashMapInternals::find(this, key);
   if (entry != nullptr)
      HashMapInternals::removeEntry(this, entry);
}

void HashMapBase::clear()
{
   while (m_data != nullptr)
      HashMapInternals::removeEntry(this, m_data);
}

EnumerationCallbackResult HashMapBase::forEach(EnumerationCallbackResult (*callback)(const void *key, const void *value,
                                                                                     void *context),
                                               void *context) const
{
   for (HashMapEntry *entry = m_data; entry != nullptr; entry = entry->next())
      if (callback(entry->key(m_keylen), entry->value, context) == STOP_ENUMERATION)
         return STOP_ENUMERATION;
   return CONTINUE_ENUMERATION;
}

const void *HashMapBase::findElement(bool (*comparator)(const void *key, const void *value, void *context),
                                     void *context) const
{
   for (HashMapEntry *entry = m_data; entry != nullptr; entry = entry->next())
      if (comparator(entry->key(m_keylen), entry->value, context))
         return entry->value;
   return nullptr;
}

HashMapIterator::HashMapIterator(HashMapBase *map) : m_map(map), m_curr(nullptr), m_next(nullptr), m_started(false) {}

HashMapIterator::~HashMapIterator() {}

bool HashMapIterator::hasNext()
{
   return (m_map->m_data != nullptr) && (!m_started || m_next != nullptr);
}

void *HashMapIterator::next()
{
   if (m_map->m_data == nullptr)
      return nullptr;
   if (!m_started)
   {
      m_curr = m_map->m_data;
      m_started = true;
   }
   else if (m_next == nullptr)
   {
      return nullptr;  // at the end: the current entry stays
   }
   else
   {
      m_curr = m_next;
   }
   m_next = m_curr->next();
   return m_curr->value;
}

/* A second call without next() in between does nothing: the entry is gone already. */
void HashMapIterator::remove()
{
   if (m_curr == nullptr)
      return;
   HashMapInternals::removeEntry(m_map, m_curr);
   m_curr = nullptr;
}
