/* qvtool ping: sends ICMP echo requests with IcmpPing, one line per attempt with the result
 * code's name and the round-trip time, and a summary at the end. */
#include "qvtool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

namespace {

/* Defaults of the options. */
constexpr long DEFAULT_COUNT = 4;
constexpr long DEFAULT_SIZE = 56;
constexpr long DEFAULT_TIMEOUT_MS = 1000;
constexpr long DEFAULT_INTERVAL_MS = 1000;

/* Largest count, time-out and interval accepted. */
constexpr long MAX_COUNT = 1000000;
constexpr long MAX_MS = 3600000;

int Usage()
{
   fprintf(stderr,
           "usage: qvtool ping HOST [--count N] [--size BYTES] [--timeout MS] [--interval MS] [--dont-fragment]\n"
           "  --count N        requests to send (default %ld)\n"
           "  --size BYTES     payload bytes of each request, 0 to %u (default %ld)\n"
           "  --timeout MS     wait for each answer (default %ld)\n"
           "  --interval MS    pause between requests (default %ld)\n"
           "  --dont-fragment  set the don't-fragment flag\n",
           DEFAULT_COUNT, PING_MAX_PACKET_SIZE, DEFAULT_SIZE, DEFAULT_TIMEOUT_MS, DEFAULT_INTERVAL_MS);
   return 2;
}

/* A whole decimal number from min to max; false when text is anything else. */
bool ParseNumber(const char *text, long min, long max, long *value)
{
   char *end;
   errno = 0;
   long v = strtol(text, &end, 10);
   if (end == text || *end != 0 || errno != 0 || v < min || v > max)
      return false;
   *value = v;
   return true;
}

}  // namespace

const char *PingResultName(uint32_t result)
{
   switch (result)
   {
      case PING_OK: return "PING_OK";
      case PING_UNREACHABLE: return "PING_UNREACHABLE";
      case PING_TIMEOUT: return "PING_TIMEOUT";
      case PING_INTERNAL_ERROR: return "PING_INTERNAL_ERROR";
      default: return "unknown";
   }
}

int CommandPing(int argc, char **argv)
{
   const char *host = nullptr;
   long count = DEFAULT_COUNT, size = DEFAULT_SIZE, timeout = DEFAULT_TIMEOUT_MS, interval = DEFAULT_INTERVAL_MS;
   bool dontFragment = false;
   for (int i = 0; i < argc; i++)
   {
      const char *arg = argv[i];
      long *target = nullptr;
      long min = 0, max = MAX_MS;
      if (!strcmp(arg, "--count"))
         target = &count, min = 1, max = MAX_COUNT;
      else if (!strcmp(arg, "--size"))
         target = &size, max = PING_MAX_PACKET_SIZE;
      else if (!strcmp(arg, "--timeout"))
         target = &timeout;
      else if (!strcmp(arg, "--interval"))
         target = &interval;
      else if (!strcmp(arg, "--dont-fragment"))
         dontFragment = true;
      else if (arg[0] == '-' || host != nullptr)
         return Usage();
      else
         host = arg;
      if (target != nullptr)
      {
         if (i + 1 >= argc || !ParseNumber(argv[i + 1], min, max, target))
         {
            fprintf(stderr, "qvtool ping: %s needs a number from %ld to %ld\n", arg, min, max);
            return 2;
         }
         i++;
      }
   }
   if (host == nullptr)
      return Usage();

   InetAddress addr = InetAddress::resolveHostName(host);
   if (!addr.isValid())
   {
      fprintf(stderr, "qvtool ping: cannot resolve %s\n", host);
      return 2;
   }
   char text[InetAddress::TEXT_BUFFER_SIZE];
   addr.toStringA(text);
   printf("PING %s (%s): %ld bytes of payload%s\n", host, text, size, dontFragment ? ", don't fragment" : "");

   long answered = 0;
   uint32_t minRtt = UINT32_MAX, maxRtt = 0;
   uint64_t sumRtt = 0;
   for (long seq = 1; seq <= count; seq++)
   {
      if (seq > 1 && interval > 0)
         std::this_thread::sleep_for(std::chrono::milliseconds(interval));
      uint32_t rtt = 0;
      uint32_t result =
          IcmpPing(addr, 1, static_cast<uint32_t>(timeout), &rtt, static_cast<uint32_t>(size), dontFragment);
      if (result == PING_OK)
      {
         printf("%s from %s: seq=%ld time=%u ms\n", PingResultName(result), text, seq, rtt);
         answered++;
         minRtt = (rtt < minRtt) ? rtt : minRtt;
         maxRtt = (rtt > maxRtt) ? rtt : maxRtt;
         sumRtt += rtt;
      }
      else
      {
         printf("%s from %s: seq=%ld\n", PingResultName(result), text, seq);
      }
      fflush(stdout);
   }
   printf("--- %s ping statistics ---\n", host);
   printf("%ld requests sent, %ld answered, %ld%% lost\n", count, answered, (count - answered) * 100 / count);
   if (answered > 0)
      printf("round trip min/avg/max = %u/%llu/%u ms\n", minRtt, static_cast<unsigned long long>(sumRtt / answered),
             maxRtt);
   return (answered > 0) ? 0 : 1;
}
