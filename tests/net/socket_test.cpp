/* Socket helpers, poller and socket channel on socketpairs and loopback TCP. */
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

/* A time-out that must expire in the tests, and the least time it may take to do so. */
constexpr uint32_t SHORT_WAIT_MS = 150;
constexpr long long SHORT_WAIT_FLOOR_MS = 140;

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* A connected pair of stream sockets, closed by the destructor unless taken away. */
struct Pair
{
   int fd[2] = {-1, -1};

   Pair() { EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd)); }
   ~Pair() { closeEnd(0), closeEnd(1); }
   void closeEnd(int i) { fd[i] = (fd[i] >= 0) ? close(fd[i]), -1 : -1; }
};

/* Closes a descriptor at the end of a scope. */
struct Closer
{
   int fd;
   ~Closer() { fd = (fd >= 0) ? close(fd), -1 : -1; }
};

bool IsOpen(int fd)
{
   return fcntl(fd, F_GETFD) != -1;
}

bool IsNonBlocking(int fd)
{
   return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

/* A non-blocking sender with a small buffer: large sends go out in parts, with waits. */
void MakeSlowSender(int fd)
{
   int small = 4096;
   ASSERT_EQ(0, fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK));
   ASSERT_EQ(0, setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
}

long OpenDescriptors()
{
   return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

/* The loopback address of one family. */
struct Loopback
{
   const char *name;
   InetAddress address;
   int family() const { return address.getFamily(); }
};

const Loopback LOOPBACKS[] = {{"IPv4", InetAddress::parse("127.0.0.1")}, {"IPv6", InetAddress::parse("::1")}};

/* A TCP socket bound to the loopback address on a free port (listening with the given
 * backlog unless it is negative); -1 when the family cannot be bound here. */
int BoundSocket(const Loopback &lo, int backlog, uint16_t *port)
{
   int s = socket(lo.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
   if (s < 0)
      return -1;
   SockAddrBuffer buffer;
   struct sockaddr *sa = lo.address.fillSockAddr(&buffer, 0);
   socklen_t length = (lo.family() == AF_INET) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
   if (bind(s, sa, length) != 0 || (backlog >= 0 && listen(s, backlog) != 0) || getsockname(s, sa, &length) != 0)
   {
      close(s);
      return -1;
   }
   *port = ntohs((lo.family() == AF_INET) ? reinterpret_cast<sockaddr_in *>(sa)->sin_port
                                          : reinterpret_cast<sockaddr_in6 *>(sa)->sin6_port);
   return s;
}

/* Fills data with a pattern that shows where each byte came from. */
std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
   std::vector<uint8_t> data(size);
   for (size_t i = 0; i < size; i++)
      data[i] = static_cast<uint8_t>((i * 131 + seed) >> 3);
   return data;
}

/* Message seq of sender id: the two numbers, then 3000 to 7999 bytes derived from them. */
std::vector<uint8_t> Message(uint32_t id, uint32_t seq)
{
   std::vector<uint8_t> message = Pattern(8 + 3000 + 997 * seq % 5000, id * 1000 + seq);
   uint32_t header[2] = {id, seq};
   memcpy(message.data(), header, sizeof(header));
   return message;
}

}  // namespace

TEST(SocketHelpers, SendExSendsEverythingThroughFullBuffers)
{
   Pair pair;
   MakeSlowSender(pair.fd[0]);
   const size_t SIZE = 1 << 20;
   std::vector<uint8_t> data = Pattern(SIZE, 7), received(SIZE);

   Worker reader([&] { EXPECT_TRUE(RecvAll(pair.fd[1], received.data(), SIZE, GENEROUS_MS)); });
   EXPECT_EQ(static_cast<int>(SIZE), SendEx(pair.fd[0], data.data(), SIZE, 0, nullptr));
   reader.join();
   EXPECT_EQ(data, received);

   EXPECT_EQ(0, SendEx(pair.fd[0], data.data(), 0, 0, nullptr));
   EXPECT_EQ(-1, SendEx(INVALID_SOCKET, data.data(), 1, 0, nullptr));
}

TEST(SocketHelpers, SendExFailsRatherThanReportPartOrRaiseSignals)
{
   // A size the int result cannot report is refused before any byte goes out, so a
   // small buffer can stand in for it.
   Pair pair;
   char data[64] = {};
   errno = 0;
   EXPECT_EQ(-1, SendEx(pair.fd[0], data, static_cast<size_t>(INT_MAX) + 1, 0, nullptr));
   EXPECT_EQ(EINVAL, errno);
   EXPECT_EQ(-2, RecvEx(pair.fd[1], data, sizeof(data), 0, 0));

   // A peer that has gone gives an error; SIGPIPE would end the test program here.
   pair.closeEnd(1);
   errno = 0;
   EXPECT_EQ(-1, SendEx(pair.fd[0], data, sizeof(data), 0, nullptr));
   EXPECT_EQ(EPIPE, errno);
}

TEST(SocketHelpers, RecvExTimesOutReadsWhatCameAndSeesClose)
{
   Pair pair;
   char buffer[10];
   Clock::time_point start = Clock::now();
   errno = 0;
   EXPECT_EQ(-2, RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, SHORT_WAIT_MS));
   EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);
   EXPECT_EQ(ETIMEDOUT, errno);

   ASSERT_EQ(4, write(pair.fd[1], "abcd", 4));
   EXPECT_EQ(4, RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, GENEROUS_MS));
   EXPECT_EQ(0, memcmp(buffer, "abcd", 4));

   pair.closeEnd(1);
   EXPECT_EQ(0, RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, GENEROUS_MS));
   EXPECT_EQ(-1, RecvEx(INVALID_SOCKET, buffer, sizeof(buffer), 0, GENEROUS_MS));
}

TEST(SocketHelpers, SignalsDoNotCutOrStretchAWait)
{
   // Interrupted waits go on for the time left: no early result, no wait started over.
   struct sigaction action = {}, previous;
   action.sa_handler = [](int) {};
   ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));
   Pair pair;
   char buffer[4];
   int rc = 0;
   long long elapsed = 0;
   std::atomic<bool> done{false};
   Worker reader([&] {
      Clock::time_point start = Clock::now();
      rc = RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, 3 * SHORT_WAIT_MS);
      elapsed = MsSince(start);
      done = true;
   });
   for (Clock::time_point start = Clock::now(); !done && Clock::now() - start < GENEROUS; std::this_thread::yield())
      pthread_kill(static_cast<pthread_t>(reader.record()->handle), SIGUSR1);
   reader.join();
   sigaction(SIGUSR1, &previous, nullptr);
   EXPECT_EQ(-2, rc);
   EXPECT_GE(elapsed, 3 * SHORT_WAIT_FLOOR_MS);
   EXPECT_LT(elapsed, GENEROUS.count());
}

TEST(SocketHelpers, RecvAllNeedsEveryByte)
{
   char buffer[10];
   Pair pair;
   // Pieces that come apart are put together.
   ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
   Worker writer([&] { EXPECT_EQ(6, write(pair.fd[1], "456789", 6)); });
   EXPECT_TRUE(RecvAll(pair.fd[0], buffer, sizeof(buffer), GENEROUS_MS));
   EXPECT_EQ(0, memcmp(buffer, "0123456789", 10));
   EXPECT_TRUE(RecvAll(pair.fd[0], buffer, 0, 0));

   // Too few bytes, then no more within the time-out (which is for each wait).
   ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
   Clock::time_point start = Clock::now();
   EXPECT_FALSE(RecvAll(pair.fd[0], buffer, sizeof(buffer), SHORT_WAIT_MS));
   EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);

   // Too few bytes, then the peer closes: false, even without a time-out.
   ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
   pair.closeEnd(1);
   EXPECT_FALSE(RecvAll(pair.fd[0], buffer, sizeof(buffer), INFINITE));
   EXPECT_FALSE(RecvAll(INVALID_SOCKET, buffer, sizeof(buffer), 0));
}

TEST(SocketHelpers, SendersSharingAMutexNeverInterleave)
{
   // The sending socket is non-blocking with a small buffer, so every message goes out
   // in several partial sends with waits between them.
   constexpr int SENDERS = 4;
   constexpr int MESSAGES = 40;
   Pair pair;
   MakeSlowSender(pair.fd[0]);
   Mutex mutex;
   Flag go;
   std::vector<std::unique_ptr<Worker>> senders;
   for (int id = 0; id < SENDERS; id++)
   {
      senders.emplace_back(new Worker([&, id] {
         go.wait();
         for (int seq = 0; seq < MESSAGES; seq++)
         {
            std::vector<uint8_t> message = Message(id, seq);
            EXPECT_EQ(static_cast<int>(message.size()), SendEx(pair.fd[0], message.data(), message.size(), 0, &mutex));
         }
      }));
   }
   // Should a check below fail, the senders must not wait on a reader that has gone.
   struct StopSendersOnExit
   {
      int fd;
      ~StopSendersOnExit() { ::shutdown(fd, SHUT_RDWR); }
   } stop{pair.fd[1]};
   go.set();

   int next[SENDERS] = {};
   for (int i = 0; i < SENDERS * MESSAGES; i++)
   {
      uint32_t header[2];
      ASSERT_TRUE(RecvAll(pair.fd[1], header, sizeof(header), GENEROUS_MS));
      ASSERT_LT(header[0], static_cast<uint32_t>(SENDERS));
      ASSERT_EQ(static_cast<uint32_t>(next[header[0]]++), header[1]) << "sender " << header[0];
      std::vector<uint8_t> expected = Message(header[0], header[1]), received(expected.size());
      memcpy(received.data(), header, sizeof(header));
      ASSERT_TRUE(RecvAll(pair.fd[1], received.data() + sizeof(header), received.size() - sizeof(header), GENEROUS_MS));
      ASSERT_EQ(expected, received) << "message " << header[1] << " of sender " << header[0]
                                    << " is mixed with another";
   }
   for (auto &sender : senders)
      sender->join();
}

class SocketConnect : public ::testing::TestWithParam<Loopback>
{
protected:
   /* A new unconnected socket of the family; the test closes it. */
   int newSocket() { return socket(GetParam().family(), SOCK_STREAM | SOCK_CLOEXEC, 0); }

   int connectEx(int s, uint16_t port, uint32_t timeout)
   {
      SockAddrBuffer buffer;
      struct sockaddr *sa = GetParam().address.fillSockAddr(&buffer, port);
      int length = (GetParam().family() == AF_INET) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
      return ConnectEx(s, sa, length, timeout);
   }
};

TEST_P(SocketConnect, RefusedWhereNothingListens)
{
   // A port bound without listening refuses connections.
   uint16_t port;
   Closer holder{BoundSocket(GetParam(), -1, &port)};
   if (holder.fd < 0)
      GTEST_SKIP() << GetParam().name << " loopback cannot be bound here";

   int s = newSocket();
   errno = 0;
   EXPECT_EQ(-1, connectEx(s, port, GENEROUS_MS));
   EXPECT_EQ(ECONNREFUSED, errno);
   EXPECT_TRUE(IsNonBlocking(s));
   close(s);

   long before = OpenDescriptors();
   errno = 0;
   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(GetParam().address, port, GENEROUS_MS));
   EXPECT_EQ(ECONNREFUSED, errno);
   EXPECT_EQ(before, OpenDescriptors());
   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(InetAddress::INVALID, port, GENEROUS_MS));
}

TEST_P(SocketConnect, ConnectsAndTimesOutOnAFullBacklog)
{
   uint16_t port;
   int listener = BoundSocket(GetParam(), 0, &port);
   if (listener < 0)
      GTEST_SKIP() << GetParam().name << " loopback cannot be bound here";
   Closer listening{listener}, first{ConnectToHost(GetParam().address, port, GENEROUS_MS)};
   ASSERT_NE(INVALID_SOCKET, first.fd);
   EXPECT_TRUE(IsNonBlocking(first.fd));
   // A listener with backlog 0 holds one connection; once it sits in the accept queue,
   // further connection requests are dropped unanswered.
   struct pollfd queued = {listener, POLLIN, 0};
   ASSERT_EQ(1, ::poll(&queued, 1, GENEROUS_MS));

   Closer second{newSocket()};
   Clock::time_point start = Clock::now();
   errno = 0;
   int rc = connectEx(second.fd, port, SHORT_WAIT_MS);
   if (rc == 0)
      GTEST_SKIP() << "this kernel answers connections beyond a full backlog; no unanswered target for the time-out";
   EXPECT_EQ(-1, rc);
   EXPECT_EQ(ETIMEDOUT, errno);
   EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);

   long before = OpenDescriptors();
   errno = 0;
   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(GetParam().address, port, SHORT_WAIT_MS));
   EXPECT_EQ(ETIMEDOUT, errno);
   EXPECT_EQ(before, OpenDescriptors());
}

INSTANTIATE_TEST_SUITE_P(Loopback, SocketConnect, ::testing::ValuesIn(LOOPBACKS),
                         [](const ::testing::TestParamInfo<Loopback> &info) { return std::string(info.param.name); });

TEST(SocketPoller, CountsAddsAndPollsEachSocketOnce)
{
   Pair pair;
   SocketPoller poller;
   EXPECT_EQ(-1, poller.poll(0));
   EXPECT_FALSE(poller.add(INVALID_SOCKET));
   EXPECT_TRUE(poller.add(pair.fd[0]));
   EXPECT_TRUE(poller.add(pair.fd[0]));
   ASSERT_EQ(1, write(pair.fd[1], "x", 1));
   EXPECT_EQ(1, poller.poll(GENEROUS_MS));
   EXPECT_TRUE(poller.isSet(pair.fd[0]));

   poller.reset();
   EXPECT_FALSE(poller.isSet(pair.fd[0]));
   for (int i = 0; i < SocketPoller::MAX_SOCKETS - 1; i++)
      EXPECT_TRUE(poller.add(pair.fd[1]));
   EXPECT_TRUE(poller.add(pair.fd[0]));
   EXPECT_FALSE(poller.add(pair.fd[0]));
}

TEST(SocketPoller, WaitsOnDescriptorsOfAnyNumber)
{
   // Descriptors far above the classic select set size.
   constexpr int HIGH_FD = 1500;
   std::vector<std::unique_ptr<Pair>> pairs;
   for (int i = 0; i < SocketPoller::MAX_SOCKETS; i++)
   {
      pairs.emplace_back(new Pair);
      int high = fcntl(pairs.back()->fd[0], F_DUPFD_CLOEXEC, HIGH_FD);
      if (high < 0)
         GTEST_SKIP() << "descriptors above " << HIGH_FD << " are not allowed here";
      close(pairs.back()->fd[0]);
      pairs.back()->fd[0] = high;
   }

   SocketPoller reader, writer(true);
   for (auto &pair : pairs)
      ASSERT_TRUE(reader.add(pair->fd[0]) && writer.add(pair->fd[0]));
   EXPECT_EQ(SocketPoller::MAX_SOCKETS, writer.poll(GENEROUS_MS));
   EXPECT_EQ(0, reader.poll(SHORT_WAIT_MS));

   // Every third socket gets data; the next round finds exactly those.
   reader.reset();
   for (size_t i = 0; i < pairs.size(); i++)
   {
      ASSERT_TRUE(reader.add(pairs[i]->fd[0]));
      ASSERT_TRUE(i % 3 != 1 || write(pairs[i]->fd[1], "x", 1) == 1);
   }
   EXPECT_EQ(SocketPoller::MAX_SOCKETS / 3, reader.poll(GENEROUS_MS));
   for (size_t i = 0; i < pairs.size(); i++)
      EXPECT_EQ(i % 3 == 1, reader.isSet(pairs[i]->fd[0])) << "socket " << i;
}

TEST(SocketCommChannel, PassesBytesAndWaits)
{
   Pair pair;
   AbstractCommChannel *channel = new SocketCommChannel(pair.fd[0], false);
   char buffer[8];
   EXPECT_EQ(3, channel->send("abc", 3, nullptr));
   ASSERT_EQ(3, read(pair.fd[1], buffer, sizeof(buffer)));

   EXPECT_EQ(1, channel->poll(GENEROUS_MS, true));
   ASSERT_EQ(2, write(pair.fd[1], "de", 2));
   EXPECT_EQ(1, channel->poll(GENEROUS_MS, false));
   EXPECT_EQ(2, channel->recv(buffer, sizeof(buffer), GENEROUS_MS));

   EXPECT_EQ(0, channel->shutdown());
   EXPECT_EQ(0, read(pair.fd[1], buffer, sizeof(buffer)));
   channel->decRefCount();
}

TEST(SocketCommChannel, ClosesOnlyWhatItShouldAndOnlyOnce)
{
   // The last reference closes an owned socket only.
   Pair pair;
   (new SocketCommChannel(pair.fd[0], false))->decRefCount();
   EXPECT_TRUE(IsOpen(pair.fd[0]));
   (new SocketCommChannel(pair.fd[1], true))->decRefCount();
   EXPECT_FALSE(IsOpen(pair.fd[1]));
   pair.fd[1] = -1;

   // close releases the socket whatever the owner flag; then another file takes the
   // number over, and the channel must leave it alone.
   int number = pair.fd[0];
   SocketCommChannel *channel = new SocketCommChannel(number, true);
   channel->close();
   EXPECT_FALSE(IsOpen(number));
   pair.fd[0] = -1;
   Pair other;
   ASSERT_EQ(number, dup2(other.fd[0], number));
   char buffer[4];
   EXPECT_EQ(-1, channel->send("x", 1, nullptr));
   EXPECT_EQ(-1, channel->recv(buffer, sizeof(buffer), 0));
   EXPECT_EQ(-1, channel->poll(0, false));
   EXPECT_EQ(-1, channel->shutdown());
   channel->close();
   channel->decRefCount();
   EXPECT_TRUE(IsOpen(number));
   close(number);
}

TEST(SocketCommChannel, CloseWakesAReaderAndClosesAfterIt)
{
   Pair pair;
   int number = pair.fd[0];
   pair.fd[0] = -1;
   SocketCommChannel *channel = new SocketCommChannel(number, false);
   int got = 99;
   Flag done;
   char buffer[4];
   Worker reader([&] {
      got = channel->recv(buffer, sizeof(buffer), 3 * GENEROUS_MS);
      done.set();
   });
   ASSERT_TRUE(WaitUntilPolling(reader.id()));
   channel->close();
   EXPECT_TRUE(done.wait()) << "close left the reader waiting";
   reader.join();
   EXPECT_LE(got, 0);
   EXPECT_FALSE(IsOpen(number));
   channel->decRefCount();
}
