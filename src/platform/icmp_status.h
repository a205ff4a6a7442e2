/* How the POSIX ICMP socket reports the fate of an echo request (a send error, an ICMP
 * error message, an entry of the socket's error queue) maps onto IcmpStatus. Pure
 * functions, kept in a header so that the tests can check every row. */
#ifndef QORVEL_PLATFORM_ICMP_STATUS_H
#define QORVEL_PLATFORM_ICMP_STATUS_H

#include "platform/icmp.h"

#include <errno.h>
#include <netinet/icmp6.h>
#include <netinet/ip_icmp.h>

namespace qv {
namespace platform {

/* Status of a request whose send (or a later local error) failed with error. A route of
 * type blackhole refuses the send with EINVAL: the request is silently dropped, so nothing
 * can come back and the request ends as one without an answer. */
inline IcmpStatus IcmpStatusFromError(int error)
{
   switch (error)
   {
      case EMSGSIZE: return IcmpStatus::PACKET_TOO_BIG;
      case ENOBUFS:
      case ENOMEM:
      case EAGAIN: return IcmpStatus::NO_RESOURCES;
      case EINVAL: return IcmpStatus::TIMED_OUT;
      case EHOSTUNREACH:
      case ENETUNREACH:
      case EHOSTDOWN:
      case ENETDOWN:
      case ENONET:
      case EACCES:  // a route of type prohibit
      case EPERM:   // a packet filter rejected the request
      case ECONNREFUSED: return IcmpStatus::UNREACHABLE;
      default: return IcmpStatus::GENERAL_FAILURE;
   }
}

/* Status of an ICMP (v6 false) or ICMPv6 error message of type and code about a
 * request. */
inline IcmpStatus IcmpStatusFromMessage(bool v6, uint8_t type, uint8_t code)
{
   if (v6)
   {
      switch (type)
      {
         case ICMP6_DST_UNREACH: return IcmpStatus::UNREACHABLE;
         case ICMP6_PACKET_TOO_BIG: return IcmpStatus::PACKET_TOO_BIG;
         case ICMP6_TIME_EXCEEDED: return IcmpStatus::TIME_EXCEEDED;
         case ICMP6_PARAM_PROB: return IcmpStatus::PARAMETER_PROBLEM;
         default: return IcmpStatus::UNREACHABLE;
      }
   }
   switch (type)
   {
      case ICMP_DEST_UNREACH: return (code == ICMP_FRAG_NEEDED) ? IcmpStatus::PACKET_TOO_BIG : IcmpStatus::UNREACHABLE;
      case ICMP_SOURCE_QUENCH: return IcmpStatus::SOURCE_QUENCH;
      case ICMP_TIME_EXCEEDED: return IcmpStatus::TIME_EXCEEDED;
      case ICMP_PARAMETERPROB: return IcmpStatus::PARAMETER_PROBLEM;
      default: return IcmpStatus::UNREACHABLE;
   }
}

/* Whether an ICMP (v6 false) or ICMPv6 message of this type reports an error about a
 * packet that was sent, quoting its start. */
inline bool IcmpIsErrorMessage(bool v6, uint8_t type)
{
   if (v6)
      return type == ICMP6_DST_UNREACH || type == ICMP6_PACKET_TOO_BIG || type == ICMP6_TIME_EXCEEDED ||
             type == ICMP6_PARAM_PROB;
   return type == ICMP_DEST_UNREACH || type == ICMP_SOURCE_QUENCH || type == ICMP_TIME_EXCEEDED ||
          type == ICMP_PARAMETERPROB;
}

/* The internet checksum (one's complement sum of 16-bit words) of size bytes. */
inline uint16_t InternetChecksum(const void *data, size_t size)
{
   const uint8_t *p = static_cast<const uint8_t *>(data);
   uint32_t sum = 0;
   for (; size > 1; size -= 2, p += 2)
      sum += static_cast<uint32_t>(p[0] << 8 | p[1]);
   if (size == 1)
      sum += static_cast<uint32_t>(p[0] << 8);
   while (sum >> 16)
      sum = (sum & 0xFFFF) + (sum >> 16);
   return static_cast<uint16_t>(~sum & 0xFFFF);
}

}  // namespace platform
}  // namespace qv

#endif
