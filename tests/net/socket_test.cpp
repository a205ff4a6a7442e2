/* Socket helpers, poller and socket channel on socketpairs and loopback TCP. */
#include "threads/thread_test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
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
   ~Pair()
   {
      closeEnd(0);
      closeEnd(1);
   }
   void closeEnd(int i)
   {
      if (fd[i] >= 0)
         close(fd[i]);
      fd[i] = -1;
   }
};

bool IsOpen(int fd)
{
   return fcntl(fd, F_GETFD) != -1;
}

bool IsNonBlocking(int fd)
{
   return (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

void SetNonBlocking(int fd)
{
   ASSERT_EQ(0, fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK));
}

int OpenDescriptors()
{
   int count = 0;
   DIR *dir = opendir("/proc/self/fd");
   while (dir != nullptr && readdir(dir) != nullptr)
      count++;
   if (dir != nullptr)
      closedir(dir);
   return count;
}

/* True once thread tid is inside one of the system calls given (where a blocked socket
 * call sits); false when that did not happen within GENEROUS. */
bool WaitUntilInCall(uint32_t tid, std::initializer_list<long> calls)
{
   Clock::time_point start = Clock::now();
   while (Clock::now() - start < GENEROUS)
   {
      std::string now = ReadTaskFile(tid, "syscall");
      for (long call : calls)
      {
         std::string prefix = std::to_string(call) + " ";
         if (now.compare(0, prefix.size(), prefix) == 0)
            return true;
      }
      std::this_thread::yield();
   }
   return false;
}

/* A loopback address of one family and a socket address for it. */
struct Loopback
{
   const char *name;
   int family;
   InetAddress address;
};

std::vector<Loopback> Loopbacks()
{
   static const uint8_t V6_LOOPBACK[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
   return {{"IPv4", AF_INET, InetAddress::LOOPBACK}, {"IPv6", AF_INET6, InetAddress(V6_LOOPBACK)}};
}

/* A TCP socket bound to the loopback address on a free port (listening with the given
 * backlog unless it is negative); -1 when the family cannot be bound here. */
int BoundSocket(const Loopback &lo, int backlog, uint16_t *port)
{
   int s = socket(lo.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
   if (s < 0)
      return -1;
   SockAddrBuffer buffer;
   struct sockaddr *sa = lo.address.fillSockAddr(&buffer, 0);
   socklen_t length = (lo.family == AF_INET) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
   if (bind(s, sa, length) != 0 || (backlog >= 0 && listen(s, backlog) != 0) || getsockname(s, sa, &length) != 0)
   {
      close(s);
      return -1;
   }
   *port = ntohs((lo.family == AF_INET) ? reinterpret_cast<sockaddr_in *>(sa)->sin_port
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

}  // namespace

TEST(SocketHelpers, SendExSendsEverythingThroughFullBuffers)
{
   Pair pair;
   SetNonBlocking(pair.fd[0]);
   int small = 4096;
   setsockopt(pair.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
   const size_t SIZE = 1 << 20;
   std::vector<uint8_t> data = Pattern(SIZE, 7), received(SIZE);

   bool complete = false;
   Worker reader([&] { complete = RecvAll(pair.fd[1], received.data(), SIZE, GENEROUS_MS); });
   EXPECT_EQ(static_cast<int>(SIZE), SendEx(pair.fd[0], data.data(), SIZE, 0, nullptr));
   reader.join();
   EXPECT_TRUE(complete);
   EXPECT_EQ(data, received);

   EXPECT_EQ(0, SendEx(pair.fd[0], data.data(), 0, 0, nullptr));
   EXPECT_EQ(-1, SendEx(INVALID_SOCKET, data.data(), 1, 0, nullptr));
}

TEST(SocketHelpers, SendExRefusesSizesItCannotReport)
{
   // The result is an int: a larger buffer is refused before any byte goes out (the
   // buffer is never read, so a small one stands in for it).
   Pair pair;
   char byte = 'x';
   errno = 0;
   EXPECT_EQ(-1, SendEx(pair.fd[0], &byte, static_cast<size_t>(INT_MAX) + 1, 0, nullptr));
   EXPECT_EQ(EINVAL, errno);
   char buffer[4];
   EXPECT_EQ(-2, RecvEx(pair.fd[1], buffer, sizeof(buffer), 0, 0));
}

TEST(SocketHelpers, SendExToClosedPeerFailsWithoutSignal)
{
   // SIGPIPE would end the test program here.
   Pair pair;
   pair.closeEnd(1);
   char data[64] = {};
   errno = 0;
   EXPECT_EQ(-1, SendEx(pair.fd[0], data, sizeof(data), 0, nullptr));
   EXPECT_EQ(EPIPE, errno);
}

TEST(SocketHelpers, RecvExWaitsReadsWhatCameAndSeesClose)
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

   // Without a limit the receive blocks until data comes.
   int got = 0;
   Worker reader([&] { got = RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, INFINITE); });
   // INFINITE means one blocking recv, no wait before it.
   ASSERT_TRUE(WaitUntilInCall(reader.id(), {SYS_recvfrom}));
   ASSERT_EQ(3, write(pair.fd[1], "xyz", 3));
   reader.join();
   EXPECT_EQ(3, got);

   pair.closeEnd(1);
   EXPECT_EQ(0, RecvEx(pair.fd[0], buffer, sizeof(buffer), 0, GENEROUS_MS));
   EXPECT_EQ(-1, RecvEx(INVALID_SOCKET, buffer, sizeof(buffer), 0, GENEROUS_MS));
}

TEST(SocketHelpers, RecvAllNeedsEveryByte)
{
   char buffer[10];
   {
      // Pieces that come apart are put together.
      Pair pair;
      ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
      Worker writer([&] { EXPECT_EQ(6, write(pair.fd[1], "456789", 6)); });
      EXPECT_TRUE(RecvAll(pair.fd[0], buffer, sizeof(buffer), GENEROUS_MS));
      EXPECT_EQ(0, memcmp(buffer, "0123456789", 10));
      EXPECT_TRUE(RecvAll(pair.fd[0], buffer, 0, 0));
   }
   {
      // Too few bytes, then no more within the time-out.
      Pair pair;
      ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
      Clock::time_point start = Clock::now();
      EXPECT_FALSE(RecvAll(pair.fd[0], buffer, sizeof(buffer), SHORT_WAIT_MS));
      EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);
   }
   {
      // Too few bytes, then the peer closes: false, even without a time-out.
      Pair pair;
      ASSERT_EQ(4, write(pair.fd[1], "0123", 4));
      pair.closeEnd(1);
      EXPECT_FALSE(RecvAll(pair.fd[0], buffer, sizeof(buffer), INFINITE));
   }
   EXPECT_FALSE(RecvAll(INVALID_SOCKET, buffer, sizeof(buffer), 0));
}

TEST(SocketHelpers, SendersSharingAMutexNeverInterleave)
{
   // Each message is a header (sender, sequence, length) and a body of bytes derived
   // from the header; the sending socket is non-blocking with a small buffer, so every
   // message goes out in several partial sends with waits between them.
   constexpr int SENDERS = 4;
   constexpr int MESSAGES = 40;
   constexpr size_t BODY_MIN = 3000;
   Pair pair;
   SetNonBlocking(pair.fd[0]);
   int small = 4096;
   setsockopt(pair.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));

   Mutex mutex;
   Flag go;
   std::atomic<int> failures{0};
   std::vector<std::unique_ptr<Worker>> senders;
   for (int id = 0; id < SENDERS; id++)
   {
      senders.emplace_back(new Worker([&, id] {
         go.wait();
         for (int seq = 0; seq < MESSAGES; seq++)
         {
            uint32_t length = static_cast<uint32_t>(BODY_MIN + 997 * seq % 5000);
            std::vector<uint8_t> message = Pattern(12 + length, id * 1000 + seq);
            uint32_t header[3] = {static_cast<uint32_t>(id), static_cast<uint32_t>(seq), length};
            memcpy(message.data(), header, sizeof(header));
            if (SendEx(pair.fd[0], message.data(), message.size(), 0, &mutex) != static_cast<int>(message.size()))
               failures++;
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
      uint32_t header[3];
      ASSERT_TRUE(RecvAll(pair.fd[1], header, sizeof(header), GENEROUS_MS));
      ASSERT_LT(header[0], static_cast<uint32_t>(SENDERS));
      ASSERT_EQ(static_cast<uint32_t>(next[header[0]]), header[1]) << "sender " << header[0];
      next[header[0]]++;
      std::vector<uint8_t> expected = Pattern(12 + header[2], header[0] * 1000 + header[1]);
      std::vector<uint8_t> body(header[2]);
      ASSERT_TRUE(RecvAll(pair.fd[1], body.data(), body.size(), GENEROUS_MS));
      ASSERT_TRUE(std::equal(body.begin(), body.end(), expected.begin() + 12))
          << "message " << header[1] << " of sender " << header[0] << " is mixed with another";
   }
   for (auto &sender : senders)
      sender->join();
   EXPECT_EQ(0, failures.load());
}

class SocketConnect : public ::testing::TestWithParam<Loopback>
{
protected:
   void SetUp() override
   {
      uint16_t port;
      int probe = BoundSocket(GetParam(), -1, &port);
      if (probe < 0)
         GTEST_SKIP() << GetParam().name << " loopback cannot be bound here";
      close(probe);
   }

   /* A new unconnected socket of the family; the test closes it. */
   int newSocket() { return socket(GetParam().family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

   int connectEx(int s, uint16_t port, uint32_t timeout)
   {
      SockAddrBuffer buffer;
      struct sockaddr *sa = GetParam().address.fillSockAddr(&buffer, port);
      int length = (GetParam().family == AF_INET) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
      return ConnectEx(s, sa, length, timeout);
   }
};

TEST_P(SocketConnect, RefusedWhereNothingListens)
{
   // A port bound without listening refuses connections.
   uint16_t port;
   int holder = BoundSocket(GetParam(), -1, &port);
   ASSERT_GE(holder, 0);

   int s = newSocket();
   errno = 0;
   EXPECT_EQ(-1, connectEx(s, port, GENEROUS_MS));
   EXPECT_EQ(ECONNREFUSED, errno);
   EXPECT_TRUE(IsNonBlocking(s));
   close(s);

   int before = OpenDescriptors();
   errno = 0;
   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(GetParam().address, port, GENEROUS_MS));
   EXPECT_EQ(ECONNREFUSED, errno);
   EXPECT_EQ(before, OpenDescriptors());
   close(holder);

   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(InetAddress::INVALID, port, GENEROUS_MS));
}

TEST_P(SocketConnect, ConnectsAndTimesOutOnAFullBacklog)
{
   uint16_t port;
   int listener = BoundSocket(GetParam(), 0, &port);
   ASSERT_GE(listener, 0);

   SOCKET first = ConnectToHost(GetParam().address, port, GENEROUS_MS);
   ASSERT_NE(INVALID_SOCKET, first);
   EXPECT_TRUE(IsNonBlocking(first));
   // A listener with backlog 0 holds one connection; once it sits in the accept queue,
   // further connection requests are dropped unanswered.
   struct pollfd queued = {listener, POLLIN, 0};
   ASSERT_EQ(1, ::poll(&queued, 1, GENEROUS_MS));

   int second = newSocket();
   Clock::time_point start = Clock::now();
   errno = 0;
   int rc = connectEx(second, port, SHORT_WAIT_MS);
   int error = errno;
   close(second);
   if (rc == 0)
   {
      close(first);
      close(listener);
      GTEST_SKIP() << "this kernel answers connections beyond a full backlog; no unanswered target for the time-out";
   }
   EXPECT_EQ(-1, rc);
   EXPECT_EQ(ETIMEDOUT, error);
   EXPECT_GE(MsSince(start), SHORT_WAIT_FLOOR_MS);

   int before = OpenDescriptors();
   errno = 0;
   EXPECT_EQ(INVALID_SOCKET, ConnectToHost(GetParam().address, port, SHORT_WAIT_MS));
   EXPECT_EQ(ETIMEDOUT, errno);
   EXPECT_EQ(before, OpenDescriptors());

   // The connected socket carries data although it was left non-blocking.
   int accepted = accept(listener, nullptr, nullptr);
   ASSERT_GE(accepted, 0);
   std::vector<uint8_t> data = Pattern(200000, 3), received(data.size());
   Worker reader([&] { EXPECT_TRUE(RecvAll(accepted, received.data(), received.size(), GENEROUS_MS)); });
   EXPECT_EQ(static_cast<int>(data.size()), SendEx(first, data.data(), data.size(), 0, nullptr));
   reader.join();
   EXPECT_EQ(data, received);
   close(accepted);
   close(first);
   close(listener);
}

INSTANTIATE_TEST_SUITE_P(Loopback, SocketConnect, ::testing::ValuesIn(Loopbacks()),
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
   struct rlimit limit;
   ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
   if (limit.rlim_cur < HIGH_FD + 2 * SocketPoller::MAX_SOCKETS)
   {
      limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, HIGH_FD + 2 * SocketPoller::MAX_SOCKETS);
      setrlimit(RLIMIT_NOFILE, &limit);
   }
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

   SocketPoller reader;
   for (auto &pair : pairs)
      ASSERT_TRUE(reader.add(pair->fd[0]));
   EXPECT_EQ(0, reader.poll(SHORT_WAIT_MS));
   for (auto &pair : pairs)
      EXPECT_FALSE(reader.isSet(pair->fd[0]));

   reader.reset();
   int written = 0;
   for (size_t i = 0; i < pairs.size(); i++)
   {
      ASSERT_TRUE(reader.add(pairs[i]->fd[0]));
      if (i % 3 == 1)
      {
         ASSERT_EQ(1, write(pairs[i]->fd[1], "x", 1));
         written++;
      }
   }
   EXPECT_EQ(written, reader.poll(GENEROUS_MS));
   for (size_t i = 0; i < pairs.size(); i++)
      EXPECT_EQ(i % 3 == 1, reader.isSet(pairs[i]->fd[0])) << "socket " << i;

   SocketPoller writer(true);
   for (auto &pair : pairs)
      ASSERT_TRUE(writer.add(pair->fd[0]));
   EXPECT_EQ(SocketPoller::MAX_SOCKETS, writer.poll(GENEROUS_MS));
}

TEST(SocketCommChannel, PassesBytesAndWaits)
{
   Pair pair;
   AbstractCommChannel *channel = new SocketCommChannel(pair.fd[0], false);
   Mutex mutex;
   char buffer[8];
   EXPECT_EQ(3, channel->send("abc", 3, &mutex));
   ASSERT_EQ(3, read(pair.fd[1], buffer, sizeof(buffer)));

   EXPECT_EQ(0, channel->poll(SHORT_WAIT_MS, false));
   EXPECT_EQ(-2, channel->recv(buffer, sizeof(buffer), 0));
   EXPECT_EQ(1, channel->poll(GENEROUS_MS, true));
   ASSERT_EQ(2, write(pair.fd[1], "de", 2));
   EXPECT_EQ(1, channel->poll(GENEROUS_MS, false));
   EXPECT_EQ(2, channel->recv(buffer, sizeof(buffer), GENEROUS_MS));

   EXPECT_EQ(0, channel->shutdown());
   EXPECT_EQ(0, read(pair.fd[1], buffer, sizeof(buffer)));
   channel->decRefCount();
}

TEST(SocketCommChannel, LastReferenceClosesOnlyAnOwnedSocket)
{
   Pair pair;
   SocketCommChannel *borrowed = new SocketCommChannel(pair.fd[0], false);
   borrowed->decRefCount();
   EXPECT_TRUE(IsOpen(pair.fd[0]));

   SocketCommChannel *owning = new SocketCommChannel(pair.fd[0], true);
   owning->incRefCount();
   owning->decRefCount();
   EXPECT_TRUE(IsOpen(pair.fd[0]));
   owning->decRefCount();
   EXPECT_FALSE(IsOpen(pair.fd[0]));
   pair.fd[0] = -1;
}

TEST(SocketCommChannel, ClosedChannelNeverTouchesTheNumberAgain)
{
   Pair pair;
   int number = pair.fd[0];
   SocketCommChannel *channel = new SocketCommChannel(number, true);
   channel->close();
   EXPECT_FALSE(IsOpen(number));
   pair.fd[0] = -1;

   // Another file takes the number over; the channel must leave it alone.
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
   ASSERT_TRUE(WaitUntilInCall(reader.id(), {SYS_poll, SYS_ppoll}));
   channel->close();
   EXPECT_TRUE(done.wait()) << "close left the reader waiting";
   reader.join();
   EXPECT_LE(got, 0);
   EXPECT_FALSE(IsOpen(number));
   channel->decRefCount();
}
