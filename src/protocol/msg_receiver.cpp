/* The message receiver's buffer: cutting whole messages out of the received bytes by the
 * size in their headers, growing or skipping for large ones, decryption and
 * deserialization. */
#include <qv_protocol.h>
#include <qv_crypto.h>
#include <qv_log.h>

#include "containers/memory_pool_internals.h"
#include "platform/socket.h"
#include "protocol/message_internals.h"
#include "protocol/protocol_figures.h"
#include "protocol/receiver_internals.h"

#include <new>
#include <stdlib.h>
#include <string.h>

using qv::protocol::IsValidMessageSize;
using qv::protocol::ReadBE16;
using qv::protocol::ReadBE32;
using qv::protocol::SIZE_FIELD_END;
using qv::protocol::SIZE_FIELD_OFFSET;

namespace {

/* Messages are deserialized for this protocol version, so compressed ones are taken. */
constexpr int RECEIVE_VERSION = 4;

/* readBytes result of a closed stream. */
constexpr int READ_CLOSED = 0;

/* Smallest binary message that takes the receive buffer over instead of being copied out
 * of it: below it a copy costs less than a change of buffers. */
constexpr size_t TAKE_BUFFER_MIN_SIZE = 32768;

/* Debug level of messages dropped for want of an encryption context. */
constexpr int DROP_DEBUG_LEVEL = 6;

/* The pass-through marker of the raw I/O functions: a context pointer of all bits set,
 * which decrypts nothing. */
QVCPEncryptionContext *const PASS_THROUGH_CONTEXT =
    reinterpret_cast<QVCPEncryptionContext *>(~static_cast<uintptr_t>(0));

}  // namespace

using qv::protocol::ReceiverInternals;
using CutResult = ReceiverInternals::CutResult;

AbstractMessageReceiver::AbstractMessageReceiver(size_t initialSize, size_t maxSize)
{
   // The buffer must hold at least a header, or no size could ever be read.
   m_initialSize = (initialSize < QVCP_HEADER_SIZE) ? QVCP_HEADER_SIZE : initialSize;
   m_size = m_initialSize;
   m_maxSize = (maxSize < m_initialSize) ? m_initialSize : maxSize;
   m_buffer = static_cast<uint8_t *>(malloc(m_size));
   m_decryptionBuffer = nullptr;
   m_lastEncrypted = false;
   m_encryptionContext = nullptr;
   m_dataSize = 0;
   m_bytesToSkip = 0;
   m_start = 0;
   m_protocolError = false;
   m_figures = new (std::nothrow) qv::protocol::ReceiverFigures();
   if (m_figures != nullptr)
      qv::log::MetricsRegister(&m_figures->source, qv::log::METRICS_RECEIVER, L"receiver",
                               ReceiverInternals::readFigures, this);
}

AbstractMessageReceiver::~AbstractMessageReceiver()
{
   if (m_figures != nullptr)
   {
      qv::log::MetricsUnregister(&m_figures->source);
      delete m_figures;
   }
   free(m_buffer);
   free(m_decryptionBuffer);
}

void ReceiverInternals::nameTransport(AbstractMessageReceiver *r, const wchar_t *transport)
{
   if (r->m_figures != nullptr)
      qv::log::MetricsRename(&r->m_figures->source, transport);
}

void ReceiverInternals::readFigures(const void *object, qv::log::MetricsSink *sink)
{
   const auto *r = static_cast<const AbstractMessageReceiver *>(object);
   sink->add("messages", static_cast<int64_t>(r->m_figures->messages.load(std::memory_order_relaxed)));
   sink->add("bytes", static_cast<int64_t>(r->m_figures->bytes.load(std::memory_order_relaxed)));
   sink->add("decryption_failures",
             static_cast<int64_t>(r->m_figures->decryptionFailures.load(std::memory_order_relaxed)));
}

const wchar_t *AbstractMessageReceiver::resultToText(MessageReceiverResult result)
{
   switch (result)
   {
      case MSGRECV_SUCCESS: return L"MSGRECV_SUCCESS";
      case MSGRECV_CLOSED: return L"MSGRECV_CLOSED";
      case MSGRECV_TIMEOUT: return L"MSGRECV_TIMEOUT";
      case MSGRECV_COMM_FAILURE: return L"MSGRECV_COMM_FAILURE";
      case MSGRECV_DECRYPTION_FAILURE: return L"MSGRECV_DECRYPTION_FAILURE";
      case MSGRECV_PROTOCOL_ERROR: return L"MSGRECV_PROTOCOL_ERROR";
   }
   return L"UNKNOWN";
}

/* Moves the bytes held to the front of the buffer. */
void ReceiverInternals::compact(AbstractMessageReceiver *r)
{
   if (r->m_start == 0)
      return;
   if (r->m_dataSize > 0)
      memmove(r->m_buffer, r->m_buffer + r->m_start, r->m_dataSize);
   r->m_start = 0;
}

void ReceiverInternals::consume(AbstractMessageReceiver *r, size_t size)
{
   r->m_dataSize -= size;
   r->m_start = (r->m_dataSize > 0) ? r->m_start + size : 0;
}

/* Reallocates the buffer to exactly size bytes; the scratch buffer is made anew on its
 * next use. False (buffer unchanged) when memory runs out. */
bool ReceiverInternals::grow(AbstractMessageReceiver *r, size_t size)
{
   compact(r);
   uint8_t *buffer = static_cast<uint8_t *>(realloc(r->m_buffer, size));
   if (buffer == nullptr)
      return false;
   r->m_buffer = buffer;
   r->m_size = size;
   free(r->m_decryptionBuffer);
   r->m_decryptionBuffer = nullptr;
   return true;
}

CutResult ReceiverInternals::decryptAndParse(AbstractMessageReceiver *r, uint8_t *raw, size_t size, QVCPMessage **msg)
{
   if (r->m_encryptionContext == nullptr || r->m_encryptionContext == PASS_THROUGH_CONTEXT)
   {
      qvlog_debug(DROP_DEBUG_LEVEL,
                  L"AbstractMessageReceiver: encrypted message of %u bytes dropped (no encryption context)",
                  static_cast<uint32_t>(size));
      return CutResult::DROPPED;
   }
   if (r->m_decryptionBuffer == nullptr)
   {
      r->m_decryptionBuffer = static_cast<uint8_t *>(malloc(r->m_size));
      if (r->m_decryptionBuffer == nullptr)
         return CutResult::DECRYPTION_FAILED;
   }
   if (!r->m_encryptionContext->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(raw), r->m_decryptionBuffer,
                                               size))
      return CutResult::DECRYPTION_FAILED;
   // The plain message lies where the envelope was; it must not claim more than that.
   *msg = QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(raw), size, RECEIVE_VERSION);
   return (*msg != nullptr) ? CutResult::MESSAGE : CutResult::PROTOCOL_ERROR;
}

/* A large binary message that fills the buffer on its own becomes the owner of the buffer,
 * which saves copying its data; the receiver goes on with a new buffer of the same size
 * (from the thread's region cache, where a released message of that size left its
 * block). False, with nothing changed, when the message is not such a one or no new buffer
 * can be had. */
bool ReceiverInternals::takeBuffer(AbstractMessageReceiver *r, size_t size, QVCPMessage **msg)
{
   if (r->m_start != 0 || r->m_dataSize != size || size < TAKE_BUFFER_MIN_SIZE || r->m_size - size > size ||
       (ReadBE16(r->m_buffer + 2) & (QVCP_MF_BINARY | QVCP_MF_CONTROL)) != QVCP_MF_BINARY)
      return false;
   auto *fresh = static_cast<uint8_t *>(qv::containers::MemoryPoolInternals::acquireRegion(r->m_size));
   if (fresh == nullptr)
      return false;
   *msg = qv::protocol::MessageInternals::adoptBinary(r->m_buffer, r->m_size, size, RECEIVE_VERSION);
   if (*msg == nullptr)
   {
      free(fresh);
      return false;
   }
   r->m_buffer = fresh;
   r->m_dataSize = 0;
   r->m_start = 0;
   return true;
}

CutResult ReceiverInternals::cutMessage(AbstractMessageReceiver *r, QVCPMessage **msg)
{
   *msg = nullptr;
   if (r->m_dataSize < SIZE_FIELD_END || r->m_buffer == nullptr)
      return CutResult::NEED_BYTES;

   uint8_t *raw = r->m_buffer + r->m_start;
   size_t size = ReadBE32(raw + SIZE_FIELD_OFFSET);
   if (!IsValidMessageSize(size))
      return CutResult::PROTOCOL_ERROR;
   if (r->m_dataSize < size)
   {
      // A message that fits the buffer gets its room when the bytes held move to the front.
      if (size <= r->m_size)
         return CutResult::NEED_BYTES;
      if (size > r->m_maxSize && size > MSGRECV_LARGEST_MESSAGE_SIZE)
         return CutResult::PROTOCOL_ERROR;
      // Too large for the buffer, or no memory to grow it: its bytes are dropped as they come.
      if (size > r->m_maxSize || !grow(r, size))
      {
         r->m_bytesToSkip = size - r->m_dataSize;
         r->m_dataSize = 0;
         r->m_start = 0;
      }
      return CutResult::NEED_BYTES;
   }

   CutResult rc;
   r->m_lastEncrypted = (ReadBE16(raw) == CMD_ENCRYPTED_MESSAGE);
   if (r->m_lastEncrypted)
      rc = decryptAndParse(r, raw, size, msg);
   else if (takeBuffer(r, size, msg))
      return CutResult::MESSAGE;
   else
   {
      *msg = QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(raw), size, RECEIVE_VERSION);
      rc = (*msg != nullptr) ? CutResult::MESSAGE : CutResult::PROTOCOL_ERROR;
   }
   // A message that does not parse stays, so that the caller can look at it.
   if (rc != CutResult::PROTOCOL_ERROR)
      consume(r, size);
   return rc;
}

QVCPMessage *AbstractMessageReceiver::readMessage(uint32_t timeout, MessageReceiverResult *result)
{
   MessageReceiverResult dummy;
   if (result == nullptr)
      result = &dummy;

   // A decrypted message that failed has replaced its envelope: the bytes held are looked at
   // no more, so that every later read gives the same answer.
   if (m_protocolError)
   {
      *result = MSGRECV_PROTOCOL_ERROR;
      return nullptr;
   }
   for (;;)
   {
      QVCPMessage *msg;
      switch (ReceiverInternals::cutMessage(this, &msg))
      {
         case CutResult::MESSAGE:
            if (m_figures != nullptr)
               qv::log::SingleWriterIncrement(m_figures->messages);
            *result = MSGRECV_SUCCESS;
            return msg;
         case CutResult::DROPPED:
            if (m_figures != nullptr)
               qv::log::SingleWriterIncrement(m_figures->decryptionFailures);
            continue;  // the next message may be complete already
         case CutResult::DECRYPTION_FAILED:
            if (m_figures != nullptr)
               qv::log::SingleWriterIncrement(m_figures->decryptionFailures);
            *result = MSGRECV_DECRYPTION_FAILURE;
            return nullptr;
         case CutResult::PROTOCOL_ERROR:
            m_protocolError = true;
            *result = MSGRECV_PROTOCOL_ERROR;
            return nullptr;
         case CutResult::NEED_BYTES: break;
      }

      if (m_buffer == nullptr)
      {
         *result = MSGRECV_COMM_FAILURE;
         return nullptr;
      }
      ReceiverInternals::compact(this);
      size_t room = m_size - m_dataSize;
      int n = readBytes(m_buffer + m_dataSize, room, timeout);
      if (n <= 0 || static_cast<size_t>(n) > room)
      {
         *result = (n == READ_CLOSED)                  ? MSGRECV_CLOSED
                   : (n == qv::platform::RECV_TIMEOUT) ? MSGRECV_TIMEOUT
                                                       : MSGRECV_COMM_FAILURE;
         return nullptr;
      }

      size_t count = static_cast<size_t>(n);
      if (m_figures != nullptr)
         qv::log::SingleWriterIncrement(m_figures->bytes, count);
      if (m_bytesToSkip == 0)
         m_dataSize += count;
      else if (count <= m_bytesToSkip)
         m_bytesToSkip -= count;
      else
      {
         // The read ran past the skipped message: its tail starts the next one.
         m_dataSize = count - m_bytesToSkip;
         memmove(m_buffer, m_buffer + m_bytesToSkip, m_dataSize);
         m_bytesToSkip = 0;
      }
   }
}
