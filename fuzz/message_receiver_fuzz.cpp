/* Fuzz target for the message receiver: a byte stream, split at chosen points, is fed to a
 * receiver over an in-memory channel, with or without an encryption context.
 *
 * Byte 0 picks the buffer's initial size (bits 0-1) and maximum size (bits 2-3), whether
 * the receiver has an encryption context (bit 4), and whether the stream's messages are
 * first put into envelopes with that context (bit 5). Plain streams follow as a sequence
 * of pieces, each a length byte and that many bytes (a length of 0 makes one read time
 * out); an enveloped stream is the input's messages one after another, split into pieces
 * whose lengths cycle through the input's bytes. Reading goes on until the channel is
 * exhausted or the receiver reports a protocol error, which must then stay without
 * further reads. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <deque>
#include <vector>

namespace {

volatile uint32_t g_sink;

using Bytes = std::vector<uint8_t>;

/* Initial and maximum buffer sizes that byte 0 picks from (0: the initial size). */
const size_t INITIAL_SIZES[] = {16, 64, 4096, 100};
const size_t MAX_SIZES[] = {0, 256, 65536, 1 << 20};

constexpr uint8_t WITH_CONTEXT = 0x10;
constexpr uint8_t ENVELOPED = 0x20;

/* Reads one receiver call may make before the harness stops it: more would be a hang. */
constexpr int MAX_READS_PER_CALL = 1 << 16;

/* Time-out result of a channel read. */
constexpr int READ_TIMEOUT = -2;

void Check(bool condition)
{
   if (!condition)
      abort();
}

/* Hands out the pieces in order, a piece longer than the room in several reads; an empty
 * piece is one timed-out read. Closed once all are out. */
class PieceChannel : public AbstractCommChannel
{
public:
   std::deque<Bytes> pieces;
   int reads = 0;

   int send(const void *, size_t, Mutex *) override { return -1; }
   int recv(void *buffer, size_t size, uint32_t) override
   {
      reads++;
      Check(size > 0);
      if (pieces.empty())
         return 0;
      Bytes &piece = pieces.front();
      if (piece.empty())
      {
         pieces.pop_front();
         return READ_TIMEOUT;
      }
      size_t n = (size < piece.size()) ? size : piece.size();
      memcpy(buffer, piece.data(), n);
      piece.erase(piece.begin(), piece.begin() + static_cast<ptrdiff_t>(n));
      if (piece.empty())
         pieces.pop_front();
      return static_cast<int>(n);
   }
   int poll(uint32_t, bool) override { return 1; }
   int shutdown() override { return 0; }
   void close() override {}

protected:
   ~PieceChannel() override = default;
};

uint32_t SizeAt(const uint8_t *p)
{
   return (uint32_t(p[4]) << 24) | (uint32_t(p[5]) << 16) | (uint32_t(p[6]) << 8) | p[7];
}

/* The input's whole messages, each in an envelope of context (a message it refuses goes
 * as it is), then whatever bytes are left. */
Bytes Envelop(QVCPEncryptionContext *context, const uint8_t *data, size_t size)
{
   Bytes stream;
   while (size >= QVCP_HEADER_SIZE)
   {
      uint32_t length = SizeAt(data);
      if (length < QVCP_HEADER_SIZE || length % 8 != 0 || length > size)
         break;
      QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(malloc(length));
      memcpy(msg, data, length);
      QVCP_ENCRYPTED_MESSAGE *envelope = context->encryptMessage(msg);
      const uint8_t *out = (envelope != nullptr) ? reinterpret_cast<uint8_t *>(envelope) : data;
      size_t outSize = (envelope != nullptr) ? SizeAt(out) : length;
      stream.insert(stream.end(), out, out + outSize);
      free(envelope);
      free(msg);
      data += length;
      size -= length;
   }
   stream.insert(stream.end(), data, data + size);
   return stream;
}

void Split(PieceChannel *channel, const uint8_t *data, size_t size, bool enveloped, const Bytes &stream)
{
   if (!enveloped)
   {
      while (size > 0)
      {
         size_t length = (data[0] < size - 1) ? data[0] : size - 1;
         channel->pieces.emplace_back(data + 1, data + 1 + length);
         data += 1 + length;
         size -= 1 + length;
      }
      return;
   }
   for (size_t at = 0, i = 0; at < stream.size(); i++)
   {
      size_t length = (size > 0 && data[i % size] > 0) ? data[i % size] : 1;
      length = (length < stream.size() - at) ? length : stream.size() - at;
      channel->pieces.emplace_back(stream.begin() + at, stream.begin() + at + length);
      at += length;
   }
}

QVCPEncryptionContext *Context()
{
   static QVCPEncryptionContext *context = [] {
      InitCryptoLib(QVCP_ALL_CIPHERS);
      return QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256);
   }();
   return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0)
      return 0;
   uint8_t options = data[0];
   size_t initialSize = INITIAL_SIZES[options & 3];
   size_t maxSize = (MAX_SIZES[(options >> 2) & 3] != 0) ? MAX_SIZES[(options >> 2) & 3] : initialSize;
   QVCPEncryptionContext *context = (options & (WITH_CONTEXT | ENVELOPED)) ? Context() : nullptr;
   bool enveloped = (options & ENVELOPED) != 0 && context != nullptr;
   data++;
   size--;

   PieceChannel *channel = new PieceChannel;
   Split(channel, data, size, enveloped, enveloped ? Envelop(context, data, size) : Bytes());
   CommChannelMessageReceiver *receiver = new CommChannelMessageReceiver(channel, initialSize, maxSize);
   if (options & WITH_CONTEXT)
      receiver->setEncryptionContext(context);

   for (;;)
   {
      int readsBefore = channel->reads;
      MessageReceiverResult result;
      QVCPMessage *msg = receiver->readMessage(0, &result);
      Check((msg != nullptr) == (result == MSGRECV_SUCCESS));
      Check(channel->reads - readsBefore <= MAX_READS_PER_CALL);
      if (msg != nullptr)
      {
         g_sink += msg->getCode() + msg->getId() + static_cast<uint32_t>(msg->getBinaryDataSize());
         delete msg;
         continue;
      }
      if (result == MSGRECV_PROTOCOL_ERROR)
      {
         int reads = channel->reads;
         delete receiver->readMessage(0, &result);
         Check(result == MSGRECV_PROTOCOL_ERROR && channel->reads == reads);
         break;
      }
      if (result == MSGRECV_CLOSED)
         break;
      Check(result == MSGRECV_TIMEOUT || result == MSGRECV_DECRYPTION_FAILURE);
   }
   delete receiver;
   channel->decRefCount();
   return 0;
}
