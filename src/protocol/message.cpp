/* The message object: construction and deep copy, the field index, the typed setters and
 * getters. The wire form is built and read in message_wire.cpp, described in
 * message_dump.cpp. */
#include <qorvel.h>

#include <limits.h>
#include <stdio.h>

#include <algorithm>

#include "platform/file.h"
#include "protocol/message_internals.h"
#include "text/convert_core.h"

using namespace qv::protocol;
using Field = QVCPMessage::Field;
using namespace qv::text;

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

/* Converts at most room characters of the UTF-16 text (units code units) to dst and
 * returns how many were written, as ucs2_to_wchar does, by the converter's own loop. */
size_t WidenText(const UCS2CHAR *text, size_t units, wchar_t *dst, size_t room)
{
   size_t pos = 0;
   return ConvertRun<Utf16Reader<UCS2CHAR>, Ucs4Writer<wchar_t>>(text, units, &pos, dst, room);
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
      MessageInternals::appendField(this, copy, last);
      last = copy;
      count++;
   }
   MessageInternals::finishIndex(this, count, false);
}

QVCPMessage::~QVCPMessage() {}

QVCP_MESSAGE_FIELD *MessageInternals::createField(QVCPMessage *msg, uint32_t fieldId, int type, size_t fieldSize)
{
   if (msg->isBinary() || fieldSize > UINT32_MAX)
      return nullptr;
   Field *f = static_cast<Field *>(msg->m_pool.allocate(FIELD_BLOCK_HEADER + fieldSize));
   if (f == nullptr)
      return nullptr;
   f->key = fieldId;
   f->size = static_cast<uint32_t>(fieldSize);
   f->field.fieldId = fieldId;
   f->field.type = static_cast<uint8_t>(type);
   f->field.flags = 0;
   f->field.value16 = 0;
   indexField(msg, f);
   return &f->field;
}

uint8_t *MessageInternals::createBinaryField(QVCPMessage *msg, uint32_t fieldId, size_t length)
{
   if (length > MAX_VALUE_LENGTH)
      return nullptr;
   QVCP_MESSAGE_FIELD *field = createField(msg, fieldId, QVCP_FT_BINARY, FIELD_VALUE_OFFSET + length);
   if (field == nullptr)
      return nullptr;
   field->data.binary.length = static_cast<uint32_t>(length);
   return ValueBytes(field);
}

bool QVCPMessage::isFieldExist(uint32_t fieldId) const
{
   return MessageInternals::findField(this, fieldId) != nullptr;
}

int QVCPMessage::getFieldType(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
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
   StoreInt16(MessageInternals::createField(this, fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE),
              static_cast<uint16_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint16_t value)
{
   StoreInt16(MessageInternals::createField(this, fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE), value, 0);
}

void QVCPMessage::setField(uint32_t fieldId, bool value)
{
   StoreInt16(MessageInternals::createField(this, fieldId, QVCP_FT_INT16, INT16_FIELD_SIZE), value ? 1 : 0,
              QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, int32_t value)
{
   StoreInt32(MessageInternals::createField(this, fieldId, QVCP_FT_INT32, INT32_FIELD_SIZE),
              static_cast<uint32_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint32_t value)
{
   StoreInt32(MessageInternals::createField(this, fieldId, QVCP_FT_INT32, INT32_FIELD_SIZE), value, 0);
}

void QVCPMessage::setField(uint32_t fieldId, int64_t value)
{
   StoreInt64(MessageInternals::createField(this, fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE),
              static_cast<uint64_t>(value), QVCP_FF_SIGNED);
}

void QVCPMessage::setField(uint32_t fieldId, uint64_t value)
{
   StoreInt64(MessageInternals::createField(this, fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE), value, 0);
}

void QVCPMessage::setFieldFromTime(uint32_t fieldId, int64_t value)
{
   StoreInt64(MessageInternals::createField(this, fieldId, QVCP_FT_INT64, INT64_FIELD_SIZE),
              static_cast<uint64_t>(value), 0);
}

void QVCPMessage::setField(uint32_t fieldId, double value)
{
   QVCP_MESSAGE_FIELD *field = MessageInternals::createField(this, fieldId, QVCP_FT_FLOAT, FLOAT_FIELD_SIZE);
   if (field != nullptr)
      field->data.fp = value;
}

void MessageInternals::setString(QVCPMessage *msg, uint32_t fieldId, const wchar_t *value, size_t length)
{
   // Room for two code units per character keeps every count below in range.
   if (length > MAX_VALUE_LENGTH / (2 * sizeof(UCS2CHAR)))
      return;
   // The common case: one code unit per character, copied in one pass.
   QVCP_MESSAGE_FIELD *field =
       createField(msg, fieldId, QVCP_FT_STRING, FIELD_VALUE_OFFSET + length * sizeof(UCS2CHAR));
   if (field == nullptr)
      return;
   auto *text = reinterpret_cast<UCS2CHAR *>(ValueBytes(field));
   size_t pos = 0;
   size_t i = ConvertRun<Ucs4Reader<wchar_t>, Utf16Writer<UCS2CHAR>>(value, length, &pos, text, length);
   if (pos < length)
   {
      // Characters beyond the BMP take two units (the count may exceed what the converter
      // writes, which drops what UTF-16 cannot hold); this field replaces the first one.
      field->data.string.length = 0;
      BlockOf(field)->size = static_cast<uint32_t>(FIELD_VALUE_OFFSET);
      size_t units = static_cast<size_t>(wchar_ucs2len(value, static_cast<int>(length)) - 1);
      field = createField(msg, fieldId, QVCP_FT_STRING, FIELD_VALUE_OFFSET + units * sizeof(UCS2CHAR));
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
   MessageInternals::setString(this, fieldId, text, wcslen(text));
}

void QVCPMessage::setField(uint32_t fieldId, const wchar_t *value)
{
   if (value != nullptr)
      MessageInternals::setString(this, fieldId, value, wcslen(value));
}

void QVCPMessage::setField(uint32_t fieldId, const wchar_t *value, size_t maxLength)
{
   if (value != nullptr)
      MessageInternals::setString(this, fieldId, value, (maxLength > 0) ? wcsnlen(value, maxLength) : wcslen(value));
}

void QVCPMessage::setFieldFromMBString(uint32_t fieldId, const char *value)
{
   wchar_t *text = WideStringFromMBString(value);
   if (text == nullptr)
      return;
   MessageInternals::setString(this, fieldId, text, wcslen(text));
   free(text);
}

void QVCPMessage::setField(uint32_t fieldId, const uint8_t *value, size_t size)
{
   uint8_t *bytes = MessageInternals::createBinaryField(this, fieldId, size);
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
   uint8_t *bytes = MessageInternals::createBinaryField(this, fieldId, count * INT32_ELEMENT_SIZE);
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
   FILE *file = qv::platform::OpenFile(fileName, "rb");
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
                        ? MessageInternals::createBinaryField(this, fieldId, static_cast<size_t>(size))
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
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_INT16);
   return static_cast<int16_t>((field != nullptr) ? field->value16 : 0);
}

uint16_t QVCPMessage::getFieldAsUInt16(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_INT16);
   return (field != nullptr) ? field->value16 : 0;
}

int32_t QVCPMessage::getFieldAsInt32(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
   return static_cast<int32_t>(Int32Value((f != nullptr) ? &f->field : nullptr));
}

uint32_t QVCPMessage::getFieldAsUInt32(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
   return Int32Value((f != nullptr) ? &f->field : nullptr);
}

int64_t QVCPMessage::getFieldAsInt64(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_INT64);
   return (field != nullptr) ? field->data.int64 : 0;
}

uint64_t QVCPMessage::getFieldAsUInt64(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_INT64);
   return (field != nullptr) ? static_cast<uint64_t>(field->data.int64) : 0;
}

double QVCPMessage::getFieldAsDouble(uint32_t fieldId) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_FLOAT);
   return (field != nullptr) ? field->data.fp : 0.0;
}

int64_t QVCPMessage::getFieldAsTime(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
   if (f == nullptr)
      return 0;
   if (f->field.type == QVCP_FT_INT32)
      return static_cast<uint32_t>(f->field.data.int32);
   return (f->field.type == QVCP_FT_INT64) ? f->field.data.int64 : 0;
}

bool QVCPMessage::getFieldAsBoolean(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
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
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_STRING);
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
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_STRING);
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
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_STRING);
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
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_BINARY);
   if (field == nullptr)
      return 0;
   size_t length = field->data.binary.length;
   if (buffer != nullptr)
      memcpy(buffer, ValueBytes(field), std::min(length, bufferSize));
   return length;
}

const uint8_t *QVCPMessage::getBinaryFieldPtr(uint32_t fieldId, size_t *size) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_BINARY);
   if (size != nullptr)
      *size = (field != nullptr) ? field->data.binary.length : 0;
   return (field != nullptr) ? ValueBytes(field) : nullptr;
}

size_t QVCPMessage::getFieldAsInt32Array(uint32_t fieldId, size_t maxCount, uint32_t *buffer) const
{
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_BINARY);
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
   const Field *f = MessageInternals::findField(this, fieldId);
   if (f == nullptr)
      return uuid::NULL_UUID;
   if (f->field.type == QVCP_FT_BINARY)
      return (f->field.data.binary.length == QV_UUID_LENGTH) ? uuid(ValueBytes(&f->field)) : uuid::NULL_UUID;
   if (f->field.type != QVCP_FT_STRING)
      return uuid::NULL_UUID;
   wchar_t text[GUID_TEXT_BUFFER];
   return uuid::parse(getFieldAsString(fieldId, text, GUID_TEXT_BUFFER));
}
