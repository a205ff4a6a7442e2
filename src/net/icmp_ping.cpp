/* IcmpPing: ICMP and ICMPv6 echo requests to one address, with retries, and the mapping
 * of what became of them onto the PING_ result codes. */
#include <qv_net.h>

#include "platform/icmp.h"

#include <atomic>

namespace {

using qv::platform::IcmpStatus;

/* Time-to-live (IPv6: hop limit) of every request. */
constexpr uint8_t REQUEST_TTL = 127;

/* The payload block: the first packetSize bytes of it go with each request. */
constexpr size_t PAYLOAD_BLOCK_SIZE = 8192;
static_assert(PAYLOAD_BLOCK_SIZE == PING_MAX_PACKET_SIZE, "the block holds the largest request");
static_assert(PAYLOAD_BLOCK_SIZE <= qv::platform::ICMP_ECHO_MAX_PAYLOAD, "the platform sends the whole block");

/* The text at the start of the block; the rest of it is zero. */
struct PayloadBlock
{
   char bytes[PAYLOAD_BLOCK_SIZE];
};
constexpr PayloadBlock PAYLOAD = {"Qorvel ICMP probe [01234567890]"};

/* Sequence numbers of the process's requests: every attempt gets its own, so that a late
 * reply to an earlier attempt is not taken for the answer to the current one. */
std::atomic<uint32_t> g_sequence{0};

uint32_t ResultOf(IcmpStatus status)
{
   switch (status)
   {
      case IcmpStatus::REPLY: return PING_OK;
      case IcmpStatus::TIMED_OUT: return PING_TIMEOUT;
      case IcmpStatus::PACKET_TOO_BIG:
      case IcmpStatus::NO_RESOURCES:
      case IcmpStatus::GENERAL_FAILURE: return PING_INTERNAL_ERROR;
      case IcmpStatus::UNREACHABLE:
      case IcmpStatus::TIME_EXCEEDED:
      case IcmpStatus::PARAMETER_PROBLEM:
      case IcmpStatus::SOURCE_QUENCH: return PING_UNREACHABLE;
   }
   return PING_INTERNAL_ERROR;
}

}  // namespace

uint32_t IcmpPing(const InetAddress &addr, int retries, uint32_t timeout, uint32_t *rtt, uint32_t packetSize,
                  bool dontFragment)
{
   // A size beyond the block would send bytes that are not the payload's.
   if (packetSize > PAYLOAD_BLOCK_SIZE)
      return PING_INTERNAL_ERROR;
   SockAddrBuffer buffer;
   struct sockaddr *target = addr.fillSockAddr(&buffer, 0);
   if (target == nullptr)
      return PING_INTERNAL_ERROR;

   qv::platform::IcmpEndpoint endpoint;
   if (!qv::platform::IcmpOpen(static_cast<int16_t>(addr.getFamily()), REQUEST_TTL, dontFragment, &endpoint))
      return PING_INTERNAL_ERROR;
   int attempts = (retries < 1) ? 1 : retries;
   uint32_t result = PING_INTERNAL_ERROR;
   for (int i = 0; i < attempts; i++)
   {
      uint16_t sequence = static_cast<uint16_t>(g_sequence.fetch_add(1, std::memory_order_relaxed));
      uint32_t rttMs = 0;
      IcmpStatus status =
          qv::platform::IcmpEcho(&endpoint, target, sequence, PAYLOAD.bytes, packetSize, timeout, &rttMs);
      result = ResultOf(status);
      if (result == PING_OK)
      {
         if (rtt != nullptr)
            *rtt = rttMs;
         break;
      }
   }
   qv::platform::IcmpClose(&endpoint);
   return result;
}
