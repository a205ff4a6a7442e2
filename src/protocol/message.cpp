/* The message object: construction and deep copy, the field index, the typed setters and
 * getters. The wire form is built and read in message_wire.cpp, described in
 * message_dump.cpp. */
#include <qorvel.h>

#include <limits.h>
#include <stdio.h>

#include <algorithm>

#include "message_field.h"

using namespace qv::msg;

namespace {

/* Characters a STRING field is read into for the text form of a uuid, terminator
 * included. */
constexpr size_t GUID_TEXT_BUFFER = 64;

/* Bytes of a 32-bit array element. */
constexpr size_t INT32_ELEMENT_SIZE = 4;

uint8_t *ValueBytes(QVCP_MESSAGE_FIELD *field)
{
   return reinterpret_cast<uint8_t *>(field) + FIELD_VALUE_OFFSET;
}

const uint8_t *ValueBytes(const QVCP_MESSAGE_FIELD *field)
{
   return reinterpret_cast<const uint8_t *>(field) + FIELD_VALUE_OFFSET;
}

/* Code units of a STRING field; an odd last byte does not count. */
size_t TextUnits(const QVCP_MESSAGE_FIELD *field)
{
   return field->data.string.length / sizeof(UCS2CHAR);
}

const UCS2CHAR *TextOf(const QVCP_MESSAGE_FIELD *field)
{
   return reinterpret_cast<const UCS2CHAR *>(ValueBytes(field));
}

/* The converters count in int. */
int ClampToInt(size_t n)
{
   return static_cast<int>(std::min<size_t>(n, INT_MAX));
}

/* Characters below this, other than surrogates, are one UTF-16 code unit each. */
constexpr uint32_t FIRST_SURROGATE = 0xD800;
constexpr uint32_t LAST_SURROGATE = 0xDFFF;
constexpr uint32_t FIRST_SUPPLEMENTARY = 0x10000;

inline bool IsSingleUnit(uint32_t c)
{
   return c < FIRST_SURROGATE || (c > LAST_SURROGATE && c < FIRST_SUPPLEMENTARY);
}

/* Characters converted at once between UTF-16 and wide text: a vector of code units, or
 * two of wide characters (vectors of 16 bytes, which every target handles natively). */
constexpr size_t TEXT_LANES = 8;
typedef uint16_t UnitLanes __attribute__((vector_size(TEXT_LANES * sizeof(uint16_t))));
typedef uint32_t CharLanes __attribute__((vector_size(TEXT_LANES / 2 * sizeof(uint32_t))));
static_assert(sizeof(wchar_t) == sizeof(uint32_t), "wide characters are 32-bit");

/* Surrogates are the units whose top five bits are 11011. */
constexpr uint32_t SURROGATE_MASK = 0xF800;

/* True when any lane of the comparison result v is set. */
template <typename V> inline bool AnyLane(V v)
{
   uint64_t halves[2];
   static_assert(sizeof(v) == sizeof(halves), "vectors of 16 bytes");
   memcpy(halves, &v, sizeof(halves));
   return (halves[0] | halves[1]) != 0;
}

/* Widens the leading characters of text (n code units) as long as none is a surrogate,
 * eight at a time (on little-endian hosts, where the lanes line up), and returns how many
 * were written to dst. */
size_t WidenLeadingUnits(const UCS2CHAR *text, size_t n, wchar_t *dst)
{
   size_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
   for (; i + TEXT_LANES <= n; i += TEXT_LANES)
   {
      UnitLanes units;
      memcpy(&units, text + i, sizeof(units));
      if (AnyLane((units & SURROGATE_MASK) == FIRST_SURROGATE))
         break;
      const UnitLanes zero = {};
#if defined(__clang__)
      UnitLanes low = __builtin_shufflevector(units, zero, 0, 8, 1, 8, 2, 8, 3, 8);
      UnitLanes high = __builtin_shufflevector(units, zero, 4, 8, 5, 8, 6, 8, 7, 8);
#else
      UnitLanes low = __builtin_shuffle(units, zero, UnitLanes{0, 8, 1, 8, 2, 8, 3, 8});
      UnitLanes high = __builtin_shuffle(units, zero, UnitLanes{4, 8, 5, 8, 6, 8, 7, 8});
#endif
      // Each unit followed by a zero unit is that unit as a 32-bit number.
      memcpy(dst + i, &low, sizeof(low));
      memcpy(dst + i + TEXT_LANES / 2, &high, sizeof(high));
   }
#endif
   for (; i < n && IsSingleUnit(text[i]); i++)
      dst[i] = text[i];
   return i;
}

/* Narrows the leading characters of text (n characters) to code units as long as each
 * takes one unit, eight at a time (on little-endian hosts), and returns how many were
 * written to dst. */
size_t NarrowLeadingChars(const wchar_t *text, size_t n, UCS2CHAR *dst)
{
   size_t i = 0;
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
   for (; i + TEXT_LANES <= n; i += TEXT_LANES)
   {
      CharLanes chars[2];
      memcpy(chars, text + i, sizeof(chars));
      // Beyond the first 16 bits (negative included), or a surrogate.
      if (AnyLane(((chars[0] >> 16) != 0) | ((chars[0] & SURROGATE_MASK) == FIRST_SURROGATE) | ((chars[1] >> 16) != 0) |
                  ((chars[1] & SURROGATE_MASK) == FIRST_SURROGATE)))
         break;
      // Every character is below 0x10000: its code unit is the low half of its 32 bits.
      UnitLanes halves[2];
      memcpy(halves, chars, sizeof(halves));
#if defined(__clang__)
      UnitLanes units = __builtin_shufflevector(halves[0], halves[1], 0, 2, 4, 6, 8, 10, 12, 14);
#else
      UnitLanes units = __builtin_shuffle(halves[0], halves[1], UnitLanes{0, 2, 4, 6, 8, 10, 12, 14});
#endif
      memcpy(dst + i, &units, sizeof(units));
   }
#endif
   for (; i < n && IsSingleUnit(static_cast<uint32_t>(text[i])); i++)
      dst[i] = static_cast<UCS2CHAR>(text[i]);
   return i;
}

/* Converts at most room characters of the UTF-16 text (units code units) to dst and
 * returns how many were written, as ucs2_to_wchar does; text without surrogates, the
 * common case, is widened in one pass without the converter. */
size_t WidenText(const UCS2CHAR *text, size_t units, wchar_t *dst, size_t room)
{
   size_t n = std::min(units, room);
   if (WidenLeadingUnits(text, n, dst) < n)
      return static_cast<size_t>(ucs2_to_wchar(text, ClampToInt(units), dst, ClampToInt(room)));
   return n;
}

/* The whole text of a STRING field and a terminator into out, which holds one character
 * per code unit and one more. */
wchar_t *CopyText(const QVCP_MESSAGE_FIELD *field, wchar_t *out)
{
   size_t units = TextUnits(field);
   out[WidenText(TextOf(field), units, out, units)] = 0;
   return out;
}

void StoreInt16(QVCP_MESSAGE_FIELD *field, uint16_t value, uint8_t flags)
{
   if (field == nullptr)
      return;
   field->value16 = value;
   field->flags = flags;
}

void StoreInt32(QVCP_MESSAGE_FIELD *field, uint32_t value, uint8_t flags)
{
   if (field == nullptr)
      return;
   field->data.int32 = static_cast<int32_t>(value);
   field->flags = flags;
}

void StoreInt64(QVCP_MESSAGE_FIELD *field, uint64_t value, uint8_t flags)
{
   if (field == nullptr)
      return;
   field->data.int64 = static_cast<int64_t>(value);
   field->flags = flags;
}

/* Result of a string getter for a missing field: the empty text in the caller's buffer,
 * or null without one. */
template <typename C> C *NoText(C *buffer)
{
   if (buffer != nullptr)
      buffer[0] = 0;
   return buffer;
}

}  // namespace

QVCPMessage::QVCPMessage(int version)
    : m_code(0), m_flags(0), m_id(0), m_fields(nullptr), m_version(version), m_data(nullptr), m_dataSize(0),
      m_pool(POOL_REGION_SIZE)
{}

QVCPMessage::QVCPMessage(uint16_t code, uint32_t id, int version) : QVCPMessage(version)
{
   m_code = code;
   m_id = id;
}

QVCPMessage::QVCPMessage(const QVCPMessage *src)
    : m_code(src->m_code), m_flags(src->m_flags), m_id(src->m_id), m_fields(nullptr), m_version(src->m_version),
      m_data(nullptr), m_dataSize(0), m_pool(src->m_pool.regionSize())
{
   if (src->m_data != nullptr)
   {
      m_data = static_cast<uint8_t *>(m_pool.allocate(src->m_dataSize));
      if (m_data != nullptr)
      {
         memcpy(m_data, src->m_data, src->m_dataSize);
         m_dataSize = src->m_dataSize;
      }
   }
   Field *last = nullptr;
   size_t count = 0;
   for (const Field *f = src->m_fields; f != nullptr; f = NextField(f))
   {
      size_t bytes = FIELD_BLOCK_HEADER + f->size;
      Field *copy = static_cast<Field *>(m_pool.allocate(bytes));
      if (copy == nullptr)
         break;
      memcpy(copy, f, bytes);
      appendField(copy, last);
      last = copy;
      count++;
   }
   finishIndex(count, false);
}

QVCPMessage::~QVCPMessage() {}

/* ---- The field index ----
 *
 * While a message has few fields it is their list in order, with their identifiers and
 * blocks in an array beside it (ListIndex): scanning a handful of identifiers is cheaper
 * than hashing, and small messages are the common case. With more, it is a uthash table
 * (Jenkins hash of the identifier) over the same order links; a listed field has no
 * table pointer. The table keeps at least one bucket per field so that its chains stay
 * short. */

namespace {

/* An empty array for a listed index. Like the tables, it has no way to report that the
 * pool is out of memory. */
ListIndex *NewList(MemoryPool &pool)
{
   auto *list = static_cast<ListIndex *>(pool.allocate(sizeof(ListIndex)));
   if (list == nullptr)
      exit(-1);
   ClearList(list);
   return list;
}

void AddToList(ListIndex *list, QVCPMessage::Field *field)
{
   list->keys[list->count] = field->key;
   list->fields[list->count] = field;
   list->count++;
   list->present |= PresenceBit(field->key);
}

void RemoveFromList(ListIndex *list, uint32_t i)
{
   list->count--;
   memmove(&list->keys[i], &list->keys[i + 1], (list->count - i) * sizeof(list->keys[0]));
   memmove(&list->fields[i], &list->fields[i + 1], (list->count - i) * sizeof(list->fields[0]));
   list->keys[list->count] = 0;
}

}  // namespace

void QVCPMessage::unlinkListed(Field *field)
{
   Field *prev = static_cast<Field *>(field->hh.prev);
   Field *next = NextField(field);
   if (prev != nullptr)
   {
      prev->hh.next = next;
   }
   else
   {
      m_fields = next;
      if (next != nullptr)
         SetListOf(next, ListOf(field));  // the array stays with the first field
   }
   if (next != nullptr)
      next->hh.prev = prev;
}

void QVCPMessage::appendField(Field *field, Field *last)
{
   field->hh.tbl = nullptr;
   field->hh.prev = last;
   field->hh.next = nullptr;
   SetListOf(field, nullptr);
   if (last != nullptr)
      last->hh.next = field;
   else
      m_fields = field;
}

void QVCPMessage::indexField(Field *field)
{
   // The rare ways, out of line, so that adding a new field to a list stays short.
   auto addHashed = [this](Field * added) __attribute__((noinline))
   {
      hashField(added, true);
      const UT_hash_table *table = m_fields->hh.tbl;
      if (table->num_buckets < table->num_items)
         growTable(0);
   };
   auto dropListed = [this](ListIndex * list, uint32_t key) __attribute__((noinline))
   {
      int old = FindInList(list, key);
      if (old >= 0)
      {
         unlinkListed(list->fields[old]);
         RemoveFromList(list, static_cast<uint32_t>(old));
      }
   };

   if (IsHashed(m_fields))
   {
      addHashed(field);
      return;
   }
   ListIndex *list = (m_fields != nullptr) ? ListOf(m_fields) : NewList(m_pool);
   // A new identifier, the common case, is told by its presence bit without a search;
   // the array was written a moment ago, and reading it whole would stall on those writes.
   if ((list->present & PresenceBit(field->key)) != 0)
      dropListed(list, field->key);
   uint32_t count = list->count;
   Field *last = (count > 0) ? list->fields[count - 1] : nullptr;
   appendField(field, last);
   if (last == nullptr)
      SetListOf(field, list);
   if (count == LIST_INDEX_LIMIT)
      hashFields(LIST_INDEX_LIMIT + 1, false);
   else
      AddToList(list, field);
}

void QVCPMessage::finishIndex(size_t count, bool mayRepeat)
{
   if (count > LIST_INDEX_LIMIT)
   {
      hashFields(count, mayRepeat);
      return;
   }
   if (mayRepeat)
   {
      // A field whose identifier comes again later gives way to the later one.
      for (Field *f = m_fields; f != nullptr;)
      {
         Field *next = NextField(f);
         for (Field *later = next; later != nullptr; later = NextField(later))
         {
            if (later->key == f->key)
            {
               unlinkListed(f);
               break;
            }
         }
         f = next;
      }
   }
   if (m_fields == nullptr)
      return;
   ListIndex *list = NewList(m_pool);
   uint32_t n = 0;
   uint64_t present = 0;
   for (Field *f = m_fields; f != nullptr; f = NextField(f), n++)
   {
      list->keys[n] = f->key;
      list->fields[n] = f;
      present |= PresenceBit(f->key);
   }
   list->count = n;
   list->present = present;
   SetListOf(m_fields, list);
}

void QVCPMessage::hashField(Field *field, bool mayRepeat)
{
   unsigned hash;
   HASH_VALUE(&field->key, sizeof(field->key), hash);
   if (mayRepeat)
   {
      Field *old;
      HASH_FIND_BYHASHVALUE(hh, m_fields, &field->key, sizeof(field->key), hash, old);
      if (old != nullptr)
         HASH_DELETE(hh, m_fields, old);
   }
   HASH_ADD_BYHASHVALUE(hh, m_fields, key, sizeof(field->key), hash, field);
}

void QVCPMessage::hashFields(size_t expected, bool mayRepeat)
{
   Field *f = m_fields;
   m_fields = nullptr;
   while (f != nullptr)
   {
      Field *next = NextField(f);
      hashField(f, mayRepeat);
      if (f == m_fields)
         growTable(expected);  // sized once, before the rest goes in
      f = next;
   }
}

void QVCPMessage::growTable(size_t expected)
{
   // As uthash's own expansion, but to the final power of two in one step: a table sized
   // for a received message does not pass through every size below it.
   UT_hash_table *table = m_fields->hh.tbl;
   size_t wanted = (expected > table->num_items) ? expected : table->num_items;
   if (table->num_buckets >= wanted || table->noexpand)
      return;
   unsigned log2 = table->log2_num_buckets;
   while ((size_t(1) << log2) < wanted)
      log2++;
   unsigned count = 1u << log2;
   auto *buckets = static_cast<UT_hash_bucket *>(m_pool.allocate(count * sizeof(UT_hash_bucket)));
   if (buckets == nullptr)
      uthash_fatal("out of memory");
   memset(buckets, 0, count * sizeof(UT_hash_bucket));
   unsigned items = table->num_items;
   table->ideal_chain_maxlen = (items >> log2) + (((items & (count - 1)) != 0) ? 1 : 0);
   table->nonideal_items = 0;
   for (unsigned b = 0; b < table->num_buckets; b++)
   {
      UT_hash_handle *hh = table->buckets[b].hh_head;
      while (hh != nullptr)
      {
         UT_hash_handle *next = hh->hh_next;
         UT_hash_bucket *bucket = &buckets[hh->hashv & (count - 1)];
         if (++bucket->count > table->ideal_chain_maxlen)
         {
            table->nonideal_items++;
            if (bucket->count > bucket->expand_mult * table->ideal_chain_maxlen)
               bucket->expand_mult++;
         }
         hh->hh_prev = nullptr;
         hh->hh_next = bucket->hh_head;
         if (bucket->hh_head != nullptr)
            bucket->hh_head->hh_prev = hh;
         bucket->hh_head = hh;
         hh = next;
      }
   }
   table->buckets = buckets;
   table->num_buckets = count;
   table->log2_num_buckets = log2;
   table->ineff_expands = (table->nonideal_items > (items >> 1)) ? table->ineff_expands + 1 : 0;
   if (table->ineff_expands > 1)
      table->noexpand = 1;
}

namespace {

/* The field of the hashed index whose first field is head; kept out of line, so that the
 * listed lookup stays small enough to be inlined into every getter. */
__attribute__((noinline)) QVCPMessage::Field *FindHashed(QVCPMessage::Field *head, uint32_t fieldId)
{
   QVCPMessage::Field *field;
   HASH_FIND(hh, head, &fieldId, sizeof(fieldId), field);
   return field;
}

}  // namespace

QVCPMessage::Field *QVCPMessage::findField(uint32_t fieldId) const
{
   if (m_fields == nullptr)
      return nullptr;
   if (IsHashed(m_fields))
      return FindHashed(m_fields, fieldId);
   const ListIndex *list = ListOf(m_fields);
   int i = FindInList(list, fieldId);
   return (i >= 0) ? list->fields[i] : nullptr;
}

const QVCP_MESSAGE_FIELD *QVCPMessage::findField(uint32_t fieldId, int type) const
{
   const Field *f = findField(fieldId);
   return (f != nullptr && f->field.type == type) ? &f->field : nullptr;
}

QVCP_MESSAGE_FIELD *QVCPMessage::createField(uint32_t fieldId, int type, size_t fieldSize)
{
   if (isBinary() || fieldSize > UINT32_MAX)
      return nullptr;
   Field *f = static_cast<Field *>(m_pool.allocate(FIELD_BLOCK_HEADER + fieldSize));
   if (f == nullptr)
      return nullptr;
   f->key = fieldId;
   f->size = static_cast<uint32_t>(fieldSize);
   f->field.fieldId = fieldId;
   f->field.type = static_cast<uint8_t>(type);
   f->field.flags = 0;
   f->field.value16 = 0;
   indexField(f);
   return &f->field;
}

uint8_t *QVCPMessage::createBinaryField(uint32_t fieldId, size_t length)
{
   if (length > MAX_VALUE_LENGTH)
      return nullptr;
   QVCP_MESSAGE_FIELD *field = createField(fieldId, QVCP_FT_BINARY, FIELD_VALUE_OFFSET + length);
   if (field == nullptr)
      return nullptr;
   field->data.binary.length = static_cast<uint32_t>(length);
   return ValueBytes(field);
}

bool QVCPMessage::isFieldExist(uint32_t fieldId) const
{
   return findField(fieldId) != nullptr;
}

int QVCPMessage::getFieldType(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   return (f != nullptr) ? f->field.type : -1;
}

size_t QVCPMessage::getFieldIds(uint32_t *buffer, size_t maxCount) const
{
   size_t count = 0;
   for (const Field *f = m_fields; f != nullptr; f = NextField(f), count++)
   {
      if (buffer != nullptr && count < maxCount)
         buffer[count] = f->key;
   }
   return count;
}

void QVCPMessage::forEachField(bool (*callback)(const QVCP_MESSAGE_FIELD *field, void *context), void *context) const
{
   for (const Field *f = m_fields; f != nullptr; f = NextField(f))
      if (!callback(&f->field, context))
         return;
}

void QVCPMessage::deleteAllFields()
{
   m_fields = nullptr;
   m_data = nullptr;
   m_dataSize = 0;
   m_pool.clear();
}

/* ---- Setters ---- */

void QVCPMessage::setField(uint32_t fieldId, int16_t value)
{
   StoreInt16(createField(fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE), static_cast<uint16_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint16_t value)
{
   StoreInt16(createField(fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE), value, 0);
}

void QVCPMessage::setField(uint32_t fieldId, bool value)
{
   StoreInt16(createField(fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE), value ? 1 : 0, QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, int32_t value)
{
   StoreInt32(createField(fieldId, QVCP_FT_INT32, INT32_FIELD_SIZE), static_cast<uint32_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint32_t value)
{
   StoreInt32(createField(fieldId, QVCP_FT_INT32, INT32_FIELD_SIZE), value, 0);
}

void QVCPMessage::setField(uint32_t fieldId, int64_t value)
{
   StoreInt64(createField(fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE), static_cast<uint64_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint64_t value)
{
   StoreInt64(createField(fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE), value, 0);
}

void QVCPMessage::setFieldFromTime(uint32_t fieldId, int64_t value)
{
   StoreInt64(createField(fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE), static_cast<uint64_t>(value), 0);
}

void QVCPMessage::setField(uint32_t fieldId, double value)
{
   QVCP_MESSAGE_FIELD *field = createField(fieldId, QVCP_FT_FLOAT, FLOAT_FIELD_SIZE);
   if (field != nullptr)
      field->data.fp = value;
}

void QVCPMessage::setString(uint32_t fieldId, const wchar_t *value, size_t length)
{
   // Room for two code units per character keeps every count below in range.
   if (length > MAX_VALUE_LENGTH / (2 * sizeof(UCS2CHAR)))
      return;
   // The common case: one code unit per character, copied in one pass.
   QVCP_MESSAGE_FIELD *field = createField(fieldId, QVCP_FT_STRING, FIELD_VALUE_OFFSET + length * sizeof(UCS2CHAR));
   if (field == nullptr)
      return;
   auto *text = reinterpret_cast<UCS2CHAR *>(ValueBytes(field));
   size_t i = NarrowLeadingChars(value, length, text);
   if (i < length)
   {
      // Characters beyond the BMP take two units (the count may exceed what the converter
      // writes, which drops what UTF-16 cannot hold); this field replaces the first one.
      field->data.string.length = 0;
      BlockOf(field)->size = static_cast<uint32_t>(FIELD_VALUE_OFFSET);
      size_t units = static_cast<size_t>(wchar_ucs2len(value, static_cast<int>(length)) - 1);
      field = createField(fieldId, QVCP_FT_STRING, FIELD_VALUE_OFFSET + units * sizeof(UCS2CHAR));
      if (field == nullptr)
         return;
      text = reinterpret_cast<UCS2CHAR *>(ValueBytes(field));
      i = static_cast<size_t>(wchar_to_ucs2(value, static_cast<int>(length), text, static_cast<int>(units)));
   }
   uint32_t bytes = static_cast<uint32_t>(i * sizeof(UCS2CHAR));
   field->data.string.length = bytes;
   BlockOf(field)->size = static_cast<uint32_t>(FIELD_VALUE_OFFSET) + bytes;
}

void QVCPMessage::setField(uint32_t fieldId, const String &value)
{
   const wchar_t *text = value;
   setString(fieldId, text, wcslen(text));
}

void QVCPMessage::setField(uint32_t fieldId, const wchar_t *value)
{
   if (value != nullptr)
      setString(fieldId, value, wcslen(value));
}

void QVCPMessage::setField(uint32_t fieldId, const wchar_t *value, size_t maxLength)
{
   if (value != nullptr)
      setString(fieldId, value, (maxLength > 0) ? wcsnlen(value, maxLength) : wcslen(value));
}

void QVCPMessage::setFieldFromMBString(uint32_t fieldId, const char *value)
{
   wchar_t *text = WideStringFromMBString(value);
   if (text == nullptr)
      return;
   setString(fieldId, text, wcslen(text));
   free(text);
}

void QVCPMessage::setField(uint32_t fieldId, const uint8_t *value, size_t size)
{
   uint8_t *bytes = createBinaryField(fieldId, size);
   if (bytes == nullptr)
      return;
   if (value != nullptr)
      memcpy(bytes, value, size);
   else
      memset(bytes, 0, size);
}

void QVCPMessage::setFieldFromInt32Array(uint32_t fieldId, size_t count, const uint32_t *values)
{
   if (count > MAX_VALUE_LENGTH / INT32_ELEMENT_SIZE)
      return;
   uint8_t *bytes = createBinaryField(fieldId, count * INT32_ELEMENT_SIZE);
   if (bytes == nullptr)
      return;
   for (size_t i = 0; i < count; i++)
      WriteBE32(bytes + i * INT32_ELEMENT_SIZE, (values != nullptr) ? values[i] : 0);
}

void QVCPMessage::setField(uint32_t fieldId, const uuid &value)
{
   setField(fieldId, value.getValue(), QV_UUID_LENGTH);
}

bool QVCPMessage::setFieldFromFile(uint32_t fieldId, const wchar_t *fileName)
{
   if (fileName == nullptr || isBinary())
      return false;
   char *name = MBStringFromWideString(fileName);
   FILE *file = (name != nullptr) ? fopen(name, "rb") : nullptr;
   free(name);
   if (file == nullptr)
      return false;

   bool complete = false;
   long size = (fseek(file, 0, SEEK_END) == 0) ? ftell(file) : -1;
   // A name that opens but cannot be read (a directory) fails on the first byte.
   bool readable = size >= 0 && fseek(file, 0, SEEK_SET) == 0;
   if (readable && size > 0)
   {
      int first = getc(file);
      readable = !(first == EOF && ferror(file)) && (first == EOF || ungetc(first, file) != EOF);
   }
   uint8_t *bytes = (readable && static_cast<uint64_t>(size) <= MAX_VALUE_LENGTH)
                        ? createBinaryField(fieldId, static_cast<size_t>(size))
                        : nullptr;
   if (bytes != nullptr)
   {
      size_t n = fread(bytes, 1, static_cast<size_t>(size), file);
      memset(bytes + n, 0, static_cast<size_t>(size) - n);
      complete = (n == static_cast<size_t>(size));
   }
   fclose(file);
   return complete;
}

/* ---- Numeric getters ---- */

/* The getters of one value in its two signs share their lookup here rather than call
 * each other: a call from one exported member to another goes through the symbol table. */

namespace {

inline uint32_t Int32Value(const QVCP_MESSAGE_FIELD *field)
{
   if (field == nullptr)
      return 0;
   if (field->type == QVCP_FT_INT32)
      return static_cast<uint32_t>(field->data.int32);
   if (field->type == QVCP_FT_INETADDR && field->data.inetaddr.family == QVCP_INETADDR_IPV4)
      return field->data.inetaddr.addr.v4;
   return 0;
}

}  // namespace

int16_t QVCPMessage::getFieldAsInt16(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_INT16);
   return static_cast<int16_t>((field != nullptr) ? field->value16 : 0);
}

uint16_t QVCPMessage::getFieldAsUInt16(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_INT16);
   return (field != nullptr) ? field->value16 : 0;
}

int32_t QVCPMessage::getFieldAsInt32(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   return static_cast<int32_t>(Int32Value((f != nullptr) ? &f->field : nullptr));
}

uint32_t QVCPMessage::getFieldAsUInt32(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   return Int32Value((f != nullptr) ? &f->field : nullptr);
}

int64_t QVCPMessage::getFieldAsInt64(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_INT64);
   return (field != nullptr) ? field->data.int64 : 0;
}

uint64_t QVCPMessage::getFieldAsUInt64(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_INT64);
   return (field != nullptr) ? static_cast<uint64_t>(field->data.int64) : 0;
}

double QVCPMessage::getFieldAsDouble(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_FLOAT);
   return (field != nullptr) ? field->data.fp : 0.0;
}

int64_t QVCPMessage::getFieldAsTime(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   if (f == nullptr)
      return 0;
   if (f->field.type == QVCP_FT_INT32)
      return static_cast<uint32_t>(f->field.data.int32);
   return (f->field.type == QVCP_FT_INT64) ? f->field.data.int64 : 0;
}

bool QVCPMessage::getFieldAsBoolean(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   if (f == nullptr)
      return false;
   switch (f->field.type)
   {
      case QVCP_FT_INT16: return f->field.value16 != 0;
      case QVCP_FT_INT32: return f->field.data.int32 != 0;
      case QVCP_FT_INT64: return f->field.data.int64 != 0;
      default: return false;
   }
}

/* ---- String getters ---- */

wchar_t *QVCPMessage::getFieldAsString(uint32_t fieldId, wchar_t *buffer, size_t bufferSize) const
{
   if (buffer != nullptr && bufferSize == 0)
      return nullptr;
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_STRING);
   if (field == nullptr)
      return NoText(buffer);
   if (buffer == nullptr)
   {
      auto *text = static_cast<wchar_t *>(malloc((TextUnits(field) + 1) * sizeof(wchar_t)));
      return (text != nullptr) ? CopyText(field, text) : nullptr;
   }
   buffer[WidenText(TextOf(field), TextUnits(field), buffer, bufferSize - 1)] = 0;
   return buffer;
}

wchar_t *QVCPMessage::getFieldAsString(uint32_t fieldId, MemoryPool *pool) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_STRING);
   if (field == nullptr)
      return nullptr;
   size_t bytes = (TextUnits(field) + 1) * sizeof(wchar_t);
   auto *text = static_cast<wchar_t *>((pool != nullptr) ? pool->allocate(bytes) : malloc(bytes));
   return (text != nullptr) ? CopyText(field, text) : nullptr;
}

char *QVCPMessage::getFieldAsMBString(uint32_t fieldId, char *buffer, size_t bufferSize) const
{
   if (buffer != nullptr && bufferSize == 0)
      return nullptr;
   wchar_t *text = getFieldAsString(fieldId);
   if (text == nullptr)
      return NoText(buffer);
   if (buffer == nullptr)
   {
      char *result = MBStringFromWideString(text);
      free(text);
      return result;
   }

   // The code page may take several bytes per character: keep the longest prefix of
   // whole characters whose conversion fits (conversion is all or nothing).
   int room = ClampToInt(bufferSize - 1);
   int fits = 0;
   int tooLong = std::min(ClampToInt(wcslen(text)), room) + 1;
   int written = 0;
   while (tooLong - fits > 1)
   {
      int count = fits + (tooLong - fits) / 2;
      int n = wchar_to_mb(text, count, buffer, room);
      if (n > 0)
      {
         fits = count;
         written = n;
      }
      else
      {
         tooLong = count;
      }
   }
   if (fits > 0 && written == 0)
      written = wchar_to_mb(text, fits, buffer, room);
   buffer[written] = 0;
   free(text);
   return buffer;
}

char *QVCPMessage::getFieldAsUtf8String(uint32_t fieldId, char *buffer, size_t bufferSize) const
{
   if (buffer != nullptr && bufferSize == 0)
      return nullptr;
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_STRING);
   if (field == nullptr)
      return NoText(buffer);
   int units = ClampToInt(TextUnits(field));
   if (buffer == nullptr)
   {
      size_t capacity = TextUnits(field) * 3 + 1;  // a UTF-16 unit takes at most 3 bytes
      buffer = static_cast<char *>(malloc(capacity));
      if (buffer == nullptr)
         return nullptr;
      bufferSize = capacity;
   }
   int needed = ucs2_utf8len(TextOf(field), units) - 1;
   int n = 0;
   if (static_cast<size_t>(needed) <= bufferSize - 1)
      n = ucs2_to_utf8(TextOf(field), units, buffer, needed);
   buffer[n] = 0;
   return buffer;
}

/* ---- Binary getters ---- */

size_t QVCPMessage::getFieldAsBinary(uint32_t fieldId, uint8_t *buffer, size_t bufferSize) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_BINARY);
   if (field == nullptr)
      return 0;
   size_t length = field->data.binary.length;
   if (buffer != nullptr)
      memcpy(buffer, ValueBytes(field), std::min(length, bufferSize));
   return length;
}

const uint8_t *QVCPMessage::getBinaryFieldPtr(uint32_t fieldId, size_t *size) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_BINARY);
   if (size != nullptr)
      *size = (field != nullptr) ? field->data.binary.length : 0;
   return (field != nullptr) ? ValueBytes(field) : nullptr;
}

size_t QVCPMessage::getFieldAsInt32Array(uint32_t fieldId, size_t maxCount, uint32_t *buffer) const
{
   const QVCP_MESSAGE_FIELD *field = findField(fieldId, QVCP_FT_BINARY);
   if (field == nullptr)
      return 0;
   size_t length = field->data.binary.length;
   if (buffer != nullptr && maxCount > 0)
   {
      // The bytes are copied as they are (a partial last element too), then every whole
      // element among them turned to host order.
      size_t copied = (maxCount > length / INT32_ELEMENT_SIZE) ? length : maxCount * INT32_ELEMENT_SIZE;
      memcpy(buffer, ValueBytes(field), copied);
      for (size_t i = 0; i < copied / INT32_ELEMENT_SIZE; i++)
         buffer[i] = ReadBE32(reinterpret_cast<const uint8_t *>(buffer + i));
   }
   return length / INT32_ELEMENT_SIZE;
}

uuid QVCPMessage::getFieldAsGUID(uint32_t fieldId) const
{
   const Field *f = findField(fieldId);
   if (f == nullptr)
      return uuid::NULL_UUID;
   if (f->field.type == QVCP_FT_BINARY)
      return (f->field.data.binary.length == QV_UUID_LENGTH) ? uuid(ValueBytes(&f->field)) : uuid::NULL_UUID;
   if (f->field.type != QVCP_FT_STRING)
      return uuid::NULL_UUID;
   wchar_t text[GUID_TEXT_BUFFER];
   return uuid::parse(getFieldAsString(fieldId, text, GUID_TEXT_BUFFER));
}
