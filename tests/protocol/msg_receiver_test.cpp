/* Message receiver buffer rules over a scripted in-memory channel: cutting, growth,
 * skipping, malformed sizes, transport results and encrypted messages. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include "support/raw_io_test_util.h"

#include <arpa/inet.h>
#include <string.h>

#include <deque>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

/* Field that carries the text of the test messages. */
constexpr uint32_t TEXT_FIELD = 10;

/* The wire form of a message of code and id: a binary one of dataSize bytes when dataSize
 * is not 0, otherwise one with a text field (compressed when asked and worthwhile). */
Bytes Wire(uint16_t code, uint32_t id, size_t dataSize = 0, bool compress = false)
{
   if (dataSize > 0)
   {
      uint32_t size = static_cast<uint32_t>(16 + (dataSize + 7) / 8 * 8);
      Bytes bytes(size, 'd');
      uint32_t header[4] = {htonl((uint32_t(code) << 16) | QVCP_MF_BINARY), htonl(size), htonl(id),
                            htonl(static_cast<uint32_t>(dataSize))};
      memcpy(bytes.data(), header, sizeof(header));
      return bytes;
   }
   QVCPMessage msg(code, id);
   msg.setField(TEXT_FIELD, compress ? std::wstring(300, L'c').c_str() : L"receiver test text");
   QVCP_MESSAGE *raw = msg.serialize(compress);
   const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
   Bytes bytes(p, p + ntohl(raw->size));
   EXPECT_EQ((ntohs(raw->flags) & QVCP_MF_COMPRESSED) != 0, compress);
   free(raw);
   return bytes;
}

/* A header alone, announcing size bytes. */
Bytes Header(uint32_t size)
{
   return Bytes{0, 1, 0, 0, uint8_t(size >> 24), uint8_t(size >> 16), uint8_t(size >> 8), uint8_t(size), 0, 0, 0, 0,
                0, 0, 0, 0};
}

Bytes operator+(Bytes a, const Bytes &b)
{
   a.insert(a.end(), b.begin(), b.end());
   return a;
}

/* A field message of 32 bytes whose one field claims more bytes than the message holds. */
Bytes Unparsable()
{
   Bytes bad = Header(32) + Bytes{0, 0, 0, 1, QVCP_FT_BINARY, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
   bad[15] = 1;
   return bad;
}

/* Hands out the queued chunks, each recv at most one of them (a chunk larger than the room
 * is split), and then endResult. Counts the reads and records the room of each. */
class ScriptChannel : public AbstractCommChannel
{
public:
   std::deque<Bytes> chunks;
   int endResult = -2;
   int overReport = 0;  // added to the next count reported, to act as a faulty transport
   std::vector<size_t> rooms;

   int send(const void *, size_t, Mutex *) override { return -1; }
   int recv(void *buffer, size_t size, uint32_t) override
   {
      rooms.push_back(size);
      if (chunks.empty())
         return endResult;
      Bytes &chunk = chunks.front();
      size_t n = std::min(size, chunk.size());
      memcpy(buffer, chunk.data(), n);
      chunk.erase(chunk.begin(), chunk.begin() + n);
      if (chunk.empty())
         chunks.pop_front();
      return static_cast<int>(n) + overReport;
   }
   int poll(uint32_t, bool) override { return 1; }
   int shutdown() override { return 0; }
   void close() override {}

protected:
   ~ScriptChannel() override = default;
};

class ReceiverTest : public ::testing::Test
{
protected:
   ScriptChannel *channel = new ScriptChannel;
   std::unique_ptr<CommChannelMessageReceiver> receiver;

   void make(size_t initialSize, size_t maxSize)
   {
      receiver.reset(new CommChannelMessageReceiver(channel, initialSize, maxSize));
   }
   void SetUp() override { make(4096, 65536); }
   void TearDown() override
   {
      receiver.reset();
      channel->decRefCount();
   }

   /* Reads one message and checks its result; the message's id, or 0 without one. */
   uint32_t read(MessageReceiverResult expected)
   {
      MessageReceiverResult result = MSGRECV_SUCCESS;
      std::unique_ptr<QVCPMessage> msg(receiver->readMessage(0, &result));
      EXPECT_EQ(result, expected) << AbstractMessageReceiver::resultToText(result);
      EXPECT_EQ(msg != nullptr, expected == MSGRECV_SUCCESS);
      return (msg != nullptr) ? msg->getId() : 0;
   }
};

TEST(MessageReceiver, ResultTexts)
{
   const std::pair<int, const wchar_t *> cases[] = {
       {0, L"MSGRECV_SUCCESS"},
       {1, L"MSGRECV_CLOSED"},
       {2, L"MSGRECV_TIMEOUT"},
       {3, L"MSGRECV_COMM_FAILURE"},
       {4, L"MSGRECV_DECRYPTION_FAILURE"},
       {5, L"MSGRECV_PROTOCOL_ERROR"},
       {6, L"UNKNOWN"},
       {-1, L"UNKNOWN"},
   };
   for (const auto &c : cases)
      EXPECT_STREQ(AbstractMessageReceiver::resultToText(static_cast<MessageReceiverResult>(c.first)), c.second);
}

TEST_F(ReceiverTest, SeveralMessagesInOneReadComeWithoutFurtherReads)
{
   channel->chunks.push_back(Wire(CMD_KEEPALIVE, 1) + Wire(CMD_KEEPALIVE, 2, 64) + Wire(CMD_KEEPALIVE, 3, 0, true));
   EXPECT_EQ(read(MSGRECV_SUCCESS), 1u);
   EXPECT_EQ(read(MSGRECV_SUCCESS), 2u);
   EXPECT_EQ(read(MSGRECV_SUCCESS), 3u);
   EXPECT_EQ(channel->rooms.size(), 1u);
   read(MSGRECV_TIMEOUT);
}

TEST_F(ReceiverTest, DribbledBytesMakeTheMessage)
{
   Bytes stream = Wire(CMD_KEEPALIVE, 7) + Wire(CMD_KEEPALIVE, 8);
   for (uint8_t b : stream)
      channel->chunks.push_back(Bytes{b});
   EXPECT_EQ(read(MSGRECV_SUCCESS), 7u);
   EXPECT_EQ(read(MSGRECV_SUCCESS), 8u);
}

TEST_F(ReceiverTest, SizeIsTakenOnlyOnceItsBytesArrived)
{
   // A first message of 0x108 bytes leaves 0x08 where the last byte of the next size goes:
   // taken too early, the size would read as 8.
   Bytes next = Header(16);
   channel->chunks = {Wire(CMD_KEEPALIVE, 1, 0x108 - 16), Bytes(next.begin(), next.begin() + 7)};
   EXPECT_EQ(read(MSGRECV_SUCCESS), 1u);
   read(MSGRECV_TIMEOUT);
   channel->chunks.push_back(Bytes(next.begin() + 7, next.end()));
   read(MSGRECV_SUCCESS);
}

TEST_F(ReceiverTest, MalformedSizesAreProtocolErrorsThatStay)
{
   for (uint32_t size : {0u, 8u, 12u, 20u, 0x40000000u, 0xFFFFFFF8u})
   {
      make(4096, 65536);
      channel->chunks.push_back(Header(size));
      read(MSGRECV_PROTOCOL_ERROR);
      size_t reads = channel->rooms.size();
      read(MSGRECV_PROTOCOL_ERROR);
      EXPECT_EQ(channel->rooms.size(), reads) << size;
      EXPECT_EQ(ntohl(receiver->getRawMessageBuffer()->size), size);
   }
}

TEST_F(ReceiverTest, MessageThatDoesNotParseIsAProtocolError)
{
   channel->chunks.push_back(Unparsable());
   read(MSGRECV_PROTOCOL_ERROR);
}

TEST_F(ReceiverTest, LargeMessagesGrowTheBufferExactlyOrAreSkipped)
{
   channel->chunks = {Wire(CMD_FILE_DATA, 1, 10000 - 16), Wire(CMD_FILE_DATA, 2, 100000 - 16),
                      Wire(CMD_FILE_DATA, 3, 16)};
   EXPECT_EQ(read(MSGRECV_SUCCESS), 1u);
   // Once 4096 bytes were held the buffer became 10000 bytes: the next read had the rest as room.
   ASSERT_GE(channel->rooms.size(), 2u);
   EXPECT_EQ(channel->rooms[0], 4096u);
   EXPECT_EQ(channel->rooms[1], 10000u - 4096u);
   EXPECT_EQ(read(MSGRECV_SUCCESS), 3u);
   for (size_t room : channel->rooms)
      EXPECT_LE(room, 10000u);
}

TEST_F(ReceiverTest, LargeBinaryMessagesKeepTheirDataWhetherTheyTakeTheBufferOrNot)
{
   // Binary messages of 40000 and 50000 data bytes, each with its own byte pattern: each
   // alone in a buffer grown to its size (taken over), a control message of that size
   // (which carries no data), and then, in a larger buffer, two in one read (copied).
   auto binary = [](uint32_t id, size_t dataSize, uint16_t extraFlags = 0) {
      Bytes bytes = Wire(CMD_FILE_DATA, id, dataSize);
      bytes[3] |= static_cast<uint8_t>(extraFlags);
      for (size_t i = 16; i < bytes.size(); i++)
         bytes[i] = static_cast<uint8_t>(i * 31 + id);
      return bytes;
   };
   auto expectData = [](const QVCPMessage &m, uint32_t id, size_t dataSize) {
      ASSERT_TRUE(m.isBinary());
      ASSERT_EQ(m.getBinaryDataSize(), dataSize);
      for (size_t i = 0; i < dataSize; i++)
         ASSERT_EQ(m.getBinaryData()[i], static_cast<uint8_t>((i + 16) * 31 + id)) << id << " " << i;
   };
   make(4096, 1 << 20);
   channel->chunks = {binary(1, 40000), binary(2, 40000), binary(3, 50000) + Wire(CMD_KEEPALIVE, 4),
                      binary(5, 40000, QVCP_MF_CONTROL), binary(6, 40000)};
   std::vector<std::unique_ptr<QVCPMessage>> kept;
   for (uint32_t id : {1u, 2u, 3u})
   {
      MessageReceiverResult result;
      kept.emplace_back(receiver->readMessage(0, &result));
      ASSERT_NE(kept.back(), nullptr) << id;
      EXPECT_EQ(kept.back()->getId(), id);
      EXPECT_EQ(kept.back()->getCode(), CMD_FILE_DATA);
      EXPECT_EQ(kept.back()->getFlags(), QVCP_MF_BINARY);
   }
   EXPECT_EQ(read(MSGRECV_SUCCESS), 4u);
   // A control message carries no data, whatever its size.
   MessageReceiverResult result;
   std::unique_ptr<QVCPMessage> control(receiver->readMessage(0, &result));
   ASSERT_NE(control, nullptr);
   EXPECT_EQ(control->getId(), 5u);
   EXPECT_EQ(control->getBinaryDataSize(), 0u);
   kept.emplace_back(receiver->readMessage(0, &result));
   ASSERT_NE(kept.back(), nullptr);
   // Every message keeps its own data while the receiver goes on with other buffers, also
   // in a copy and after the message's fields are dropped.
   expectData(*kept[0], 1, 40000);
   expectData(*kept[1], 2, 40000);
   expectData(*kept[2], 3, 50000);
   expectData(*kept[3], 6, 40000);
   QVCPMessage copy(kept[0].get());
   expectData(copy, 1, 40000);
   kept[1]->deleteAllFields();
   EXPECT_EQ(kept[1]->getBinaryDataSize(), 0u);
   EXPECT_EQ(kept[1]->getBinaryData(), nullptr);
   read(MSGRECV_TIMEOUT);

   make(131072, 1 << 20);
   channel->chunks = {binary(7, 40000) + binary(8, 40000)};
   for (uint32_t id : {7u, 8u})
   {
      std::unique_ptr<QVCPMessage> m(receiver->readMessage(0, &result));
      ASSERT_NE(m, nullptr) << id;
      EXPECT_EQ(m->getId(), id);
      expectData(*m, id, 40000);
   }
}

TEST_F(ReceiverTest, SkippedMessageEndingInsideARead)
{
   make(16, 64);
   Bytes big = Wire(CMD_FILE_DATA, 1, 200);
   // The first read holds the header, the second ends the skipped bytes and starts the next message.
   channel->chunks = {Bytes(big.begin(), big.begin() + 16),
                      Bytes(big.begin() + 16, big.end()) + Wire(CMD_FILE_DATA, 2, 8)};
   EXPECT_EQ(read(MSGRECV_SUCCESS), 2u);
}

TEST_F(ReceiverTest, SmallestBufferStillHoldsAHeader)
{
   make(0, 0);
   channel->chunks.push_back(Wire(CMD_KEEPALIVE, 5) + Wire(CMD_KEEPALIVE, 6, 1));
   read(MSGRECV_TIMEOUT);  // both skipped: larger than the 16-byte buffer
   channel->chunks.push_back(Header(16));
   read(MSGRECV_SUCCESS);
}

TEST_F(ReceiverTest, TransportResults)
{
   const std::pair<int, MessageReceiverResult> cases[] = {
       {0, MSGRECV_CLOSED}, {-2, MSGRECV_TIMEOUT}, {-1, MSGRECV_COMM_FAILURE}, {-3, MSGRECV_COMM_FAILURE}};
   for (const auto &c : cases)
   {
      channel->endResult = c.first;
      read(c.second);
   }
   // A transport that reports more bytes than it was given room for is not believed.
   Bytes msg = Wire(CMD_KEEPALIVE, 1);
   channel->chunks.push_back(Bytes(msg.begin(), msg.end() - 8));
   channel->overReport = 4096;
   read(MSGRECV_COMM_FAILURE);
}

TEST_F(ReceiverTest, EncryptedMessagesWithoutContextAreDroppedWithoutStalling)
{
   Bytes envelope = Header(48);
   envelope[1] = CMD_ENCRYPTED_MESSAGE;
   envelope.resize(48, 0x5A);
   for (QVCPEncryptionContext *context :
        {static_cast<QVCPEncryptionContext *>(nullptr), reinterpret_cast<QVCPEncryptionContext *>(~uintptr_t(0))})
   {
      receiver->setEncryptionContext(context);
      channel->rooms.clear();
      channel->chunks.push_back(envelope + envelope + Wire(CMD_KEEPALIVE, 9));
      EXPECT_EQ(read(MSGRECV_SUCCESS), 9u);
      EXPECT_EQ(channel->rooms.size(), 1u);
   }
}

using qvtest::EnvelopeOf;

TEST_F(ReceiverTest, EncryptedMessagesAreDecryptedOrReportedAndTheRestStillComes)
{
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256);
   ASSERT_NE(context, nullptr);
   receiver->setEncryptionContext(context);
   Bytes forged = EnvelopeOf(context, Wire(CMD_KEEPALIVE, 2));
   forged[20] ^= 1;
   // The third envelope grows the buffer: the scratch buffer must grow with it.
   channel->chunks.push_back(EnvelopeOf(context, Wire(CMD_KEEPALIVE, 1)) + forged + Wire(CMD_KEEPALIVE, 3) +
                             EnvelopeOf(context, Wire(CMD_FILE_DATA, 4, 6000)));
   EXPECT_FALSE(receiver->wasLastMessageEncrypted());
   EXPECT_EQ(read(MSGRECV_SUCCESS), 1u);
   EXPECT_TRUE(receiver->wasLastMessageEncrypted());
   read(MSGRECV_DECRYPTION_FAILURE);
   // A plain message between envelopes is told apart, so that a session can refuse it.
   EXPECT_EQ(read(MSGRECV_SUCCESS), 3u);
   EXPECT_FALSE(receiver->wasLastMessageEncrypted());
   EXPECT_EQ(read(MSGRECV_SUCCESS), 4u);
   EXPECT_TRUE(receiver->wasLastMessageEncrypted());
   // An envelope of a plain message that does not parse is a protocol error, and stays one
   // although the plain message, now in the buffer, carries the envelope's code.
   Bytes inner = Unparsable();
   inner[1] = CMD_ENCRYPTED_MESSAGE;
   channel->chunks.push_back(EnvelopeOf(context, inner));
   read(MSGRECV_PROTOCOL_ERROR);
   read(MSGRECV_PROTOCOL_ERROR);
   receiver.reset();
   context->decRefCount();
}

}  // namespace
