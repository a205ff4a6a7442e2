/* Fuzz target for reading named pipes: a stream of messages, cut into records at chosen
 * points, goes through a sequenced-packet socket pair into a PipeMessageReceiver, whose
 * reads are shorter or longer than the records. Every message must come out whole and in
 * order, however the records fall.
 *
 * Byte 0 picks the receiver's initial buffer size; the next bytes (at most MAX_PAYLOAD)
 * are the payload of the messages (each message takes the next slice, its length from
 * the payload's own bytes) and, cycling through the same bytes, the lengths of the
 * records. */
#include <qorvel.h>

#include <arpa/inet.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace {

volatile size_t g_sink;

using Bytes = std::vector<uint8_t>;

const size_t INITIAL_SIZES[] = {16, 64, 100, 4096};
constexpr size_t MAX_SIZE = 1 << 20;

/* Records are 1 to 64 times this many bytes, by the input's bytes. */
constexpr size_t RECORD_UNIT = 16;
constexpr size_t RECORD_UNITS = 64;

/* Payload bytes used at most: more makes runs slow without reaching anything new. */
constexpr size_t MAX_PAYLOAD = 160;

void Check(bool condition)
{
   if (!condition)
      abort();
}

/* Reads every message that is complete now; false once the stream has ended. */
bool Drain(PipeMessageReceiver &receiver, const std::vector<Bytes> &expected, size_t *next, uint32_t timeout)
{
   for (;;)
   {
      MessageReceiverResult result;
      std::unique_ptr<QVCPMessage> msg(receiver.readMessage(timeout, &result));
      if (msg == nullptr)
      {
         Check(result == MSGRECV_TIMEOUT || result == MSGRECV_CLOSED);
         return result != MSGRECV_CLOSED;
      }
      Check(*next < expected.size());
      size_t size = 0;
      const uint8_t *data = msg->getBinaryFieldPtr(1, &size);
      const Bytes &want = expected[*next];
      Check(size == want.size() && (size == 0 || memcmp(data, want.data(), size) == 0));
      Check(msg->getId() == *next);
      (*next)++;
      g_sink += size;
   }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 2)
      return 0;
   size_t initialSize = INITIAL_SIZES[data[0] % (sizeof(INITIAL_SIZES) / sizeof(INITIAL_SIZES[0]))];
   const uint8_t *payload = data + 1;
   size_t payloadSize = (size - 1 < MAX_PAYLOAD) ? size - 1 : MAX_PAYLOAD;

   // The messages and the stream of their wire forms.
   std::vector<Bytes> messages;
   Bytes stream;
   for (size_t offset = 0; offset < payloadSize;)
   {
      size_t length = payload[offset] % 64;
      if (length > payloadSize - offset)
         length = payloadSize - offset;
      Bytes body(payload + offset, payload + offset + length);
      offset += (length > 0) ? length : 1;
      QVCPMessage msg(0x0101, static_cast<uint32_t>(messages.size()));
      msg.setField(1, body.data(), body.size());
      QVCP_MESSAGE *raw = msg.serialize();
      Check(raw != nullptr);
      const uint8_t *bytes = reinterpret_cast<const uint8_t *>(raw);
      stream.insert(stream.end(), bytes, bytes + ntohl(raw->size));
      free(raw);
      messages.push_back(body);
   }

   int ends[2];
   if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, ends) != 0)
      return 0;
   PipeMessageReceiver receiver(ends[0], initialSize, MAX_SIZE);
   size_t next = 0;
   size_t sent = 0;
   for (size_t record = 0; sent < stream.size(); record++)
   {
      size_t length = (payload[record % payloadSize] % RECORD_UNITS + 1) * RECORD_UNIT;
      if (length > stream.size() - sent)
         length = stream.size() - sent;
      ssize_t rc = send(ends[1], stream.data() + sent, length, MSG_NOSIGNAL);
      if (rc < 0)
      {
         // The queue is full: take what has arrived, then send the same record again.
         Check(errno == EAGAIN);
         Check(Drain(receiver, messages, &next, 0));
         record--;
         continue;
      }
      Check(static_cast<size_t>(rc) == length);
      sent += length;
   }
   shutdown(ends[1], SHUT_WR);
   while (Drain(receiver, messages, &next, 0))
   {}
   Check(next == messages.size());
   close(ends[1]);
   close(ends[0]);  // the descriptor's records are dropped with it
   return 0;
}
