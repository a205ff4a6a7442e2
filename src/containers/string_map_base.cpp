/* StringMapBase: wide-string keys to untyped values on a uthash table, in insertion
 * order, optionally ignoring the case of keys and owning the values. */
#include "text/text_chars.h"
#include "containers/string_map_entry.h"

#include <string.h>

using qv::containers::FoldInPlace;
using qv::containers::FoldKeyInPlace;
using qv::containers::HashKey;
using qv::containers::KeepChainsShort;
using qv::containers::KeyBytes;
using qv::containers::MAX_KEY_LENGTH;
using qv::containers::SameCase;
using qv::containers::UpperCase;

namespace {

/* Keys up to this many characters are folded for a lookup in a buffer on the stack;
 * longer ones in a heap block. */
constexpr size_t STACK_FOLD_CHARS = 512;

/* The destroy function of a new map: the value is a malloc'ed block. */
void FreeValue(void *value, StringMapBase *)
{
   free(value);
}

}  // namespace

namespace qv::containers {

/* The one friend of StringMapBase: its hash table, each operation on the map given. */
struct StringMapInternals
{
   /* The entry of the first length characters of key, or null; *hash (when not null) gets
    * the key's hash for a following addEntry. */
   static StringMapEntry *find(const StringMapBase *map, const wchar_t *key, size_t length, unsigned *hash = nullptr);
   static void replaceValue(StringMapBase *map, StringMapEntry *entry, void *value);
   static bool addEntry(StringMapBase *map, wchar_t *key, size_t length, unsigned hash, void *value,
                        bool keyPreallocated);
   static void removeEntry(StringMapBase *map, StringMapEntry *entry);
};

}  // namespace qv::containers

using qv::containers::StringMapInternals;

StringMapBase::StringMapBase(bool owner)
    : m_objects(nullptr), m_objectOwner(owner), m_ignoreCase(true), m_objectDestructor(FreeValue)
{}

StringMapBase::~StringMapBase()
{
   clear();
}

int StringMapBase::size() const
{
   return static_cast<int>(HASH_COUNT(m_objects));
}

/* The entry matching the first length characters of key: folded to upper case in an
 * ignore-case map, exactly otherwise. With hash not null the hash of the key as the map
 * stores it is put there, unless the key is null or too long. */
StringMapEntry *StringMapInternals::find(const StringMapBase *map, const wchar_t *key, size_t length, unsigned *hash)
{
   if (key == nullptr || length > MAX_KEY_LENGTH || (map->m_objects == nullptr && hash == nullptr))
      return nullptr;
   StringMapEntry *entry = nullptr;
   unsigned hashv;  // of the key as stored: folded in an ignore-case map
   if (!map->m_ignoreCase)
   {
      hashv = HashKey<SameCase>(key, length, nullptr);
      HASH_FIND_BYHASHVALUE(hh, map->m_objects, key, KeyBytes(length), hashv, entry);
   }
   else if (length <= STACK_FOLD_CHARS)
   {
      wchar_t folded[STACK_FOLD_CHARS];
      hashv = HashKey<UpperCase>(key, length, folded);
      HASH_FIND_BYHASHVALUE(hh, map->m_objects, folded, KeyBytes(length), hashv, entry);
   }
   else
   {
      // Without room for the folded copy the hash is still made, so that an insertion
      // files the key where lookups look for it.
      wchar_t *folded = static_cast<wchar_t *>(malloc(length * sizeof(wchar_t)));
      hashv = HashKey<UpperCase>(key, length, folded);
      if (folded != nullptr)
         HASH_FIND_BYHASHVALUE(hh, map->m_objects, folded, KeyBytes(length), hashv, entry);
      free(folded);
   }
   if (hash != nullptr)
      *hash = hashv;
   return entry;
}

bool StringMapBase::contains(const wchar_t *key) const
{
   return (key != nullptr) && (StringMapInternals::find(this, key, wcslen(key)) != nullptr);
}

bool StringMapBase::contains(const wchar_t *key, size_t length) const
{
   return StringMapInternals::find(this, key, length) != nullptr;
}

void *StringMapBase::getObject(const wchar_t *key) const
{
   StringMapEntry *entry = (key != nullptr) ? StringMapInternals::find(this, key, wcslen(key)) : nullptr;
   return (entry != nullptr) ? entry->value : nullptr;
}

void *StringMapBase::getObject(const wchar_t *key, size_t length) const
{
   StringMapEntry *entry = StringMapInternals::find(this, key, length);
   return (entry != nullptr) ? entry->value : nullptr;
}

bool StringMapBase::findObject(const wchar_t *key, void **value) const
{
   StringMapEntry *entry = (key != nullptr) ? StringMapInternals::find(this, key, wcslen(key)) : nullptr;
   if (entry == nullptr)
      return false;
   *value = entry->value;
   return true;
}

void StringMapBase::destroyObject(void *value)
{
   if (value != nullptr)
      m_objectDestructor(value, this);
}

/* Stores value in entry, releasing the old one in an owning map unless it is the same. */
void StringMapInternals::replaceValue(StringMapBase *map, StringMapEntry *entry, void *value)
{
   void *old = entry->value;
   entry->value = value;
   if (map->m_objectOwner && old != value)
      map->destroyObject(old);
}

/* Adds a new entry at the end of insertion order; hash is the one find gave for key.
 * False, with nothing stored and nothing freed, when an allocation fails. */
bool StringMapInternals::addEntry(StringMapBase *map, wchar_t *key, size_t length, unsigned hash, void *value,
                                  bool keyPreallocated)
{
   // A key the map copies goes into the entry's own block.
   if (!keyPreallocated && length >= (SIZE_MAX - sizeof(StringMapEntry)) / sizeof(wchar_t))
      return false;
   size_t keyRoom = keyPreallocated ? 0 : (length + 1) * sizeof(wchar_t);
   StringMapEntry *entry = static_cast<StringMapEntry *>(calloc(1, sizeof(StringMapEntry) + keyRoom));
   if (entry == nullptr)
      return false;
   if (keyPreallocated)
   {
      entry->key = key;
   }
   else
   {
      entry->key = entry->inlineKey();
      memcpy(entry->key, key, length * sizeof(wchar_t));
   }
   if (map->m_ignoreCase)
   {
      entry->originalKey = qv::text::CopyOfLength(entry->key, length);
      if (entry->originalKey == nullptr)
      {
         free(entry);
         return false;
      }
      FoldInPlace(entry->key, length);
   }
   entry->value = value;
   HASH_ADD_KEYPTR_BYHASHVALUE(hh, map->m_objects, entry->key, KeyBytes(length), hash, entry);
   KeepChainsShort(&entry->hh);
   return true;
}

void StringMapBase::setObject(wchar_t *key, void *value, bool keyPreallocated)
{
   size_t length = (key != nullptr) ? wcslen(key) : 0;
   if (key == nullptr || length > MAX_KEY_LENGTH)
   {
      if (keyPreallocated)
         free(key);
      if (m_objectOwner && value != nullptr)
         destroyObject(value);
      return;
   }

   unsigned hash = 0;
   StringMapEntry *entry = StringMapInternals::find(this, key, length, &hash);
   if (entry != nullptr)
   {
      if (m_ignoreCase)
      {
         // The new spelling is copied before the old one goes: key may be that very text.
         wchar_t *spelling = keyPreallocated ? key : qv::text::CopyOfLength(key, length);
         if (spelling != nullptr)
         {
            free(entry->originalKey);
            entry->originalKey = spelling;
         }
      }
      else if (keyPreallocated)
      {
         free(key);
      }
      StringMapInternals::replaceValue(this, entry, value);
      return;
   }

   if (!StringMapInternals::addEntry(this, key, length, hash, value, keyPreallocated))
   {
      if (keyPreallocated)
         free(key);
      if (m_objectOwner && value != nullptr)
         destroyObject(value);
   }
}

/* Unlinks entry and frees it with its keys, then releases an owned value. */
void StringMapInternals::removeEntry(StringMapBase *map, StringMapEntry *entry)
{
   HASH_DELETE(hh, map->m_objects, entry);
   void *value = entry->value;
   entry->freeKey();
   free(entry->originalKey);
   free(entry);
   if (map->m_objectOwner)
      map->destroyObject(value);
}

void StringMapBase::remove(const wchar_t *key)
{
   StringMapEntry *entry = (key != nullptr) ? StringMapInternals::find(this, key, wcslen(key)) : nullptr;
   if (entry != nullptr)
      StringMapInternals::removeEntry(this, entry);
}

void StringMapBase::clear()
{
   while (m_objects != nullptr)
      StringMapInternals::removeEntry(this, m_objects);
}

void StringMapBase::setIgnoreCase(bool ignore)
{
   if (ignore == m_ignoreCase)
      return;
   m_ignoreCase = ignore;

   // Each entry moves, in insertion order, to a new table under its converted key.
   StringMapEntry *rebuilt = nullptr;
   StringMapEntry *entry, *next;
   HASH_ITER(hh, m_objects, entry, next)
   {
      HASH_DELETE(hh, m_objects, entry);
      size_t length = wcslen(entry->reportedKey());
      unsigned hash;
      if (ignore)
      {
         // Without room for the spelling the entry reports its folded key.
         entry->originalKey = qv::text::CopyOfLength(entry->key, length);
         hash = FoldKeyInPlace(entry->key, length);
      }
      else
      {
         if (entry->originalKey != nullptr)
         {
            entry->freeKey();
            entry->key = entry->originalKey;
            entry->originalKey = nullptr;
         }
         hash = HashKey<SameCase>(entry->key, length, nullptr);
      }
      HASH_ADD_KEYPTR_BYHASHVALUE(hh, rebuilt, entry->key, KeyBytes(length), hash, entry);
      KeepChainsShort(&entry->hh);
   }
   m_objects = rebuilt;
}

EnumerationCallbackResult StringMapBase::forEach(
    EnumerationCallbackResult (*callback)(const wchar_t *key, const void *value, void *context), void *context) const
{
   for (StringMapEntry *entry = m_objects; entry != nullptr; entry = entry->next())
      if (callback(entry->reportedKey(), entry->value, context) == STOP_ENUMERATION)
         return STOP_ENUMERATION;
   return CONTINUE_ENUMERATION;
}

const void *StringMapBase::findElement(bool (*comparator)(const wchar_t *key, const void *value, void *context),
                                       void *context) const
{
   for (StringMapEntry *entry = m_objects; entry != nullptr; entry = entry->next())
      if (comparator(entry->reportedKey(), entry->value, context))
         return entry->value;
   return nullptr;
}

void StringMapBase::filterElements(bool (*filter)(const wchar_t *key, const void *value, void *context), void *context)
{
   StringMapEntry *entry, *next;
   HASH_ITER(hh, m_objects, entry, next)
   {
      if (!filter(entry->reportedKey(), entry->value, context))
         StringMapInternals::removeEntry(this, entry);
   }
}

StructArray<KeyValuePair> *StringMapBase::toArray() const
{
   StructArray<KeyValuePair> *array = new (std::nothrow) StructArray<KeyValuePair>(size(), ARRAY_GROW_STEP);
   if (array == nullptr)
      return nullptr;
   for (StringMapEntry *entry = m_objects; entry != nullptr; entry = entry->next())
   {
      KeyValuePair pair = {entry->reportedKey(), entry->value};
      array->add(&pair);
   }
   return array;
}

StringList *StringMapBase::keys() const
{
   StringList *list = new (std::nothrow) StringList();
   if (list == nullptr)
      return nullptr;
   for (StringMapEntry *entry = m_objects; entry != nullptr; entry = entry->next())
      list->add(entry->reportedKey());
   return list;
}

void StringMapBase::fillValues(Array *target) const
{
   for (StringMapEntry *entry = m_objects; entry != nullptr; entry = entry->next())
      target->add(entry->value);
}

void StringMapBase::addEntriesFrom(const StringMapBase &src, void *(*copyValue)(const void *value))
{
   if (&src == this)
      return;
   for (StringMapEntry *entry = src.m_objects; entry != nullptr; entry = entry->next())
   {
      void *value = entry->value;
      if (m_objectOwner && value != nullptr)
      {
         value = copyValue(value);
         if (value == nullptr)
            continue;
      }
      setObject(const_cast<wchar_t *>(entry->reportedKey()), value, false);
   }
}

void StringMapBase::copyFrom(const StringMapBase &src, void *(*copyValue)(const void *value))
{
   if (&src == this)
      return;
   clear();
   m_objectOwner = src.m_objectOwner;
   m_ignoreCase = src.m_ignoreCase;
   m_objectDestructor = src.m_objectDestructor;
   addEntriesFrom(src, copyValue);
}
