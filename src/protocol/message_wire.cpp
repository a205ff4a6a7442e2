/* The wire form of a message: serialize with optional zlib payload compression, and the
 * construction from received bytes with every validity check. */
#include <qorvel.h>

#include <zlib.h>

#include "containers/memory_pool_internals.h"
#include "protocol/message_internals.h"

using namespace qv::protocol;

namespace {

/* Messages of this many bytes or fewer are never compressed. */
constexpr size_t COMPRESSION_THRESHOLD = 128;

/* A compressed form is used only when it is more than this many bytes smaller. */
constexpr size_t COMPRESSION_MIN_SAVING = 4;

/* zlib level of payload compression. */
constexpr int COMPRESSION_LEVEL = 9;

/* Deflate cannot expand its input by more than 1032 to 1 (a 258-byte match coded in two
 * bits), so a payload that declares more than this per compressed byte is not real. */
constexpr uint64_t DEFLATE_MAX_RATIO = 1032;

/* Granularity of the pool region of a received message. */
constexpr size_t RECEIVE_REGION_STEP = 4096;

/* Debug level of decompression failures. */
constexpr int DECOMPRESSION_LOG_LEVEL = 6;

/* Pool region for a received message of size bytes: size rounded down to the step, plus
 * one step. */
size_t ReceiveRegionSize(size_t size)
{
   return size / RECEIVE_REGION_STEP * RECEIVE_REGION_STEP + RECEIVE_REGION_STEP;
}

/* True when a compressed message of size bytes may inflate to outSize bytes: its stream
 * is present and could produce that much. Checked before anything is allocated. */
bool CanInflateTo(size_t size, uint64_t outSize)
{
   return size >= COMPRESSED_DATA_OFFSET && outSize <= (size - COMPRESSED_DATA_OFFSET) * DEFLATE_MAX_RATIO;
}

/* Inflates the zlib stream of a compressed message (size bytes at raw) into exactly
 * outSize bytes at out; false when the stream is broken or does not end there. */
bool InflatePayload(const uint8_t *raw, size_t size, uint8_t *out, size_t outSize, bool binary)
{
   z_stream z = {};
   if (inflateInit(&z) != Z_OK)
   {
      qvlog_debug(DECOMPRESSION_LOG_LEVEL, L"QVCPMessage: inflateInit() failed");
      return false;
   }
   uint8_t none;  // zlib wants an output pointer even for no output
   z.next_in = const_cast<Bytef *>(raw + COMPRESSED_DATA_OFFSET);
   z.avail_in = static_cast<uInt>(size - COMPRESSED_DATA_OFFSET);
   z.next_out = (outSize > 0) ? out : &none;
   z.avail_out = static_cast<uInt>(outSize);
   bool complete = (inflate(&z, Z_FINISH) == Z_STREAM_END) && z.avail_out == 0;
   inflateEnd(&z);
   if (!complete)
   {
      RawHeader header = ReadHeader(raw);
      wchar_t name[QVCP_CODE_NAME_BUFFER_SIZE];
      qvlog_debug(DECOMPRESSION_LOG_LEVEL,
                  binary ? L"QVCPMessage: failed to decompress binary message %s with ID %d"
                         : L"QVCPMessage: failed to decompress message %s with ID %d",
                  QVCPMessageCodeName(header.code, name), static_cast<int>(header.id));
   }
   return complete;
}

/* Copies the 32-bit number at in to out with its bytes swapped. */
void Swap32At(uint8_t *out, const uint8_t *in)
{
   uint32_t value;
   memcpy(&value, in, sizeof(value));
   WriteBE32(out, value);
}

/* Copies the field of fieldSize bytes at in to out, turning every number of it from wire
 * order to host order, or back: swapping bytes is its own inverse. The type and the INETADDR
 * family byte read the same either way, and a STRING or BINARY length follows from
 * fieldSize, so the two directions are one operation. */
inline __attribute__((always_inline)) void SwapField(uint8_t *out, const uint8_t *in, size_t fieldSize)
{
   Swap32At(out, in);
   int type = in[4];
   out[4] = in[4];
   out[5] = in[5];
   if (type == QVCP_FT_INT16)
   {
      uint16_t value;
      memcpy(&value, in + 6, sizeof(value));
      WriteBE16(out + 6, value);
      return;
   }
   memcpy(out + 6, in + 6, 2);
   switch (type)
   {
      case QVCP_FT_INT32: Swap32At(out + 8, in + 8); return;
      case QVCP_FT_INT64:
      case QVCP_FT_FLOAT:
      {
         uint64_t value;
         memcpy(&value, in + 8, sizeof(value));
         WriteBE64(out + 8, value);
         return;
      }
      case QVCP_FT_STRING:
      case QVCP_FT_BINARY:
      {
         size_t length = fieldSize - FIELD_VALUE_OFFSET;
         Swap32At(out + 8, in + 8);
         const uint8_t *from = in + FIELD_VALUE_OFFSET;
         uint8_t *to = out + FIELD_VALUE_OFFSET;
         if (type == QVCP_FT_BINARY)
         {
            memcpy(to, from, length);
            return;
         }
         CopySwapped16(to, from, length / 2);
         if (length % 2 != 0)
            to[length - 1] = from[length - 1];  // half a code unit, kept as it is
         return;
      }
      case QVCP_FT_INETADDR:
      {
         memcpy(out + 8, in + 8, fieldSize - 8);
         if (in[INETADDR_FAMILY_OFFSET] == QVCP_INETADDR_IPV4)
            Swap32At(out + 8, in + 8);
         return;
      }
      default: return;  // unknown types are their 8 common bytes
   }
}

/* The compressed form of the uncompressed wire message plain (size bytes), which it
 * frees, or plain itself when compression fails or saves too little. */
uint8_t *CompressMessage(uint8_t *plain, size_t size)
{
   z_stream z = {};
   if (deflateInit(&z, COMPRESSION_LEVEL) != Z_OK)
      return plain;
   size_t payload = size - QVCP_HEADER_SIZE;
   uLong bound = deflateBound(&z, static_cast<uLong>(payload));
   uint8_t *packed = static_cast<uint8_t *>(malloc(Align8(COMPRESSED_DATA_OFFSET + bound)));
   if (packed == nullptr)
   {
      deflateEnd(&z);
      return plain;
   }
   z.next_in = plain + QVCP_HEADER_SIZE;
   z.avail_in = static_cast<uInt>(payload);
   z.next_out = packed + COMPRESSED_DATA_OFFSET;
   z.avail_out = static_cast<uInt>(bound);
   bool finished = (deflate(&z, Z_FINISH) == Z_STREAM_END);
   size_t used = COMPRESSED_DATA_OFFSET + z.total_out;
   deflateEnd(&z);
   size_t total = Align8(used);
   if (!finished || total >= size - COMPRESSION_MIN_SAVING)
   {
      free(packed);
      return plain;
   }

   memcpy(packed, plain, QVCP_HEADER_SIZE);
   WriteBE16(packed + 2, ReadBE16(plain + 2) | QVCP_MF_COMPRESSED);
   WriteBE32(packed + 4, static_cast<uint32_t>(total));
   WriteBE32(packed + COMPRESSED_SIZE_OFFSET, static_cast<uint32_t>(size));
   memset(packed + used, 0, total - used);
   free(plain);
   void *shrunk = realloc(packed, total);
   return static_cast<uint8_t *>((shrunk != nullptr) ? shrunk : packed);
}

}  // namespace

QVCP_MESSAGE *QVCPMessage::serialize(bool allowCompression) const
{
   uint64_t size;
   uint32_t numFields = 0;
   if (isBinary())
   {
      if (m_dataSize > UINT32_MAX)
         return nullptr;
      size = QVCP_HEADER_SIZE + Align8(m_dataSize);
      numFields = static_cast<uint32_t>(m_dataSize);
   }
   else
   {
      uint64_t sum = 0;
      for (const Field *f = m_fields; f != nullptr; f = NextField(f))
      {
         sum += PaddedFieldSize(f->size, m_version);
         numFields++;
      }
      size = (m_version >= QVCP_ALIGNMENT_VERSION) ? QVCP_HEADER_SIZE + sum : Align8(QVCP_HEADER_SIZE + sum);
   }
   if (size > UINT32_MAX)
      return nullptr;

   uint8_t *out = static_cast<uint8_t *>(malloc(size));
   if (out == nullptr)
      return nullptr;
   WriteBE16(out, m_code);
   WriteBE16(out + 2, m_flags);
   WriteBE32(out + 4, static_cast<uint32_t>(size));
   WriteBE32(out + 8, m_id);
   WriteBE32(out + 12, numFields);
   size_t pos = QVCP_HEADER_SIZE;
   if (isBinary())
   {
      if (m_dataSize > 0)
         memcpy(out + pos, m_data, m_dataSize);
      pos += m_dataSize;
   }
   else
   {
      for (const Field *f = m_fields; f != nullptr; f = NextField(f))
      {
         size_t padded = PaddedFieldSize(f->size, m_version);
         if (padded != f->size)
         {
            // Zeros the padding with one store of the field's last 8 bytes; the field is
            // written over the rest. Every field is 8 bytes or more.
            static const uint8_t zero[WIRE_ALIGNMENT] = {};
            memcpy(out + pos + padded - WIRE_ALIGNMENT, zero, WIRE_ALIGNMENT);
         }
         SwapField(out + pos, reinterpret_cast<const uint8_t *>(&f->field), f->size);
         pos += padded;
      }
   }
   memset(out + pos, 0, size - pos);

   // A binary payload whose length is not a multiple of 8 would carry its padding inside
   // the stream, which a receiver (inflating exactly the data length) rejects.
   bool compress = allowCompression && size > COMPRESSION_THRESHOLD && m_version >= QVCP_COMPRESSION_VERSION &&
                   (m_flags & QVCP_MF_STREAM) == 0 && !(isBinary() && m_dataSize % WIRE_ALIGNMENT != 0);
   if (compress)
      out = CompressMessage(out, size);
   return reinterpret_cast<QVCP_MESSAGE *>(out);
}

QVCPMessage *QVCPMessage::deserialize(const QVCP_MESSAGE *raw, size_t bufferSize, int version)
{
   if (raw == nullptr || bufferSize < QVCP_HEADER_SIZE)
      return nullptr;
   uint32_t size = ReadHeader(raw).size;
   if (size < QVCP_HEADER_SIZE || size > bufferSize)
      return nullptr;
   QVCPMessage *msg = new QVCPMessage(raw, size, version);
   if (msg->m_version == QVCP_INVALID_VERSION)
   {
      delete msg;
      return nullptr;
   }
   return msg;
}

QVCPMessage *QVCPMessage::deserialize(const QVCP_MESSAGE *raw, int version)
{
   return (raw != nullptr) ? deserialize(raw, ReadHeader(raw).size, version) : nullptr;
}

QVCPMessage::QVCPMessage(const QVCP_MESSAGE *raw, size_t size, int version)
    : m_code(0), m_flags(0), m_id(0), m_fields(nullptr), m_version(version), m_data(nullptr), m_dataSize(0),
      m_pool(ReceiveRegionSize(size))
{
   RawHeader header = ReadHeader(raw);
   m_code = header.code;
   m_flags = header.flags;
   m_id = header.id;
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(raw);
   if (!MessageInternals::load(this, bytes, size, header.numFields))
      m_version = QVCP_INVALID_VERSION;
}

bool MessageInternals::load(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t numFields)
{
   if (msg->isControl())
      return true;  // header only: numFields carries the control data
   if (msg->isBinary())
      return loadBinary(msg, raw, size, numFields);
   return loadFields(msg, raw, size, numFields);
}

bool MessageInternals::loadBinary(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t length)
{
   bool inflate = (msg->m_flags & (QVCP_MF_COMPRESSED | QVCP_MF_STREAM)) == QVCP_MF_COMPRESSED &&
                  msg->m_version >= QVCP_COMPRESSION_VERSION;
   if (inflate ? !CanInflateTo(size, length) : length > size - QVCP_HEADER_SIZE)
      return false;
   msg->m_data = static_cast<uint8_t *>(msg->m_pool.allocate(length));
   if (msg->m_data == nullptr)
      return false;
   msg->m_dataSize = length;
   if (!inflate)
   {
      memcpy(msg->m_data, raw + QVCP_HEADER_SIZE, length);
      return true;
   }
   msg->m_flags &= ~QVCP_MF_COMPRESSED;
   return InflatePayload(raw, size, msg->m_data, length, true);
}

QVCPMessage *MessageInternals::adoptBinary(uint8_t *block, size_t blockSize, size_t size, int version)
{
   static_assert(MemoryPool::HEADER_SIZE <= QVCP_HEADER_SIZE, "the region header takes the message header's place");
   if (size < QVCP_HEADER_SIZE || size > blockSize)
      return nullptr;
   RawHeader header = ReadHeader(block);
   bool inflate = (header.flags & (QVCP_MF_COMPRESSED | QVCP_MF_STREAM)) == QVCP_MF_COMPRESSED &&
                  version >= QVCP_COMPRESSION_VERSION;
   if ((header.flags & (QVCP_MF_BINARY | QVCP_MF_CONTROL)) != QVCP_MF_BINARY || inflate ||
       header.numFields > size - QVCP_HEADER_SIZE)
      return nullptr;
   auto *msg = new QVCPMessage(header.code, header.id, version);
   msg->m_flags = header.flags;
   if (!qv::containers::MemoryPoolInternals::adoptRegion(msg->m_pool, block, blockSize))
   {
      delete msg;
      return nullptr;
   }
   msg->m_data = block + QVCP_HEADER_SIZE;
   msg->m_dataSize = header.numFields;
   return msg;
}

bool MessageInternals::loadFields(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t count)
{
   const uint8_t *area = raw + QVCP_HEADER_SIZE;
   size_t areaSize = size - QVCP_HEADER_SIZE;
   if ((msg->m_flags & QVCP_MF_COMPRESSED) != 0 && msg->m_version >= QVCP_COMPRESSION_VERSION)
   {
      msg->m_flags &= ~QVCP_MF_COMPRESSED;
      if (size < COMPRESSED_DATA_OFFSET)
         return false;
      uint32_t plainSize = ReadBE32(raw + COMPRESSED_SIZE_OFFSET);
      if (plainSize < QVCP_HEADER_SIZE || !CanInflateTo(size, plainSize - QVCP_HEADER_SIZE))
         return false;
      areaSize = plainSize - QVCP_HEADER_SIZE;
      uint8_t *inflated = static_cast<uint8_t *>(msg->m_pool.allocate(areaSize));
      if (inflated == nullptr || !InflatePayload(raw, size, inflated, areaSize, false))
         return false;
      area = inflated;
   }
   if (static_cast<int32_t>(count) < 1)
      return true;
   return parseFields(msg, area, areaSize, count);
}

bool MessageInternals::parseFields(QVCPMessage *msg, const uint8_t *area, size_t areaSize, uint32_t count)
{
   // Every field takes at least its 8 common bytes.
   if (count > areaSize / FIELD_HEADER_SIZE)
      return false;
   // A block is its header and the field, rounded up to 8; the fields lie inside the area,
   // so one pool block of this size holds them all.
   // A short message's listed index is filled on the way and comes first.
   bool listed = count <= LIST_INDEX_LIMIT;
   if (count > (SIZE_MAX - areaSize - sizeof(ListIndex)) / (FIELD_BLOCK_HEADER + WIRE_ALIGNMENT - 1))
      return false;  // only where size_t is narrower than the wire's sizes
   size_t room = count * (FIELD_BLOCK_HEADER + WIRE_ALIGNMENT - 1) + areaSize + (listed ? sizeof(ListIndex) : 0);
   uint8_t *next = static_cast<uint8_t *>(msg->m_pool.allocate(room));
   if (next == nullptr)
      return false;
   ListIndex *list = nullptr;
   if (listed)
   {
      static_assert(sizeof(ListIndex) % WIRE_ALIGNMENT == 0, "field blocks after the index stay aligned");
      list = reinterpret_cast<ListIndex *>(next);
      next += sizeof(ListIndex);
      ClearList(list);
   }
   // A long message's table is filled on the way as well, while each block is at hand; of
   // fields with the same identifier the later one stays, in its place.
   FieldTable *table = listed ? nullptr : newTable(msg, count);
   if (!listed && table == nullptr)
      return false;
   // Identifiers may repeat unless each is above the one before (the common order) or
   // they fall on distinct bits of seen (id % 64).
   uint64_t seen = 0;
   bool ascending = true;
   bool mayRepeat = false;
   uint32_t lastKey = 0;
   Field *last = nullptr;
   bool padded = msg->m_version >= QVCP_ALIGNMENT_VERSION;
   size_t pos = 0;
   for (uint32_t i = 0; i < count; i++)
   {
      uint64_t fieldSize;
      if (CheckWireField(area, areaSize, pos, &fieldSize) != WIRE_FIELD_OK)
         return false;
      Field *f = reinterpret_cast<Field *>(next);
      next += Align8(FIELD_BLOCK_HEADER + fieldSize);
      SwapField(reinterpret_cast<uint8_t *>(&f->field), area + pos, fieldSize);
      uint32_t key = ReadBE32(area + pos);
      f->key = key;
      f->size = static_cast<uint32_t>(fieldSize);
      // Linked in order; finishIndex gives the first field the index.
      f->prev = last;
      f->next = nullptr;
      if (last != nullptr)
         last->next = f;
      else
         msg->m_fields = f;
      if (listed)
      {
         list->keys[i] = key;
         list->fields[i] = f;
      }
      else
      {
         Field *old = PutInTable(table, f);
         if (old != nullptr)
            unlinkField(msg, old);
      }
      uint64_t bit = PresenceBit(key);
      ascending = ascending & ((i == 0) | (key > lastKey));
      mayRepeat = mayRepeat | ((seen & bit) != 0);
      seen |= bit;
      lastKey = key;
      last = f;
      pos += padded ? Align8(fieldSize) : fieldSize;
   }
   if (!listed)
   {
      table->last = last;
      SetTableOf(msg->m_fields, table);
   }
   else if (!(mayRepeat && !ascending))
   {
      list->count = count;
      list->present = seen;
      SetListOf(msg->m_fields, list);
   }
   else
   {
      finishIndex(msg, count, true);
   }
   return true;
}
