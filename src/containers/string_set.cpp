/* StringSet and StringSetIterator: wide strings with exact membership on a uthash table,
 * in insertion order. The message form is in the protocol layer. */
#include "text/text_chars.h"
#include "containers/split_text.h"
#include "containers/string_map_entry.h"
#include "text/text_chars.h"

#include <stdlib.h>
#include <string.h>

using qv::containers::HashKey;
using qv::containers::KeyBytes;
using qv::containers::MAX_KEY_LENGTH;
using qv::containers::SameCase;

struct StringSetEntry
{
   UT_hash_handle hh;
   wchar_t *text;  // the member; its characters without terminator are the hash key

   StringSetEntry *next() const { return static_cast<StringSetEntry *>(hh.next); }
};

namespace {

/* Allocation step of the text join() builds, in characters. */
constexpr size_t JOIN_ALLOCATION_STEP = 4096;

}  // namespace

StringSet::StringSet() : m_data(nullptr) {}

StringSet::~StringSet()
{
   clear();
}

/* The member equal to the length characters of text, or null. With hash not null the
 * text's hash is put there, so that an insertion need not hash again. */
StringSetEntry *StringSet::find(const wchar_t *text, size_t length, unsigned *hash) const
{
   unsigned hashv = HashKey<SameCase>(text, length, nullptr);
   if (hash != nullptr)
      *hash = hashv;
   StringSetEntry *entry = nullptr;
   if (m_data != nullptr)
      HASH_FIND_BYHASHVALUE(hh, m_data, text, KeyBytes(length), hashv, entry);
   return entry;
}

void StringSet::removeEntry(StringSetEntry *entry)
{
   HASH_DEL(m_data, entry);
   free(entry->text);
   free(entry);
}

void StringSet::addTaken(wchar_t *text)
{
   size_t length = wcslen(text);
   unsigned hash;
   if (length > MAX_KEY_LENGTH || find(text, length, &hash) != nullptr)
   {
      free(text);
      return;
   }
   StringSetEntry *entry = static_cast<StringSetEntry *>(calloc(1, sizeof(StringSetEntry)));
   if (entry == nullptr)
   {
      free(text);
      return;
   }
   entry->text = text;
   HASH_ADD_KEYPTR_BYHASHVALUE(hh, m_data, entry->text, KeyBytes(length), hash, entry);
}

void StringSet::add(const wchar_t *text)
{
   if (text == nullptr)
      return;
   size_t length = wcslen(text);
   unsigned hash;
   if (length > MAX_KEY_LENGTH || find(text, length, &hash) != nullptr)
      return;
   StringSetEntry *entry = static_cast<StringSetEntry *>(calloc(1, sizeof(StringSetEntry)));
   wchar_t *copy = (entry != nullptr) ? qv::text::CopyOfLength(text, length) : nullptr;
   if (copy == nullptr)
   {
      free(entry);
      return;
   }
   entry->text = copy;
   HASH_ADD_KEYPTR_BYHASHVALUE(hh, m_data, entry->text, KeyBytes(length), hash, entry);
}

void StringSet::addPreallocated(wchar_t *text)
{
   if (text != nullptr)
      addTaken(text);
}

void StringSet::remove(const wchar_t *text)
{
   if (text == nullptr || m_data == nullptr)
      return;
   size_t length = wcslen(text);
   StringSetEntry *entry = (length <= MAX_KEY_LENGTH) ? find(text, length, nullptr) : nullptr;
   if (entry != nullptr)
      removeEntry(entry);
}

void StringSet::clear()
{
   while (m_data != nullptr)
      removeEntry(m_data);
}

bool StringSet::contains(const wchar_t *text) const
{
   if (text == nullptr || m_data == nullptr)
      return false;
   size_t length = wcslen(text);
   return length <= MAX_KEY_LENGTH && find(text, length, nullptr) != nullptr;
}

int StringSet::size() const
{
   return static_cast<int>(HASH_COUNT(m_data));
}

bool StringSet::equals(const StringSet *other) const
{
   if (other == nullptr || size() != other->size())
      return false;
   for (const StringSetEntry *entry = m_data; entry != nullptr; entry = entry->next())
      if (!other->contains(entry->text))
         return false;
   return true;
}

void StringSet::forEach(bool (*callback)(const wchar_t *member, void *context), void *context) const
{
   for (const StringSetEntry *entry = m_data; entry != nullptr; entry = entry->next())
      if (!callback(entry->text, context))
         return;
}

void StringSet::splitAndAdd(const wchar_t *text, const wchar_t *separator)
{
   qv::containers::SplitText(
       text, separator,
       [this](const wchar_t *piece, size_t length) {
          wchar_t *copy = qv::text::CopyOfLength(piece, length);
          if (copy != nullptr)
             addTaken(copy);
       },
       [this](const wchar_t *rest) { add(rest); });
}

void StringSet::addAll(const StringSet *other)
{
   if (other == nullptr || other == this)
      return;
   for (const StringSetEntry *entry = other->m_data; entry != nullptr; entry = entry->next())
      add(entry->text);
}

void StringSet::addAll(wchar_t **texts, int count)
{
   for (int i = 0; i < count; i++)
      add(texts[i]);
}

void StringSet::addAllPreallocated(wchar_t **texts, int count)
{
   for (int i = 0; i < count; i++)
      addPreallocated(texts[i]);
}

String StringSet::join(const wchar_t *separator) const
{
   String result;
   result.setAllocationStep(JOIN_ALLOCATION_STEP);
   for (const StringSetEntry *entry = m_data; entry != nullptr; entry = entry->next())
   {
      if (separator != nullptr && !result.isEmpty())
         result.append(separator);
      result.append(entry->text);
   }
   return result;
}

Iterator<const wchar_t> *StringSet::iterator()
{
   return new Iterator<const wchar_t>(new StringSetIterator(this));
}

StringSetIterator::StringSetIterator(StringSet *set) : m_set(set), m_curr(nullptr), m_next(nullptr), m_started(false) {}

StringSetIterator::~StringSetIterator() {}

bool StringSetIterator::hasNext()
{
   return (m_set->m_data != nullptr) && (!m_started || m_next != nullptr);
}

void *StringSetIterator::next()
{
   if (m_set->m_data == nullptr)
      return nullptr;
   if (!m_started)
   {
      m_curr = m_set->m_data;
      m_started = true;
   }
   else if (m_next == nullptr)
   {
      return nullptr;
   }
   else
   {
      m_curr = m_next;
   }
   m_next = m_curr->next();
   return m_curr->text;
}

void StringSetIterator::remove()
{
   // Once per next(): the current entry is forgotten with its removal.
   if (m_curr == nullptr)
      return;
   m_set->removeEntry(m_curr);
   m_curr = nullptr;
}
