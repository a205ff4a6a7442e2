/* InetAddress against the platform: socket address structures, name and reverse
 * lookups, and the inet_addr of wide text. */
#include <qv_data.h>

#include "platform/resolver.h"

#include <limits.h>
#include <string.h>

using namespace qv::platform;

static_assert(sizeof(SockAddrBuffer::bytes) >= QV_SOCKADDR_MAX_BYTES, "SockAddrBuffer holds every socket address");

namespace {

/* Bytes of the code page buffer for names and texts; longer ones are not looked at. */
constexpr size_t NAME_BUFFER_BYTES = 256;

/* Room for a host name from a reverse lookup. */
constexpr size_t HOST_NAME_BYTES = 1025;

constexpr uint32_t INADDR_NONE_VALUE = 0xFFFFFFFF;

constexpr int IPV6_MASK_BITS = 128;

/* text in the default code page into buffer; false when it is null or does not fit. */
bool ToCodePage(const wchar_t *text, char (&buffer)[NAME_BUFFER_BYTES])
{
   return text != nullptr && wchar_to_mb(text, -1, buffer, static_cast<int>(NAME_BUFFER_BYTES)) > 0;
}

NetAddress ToPlatform(const InetAddress &addr)
{
   NetAddress raw;
   memset(&raw, 0, sizeof(raw));
   raw.family = static_cast<int16_t>(addr.getFamily());
   if (raw.family == QV_AF_INET)
   {
      uint32_t v4 = addr.getAddressV4();
      for (size_t i = 0; i < QV_IPV4_BYTES; i++)
         raw.bytes[i] = static_cast<uint8_t>(v4 >> (8 * (QV_IPV4_BYTES - 1 - i)));
   }
   else
   {
      memcpy(raw.bytes, addr.getAddressV6(), QV_IPV6_BYTES);
   }
   return raw;
}

InetAddress FromPlatform(const NetAddress &raw)
{
   if (raw.family == QV_AF_INET)
   {
      uint32_t v4 = 0;
      for (size_t i = 0; i < QV_IPV4_BYTES; i++)
         v4 = (v4 << 8) | raw.bytes[i];
      return InetAddress(v4);
   }
   if (raw.family == QV_AF_INET6)
      return InetAddress(raw.bytes, IPV6_MASK_BITS);
   return InetAddress::INVALID;
}

}  // namespace

struct sockaddr *InetAddress::fillSockAddr(SockAddrBuffer *buffer, uint16_t port) const
{
   if (m_family == QV_AF_UNSPEC || buffer == nullptr)
      return nullptr;
   return FillSockaddr(ToPlatform(*this), port, buffer, sizeof(*buffer));
}

wchar_t *InetAddress::getHostByAddr(wchar_t *buffer, size_t size) const
{
   if (m_family == QV_AF_UNSPEC || buffer == nullptr || size == 0)
      return nullptr;
   char name[HOST_NAME_BYTES];
   if (!LookupAddress(ToPlatform(*this), name, sizeof(name)))
      return nullptr;
   int room = (size > static_cast<size_t>(INT_MAX)) ? INT_MAX : static_cast<int>(size);
   mb_to_wchar(name, -1, buffer, room);
   buffer[room - 1] = 0;
   return buffer;
}

InetAddress InetAddress::resolveHostName(const wchar_t *host, int af)
{
   char name[NAME_BUFFER_BYTES];
   return ToCodePage(host, name) ? resolveHostName(name, af) : INVALID;
}

InetAddress InetAddress::resolveHostName(const char *host, int af)
{
   // Empty names and names too long for any resolver are not looked up.
   if (host == nullptr || host[0] == 0 || strnlen(host, NAME_BUFFER_BYTES) >= NAME_BUFFER_BYTES)
      return INVALID;
   InetAddress literal = parse(host);
   if (literal.isValid())
      return literal;
   NetAddress raw;
   return ResolveHost(host, af, &raw) ? FromPlatform(raw) : INVALID;
}

InetAddress InetAddress::createFromSockaddr(const struct sockaddr *sa)
{
   NetAddress raw;
   if (sa == nullptr || !ReadSockaddr(sa, &raw))
      return INVALID;
   return FromPlatform(raw);
}

wchar_t *SockaddrToStr(const struct sockaddr *sa, wchar_t *buffer)
{
   static thread_local wchar_t own[QV_IPV6_TEXT_SIZE];
   if (buffer == nullptr)
      buffer = own;
   InetAddress addr = InetAddress::createFromSockaddr(sa);
   if (addr.isValid())
      addr.toString(buffer);
   else
      buffer[0] = 0;
   return buffer;
}

uint32_t inet_addr_w(const wchar_t *text)
{
   char converted[NAME_BUFFER_BYTES];
   return ToCodePage(text, converted) ? InetAddr(converted) : INADDR_NONE_VALUE;
}
