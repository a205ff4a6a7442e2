/* Message forms of containers and addresses: integer arrays and IP addresses as single
 * fields, string lists, string maps, string sets and address lists as a count field and
 * one field (or two) per entry. */
#include "protocol/message_forms.h"
#include "protocol/message_internals.h"

#include "containers/string_list_internals.h"

#include "platform/resolver.h"

using namespace qv::protocol;
using namespace qv::platform;
using qv::containers::StringListInternals;
using Field = QVCPMessage::Field;

namespace {

/* Bytes of one element of an integer array field. */
constexpr size_t INT32_ELEMENT_BYTES = 4;

}  // namespace

/* ---- Integer arrays ---- */

void QVCPMessage::setFieldFromInt32Array(uint32_t fieldId, const IntegerArray<unsigned int> *values)
{
   if (values == nullptr)
      setField(fieldId, static_cast<const uint8_t *>(nullptr), 0);
   else
      setFieldFromInt32Array(fieldId, static_cast<size_t>(values->size()), values->getBuffer());
}

size_t QVCPMessage::getFieldAsInt32Array(uint32_t fieldId, IntegerArray<unsigned int> *values) const
{
   values->clear();
   const QVCP_MESSAGE_FIELD *field = MessageInternals::findField(this, fieldId, QVCP_FT_BINARY);
   if (field == nullptr)
      return 0;
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(field) + FIELD_VALUE_OFFSET;
   size_t count = field->data.binary.length / INT32_ELEMENT_BYTES;
   for (size_t i = 0; i < count; i++)
      if (values->add(ReadBE32(bytes + i * INT32_ELEMENT_BYTES)) < 0)
         break;
   return static_cast<size_t>(values->size());
}

/* ---- IP addresses ---- */

void QVCPMessage::setField(uint32_t fieldId, const InetAddress &addr)
{
   QVCP_MESSAGE_FIELD *field = MessageInternals::createField(this, fieldId, QVCP_FT_INETADDR, INETADDR_FIELD_SIZE);
   if (field == nullptr)
      return;
   memset(&field->data.inetaddr, 0, sizeof(field->data.inetaddr));
   if (addr.getFamily() == QV_AF_INET)
   {
      field->data.inetaddr.family = QVCP_INETADDR_IPV4;
      field->data.inetaddr.addr.v4 = addr.getAddressV4();
   }
   else if (addr.getFamily() == QV_AF_INET6)
   {
      field->data.inetaddr.family = QVCP_INETADDR_IPV6;
      memcpy(field->data.inetaddr.addr.v6, addr.getAddressV6(), IPV6_BYTES);
   }
   else
   {
      field->data.inetaddr.family = QVCP_INETADDR_UNSPEC;
   }
   field->data.inetaddr.maskBits = static_cast<uint8_t>(addr.getMaskBits());
}

InetAddress QVCPMessage::getFieldAsInetAddress(uint32_t fieldId) const
{
   const Field *f = MessageInternals::findField(this, fieldId);
   if (f == nullptr)
      return InetAddress::INVALID;
   const QVCP_MESSAGE_FIELD &field = f->field;
   if (field.type == QVCP_FT_INT32)
      return InetAddress(static_cast<uint32_t>(field.data.int32));
   if (field.type != QVCP_FT_INETADDR)
      return InetAddress::INVALID;
   InetAddress addr;
   if (field.data.inetaddr.family == QVCP_INETADDR_IPV4)
      addr = InetAddress(field.data.inetaddr.addr.v4);
   else if (field.data.inetaddr.family == QVCP_INETADDR_IPV6)
      addr = InetAddress(field.data.inetaddr.addr.v6);
   addr.setMaskBits(field.data.inetaddr.maskBits);
   return addr;
}

void InetAddressList::fillMessage(QVCPMessage *msg, uint32_t countFieldId, uint32_t baseFieldId) const
{
   msg->setField(countFieldId, static_cast<int32_t>(m_list.size()));
   for (int i = 0; i < m_list.size(); i++)
      msg->setField(baseFieldId + static_cast<uint32_t>(i), *m_list.get(i));
}

/* ---- String lists ---- */

StringList::StringList(const QVCPMessage *msg, uint32_t baseId, uint32_t countId)
    : m_count(0), m_allocated(0), m_values(nullptr)
{
   int32_t count = BackedCount(msg, static_cast<int32_t>(msg->getFieldAsUInt32(countId)), 1);
   StringListInternals::initSlots(this, count);
   if (m_allocated < count)
      return;
   for (int32_t i = 0; i < count; i++)
      m_values[i] = msg->getFieldAsString(baseId + static_cast<uint32_t>(i), &m_pool);
   m_count = count;
}

void StringList::fillMessage(QVCPMessage *msg, uint32_t baseId, uint32_t countId) const
{
   msg->setField(countId, static_cast<uint32_t>(m_count));
   for (int32_t i = 0; i < m_count; i++)
      msg->setField(baseId + static_cast<uint32_t>(i), (m_values[i] != nullptr) ? m_values[i] : L"");
}

/* ---- String maps ---- */

namespace {

struct MapFill
{
   QVCPMessage *msg;
   uint32_t id;  // field of the next entry's key
};

EnumerationCallbackResult FillEntry(const wchar_t *key, const void *value, void *context)
{
   MapFill *fill = static_cast<MapFill *>(context);
   fill->msg->setField(fill->id, key);
   fill->msg->setField(fill->id + 1, static_cast<const wchar_t *>(value));
   fill->id += 2;
   return CONTINUE_ENUMERATION;
}

}  // namespace

void StringMap::fillMessage(QVCPMessage *msg, uint32_t sizeFieldId, uint32_t baseFieldId) const
{
   msg->setField(sizeFieldId, static_cast<uint32_t>(size()));
   MapFill fill = {msg, baseFieldId};
   forEach(FillEntry, &fill);
}

void StringMap::loadMessage(const QVCPMessage *msg, uint32_t sizeFieldId, uint32_t baseFieldId)
{
   int32_t count = BackedCount(msg, static_cast<int32_t>(msg->getFieldAsUInt32(sizeFieldId)), 1);
   uint32_t id = baseFieldId;
   for (int32_t i = 0; i < count; i++, id += 2)
      setPreallocated(msg->getFieldAsString(id), msg->getFieldAsString(id + 1));
}

/* ---- String sets ---- */

namespace {

struct SetFill
{
   QVCPMessage *msg;
   uint32_t id;  // field of the next member
};

bool FillMember(const wchar_t *member, void *context)
{
   SetFill *fill = static_cast<SetFill *>(context);
   fill->msg->setField(fill->id++, member);
   return true;
}

}  // namespace

void StringSet::fillMessage(QVCPMessage *msg, uint32_t baseId, uint32_t countId) const
{
   SetFill fill = {msg, baseId};
   forEach(FillMember, &fill);
   msg->setField(countId, static_cast<uint32_t>(size()));
}

void StringSet::addAllFromMessage(const QVCPMessage *msg, uint32_t baseId, uint32_t countId, bool clearFirst,
                                  bool toUppercase)
{
   if (clearFirst)
      clear();
   int32_t count = BackedCount(msg, static_cast<int32_t>(msg->getFieldAsUInt32(countId)), 1);
   for (int32_t i = 0; i < count; i++)
   {
      wchar_t *text = msg->getFieldAsString(baseId + static_cast<uint32_t>(i));
      if (text == nullptr)
         continue;
      if (toUppercase)
         qv_wcsupr(text);
      addPreallocated(text);
   }
}
