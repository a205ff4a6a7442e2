/* Helpers shared by the message forms of containers, addresses and tables. */
#ifndef QORVEL_PROTOCOL_MESSAGE_FORMS_H
#define QORVEL_PROTOCOL_MESSAGE_FORMS_H

#include <qv_protocol.h>

namespace qv {
namespace protocol {

/* A count read from a peer's message, taken as a signed number, bounded so that every
 * entry it counts could be backed by fieldsPerEntry fields of the message: 0 when it is
 * not positive, otherwise at most the message's field count / fieldsPerEntry. Readers
 * therefore never loop or allocate beyond the size of what they were sent. */
inline int32_t BackedCount(const QVCPMessage *msg, int32_t count, size_t fieldsPerEntry)
{
   if (count <= 0)
      return 0;
   size_t limit = msg->getFieldIds(nullptr, 0) / fieldsPerEntry;
   return (static_cast<size_t>(count) > limit) ? static_cast<int32_t>(limit) : count;
}

}  // namespace protocol
}  // namespace qv

#endif
