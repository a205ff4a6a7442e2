/* IcmpPing to 127.0.0.1 beside liboping's ping_send to the same address, from one and from
 * four threads, with 56 payload bytes each. The process moves into a network namespace of
 * its own before main (loopback up, unprivileged ICMP sockets allowed to every group, and
 * a second address on loopback, without which liboping cannot add 127.0.0.1). liboping
 * uses a raw socket; IcmpPing the datagram kind the namespace allows. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <oping.h>

#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

const char TARGET[] = "127.0.0.1";

/* Payload bytes of every request. */
constexpr uint32_t PAYLOAD_SIZE = 56;

/* Wait for each reply: far beyond any loopback round trip. */
constexpr uint32_t TIMEOUT_MS = 1000;

/* Why the namespace could not be made, or empty once it is ready. */
std::string g_namespaceError = "not set up";

bool EnterNamespace()
{
   if (unshare(CLONE_NEWNET) != 0)
   {
      g_namespaceError = std::string("unshare(CLONE_NEWNET): ") + strerror(errno) + " (run as root)";
      return false;
   }
   const char *setup = "ip link set lo up && sysctl -qw net.ipv4.ping_group_range='0 2147483647' && "
                       "ip addr add 198.18.0.1/32 dev lo";
   if (system(setup) != 0)
   {
      g_namespaceError = "namespace setup failed (ip, sysctl)";
      return false;
   }
   g_namespaceError.clear();
   return true;
}

/* Before main, while the process has one thread: the namespace is per process. */
const bool g_inNamespace = EnterNamespace();

bool Ready(benchmark::State &state)
{
   if (!g_inNamespace)
   {
      state.SkipWithError(g_namespaceError.c_str());
      return false;
   }
   return true;
}

/* Items are the answered pings; "lost" counts the requests without an answer (several
 * liboping objects in one process take each other's replies). */
void Count(benchmark::State &state, int64_t answered)
{
   state.SetItemsProcessed(answered);
   state.counters["lost"] =
       benchmark::Counter(static_cast<double>(state.iterations() - answered), benchmark::Counter::kAvgThreads);
}

void BM_IcmpPing(benchmark::State &state)
{
   if (!Ready(state))
      return;
   InetAddress target = InetAddress::parse(TARGET);
   int64_t answered = 0;
   for (auto _ : state)
   {
      uint32_t rtt;
      if (IcmpPing(target, 1, TIMEOUT_MS, &rtt, PAYLOAD_SIZE, false) == PING_OK)
         answered++;
   }
   Count(state, answered);
}

void BM_LibopingPingSend(benchmark::State &state)
{
   if (!Ready(state))
      return;
   pingobj_t *ping = ping_construct();
   double timeout = TIMEOUT_MS / 1000.0;
   char data[PAYLOAD_SIZE + 1];
   memset(data, 'x', PAYLOAD_SIZE);
   data[PAYLOAD_SIZE] = 0;
   ping_setopt(ping, PING_OPT_TIMEOUT, &timeout);
   ping_setopt(ping, PING_OPT_DATA, data);
   if (ping_host_add(ping, TARGET) != 0)
   {
      state.SkipWithError(ping_get_error(ping));
      ping_destroy(ping);
      return;
   }
   int64_t answered = 0;
   for (auto _ : state)
   {
      if (ping_send(ping) == 1)
         answered++;
   }
   ping_destroy(ping);
   Count(state, answered);
}

}  // namespace

BENCHMARK(BM_IcmpPing)->UseRealTime()->Threads(1)->Threads(4);
BENCHMARK(BM_LibopingPingSend)->UseRealTime()->Threads(1)->Threads(4);
