/* ConfigEntry: the nodes of a configuration tree, their children, values and attributes. */
#include "config/config_internal.h"
#include "text/parse_number.h"
#include "text/text_chars.h"

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

using qv::config::ChildIndex;
using qv::config::FoldName;
using qv::config::NameHash;
using qv::config::NamesEqual;
using qv::text::CopyOfLength;

namespace qv {
namespace config {

void ChildIndex::insert(ConfigEntry *child)
{
   constexpr size_t INITIAL_SLOTS = 32;
   if ((used + 1) * 2 > slots.size())
   {
      std::vector<Slot> old;
      old.swap(slots);
      slots.assign(old.empty() ? INITIAL_SLOTS : old.size() * 2, Slot{nullptr, 0});
      used = 0;
      for (const Slot &s : old)
      {
         if (s.entry != nullptr)
            insert(s.entry);
      }
   }
   size_t mask = slots.size() - 1;
   for (size_t i = child->m_nameHash & mask;; i = (i + 1) & mask)
   {
      Slot &s = slots[i];
      if (s.entry == nullptr)
      {
         s.entry = child;
         s.hash = child->m_nameHash;
         used++;
         return;
      }
      if (s.hash == child->m_nameHash && s.entry->m_nameLength == child->m_nameLength &&
          NamesEqual(s.entry->m_name, child->m_name, child->m_nameLength))
         return;
   }
}

ConfigEntry *ChildIndex::find(const wchar_t *name, size_t length, uint32_t hash) const
{
   size_t mask = slots.size() - 1;
   for (size_t i = hash & mask;; i = (i + 1) & mask)
   {
      const Slot &s = slots[i];
      if (s.entry == nullptr)
         return nullptr;
      if (s.hash == hash && s.entry->m_nameLength == length && NamesEqual(s.entry->m_name, name, length))
         return s.entry;
   }
}

void ChildIndex::rebuild(const ConfigEntry *parent)
{
   slots.clear();
   used = 0;
   for (ConfigEntry *c = parent->m_first; c != nullptr; c = c->m_next)
      insert(c);
}

}  // namespace config
}  // namespace qv

namespace {

/* File names are shared between an entry and the children that came from the same file:
 * a count in front of the text. */
struct SharedTextHeader
{
   std::atomic<int32_t> refs;
   int32_t reserved;  // keeps the text 8-byte aligned
};

wchar_t *NewSharedText(const wchar_t *text)
{
   size_t length = wcslen(text);
   void *block = malloc(sizeof(SharedTextHeader) + (length + 1) * sizeof(wchar_t));
   if (block == nullptr)
      return nullptr;
   SharedTextHeader *header = new (block) SharedTextHeader();
   header->refs.store(1, std::memory_order_relaxed);
   wchar_t *copy = reinterpret_cast<wchar_t *>(header + 1);
   memcpy(copy, text, (length + 1) * sizeof(wchar_t));
   return copy;
}

SharedTextHeader *HeaderOf(wchar_t *text)
{
   return reinterpret_cast<SharedTextHeader *>(text) - 1;
}

wchar_t *ShareText(wchar_t *text)
{
   HeaderOf(text)->refs.fetch_add(1, std::memory_order_relaxed);
   return text;
}

void ReleaseText(wchar_t *text)
{
   if (text == nullptr)
      return;
   SharedTextHeader *header = HeaderOf(text);
   if (header->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)
   {
      header->~SharedTextHeader();
      free(header);
   }
}

/* Values start with room for this many and double. */
constexpr int32_t INITIAL_VALUE_SLOTS = 2;

/* Grow step of the arrays of sub-entries. */
constexpr int SUB_ENTRY_ARRAY_STEP = 16;

const wchar_t *OrNull(const wchar_t *text)
{
   return (text != nullptr) ? text : qv::config::NULL_TEXT;
}

bool IsTrueText(const wchar_t *text)
{
   if (!qv_wcsicmp(text, L"yes") || !qv_wcsicmp(text, L"true") || !qv_wcsicmp(text, L"on"))
      return true;
   return qv::text::ParseInt64(text) != 0;
}

int CompareIds(const void *a, const void *b)
{
   int32_t ia = (*static_cast<ConfigEntry *const *>(a))->getId();
   int32_t ib = (*static_cast<ConfigEntry *const *>(b))->getId();
   return (ia < ib) ? -1 : (ia > ib) ? 1 : 0;
}

}  // namespace

ConfigEntry::ConfigEntry(const wchar_t *name, ConfigEntry *parent, Config *owner, const wchar_t *file, int32_t line,
                         int32_t id)
    : m_name(nullptr), m_parent(parent), m_next(nullptr), m_first(nullptr), m_last(nullptr), m_valueCount(0),
      m_values(nullptr), m_file(nullptr), m_line(line), m_id(id), m_owner(owner), m_nameLength(0), m_nameHash(0),
      m_childCount(0), m_valueCapacity(0), m_childIndex(nullptr), m_singleValue(nullptr)
{
   const wchar_t *n = OrNull(name);
   init(n, wcslen(n), parent, file);
}

ConfigEntry::ConfigEntry(const wchar_t *name, size_t length, ConfigEntry *parent, Config *owner, const wchar_t *file,
                         int32_t line, int32_t id)
    : m_name(nullptr), m_parent(parent), m_next(nullptr), m_first(nullptr), m_last(nullptr), m_valueCount(0),
      m_values(nullptr), m_file(nullptr), m_line(line), m_id(id), m_owner(owner), m_nameLength(0), m_nameHash(0),
      m_childCount(0), m_valueCapacity(0), m_childIndex(nullptr), m_singleValue(nullptr)
{
   init(name, length, parent, file);
}

void ConfigEntry::init(const wchar_t *name, size_t length, ConfigEntry *parent, const wchar_t *file)
{
   storeName(name, length);
   const wchar_t *f = OrNull(file);
   if (parent != nullptr && parent->m_file != nullptr && !wcscmp(parent->m_file, f))
      m_file = ShareText(parent->m_file);
   else
      m_file = NewSharedText(f);
   if (parent != nullptr)
      parent->appendChild(this);
}

ConfigEntry::~ConfigEntry()
{
   ConfigEntry *c = m_first;
   while (c != nullptr)
   {
      ConfigEntry *next = c->m_next;
      delete c;
      c = next;
   }
   clearValues();
   if (m_values != &m_singleValue)
      free(m_values);
   free(m_name);
   ReleaseText(m_file);
   delete m_childIndex;
}

void ConfigEntry::storeName(const wchar_t *name, size_t length)
{
   wchar_t *copy = CopyOfLength(name, length);
   if (copy == nullptr)
      return;
   free(m_name);
   m_name = copy;
   m_nameLength = length;
   m_nameHash = NameHash(name, length);
}

void ConfigEntry::setName(const wchar_t *name)
{
   const wchar_t *n = OrNull(name);
   storeName(n, wcslen(n));
   if (m_parent != nullptr && m_parent->m_childIndex != nullptr)
      m_parent->m_childIndex->rebuild(m_parent);
}

void ConfigEntry::appendChild(ConfigEntry *child)
{
   child->m_parent = this;
   child->m_next = nullptr;
   if (m_last != nullptr)
      m_last->m_next = child;
   else
      m_first = child;
   m_last = child;
   m_childCount++;
   if (m_childIndex != nullptr)
      m_childIndex->insert(child);
   else if (m_childCount > qv::config::CHILD_INDEX_THRESHOLD)
      buildIndex();
}

void ConfigEntry::buildIndex()
{
   ChildIndex *index = new (std::nothrow) ChildIndex();
   if (index == nullptr)
      return;
   index->rebuild(this);
   m_childIndex = index;
}

ConfigEntry *ConfigEntry::findChild(const wchar_t *name, size_t length) const
{
   if (m_childIndex != nullptr)
      return m_childIndex->find(name, length, NameHash(name, length));
   for (ConfigEntry *c = m_first; c != nullptr; c = c->m_next)
   {
      if (c->m_nameLength == length && NamesEqual(c->m_name, name, length))
         return c;
   }
   return nullptr;
}

ConfigEntry *ConfigEntry::findOrCreateChild(const wchar_t *name, size_t length, const wchar_t *file, int32_t line)
{
   if (m_owner != nullptr)
      m_owner->resolveName(&name, &length);
   ConfigEntry *child = findChild(name, length);
   if (child == nullptr)
      child = new ConfigEntry(name, length, this, m_owner, file, line, 0);
   return child;
}

ConfigEntry *ConfigEntry::findEntry(const wchar_t *name) const
{
   if (name == nullptr)
      return nullptr;
   size_t length = wcslen(name);
   if (m_owner != nullptr)
      m_owner->resolveName(&name, &length);
   return findChild(name, length);
}

ConfigEntry *ConfigEntry::createEntry(const wchar_t *name)
{
   if (name == nullptr)
      return nullptr;
   return findOrCreateChild(name, wcslen(name), qv::config::MEMORY_FILE, 0);
}

void ConfigEntry::unlinkEntry(ConfigEntry *child)
{
   ConfigEntry *prev = nullptr;
   ConfigEntry *c = m_first;
   while (c != nullptr && c != child)
   {
      prev = c;
      c = c->m_next;
   }
   if (c == nullptr)
      return;
   if (prev != nullptr)
      prev->m_next = c->m_next;
   else
      m_first = c->m_next;
   if (m_last == c)
      m_last = prev;
   m_childCount--;
   c->m_next = nullptr;
   c->m_parent = nullptr;
   if (m_childIndex != nullptr)
      m_childIndex->rebuild(this);
}

void ConfigEntry::setOwnerInTree(Config *owner)
{
   m_owner = owner;
   for (ConfigEntry *c = m_first; c != nullptr; c = c->m_next)
      c->setOwnerInTree(owner);
}

ObjectArray<ConfigEntry> *ConfigEntry::getSubEntries(const wchar_t *mask) const
{
   ObjectArray<ConfigEntry> *list =
       new (std::nothrow) ObjectArray<ConfigEntry>(SUB_ENTRY_ARRAY_STEP, SUB_ENTRY_ARRAY_STEP, false);
   if (list == nullptr)
      return nullptr;
   for (ConfigEntry *c = m_first; c != nullptr; c = c->m_next)
   {
      if (mask == nullptr || MatchStringW(mask, c->m_name, false))
         list->add(c);
   }
   return list;
}

ObjectArray<ConfigEntry> *ConfigEntry::getOrderedSubEntries(const wchar_t *mask) const
{
   ObjectArray<ConfigEntry> *list = getSubEntries(mask);
   if (list != nullptr)
      list->sort(CompareIds);
   return list;
}

/* ---- Values ---- */

const wchar_t *ConfigEntry::getValue(int32_t index) const
{
   return (index >= 0 && index < m_valueCount) ? m_values[index] : nullptr;
}

int32_t ConfigEntry::getValueAsInt(int32_t index, int32_t defaultValue) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? qv::text::ParseInt32(v) : defaultValue;
}

uint32_t ConfigEntry::getValueAsUInt(int32_t index, uint32_t defaultValue) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? qv::text::ParseUInt32(v) : defaultValue;
}

int64_t ConfigEntry::getValueAsInt64(int32_t index, int64_t defaultValue) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? qv::text::ParseInt64(v) : defaultValue;
}

uint64_t ConfigEntry::getValueAsUInt64(int32_t index, uint64_t defaultValue) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? qv::text::ParseUInt64(v) : defaultValue;
}

bool ConfigEntry::getValueAsBoolean(int32_t index, bool defaultValue) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? IsTrueText(v) : defaultValue;
}

uuid ConfigEntry::getValueAsUUID(int32_t index) const
{
   const wchar_t *v = getValue(index);
   return (v != nullptr) ? uuid::parse(v) : uuid::NULL_UUID;
}

bool ConfigEntry::reserveValues(int32_t count)
{
   if (count <= m_valueCapacity)
      return true;
   // Most entries hold one value: it lives in the entry until a second one comes.
   if (m_valueCapacity == 0 && count == 1)
   {
      m_values = &m_singleValue;
      m_valueCapacity = 1;
      return true;
   }
   int32_t capacity = (m_valueCapacity > 1) ? m_valueCapacity : INITIAL_VALUE_SLOTS;
   while (capacity < count)
   {
      if (capacity > INT32_MAX / 2)
         return false;
      capacity *= 2;
   }
   wchar_t **values;
   if (m_values == &m_singleValue)
   {
      values = static_cast<wchar_t **>(malloc(static_cast<size_t>(capacity) * sizeof(wchar_t *)));
      if (values != nullptr)
         values[0] = m_singleValue;
   }
   else
   {
      values = static_cast<wchar_t **>(realloc(m_values, static_cast<size_t>(capacity) * sizeof(wchar_t *)));
   }
   if (values == nullptr)
      return false;
   m_values = values;
   m_valueCapacity = capacity;
   return true;
}

void ConfigEntry::exchangeValues(ConfigEntry *other)
{
   std::vector<wchar_t *> mine(m_values, m_values + m_valueCount);
   std::vector<wchar_t *> theirs(other->m_values, other->m_values + other->m_valueCount);
   m_valueCount = 0;
   other->m_valueCount = 0;
   for (wchar_t *v : theirs)
      addValuePreallocated(v);
   for (wchar_t *v : mine)
      other->addValuePreallocated(v);
}

void ConfigEntry::clearValues()
{
   for (int32_t i = 0; i < m_valueCount; i++)
      free(m_values[i]);
   m_valueCount = 0;
}

void ConfigEntry::setValue(const wchar_t *text)
{
   clearValues();
   addValue((text != nullptr) ? text : L"");
}

void ConfigEntry::addValue(const wchar_t *text)
{
   if (text != nullptr)
      addValuePreallocated(qv_wcsdup(text));
}

void ConfigEntry::addValuePreallocated(wchar_t *text)
{
   if (text == nullptr)
      return;
   if (m_valueCount == INT32_MAX || !reserveValues(m_valueCount + 1))
   {
      free(text);
      return;
   }
   m_values[m_valueCount++] = text;
}

int32_t ConfigEntry::getConcatenatedValuesLength() const
{
   size_t length = 0;
   for (int32_t i = 0; i < m_valueCount; i++)
      length += wcslen(m_values[i]) + 1;
   return (length > INT32_MAX) ? INT32_MAX : static_cast<int32_t>(length);
}

const wchar_t *ConfigEntry::getSubEntryValue(const wchar_t *name, int32_t index, const wchar_t *defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   const wchar_t *v = (e != nullptr) ? e->getValue(index) : nullptr;
   return (v != nullptr) ? v : defaultValue;
}

int32_t ConfigEntry::getSubEntryValueAsInt(const wchar_t *name, int32_t index, int32_t defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsInt(index, defaultValue) : defaultValue;
}

uint32_t ConfigEntry::getSubEntryValueAsUInt(const wchar_t *name, int32_t index, uint32_t defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsUInt(index, defaultValue) : defaultValue;
}

int64_t ConfigEntry::getSubEntryValueAsInt64(const wchar_t *name, int32_t index, int64_t defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsInt64(index, defaultValue) : defaultValue;
}

uint64_t ConfigEntry::getSubEntryValueAsUInt64(const wchar_t *name, int32_t index, uint64_t defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsUInt64(index, defaultValue) : defaultValue;
}

bool ConfigEntry::getSubEntryValueAsBoolean(const wchar_t *name, int32_t index, bool defaultValue) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsBoolean(index, defaultValue) : defaultValue;
}

uuid ConfigEntry::getSubEntryValueAsUUID(const wchar_t *name, int32_t index) const
{
   ConfigEntry *e = findEntry(name);
   return (e != nullptr) ? e->getValueAsUUID(index) : uuid::NULL_UUID;
}

/* ---- Attributes ---- */

const wchar_t *ConfigEntry::getAttribute(const wchar_t *name) const
{
   return m_attributes.get(name);
}

int32_t ConfigEntry::getAttributeAsInt(const wchar_t *name, int32_t defaultValue) const
{
   const wchar_t *v = getAttribute(name);
   return (v != nullptr) ? qv::text::ParseInt32(v) : defaultValue;
}

uint32_t ConfigEntry::getAttributeAsUInt(const wchar_t *name, uint32_t defaultValue) const
{
   const wchar_t *v = getAttribute(name);
   return (v != nullptr) ? qv::text::ParseUInt32(v) : defaultValue;
}

int64_t ConfigEntry::getAttributeAsInt64(const wchar_t *name, int64_t defaultValue) const
{
   const wchar_t *v = getAttribute(name);
   return (v != nullptr) ? qv::text::ParseInt64(v) : defaultValue;
}

uint64_t ConfigEntry::getAttributeAsUInt64(const wchar_t *name, uint64_t defaultValue) const
{
   const wchar_t *v = getAttribute(name);
   return (v != nullptr) ? qv::text::ParseUInt64(v) : defaultValue;
}

bool ConfigEntry::getAttributeAsBoolean(const wchar_t *name, bool defaultValue) const
{
   const wchar_t *v = getAttribute(name);
   return (v != nullptr) ? IsTrueText(v) : defaultValue;
}

void ConfigEntry::setAttribute(const wchar_t *name, const wchar_t *value)
{
   if (name != nullptr)
      m_attributes.set(name, value);
}

void ConfigEntry::setAttribute(const wchar_t *name, int32_t value)
{
   if (name != nullptr)
      m_attributes.set(name, value);
}

void ConfigEntry::setAttribute(const wchar_t *name, uint32_t value)
{
   if (name != nullptr)
      m_attributes.set(name, value);
}

void ConfigEntry::setAttribute(const wchar_t *name, int64_t value)
{
   if (name != nullptr)
      m_attributes.set(name, value);
}

void ConfigEntry::setAttribute(const wchar_t *name, uint64_t value)
{
   if (name != nullptr)
      m_attributes.set(name, value);
}

void ConfigEntry::setAttribute(const wchar_t *name, bool value)
{
   if (name != nullptr)
      m_attributes.set(name, value ? L"true" : L"false");
}

void ConfigEntry::setAttributePreallocated(wchar_t *name, wchar_t *value)
{
   if (name == nullptr)
   {
      free(value);
      return;
   }
   m_attributes.setPreallocated(name, value);
}
