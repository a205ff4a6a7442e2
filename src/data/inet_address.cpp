/* InetAddress as a value: constants, construction, classification, subnet arithmetic,
 * ordering, hash keys and the text and JSON forms of one address. */
#include <qv_data.h>

#include "platform/resolver.h"

#include <jansson.h>

#include <string.h>

using namespace qv::platform;

/* Makes clang refuse a constant that would need dynamic initialisation: the constants
 * must be ready before any caller runs. */
#if defined(__clang__)
#define QV_CONSTANT_INIT [[clang::require_constant_initialization]]
#else
#define QV_CONSTANT_INIT
#endif

namespace {

/* Widths of the families in bits. */
constexpr int IPV4_BITS = 32;
constexpr int IPV6_BITS = 128;
constexpr int BYTE_BITS = 8;

constexpr uint32_t LOOPBACK_V4 = 0x7F000001;         // 127.0.0.1
constexpr uint32_t LOOPBACK_NET_V4 = 0x7F;           // first octet of 127.0.0.0/8
constexpr uint32_t MULTICAST_FIRST_V4 = 0xE0000000;  // 224.0.0.0
constexpr uint32_t BROADCAST_V4 = 0xFFFFFFFF;        // 255.255.255.255
constexpr uint8_t MULTICAST_PREFIX_V6 = 0xFF;        // first byte of ff00::/8

constexpr uint32_t LINK_LOCAL_NET_V4 = 0xA9FE0000;  // 169.254.0.0
constexpr int LINK_LOCAL_BITS_V4 = 16;
constexpr uint8_t LINK_LOCAL_BYTE0_V6 = 0xFE;  // fe80::
constexpr uint8_t LINK_LOCAL_BYTE1_V6 = 0x80;
constexpr int LINK_LOCAL_BITS_V6 = 10;

/* Significant lengths written into the first byte of a hash key. */
constexpr uint8_t HASH_KEY_LENGTH_V4 = 6;
constexpr uint8_t HASH_KEY_LENGTH_V6 = 18;
/* Offset of the address in a hash key, after the length and family bytes. */
constexpr size_t HASH_KEY_ADDRESS_OFFSET = 2;

const uint8_t ZERO_BYTES[QV_IPV6_BYTES] = {};

/* The IPv4 mask of maskBits leading ones; below 0 counts as 0 and above 32 as 32, since a
 * shift of a 32-bit value by 32 or more is undefined. */
uint32_t MaskV4(int maskBits)
{
   if (maskBits <= 0)
      return 0;
   if (maskBits >= IPV4_BITS)
      return 0xFFFFFFFF;
   return 0xFFFFFFFFu << (IPV4_BITS - maskBits);
}

/* The 16 bytes at addr with all bits after the first maskBits cleared (maskBits taken
 * into 0..128). */
void MaskV6(const uint8_t *addr, int maskBits, uint8_t *out)
{
   int bits = (maskBits < 0) ? 0 : (maskBits > IPV6_BITS) ? IPV6_BITS : maskBits;
   size_t whole = static_cast<size_t>(bits / BYTE_BITS);
   int rest = bits % BYTE_BITS;
   memcpy(out, addr, whole);
   if (whole < QV_IPV6_BYTES)
   {
      out[whole] = (rest != 0) ? static_cast<uint8_t>(addr[whole] & (0xFF << (BYTE_BITS - rest))) : 0;
      memset(out + whole + 1, 0, QV_IPV6_BYTES - whole - 1);
   }
}

/* True when other masked to maskBits equals subnet's address, itself masked too with
 * maskSubnet and taken as stored otherwise. The families must be equal. */
bool SamePrefix(const InetAddress &subnet, const InetAddress &other, int maskBits, bool maskSubnet)
{
   if (subnet.getFamily() == QV_AF_INET)
   {
      uint32_t mask = MaskV4(maskBits);
      uint32_t own = maskSubnet ? (subnet.getAddressV4() & mask) : subnet.getAddressV4();
      return (other.getAddressV4() & mask) == own;
   }
   uint8_t masked[QV_IPV6_BYTES];
   MaskV6(other.getAddressV6(), maskBits, masked);
   uint8_t own[QV_IPV6_BYTES];
   if (maskSubnet)
      MaskV6(subnet.getAddressV6(), maskBits, own);
   else
      memcpy(own, subnet.getAddressV6(), QV_IPV6_BYTES);
   return memcmp(masked, own, QV_IPV6_BYTES) == 0;
}

int Sign(int value)
{
   return (value > 0) - (value < 0);
}

}  // namespace

/* Builds the internal constants, which need the private constructor. */
struct InetAddressConstants
{
   static constexpr InetAddress v4(uint32_t addr, int16_t maskBits)
   {
      return InetAddress(QV_AF_INET, InetAddress::Storage(addr), maskBits);
   }
   static constexpr InetAddress v6(uint8_t first, uint8_t second, int16_t maskBits)
   {
      return InetAddress(QV_AF_INET6, InetAddress::Storage(first, second), maskBits);
   }
};

QV_CONSTANT_INIT const InetAddress InetAddress::INVALID;
QV_CONSTANT_INIT const InetAddress InetAddress::LOOPBACK = InetAddressConstants::v4(LOOPBACK_V4, IPV4_BITS);
QV_CONSTANT_INIT const InetAddress InetAddress::NONE = InetAddressConstants::v4(0, IPV4_BITS);

namespace {
QV_CONSTANT_INIT const InetAddress LINK_LOCAL_V4 = InetAddressConstants::v4(LINK_LOCAL_NET_V4, LINK_LOCAL_BITS_V4);
QV_CONSTANT_INIT const InetAddress LINK_LOCAL_V6 =
    InetAddressConstants::v6(LINK_LOCAL_BYTE0_V6, LINK_LOCAL_BYTE1_V6, LINK_LOCAL_BITS_V6);
}  // namespace

InetAddress::InetAddress(uint32_t addr) : m_maskBits(IPV4_BITS), m_family(QV_AF_INET), m_addr(addr) {}

InetAddress::InetAddress(uint32_t addr, uint32_t netmask)
    : m_maskBits(static_cast<int16_t>(BitsInMask(netmask))), m_family(QV_AF_INET), m_addr(addr)
{}

InetAddress::InetAddress(const uint8_t *addr6, int maskBits)
    : m_maskBits(static_cast<int16_t>(maskBits)), m_family(QV_AF_INET6), m_addr()
{
   if (addr6 != nullptr)
      memcpy(m_addr.v6, addr6, QV_IPV6_BYTES);
}

uint32_t InetAddress::getAddressV4() const
{
   return (m_family == QV_AF_INET) ? m_addr.v4.value : 0;
}

const uint8_t *InetAddress::getAddressV6() const
{
   return (m_family == QV_AF_INET6) ? m_addr.v6 : ZERO_BYTES;
}

int InetAddress::getHostBits() const
{
   return ((m_family == QV_AF_INET) ? IPV4_BITS : IPV6_BITS) - m_maskBits;
}

bool InetAddress::isAnyLocal() const
{
   if (m_family == QV_AF_INET)
      return m_addr.v4.value == 0;
   return memcmp(m_addr.v6, ZERO_BYTES, QV_IPV6_BYTES) == 0;
}

bool InetAddress::isLoopback() const
{
   if (m_family == QV_AF_INET)
      return (m_addr.v4.value >> (IPV4_BITS - BYTE_BITS)) == LOOPBACK_NET_V4;
   return memcmp(m_addr.v6, ZERO_BYTES, QV_IPV6_BYTES - 1) == 0 && m_addr.v6[QV_IPV6_BYTES - 1] == 1;
}

bool InetAddress::isMulticast() const
{
   if (m_family == QV_AF_INET)
      return m_addr.v4.value >= MULTICAST_FIRST_V4 && m_addr.v4.value != BROADCAST_V4;
   return m_addr.v6[0] == MULTICAST_PREFIX_V6;
}

bool InetAddress::isBroadcast() const
{
   return m_family == QV_AF_INET && m_addr.v4.value == BROADCAST_V4;
}

bool InetAddress::isLinkLocal() const
{
   return (m_family == QV_AF_INET) ? LINK_LOCAL_V4.contain(*this) : LINK_LOCAL_V6.contain(*this);
}

bool InetAddress::isValidUnicast() const
{
   return isValid() && !isAnyLocal() && !isLoopback() && !isMulticast() && !isBroadcast() && !isLinkLocal();
}

wchar_t *InetAddress::toString(wchar_t *buffer) const
{
   if (m_family == QV_AF_INET)
      return IpToStr(m_addr.v4.value, buffer);
   if (m_family == QV_AF_UNSPEC)
      return static_cast<wchar_t *>(memcpy(buffer, L"UNSPEC", sizeof(L"UNSPEC")));
   return Ip6ToStr(m_addr.v6, buffer);
}

char *InetAddress::toStringA(char *buffer) const
{
   if (m_family == QV_AF_INET)
      return IpToStrA(m_addr.v4.value, buffer);
   if (m_family == QV_AF_UNSPEC)
      return static_cast<char *>(memcpy(buffer, "UNSPEC", sizeof("UNSPEC")));
   return Ip6ToStrA(m_addr.v6, buffer);
}

String InetAddress::toString() const
{
   wchar_t buffer[TEXT_BUFFER_SIZE];
   return String(toString(buffer));
}

json_t *InetAddress::toJson() const
{
   json_t *object = json_object();
   if (object == nullptr)
      return nullptr;
   // The set calls release the value themselves when they fail.
   bool ok = json_object_set_new(object, "family", json_integer(m_family)) == 0;
   if (ok && m_family != QV_AF_UNSPEC)
   {
      char text[TEXT_BUFFER_SIZE];
      ok = json_object_set_new(object, "address", json_string(toStringA(text))) == 0;
   }
   ok = ok && json_object_set_new(object, "prefixLength", json_integer(m_maskBits)) == 0;
   if (!ok)
   {
      json_decref(object);
      return nullptr;
   }
   return object;
}

uint8_t *InetAddress::buildHashKey(uint8_t *key) const
{
   memset(key, 0, HASH_KEY_SIZE);
   if (m_family == QV_AF_INET)
   {
      key[0] = HASH_KEY_LENGTH_V4;
      key[1] = static_cast<uint8_t>(QV_AF_INET);
      memcpy(key + HASH_KEY_ADDRESS_OFFSET, &m_addr.v4.value, QV_IPV4_BYTES);
   }
   else
   {
      key[0] = HASH_KEY_LENGTH_V6;
      key[1] = static_cast<uint8_t>(QV_AF_INET6);
      memcpy(key + HASH_KEY_ADDRESS_OFFSET, m_addr.v6, QV_IPV6_BYTES);
   }
   return key;
}

InetAddress InetAddress::getSubnetAddress() const
{
   InetAddress subnet(*this);
   if (m_family == QV_AF_INET && m_maskBits < IPV4_BITS)
      subnet.m_addr.v4.value &= MaskV4(m_maskBits);
   else if (m_family == QV_AF_INET6 && m_maskBits < IPV6_BITS)
      MaskV6(m_addr.v6, m_maskBits, subnet.m_addr.v6);
   return subnet;
}

InetAddress InetAddress::getSubnetBroadcast() const
{
   InetAddress broadcast(*this);
   if (m_family == QV_AF_INET && m_maskBits < IPV4_BITS)
      broadcast.m_addr.v4.value |= ~MaskV4(m_maskBits);
   return broadcast;
}

bool InetAddress::isSubnetBroadcast(int maskBits) const
{
   if (m_family != QV_AF_INET)
      return false;
   uint32_t hostBits = ~MaskV4(maskBits);
   return (m_addr.v4.value & hostBits) == hostBits;
}

bool InetAddress::contain(const InetAddress &other) const
{
   return m_family == other.m_family && SamePrefix(*this, other, m_maskBits, false);
}

bool InetAddress::sameSubnet(const InetAddress &other) const
{
   return m_family == other.m_family && SamePrefix(*this, other, m_maskBits, true);
}

bool InetAddress::equals(const InetAddress &other) const
{
   if (m_family != other.m_family)
      return false;
   if (m_family == QV_AF_INET)
      return m_addr.v4.value == other.m_addr.v4.value;
   return memcmp(m_addr.v6, other.m_addr.v6, QV_IPV6_BYTES) == 0;
}

int InetAddress::compareTo(const InetAddress &other) const
{
   if (m_family != other.m_family)
      return other.m_family - m_family;
   int order;
   if (m_family == QV_AF_INET)
      order = (m_addr.v4.value < other.m_addr.v4.value) ? -1 : (m_addr.v4.value > other.m_addr.v4.value) ? 1 : 0;
   else
      order = Sign(memcmp(other.m_addr.v6, m_addr.v6, QV_IPV6_BYTES));
   return (order != 0) ? order : m_maskBits - other.m_maskBits;
}
