/* IcmpPing against real routes in network namespaces made by the tests: replies, silent
 * targets, blackhole, unreachable and prohibit routes (local and on a router), and
 * requests too big for the path, over IPv4 and IPv6, through the datagram ICMP socket and
 * through the raw socket the system falls back to. */
#include "net/net_namespace.h"

#include <qorvel.h>

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <sys/socket.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

/* Marks an rtt that IcmpPing must leave alone. */
constexpr uint32_t RTT_UNTOUCHED = 0xDEADBEEF;

/* Limit for a round trip inside one host, however loaded. */
constexpr uint32_t SMALL_RTT_MS = 1000;

/* A time-out that no answered request comes near. */
constexpr uint32_t LONG_TIMEOUT_MS = 20000;

/* Anything that takes less than half of LONG_TIMEOUT_MS did not wait for it. */
constexpr long long NO_WAIT_LIMIT_MS = LONG_TIMEOUT_MS / 2;

struct Probe
{
   const char *address;
   int retries;
   uint32_t timeout;
   uint32_t size;
   bool dontFragment;
};

struct Outcome
{
   uint32_t result;
   uint32_t rtt;
   long long elapsedMs;
};

std::string Describe(const Probe &p)
{
   std::ostringstream text;
   text << p.address << " retries " << p.retries << " timeout " << p.timeout << " size " << p.size
        << (p.dontFragment ? " DF" : "");
   return text.str();
}

/* Pings each probe in turn and writes "result rtt elapsed" lines. */
std::string PingAll(const std::vector<Probe> &probes)
{
   std::ostringstream text;
   for (const Probe &p : probes)
   {
      uint32_t rtt = RTT_UNTOUCHED;
      auto start = std::chrono::steady_clock::now();
      uint32_t result = IcmpPing(InetAddress::parse(p.address), p.retries, p.timeout, &rtt, p.size, p.dontFragment);
      long long elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
      text << result << ' ' << rtt << ' ' << elapsed << '\n';
   }
   return text.str();
}

/* Whether this namespace refuses unprivileged ICMP datagram sockets, so that IcmpPing must
 * use raw sockets: "raw" or "datagram", first line of the body's output. */
std::string SocketKind()
{
   int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_ICMP);
   if (fd < 0)
      return "raw\n";
   close(fd);
   return "datagram\n";
}

/* Runs the probes in a namespace made by setup; skips the test when no namespace can be
 * made. kind is "datagram" or "raw": the socket kind the namespace must leave IcmpPing. */
std::vector<Outcome> PingInNamespace(const std::string &setup, bool withPeer, const char *kind,
                                     const std::vector<Probe> &probes)
{
   NamespaceRun run = RunInNetworkNamespace(setup, withPeer, [&] { return SocketKind() + PingAll(probes); });
   std::vector<Outcome> outcomes;
   EXPECT_EQ(run.state, NamespaceRun::DONE) << run.why;
   std::istringstream lines(run.output);
   std::string socketKind;
   lines >> socketKind;
   EXPECT_EQ(socketKind, kind) << "the namespace did not give IcmpPing the socket kind the test is about";
   Outcome o;
   while (lines >> o.result >> o.rtt >> o.elapsedMs)
      outcomes.push_back(o);
   EXPECT_EQ(outcomes.size(), probes.size()) << run.output;
   outcomes.resize(probes.size(), Outcome{~0u, RTT_UNTOUCHED, 0});
   return outcomes;
}

/* Loopback up; with wide, unprivileged ICMP sockets allowed to every group. */
std::string BaseSetup(bool wide)
{
   std::string script = "ip link set lo up\n";
   if (wide)
      script += "sysctl -qw net.ipv4.ping_group_range='0 2147483647'\n";
   return script;
}

/* A router in the peer namespace, reached over a veth pair (198.18.0.1 and 2001:db8::1
 * here, .2 and ::2 there, neighbours entered by hand so that no request waits for their
 * discovery), that answers 198.51.100.0/24 and 2001:db8:100::/48 with
 * unreachable, 198.51.101.0/24 and 2001:db8:101::/48 with prohibited, and forwards
 * 198.51.102.0/24 and 2001:db8:102::/48 over a path of MTU 1280. The router sends at
 * most five IPv4 errors for its unreachable and prohibit routes in a burst (a limit of the
 * host's kernel that no namespace can lift), so the tests ask for fewer. */
const char ROUTER_SETUP[] = R"(ip link add va type veth peer name vb netns "$PEER"
ip addr add 198.18.0.1/24 dev va
ip addr add 2001:db8::1/64 dev va nodad
ip link set va up
ip route add default via 198.18.0.2
ip -6 route add default via 2001:db8::2
nsenter -t "$PEER" -n sh -e -c '
ip link set lo up
ip addr add 198.18.0.2/24 dev vb
ip addr add 2001:db8::2/64 dev vb nodad
ip link set vb up
sysctl -qw net.ipv4.ip_forward=1 net.ipv6.conf.all.forwarding=1
sysctl -qw net.ipv4.icmp_ratelimit=0 net.ipv6.icmp.ratelimit=0
ip route add unreachable 198.51.100.0/24
ip route add prohibit 198.51.101.0/24
ip route add 198.51.102.0/24 via 198.18.0.1 mtu lock 1280
ip -6 route add unreachable 2001:db8:100::/48
ip -6 route add prohibit 2001:db8:101::/48
ip -6 route add 2001:db8:102::/48 via 2001:db8::1 mtu lock 1280
'
MAC='s/.*link\/ether \([0-9a-f:]*\).*/\1/'
HERE=$(ip -o link show va | sed "$MAC")
THERE=$(nsenter -t "$PEER" -n ip -o link show vb | sed "$MAC")
ip neigh replace 198.18.0.2 lladdr "$THERE" dev va nud permanent
ip -6 neigh replace 2001:db8::2 lladdr "$THERE" dev va nud permanent
nsenter -t "$PEER" -n ip neigh replace 198.18.0.1 lladdr "$HERE" dev vb nud permanent
nsenter -t "$PEER" -n ip -6 neigh replace 2001:db8::1 lladdr "$HERE" dev vb nud permanent
)";

class IcmpPingTest : public ::testing::Test
{
protected:
   /* Runs probes as PingInNamespace does, and skips the test when namespaces cannot be
    * made here. */
   bool run(const std::string &setup, bool withPeer, const char *kind, const std::vector<Probe> &probes,
            std::vector<Outcome> *outcomes)
   {
      NamespaceRun probe = RunInNetworkNamespace("", false, [] { return std::string(); });
      if (probe.state == NamespaceRun::CANNOT_MAKE)
      {
         skipped = probe.why;
         return false;
      }
      *outcomes = PingInNamespace(setup, withPeer, kind, probes);
      return outcomes->size() == probes.size();
   }

   std::string skipped;
};

#define RUN_OR_SKIP(setup, peer, kind, probes, outcomes)                                                               \
   do                                                                                                                  \
   {                                                                                                                   \
      if (!run(setup, peer, kind, probes, &outcomes))                                                                  \
      {                                                                                                                \
         if (!skipped.empty())                                                                                         \
            GTEST_SKIP() << "network namespaces cannot be made here: " << skipped;                                     \
         return;                                                                                                       \
      }                                                                                                                \
   } while (0)

void ExpectAnswered(const Probe &p, const Outcome &o)
{
   EXPECT_EQ(o.result, PING_OK) << Describe(p);
   EXPECT_LT(o.rtt, SMALL_RTT_MS) << Describe(p);
   // A first attempt that failed would have waited its whole time-out.
   EXPECT_LT(o.elapsedMs, static_cast<long long>(p.timeout)) << Describe(p);
}

/* Failed at once on every attempt, without waiting for a time-out. */
void ExpectRefused(const Probe &p, const Outcome &o, uint32_t result)
{
   EXPECT_EQ(o.result, result) << Describe(p);
   EXPECT_EQ(o.rtt, RTT_UNTOUCHED) << Describe(p);
   EXPECT_LT(o.elapsedMs, NO_WAIT_LIMIT_MS) << Describe(p);
}

void ExpectTimedOut(const Probe &p, const Outcome &o)
{
   EXPECT_EQ(o.result, PING_TIMEOUT) << Describe(p);
   EXPECT_EQ(o.rtt, RTT_UNTOUCHED) << Describe(p);
   // Every attempt waits its whole time-out.
   long long attempts = (p.retries < 1) ? 1 : p.retries;
   EXPECT_GE(o.elapsedMs, attempts * static_cast<long long>(p.timeout)) << Describe(p);
   EXPECT_LT(o.elapsedMs, attempts * static_cast<long long>(p.timeout) + NO_WAIT_LIMIT_MS) << Describe(p);
}

const std::vector<Probe> REACHABLE = {
    {"127.0.0.1", 3, LONG_TIMEOUT_MS, 64, false},  {"::1", 3, LONG_TIMEOUT_MS, 64, false},
    {"127.0.0.1", 0, LONG_TIMEOUT_MS, 0, false},   {"::1", -5, LONG_TIMEOUT_MS, 0, false},
    {"127.0.0.1", 1, LONG_TIMEOUT_MS, 8192, true}, {"::1", 1, LONG_TIMEOUT_MS, 8192, true},
};

}  // namespace

TEST_F(IcmpPingTest, LoopbackAnswersOnTheFirstAttemptOverDatagramSockets)
{
   std::vector<Outcome> outcomes;
   RUN_OR_SKIP(BaseSetup(true), false, "datagram", REACHABLE, outcomes);
   for (size_t i = 0; i < REACHABLE.size(); i++)
      ExpectAnswered(REACHABLE[i], outcomes[i]);
}

TEST_F(IcmpPingTest, LoopbackAnswersOnTheFirstAttemptOverRawSockets)
{
   std::vector<Outcome> outcomes;
   RUN_OR_SKIP(BaseSetup(false), false, "raw", REACHABLE, outcomes);
   for (size_t i = 0; i < REACHABLE.size(); i++)
      ExpectAnswered(REACHABLE[i], outcomes[i]);
}

TEST_F(IcmpPingTest, SilentTargetsAndBlackholeRoutesTimeOutAfterEveryAttempt)
{
   const std::vector<Probe> probes = {
       {"127.0.0.1", 3, 300, 64, false},     {"::1", 2, 300, 64, false},          {"198.51.100.7", 3, 250, 64, false},
       {"2001:db8:1::7", 2, 250, 64, false}, {"198.51.100.7", 0, 200, 64, false},
   };
   const std::string setup = BaseSetup(true) +
                             "sysctl -qw net.ipv4.icmp_echo_ignore_all=1 net.ipv6.icmp.echo_ignore_all=1\n"
                             "ip route add blackhole 198.51.100.0/24\n"
                             "ip -6 route add blackhole 2001:db8:1::/64\n";
   std::vector<Outcome> outcomes;
   RUN_OR_SKIP(setup, false, "datagram", probes, outcomes);
   for (size_t i = 0; i < probes.size(); i++)
      ExpectTimedOut(probes[i], outcomes[i]);
}

TEST_F(IcmpPingTest, UnreachableAndProhibitRoutesGiveUnreachableAtOnce)
{
   const std::vector<Probe> probes = {
       {"198.51.101.7", 3, LONG_TIMEOUT_MS, 64, false},  {"198.51.102.7", 3, LONG_TIMEOUT_MS, 64, false},
       {"2001:db8:2::7", 3, LONG_TIMEOUT_MS, 64, false}, {"2001:db8:3::7", 3, LONG_TIMEOUT_MS, 64, false},
       {"203.0.113.7", 1, LONG_TIMEOUT_MS, 64, false},  // no route at all
   };
   const std::string routes = "ip route add unreachable 198.51.101.0/24\n"
                              "ip route add prohibit 198.51.102.0/24\n"
                              "ip -6 route add unreachable 2001:db8:2::/64\n"
                              "ip -6 route add prohibit 2001:db8:3::/64\n";
   for (const char *kind : {"datagram", "raw"})
   {
      SCOPED_TRACE(kind);
      std::vector<Outcome> outcomes;
      RUN_OR_SKIP(BaseSetup(kind[0] == 'd') + routes, false, kind, probes, outcomes);
      for (size_t i = 0; i < probes.size(); i++)
         ExpectRefused(probes[i], outcomes[i], PING_UNREACHABLE);
   }
}

TEST_F(IcmpPingTest, TooBigForTheInterfaceWithDontFragmentIsAnInternalError)
{
   // Without the flag the same request is fragmented and answered.
   const std::vector<Probe> probes = {
       {"127.0.0.1", 2, LONG_TIMEOUT_MS, 8192, true},  {"::1", 2, LONG_TIMEOUT_MS, 8192, true},
       {"127.0.0.1", 2, LONG_TIMEOUT_MS, 8192, false}, {"::1", 2, LONG_TIMEOUT_MS, 8192, false},
       {"127.0.0.1", 1, LONG_TIMEOUT_MS, 1200, true},
   };
   const std::string setup = BaseSetup(true) + "ip link set lo mtu 1280\n";
   std::vector<Outcome> outcomes;
   RUN_OR_SKIP(setup, false, "datagram", probes, outcomes);
   ExpectRefused(probes[0], outcomes[0], PING_INTERNAL_ERROR);
   ExpectRefused(probes[1], outcomes[1], PING_INTERNAL_ERROR);
   ExpectAnswered(probes[2], outcomes[2]);
   ExpectAnswered(probes[3], outcomes[3]);
   ExpectAnswered(probes[4], outcomes[4]);
}

TEST_F(IcmpPingTest, ErrorsFromARouterMapLikeLocalOnes)
{
   const std::vector<Probe> probes = {
       {"198.18.0.2", 2, LONG_TIMEOUT_MS, 1400, false},  // the router itself answers
       {"2001:db8::2", 2, LONG_TIMEOUT_MS, 1400, false},
       {"198.51.100.7", 2, LONG_TIMEOUT_MS, 64, false},      // host unreachable
       {"198.51.101.7", 2, LONG_TIMEOUT_MS, 64, false},      // administratively prohibited
       {"2001:db8:100::7", 3, LONG_TIMEOUT_MS, 64, false},   // no route
       {"2001:db8:101::7", 3, LONG_TIMEOUT_MS, 64, false},   // administratively prohibited
       {"198.51.102.7", 2, LONG_TIMEOUT_MS, 1400, true},     // fragmentation needed
       {"2001:db8:102::7", 2, LONG_TIMEOUT_MS, 1400, true},  // packet too big
       {"198.18.0.2", 1, LONG_TIMEOUT_MS, 64, false},        // a socket kept after errors
       {"2001:db8::2", 1, LONG_TIMEOUT_MS, 64, false},
   };
   for (const char *kind : {"datagram", "raw"})
   {
      SCOPED_TRACE(kind);
      std::vector<Outcome> outcomes;
      RUN_OR_SKIP(BaseSetup(kind[0] == 'd') + ROUTER_SETUP, true, kind, probes, outcomes);
      ExpectAnswered(probes[0], outcomes[0]);
      ExpectAnswered(probes[1], outcomes[1]);
      for (size_t i = 2; i < 6; i++)
         ExpectRefused(probes[i], outcomes[i], PING_UNREACHABLE);
      ExpectRefused(probes[6], outcomes[6], PING_INTERNAL_ERROR);
      ExpectRefused(probes[7], outcomes[7], PING_INTERNAL_ERROR);
      ExpectAnswered(probes[8], outcomes[8]);
      ExpectAnswered(probes[9], outcomes[9]);
   }
}

/* Sockets kept for later requests belong to the namespace they were made in: a forked
 * child that moves into a namespace whose loopback is down must not answer through the
 * parent's. */
TEST_F(IcmpPingTest, AForkedChildDoesNotUseTheParentsKeptSockets)
{
   auto body = [] {
      InetAddress lo = InetAddress::parse("127.0.0.1");
      uint32_t parent = IcmpPing(lo, 1, LONG_TIMEOUT_MS, nullptr, 64, false);
      pid_t child = fork();
      if (child == 0)
      {
         if (unshare(CLONE_NEWNET) != 0)
            _exit(100);
         _exit(static_cast<int>(IcmpPing(lo, 1, 200, nullptr, 64, false)));
      }
      int status = 0;
      waitpid(child, &status, 0);
      uint32_t again = IcmpPing(lo, 1, LONG_TIMEOUT_MS, nullptr, 64, false);
      return std::to_string(parent) + " " + std::to_string(WEXITSTATUS(status)) + " " + std::to_string(again);
   };
   NamespaceRun run = RunInNetworkNamespace(BaseSetup(true), false, body);
   if (run.state == NamespaceRun::CANNOT_MAKE)
      GTEST_SKIP() << "network namespaces cannot be made here: " << run.why;
   ASSERT_EQ(run.state, NamespaceRun::DONE) << run.why;
   // The child's loopback is down: no route.
   EXPECT_EQ(run.output, "0 1 0");
}

/* Reads the echo requests that IcmpPing sent on loopback with a raw socket of its own: the
 * IPv4 header (time-to-live, don't-fragment flag) and the payload block. */
TEST_F(IcmpPingTest, RequestsCarryThePayloadBlockTimeToLiveAndFlag)
{
   auto body = [] {
      std::ostringstream text;
      int raw = socket(AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP);
      if (raw < 0)
         return std::string("no raw socket\n");
      for (bool df : {false, true})
      {
         uint32_t result = IcmpPing(InetAddress::parse("127.0.0.1"), 1, LONG_TIMEOUT_MS, nullptr, 100, df);
         unsigned char packet[2048];
         ssize_t n;
         // The first echo request (type 8) seen is ours; replies are skipped.
         while ((n = recv(raw, packet, sizeof(packet), 0)) > 0)
         {
            size_t ihl = (packet[0] & 0x0F) * 4u;
            if (static_cast<size_t>(n) < ihl + 8 || packet[ihl] != 8)
               continue;
            text << result << ' ' << int(packet[8]) << ' ' << ((packet[6] & 0x40) ? 1 : 0) << ' '
                 << (static_cast<size_t>(n) - ihl - 8) << ' ';
            text << std::string(reinterpret_cast<char *>(packet + ihl + 8), static_cast<size_t>(n) - ihl - 8) << '\n';
            break;
         }
      }
      close(raw);
      return text.str();
   };
   NamespaceRun run = RunInNetworkNamespace(BaseSetup(true), false, body);
   if (run.state == NamespaceRun::CANNOT_MAKE)
      GTEST_SKIP() << "network namespaces cannot be made here: " << run.why;
   ASSERT_EQ(run.state, NamespaceRun::DONE) << run.why;
   std::string payload = "Qorvel ICMP probe [01234567890]" + std::string(100 - 31, '\0');
   EXPECT_EQ(run.output, "0 127 0 100 " + payload + "\n0 127 1 100 " + payload + "\n");
}

TEST(IcmpPing, RequestsThatCannotBeMadeAreInternalErrors)
{
   uint32_t rtt = RTT_UNTOUCHED;
   // Beyond the payload block, and an address of no family; neither sends anything.
   EXPECT_EQ(IcmpPing(InetAddress::parse("127.0.0.1"), 1, 100, &rtt, PING_MAX_PACKET_SIZE + 1, false),
             PING_INTERNAL_ERROR);
   EXPECT_EQ(IcmpPing(InetAddress::INVALID, 1, 100, &rtt, 64, false), PING_INTERNAL_ERROR);
   EXPECT_EQ(rtt, RTT_UNTOUCHED);
}
