/* ByteStream: a growable byte array with one read/write position, typed big-endian values,
 * length-prefixed UTF-8 strings, and whole-file load and save. */
#include <qv_containers.h>

#include "platform/file_io.h"

#include <stdlib.h>
#include <string.h>

#include <new>

namespace {

/* Bytes of the two forms of a string's length prefix, and the flag of the long form. */
constexpr size_t SHORT_PREFIX_BYTES = 2;
constexpr size_t LONG_PREFIX_BYTES = 4;
constexpr uint32_t LONG_PREFIX_FLAG = 0x80000000;

}  // namespace

ByteStream::ByteStream(size_t initialSize)
    : m_data(static_cast<uint8_t *>((initialSize > 0) ? malloc(initialSize) : nullptr)), m_size(0),
      m_allocated((m_data != nullptr) ? initialSize : 0), m_pos(0), m_allocationStep(DEFAULT_ALLOCATION_STEP)
{}

ByteStream::ByteStream(const void *data, size_t size)
    : m_data(static_cast<uint8_t *>((size > 0) ? malloc(size) : nullptr)), m_size(0), m_allocated(0), m_pos(0),
      m_allocationStep(DEFAULT_ALLOCATION_STEP)
{
   if (m_data != nullptr)
   {
      memcpy(m_data, data, size);
      m_size = size;
      m_allocated = size;
   }
}

ByteStream::~ByteStream()
{
   free(m_data);
}

/* Makes room for length bytes at the position: the storage grows by max(allocation step,
 * length). False, with nothing changed, when the sizes overflow or the allocation
 * fails. */
bool ByteStream::reserve(size_t length)
{
   if (length <= m_allocated - m_pos)
      return true;
   size_t extra = (length > m_allocationStep) ? length : m_allocationStep;
   if (extra > SIZE_MAX - m_allocated)
      return false;
   uint8_t *data = static_cast<uint8_t *>(realloc(m_data, m_allocated + extra));
   if (data == nullptr)
      return false;
   m_data = data;
   m_allocated += extra;
   return true;
}

void ByteStream::writeBytesSlow(const void *data, size_t length)
{
   if (length == 0 || !reserve(length))
      return;
   memcpy(m_data + m_pos, data, length);
   m_pos += length;
   if (m_pos > m_size)
      m_size = m_pos;
}

/* A string whose length needs the 32-bit prefix; one longer than the prefix can hold is
 * not written. */
void ByteStream::writeLongStringUtf8(const char *text, size_t length)
{
   if (length > MAX_STRING_LENGTH)
      return;
   writeBE(static_cast<uint32_t>(length) | LONG_PREFIX_FLAG);
   writeBytes(text, length);
}

void ByteStream::writeString(const wchar_t *text)
{
   char *utf8 = (text != nullptr) ? UTF8StringFromWideString(text) : nullptr;
   writeStringUtf8(utf8);
   free(utf8);
}

size_t ByteStream::read(void *buffer, size_t length)
{
   size_t count = m_size - m_pos;
   if (length < count)
      count = length;
   if (count > 0)
   {
      memcpy(buffer, m_data + m_pos, count);
      m_pos += count;
   }
   return count;
}

uint8_t ByteStream::readByte()
{
   return (m_pos < m_size) ? m_data[m_pos++] : 0;
}

template <typename T> T ByteStream::readBE()
{
   if (m_size - m_pos < sizeof(T))
   {
      m_pos = m_size;
      return 0;
   }
   T value;
   memcpy(&value, m_data + m_pos, sizeof(T));
   m_pos += sizeof(T);
   return bigEndian(value);
}

uint16_t ByteStream::readUInt16()
{
   return readBE<uint16_t>();
}

uint32_t ByteStream::readUInt32()
{
   return readBE<uint32_t>();
}

uint64_t ByteStream::readUInt64()
{
   return readBE<uint64_t>();
}

double ByteStream::readDouble()
{
   uint64_t bits = readBE<uint64_t>();
   double value;
   memcpy(&value, &bits, sizeof(value));
   return value;
}

/* Reads a string's length prefix into *length and checks that the bytes it announces are
 * there. False when the prefix is not all there (nothing consumed) or the bytes are not
 * (the prefix stays consumed). */
bool ByteStream::readStringPrefix(size_t *length)
{
   size_t left = m_size - m_pos;
   if (left < SHORT_PREFIX_BYTES)
      return false;
   if ((m_data[m_pos] & 0x80) != 0)
   {
      if (left < LONG_PREFIX_BYTES)
         return false;
      *length = readBE<uint32_t>() & ~LONG_PREFIX_FLAG;
   }
   else
   {
      *length = readBE<uint16_t>();
   }
   return *length <= m_size - m_pos;
}

char *ByteStream::readStringUtf8()
{
   size_t n;
   if (!readStringPrefix(&n))
      return nullptr;
   char *text = static_cast<char *>(malloc(n + 1));
   if (text == nullptr)
      return nullptr;
   if (n > 0)
      memcpy(text, m_data + m_pos, n);
   text[n] = 0;
   m_pos += n;
   return text;
}

wchar_t *ByteStream::readString()
{
   size_t n;
   if (!readStringPrefix(&n))
      return nullptr;
   // UTF-8 never takes fewer bytes than characters, so n + 1 characters hold the text.
   wchar_t *text = static_cast<wchar_t *>(malloc((n + 1) * sizeof(wchar_t)));
   if (text == nullptr)
      return nullptr;
   int count = (n > 0) ? utf8_to_wchar(reinterpret_cast<const char *>(m_data + m_pos), static_cast<int>(n), text,
                                       static_cast<int>(n))
                       : 0;
   text[count] = 0;
   m_pos += n;
   return text;
}

bool ByteStream::save(int fd)
{
   return qv::platform::FileWriteAll(fd, m_data, m_size);
}

ByteStream *ByteStream::load(const wchar_t *fileName)
{
   char *name = (fileName != nullptr) ? MBStringFromWideString(fileName) : nullptr;
   size_t size;
   uint8_t *data = qv::platform::FileLoad(name, MAX_LOAD_SIZE, &size);
   free(name);
   if (data == nullptr)
      return nullptr;
   ByteStream *stream = new (std::nothrow) ByteStream(static_cast<size_t>(0));
   if (stream == nullptr)
   {
      free(data);
      return nullptr;
   }
   stream->m_data = data;
   stream->m_size = size;
   stream->m_allocated = size;
   return stream;
}
