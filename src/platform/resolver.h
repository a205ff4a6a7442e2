/* The platform's address services behind a small interface: family codes, socket address
 * structures, name and reverse lookups and inet_addr, so that the address code needs no
 * socket header. Addresses cross it as a family and bytes in network order. */
#ifndef QORVEL_PLATFORM_RESOLVER_H
#define QORVEL_PLATFORM_RESOLVER_H

#include <qv_base.h>

struct sockaddr;

namespace qv::platform {

/* The platform's AF_UNSPEC, AF_INET and AF_INET6 (the implementation checks them against
 * its socket headers). */
constexpr int16_t QV_AF_UNSPEC = 0;
constexpr int16_t QV_AF_INET = 2;
#if defined(_WIN32)
constexpr int16_t QV_AF_INET6 = 23;
#else
constexpr int16_t QV_AF_INET6 = 10;
#endif

/* Bytes of an IPv4 and an IPv6 address. */
constexpr size_t QV_IPV4_BYTES = 4;
constexpr size_t QV_IPV6_BYTES = 16;

/* Bytes of the largest socket address filled here (sockaddr_in6). */
constexpr size_t QV_SOCKADDR_MAX_BYTES = 28;

/* An address as the platform hands it over: IPv4 in bytes[0..3], IPv6 in all 16, both in
 * network order. */
struct NetAddress
{
   int16_t family;
   uint8_t bytes[QV_IPV6_BYTES];
};

/* The first answer of the resolver for host, asking only for that family when family is
 * QV_AF_INET or QV_AF_INET6 and for any family otherwise. False when the lookup fails or
 * the first answer is neither IPv4 nor IPv6. */
bool ResolveHost(const char *host, int family, NetAddress *result);

/* The host name of address (reverse lookup) into name (size bytes, terminated, in the
 * platform's code page). False when nothing is found or size is 0. */
bool LookupAddress(const NetAddress &address, char *name, size_t size);

/* Clears the size bytes at storage and writes the socket address of address and port
 * (host order) there; returns it, or null when the family is neither IPv4 nor IPv6 or the
 * structure does not fit. */
struct sockaddr *FillSockaddr(const NetAddress &address, uint16_t port, void *storage, size_t size);

/* Family and address of an AF_INET or AF_INET6 socket address; false for any other
 * family. */
bool ReadSockaddr(const struct sockaddr *sa, NetAddress *result);

/* The platform's inet_addr: the IPv4 address in network byte order, or 0xFFFFFFFF. */
uint32_t InetAddr(const char *text);

}  // namespace qv::platform

#endif
