/* libqorvel Data objects: tables, internet addresses, UUIDs, geolocation, MAC addresses. */
#ifndef QORVEL_QV_DATA_H
#define QORVEL_QV_DATA_H

#include <qv_containers.h>

/* ---------------------------------------------------------------------------------------
 * Internet addresses
 *
 * InetAddress is a plain value: an IPv4 or IPv6 address with a prefix length (its mask
 * bits), so that one object names a host, a host on a subnet, or a subnet. Family codes
 * are the platform's AF_UNSPEC (no address), AF_INET and AF_INET6, from the caller's own
 * socket headers. An IPv4 address is a number in host byte order (10.0.0.1 is
 * 0x0A000001); an IPv6 address is 16 bytes in network order. InetAddress::INVALID
 * (AF_UNSPEC, mask bits 0) is the result of every failed parse or lookup.
 *
 * InetAddressList is an owning list of distinct addresses (mask bits are not part of an
 * address's identity). Neither class is synchronised: concurrent use of one list needs
 * the caller's lock. The socket structures are only named here (struct sockaddr), so
 * this header pulls in no socket header.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

struct sockaddr;

/* Room for an IPv4 or an IPv6 socket address (sockaddr_in or sockaddr_in6), allocated by
 * the caller and filled by InetAddress::fillSockAddr. */
union SockAddrBuffer
{
   uint8_t bytes[28];   // the size of sockaddr_in6, the larger of the two
   uint64_t alignment;  // aligns the buffer for either structure
};

class QV_EXPORT InetAddress
{
private:
   /* The address area: the IPv4 number followed by 12 zero bytes, or 16 IPv6 bytes. */
   union Storage
   {
      uint8_t v6[16];
      struct
      {
         uint32_t value;
         uint32_t zero[3];
      } v4;

      constexpr Storage() : v6{} {}
      constexpr explicit Storage(uint32_t addr) : v4{addr, {0, 0, 0}} {}
      /* IPv6 bytes beginning with first and second, the rest zero. */
      constexpr Storage(uint8_t first, uint8_t second) : v6{first, second} {}
   };

   int16_t m_maskBits;
   int16_t m_family;
   Storage m_addr;

   /* Family codes come from the library's platform layer; this one is for the constants,
    * which it makes ready before any caller runs. */
   constexpr InetAddress(int16_t family, const Storage &addr, int16_t maskBits)
       : m_maskBits(maskBits), m_family(family), m_addr(addr)
   {}

   friend struct InetAddressConstants;

public:
   /* AF_UNSPEC, all zero, mask bits 0: the result of every failed parse or lookup. */
   static const InetAddress INVALID;
   /* 127.0.0.1/32. */
   static const InetAddress LOOPBACK;
   /* 0.0.0.0/32. */
   static const InetAddress NONE;

   /* Characters (terminator included) that toString and toStringA write at most. */
   static constexpr size_t TEXT_BUFFER_SIZE = 40;
   /* Bytes of the key that buildHashKey fills. */
   static constexpr size_t HASH_KEY_SIZE = 18;

   /* AF_UNSPEC, mask bits 0, zero address (the same as INVALID). */
   constexpr InetAddress() : m_maskBits(0), m_family(0), m_addr() {}
   /* IPv4 addr (host byte order), mask bits 32. */
   explicit InetAddress(uint32_t addr);
   /* IPv4 addr; the mask bits are 32 minus the trailing zero bits of netmask (0 for a zero
    * netmask), the prefix length of a contiguous netmask. */
   InetAddress(uint32_t addr, uint32_t netmask);
   /* IPv6 from the 16 bytes at addr6 (a null pointer gives ::), mask bits as given. */
   explicit InetAddress(const uint8_t *addr6, int maskBits = 128);

   int getFamily() const { return m_family; }
   bool isValid() const { return m_family != 0; }
   /* The IPv4 number; 0 unless the family is AF_INET. */
   uint32_t getAddressV4() const;
   /* The 16 bytes for AF_INET6; a constant block of 16 zero bytes for any other family. */
   const uint8_t *getAddressV6() const;
   int getMaskBits() const { return m_maskBits; }
   /* Any value is kept (as a signed 16-bit number); the subnet operations treat values
    * below 0 as 0 and values above the family's width as the width. */
   void setMaskBits(int maskBits) { m_maskBits = static_cast<int16_t>(maskBits); }
   /* 32 minus the mask bits for IPv4, 128 minus the mask bits for any other family. */
   int getHostBits() const;

   /* Classification. Every family other than AF_INET counts as 16 address bytes, so
    * INVALID is any-local (all zero) but never valid unicast. */
   bool isAnyLocal() const;
   /* IPv4 127.0.0.0/8; otherwise ::1. */
   bool isLoopback() const;
   /* IPv4 224.0.0.0 to 255.255.255.254 (the reserved range above 239 included);
    * otherwise first byte 0xFF. */
   bool isMulticast() const;
   /* IPv4 255.255.255.255 only. */
   bool isBroadcast() const;
   /* IPv4 169.254.0.0/16; IPv6 fe80::/10. */
   bool isLinkLocal() const;
   /* A valid address that is none of: unspecified, loopback, multicast, limited
    * broadcast, link-local. */
   bool isValidUnicast() const;

   /* The text form into buffer, which must hold TEXT_BUFFER_SIZE characters: IPv4 as
    * IpToStr, IPv6 as Ip6ToStr, AF_UNSPEC as "UNSPEC". Returns buffer. */
   wchar_t *toString(wchar_t *buffer) const;
   char *toStringA(char *buffer) const;
   String toString() const;
   /* New JSON object (caller releases it with json_decref): "family" (the family code),
    * "address" (the text form; absent for AF_UNSPEC) and "prefixLength" (the mask
    * bits), in that order. Null when out of memory. */
   json_t *toJson() const;
   /* Fills HASH_KEY_SIZE bytes at key: the significant length (6 for IPv4, 18 otherwise),
    * the family (AF_INET6 also for AF_UNSPEC), then the address (IPv4: its four bytes as
    * they lie in memory, then zeros). Mask bits are not part of the key. Returns key. */
   uint8_t *buildHashKey(uint8_t *key) const;

   /* Subnet operations; the results keep the family and the mask bits. */
   /* The address with the host bits cleared; an unchanged copy when the mask bits cover
    * the whole address or the family is AF_UNSPEC. */
   InetAddress getSubnetAddress() const;
   /* IPv4: the address with all host bits set; every other case an unchanged copy. */
   InetAddress getSubnetBroadcast() const;
   /* IPv4 only (false otherwise): all of the low 32 - maskBits bits of the address are
    * set (always true for 32 or more, all 32 bits for 0 or less). */
   bool isSubnetBroadcast(int maskBits) const;
   /* Same family and other's address masked to this object's mask bits equals this
    * address as stored (this object is expected to hold a subnet address: its own host
    * bits are not cleared first, so 10.1.2.3/24 contains nothing). */
   bool contain(const InetAddress &other) const;
   /* Same family and both addresses equal when masked to this object's mask bits. */
   bool sameSubnet(const InetAddress &other) const;

   /* Same family and address; mask bits are ignored. */
   bool equals(const InetAddress &other) const;
   /* Ordering: a higher family code sorts first (other's family minus this one's);
    * IPv4 ascending as unsigned numbers; other families by the sign of
    * memcmp(other, this), that is in descending byte order; equal addresses by this
    * object's mask bits minus other's. */
   int compareTo(const InetAddress &other) const;

   /* Clears buffer and fills it with the socket address of this address and port (host
    * byte order; stored in network order). Null for AF_UNSPEC. */
   struct sockaddr *fillSockAddr(SockAddrBuffer *buffer, uint16_t port = 0) const;
   /* Reverse lookup: the host name of this address converted from the default code page
    * into buffer (size characters, always terminated). Null for AF_UNSPEC, for a size of
    * 0, or when the lookup fails. */
   wchar_t *getHostByAddr(wchar_t *buffer, size_t size) const;

   /* A numeric literal as parse gives it, otherwise the resolver's first answer for the
    * host name (IPv4 with mask bits 32, IPv6 with 128). With af AF_INET or AF_INET6 only
    * answers of that family are asked for; any other af takes the first answer whatever
    * its family. INVALID when nothing is found. Names longer than 255 bytes in the
    * default code page are not looked up. */
   static InetAddress resolveHostName(const wchar_t *host, int af = 0);
   static InetAddress resolveHostName(const char *host, int af = 0);
   /* A numeric address: a dotted quad of four decimal octets 0-255 without leading zeros
    * (IPv4, mask bits 32), or an IPv6 literal of up to eight groups of one to four hex
    * digits with at most one "::" and optionally a dotted quad as its last 32 bits
    * (mask bits 128). No prefix suffix, zone, brackets, spaces or host names: anything
    * else, and a null text, gives INVALID. */
   static InetAddress parse(const wchar_t *text);
   static InetAddress parse(const char *text);
   /* AF_INET: the address in host order, mask bits 32; AF_INET6: the 16 bytes, mask bits
    * 128; any other family or a null pointer: INVALID. */
   static InetAddress createFromSockaddr(const struct sockaddr *sa);
};

/* An owning list of distinct addresses (by InetAddress::equals) in the order they were
 * added; each entry is a heap copy. Copies are deep: every list owns its own entries.
 * References handed out by the finders stay valid until that entry is removed or the
 * list is cleared, assigned to or destroyed. */
namespace qv {
namespace data {
struct InetAddressListInternals;
}
}  // namespace qv

class QV_EXPORT InetAddressList
{
   friend struct qv::data::InetAddressListInternals;  // the library's own code of the list

private:
   ObjectArray<InetAddress> m_list;

public:
   InetAddressList();
   InetAddressList(const InetAddressList &src);
   InetAddressList &operator=(const InetAddressList &src);
   ~InetAddressList();

   /* Appends a copy unless an equal address is already present (its mask bits stay). */
   void add(const InetAddress &addr);
   /* Adds every address of other in its order by the same rule. */
   void add(const InetAddressList &other);
   /* Deletes the entry equal to addr, if any; later entries move up. */
   void remove(const InetAddress &addr);
   /* Gives the entry equal to addr the mask bits of addr; nothing when there is none. */
   void replace(const InetAddress &addr);
   bool hasAddress(const InetAddress &addr) const;
   /* The stored entry equal to addr (with its own mask bits), or INVALID. */
   const InetAddress &findAddress(const InetAddress &addr) const;
   /* The entry at index, or INVALID for an index out of range. */
   const InetAddress &get(int index) const;
   int size() const { return m_list.size(); }
   /* Deletes every entry. */
   void clear() { m_list.clear(); }
   const ObjectArray<InetAddress> &getList() const { return m_list; }

   /* The first entry that is valid unicast (of any family / of AF_INET), or INVALID. */
   const InetAddress &getFirstUnicastAddress() const;
   const InetAddress &getFirstUnicastAddressV4() const;
   bool hasValidUnicastAddress() const { return getFirstUnicastAddress().isValid(); }
   /* The first entry whose sameSubnet(addr) holds (the entry's mask bits decide), or
    * INVALID. */
   const InetAddress &findSameSubnetAddress(const InetAddress &addr) const;
   /* True when the list is not empty and every entry is a loopback address. */
   bool isLoopbackOnly() const;
   /* New JSON array (caller releases it with json_decref) of the entries' toJson
    * objects in list order; null when out of memory. */
   json_t *toJson() const;
};

/* Text forms of raw values. Each function given a null buffer writes into a buffer of its
 * own, one per thread, which the next call on that thread overwrites. */

/* Characters (terminator included) of the longest IPv4 and IPv6 texts. */
constexpr size_t QV_IPV4_TEXT_SIZE = 16;
constexpr size_t QV_IPV6_TEXT_SIZE = 40;

/* "%d.%d.%d.%d" of the host-order address, most significant octet first; the buffer
 * holds QV_IPV4_TEXT_SIZE characters. */
QV_EXPORT wchar_t *IpToStr(uint32_t addr, wchar_t *buffer);
QV_EXPORT char *IpToStrA(uint32_t addr, char *buffer);
/* IPv6 text of the 16 bytes at addr, into a buffer of QV_IPV6_TEXT_SIZE characters:
 * groups in lower-case hex without leading zeros; the first run of zero groups (even a
 * single one) becomes "::", later zero groups are written as "0"; all zero is "::"; no
 * dotted-quad tail is ever written. A null addr gives an empty text. */
QV_EXPORT wchar_t *Ip6ToStr(const uint8_t *addr, wchar_t *buffer);
QV_EXPORT char *Ip6ToStrA(const uint8_t *addr, char *buffer);
/* The address of an AF_INET or AF_INET6 socket address as IpToStr or Ip6ToStr write it;
 * an empty text for any other family or a null sa. The buffer holds
 * QV_IPV6_TEXT_SIZE characters. */
QV_EXPORT wchar_t *SockaddrToStr(const struct sockaddr *sa, wchar_t *buffer);
/* Prefix length of a contiguous mask: 32 minus the trailing zero bits (0 for 0). */
QV_EXPORT int BitsInMask(uint32_t mask);
/* 8 for each leading 0xFF byte, then 8 minus the trailing zero bits of the first other
 * byte (0 for a zero byte); later bytes are not looked at. A null mask gives 0. */
QV_EXPORT int BitsInMask(const uint8_t *mask, size_t size);
/* The platform's inet_addr of the text converted to the default code page: the IPv4
 * address in network byte order, or INADDR_NONE (0xFFFFFFFF) when the text is not an
 * address, is null, or takes more than 255 bytes. */
QV_EXPORT uint32_t inet_addr_w(const wchar_t *text);

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * UUID
 * ------------------------------------------------------------------------------------- */

/* Identifiers of 16 bytes, kept in the order in which they are printed: byte 0 is the first
 * pair of hexadecimal digits of the text form, byte 15 the last. No operation reorders
 * bytes. The text form is 36 lower-case characters in groups of 8, 4, 4, 4 and 12 digits
 * separated by '-'. All-zero bytes are the null identifier, the value of a failed parse. */

/* Bytes of an identifier. */
#define QV_UUID_LENGTH 16

/* Characters of the text form, terminator not counted: text buffers hold one more. */
#define QV_UUID_TEXT_LENGTH 36

/* The functions below work on a caller's array of QV_UUID_LENGTH bytes. */

/* Sets the 16 bytes to zero. */
QV_API void _uuid_clear(unsigned char *uu);

/* -1, 0 or 1 as a is below, equal to or above b, comparing the bytes as unsigned numbers
 * in stored order. */
QV_API int _uuid_compare(const unsigned char *a, const unsigned char *b);

/* Writes a new random identifier (random version 4, RFC variant) laid out as the system's
 * generator on its other platforms lays out its GUID structure in memory: the first three
 * groups little-endian, so the version is the high nibble of byte 7 (text position 16) and
 * the variant the top bits of byte 8. Safe on any thread. When the system has no random
 * source that can be read, the null identifier is written. */
QV_API void _uuid_generate(unsigned char *out);

/* True when all 16 bytes are zero. */
QV_API bool _uuid_is_null(const unsigned char *uu);

/* Parses the 36-character text form, upper- or lower-case digits, nothing around it (no
 * braces, spaces or other lengths). Returns 0 and writes the 16 bytes to out, or -1 and
 * leaves out untouched; a null text gives -1. Reads no further than the text's
 * terminator or the character after the 36th. */
QV_API int _uuid_parse(const wchar_t *text, unsigned char *out);

/* Write the text form and its terminator (QV_UUID_TEXT_LENGTH + 1 characters) to buffer
 * and return buffer. */
QV_API wchar_t *_uuid_to_string(const unsigned char *uu, wchar_t *buffer);
QV_API char *_uuid_to_stringA(const unsigned char *uu, char *buffer);

#ifdef __cplusplus

/* Value type over the functions above: exactly 16 bytes, copied as bytes. */
class QV_EXPORT uuid
{
public:
   typedef unsigned char Bytes[QV_UUID_LENGTH];

private:
   Bytes m_value;

public:
   /* The null identifier, constant from load on. */
   static const uuid NULL_UUID;

   /* Null. */
   constexpr uuid() : m_value{} {}
   /* Copies QV_UUID_LENGTH bytes from value. */
   explicit uuid(const unsigned char *value) { memcpy(m_value, value, QV_UUID_LENGTH); }

   int compare(const uuid &other) const { return _uuid_compare(m_value, other.m_value); }
   bool equals(const uuid &other) const { return compare(other) == 0; }
   bool operator==(const uuid &other) const { return equals(other); }
   bool operator!=(const uuid &other) const { return !equals(other); }
   bool operator<(const uuid &other) const { return compare(other) < 0; }

   bool isNull() const { return _uuid_is_null(m_value); }
   const Bytes &getValue() const { return m_value; }

   /* The text form into buffer (QV_UUID_TEXT_LENGTH + 1 characters); returns buffer. */
   wchar_t *toString(wchar_t *buffer) const { return _uuid_to_string(m_value, buffer); }
   char *toStringA(char *buffer) const { return _uuid_to_stringA(m_value, buffer); }
   String toString() const;
   /* A new JSON string holding the text form (caller releases it with json_decref). */
   json_t *toJson() const;

   /* A new random identifier, as _uuid_generate makes it. */
   static uuid generate();
   /* The identifier in text, or NULL_UUID when _uuid_parse fails. */
   static uuid parse(const wchar_t *text);
};

#endif /* __cplusplus */

#endif
