/* Internal layout of a message's fields: the pool block that holds one field with its
 * index entry, the index configuration, the wire sizes of the field types and the
 * big-endian reads and writes of the wire format. */
#ifndef QORVEL_PROTOCOL_MESSAGE_FIELD_H
#define QORVEL_PROTOCOL_MESSAGE_FIELD_H

#include <qv_protocol.h>

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* One field's pool block. The field keeps the wire layout with every number in host byte
 * order (INT32-array elements inside BINARY values stay big-endian, as on the wire). */
struct QVCPMessage::Field
{
   Field *prev;  // the fields in order: the wire order and that of every walk
   Field *next;
   void *index;    // on the first field only: its ListIndex, or its FieldTable with bit 0 set
   uint32_t key;   // the field identifier, the index key
   uint32_t size;  // wire size of the field (the block holds at least this much after the header)
   QVCP_MESSAGE_FIELD field;
};

namespace qv {
namespace protocol {

/* Fields up to which the index is a plain list rather than a hash table. */
constexpr size_t LIST_INDEX_LIMIT = 16;

/* The identifiers and blocks of a listed index in field order, side by side, so that a
 * lookup scans one short array instead of following the links from block to block. It
 * is a pool block of its own, found through the first field. */
struct ListIndex
{
   uint32_t count;
   uint32_t keys[LIST_INDEX_LIMIT];  // those past count are zero
   QVCPMessage::Field *fields[LIST_INDEX_LIMIT];
   uint64_t present;  // bit id % 64 of every identifier in keys (and maybe of removed ones)
};

/* Makes list empty. A few plain stores: a memset of the whole array would be a string
 * instruction whose start-up costs more than the lookups it serves. */
inline void ClearList(ListIndex *list)
{
   static const uint32_t zero[LIST_INDEX_LIMIT] = {};
   list->count = 0;
   memcpy(list->keys, zero, sizeof(list->keys));
   list->present = 0;
}

/* The bit of key in ListIndex::present. */
inline uint64_t PresenceBit(uint32_t key)
{
   return uint64_t(1) << (key % 64);
}

/* Position of key in list, or -1. All the identifiers are compared at once, four to a
 * vector and without an early exit. */
inline int FindInList(const ListIndex *list, uint32_t key)
{
   static_assert(LIST_INDEX_LIMIT < 32 && LIST_INDEX_LIMIT % 4 == 0, "whole vectors, hits in one word");
   typedef uint32_t Lanes __attribute__((vector_size(16)));
   constexpr uint32_t LANES = sizeof(Lanes) / sizeof(uint32_t);
   const Lanes wanted = {key, key, key, key};
   const Lanes lanes = {1, 2, 4, 8};  // the bit of each lane in the result
   Lanes hits = {0, 0, 0, 0};
#pragma GCC unroll 4
   for (uint32_t i = 0; i < LIST_INDEX_LIMIT; i += LANES)
   {
      Lanes keys;
      memcpy(&keys, &list->keys[i], sizeof(keys));
      hits |= reinterpret_cast<Lanes>(keys == wanted) & (lanes << i);
   }
   uint32_t found = (hits[0] | hits[1] | hits[2] | hits[3]) & ((uint32_t(1) << list->count) - 1);
   return (found != 0) ? __builtin_ctz(found) : -1;
}

/* Bytes of a block in front of the field. */
constexpr size_t FIELD_BLOCK_HEADER = offsetof(QVCPMessage::Field, field);

/* The next field in order, or null. */
inline QVCPMessage::Field *NextField(const QVCPMessage::Field *field)
{
   return field->next;
}

/* A hash table of identifiers, the index of a message with more fields than a list
 * holds: open addressing with linear probing, a power of two of slots of which at most
 * half are used, and the slot found by a multiplicative hash of the identifier (field
 * identifiers are small numbers, often consecutive, which it spreads evenly). The
 * multiplier is random for each process, so that a peer cannot choose identifiers that all
 * fall on one run of slots and make a large message cost quadratic time. It is a pool
 * block of its own with the slots after it. */
struct FieldSlot
{
   QVCPMessage::Field *field;  // null: free
   uint32_t key;
};

struct FieldTable
{
   uint64_t multiplier;       // odd, the process's own
   uint32_t count;            // fields in the table
   uint32_t shift;            // 32 - log2 of the slot count
   QVCPMessage::Field *last;  // the last field in order
   FieldSlot *slots;

   uint32_t mask() const { return (uint32_t(0xFFFFFFFF) >> shift); }
};

/* The home slot of key: the top bits of its 64-bit product with the table's multiplier. */
inline uint32_t SlotOf(uint32_t key, const FieldTable *table)
{
   return static_cast<uint32_t>((uint64_t(key) * table->multiplier) >> (32 + table->shift));
}

/* The field of key in table, or null. */
inline QVCPMessage::Field *FindInTable(const FieldTable *table, uint32_t key)
{
   uint32_t mask = table->mask();
   for (uint32_t i = SlotOf(key, table);; i = (i + 1) & mask)
   {
      const FieldSlot &slot = table->slots[i];
      if (slot.field == nullptr || slot.key == key)
         return slot.field;
   }
}

/* Puts field into the slot of its identifier; returns the field it takes the place of, or
 * null when the identifier is new. */
inline QVCPMessage::Field *PutInTable(FieldTable *table, QVCPMessage::Field *field)
{
   uint32_t key = field->key;
   uint32_t mask = table->mask();
   for (uint32_t i = SlotOf(key, table);; i = (i + 1) & mask)
   {
      FieldSlot &slot = table->slots[i];
      if (slot.field == nullptr)
      {
         slot.field = field;
         slot.key = key;
         table->count++;
         return nullptr;
      }
      if (slot.key == key)
      {
         QVCPMessage::Field *old = slot.field;
         slot.field = field;
         return old;
      }
   }
}

/* True when the index whose first field is head is a hash table, not a list. */
inline bool IsHashed(const QVCPMessage::Field *head)
{
   return head != nullptr && (reinterpret_cast<uintptr_t>(head->index) & 1) != 0;
}

/* The array of a listed index whose first field is head. */
inline ListIndex *ListOf(const QVCPMessage::Field *head)
{
   return static_cast<ListIndex *>(head->index);
}

inline void SetListOf(QVCPMessage::Field *head, ListIndex *list)
{
   head->index = list;
}

/* The table of a hashed index whose first field is head. */
inline FieldTable *TableOf(const QVCPMessage::Field *head)
{
   return reinterpret_cast<FieldTable *>(reinterpret_cast<uintptr_t>(head->index) & ~uintptr_t(1));
}

inline void SetTableOf(QVCPMessage::Field *head, FieldTable *table)
{
   static_assert(alignof(FieldTable) > 1, "bit 0 of a table's address is free for the tag");
   head->index = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(table) | 1);
}

/* The block that holds field. */
inline QVCPMessage::Field *BlockOf(QVCP_MESSAGE_FIELD *field)
{
   return reinterpret_cast<QVCPMessage::Field *>(reinterpret_cast<uint8_t *>(field) - FIELD_BLOCK_HEADER);
}

/* Bytes of the common part of every field, and where STRING and BINARY values begin. */
constexpr size_t FIELD_HEADER_SIZE = 8;
constexpr size_t FIELD_VALUE_OFFSET = 12;

/* Wire sizes of the fixed-size types; an unknown type is kept as its 8 common bytes. */
constexpr size_t INT16_FIELD_SIZE = 8;
constexpr size_t INT32_FIELD_SIZE = 12;
constexpr size_t INT64_FIELD_SIZE = 16;
constexpr size_t FLOAT_FIELD_SIZE = 16;
constexpr size_t INETADDR_FIELD_SIZE = 32;
constexpr size_t UNKNOWN_FIELD_SIZE = 8;

/* Offsets inside an INETADDR value (from the field's start) of the family byte and the
 * mask bits, and the bytes of the IPv4 number. */
constexpr size_t INETADDR_FAMILY_OFFSET = 24;
constexpr size_t INETADDR_MASK_OFFSET = 25;
constexpr size_t IPV4_BYTES = 4;
constexpr size_t IPV6_BYTES = 16;

/* Messages and fields are padded to multiples of this. */
constexpr size_t WIRE_ALIGNMENT = 8;

/* Offset of the size field in a message header; the size is known once the 8 bytes up
 * to its end have arrived. */
constexpr size_t SIZE_FIELD_OFFSET = 4;
constexpr size_t SIZE_FIELD_END = 8;

/* Offsets in a compressed message of the uncompressed size and of the zlib stream. */
constexpr size_t COMPRESSED_SIZE_OFFSET = 16;
constexpr size_t COMPRESSED_DATA_OFFSET = 20;

/* Largest length a STRING or BINARY value may have: its field size must fit 32 bits. */
constexpr uint64_t MAX_VALUE_LENGTH = UINT32_MAX - FIELD_VALUE_OFFSET - (WIRE_ALIGNMENT - 1);

/* A header's size field can start a message: at least a header, and whole multiples of
 * the wire alignment. */
inline bool IsValidMessageSize(uint64_t size)
{
   return size >= QVCP_HEADER_SIZE && size % WIRE_ALIGNMENT == 0;
}

inline uint64_t Align8(uint64_t n)
{
   return (n + WIRE_ALIGNMENT - 1) & ~static_cast<uint64_t>(WIRE_ALIGNMENT - 1);
}

inline bool IsVariableSize(int type)
{
   return type == QVCP_FT_STRING || type == QVCP_FT_BINARY;
}

/* Wire size of a field of a fixed-size type. */
inline size_t FixedFieldSize(int type)
{
   switch (type)
   {
      case QVCP_FT_INT16: return INT16_FIELD_SIZE;
      case QVCP_FT_INT32: return INT32_FIELD_SIZE;
      case QVCP_FT_INT64: return INT64_FIELD_SIZE;
      case QVCP_FT_FLOAT: return FLOAT_FIELD_SIZE;
      case QVCP_FT_INETADDR: return INETADDR_FIELD_SIZE;
      default: return UNKNOWN_FIELD_SIZE;
   }
}

/* Bytes a field of wire size n takes on the wire with the version's padding. */
inline uint64_t PaddedFieldSize(uint64_t n, int version)
{
   return (version >= QVCP_ALIGNMENT_VERSION) ? Align8(n) : n;
}

/* Byte order. The wire is big-endian; reads and writes go through memcpy, since fields of
 * version 1 messages need not be aligned. */
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
inline uint16_t Swap16(uint16_t v)
{
   return v;
}
inline uint32_t Swap32(uint32_t v)
{
   return v;
}
inline uint64_t Swap64(uint64_t v)
{
   return v;
}
#else
inline uint16_t Swap16(uint16_t v)
{
   return __builtin_bswap16(v);
}
inline uint32_t Swap32(uint32_t v)
{
   return __builtin_bswap32(v);
}
inline uint64_t Swap64(uint64_t v)
{
   return __builtin_bswap64(v);
}
#endif

inline uint16_t ReadBE16(const uint8_t *p)
{
   uint16_t v;
   memcpy(&v, p, sizeof(v));
   return Swap16(v);
}

inline uint32_t ReadBE32(const uint8_t *p)
{
   uint32_t v;
   memcpy(&v, p, sizeof(v));
   return Swap32(v);
}

inline uint64_t ReadBE64(const uint8_t *p)
{
   uint64_t v;
   memcpy(&v, p, sizeof(v));
   return Swap64(v);
}

inline void WriteBE16(uint8_t *p, uint16_t v)
{
   v = Swap16(v);
   memcpy(p, &v, sizeof(v));
}

inline void WriteBE32(uint8_t *p, uint32_t v)
{
   v = Swap32(v);
   memcpy(p, &v, sizeof(v));
}

inline void WriteBE64(uint8_t *p, uint64_t v)
{
   v = Swap64(v);
   memcpy(p, &v, sizeof(v));
}

/* Copies count 16-bit units from src to dst, swapping the bytes of each (host order to
 * big-endian and back). Either side may be unaligned. Eight units at a time go through
 * one vector. */
inline void CopySwapped16(uint8_t *dst, const uint8_t *src, size_t count)
{
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
   memcpy(dst, src, count * 2);
#else
   typedef uint16_t Units __attribute__((vector_size(16)));
   constexpr size_t UNITS_PER_VECTOR = sizeof(Units) / sizeof(uint16_t);
   size_t i = 0;
   for (; i + UNITS_PER_VECTOR <= count; i += UNITS_PER_VECTOR)
   {
      Units v;
      memcpy(&v, src + 2 * i, sizeof(v));
      v = (v << 8) | (v >> 8);
      memcpy(dst + 2 * i, &v, sizeof(v));
   }
   for (; i < count; i++)
   {
      uint16_t v;
      memcpy(&v, src + 2 * i, sizeof(v));
      WriteBE16(dst + 2 * i, v);
   }
#endif
}

/* Outcome of checking a wire field against the bytes that hold it. */
enum WireFieldCheck
{
   WIRE_FIELD_OK,
   WIRE_FIELD_NO_HEADER,  // its 8 common bytes are not all there
   WIRE_FIELD_NO_LENGTH,  // a STRING or BINARY whose length word is not all there
   WIRE_FIELD_TOO_LONG    // its value runs past the end
};

/* Checks the field at offset pos of the areaSize bytes at area and gives its wire size
 * (without padding) in *fieldSize; nothing outside the area is read. */
inline WireFieldCheck CheckWireField(const uint8_t *area, size_t areaSize, size_t pos, uint64_t *fieldSize)
{
   if (areaSize < FIELD_HEADER_SIZE || pos > areaSize - FIELD_HEADER_SIZE)
      return WIRE_FIELD_NO_HEADER;
   int type = area[pos + 4];
   *fieldSize = FixedFieldSize(type);
   if (IsVariableSize(type))
   {
      if (areaSize < FIELD_VALUE_OFFSET || pos > areaSize - FIELD_VALUE_OFFSET)
         return WIRE_FIELD_NO_LENGTH;
      *fieldSize = FIELD_VALUE_OFFSET + static_cast<uint64_t>(ReadBE32(area + pos + 8));
   }
   return (*fieldSize > areaSize - pos) ? WIRE_FIELD_TOO_LONG : WIRE_FIELD_OK;
}

/* The header fields of a raw message in host order. */
struct RawHeader
{
   uint16_t code;
   uint16_t flags;
   uint32_t size;
   uint32_t id;
   uint32_t numFields;
};

inline RawHeader ReadHeader(const void *raw)
{
   const uint8_t *p = static_cast<const uint8_t *>(raw);
   return RawHeader{ReadBE16(p), ReadBE16(p + 2), ReadBE32(p + 4), ReadBE32(p + 8), ReadBE32(p + 12)};
}

}  // namespace protocol
}  // namespace qv

#endif
