/* Fuzz target for the raw receive loop. The first byte picks the limits: the starting
 * message buffer size, the largest message accepted and the context (none, the
 * pass-through marker, or a session context whose key the input cannot know, so that
 * envelopes go through decryption and fail there). The rest is the stream as the channel
 * delivers it: records of a length byte and that many bytes (cut short at the end of the
 * input), each handed out over as many reads as the receiver's room needs, and a length
 * of 0 standing for a read that timed out. After the input the channel reports a closed
 * connection. Every result must be one the interface defines, and a message reported
 * must lie within the buffer with the size its header gives. */
#include <qorvel.h>

#include "record_channel.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile uint32_t g_sink;

/* Message buffer sizes and limits the option byte picks from. */
const uint32_t START_SIZES[] = {16, 24, 128, 4096};
const uint32_t MAX_SIZES[] = {16, 64, 4096, 1 << 20};

/* Calls in one input beyond which the loop is taken to hang. */
constexpr int MAX_CALLS = 100000;

void Check(bool condition)
{
   if (!condition)
      abort();
}

uint32_t BE32(const uint8_t *p)
{
   return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size == 0)
      return 0;
   uint8_t options = data[0];
   uint32_t bufferSize = START_SIZES[options & 3];
   uint32_t maxMsgSize = MAX_SIZES[(options >> 2) & 3];
   static QVCPEncryptionContext *session = QVCPEncryptionContext::create(QVCP_ALL_CIPHERS);
   QVCPEncryptionContext *context = (options & 0x10) ? QVCP_PASSTHROUGH_CONTEXT : (options & 0x20) ? session : nullptr;

   RecordChannel *channel = new RecordChannel(data + 1, size - 1);
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   QVCPInitBuffer(buffer);
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(malloc(bufferSize));
   uint8_t *scratch = static_cast<uint8_t *>(malloc(bufferSize));
   for (int calls = 0;; calls++)
   {
      Check(calls < MAX_CALLS);
      int rc = RecvQVCPMessageEx(channel, &msg, buffer, &bufferSize, &context, &scratch, 0, maxMsgSize);
      Check(bufferSize >= QVCP_HEADER_SIZE && (bufferSize <= maxMsgSize || bufferSize == START_SIZES[options & 3]));
      Check(buffer->held <= QVCP_BUFFER_DATA_SIZE && buffer->position <= QVCP_BUFFER_DATA_SIZE - buffer->held);
      const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
      if (rc >= int(QVCP_HEADER_SIZE))
      {
         Check(uint32_t(rc) <= bufferSize && BE32(raw + 4) == uint32_t(rc) && rc % 8 == 0);
         // Every byte of the message is read, so a report beyond the buffer shows up.
         uint32_t sum = 0;
         for (int i = 0; i < rc; i++)
            sum += raw[i];
         g_sink = g_sink + sum;
         continue;
      }
      Check(rc == QVCP_RECV_TOO_LARGE || rc == QVCP_RECV_DECRYPTION_FAILED || rc == QVCP_RECV_TIMEOUT ||
            rc == QVCP_RECV_CLOSED || rc == QVCP_RECV_INVALID_SIZE);
      if (rc == QVCP_RECV_TOO_LARGE)
         g_sink = g_sink + BE32(raw + 4);
      // A bad header drops what was held; the loop goes on with the rest of the stream.
      if (rc <= 0 && rc != QVCP_RECV_INVALID_SIZE)
         break;
   }
   free(scratch);
   free(msg);
   free(buffer);
   channel->decRefCount();
   return 0;
}
