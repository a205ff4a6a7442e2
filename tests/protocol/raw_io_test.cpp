/* Raw message receive loop, raw binary messages and the version probe, on a scripted
 * channel and on socketpairs. */
#include "support/raw_io_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <random>

using namespace qvtest;

namespace {

constexpr uint32_t LARGE_LIMIT = 1 << 20;

Bytes Concat(std::initializer_list<Bytes> parts)
{
   Bytes all;
   for (const Bytes &p : parts)
      all.insert(all.end(), p.begin(), p.end());
   return all;
}

TEST(RawReceive, TwoMessagesInOneReadTakeOneReadOnly)
{
   ScriptRef ch;
   Bytes a = MakeMessage(CMD_FILE_DATA, 40, 1), b = MakeMessage(CMD_FILE_DATA, 24, 2, 9);
   ch->add(Concat({a, b}));
   Receiver r;
   ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT), 40);
   EXPECT_EQ(r.bytes(40), a);
   ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT), 24);
   EXPECT_EQ(r.bytes(24), b);
   EXPECT_EQ(ch->recvCalls, 1);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_CLOSED);
}

/* However the stream is cut (single bytes leave the size field incomplete after a read;
 * large pieces carry several messages and parts of the next), every message comes out
 * whole and in order, and the buffer grows to exactly the largest one. */
TEST(RawReceive, EveryCutOfTheStreamGivesTheSameMessages)
{
   const uint32_t sizes[] = {16, 24, 104, 70000, 16, QVCP_BUFFER_DATA_SIZE, 64};
   std::vector<Bytes> messages;
   Bytes stream;
   for (uint32_t i = 0; i < sizeof(sizes) / sizeof(sizes[0]); i++)
   {
      messages.push_back(MakeMessage(uint16_t(0x100 + i), sizes[i], i, uint8_t(i * 31)));
      stream.insert(stream.end(), messages.back().begin(), messages.back().end());
   }
   for (size_t piece : {size_t(1), size_t(7), size_t(4096), size_t(QVCP_BUFFER_DATA_SIZE + 3), stream.size()})
   {
      ScriptRef ch;
      ch->addInPieces(stream, piece);
      Receiver r;
      for (const Bytes &m : messages)
      {
         ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT), int(m.size())) << "piece " << piece;
         ASSERT_EQ(r.bytes(m.size()), m) << "piece " << piece;
      }
      EXPECT_EQ(r.size, 70000u);
      EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_CLOSED);
   }
}

TEST(RawReceive, GrowsBothBuffersToTheMessageUpToTheLimit)
{
   ScriptRef ch;
   Bytes m = MakeMessage(CMD_FILE_DATA, 104, 7);
   ch->add(m);
   Receiver r;
   ASSERT_EQ(r.recv(ch.channel, 4096), 104);
   EXPECT_EQ(r.size, 104u);
   EXPECT_EQ(r.bytes(104), m);
   // The decryption buffer went along: all of it is writable (ASan checks).
   memset(r.scratch, 0, 104);
}

/* A message above the limit is consumed, only its header is kept, and the stream stays
 * aligned on the next one, for messages that fit the receive area and that do not. */
TEST(RawReceive, SkipsMessagesAboveTheLimit)
{
   for (uint32_t big : {104u, 200000u})
   {
      ScriptRef ch;
      Bytes large = MakeMessage(CMD_FILE_DATA, big, 1), next = MakeMessage(CMD_KEEPALIVE, 32, 2);
      ch->addInPieces(Concat({large, next}), 5000);
      Receiver r;
      ASSERT_EQ(r.recv(ch.channel, 64), QVCP_RECV_TOO_LARGE) << big;
      EXPECT_EQ(r.bytes(QVCP_HEADER_SIZE), Bytes(large.begin(), large.begin() + QVCP_HEADER_SIZE));
      EXPECT_EQ(r.size, QVCP_HEADER_SIZE);
      ASSERT_EQ(r.recv(ch.channel, 64), 32) << big;
      EXPECT_EQ(r.bytes(32), next);
   }
   // The fixed-buffer form never grows.
   ScriptRef ch;
   ch->add(MakeMessage(CMD_FILE_DATA, 104, 1));
   QVCP_BUFFER buffer;
   QVCPInitBuffer(&buffer);
   QVCP_MESSAGE fixed[4];
   EXPECT_EQ(RecvQVCPMessage(ch.channel, fixed, &buffer, sizeof(fixed), nullptr, nullptr, 1000), QVCP_RECV_TOO_LARGE);
}

TEST(RawReceive, RejectsHeadersThatCannotStartAMessage)
{
   for (uint32_t size : {0u, 8u, 15u, 17u, 30u, 0xFFFFFFFFu})
   {
      ScriptRef ch;
      Bytes m = MakeMessage(CMD_FILE_DATA, 32, 1);
      PutBE32(&m[4], size);
      ch->add(m);
      Receiver r;
      EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_INVALID_SIZE) << size;
      EXPECT_EQ(r.buffer->held, 0u) << size;
      EXPECT_EQ(r.size, QVCP_HEADER_SIZE) << size;
   }
}

/* A time-out keeps what has arrived, so the next call completes the message; a close or
 * a failure is passed on; a null message buffer resets the receive state. */
TEST(RawReceive, ChannelResultsAndResumeAfterATimeout)
{
   Bytes m = MakeMessage(CMD_FILE_DATA, 48, 3);
   ScriptRef ch;
   ch->add(Bytes(m.begin(), m.begin() + 6));
   ch->addResult(-2);
   ch->add(Bytes(m.begin() + 6, m.begin() + 30));
   ch->addResult(-2);
   ch->add(Bytes(m.begin() + 30, m.end()));
   ch->addResult(-1);
   ch->add(Bytes(m.begin(), m.begin() + 20));
   Receiver r;
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_TIMEOUT);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_TIMEOUT);
   ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT), 48);
   EXPECT_EQ(r.bytes(48), m);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), -1);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT), QVCP_RECV_CLOSED);  // 20 bytes held, then closed
   EXPECT_EQ(r.buffer->held, 20u);
   EXPECT_EQ(RecvQVCPMessageEx(ch.channel, nullptr, r.buffer, &r.size, nullptr, nullptr, 0, 0), QVCP_RECV_CLOSED);
   EXPECT_EQ(r.buffer->held, 0u);

   QVCP_MESSAGE small;
   EXPECT_EQ(RecvQVCPMessage(ch.channel, &small, r.buffer, 8, nullptr, nullptr, 0), QVCP_RECV_INVALID_ARGUMENT);
}

/* Envelopes: decrypted with a context into the plain message and its size; returned as
 * they are with the pass-through marker; refused without a context, without a decryption
 * buffer and when damaged. */
TEST(RawReceive, EncryptedMessages)
{
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(QVCP_ALL_CIPHERS);
   ASSERT_NE(context, nullptr);
   Bytes plain = MakeMessage(CMD_FILE_DATA, 200, 4, 3);
   QVCP_ENCRYPTED_MESSAGE *sealed = context->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(plain.data()));
   ASSERT_NE(sealed, nullptr);
   Bytes envelope(reinterpret_cast<uint8_t *>(sealed), reinterpret_cast<uint8_t *>(sealed) + GetBE32(&sealed->size));
   free(sealed);
   Bytes damaged = envelope;
   damaged[20] ^= 1;

   ScriptRef ch;
   ch->add(Concat({envelope, envelope, envelope, damaged, envelope, envelope}));
   Receiver r;
   ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT, context), 200);
   EXPECT_EQ(r.bytes(200), plain);
   ASSERT_EQ(r.recv(ch.channel, LARGE_LIMIT, QVCP_PASSTHROUGH_CONTEXT), int(envelope.size()));
   EXPECT_EQ(r.bytes(envelope.size()), envelope);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT, nullptr), QVCP_RECV_DECRYPTION_FAILED);
   EXPECT_EQ(r.recv(ch.channel, LARGE_LIMIT, context), QVCP_RECV_DECRYPTION_FAILED);
   // A null context pointer counts as no context.
   EXPECT_EQ(RecvQVCPMessageEx(ch.channel, &r.msg, r.buffer, &r.size, nullptr, &r.scratch, 0, LARGE_LIMIT),
             QVCP_RECV_DECRYPTION_FAILED);
   // The fixed form without a decryption buffer cannot decrypt.
   EXPECT_EQ(RecvQVCPMessage(ch.channel, r.msg, r.buffer, r.size, &context, nullptr, 0), QVCP_RECV_DECRYPTION_FAILED);
   context->decRefCount();
}

/* Socketpair peers: one that sends a message a byte per send, one that closes in the
 * middle of a message, and one that stalls past the time-out before finishing. */
TEST(RawReceive, SocketPeersThatDribbleCloseOrStall)
{
   Bytes m = MakeMessage(CMD_FILE_DATA, 4000, 5);
   int fd[2];
   ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
   Flag timedOut;
   Worker peer([&] {
      for (uint8_t b : m)
         ASSERT_EQ(::send(fd[1], &b, 1, 0), 1);
      ASSERT_EQ(::send(fd[1], m.data(), 100, 0), 100);
      timedOut.wait();
      ASSERT_EQ(::send(fd[1], m.data() + 100, m.size() - 100, 0), ssize_t(m.size() - 100));
      ASSERT_EQ(::send(fd[1], m.data(), 10, 0), 10);
      ::shutdown(fd[1], SHUT_WR);
   });
   Receiver r;
   ASSERT_EQ(RecvQVCPMessageEx(fd[0], &r.msg, r.buffer, &r.size, nullptr, nullptr, GENEROUS.count(), LARGE_LIMIT),
             4000);
   EXPECT_EQ(r.bytes(4000), m);
   EXPECT_EQ(RecvQVCPMessageEx(fd[0], &r.msg, r.buffer, &r.size, nullptr, nullptr, 100, LARGE_LIMIT),
             QVCP_RECV_TIMEOUT);
   timedOut.set();
   ASSERT_EQ(RecvQVCPMessageEx(fd[0], &r.msg, r.buffer, &r.size, nullptr, nullptr, GENEROUS.count(), LARGE_LIMIT),
             4000);
   EXPECT_EQ(r.bytes(4000), m);
   EXPECT_EQ(RecvQVCPMessageEx(fd[0], &r.msg, r.buffer, &r.size, nullptr, nullptr, GENEROUS.count(), LARGE_LIMIT),
             QVCP_RECV_CLOSED);
   peer.join();
   close(fd[0]);
   close(fd[1]);
}

TEST(RawMessage, LayoutWithAndWithoutCompression)
{
   const uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
   QVCP_MESSAGE *m = CreateRawQVCPMessage(CMD_FILE_DATA, 77, QVCP_MF_END_OF_FILE, ten, sizeof(ten), nullptr, false);
   ASSERT_NE(m, nullptr);
   const uint8_t *raw = reinterpret_cast<const uint8_t *>(m);
   EXPECT_EQ(GetBE16(raw), CMD_FILE_DATA);
   EXPECT_EQ(GetBE16(raw + 2), QVCP_MF_BINARY | QVCP_MF_END_OF_FILE);
   EXPECT_EQ(GetBE32(raw + 4), 32u);
   EXPECT_EQ(GetBE32(raw + 8), 77u);
   EXPECT_EQ(GetBE32(raw + 12), 10u);
   EXPECT_EQ(Bytes(raw + 16, raw + 26), Bytes(ten, ten + 10));
   // Too small to gain anything: stays as it is even when compression is allowed.
   uint8_t room[32];
   EXPECT_EQ(CreateRawQVCPMessage(CMD_FILE_DATA, 77, QVCP_MF_END_OF_FILE, ten, sizeof(ten),
                                  reinterpret_cast<QVCP_MESSAGE *>(room), true),
             reinterpret_cast<QVCP_MESSAGE *>(room));
   EXPECT_EQ(Bytes(room, room + 26), Bytes(raw, raw + 26));
   free(m);

   // Compressible data shrinks and a receiver restores it; random data stays uncompressed.
   std::mt19937 random(3);
   Bytes text(5001), noise(5001);
   for (size_t i = 0; i < text.size(); i++)
      text[i] = uint8_t("compressible "[i % 13]), noise[i] = uint8_t(random());
   for (const Bytes *data : {&text, &noise})
   {
      QVCP_MESSAGE *c = CreateRawQVCPMessage(CMD_FILE_DATA, 1, 0, data->data(), data->size(), nullptr, true);
      ASSERT_NE(c, nullptr);
      const uint8_t *cr = reinterpret_cast<const uint8_t *>(c);
      bool compressed = (GetBE16(cr + 2) & QVCP_MF_COMPRESSED) != 0;
      EXPECT_EQ(compressed, data == &text);
      EXPECT_EQ(GetBE32(cr + 4) % 8, 0u);
      if (compressed)
      {
         EXPECT_EQ(GetBE32(cr + 16), 16u + 5008u);
      }
      QVCPMessage *back = QVCPMessage::deserialize(c, GetBE32(cr + 4), QVCP_DEFAULT_VERSION);
      ASSERT_NE(back, nullptr);
      EXPECT_EQ(Bytes(back->getBinaryData(), back->getBinaryData() + back->getBinaryDataSize()), *data);
      delete back;
      free(c);
   }
}

/* The probe's request, and what each kind of answer makes of the version. */
TEST(VersionProbe, AnswersAndTheirVersions)
{
   Bytes caps = MakeMessage(CMD_QVCP_CAPS, 16, 0);
   PutBE16(&caps[2], QVCP_MF_CONTROL);
   PutBE32(&caps[12], 5u << 24);
   Bytes capsWithoutFlag = caps;
   PutBE16(&capsWithoutFlag[2], 0);
   const struct
   {
      std::vector<Bytes> answer;  // empty Bytes: a time-out
      bool ok;
      int version;
   } cases[] = {
       {{caps}, true, 5},
       {{capsWithoutFlag}, true, 1},
       {{MakeMessage(CMD_QVCP_CAPS, 24, 0)}, true, 1},
       {{Bytes()}, true, 1},
       {{}, false, -7},
       {{MakeMessage(CMD_ENCRYPTED_MESSAGE, 16, 0)}, false, -7},
   };
   for (const auto &c : cases)
   {
      ScriptRef ch;
      for (const Bytes &a : c.answer)
         a.empty() ? ch->addResult(-2) : ch->add(a);
      int version = -7;
      EXPECT_EQ(QVCPGetPeerProtocolVersion(ch.channel, &version, nullptr), c.ok) << &c - cases;
      EXPECT_EQ(version, c.version) << &c - cases;
      ASSERT_EQ(ch->sent.size(), 1u);
      Bytes request = MakeMessage(CMD_GET_QVCP_CAPS, 16, 0);
      PutBE16(&request[2], QVCP_MF_CONTROL);
      EXPECT_EQ(ch->sent[0], request);
   }
   ScriptRef failing;
   failing->sendResult = [](const Bytes &) { return -1; };
   int version = -7;
   EXPECT_FALSE(QVCPGetPeerProtocolVersion(failing.channel, &version, nullptr));
   EXPECT_EQ(failing->recvCalls, 0);
}

}  // namespace
