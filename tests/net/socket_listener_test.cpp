/* The socket listener on loopback TCP: both families, the peer filter, hand-over, stop,
 * failures of socket creation, bind and accept, and peers that misbehave. */
#include "net/net_test_util.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace qvtest;

namespace {

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

const InetAddress V4_LOOPBACK = InetAddress::parse("127.0.0.1");
const InetAddress V6_LOOPBACK = InetAddress::parse("::1");

/* A listener whose hooks the test sets; it records the peers it served. */
class TestListener : public SocketListener
{
public:
   std::function<bool(const InetAddress &)> allow = [](const InetAddress &) { return true; };
   std::function<ConnectionProcessingResult(SOCKET, const InetAddress &)> serve = [](SOCKET, const InetAddress &) {
      return CPR_COMPLETED;
   };
   std::atomic<int> processed{0};
   std::atomic<int> stopAfter{-1};  // stop condition: this many connections processed

   explicit TestListener(uint16_t port, bool v4 = true, bool v6 = true) : SocketListener(port, v4, v6)
   {
      setName(L"test");
   }

   std::vector<InetAddress> peers()
   {
      std::lock_guard<std::mutex> guard(m_lock);
      return m_peers;
   }

protected:
   bool isConnectionAllowed(const InetAddress &peer) override { return allow(peer); }
   ConnectionProcessingResult processConnection(SOCKET s, const InetAddress &peer) override
   {
      {
         std::lock_guard<std::mutex> guard(m_lock);
         m_peers.push_back(peer);
      }
      ConnectionProcessingResult result = serve(s, peer);
      processed++;
      return result;
   }
   bool isStopConditionReached() override
   {
      int limit = stopAfter;
      return limit >= 0 && processed >= limit;
   }

private:
   std::mutex m_lock;
   std::vector<InetAddress> m_peers;
};

/* Runs the listener's loop on a thread of its own until shutdown. */
class LoopRunner
{
   SocketListener &m_listener;
   Worker m_worker;

public:
   explicit LoopRunner(SocketListener &listener) : m_listener(listener), m_worker([&listener] { listener.mainLoop(); })
   {}
   ~LoopRunner()
   {
      m_listener.shutdown();
      m_worker.join();
   }
   bool join() { return m_worker.join(); }
};

/* A connected client socket, closed by the destructor. */
struct Client
{
   SOCKET s;
   Client(const InetAddress &address, uint16_t port) : s(ConnectToHost(address, port, GENEROUS_MS)) {}
   ~Client()
   {
      if (s != INVALID_SOCKET)
         close(s);
   }
   /* True once the listener closed the connection (end of stream or reset). */
   bool closedByPeer()
   {
      char byte;
      int rc = RecvEx(s, &byte, 1, 0, GENEROUS_MS);
      return rc == 0 || (rc == -1 && errno == ECONNRESET);
   }
};

/* Lowers the limit of open descriptors to what is open now, so the next one fails with
 * EMFILE; restored by the destructor or by restore(). */
class DescriptorLimit
{
   struct rlimit m_saved;
   bool m_active = false;

public:
   DescriptorLimit()
   {
      getrlimit(RLIMIT_NOFILE, &m_saved);
      int probe = dup(0);
      close(probe);
      struct rlimit low = m_saved;
      low.rlim_cur = static_cast<rlim_t>(probe);
      m_active = setrlimit(RLIMIT_NOFILE, &low) == 0;
   }
   ~DescriptorLimit() { restore(); }
   void restore()
   {
      if (m_active)
         setrlimit(RLIMIT_NOFILE, &m_saved);
      m_active = false;
   }
   bool active() const { return m_active; }
};

std::string Name(const InetAddress &address)
{
   char text[InetAddress::TEXT_BUFFER_SIZE];
   return address.toStringA(text);
}

}  // namespace

TEST(SocketListener, AcceptsBothFamiliesOnOnePortAndLogsWhereItListens)
{
   LogFile log;
   uint16_t port = FreeTcpPort();
   TestListener listener(port);
   ASSERT_TRUE(listener.initialize());
   std::string suffix = ":" + std::to_string(port);
   EXPECT_TRUE(log.has("*I* SocketListener/test: listening on 0.0.0.0" + suffix));
   EXPECT_TRUE(log.has("*I* SocketListener/test: listening on [::]" + suffix));

   // Both wait in the backlogs before the loop runs, so both families are ready at once.
   Client v4(V4_LOOPBACK, port);
   Client v6(V6_LOOPBACK, port);
   ASSERT_NE(INVALID_SOCKET, v4.s);
   ASSERT_NE(INVALID_SOCKET, v6.s);
   LoopRunner loop(listener);
   ASSERT_TRUE(WaitFor([&] { return listener.processed == 2; }));
   EXPECT_TRUE(v4.closedByPeer());
   EXPECT_TRUE(v6.closedByPeer());

   std::set<std::string> peers;
   for (const InetAddress &peer : listener.peers())
      peers.insert(Name(peer) + "/" + std::to_string(peer.getMaskBits()));
   EXPECT_EQ(peers, (std::set<std::string>{"127.0.0.1/32", "::1/128"}));
   EXPECT_EQ(2u, listener.getAcceptedConnections());
   EXPECT_EQ(0u, listener.getRejectedConnections());
   EXPECT_EQ(0u, listener.getAcceptErrors());
}

TEST(SocketListener, RefusedPeerIsClosedAndCountedWithoutProcessing)
{
   uint16_t port = FreeTcpPort();
   TestListener listener(port);
   listener.allow = [](const InetAddress &peer) { return peer.getFamily() == AF_INET; };
   ASSERT_TRUE(listener.initialize());
   DebugLines debug(5);
   LoopRunner loop(listener);

   Client refused(V6_LOOPBACK, port);
   EXPECT_TRUE(refused.closedByPeer());
   Client allowed(V4_LOOPBACK, port);
   ASSERT_TRUE(WaitFor([&] { return listener.processed == 1; }));
   EXPECT_EQ(1u, listener.getRejectedConnections());
   EXPECT_EQ(1u, listener.getAcceptedConnections());
   ASSERT_EQ(1u, listener.peers().size());
   EXPECT_EQ(AF_INET, listener.peers()[0].getFamily());
   EXPECT_TRUE(debug.has(L"SocketListener/test: Incoming connection from ::1"));
   EXPECT_TRUE(debug.has(L"SocketListener/test: Connection from ::1 rejected"));
   EXPECT_TRUE(debug.has(L"SocketListener/test: Connection from 127.0.0.1 accepted"));
}

TEST(SocketListener, ListenAddressBindsEachFamilyOrItsLoopback)
{
   LogFile log;
   uint16_t port = FreeTcpPort();
   std::string suffix = ":" + std::to_string(port);
   {
      TestListener listener(port);
      listener.setListenAddress(L"127.0.0.1");
      ASSERT_TRUE(listener.initialize());
      // An IPv4 literal has no IPv6 address: that family binds to its loopback.
      EXPECT_TRUE(log.has("*I* SocketListener/test: listening on 127.0.0.1" + suffix));
      EXPECT_TRUE(log.has("*I* SocketListener/test: listening on [::1]" + suffix));
      LoopRunner loop(listener);
      Client client(V6_LOOPBACK, port);
      ASSERT_TRUE(WaitFor([&] { return listener.processed == 1; }));
   }
   {
      TestListener listener(port);
      listener.setListenAddress(L"*");
      ASSERT_TRUE(listener.initialize());
      EXPECT_EQ(2u, log.count("*I* SocketListener/test: listening on 0.0.0.0" + suffix) +
                        log.count("*I* SocketListener/test: listening on [::]" + suffix));
   }
}

TEST(SocketListener, HandlerMayKeepTheSocketForBackgroundWork)
{
   uint16_t port = FreeTcpPort();
   TestListener listener(port);
   std::vector<std::unique_ptr<std::thread>> workers;
   std::mutex workersLock;
   // Each connection is served on a thread of its own: it echoes one byte, or gives up on
   // a peer that stays silent.
   listener.serve = [&](SOCKET s, const InetAddress &) {
      std::lock_guard<std::mutex> guard(workersLock);
      workers.emplace_back(new std::thread([s] {
         char byte;
         if (RecvEx(s, &byte, 1, 0, GENEROUS_MS) == 1)
            SendEx(s, &byte, 1, 0, nullptr);
         close(s);
      }));
      return CPR_BACKGROUND;
   };
   ASSERT_TRUE(listener.initialize());
   long before = OpenDescriptorCount();
   {
      LoopRunner loop(listener);
      Client silent(V4_LOOPBACK, port);   // connects and sends nothing
      Client leaving(V6_LOOPBACK, port);  // disconnects while being served
      ASSERT_TRUE(WaitFor([&] { return listener.processed == 2; }));
      close(leaving.s);
      leaving.s = INVALID_SOCKET;
      for (int i = 0; i < 5; i++)
      {
         Client other((i % 2) ? V6_LOOPBACK : V4_LOOPBACK, port);
         char byte = static_cast<char>('a' + i);
         ASSERT_EQ(1, SendEx(other.s, &byte, 1, 0, nullptr));
         char echo = 0;
         ASSERT_EQ(1, RecvEx(other.s, &echo, 1, 0, GENEROUS_MS)) << i;
         EXPECT_EQ(byte, echo);
      }
      SendEx(silent.s, "z", 1, 0, nullptr);  // lets its worker end
   }
   for (auto &worker : workers)
      worker->join();
   EXPECT_EQ(7, listener.processed);
   EXPECT_EQ(before, OpenDescriptorCount());
}

TEST(SocketListener, ShutdownAndStopConditionEndTheLoop)
{
   uint16_t port = FreeTcpPort();
   {
      TestListener listener(port);
      ASSERT_TRUE(listener.initialize());
      Worker loop([&] { listener.mainLoop(); });
      ASSERT_TRUE(WaitUntilPolling(loop.id()));
      listener.shutdown();
      EXPECT_TRUE(loop.join());
      // The sockets stay open until destruction, but nothing more is accepted.
      Client late(V4_LOOPBACK, port);
      EXPECT_EQ(0, listener.processed);
      EXPECT_EQ(0u, listener.getAcceptedConnections());
   }
   {
      TestListener listener(port);
      listener.stopAfter = 2;
      ASSERT_TRUE(listener.initialize());
      Worker loop([&] { listener.mainLoop(); });
      Client first(V4_LOOPBACK, port);
      Client second(V6_LOOPBACK, port);
      EXPECT_TRUE(loop.join());  // returns by itself after the second connection
      EXPECT_EQ(2, listener.processed);
   }
}

TEST(SocketListener, NoSocketAtAllFailsInitializeWithoutEndingTheProcess)
{
   LogFile log;
   uint16_t port = FreeTcpPort();
   TestListener listener(port);
   listener.setName(L"nofds");
   bool initialized;
   {
      DescriptorLimit limit;
      ASSERT_TRUE(limit.active());
      initialized = listener.initialize();
   }
   EXPECT_FALSE(initialized);
   EXPECT_TRUE(log.has("*E* SocketListener/nofds: socket() call failed (24 Too many open files)"));
}

TEST(SocketListener, FailedBindsAreLoggedAndNoFamilyBoundFails)
{
   LogFile log;
   uint16_t port = FreeTcpPort();
   TestListener holder(port);
   ASSERT_TRUE(holder.initialize());

   TestListener both(port);
   both.setName(L"both");
   EXPECT_FALSE(both.initialize());
   EXPECT_TRUE(log.has("*E* SocketListener/both: cannot bind IPv4 socket (98 Address already in use)"));
   EXPECT_TRUE(log.has("*E* SocketListener/both: cannot bind IPv6 socket (98 Address already in use)"));

   TestListener v4only(port, true, false);
   v4only.setName(L"v4only");
   EXPECT_FALSE(v4only.initialize());
   size_t errors = 0;
   for (const std::string &line : log.lines())
      errors += line.rfind("*E* SocketListener/v4only:", 0) == 0;
   EXPECT_EQ(1u, errors);

   // One family bound is enough to serve.
   TestListener holderV6Free(FreeTcpPort(), false, true);
   EXPECT_TRUE(holderV6Free.initialize());
}

TEST(SocketListener, FailedAcceptIsWarnedOnceForASeriesAndCounted)
{
   LogFile log;
   uint16_t port = FreeTcpPort();
   TestListener listener(port, true, false);
   ASSERT_TRUE(listener.initialize());
   SOCKET s = socket(AF_INET, SOCK_STREAM, 0);  // made before the limit: connect needs none
   ASSERT_NE(INVALID_SOCKET, s);
   {
      DescriptorLimit limit;
      ASSERT_TRUE(limit.active());
      LoopRunner loop(listener);
      SockAddrBuffer buffer;
      struct sockaddr *sa = V4_LOOPBACK.fillSockAddr(&buffer, port);
      ASSERT_EQ(0, connect(s, sa, sizeof(sockaddr_in)));
      // Accept fails while no descriptor is left, and works once one is again.
      ASSERT_TRUE(WaitFor([&] { return listener.getAcceptErrors() >= 2; }));
      limit.restore();
      ASSERT_TRUE(WaitFor([&] { return listener.processed == 1; }));
   }
   close(s);
   EXPECT_EQ(1u, log.count("*W* SocketListener/test: accept() call failed (24 Too many open files)"));
   EXPECT_EQ(1u, listener.getAcceptedConnections());
}

TEST(SocketListener, FloodOfConnectionsIsServedWithoutLeaks)
{
   constexpr int FLOOD = 1000;
   uint16_t port = FreeTcpPort();
   long before = OpenDescriptorCount();
   {
      TestListener listener(port);
      ASSERT_TRUE(listener.initialize());
      LoopRunner loop(listener);
      // Connect and leave at once, on both families, as fast as the test can.
      for (int i = 0; i < FLOOD; i++)
      {
         Client client((i % 2) ? V6_LOOPBACK : V4_LOOPBACK, port);
         ASSERT_NE(INVALID_SOCKET, client.s) << i;
      }
      ASSERT_TRUE(WaitFor([&] { return listener.processed == FLOOD; }));
      EXPECT_EQ(static_cast<uint32_t>(FLOOD), listener.getAcceptedConnections());
      EXPECT_EQ(0u, listener.getAcceptErrors());
      // Still serving after the flood.
      Client after(V4_LOOPBACK, port);
      EXPECT_TRUE(after.closedByPeer());
   }
   EXPECT_EQ(before, OpenDescriptorCount());
}
