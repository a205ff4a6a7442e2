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

HashMapEntry *HashMapBase::find(const void *key, unsigned *hash) const
{
   if (key == nullptr || (m_data == nullptr && hash == nullptr))
      return nullptr;
   return FindEntry(m_data, key, m_keylen, hash);
}

void HashMapBase::destroyObject(void *value)
{
   if (value != nullptr)
      m_objectDestructor(value, this);
}

void HashMapBase::_set(const void *key, void *value)
{
   if (key == nullptr)
      return;
   unsigned hash;
   HashMapEntry *entry = find(key, &hash);
   if (entry != nullptr)
   {
      // Storing the value it already holds must not release it.
      void *old = entry->value;
      entry->value = value;
      if (m_objectOwner && old != value)
         destroyObject(old);
      return;
   }
   entry = AddEntry(m_data, key, m_keylen, hash);
   if (entry != nullptr)
      entry->value = value;
   else if (m_objectOwner)
      destroyObject(value);  // the map was handed the value and cannot keep it
}

void *HashMapBase::_get(const void *key) const
{
   HashMapEntry *entry = find(key);
   return (entry != nullptr) ? entry->value : nullptr;
}

bool HashMapBase::_contains(const void *key) const
{
   return find(key) != nullptr;
}

/* Unlinks entry and frees it with its key, then releases an owned value. */
void HashMapBase::removeEntry(HashMapEntry *entry)
{
   void *value = entry->value;
   DeleteEntry(m_data, entry, m_keylen);
   if (m_objectOwner)
      destroyObject(value);
}

void HashMapBase::_remove(const void *key)
{
   HashMapEntry *entry = find(key);
   if (entry != nullptr)
      removeEntry(entry);
}

void HashMapBase::clear()
{
   while (m_data != nullptr)
      removeEntry(m_data);
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
   m_map->removeEntry(m_curr);
   m_curr = nullptr;
}
