/* qvtool ping: sends ICMP echo requests with IcmpPing, one line per attempt with the result
 * code's name and the round-trip time, and a summary at the end. */
#include "qvtool.h"

#include "json_output.h"

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

enum Key
{
   COUNT_KEY = LONG_OPTION_KEY,
   SIZE_KEY,
   TIMEOUT_KEY,
   INTERVAL_KEY,
   DONT_FRAGMENT_KEY,
};

const CommandOption OPTIONS[] = {
    {"count", required_argument, COUNT_KEY, "N", "requests to send, 1 to 1000000 (default 4)"},
    {"size", required_argument, SIZE_KEY, "BYTES", "payload bytes of each request, 0 to 8192 (default 56)"},
    {"timeout", required_argument, TIMEOUT_KEY, "MS", "wait for each answer, 0 to 3600000 (default 1000)"},
    {"interval", required_argument, INTERVAL_KEY, "MS", "pause between requests, 0 to 3600000 (default 1000)"},
    {"dont-fragment", no_argument, DONT_FRAGMENT_KEY, nullptr, "set the don't-fragment flag"},
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

static_assert(DEFAULT_COUNT == 4 && DEFAULT_SIZE == 56 && DEFAULT_TIMEOUT_MS == 1000 && DEFAULT_INTERVAL_MS == 1000 &&
                  MAX_COUNT == 1000000 && MAX_MS == 3600000 && PING_MAX_PACKET_SIZE == 8192,
              "the help above tells the defaults and limits");

const CommandSyntax SYNTAX = {
    "ping",
    "HOST [--count N] [--size BYTES] [--timeout MS] [--interval MS] [--dont-fragment] [--json]",
    "send ICMP echo requests and show the answers",
    OPTIONS,
    false,
    "JSON fields: host, address, payloadBytes, dontFragment, replies (array of sequence, result\n"
    "  (PING_OK, PING_UNREACHABLE, PING_TIMEOUT, PING_INTERNAL_ERROR), rttMs (null unless PING_OK)),\n"
    "  sent, answered, lostPercent, rttMinMs, rttAvgMs, rttMaxMs (null when none answered).\n"
    "Exit code 1 when HOST cannot be resolved or no request was answered.\n"};

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
   long count = DEFAULT_COUNT, size = DEFAULT_SIZE, timeout = DEFAULT_TIMEOUT_MS, interval = DEFAULT_INTERVAL_MS;
   bool dontFragment = false, json = false;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      long *target = nullptr;
      long min = 0, max = MAX_MS;
      switch (args.key())
      {
         case COUNT_KEY: target = &count, min = 1, max = MAX_COUNT; break;
         case SIZE_KEY: target = &size, max = PING_MAX_PACKET_SIZE; break;
         case TIMEOUT_KEY: target = &timeout; break;
         case INTERVAL_KEY: target = &interval; break;
         case DONT_FRAGMENT_KEY: dontFragment = true; break;
         case JSON_OPTION_KEY: json = true; break;
         default: return args.usage();
      }
      if (target != nullptr && !ParseNumber(args.value(), min, max, target))
         return args.fail("%s needs a number from %ld to %ld", args.optionText(), min, max);
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *host = args.operand(0);

   InetAddress addr = InetAddress::resolveHostName(host);
   if (!addr.isValid())
   {
      fprintf(stderr, "qvtool ping: cannot resolve %s; check the name or give a numeric address\n", host);
      return 1;
   }
   char text[InetAddress::TEXT_BUFFER_SIZE];
   addr.toStringA(text);
   if (!json)
      printf("PING %s (%s): %ld bytes of payload%s\n", host, text, size, dontFragment ? ", don't fragment" : "");
   json_t *replies = json_array();

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
         answered++;
         minRtt = (rtt < minRtt) ? rtt : minRtt;
         maxRtt = (rtt > maxRtt) ? rtt : maxRtt;
         sumRtt += rtt;
      }
      if (json)
      {
         json_array_append_new(replies, json_pack("{s:I, s:s, s:o}", "sequence", static_cast<json_int_t>(seq), "result",
                                                  PingResultName(result), "rttMs",
                                                  (result == PING_OK) ? json_integer(rtt) : json_null()));
         continue;
      }
      if (result == PING_OK)
         printf("%s from %s: seq=%ld time=%u ms\n", PingResultName(result), text, seq, rtt);
      else
         printf("%s from %s: seq=%ld\n", PingResultName(result), text, seq);
      fflush(stdout);
   }
   long lost = (count - answered) * 100 / count;
   if (json)
   {
      auto rtt = [answered](uint64_t value) {
         return (answered > 0) ? json_integer(static_cast<json_int_t>(value)) : json_null();
      };
      json_t *document =
          json_pack("{s:o, s:s, s:I, s:b, s:o, s:I, s:I, s:I, s:o, s:o, s:o}", "host", JsonText(host), "address", text,
                    "payloadBytes", static_cast<json_int_t>(size), "dontFragment", dontFragment, "replies", replies,
                    "sent", static_cast<json_int_t>(count), "answered", static_cast<json_int_t>(answered),
                    "lostPercent", static_cast<json_int_t>(lost), "rttMinMs", rtt(minRtt), "rttAvgMs",
                    rtt((answered > 0) ? sumRtt / static_cast<uint64_t>(answered) : 0), "rttMaxMs", rtt(maxRtt));
      int printed = PrintJson(document, "ping");
      if (printed != 0)
         return printed;
   }
   else
   {
      json_decref(replies);
      printf("--- %s ping statistics ---\n", host);
      printf("%ld requests sent, %ld answered, %ld%% lost\n", count, answered, lost);
      if (answered > 0)
         printf("round trip min/avg/max = %u/%llu/%u ms\n", minRtt,
                static_cast<unsigned long long>(sumRtt / static_cast<uint64_t>(answered)), maxRtt);
      fflush(stdout);
   }
   if (answered == 0)
      fprintf(stderr, "qvtool ping: no answer from %s; check that it is up and that ICMP reaches it\n", host);
   return (answered > 0) ? 0 : 1;
}
