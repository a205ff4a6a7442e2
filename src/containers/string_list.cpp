/* StringList: an ordered list of wide strings whose strings and slot array all live in
 * one memory pool; and String::split, which builds one. */
#include <qv_containers.h>

#include "containers/string_list_internals.h"
#include "containers/json_text.h"
#include "containers/slot_growth.h"
#include "containers/split_text.h"

#include <jansson.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

namespace {

constexpr size_t SLOT_BYTES = sizeof(wchar_t *);

/* Local room for formatted numbers: every integer and most doubles fit; a longer "%f"
 * text is formatted again straight into a pool block of its size. */
constexpr size_t FORMAT_BUFFER = 64;

/* Entry text of a string without a buffer, split by an empty separator. */
constexpr const wchar_t *NULL_STRING_TEXT = L"(null)";

inline size_t TextBytes(size_t characters)
{
   return (characters + 1) * sizeof(wchar_t);
}

/* -1, 0 or 1 as a compares below, equal to or above b by unsigned code values; a prefix
 * comes first. */
int CompareCodeValues(const wchar_t *a, const wchar_t *b)
{
   while (*a == *b && *a != 0)
   {
      a++;
      b++;
   }
   uint32_t ca = static_cast<uint32_t>(*a);
   uint32_t cb = static_cast<uint32_t>(*b);
   return (ca > cb) - (ca < cb);
}

/* qsort comparison of two slots; a null entry compares below every string. */
template <bool MATCH_CASE, bool ASCENDING> int CompareSlots(const void *p1, const void *p2)
{
   const wchar_t *a = *static_cast<const wchar_t *const *>(p1);
   const wchar_t *b = *static_cast<const wchar_t *const *>(p2);
   int result;
   if (a == nullptr || b == nullptr)
   {
      result = (a != nullptr) - (b != nullptr);
   }
   else
   {
      result = MATCH_CASE ? CompareCodeValues(a, b) : qv_wcsicmp(a, b);
      result = (result > 0) - (result < 0);
   }
   return ASCENDING ? result : -result;
}

/* Lowest index of a non-null entry that compare finds equal to text, or -1; -1 for a
 * null text. */
int32_t FindEntry(wchar_t *const *values, int32_t count, const wchar_t *text,
                  int (*compare)(const wchar_t *, const wchar_t *))
{
   if (text == nullptr)
      return -1;
   for (int32_t i = 0; i < count; i++)
      if (values[i] != nullptr && compare(values[i], text) == 0)
         return i;
   return -1;
}

}  // namespace

using qv::containers::StringListInternals;

StringList::StringList() : m_count(0), m_allocated(0), m_values(nullptr)
{
   StringListInternals::initSlots(this, INITIAL_SLOTS);
}

StringList::StringList(const StringList *src) : m_count(0), m_allocated(0), m_values(nullptr)
{
   StringListInternals::initSlots(this, (src != nullptr) ? src->m_allocated : INITIAL_SLOTS);
   addAll(src);
}

StringList::StringList(const StringList &src) : StringList(&src) {}

StringList::StringList(const wchar_t *text, const wchar_t *separator) : StringList()
{
   splitAndAdd(text, separator);
}

/* Takes a fresh slot array of the given size from the pool (none for 0). */
void StringListInternals::initSlots(StringList *list, int32_t slots)
{
   list->m_values =
       (slots > 0) ? static_cast<wchar_t **>(list->m_pool.allocate(static_cast<size_t>(slots) * SLOT_BYTES)) : nullptr;
   list->m_allocated = (list->m_values != nullptr) ? slots : 0;
}

/* Makes room for one more entry by the growth rule; the new array is taken from the pool.
 * False when the count is at its limit or the pool is exhausted. */
bool StringListInternals::reserveSlot(StringList *list)
{
   if (list->m_count < list->m_allocated)
      return true;
   if (list->m_count == INT32_MAX)
      return false;
   int32_t slots = qv::containers::GrownSlotCount(list->m_allocated);
   wchar_t **values = static_cast<wchar_t **>(list->m_pool.allocate(static_cast<size_t>(slots) * SLOT_BYTES));
   if (values == nullptr)
      return false;
   if (list->m_count > 0)
      memcpy(values, list->m_values, static_cast<size_t>(list->m_count) * SLOT_BYTES);
   list->m_values = values;  // the old array stays behind in the pool
   list->m_allocated = slots;
   return true;
}

/* Appends a pool copy of count characters of text, terminated. */
void StringListInternals::addChars(StringList *list, const wchar_t *text, size_t count)
{
   if (count >= SIZE_MAX / sizeof(wchar_t) || !reserveSlot(list))
      return;
   wchar_t *copy = static_cast<wchar_t *>(list->m_pool.allocate(TextBytes(count)));
   if (copy == nullptr)
      return;
   memcpy(copy, text, count * sizeof(wchar_t));
   copy[count] = 0;
   list->m_values[list->m_count++] = copy;
}

void StringList::add(const wchar_t *text)
{
   if (text != nullptr)
   {
      StringListInternals::addChars(this, text, wcslen(text));
   }
   else if (StringListInternals::reserveSlot(this))
   {
      m_values[m_count++] = nullptr;
   }
}

void StringList::addPreallocated(wchar_t *text)
{
   add(text);
   free(text);
}

void StringList::addMBString(const char *text)
{
   if (text == nullptr)
   {
      add(static_cast<const wchar_t *>(nullptr));
      return;
   }
   // Every character takes at least one byte, so strlen + 1 characters hold the result.
   size_t length = strlen(text);
   if (length >= static_cast<size_t>(INT_MAX) || !StringListInternals::reserveSlot(this))
      return;
   wchar_t *copy = static_cast<wchar_t *>(m_pool.allocate(TextBytes(length)));
   if (copy == nullptr)
      return;
   copy[0] = 0;
   int converted = mb_to_wchar(text, -1, copy, static_cast<int>(length + 1));
   copy[std::min(static_cast<size_t>(std::max(converted, 0)), length)] = 0;
   m_values[m_count++] = copy;
}

void StringListInternals::addFormatted(StringList *list, const wchar_t *format, ...)
{
   wchar_t buffer[FORMAT_BUFFER];
   va_list args;
   va_start(args, format);
   va_list again;
   va_copy(again, args);
   int length = qv_vsnwprintf(buffer, FORMAT_BUFFER, format, args);
   va_end(args);
   if (length >= 0 && static_cast<size_t>(length) < FORMAT_BUFFER)
   {
      addChars(list, buffer, static_cast<size_t>(length));
   }
   else if (length >= 0 && reserveSlot(list))
   {
      size_t size = static_cast<size_t>(length) + 1;
      wchar_t *text = static_cast<wchar_t *>(list->m_pool.allocate(size * sizeof(wchar_t)));
      if (text != nullptr && qv_vsnwprintf(text, size, format, again) == length)
         list->m_values[list->m_count++] = text;
   }
   va_end(again);
}

void StringList::add(int32_t value)
{
   StringListInternals::addFormatted(this, L"%d", value);
}

void StringList::add(uint32_t value)
{
   StringListInternals::addFormatted(this, L"%u", value);
}

void StringList::add(int64_t value)
{
   StringListInternals::addFormatted(this, L"%I64d", value);
}

void StringList::add(uint64_t value)
{
   StringListInternals::addFormatted(this, L"%I64u", value);
}

void StringList::add(double value)
{
   StringListInternals::addFormatted(this, L"%f", value);
}

void StringList::addAll(const StringList *other)
{
   if (other == nullptr)
      return;
   // The count is taken first, so a list added to itself is doubled once.
   int32_t count = other->m_count;
   for (int32_t i = 0; i < count; i++)
      add(other->m_values[i]);
}

void StringList::merge(const StringList *other, bool matchCase)
{
   if (other == nullptr)
      return;
   int32_t count = other->m_count;
   for (int32_t i = 0; i < count; i++)
   {
      const wchar_t *text = other->m_values[i];
      if (text != nullptr && (matchCase ? indexOf(text) : indexOfIgnoreCase(text)) == -1)
         add(text);
   }
}

void StringList::splitAndAdd(const wchar_t *text, const wchar_t *separator)
{
   qv::containers::SplitText(
       text, separator,
       [this](const wchar_t *piece, size_t length) { StringListInternals::addChars(this, piece, length); },
       [this](const wchar_t *rest) { add(rest); });
}

void StringList::replace(int32_t index, const wchar_t *text)
{
   if (index < 0 || index >= m_count)
      return;
   if (text == nullptr)
   {
      m_values[index] = nullptr;
      return;
   }
   wchar_t *copy = m_pool.copyString(text);
   if (copy != nullptr)
      m_values[index] = copy;
}

void StringList::addOrReplace(int32_t index, const wchar_t *text)
{
   // The entry must be able to stand at index: count index + 1 has to fit.
   if (index < 0 || index == INT32_MAX)
      return;
   if (index < m_count)
   {
      replace(index, text);
      return;
   }
   while (m_count < index)
   {
      if (!StringListInternals::reserveSlot(this))
         return;
      m_values[m_count++] = nullptr;
   }
   add(text);
}

void StringList::addOrReplacePreallocated(int32_t index, wchar_t *text)
{
   addOrReplace(index, text);
   free(text);
}

void StringList::remove(int32_t index)
{
   if (index < 0 || index >= m_count)
      return;
   memmove(m_values + index, m_values + index + 1, static_cast<size_t>(m_count - index - 1) * SLOT_BYTES);
   m_count--;
}

void StringList::clear()
{
   m_pool.clear();
   m_count = 0;
   StringListInternals::initSlots(this, INITIAL_SLOTS);
}

int32_t StringList::indexOf(const wchar_t *text) const
{
   return FindEntry(m_values, m_count, text, wcscmp);
}

int32_t StringList::indexOfIgnoreCase(const wchar_t *text) const
{
   return FindEntry(m_values, m_count, text, qv_wcsicmp);
}

wchar_t *StringList::join(const wchar_t *separator) const
{
   size_t separatorLength = (separator != nullptr) ? wcslen(separator) : 0;
   size_t total = 0;
   for (int32_t i = 0; i < m_count; i++)
      if (m_values[i] != nullptr)
         total += wcslen(m_values[i]);
   if (m_count > 1)
      total += separatorLength * static_cast<size_t>(m_count - 1);

   wchar_t *result = static_cast<wchar_t *>(malloc(TextBytes(total)));
   if (result == nullptr)
      return nullptr;
   wchar_t *p = result;
   for (int32_t i = 0; i < m_count; i++)
   {
      if (i > 0)
      {
         wmemcpy(p, separator, separatorLength);
         p += separatorLength;
      }
      if (m_values[i] != nullptr)
      {
         size_t length = wcslen(m_values[i]);
         wmemcpy(p, m_values[i], length);
         p += length;
      }
   }
   *p = 0;
   return result;
}

void StringList::sort(bool ascending, bool matchCase)
{
   if (m_count < 2)
      return;
   int (*compare)(const void *, const void *);
   if (matchCase)
      compare = ascending ? CompareSlots<true, true> : CompareSlots<true, false>;
   else
      compare = ascending ? CompareSlots<false, true> : CompareSlots<false, false>;
   qsort(m_values, static_cast<size_t>(m_count), SLOT_BYTES, compare);
}

json_t *StringList::toJson() const
{
   json_t *array = json_array();
   if (array == nullptr)
      return nullptr;
   for (int32_t i = 0; i < m_count; i++)
   {
      json_t *value = qv::containers::StringFromWide((m_values[i] != nullptr) ? m_values[i] : L"");
      // json_array_append_new releases the value itself when it fails.
      if (value == nullptr || json_array_append_new(array, value) != 0)
      {
         json_decref(array);
         return nullptr;
      }
   }
   return array;
}

StringList *String::split(const wchar_t *separator) const
{
   StringList *list = new (std::nothrow) StringList();
   if (list == nullptr)
      return nullptr;
   // Pieces are copied with their lengths, so the string is never written to.
   if (separator == nullptr || *separator == 0)
      list->add((m_buffer != nullptr) ? m_buffer : NULL_STRING_TEXT);
   else
      list->splitAndAdd((m_buffer != nullptr) ? m_buffer : L"", separator);
   return list;
}
