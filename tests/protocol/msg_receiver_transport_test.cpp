/* Message receivers over real transports: loopback TCP, a socket channel, the local pipe
 * and a TLS session, with peers that dribble, close mid-message and stall. */
#include "support/debug_capture.h"
#include "support/transport_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <memory>
#include <vector>

using namespace qvtest;

namespace {

using Bytes = std::vector<uint8_t>;

/* A time-out that must expire, and the least time it may take to do so. */
constexpr uint32_t SHORT_WAIT_MS = 150;
constexpr long long SHORT_WAIT_FLOOR_MS = 140;

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* Field of the test messages' text. */
constexpr uint32_t TEXT_FIELD = 1;

Bytes Wire(uint32_t id, size_t textLength)
{
   QVCPMessage msg(CMD_KEEPALIVE, id);
   msg.setField(TEXT_FIELD, std::wstring(textLength, L'x').c_str());
   QVCP_MESSAGE *raw = msg.serialize();
   const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
   Bytes bytes(p, p + ntohl(raw->size));
   free(raw);
   return bytes;
}

/* One connection: a receiver on one end and the peer's writing end. */
class Link
{
public:
   std::unique_ptr<AbstractMessageReceiver> receiver;

   virtual ~Link() = default;
   /* The peer writes all of data. */
   virtual void send(const uint8_t *data, size_t size) = 0;
   /* The peer ends the connection in order. */
   virtual void closePeer() = 0;

   void sendBytes(const Bytes &data) { send(data.data(), data.size()); }

   /* The next message's id (0 without one) after checking the result. */
   uint32_t read(MessageReceiverResult expected, uint32_t timeout = GENEROUS_MS)
   {
      MessageReceiverResult result = MSGRECV_SUCCESS;
      std::unique_ptr<QVCPMessage> msg(receiver->readMessage(timeout, &result));
      EXPECT_EQ(result, expected) << AbstractMessageReceiver::resultToText(result);
      return (msg != nullptr) ? msg->getId() : 0;
   }
};

/* Writes all bytes to a descriptor. */
void WriteAll(int fd, const uint8_t *data, size_t size)
{
   while (size > 0)
   {
      ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
      ASSERT_GT(n, 0);
      data += n;
      size -= static_cast<size_t>(n);
   }
}

/* A descriptor-level link; the peer end is closed by closePeer or the destructor. */
class DescriptorLink : public Link
{
protected:
   int m_peer = -1;
   int m_local = -1;

public:
   ~DescriptorLink() override
   {
      receiver.reset();
      closePeer();
      if (m_local >= 0)
         close(m_local);
   }
   void send(const uint8_t *data, size_t size) override { WriteAll(m_peer, data, size); }
   void closePeer() override
   {
      if (m_peer >= 0)
         close(m_peer);
      m_peer = -1;
   }
};

/* Loopback TCP: a listener on 127.0.0.1, the receiver on the accepted socket. */
class SocketLink : public DescriptorLink
{
public:
   SocketLink()
   {
      ConnectLoopback(&m_peer, &m_local);
      receiver.reset(new SocketMessageReceiver(m_local, 256, 1 << 20));
   }
};

/* A socketpair under a SocketCommChannel, or bare as the local pipe. */
class PairLink : public DescriptorLink
{
public:
   explicit PairLink(bool pipe)
   {
      int fd[2];
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
      m_local = fd[0];
      m_peer = fd[1];
      if (pipe)
      {
         receiver.reset(new PipeMessageReceiver(m_local, 256, 1 << 20));
         return;
      }
      SocketCommChannel *channel = new SocketCommChannel(m_local, false);
      receiver.reset(new CommChannelMessageReceiver(channel, 256, 1 << 20));
      EXPECT_EQ(channel->getRefCount(), 2);
      channel->decRefCount();  // the receiver's reference keeps it
   }
};

/* The receiver reads the client end of a TLS session with a session lock; the test
 * writes as the server. */
class TlsLink : public Link, public TlsPair
{
public:
   Mutex lock;

   explicit TlsLink(size_t initialSize = 256, bool nonBlockingClient = true) : TlsPair(nonBlockingClient)
   {
      receiver.reset(new TlsMessageReceiver(fd[1], client, &lock, initialSize, 1 << 20));
   }
   ~TlsLink() override { receiver.reset(); }
   void send(const uint8_t *data, size_t size) override { ASSERT_EQ(SSL_write(server, data, int(size)), int(size)); }
   void closePeer() override { SSL_shutdown(server); }
};

using LinkFactory = std::function<Link *()>;

class TransportTest : public ::testing::TestWithParam<std::pair<const char *, LinkFactory>>
{
protected:
   std::unique_ptr<Link> link{GetParam().second()};
};

TEST_P(TransportTest, MessagesDribbledOneByteAtATime)
{
   Bytes stream = Wire(1, 3);
   Bytes second = Wire(2, 40);
   stream.insert(stream.end(), second.begin(), second.end());
   Worker sender([&] {
      for (uint8_t b : stream)
         link->send(&b, 1);
   });
   EXPECT_EQ(link->read(MSGRECV_SUCCESS), 1u);
   EXPECT_EQ(link->read(MSGRECV_SUCCESS), 2u);
}

TEST_P(TransportTest, LargeMessagesInManyPieces)
{
   Bytes big = Wire(3, 100000);
   Worker sender([&] {
      link->sendBytes(big);
      link->sendBytes(Wire(4, 1));
   });
   EXPECT_EQ(link->read(MSGRECV_SUCCESS), 3u);
   EXPECT_EQ(link->read(MSGRECV_SUCCESS), 4u);
}

TEST_P(TransportTest, PeerClosingMidMessage)
{
   Bytes msg = Wire(5, 20);
   link->send(msg.data(), msg.size() / 2);
   link->closePeer();
   link->read(MSGRECV_CLOSED);
}

TEST_P(TransportTest, PeerStallingPastTheTimeoutThenGoingOn)
{
   Bytes msg = Wire(6, 20);
   link->send(msg.data(), 11);
   Clock::time_point start = Clock::now();
   link->read(MSGRECV_TIMEOUT, SHORT_WAIT_MS);
   EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);
   link->send(msg.data() + 11, msg.size() - 11);
   EXPECT_EQ(link->read(MSGRECV_SUCCESS, SHORT_WAIT_MS), 6u);
}

INSTANTIATE_TEST_SUITE_P(
    Receivers, TransportTest,
    ::testing::Values(std::make_pair("Socket", LinkFactory([] { return static_cast<Link *>(new SocketLink); })),
                      std::make_pair("Channel", LinkFactory([] { return static_cast<Link *>(new PairLink(false)); })),
                      std::make_pair("Pipe", LinkFactory([] { return static_cast<Link *>(new PairLink(true)); })),
                      std::make_pair("Tls", LinkFactory([] { return static_cast<Link *>(new TlsLink); }))),
    [](const ::testing::TestParamInfo<TransportTest::ParamType> &info) { return std::string(info.param.first); });

TEST(TransportReceivers, ChannelReferenceIsReleasedWithTheReceiver)
{
   SocketCommChannel *channel = new SocketCommChannel(INVALID_SOCKET, false);
   {
      CommChannelMessageReceiver receiver(channel, 64, 64);
      EXPECT_EQ(channel->getRefCount(), 2);
      MessageReceiverResult result;
      EXPECT_EQ(receiver.readMessage(0, &result), nullptr);
      EXPECT_EQ(result, MSGRECV_COMM_FAILURE);
   }
   EXPECT_EQ(channel->getRefCount(), 1);
   channel->decRefCount();
}

TEST(TransportReceivers, InvalidHandlesAreCommFailures)
{
   MessageReceiverResult result;
   SocketMessageReceiver socketReceiver(INVALID_SOCKET, 64, 64);
   EXPECT_EQ(socketReceiver.readMessage(0, &result), nullptr);
   EXPECT_EQ(result, MSGRECV_COMM_FAILURE);
   PipeMessageReceiver pipeReceiver(INVALID_PIPE_HANDLE, 64, 64);
   EXPECT_EQ(pipeReceiver.readMessage(0, &result), nullptr);
   EXPECT_EQ(result, MSGRECV_COMM_FAILURE);
}

TEST(TransportReceivers, TlsLockIsFreeWhileWaitingForTheSocket)
{
   TlsLink link;
   uint32_t received = 0;
   Worker reader([&] { received = link.read(MSGRECV_SUCCESS); });
   ASSERT_TRUE(WaitUntilPolling(reader.id()));
   // A writer of the same session gets the lock while the reader waits.
   ASSERT_TRUE(link.lock.tryLock());
   Bytes request = Wire(7, 10);
   EXPECT_EQ(SSL_write(link.client, request.data(), int(request.size())), int(request.size()));
   link.lock.unlock();
   // The peer echoes the request back.
   Bytes echo(request.size());
   EXPECT_EQ(SSL_read(link.server, echo.data(), int(echo.size())), int(echo.size()));
   link.sendBytes(echo);
   reader.join();
   EXPECT_EQ(received, 7u);
}

TEST(TransportReceivers, TlsRecordInPartsOnABlockingSocketKeepsTheTimeout)
{
   TlsLink link(256, false);
   // The server's record for a message, caught in memory so that it can be sent in parts.
   BIO *record = BIO_new(BIO_s_mem());
   SSL_set0_wbio(link.server, record);
   Bytes msg = Wire(8, 20);
   ASSERT_EQ(SSL_write(link.server, msg.data(), int(msg.size())), int(msg.size()));
   char *bytes = nullptr;
   size_t size = static_cast<size_t>(BIO_get_mem_data(record, &bytes));
   ASSERT_GT(size, 2u);
   const uint8_t *data = reinterpret_cast<uint8_t *>(bytes);
   WriteAll(link.fd[0], data, size / 2);

   // The rest follows once the first read has returned. A read stuck inside SSL_read would
   // end only when the rest comes, which the peer then sends after GENEROUS: that read
   // returns the message instead of the time-out, and after the rest was sent.
   Flag firstReadReturned;
   std::atomic<bool> restSent{false};
   Worker late([&] {
      firstReadReturned.wait();
      restSent.store(true);
      WriteAll(link.fd[0], data + size / 2, size - size / 2);
   });
   link.read(MSGRECV_TIMEOUT, SHORT_WAIT_MS);
   EXPECT_FALSE(restSent.load()) << "the read ended only when the rest came";
   firstReadReturned.set();
   EXPECT_EQ(link.read(MSGRECV_SUCCESS, GENEROUS_MS), 8u);
   EXPECT_EQ(fcntl(link.fd[1], F_GETFL) & O_NONBLOCK, 0) << "the socket is left blocking";
}

TEST(TransportReceivers, TlsFailuresAreLogged)
{
   std::vector<std::wstring> lines = DebugLinesOf(7, [] {
      TlsLink closing;
      closing.closePeer();
      closing.read(MSGRECV_CLOSED);
      TlsLink garbled;
      const uint8_t notARecord[] = {0x17, 0x03, 0x03, 0x00, 0x10, 'n', 'o', 't', ' ', 'T', 'L',
                                    'S',  '!',  '!',  '!',  '!',  '!', '!', '!', '!', '!'};
      WriteAll(garbled.fd[0], notARecord, sizeof(notARecord));
      garbled.read(MSGRECV_COMM_FAILURE);
   });
   ASSERT_GE(lines.size(), 4u);
   EXPECT_EQ(lines[0].rfind(L"TlsMessageReceiver: SSL_read error (ssl_err=6 errno=", 0), 0u) << lines[0];
   EXPECT_EQ(lines[1].rfind(L"TlsMessageReceiver: SSL_read error (ssl_err=1 errno=", 0), 0u) << lines[1];
   EXPECT_EQ(lines[2], L"OpenSSL error stack:");
   EXPECT_EQ(lines[3].rfind(L"   error:", 0), 0u) << lines[3];
}

}  // namespace
