/* Address texts: InetAddress::parse against the C library's inet_pton, and the text
 * writers against inet_ntop, on the same mixed set of IPv4 and IPv6 literals. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <string.h>

namespace {

const char *const LITERALS[] = {
    "192.168.100.200",
    "10.0.0.1",
    "255.255.255.255",
    "::1",
    "fe80::1:2",
    "2001:db8:0:0:1:0:0:1",
    "2001:0db8:85a3:0000:0000:8a2e:0370:7334",
    "::ffff:192.0.2.128",
    "1:2:3:4:5:6:7:8",
    "ff02::fb",
};
const size_t LITERAL_COUNT = sizeof(LITERALS) / sizeof(LITERALS[0]);

void BM_ParseLibrary(benchmark::State &state)
{
   for (auto _ : state)
   {
      for (const char *text : LITERALS)
      {
         InetAddress addr = InetAddress::parse(text);
         benchmark::DoNotOptimize(addr);
      }
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LITERAL_COUNT));
}
BENCHMARK(BM_ParseLibrary);

/* The peer decides the family as callers of inet_pton do: IPv4 first, then IPv6. */
void BM_ParsePeerInetPton(benchmark::State &state)
{
   uint8_t bytes[16];
   for (auto _ : state)
   {
      for (const char *text : LITERALS)
      {
         int ok = inet_pton(AF_INET, text, bytes) == 1 || inet_pton(AF_INET6, text, bytes) == 1;
         benchmark::DoNotOptimize(ok);
         benchmark::DoNotOptimize(bytes);
      }
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LITERAL_COUNT));
}
BENCHMARK(BM_ParsePeerInetPton);

struct Parsed
{
   int family;
   uint8_t bytes[16];
};

/* The literals as the peer holds them. */
void ParseAll(Parsed *out)
{
   for (size_t i = 0; i < LITERAL_COUNT; i++)
   {
      out[i].family = (inet_pton(AF_INET, LITERALS[i], out[i].bytes) == 1) ? AF_INET : AF_INET6;
      if (out[i].family == AF_INET6)
         inet_pton(AF_INET6, LITERALS[i], out[i].bytes);
   }
}

void BM_FormatLibrary(benchmark::State &state)
{
   InetAddress addrs[LITERAL_COUNT];
   for (size_t i = 0; i < LITERAL_COUNT; i++)
      addrs[i] = InetAddress::parse(LITERALS[i]);
   char text[InetAddress::TEXT_BUFFER_SIZE];
   for (auto _ : state)
   {
      for (const InetAddress &addr : addrs)
      {
         addr.toStringA(text);
         benchmark::DoNotOptimize(text);
      }
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LITERAL_COUNT));
}
BENCHMARK(BM_FormatLibrary);

void BM_FormatPeerInetNtop(benchmark::State &state)
{
   Parsed parsed[LITERAL_COUNT];
   ParseAll(parsed);
   char text[INET6_ADDRSTRLEN];
   for (auto _ : state)
   {
      for (const Parsed &p : parsed)
      {
         inet_ntop(p.family, p.bytes, text, sizeof(text));
         benchmark::DoNotOptimize(text);
      }
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * LITERAL_COUNT));
}
BENCHMARK(BM_FormatPeerInetNtop);

}  // namespace
