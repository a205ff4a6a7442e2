/* Wait queues and message receivers in the registry of the library's figures: late
 * replies, waiters, expired messages, received messages and bytes, decryption failures,
 * and reads of the registry while queues and receivers come and go. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "support/debug_capture.h"
#include "support/metrics_test_util.h"
#include "support/raw_io_test_util.h"
#include "support/thread_test_util.h"

using namespace qvtest;

namespace {

typedef std::unique_ptr<QVCPMessage> MessagePtr;
using qvtest::Bytes;
using qvtest::EnvelopeOf;

constexpr uint16_t REPLY = 0x0102;

/* A wait that gives up: long enough to be a real wait, short enough for a test. */
constexpr uint32_t GIVE_UP_MS = 5;

/* The queue's name in the figures. */
std::string NameOf(const MsgWaitQueue &queue)
{
   char name[32];
   snprintf(name, sizeof(name), "0x%llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&queue)));
   return name;
}

int64_t QueueFigure(const MsgWaitQueue &queue, const char *figure)
{
   return LibraryFigure("wait_queue", NameOf(queue).c_str(), figure);
}

QVCP_MESSAGE *Raw(uint16_t code, uint32_t id)
{
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(calloc(1, sizeof(QVCP_MESSAGE)));
   msg->code = code;
   msg->id = id;
   return msg;
}

/* Polls a figure (yielding) until it has value; false after GENEROUS. */
bool WaitForFigure(const MsgWaitQueue &queue, const char *figure, int64_t value)
{
   Clock::time_point start = Clock::now();
   while (QueueFigure(queue, figure) != value)
   {
      if (Clock::now() - start > GENEROUS)
         return false;
      std::this_thread::yield();
   }
   return true;
}

TEST(WaitQueueFigures, LateReplyIsCountedAndLoggedOnceAndStillHeld)
{
   DebugLineWatch watch(L"msgwq");
   MsgWaitQueue q;
   EXPECT_EQ(0, QueueFigure(q, "late_replies"));
   EXPECT_EQ(nullptr, q.waitForMessage(REPLY, 7, GIVE_UP_MS));
   q.put(new QVCPMessage(REPLY, 8));  // another id: not late
   EXPECT_EQ(0, QueueFigure(q, "late_replies"));
   q.put(new QVCPMessage(REPLY, 7));
   q.put(new QVCPMessage(REPLY, 7));  // a second reply of the same wait is not counted again
   EXPECT_EQ(1, QueueFigure(q, "late_replies"));
   EXPECT_EQ(1u, watch.count(DebugLineWatch::Is(L"MsgWaitQueue: late reply: message 258 (id 7) put after its waiter "
                                                L"gave up")));
   EXPECT_EQ(3, QueueFigure(q, "held"));
   EXPECT_NE(nullptr, MessagePtr(q.waitForMessage(REPLY, 7, 0)));
}

TEST(WaitQueueFigures, OnlyWaitsThatGaveUpForTheirKindMakeRepliesLate)
{
   MsgWaitQueue q;
   // A look without waiting gives nothing up.
   EXPECT_EQ(nullptr, q.waitForMessage(REPLY, 1, 0));
   q.put(new QVCPMessage(REPLY, 1));
   // A wait that gave up and is taken up again: its reply is not late.
   EXPECT_EQ(nullptr, q.waitForMessage(REPLY, 2, GIVE_UP_MS));
   EXPECT_EQ(nullptr, q.waitForMessage(REPLY, 2, 0));
   q.put(new QVCPMessage(REPLY, 2));
   EXPECT_EQ(0, QueueFigure(q, "late_replies"));
   // A raw wait that gave up: a message object of that code and id is not its reply.
   EXPECT_EQ(nullptr, q.waitForRawMessage(REPLY, 3, GIVE_UP_MS));
   q.put(new QVCPMessage(REPLY, 3));
   EXPECT_EQ(0, QueueFigure(q, "late_replies"));
   q.put(Raw(REPLY, 3));
   EXPECT_EQ(1, QueueFigure(q, "late_replies"));

   // The latest waits that gave up are remembered, the oldest forgotten first.
   for (uint32_t id = 100; id < 120; id++)
      EXPECT_EQ(nullptr, q.waitForMessage(REPLY, id, 1));
   for (uint32_t id = 100; id < 120; id++)
      q.put(new QVCPMessage(REPLY, id));
   EXPECT_EQ(1 + 16, QueueFigure(q, "late_replies"));
}

TEST(WaitQueueFigures, WaitersHeldAndExpiredFollowTheQueue)
{
   MsgWaitQueue q;
   q.setHoldTime(12345);
   EXPECT_EQ(12345, QueueFigure(q, "hold_time_ms"));
   Flag got;
   Worker waiter([&] {
      MessagePtr reply(q.waitForMessage(REPLY, 50, INFINITE));
      EXPECT_NE(nullptr, reply);
      got.set();
   });
   ASSERT_TRUE(WaitForFigure(q, "waiters", 1));
   q.put(new QVCPMessage(REPLY, 50));
   ASSERT_TRUE(got.wait());
   waiter.join();
   EXPECT_EQ(0, QueueFigure(q, "waiters"));
   EXPECT_EQ(0, QueueFigure(q, "held"));

   struct FastHousekeeper
   {
      FastHousekeeper() { MsgWaitQueue::setHousekeeperInterval(10); }
      ~FastHousekeeper() { MsgWaitQueue::setHousekeeperInterval(MsgWaitQueue::DEFAULT_HOUSEKEEPER_INTERVAL); }
   } fast;
   q.setHoldTime(0);
   q.put(new QVCPMessage(REPLY, 60));
   q.put(Raw(REPLY, 61));
   ASSERT_TRUE(WaitForFigure(q, "expired", 2));
   EXPECT_EQ(0, QueueFigure(q, "held"));
}

/* Wire form of a message of code and id with a text field. */
Bytes Wire(uint16_t code, uint32_t id)
{
   QVCPMessage msg(code, id);
   msg.setField(10, L"figures test");
   QVCP_MESSAGE *raw = msg.serialize(false);
   const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
   Bytes bytes(p, p + ntohl(raw->size));
   free(raw);
   return bytes;
}

/* Hands out its bytes, then reports a time-out. */
class BytesChannel : public AbstractCommChannel
{
public:
   Bytes bytes;

   int send(const void *, size_t, Mutex *) override { return -1; }
   int recv(void *buffer, size_t size, uint32_t) override
   {
      if (bytes.empty())
         return -2;
      size_t n = std::min(size, bytes.size());
      memcpy(buffer, bytes.data(), n);
      bytes.erase(bytes.begin(), bytes.begin() + static_cast<long>(n));
      return static_cast<int>(n);
   }
   int poll(uint32_t, bool) override { return 1; }
   int shutdown() override { return 0; }
   void close() override {}

protected:
   ~BytesChannel() override = default;
};

TEST(ReceiverFigures, MessagesBytesAndDecryptionFailuresAreCounted)
{
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256);
   ASSERT_NE(context, nullptr);
   BytesChannel *channel = new BytesChannel;
   Bytes forged = EnvelopeOf(context, Wire(CMD_KEEPALIVE, 2));
   forged[20] ^= 1;
   channel->bytes = EnvelopeOf(context, Wire(CMD_KEEPALIVE, 1));
   channel->bytes.insert(channel->bytes.end(), forged.begin(), forged.end());
   Bytes plain = Wire(CMD_KEEPALIVE, 3);
   channel->bytes.insert(channel->bytes.end(), plain.begin(), plain.end());
   int64_t total = static_cast<int64_t>(channel->bytes.size());
   {
      CommChannelMessageReceiver receiver(channel, 4096, 65536);
      receiver.setEncryptionContext(context);
      EXPECT_EQ(0, LibraryFigure("receiver", "channel", "messages"));
      MessageReceiverResult result;
      EXPECT_NE(nullptr, MessagePtr(receiver.readMessage(0, &result)));
      EXPECT_EQ(nullptr, receiver.readMessage(0, &result));
      EXPECT_EQ(MSGRECV_DECRYPTION_FAILURE, result);
      EXPECT_NE(nullptr, MessagePtr(receiver.readMessage(0, &result)));
      // Without a context an envelope is dropped, and counted the same way.
      receiver.setEncryptionContext(nullptr);
      channel->bytes = EnvelopeOf(context, Wire(CMD_KEEPALIVE, 4));
      total += static_cast<int64_t>(channel->bytes.size());
      EXPECT_EQ(nullptr, receiver.readMessage(0, &result));
      EXPECT_EQ(MSGRECV_TIMEOUT, result);

      EXPECT_EQ(2, LibraryFigure("receiver", "channel", "messages"));
      EXPECT_EQ(total, LibraryFigure("receiver", "channel", "bytes"));
      EXPECT_EQ(2, LibraryFigure("receiver", "channel", "decryption_failures"));
   }
   EXPECT_EQ(-1, LibraryFigure("receiver", "channel", "messages"));
   channel->decRefCount();
   context->decRefCount();
}

TEST(ReceiverFigures, EachTransportNamesItsReceiver)
{
   SocketMessageReceiver socketReceiver(INVALID_SOCKET, 1024, 1024);
   PipeMessageReceiver pipeReceiver(INVALID_PIPE_HANDLE, 1024, 1024);
   TlsMessageReceiver tlsReceiver(INVALID_SOCKET, nullptr, nullptr, 1024, 1024);
   for (const char *name : {"socket", "pipe", "tls"})
      EXPECT_EQ(0, LibraryFigure("receiver", name, "bytes")) << name;
}

/* Queues and receivers come and go while other threads read the registry; no read may
 * touch one that is gone (the sanitizer builds watch that). */
TEST(LibraryFigures, ReadsRaceWithQueuesAndReceiversComingAndGoing)
{
   constexpr int ROUNDS = 200;
   std::atomic<bool> done{false};
   std::atomic<int> reads{0};
   auto reader = [&] {
      while (!done.load())
      {
         json_t *root = GetLibraryMetricsAsJson();
         EXPECT_NE(nullptr, root);
         json_decref(root);
         Table *table = GetLibraryMetrics();
         if (table != nullptr)
            table->decRefCount();
         reads.fetch_add(1);
      }
   };
   Worker readerOne(reader), readerTwo(reader);
   BytesChannel *channel = new BytesChannel;
   for (int i = 0; i < ROUNDS; i++)
   {
      auto *queue = new MsgWaitQueue();
      auto *receiver = new CommChannelMessageReceiver(channel, 1024, 1024);
      queue->put(new QVCPMessage(REPLY, static_cast<uint32_t>(i)));
      int seen = reads.load();
      while (i % 20 == 0 && reads.load() < seen + 2)
         std::this_thread::yield();
      delete receiver;
      delete queue;
   }
   done.store(true);
   readerOne.join();
   readerTwo.join();
   channel->decRefCount();
   EXPECT_GT(reads.load(), 0);
}

}  // namespace
