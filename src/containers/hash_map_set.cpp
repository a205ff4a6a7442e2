/* HashSetBase: fixed-length binary keys on a uthash table, in insertion order. */
#include "containers/hash_map_entry.h"

using qv::containers::AddEntry;
using qv::containers::DeleteEntry;
using qv::containers::FindEntry;

HashSetBase::HashSetBase(unsigned int keyLength) : m_data(nullptr), m_keylen(keyLength) {}

HashSetBase::~HashSetBase()
{
   clear();
}

int HashSetBase::size() const
{
   return static_cast<int>(HASH_COUNT(m_data));
}

void HashSetBase::_put(const void *key)
{
   if (key == nullptr)
      return;
   unsigned hash;
   if (FindEntry(m_data, key, m_keylen, &hash) == nullptr)
      AddEntry(m_data, key, m_keylen, hash);
}

bool HashSetBase::_contains(const void *key) const
{
   return (key != nullptr) && (m_data != nullptr) && (FindEntry(m_data, key, m_keylen, nullptr) != nullptr);
}

void HashSetBase::_remove(const void *key)
{
   HashSetEntry *entry = (key != nullptr && m_data != nullptr) ? FindEntry(m_data, key, m_keylen, nullptr) : nullptr;
   if (entry != nullptr)
      DeleteEntry(m_data, entry, m_keylen);
}

void HashSetBase::clear()
{
   while (m_data != nullptr)
      DeleteEntry(m_data, m_data, m_keylen);
}

EnumerationCallbackResult HashSetBase::forEach(EnumerationCallbackResult (*callback)(const void *key, void *context),
                                               void *context) const
{
   for (HashSetEntry *entry = m_data; entry != nullptr; entry = static_cast<HashSetEntry *>(entry->hh.next))
      if (callback(entry->key(m_keylen), context) == STOP_ENUMERATION)
         return STOP_ENUMERATION;
   return CONTINUE_ENUMERATION;
}
