/* StringMap: a string map of owned wide strings with typed setters, parsing getters and a
 * JSON form. */
#include <qv_containers.h>

#include "containers/json_text.h"
#include "text/parse_number.h"

#include <jansson.h>

#include <stdlib.h>

namespace {

/* Room for the decimal text of a 32-bit and of a 64-bit number. */
constexpr size_t INT32_TEXT_BUFFER = 32;
constexpr size_t INT64_TEXT_BUFFER = 64;

/* Sets the number's text, formatted in a buffer of SIZE characters. */
template <size_t SIZE, typename T> void SetNumber(StringMap *map, const wchar_t *key, const wchar_t *format, T value)
{
   wchar_t text[SIZE];
   qv_snwprintf(text, SIZE, format, value);
   map->set(key, text);
}

/* The parsed value, or defaultValue for a missing (null) value. */
template <typename T> T Parsed(const wchar_t *value, T defaultValue, T (*parse)(const wchar_t *))
{
   return (value != nullptr) ? parse(value) : defaultValue;
}

/* Value copies of a string map: heap copies of the texts. */
void *CopyText(const void *value)
{
   return qv_wcsdup(static_cast<const wchar_t *>(value));
}

/* A JSON string of text, JSON null for a null text; null when out of memory. */
json_t *JsonText(const wchar_t *text)
{
   return (text != nullptr) ? qv::containers::StringFromWide(text) : json_null();
}

/* Appends the pair [key, value] to the JSON array in context; stops when out of memory
 * (the array is then released and context cleared). */
EnumerationCallbackResult AppendJsonPair(const wchar_t *key, const void *value, void *context)
{
   json_t **array = static_cast<json_t **>(context);
   json_t *pair = json_array();
   // json_array_append_new releases the value itself when it fails.
   if (pair != nullptr && json_array_append_new(pair, JsonText(key)) == 0 &&
       json_array_append_new(pair, JsonText(static_cast<const wchar_t *>(value))) == 0 &&
       json_array_append_new(*array, pair) == 0)
      return CONTINUE_ENUMERATION;
   json_decref(pair);
   json_decref(*array);
   *array = nullptr;
   return STOP_ENUMERATION;
}

}  // namespace

StringMap::StringMap() : StringMapBase(true) {}

StringMap::StringMap(const StringMap &src) : StringMapBase(true)
{
   copyFrom(src, CopyText);
}

StringMap::~StringMap() {}

StringMap &StringMap::operator=(const StringMap &src)
{
   copyFrom(src, CopyText);
   return *this;
}

void StringMap::set(const wchar_t *key, const wchar_t *value)
{
   if (key != nullptr)
      setObject(const_cast<wchar_t *>(key), qv_wcsdup(value), false);
}

void StringMap::setPreallocated(wchar_t *key, wchar_t *value)
{
   setObject(key, value, true);
}

void StringMap::set(const wchar_t *key, int32_t value)
{
   SetNumber<INT32_TEXT_BUFFER>(this, key, L"%d", value);
}

void StringMap::set(const wchar_t *key, uint32_t value)
{
   SetNumber<INT32_TEXT_BUFFER>(this, key, L"%u", value);
}

void StringMap::set(const wchar_t *key, int64_t value)
{
   SetNumber<INT64_TEXT_BUFFER>(this, key, L"%I64d", value);
}

void StringMap::set(const wchar_t *key, uint64_t value)
{
   SetNumber<INT64_TEXT_BUFFER>(this, key, L"%I64u", value);
}

int32_t StringMap::getInt32(const wchar_t *key, int32_t defaultValue) const
{
   return Parsed(get(key), defaultValue, qv::text::ParseInt32);
}

uint32_t StringMap::getUInt32(const wchar_t *key, uint32_t defaultValue) const
{
   return Parsed(get(key), defaultValue, qv::text::ParseUInt32);
}

int64_t StringMap::getInt64(const wchar_t *key, int64_t defaultValue) const
{
   return Parsed(get(key), defaultValue, qv::text::ParseInt64);
}

uint64_t StringMap::getUInt64(const wchar_t *key, uint64_t defaultValue) const
{
   return Parsed(get(key), defaultValue, qv::text::ParseUInt64);
}

double StringMap::getDouble(const wchar_t *key, double defaultValue) const
{
   return Parsed(get(key), defaultValue, qv::text::ParseDouble);
}

bool StringMap::getBoolean(const wchar_t *key, bool defaultValue) const
{
   const wchar_t *value = get(key);
   if (value == nullptr)
      return defaultValue;
   if (qv_wcsicmp(value, L"false") == 0)
      return false;
   if (qv_wcsicmp(value, L"true") == 0)
      return true;
   return qv::text::ParseUInt32(value) != 0;
}

void StringMap::addAll(const StringMap *other)
{
   if (other != nullptr)
      addEntriesFrom(*other, CopyText);
}

json_t *StringMap::toJson() const
{
   json_t *array = json_array();
   if (array != nullptr)
      forEach(AppendJsonPair, &array);
   return array;
}
