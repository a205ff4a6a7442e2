/* ICMP echo (IPv4 and IPv6) over the platform's sockets: an unprivileged ICMP datagram
 * socket where the system allows one, a raw socket otherwise. No OS header appears here;
 * the POSIX side is icmp_posix.cpp. */
#ifndef QORVEL_PLATFORM_ICMP_H
#define QORVEL_PLATFORM_ICMP_H

#include <qv_base.h>

#include "platform/resolver.h"

struct sockaddr;

namespace qv {
namespace platform {

/* What became of one echo request. */
enum class IcmpStatus
{
   REPLY,              // an echo reply came back
   TIMED_OUT,          // nothing came back within the time-out
   UNREACHABLE,        // no route, or a destination-unreachable answer (net, host, port, prohibited)
   TIME_EXCEEDED,      // the time-to-live ran out on the way, or reassembly timed out
   PARAMETER_PROBLEM,  // a node on the way rejected a header field
   SOURCE_QUENCH,      // a router asked to slow down
   PACKET_TOO_BIG,     // larger than the path (or the local interface) takes unfragmented
   NO_RESOURCES,       // the system had no buffers for the request
   GENERAL_FAILURE     // anything else that kept the request from being made
};

/* Largest payload of one request. */
constexpr size_t ICMP_ECHO_MAX_PAYLOAD = 8192;

/* An open ICMP socket of one family. */
struct IcmpEndpoint
{
   int fd;
   int16_t family;  // QV_AF_INET or QV_AF_INET6
   bool raw;        // a raw socket: requests carry ident, replies are matched on it
   uint16_t ident;  // echo identifier of a raw socket (a datagram socket's is the kernel's)
   uint8_t ttl;
   bool dontFragment;
};

/* Opens an ICMP socket of the family for requests with the time-to-live (hop limit) ttl
 * and, when dontFragment is true, the don't-fragment flag (IPv6: no fragmenting by the
 * sender). A datagram socket that an earlier IcmpClose kept for the same settings is
 * taken when there is one. False when neither kind of socket can be made; the endpoint
 * is then not open. */
bool IcmpOpen(int16_t family, uint8_t ttl, bool dontFragment, IcmpEndpoint *endpoint);

/* Closes an endpoint that IcmpOpen opened, or keeps a datagram socket for the next
 * IcmpOpen (a few are kept; a forked child closes its copies of them). Replies and errors
 * that come late to a kept socket are passed over by the next request's sequence
 * number. */
void IcmpClose(IcmpEndpoint *endpoint);

/* Sends one echo request with the sequence number and the size bytes of payload (at most
 * ICMP_ECHO_MAX_PAYLOAD) to target (a socket address of the endpoint's family, port 0),
 * and waits up to timeout milliseconds (INFINITE: no
 * limit) for its reply or for an error about it; answers to other requests are passed
 * over. On REPLY the round-trip time in whole milliseconds (monotonic clock) is stored in
 * *rttMs. */
IcmpStatus IcmpEcho(IcmpEndpoint *endpoint, const struct sockaddr *target, uint16_t sequence, const void *payload,
                    size_t size, uint32_t timeout, uint32_t *rttMs);

}  // namespace platform
}  // namespace qv

#endif
