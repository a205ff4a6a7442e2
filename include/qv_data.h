/* libqorvel Data objects: tables, internet addresses, UUIDs, geolocation and postal
 * addresses, MAC addresses. */
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
class QVCPMessage;

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
   /* Sets field countFieldId to the entry count (signed INT32), then entry i as an
    * INETADDR field with id baseFieldId + i. */
   void fillMessage(QVCPMessage *msg, uint32_t countFieldId, uint32_t baseFieldId) const;
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

/* ---------------------------------------------------------------------------------------
 * Table
 *
 * Table is the library's tabular value: a titled grid of text cells under a list of typed
 * column definitions. Every cell holds its value as wide text (or null) with a status code
 * (-1 when not set) and an object id (0 when not set); every row carries an object id (0)
 * and a base-row index (-1); an instance column's values identify the row. Row and column
 * indexes are 0-based; an index out of range is ignored (setters do nothing, getters give
 * their stated default). A table has an XML form, a packed form (the UTF-8 XML compressed
 * with zlib and encoded in base64) and a message form (with the protocol messages).
 *
 * Tables are reference-counted (RefCountObject): a new table has a count of 1 and is
 * deleted by the decRefCount that takes the count to 0. A table is not synchronised:
 * callers serialise access; sharing between threads is by reference count only.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

class QVCPMessage;
class TableRow;
struct TableCell;

/* A column definition: name, display name, data type code (stored and carried, not
 * interpreted) and the instance-column flag. A copyable value. */
class QV_EXPORT TableColumnDefinition
{
public:
   /* Characters of the name and display name buffers, terminator included. */
   static constexpr size_t NAME_BUFFER_SIZE = 64;
   static constexpr size_t DISPLAY_NAME_BUFFER_SIZE = 256;

private:
   wchar_t m_name[NAME_BUFFER_SIZE];
   wchar_t m_displayName[DISPLAY_NAME_BUFFER_SIZE];
   int32_t m_dataType;
   bool m_instanceColumn;

public:
   /* The name cut to 63 characters ("(null)" for null); the display name cut to 255
    * characters, or the stored name when displayName is null. */
   TableColumnDefinition(const wchar_t *name, const wchar_t *displayName, int dataType, bool isInstance);
   TableColumnDefinition(const TableColumnDefinition *src);
   /* Read from the column block at baseId of a message: the name from baseId (empty when
    * missing), the data type from baseId + 1, the display name from baseId + 2 (the name
    * when it comes out empty), the instance flag from baseId + 3. */
   TableColumnDefinition(const QVCPMessage *msg, uint32_t baseId);

   const wchar_t *getName() const { return m_name; }
   const wchar_t *getDisplayName() const { return m_displayName; }
   int getDataType() const { return m_dataType; }
   void setDataType(int type) { m_dataType = type; }
   bool isInstanceColumn() const { return m_instanceColumn; }
   void setInstanceColumn(bool isInstance) { m_instanceColumn = isInstance; }
   /* Cut to 255 characters; null gives an empty display name. */
   void setDisplayName(const wchar_t *name);

   /* Writes the column block at baseId: name (STRING), data type (INT32), display name
    * (STRING), instance flag (INT16 1 or 0). */
   void fillMessage(QVCPMessage *msg, uint32_t baseId) const;
};

class QV_EXPORT Table : public RefCountObject
{
private:
   ObjectArray<TableRow> m_data;                  // owning; grows by 32 rows
   ObjectArray<TableColumnDefinition> m_columns;  // owning; grows by 8 columns
   wchar_t *m_title;                              // null when none
   int32_t m_source;
   bool m_extendedFormat;

   QV_INTERNAL TableRow *rowAt(int row) const;
   QV_INTERNAL TableCell *cellAt(int row, int column) const;
   QV_INTERNAL void setCellValue(int row, int column, wchar_t *value);
   QV_INTERNAL void appendRowCopy(const TableRow *src, int columns);
   QV_INTERNAL void buildInstance(int row, String *out) const;
   QV_INTERNAL void readMessage(const QVCPMessage *msg);

protected:
   /* Deletes every column definition, row and cell and frees the title. Tables are
    * released with decRefCount. */
   virtual ~Table();

public:
   /* Empty: no rows or columns, no title, source 0, extended format off. */
   Table();
   /* A deep copy of src (every row, cell, column definition and attribute); null gives an
    * empty table. */
   Table(Table *src);
   /* A table read from the message form: a table written into one message (offset 0, no
    * row limit) reads back whole. Row and column counts are bounded by the fields the
    * message holds, so that a message cannot make the reader build rows or columns its
    * fields do not back (the first slice of a table sent in several messages reads back
    * as the rows it carries). */
   explicit Table(QVCPMessage *msg);

   /* Replaces every column, row and the title with what msg holds, read as the message
    * constructor reads it; the table keeps its reference count. */
   void updateFromMessage(QVCPMessage *msg);
   /* Writes rows offset to end - 1 into msg, end being the row count, or offset +
    * rowLimit when that is smaller and rowLimit is not negative: title, source and
    * extended format; with offset 0 also the row and column counts and every column
    * block; the offset and the number of rows written; then the rows of the slice in the
    * plain or the extended layout. The message that carries the last row is flagged as
    * the end of the sequence. Returns end, the offset of the next slice. An offset below
    * 0 counts as 0, one beyond the row count as the row count. */
   int fillMessage(QVCPMessage &msg, int offset, int rowLimit);

   /* Structure. */
   /* Appends a column (see TableColumnDefinition) and an empty cell to every row; returns
    * the new column's index. */
   int addColumn(const wchar_t *name, int dataType = 0, const wchar_t *displayName = nullptr, bool isInstance = false);
   int addColumn(const TableColumnDefinition *definition);
   /* Index of the first column whose name equals name without regard to case, or -1. */
   int getColumnIndex(const wchar_t *name) const;
   /* Appends a row with one empty cell per column; returns its index. */
   int addRow();
   void deleteRow(int row);
   /* Deletes the definition and the column's cell in every row. */
   void deleteColumn(int column);
   int getNumRows() const { return m_data.size(); }
   int getNumColumns() const { return m_columns.size(); }
   /* Null out of range. */
   const wchar_t *getColumnName(int column) const;
   /* 0 out of range. */
   int getColumnDataType(int column) const;
   void setColumnDataType(int column, int type);
   /* Null out of range. */
   const TableColumnDefinition *getColumnDefinition(int column) const { return m_columns.get(column); }
   const ObjectArray<TableColumnDefinition> *getColumnDefinitions() const { return &m_columns; }

   /* The title, or an empty text when none. */
   const wchar_t *getTitle() const { return (m_title != nullptr) ? m_title : L""; }
   /* Stores a copy; null clears the title. */
   void setTitle(const wchar_t *title);
   int getSource() const { return m_source; }
   void setSource(int source) { m_source = source; }
   bool isExtendedFormat() const { return m_extendedFormat; }
   void setExtendedFormat(bool ext) { m_extendedFormat = ext; }

   /* Cells by row and column. */
   /* Stores a copy of value (null stores null). */
   void setAt(int row, int column, const wchar_t *value);
   /* Takes over the malloc'ed block value; out of range it is freed instead. */
   void setPreallocatedAt(int row, int column, wchar_t *value);
   /* Store the decimal text of the value ("%d", "%u", "%I64d", "%I64u"), or of a double
    * in fixed notation with six decimals, all of its digits however large it is. */
   void setAt(int row, int column, int32_t value);
   void setAt(int row, int column, uint32_t value);
   void setAt(int row, int column, int64_t value);
   void setAt(int row, int column, uint64_t value);
   void setAt(int row, int column, double value);

   /* The value, or defaultValue out of range or for a null value; valid until the cell
    * changes. */
   const wchar_t *getAsString(int row, int column, const wchar_t *defaultValue = nullptr) const;
   /* The value parsed with base 0 (the 32-bit forms saturate at the 32-bit limits), or by
    * wcstod; 0 out of range, for a null value or text that does not parse. */
   int32_t getAsInt(int row, int column) const;
   uint32_t getAsUInt(int row, int column) const;
   int64_t getAsInt64(int row, int column) const;
   uint64_t getAsUInt64(int row, int column) const;
   double getAsDouble(int row, int column) const;

   void setStatusAt(int row, int column, int status);
   /* -1 out of range. */
   int getStatus(int row, int column) const;
   void setCellObjectIdAt(int row, int column, uint32_t id);
   /* 0 out of range. */
   uint32_t getCellObjectId(int row, int column) const;

   void setObjectIdAt(int row, uint32_t id);
   /* 0 out of range. */
   uint32_t getObjectId(int row) const;
   void setBaseRowAt(int row, int baseRow);
   /* 0 out of range (not -1). */
   int getBaseRow(int row) const;

   /* The same on the last row; nothing when the table has no rows. The 8-bit text is in
    * the default code page. */
   void set(int column, const wchar_t *value) { setAt(getNumRows() - 1, column, value); }
   void set(int column, const char *value);
   void set(int column, int32_t value) { setAt(getNumRows() - 1, column, value); }
   void set(int column, uint32_t value) { setAt(getNumRows() - 1, column, value); }
   void set(int column, int64_t value) { setAt(getNumRows() - 1, column, value); }
   void set(int column, uint64_t value) { setAt(getNumRows() - 1, column, value); }
   void set(int column, double value) { setAt(getNumRows() - 1, column, value); }
   void setPreallocated(int column, wchar_t *value) { setPreallocatedAt(getNumRows() - 1, column, value); }
   void setStatus(int column, int status) { setStatusAt(getNumRows() - 1, column, status); }
   void setCellObjectId(int column, uint32_t id) { setCellObjectIdAt(getNumRows() - 1, column, id); }
   void setObjectId(uint32_t id) { setObjectIdAt(getNumRows() - 1, id); }
   void setBaseRow(int baseRow) { setBaseRowAt(getNumRows() - 1, baseRow); }

   /* Copying between tables. */
   /* Appends a row for every row src had when the call began (src may be this table),
    * copying value, status and object id of the cells of the columns both tables have;
    * the new rows keep object id 0 and base row -1. Columns are not added. */
   void addAll(Table *src);
   /* The same for the one row of src with that index; nothing out of range. */
   void copyRow(Table *src, int row);

   /* Instances. */
   /* Writes the row's instance text into buffer, cut to size - 1 characters and
    * terminated: the values of the instance columns joined by "~~~" (a null value as
    * empty), or "#" and the row index when that comes out empty. An empty text out of
    * range. Nothing is written when size is 0. */
   void buildInstanceString(int row, wchar_t *buffer, size_t size);
   /* Index of the first row whose instance text equals instance exactly, or -1. */
   int findRowByInstance(const wchar_t *instance);

   /* XML and packed forms. */
   /* The XML form as a new malloc'ed text (caller frees it); null when out of memory. */
   wchar_t *createXML() const;
   /* A new table from UTF-8 XML (the caller releases it), or null when the text does not
    * parse or does not describe a table. */
   static Table *createFromXML(const char *xml);
   /* The packed form as a new malloc'ed text (caller frees it); null on failure. */
   char *createPackedXML() const;
   /* A new table from the packed form, or null when the text is not valid base64, is
    * shorter than its 4-byte length prefix, declares a length its compressed data cannot
    * hold, does not decompress, or its XML does not parse. */
   static Table *createFromPackedXML(const char *packed);
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Geolocation and postal address
 *
 * GeoLocation is a plain value: a position in decimal degrees (north and east positive),
 * how it was obtained, its accuracy radius in metres and the time it was taken (seconds
 * since the epoch). It keeps each coordinate also as printed text in degrees, minutes and
 * seconds: "N 56° 56' 58.560\"" for a latitude of 56.9496, "W 00° 30' 00.000\"" for a
 * longitude of -0.5, and "<invalid>" for a value outside -180 to 180 (the same range for
 * both) or one that is not a number.
 *
 * Coordinate texts are read in these forms (blanks at both ends ignored):
 *   - a plain number as wcstod reads it, the whole text ("56.9496", "-0.5", "1e1"), with
 *     no range check; infinities and NaN are refused;
 *   - degrees, minutes and seconds from the characters "0123456789.,'\" °" and the two
 *     hemisphere letters (N and S for a latitude, E and W for a longitude), ',' taken as
 *     the decimal point: an optional letter with blanks after it, the degrees, then
 *     optionally a blank or '°' and the minutes, then optionally '\'' and the seconds,
 *     then optionally '"', blanks and a letter that overrides the first one:
 *     "N 56° 56' 58.56\"", "S 33 51' 36\"", "56° 56' 58.56\" S", "24,5".
 *     S and W make the value negative. A text without any hemisphere letter is positive,
 *     except that one whose seconds end with '"' must name its hemisphere and otherwise
 *     fails. Anything else fails.
 *
 * The message form (fields 342 type INT16, 343 latitude FLOAT, 344 longitude FLOAT, 438
 * accuracy INT16, 439 timestamp INT64) and the rest of the class are not synchronised:
 * one thread at a time per object.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

#include <time.h>

class QVCPMessage;

/* How a position was obtained. */
#define GEOLOCATION_NONE 0
#define GEOLOCATION_MANUAL 1 /* entered by a person */
#define GEOLOCATION_AGENT 2  /* reported by an agent */

class QV_EXPORT GeoLocation
{
public:
   /* Characters of a printed coordinate, terminator included. */
   static constexpr size_t TEXT_SIZE = 20;

private:
   int m_type;
   double m_lat;
   double m_lon;
   wchar_t m_latStr[TEXT_SIZE];
   wchar_t m_lonStr[TEXT_SIZE];
   bool m_isValid;
   int m_accuracy;
   time_t m_timestamp;

   /* The parts of |pos| that are printed: whole degrees, whole minutes, and seconds. */
   QV_INTERNAL static int getIntegerDegree(double pos);
   QV_INTERNAL static int getIntegerMinutes(double pos);
   QV_INTERNAL static double getDecimalSeconds(double pos);
   /* Prints pos into buffer (TEXT_SIZE characters) as a latitude or a longitude. */
   QV_INTERNAL static void posToString(wchar_t *buffer, bool isLatitude, double pos);
   /* The coordinate in text (forms above); *ok tells whether it was read, 0 if not. */
   QV_INTERNAL static double parse(const wchar_t *text, bool isLatitude, bool *ok);
   /* Store the parsed coordinate (0 on failure) and return whether it was read. */
   QV_INTERNAL bool parseLatitude(const wchar_t *text);
   QV_INTERNAL bool parseLongitude(const wchar_t *text);
   QV_INTERNAL void printCoordinates();

public:
   /* GEOLOCATION_NONE at 0, 0: valid, accuracy 0, timestamp 0. */
   GeoLocation();
   /* The values as given (no range check); valid. */
   GeoLocation(int type, double lat, double lon, int accuracy = 0, time_t timestamp = 0);
   /* Parses lat, and lon only when lat was read; a coordinate not read (or not parsed) is
    * 0, and the position is valid only when both were read. Null texts are not read. */
   GeoLocation(int type, const wchar_t *lat, const wchar_t *lon, int accuracy = 0, time_t timestamp = 0);
   /* Reads the message form: type from an INT16 field 342 (else 0); latitude and
    * longitude from FLOAT fields 343 and 344, or INT32 fields holding millionths of a
    * degree (else 0); accuracy from an INT16 field 438 (else 0); timestamp from field
    * 439 as INT64 or INT32 (unsigned) seconds, or as a STRING of at most 255 characters
    * "YYYY/MM/DD hh:mm:ss" in UTC (0 when it does not parse). A timestamp of 0 becomes
    * the current time. Always valid. */
   explicit GeoLocation(const QVCPMessage &msg);

   /* Sets the five fields of the message form. Type and accuracy outside the 16-bit
    * range are sent as the nearest 16-bit value. */
   void fillMessage(QVCPMessage &msg) const;
   /* New JSON object (caller releases it with json_decref): "type", "latitude",
    * "longitude", "accuracy" and "timestamp", in that order; null when out of memory. */
   json_t *toJson() const;

   int getType() const { return m_type; }
   bool isManual() const { return m_type == GEOLOCATION_MANUAL; }
   double getLatitude() const { return m_lat; }
   double getLongitude() const { return m_lon; }
   const wchar_t *getLatitudeAsString() const { return m_latStr; }
   const wchar_t *getLongitudeAsString() const { return m_lonStr; }
   int getAccuracy() const { return m_accuracy; }
   time_t getTimestamp() const { return m_timestamp; }
   /* False only after a text constructor could not read a coordinate. */
   bool isValid() const { return m_isValid; }

   /* Same type, accuracy, latitude and longitude (exactly); the timestamp and the valid
    * flag are not compared. */
   bool equals(const GeoLocation &other) const;
   /* True when (lat, lon) lies within the smaller of this accuracy and oldAccuracy
    * metres of this position. */
   bool sameLocation(double lat, double lon, int oldAccuracy) const;
   /* Great-circle distance in metres (haversine on a sphere of radius 6371000 m),
    * rounded to the nearest metre; INT_MAX when a coordinate is not a finite number. */
   int calculateDistance(const GeoLocation &other) const;

   /* A position from an agent's record "f0,f1,lat,lon,accuracy,f5,f6,f7,f8,timestamp"
    * (of which at most 254 characters are read): GEOLOCATION_AGENT with those values when
    * there are at least ten fields and f0 and f1 are both non-zero integers, otherwise
    * GEOLOCATION_NONE at 0, 0 with accuracy and timestamp 0. Always valid; a null record
    * gives GEOLOCATION_NONE. */
   static GeoLocation parseAgentData(const wchar_t *data);
};

/* The four text parts of a postal address, each an owned copy or absent (null). Not
 * copyable; not synchronised. */
class QV_EXPORT PostalAddress
{
private:
   wchar_t *m_country;
   wchar_t *m_city;
   wchar_t *m_streetAddress;
   wchar_t *m_postcode;

public:
   /* Every part absent. */
   PostalAddress();
   /* Copies of the parts given, each trimmed of white space at both ends; null parts are
    * absent. */
   PostalAddress(const wchar_t *country, const wchar_t *city, const wchar_t *streetAddress, const wchar_t *postcode);
   /* Reads the message form written by fillMessage: the STRING fields baseId to
    * baseId + 3; a missing or non-STRING field leaves its part absent. */
   PostalAddress(const QVCPMessage &msg, uint32_t baseId);
   PostalAddress(const PostalAddress &) = delete;
   PostalAddress &operator=(const PostalAddress &) = delete;
   ~PostalAddress();

   /* The parts; the empty text for an absent part. */
   const wchar_t *getCountry() const { return (m_country != nullptr) ? m_country : L""; }
   const wchar_t *getCity() const { return (m_city != nullptr) ? m_city : L""; }
   const wchar_t *getStreetAddress() const { return (m_streetAddress != nullptr) ? m_streetAddress : L""; }
   const wchar_t *getPostCode() const { return (m_postcode != nullptr) ? m_postcode : L""; }

   /* Replace a part with a copy of text as it is (untrimmed), or make it absent (null). */
   void setCountry(const wchar_t *country);
   void setCity(const wchar_t *city);
   void setStreetAddress(const wchar_t *streetAddress);
   void setPostCode(const wchar_t *postcode);

   /* Sets STRING fields baseId (country), baseId + 1 (city), baseId + 2 (street address)
    * and baseId + 3 (post code) for the parts that are present. */
   void fillMessage(QVCPMessage &msg, uint32_t baseId) const;
   /* New JSON object (caller releases it with json_decref): "country", "city",
    * "streetAddress" and "postcode", in that order, each a UTF-8 string or null for an
    * absent part; null when out of memory. */
   json_t *toJson() const;
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * MAC address
 *
 * MacAddress is a plain value of up to 16 bytes (usually 6 or 8) with their count; a
 * length of 0 is the empty address, the result of every failed parse. It prints in six
 * notations, always with upper-case digits; for 00 1A 2B 3C 4D 5E:
 *   MAC_NOTATION_FLAT         001A2B3C4D5E
 *   MAC_NOTATION_COLON        00:1A:2B:3C:4D:5E
 *   MAC_NOTATION_COLON_PAIRS  001A:2B3C:4D5E
 *   MAC_NOTATION_HYPHEN       00-1A-2B-3C-4D-5E
 *   MAC_NOTATION_DOT_TRIPLETS 001.A2B.3C4.D5E
 *   MAC_NOTATION_DOT_PAIRS    001A.2B3C.4D5E
 * Every digit is written; a last group may be shorter ("1122:3344:55" for five bytes).
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

enum MacAddressNotation
{
   MAC_NOTATION_FLAT = 0,
   MAC_NOTATION_COLON = 1,
   MAC_NOTATION_COLON_PAIRS = 2,
   MAC_NOTATION_HYPHEN = 3,
   MAC_NOTATION_DOT_TRIPLETS = 4,
   MAC_NOTATION_DOT_PAIRS = 5
};

class QV_EXPORT MacAddress
{
public:
   /* Most bytes an address holds. */
   static constexpr size_t MAX_LENGTH = 16;
   /* Characters (terminator included) that toString writes at most, for any length and
    * notation: 16 bytes with a separator after each. */
   static constexpr size_t TEXT_BUFFER_SIZE = 3 * MAX_LENGTH;

private:
   uint8_t m_value[MAX_LENGTH];
   size_t m_length;

public:
   /* All bytes zero; the length is the smaller of length and MAX_LENGTH. */
   explicit MacAddress(size_t length = 0);
   /* The first min(length, MAX_LENGTH) bytes at value (zero bytes when value is null). */
   MacAddress(const uint8_t *value, size_t length);

   const uint8_t *value() const { return m_value; }
   size_t length() const { return m_length; }

   /* Any of the significant bytes is not zero: the empty and the all-zero address are
    * not valid. */
   bool isValid() const;
   /* A 6-byte address whose first byte has its lowest bit set. */
   bool isMulticast() const;
   /* A 6-byte address of six 0xFF bytes. */
   bool isBroadcast() const;
   /* Same length and same significant bytes. */
   bool equals(const MacAddress &other) const;

   /* The text in the notation into buffer, which takes at least the characters (with
    * terminator) of the notation: 2 * length + 1 for FLAT, 3 * length for COLON, HYPHEN
    * and DOT_TRIPLETS, 2 * length + (length + 1) / 2 for COLON_PAIRS and DOT_PAIRS, and
    * at least 1; TEXT_BUFFER_SIZE always suffices. The empty address and an unknown
    * notation give the empty text. Returns buffer. */
   wchar_t *toString(wchar_t *buffer, MacAddressNotation notation) const;
   String toString(MacAddressNotation notation = MAC_NOTATION_COLON) const;

   /* Four to eight bytes as pairs of hex digits (either case), each pair optionally
    * followed by a blank, ':' or '-', and the 2nd, 4th and 6th also by '.'
    * ("00:1a:2b:3c:4d:5e", "001A.2B3C.4D5E", "001a2b3c4d5e"), or 12 digits in four groups
    * of three separated by '.' ("001.a2b.3c4.d5e"); nothing else, and no more than 23
    * characters. The empty address otherwise, and for a null text. The wide form reads
    * the same texts. */
   static MacAddress parse(const char *text);
   static MacAddress parse(const wchar_t *text);
};

/* Exactly 6 bytes at mac in COLON notation ("00:1A:2B:3C:4D:5E") into buffer, which holds
 * 18 characters; returns buffer. */
QV_EXPORT wchar_t *MACToStr(const uint8_t *mac, wchar_t *buffer);

#endif /* __cplusplus */

#endif
