/* Raw message I/O: one whole wire message at a time from a channel into a caller's buffer,
 * raw binary messages with optional zlib compression, and the protocol version probe. */
#include <qorvel.h>

#include <zlib.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "platform/socket.h"
#include "protocol/message_field.h"
#include "protocol/raw_io.h"

using namespace qv::protocol;

namespace {

/* Largest message size that the receive result (a signed 32-bit number) can report. */
constexpr uint32_t MAX_REPORTABLE_SIZE = uint32_t(INT_MAX) & ~uint32_t(WIRE_ALIGNMENT - 1);

/* zlib level of raw binary messages. */
constexpr int RAW_COMPRESSION_LEVEL = 9;

/* A compressed form is used only when it is more than this many bytes smaller. */
constexpr uint64_t RAW_COMPRESSION_MIN_SAVING = 4;

/* Bytes beyond the data that a heap block for a raw message gets: the header and room for
 * the padding. */
constexpr size_t RAW_MESSAGE_EXTRA = 24;

/* Version byte of a capabilities reply: the top byte of its numFields word. */
constexpr int CAPS_VERSION_SHIFT = 24;

/* Version of a peer that does not tell its own. */
constexpr int DEFAULT_PEER_VERSION = 1;

void Consume(QVCP_BUFFER *buffer, uint32_t count)
{
   buffer->held -= count;
   buffer->position = (buffer->held == 0) ? 0 : buffer->position + count;
}

/* One read that ends when at least one more byte is held, such that the first need bytes
 * of the held ones can lie together in data (held bytes move to the start when they would
 * not). Returns 1 when bytes came, else the receive result that ends the call. */
int Fill(AbstractCommChannel *channel, QVCP_BUFFER *buffer, uint32_t need, uint32_t timeout)
{
   if (buffer->position + need > QVCP_BUFFER_DATA_SIZE)
   {
      memmove(buffer->data, buffer->data + buffer->position, buffer->held);
      buffer->position = 0;
   }
   uint32_t end = buffer->position + buffer->held;
   uint32_t room = QVCP_BUFFER_DATA_SIZE - end;
   int n = channel->recv(buffer->data + end, room, timeout);
   if (n > 0 && uint32_t(n) <= room)
   {
      buffer->held += uint32_t(n);
      return 1;
   }
   if (n == qv::platform::RECV_TIMEOUT)
      return QVCP_RECV_TIMEOUT;
   // A channel that claims more than the room it was given has failed.
   return (n > 0) ? -1 : n;
}

/* Makes *msgBuffer (and the decryption buffer) hold size bytes when maxMsgSize allows it;
 * false when the message has to be skipped. */
bool SizeBuffers(QVCP_MESSAGE **msgBuffer, uint32_t *bufferSize, uint8_t **decryptionBuffer, uint32_t size,
                 uint32_t maxMsgSize)
{
   if (size <= *bufferSize)
      return true;
   if (size > maxMsgSize || size > MAX_REPORTABLE_SIZE || *bufferSize >= maxMsgSize)
      return false;
   void *grown = realloc(*msgBuffer, size);
   if (grown == nullptr)
      return false;
   *msgBuffer = static_cast<QVCP_MESSAGE *>(grown);
   *bufferSize = size;
   if (decryptionBuffer != nullptr)
   {
      // Without a decryption buffer of the message's size an encrypted message fails to
      // decrypt, which the null pointer tells.
      void *scratch = realloc(*decryptionBuffer, size);
      if (scratch == nullptr)
      {
         free(*decryptionBuffer);
         *decryptionBuffer = nullptr;
      }
      else
      {
         *decryptionBuffer = static_cast<uint8_t *>(scratch);
      }
   }
   return true;
}

/* The result for a whole message of size bytes in msg: decrypted when it is encrypted. */
int Finish(QVCP_MESSAGE *msg, uint32_t size, QVCPEncryptionContext **context, uint8_t **decryptionBuffer)
{
   const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
   if (ReadBE16(raw) != CMD_ENCRYPTED_MESSAGE)
      return int(size);
   if (context == nullptr || *context == nullptr)
      return QVCP_RECV_DECRYPTION_FAILED;
   if (*context == QVCP_PASSTHROUGH_CONTEXT)
      return int(size);
   if (decryptionBuffer == nullptr || *decryptionBuffer == nullptr)
      return QVCP_RECV_DECRYPTION_FAILED;
   // Both buffers hold at least the size bytes of the envelope.
   if (!(*context)->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(msg), *decryptionBuffer, size))
      return QVCP_RECV_DECRYPTION_FAILED;
   // The plain message lies within the envelope's bytes, or it is not one.
   uint32_t plain = ReadBE32(raw + SIZE_FIELD_OFFSET);
   if (plain < QVCP_HEADER_SIZE || plain > size)
      return QVCP_RECV_DECRYPTION_FAILED;
   return int(plain);
}

/* Takes a message of more than QVCP_BUFFER_DATA_SIZE bytes in pieces (into msg, or to
 * nowhere when msg is null). A failure loses the message's start, so what is held then
 * goes too. */
int TakeInPieces(AbstractCommChannel *channel, QVCP_BUFFER *buffer, uint8_t *msg, uint32_t size, uint32_t timeout)
{
   uint32_t taken = 0;
   for (;;)
   {
      uint32_t n = (buffer->held < size - taken) ? buffer->held : size - taken;
      if (msg != nullptr)
         memcpy(msg + taken, buffer->data + buffer->position, n);
      Consume(buffer, n);
      taken += n;
      if (taken == size)
         return 1;
      int rc = Fill(channel, buffer, QVCP_BUFFER_DATA_SIZE, timeout);
      if (rc <= 0 || rc == QVCP_RECV_TIMEOUT)
      {
         QVCPInitBuffer(buffer);
         return rc;
      }
   }
}

}  // namespace

void QVCPInitBuffer(QVCP_BUFFER *buffer)
{
   if (buffer == nullptr)
      return;
   buffer->held = 0;
   buffer->position = 0;
}

int RecvQVCPMessageEx(AbstractCommChannel *channel, QVCP_MESSAGE **msgBuffer, QVCP_BUFFER *buffer, uint32_t *bufferSize,
                      QVCPEncryptionContext **context, uint8_t **decryptionBuffer, uint32_t timeout,
                      uint32_t maxMsgSize)
{
   if (buffer == nullptr)
      return QVCP_RECV_INVALID_ARGUMENT;
   if (msgBuffer == nullptr)
   {
      QVCPInitBuffer(buffer);
      return QVCP_RECV_CLOSED;
   }
   if (channel == nullptr || *msgBuffer == nullptr || bufferSize == nullptr || *bufferSize < QVCP_HEADER_SIZE)
      return QVCP_RECV_INVALID_ARGUMENT;
   // A state no call leaves behind is dropped rather than trusted.
   if (buffer->held > QVCP_BUFFER_DATA_SIZE || buffer->position > QVCP_BUFFER_DATA_SIZE - buffer->held)
      QVCPInitBuffer(buffer);

   // The size is taken only from a complete header.
   while (buffer->held < QVCP_HEADER_SIZE)
   {
      int rc = Fill(channel, buffer, QVCP_HEADER_SIZE, timeout);
      if (rc != 1)
         return rc;
   }
   uint32_t size = ReadBE32(buffer->data + buffer->position + SIZE_FIELD_OFFSET);
   if (!IsValidMessageSize(size))
   {
      QVCPInitBuffer(buffer);
      return QVCP_RECV_INVALID_SIZE;
   }
   bool skip = !SizeBuffers(msgBuffer, bufferSize, decryptionBuffer, size, maxMsgSize);
   uint8_t *msg = reinterpret_cast<uint8_t *>(*msgBuffer);
   if (skip)
      memcpy(msg, buffer->data + buffer->position, QVCP_HEADER_SIZE);

   if (size <= QVCP_BUFFER_DATA_SIZE)
   {
      // Nothing is taken until the whole message is held, so a time-out loses nothing.
      while (buffer->held < size)
      {
         int rc = Fill(channel, buffer, size, timeout);
         if (rc != 1)
            return rc;
      }
      if (!skip)
         memcpy(msg, buffer->data + buffer->position, size);
      Consume(buffer, size);
   }
   else
   {
      int rc = TakeInPieces(channel, buffer, skip ? nullptr : msg, size, timeout);
      if (rc != 1)
         return rc;
   }
   return skip ? QVCP_RECV_TOO_LARGE : Finish(*msgBuffer, size, context, decryptionBuffer);
}

int RecvQVCPMessageEx(SOCKET s, QVCP_MESSAGE **msgBuffer, QVCP_BUFFER *buffer, uint32_t *bufferSize,
                      QVCPEncryptionContext **context, uint8_t **decryptionBuffer, uint32_t timeout,
                      uint32_t maxMsgSize)
{
   return WithSocketChannel(s, [&](AbstractCommChannel *channel) {
      return RecvQVCPMessageEx(channel, msgBuffer, buffer, bufferSize, context, decryptionBuffer, timeout, maxMsgSize);
   });
}

int RecvQVCPMessage(AbstractCommChannel *channel, QVCP_MESSAGE *msgBuffer, QVCP_BUFFER *buffer, uint32_t bufferSize,
                    QVCPEncryptionContext **context, uint8_t *decryptionBuffer, uint32_t timeout)
{
   if (msgBuffer == nullptr)
      return RecvQVCPMessageEx(channel, nullptr, buffer, nullptr, context, nullptr, timeout, bufferSize);
   // maxMsgSize equals the buffer's size, so neither buffer is ever reallocated.
   QVCP_MESSAGE *msg = msgBuffer;
   uint32_t size = bufferSize;
   uint8_t *scratch = decryptionBuffer;
   return RecvQVCPMessageEx(channel, &msg, buffer, &size, context, &scratch, timeout, bufferSize);
}

int RecvQVCPMessage(SOCKET s, QVCP_MESSAGE *msgBuffer, QVCP_BUFFER *buffer, uint32_t bufferSize,
                    QVCPEncryptionContext **context, uint8_t *decryptionBuffer, uint32_t timeout)
{
   return WithSocketChannel(s, [&](AbstractCommChannel *channel) {
      return RecvQVCPMessage(channel, msgBuffer, buffer, bufferSize, context, decryptionBuffer, timeout);
   });
}

namespace {

/* Deflates dataSize bytes of data into the compressed layout behind header (whose
 * uncompressed size is messageSize); false, with the payload area left to be overwritten,
 * when that is not possible or not worth it. */
bool CompressRaw(uint8_t *msg, const void *data, size_t dataSize, uint32_t messageSize)
{
   uint64_t room = Align8(dataSize);
   if (room <= COMPRESSED_DATA_OFFSET - QVCP_HEADER_SIZE)
      return false;
   room -= COMPRESSED_DATA_OFFSET - QVCP_HEADER_SIZE;
   // The compressed bytes go where the data would lie: input inside that area is not taken.
   const uint8_t *in = static_cast<const uint8_t *>(data);
   if (in < msg + messageSize && in + dataSize > msg)
      return false;

   z_stream z = {};
   if (deflateInit(&z, RAW_COMPRESSION_LEVEL) != Z_OK)
      return false;
   z.next_in = const_cast<Bytef *>(in);
   z.avail_in = uInt(dataSize);
   z.next_out = msg + COMPRESSED_DATA_OFFSET;
   z.avail_out = uInt(room);
   bool finished = (deflate(&z, Z_FINISH) == Z_STREAM_END);
   uint64_t compressed = COMPRESSED_DATA_OFFSET + z.total_out;
   deflateEnd(&z);
   uint64_t compressed8 = Align8(compressed);
   if (!finished || compressed8 + RAW_COMPRESSION_MIN_SAVING >= messageSize)
      return false;

   WriteBE16(msg + 2, ReadBE16(msg + 2) | QVCP_MF_COMPRESSED);
   WriteBE32(msg + SIZE_FIELD_OFFSET, uint32_t(compressed8));
   WriteBE32(msg + COMPRESSED_SIZE_OFFSET, messageSize);
   memset(msg + compressed, 0, size_t(compressed8 - compressed));
   return true;
}

}  // namespace

QVCP_MESSAGE *CreateRawQVCPMessage(uint16_t code, uint32_t id, uint16_t flags, const void *data, size_t dataSize,
                                   QVCP_MESSAGE *buffer, bool allowCompression)
{
   if (dataSize > UINT32_MAX - RAW_MESSAGE_EXTRA || (data == nullptr && dataSize > 0))
      return nullptr;
   uint32_t messageSize = uint32_t(QVCP_HEADER_SIZE + Align8(dataSize));
   QVCP_MESSAGE *out = (buffer != nullptr) ? buffer : static_cast<QVCP_MESSAGE *>(malloc(dataSize + RAW_MESSAGE_EXTRA));
   if (out == nullptr)
      return nullptr;
   uint8_t *msg = reinterpret_cast<uint8_t *>(out);
   WriteBE16(msg, code);
   WriteBE16(msg + 2, flags | QVCP_MF_BINARY);
   WriteBE32(msg + SIZE_FIELD_OFFSET, messageSize);
   WriteBE32(msg + 8, id);
   WriteBE32(msg + 12, uint32_t(dataSize));
   if (allowCompression && CompressRaw(msg, data, dataSize, messageSize))
      return out;
   if (dataSize > 0)
      memmove(msg + QVCP_HEADER_SIZE, data, dataSize);
   memset(msg + QVCP_HEADER_SIZE + dataSize, 0, messageSize - QVCP_HEADER_SIZE - dataSize);
   return out;
}

int qv::protocol::SendRawMessage(AbstractCommChannel *channel, QVCP_MESSAGE *msg, QVCPEncryptionContext *context,
                                 Mutex *mutex)
{
   if (context == nullptr)
      return channel->send(msg, ReadBE32(reinterpret_cast<const uint8_t *>(msg) + SIZE_FIELD_OFFSET), mutex);
   QVCP_ENCRYPTED_MESSAGE *envelope = context->encryptMessage(msg);
   if (envelope == nullptr)
      return -1;
   int rc = channel->send(envelope, ReadBE32(reinterpret_cast<const uint8_t *>(envelope) + SIZE_FIELD_OFFSET), mutex);
   free(envelope);
   return rc;
}

bool QVCPGetPeerProtocolVersion(AbstractCommChannel *channel, int *version, Mutex *mutex)
{
   if (channel == nullptr || version == nullptr)
      return false;
   uint8_t request[QVCP_HEADER_SIZE] = {};
   WriteBE16(request, CMD_GET_QVCP_CAPS);
   WriteBE16(request + 2, QVCP_MF_CONTROL);
   WriteBE32(request + SIZE_FIELD_OFFSET, QVCP_HEADER_SIZE);
   if (channel->send(request, sizeof(request), mutex) != int(QVCP_HEADER_SIZE))
      return false;

   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   QVCP_MESSAGE *reply = static_cast<QVCP_MESSAGE *>(malloc(QVCP_HEADER_SIZE));
   bool ok = false;
   if (buffer != nullptr && reply != nullptr)
   {
      QVCPInitBuffer(buffer);
      uint32_t replySize = QVCP_HEADER_SIZE;
      int rc =
          RecvQVCPMessageEx(channel, &reply, buffer, &replySize, nullptr, nullptr, QVCP_CAPS_TIMEOUT, QVCP_HEADER_SIZE);
      const uint8_t *raw = reinterpret_cast<const uint8_t *>(reply);
      if (rc == int(QVCP_HEADER_SIZE) && ReadBE16(raw) == CMD_QVCP_CAPS && (ReadBE16(raw + 2) & QVCP_MF_CONTROL) != 0)
      {
         *version = int(ReadBE32(raw + 12) >> CAPS_VERSION_SHIFT);
         ok = true;
      }
      else if (rc == int(QVCP_HEADER_SIZE) || rc == QVCP_RECV_TOO_LARGE || rc == QVCP_RECV_TIMEOUT)
      {
         *version = DEFAULT_PEER_VERSION;
         ok = true;
      }
   }
   free(reply);
   free(buffer);
   return ok;
}

bool QVCPGetPeerProtocolVersion(SOCKET s, int *version, Mutex *mutex)
{
   return WithSocketChannel(
       s, [&](AbstractCommChannel *channel) { return QVCPGetPeerProtocolVersion(channel, version, mutex); });
}
