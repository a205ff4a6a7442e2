/* The address services on POSIX sockets: getaddrinfo, getnameinfo and the sockaddr_in /
 * sockaddr_in6 structures. */
#include "platform/resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>

namespace qv::platform {

static_assert(QV_AF_UNSPEC == AF_UNSPEC && QV_AF_INET == AF_INET && QV_AF_INET6 == AF_INET6,
              "family codes of the platform");
static_assert(sizeof(sockaddr_in) <= QV_SOCKADDR_MAX_BYTES && sizeof(sockaddr_in6) <= QV_SOCKADDR_MAX_BYTES,
              "socket address sizes");
static_assert(sizeof(in_addr) == QV_IPV4_BYTES && sizeof(in6_addr) == QV_IPV6_BYTES, "address sizes");

bool ReadSockaddr(const struct sockaddr *sa, NetAddress *result)
{
   memset(result, 0, sizeof(*result));
   if (sa->sa_family == AF_INET)
   {
      const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(sa);
      result->family = QV_AF_INET;
      memcpy(result->bytes, &sin->sin_addr, QV_IPV4_BYTES);
      return true;
   }
   if (sa->sa_family == AF_INET6)
   {
      const sockaddr_in6 *sin6 = reinterpret_cast<const sockaddr_in6 *>(sa);
      result->family = QV_AF_INET6;
      memcpy(result->bytes, &sin6->sin6_addr, QV_IPV6_BYTES);
      return true;
   }
   return false;
}

bool ResolveHost(const char *host, int family, NetAddress *result)
{
   struct addrinfo hints;
   const struct addrinfo *hintsGiven = nullptr;
   if (family == AF_INET || family == AF_INET6)
   {
      // Flags stay 0: the default AI_ADDRCONFIG would hide ::1 on a host whose only
      // IPv6 address is the loopback.
      memset(&hints, 0, sizeof(hints));
      hints.ai_family = family;
      hintsGiven = &hints;
   }
   struct addrinfo *answers = nullptr;
   if (getaddrinfo(host, nullptr, hintsGiven, &answers) != 0 || answers == nullptr)
      return false;
   bool found = (answers->ai_addr != nullptr) && ReadSockaddr(answers->ai_addr, result);
   freeaddrinfo(answers);
   return found;
}

bool LookupAddress(const NetAddress &address, char *name, size_t size)
{
   if (size == 0)
      return false;
   struct sockaddr_storage storage;
   const struct sockaddr *sa = FillSockaddr(address, 0, &storage, sizeof(storage));
   if (sa == nullptr)
      return false;
   socklen_t length = (address.family == QV_AF_INET) ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
   char host[NI_MAXHOST];
   // NI_NAMEREQD: an address without a name is a failed lookup, not its own text.
   if (getnameinfo(sa, length, host, sizeof(host), nullptr, 0, NI_NAMEREQD) != 0)
      return false;
   size_t count = strnlen(host, sizeof(host) - 1);
   if (count >= size)
      count = size - 1;
   memcpy(name, host, count);
   name[count] = 0;
   return true;
}

struct sockaddr *FillSockaddr(const NetAddress &address, uint16_t port, void *storage, size_t size)
{
   if (address.family == QV_AF_INET && size >= sizeof(sockaddr_in))
   {
      memset(storage, 0, size);
      sockaddr_in *sin = static_cast<sockaddr_in *>(storage);
      sin->sin_family = AF_INET;
      sin->sin_port = htons(port);
      memcpy(&sin->sin_addr, address.bytes, QV_IPV4_BYTES);
      return reinterpret_cast<struct sockaddr *>(sin);
   }
   if (address.family == QV_AF_INET6 && size >= sizeof(sockaddr_in6))
   {
      memset(storage, 0, size);
      sockaddr_in6 *sin6 = static_cast<sockaddr_in6 *>(storage);
      sin6->sin6_family = AF_INET6;
      sin6->sin6_port = htons(port);
      memcpy(&sin6->sin6_addr, address.bytes, QV_IPV6_BYTES);
      return reinterpret_cast<struct sockaddr *>(sin6);
   }
   return nullptr;
}

uint32_t InetAddr(const char *text)
{
   return static_cast<uint32_t>(inet_addr(text));
}

}  // namespace qv::platform
