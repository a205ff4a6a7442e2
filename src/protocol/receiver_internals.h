/* The one friend of AbstractMessageReceiver: the cutting of messages out of its buffer,
 * shared by the receiver's units. */
#ifndef QORVEL_PROTOCOL_RECEIVER_INTERNALS_H
#define QORVEL_PROTOCOL_RECEIVER_INTERNALS_H

#include <qv_protocol.h>

#include "log/metrics_registry.h"

namespace qv::protocol {

/* The one friend of AbstractMessageReceiver: the cutting of messages out of its buffer. */
struct ReceiverInternals
{
   /* What one look at the buffer gives. */
   enum class CutResult
   {
      MESSAGE,            // *msg is the next message
      NEED_BYTES,         // the next message is not complete yet
      DROPPED,            // a message was removed without a result
      DECRYPTION_FAILED,  // an encrypted message was removed, undecryptable
      PROTOCOL_ERROR      // the bytes held do not form a message
   };

   static CutResult cutMessage(AbstractMessageReceiver *r, QVCPMessage **msg);
   static CutResult decryptAndParse(AbstractMessageReceiver *r, uint8_t *raw, size_t size, QVCPMessage **msg);
   static bool takeBuffer(AbstractMessageReceiver *r, size_t size, QVCPMessage **msg);
   static void consume(AbstractMessageReceiver *r, size_t size);
   static void compact(AbstractMessageReceiver *r);
   static bool grow(AbstractMessageReceiver *r, size_t size);

   /* Names the receiver's entry in the library's figures by its transport; for the
    * constructors of the subclasses. */
   static void nameTransport(AbstractMessageReceiver *r, const wchar_t *transport);
   /* Hands the receiver's figures to the registry (a MetricsReader). */
   static void readFigures(const void *receiver, qv::log::MetricsSink *sink);
};

}  // namespace qv::protocol

#endif
