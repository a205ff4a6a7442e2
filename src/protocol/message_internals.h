/* The one friend of QVCPMessage: the operations on a message's fields, index and pool that
 * its units share (message.cpp, message_index.cpp, message_wire.cpp). Each takes the
 * message it works on. */
#ifndef QORVEL_PROTOCOL_MESSAGE_INTERNALS_H
#define QORVEL_PROTOCOL_MESSAGE_INTERNALS_H

#include "protocol/message_field.h"

namespace qv::protocol {

struct MessageInternals
{
   using Field = QVCPMessage::Field;

   /* ---- The field index (message_index.cpp) */

   /* Adds field to the index, replacing a field of the same identifier. */
   static void indexField(QVCPMessage *msg, Field *field);
   /* Bulk form: appendField links field after last (null: first) with no check; once all
    * count fields are in, finishIndex drops repeated identifiers (when mayRepeat; the
    * later field stays) and hashes a long list. */
   static void appendField(QVCPMessage *msg, Field *field, Field *last);
   static void finishIndex(QVCPMessage *msg, size_t count, bool mayRepeat);
   /* Takes field out of the order; the first field keeps the index. */
   static void unlinkField(QVCPMessage *msg, Field *field);
   /* Turns the list into a hash table over the same order, sized for expected fields; of
    * fields with the same identifier only the last stays. */
   static void hashFields(QVCPMessage *msg, size_t expected);
   /* An empty table with at least two slots per expected field; null when the pool has
    * no room. */
   static FieldTable *newTable(QVCPMessage *msg, size_t expected);
   /* Moves the table to one sized for expected fields. */
   static FieldTable *growTable(QVCPMessage *msg, size_t expected);
   /* The field of the hashed index whose first field is head, or null. */
   static Field *findHashed(const Field *head, uint32_t fieldId);
   /* The field of that identifier, or null; inline, as every getter asks for one. */
   static Field *findField(const QVCPMessage *msg, uint32_t fieldId);
   /* The field when it exists and has that type, otherwise null. */
   static const QVCP_MESSAGE_FIELD *findField(const QVCPMessage *msg, uint32_t fieldId, int type);

   /* ---- Fields (message.cpp) */

   /* A new indexed field of the type and wire size, its common part filled in and its
    * value not; null on a binary message or when the pool has no room. */
   static QVCP_MESSAGE_FIELD *createField(QVCPMessage *msg, uint32_t fieldId, int type, size_t fieldSize);
   /* A new BINARY field of length bytes; returns its value bytes (not yet written). */
   static uint8_t *createBinaryField(QVCPMessage *msg, uint32_t fieldId, size_t length);
   static void setString(QVCPMessage *msg, uint32_t fieldId, const wchar_t *value, size_t length);

   /* ---- The wire form (message_wire.cpp) */

   /* Fills the message (constructed with the header's code, id, flags and version) from
    * the size wire bytes at raw; false when they do not form a valid message. */
   static bool load(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t numFields);
   static bool loadBinary(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t length);
   /* The binary message of size wire bytes at the start of block (a heap block of
    * blockSize bytes), taking the block as a region of the message's pool so that its data
    * stays where it is; null, with the block untouched, unless the bytes form a binary
    * message whose data is used as it stands (not compressed). On success the block
    * belongs to the message. */
   static QVCPMessage *adoptBinary(uint8_t *block, size_t blockSize, size_t size, int version);
   static bool loadFields(QVCPMessage *msg, const uint8_t *raw, size_t size, uint32_t count);
   static bool parseFields(QVCPMessage *msg, const uint8_t *area, size_t areaSize, uint32_t count);
};

inline MessageInternals::Field *MessageInternals::findField(const QVCPMessage *msg, uint32_t fieldId)
{
   Field *head = msg->m_fields;
   if (head == nullptr)
      return nullptr;
   if (IsHashed(head))
      return findHashed(head, fieldId);
   const ListIndex *list = ListOf(head);
   int i = FindInList(list, fieldId);
   return (i >= 0) ? list->fields[i] : nullptr;
}

inline const QVCP_MESSAGE_FIELD *MessageInternals::findField(const QVCPMessage *msg, uint32_t fieldId, int type)
{
   const Field *f = findField(msg, fieldId);
   return (f != nullptr && f->field.type == type) ? &f->field : nullptr;
}

}  // namespace qv::protocol

#endif
