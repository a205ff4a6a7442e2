/* libqorvel QVCP message protocol: messages and their wire format, message codes, raw message I/O,
 * receivers, stream compressors and the message wait queue. */
#ifndef QORVEL_QV_PROTOCOL_H
#define QORVEL_QV_PROTOCOL_H

#include <qv_data.h>

/* ---------------------------------------------------------------------------------------
 * Message codes and names
 * ------------------------------------------------------------------------------------- */

#include <qv_message_codes.h>

/* Lowest and highest code whose name the library knows; the codes between are all named. */
#define QVCP_FIRST_NAMED_CODE 0x0001
#define QVCP_LAST_NAMED_CODE 0x0174

/* Wide characters a name buffer must hold, terminator included. */
#define QVCP_CODE_NAME_BUFFER_SIZE 64

/* Names a code the library does not know: writes the name, terminator included, into
 * buffer (which holds QVCP_CODE_NAME_BUFFER_SIZE wide characters) and returns true, or
 * returns false, writing nothing, to let the next resolver try. Called with the resolver
 * list's lock held; the lock is re-entrant, so a resolver may itself name codes, but it
 * must not wait for another thread that names, registers or unregisters. */
typedef bool (*QVCPMessageNameResolver)(uint16_t code, wchar_t *buffer);

/* Writes the name of code into buffer, which must hold QVCP_CODE_NAME_BUFFER_SIZE wide
 * characters, and returns buffer. Codes QVCP_FIRST_NAMED_CODE to QVCP_LAST_NAMED_CODE get
 * the library's own names and never reach a resolver. Any other code goes to the
 * registered resolvers in the order of registration until one names it; when none does,
 * the name is "CMD_0x" and the code in four upper-case hexadecimal digits (CMD_0x0200).
 * Safe on any thread. */
QV_API wchar_t *QVCPMessageCodeName(uint16_t code, wchar_t *buffer);

/* Adds resolver to the end of the list unless it is there already; null is ignored. There
 * is no limit on the number of resolvers. Safe on any thread. */
QV_API void QVCPRegisterMessageNameResolver(QVCPMessageNameResolver resolver);

/* Removes resolver from the list when it is there. Safe on any thread; once it returns, a
 * lookup on another thread no longer calls the resolver. */
QV_API void QVCPUnregisterMessageNameResolver(QVCPMessageNameResolver resolver);

/* ---------------------------------------------------------------------------------------
 * Messages and wire format
 * ------------------------------------------------------------------------------------- */

/* A message is a 16-byte header and then either typed fields addressed by 32-bit field
 * identifiers or one block of raw bytes (a binary message). Every number on the wire is
 * big-endian. QVCP_MESSAGE and QVCP_MESSAGE_FIELD describe the wire layout; QVCPMessage is
 * the in-memory form that callers build with typed setters, turn into wire bytes with
 * serialize and rebuild from wire bytes with deserialize. */

/* Bytes of the header; the smallest message. */
#define QVCP_HEADER_SIZE 16

/* Message flags (the header's 16-bit flags word). */
#define QVCP_MF_BINARY 0x0001          /* payload is raw data, numFields its length */
#define QVCP_MF_END_OF_FILE 0x0002     /* last data message of a file transfer */
#define QVCP_MF_DONT_ENCRYPT 0x0004    /* sent without session encryption */
#define QVCP_MF_END_OF_SEQUENCE 0x0008 /* last message of a sequence */
#define QVCP_MF_REVERSE_ORDER 0x0010   /* items come in reverse order */
#define QVCP_MF_CONTROL 0x0020         /* header only; numFields carries data, not a count */
#define QVCP_MF_COMPRESSED 0x0040      /* payload compressed with zlib */
#define QVCP_MF_STREAM 0x0080          /* with QVCP_MF_COMPRESSED: stream-compressed file data */

/* Field type codes. */
#define QVCP_FT_INT32 0
#define QVCP_FT_STRING 1
#define QVCP_FT_INT64 2
#define QVCP_FT_INT16 3
#define QVCP_FT_BINARY 4
#define QVCP_FT_FLOAT 5
#define QVCP_FT_INETADDR 6

/* Field flag: the value is a signed integer. */
#define QVCP_FF_SIGNED 0x01

/* Family codes of an INETADDR field. */
#define QVCP_INETADDR_IPV4 0
#define QVCP_INETADDR_IPV6 1
#define QVCP_INETADDR_UNSPEC 2

/* Protocol versions: what a new message gets, the first that pads fields to 8 bytes, the
 * first that compresses payloads, and the mark of an object that could not be built. */
#define QVCP_DEFAULT_VERSION 4
#define QVCP_ALIGNMENT_VERSION 2
#define QVCP_COMPRESSION_VERSION 4
#define QVCP_INVALID_VERSION (-1)

/* One field. The first 8 bytes are common to every type; the value from offset 8 depends
 * on the type. Sizes on the wire: INT16 8, INT32 12, INT64 and FLOAT 16, INETADDR 32,
 * STRING and BINARY 12 + length, unknown types 8. A STRING holds UTF-16 code units,
 * length is in bytes. Inside a QVCPMessage the same layout is kept in host byte order. */
typedef struct QVCP_MESSAGE_FIELD
{
   uint32_t fieldId;
   uint8_t type;
   uint8_t flags;
   uint16_t value16; /* INT16 value; zero for every other type */
   union
   {
      int32_t int32;
      int64_t int64;
      double fp;
      struct
      {
         uint32_t length;
         UCS2CHAR value[1];
      } string;
      struct
      {
         uint32_t length;
         uint8_t value[1];
      } binary;
      struct
      {
         union
         {
            uint32_t v4; /* IPv4: the address number, then 12 zero bytes */
            uint8_t v6[16];
         } addr;
         uint8_t family; /* QVCP_INETADDR_IPV4, _IPV6 or _UNSPEC */
         uint8_t maskBits;
         uint8_t padding[6];
      } inetaddr;
   } data;
} QVCP_MESSAGE_FIELD;

/* The header, followed by the payload. size counts the header; in a binary message
 * numFields is the data length. */
typedef struct QVCP_MESSAGE
{
   uint16_t code;
   uint16_t flags;
   uint32_t size;
   uint32_t id;
   uint32_t numFields;
} QVCP_MESSAGE;

#ifdef __cplusplus

/* The in-memory message. All fields, the data of a binary message and the field index
 * live in the object's own MemoryPool, so building or parsing a message costs a few heap
 * allocations and destroying it frees a handful of regions. Fields are kept in the order
 * in which they were set and found by a hash index (a short list is scanned instead);
 * setting an identifier again replaces the field and moves it to the end. Pointers into
 * field values stay valid until that field is replaced, deleteAllFields runs or the
 * message is destroyed.
 *
 * The protocol version decides the wire form: fields are padded to 8 bytes from version
 * 2 on, and payloads are compressed and decompressed from version 4 on.
 *
 * A binary message stays binary: every setter does nothing on it. Not synchronised: one
 * thread at a time. */
namespace qv {
namespace protocol {
struct MessageInternals;
struct ReceiverInternals;
struct ReceiverFigures;
struct WaitQueueInternals;
struct WaitQueueFigures;
}  // namespace protocol
}  // namespace qv

class QV_EXPORT QVCPMessage
{
public:
   /* Pool block of one field: index entry, key and the field itself (private layout). */
   struct Field;

private:
   friend struct qv::protocol::MessageInternals;  // the library's own code of the message

   uint16_t m_code;
   uint16_t m_flags;  // header flags, host order
   uint32_t m_id;
   Field *m_fields;  // index head; null while there are no fields
   int32_t m_version;
   uint8_t *m_data;  // binary message data inside the pool, or null
   uint64_t m_dataSize;
   MemoryPool m_pool;

   /* Construction from wire bytes (size of them readable); the version becomes
    * QVCP_INVALID_VERSION when they do not form a valid message. */
   QV_INTERNAL QVCPMessage(const QVCP_MESSAGE *raw, size_t size, int version);

public:
   /* Region size of the pool of a new message, in bytes. */
   static constexpr size_t POOL_REGION_SIZE = 4096;

   /* Empty message: code 0, id 0, flags 0. */
   explicit QVCPMessage(int version = QVCP_DEFAULT_VERSION);
   QVCPMessage(uint16_t code, uint32_t id, int version = QVCP_DEFAULT_VERSION);
   /* Deep copy: code, id, flags, version, every field in order (or the binary data), in a
    * pool of the source's region size. */
   explicit QVCPMessage(const QVCPMessage *src);
   QVCPMessage(const QVCPMessage &src) : QVCPMessage(&src) {}
   QVCPMessage &operator=(const QVCPMessage &) = delete;
   ~QVCPMessage();

   /* A new message (the caller deletes it) rebuilt from the wire bytes at raw, of which
    * bufferSize bytes can be read, for a peer of the given protocol version; null when
    * they do not form a valid message. Only the header's size bytes are used, and it must
    * not exceed bufferSize. A compressed payload is inflated from version 4 on (a
    * declared size the stream cannot reach, or one the stream disagrees with, is
    * rejected); a control message gives a message without fields. */
   static QVCPMessage *deserialize(const QVCP_MESSAGE *raw, size_t bufferSize, int version);
   /* The same with the header's size as the buffer's size: the caller guarantees that
    * all of it is readable (null when it is below the header's 16 bytes). */
   static QVCPMessage *deserialize(const QVCP_MESSAGE *raw, int version = QVCP_DEFAULT_VERSION);

   /* The wire form in a new C-heap block (the caller frees it); its size is in the
    * header, always a multiple of 8. With allowCompression, from version 4 on, a message
    * of more than 128 bytes without QVCP_MF_STREAM is compressed when that saves more
    * than 4 bytes (a binary message only when its data length is a multiple of 8, the
    * only form a receiver can inflate). Null when the message does not fit the 32-bit
    * size or memory runs out. */
   QVCP_MESSAGE *serialize(bool allowCompression = false) const;

   /* A readable description of the raw message, every line starting with "  ** ": a hex
    * listing, the header, then one line per field (a field that does not fit ends the
    * text with a format error line), or a line saying that the message is binary or a
    * control message. Nothing beyond bufferSize bytes (nor beyond the header's size) is
    * read; fewer than 16 give the listing and "incomplete header". A compressed payload
    * is not inflated. */
   static String dump(const QVCP_MESSAGE *raw, size_t bufferSize, int version);
   /* The same, trusting the header's size (at least 16) as the buffer's size. */
   static String dump(const QVCP_MESSAGE *raw, int version);

   uint16_t getCode() const { return m_code; }
   void setCode(uint16_t code) { m_code = code; }
   uint32_t getId() const { return m_id; }
   void setId(uint32_t id) { m_id = id; }
   int getProtocolVersion() const { return m_version; }
   void setProtocolVersion(int version) { m_version = version; }
   uint16_t getFlags() const { return m_flags; }

   bool isBinary() const { return (m_flags & QVCP_MF_BINARY) != 0; }
   bool isEndOfFile() const { return (m_flags & QVCP_MF_END_OF_FILE) != 0; }
   bool isEndOfSequence() const { return (m_flags & QVCP_MF_END_OF_SEQUENCE) != 0; }
   bool isReverseOrder() const { return (m_flags & QVCP_MF_REVERSE_ORDER) != 0; }
   bool isControl() const { return (m_flags & QVCP_MF_CONTROL) != 0; }
   bool isCompressedStream() const
   {
      return (m_flags & (QVCP_MF_COMPRESSED | QVCP_MF_STREAM)) == (QVCP_MF_COMPRESSED | QVCP_MF_STREAM);
   }
   void setEndOfSequence() { m_flags |= QVCP_MF_END_OF_SEQUENCE; }
   void setReverseOrderFlag() { m_flags |= QVCP_MF_REVERSE_ORDER; }
   void disableEncryption() { m_flags |= QVCP_MF_DONT_ENCRYPT; }

   /* Data of a binary message (inside the message), null for a field message. */
   const uint8_t *getBinaryData() const { return m_data; }
   uint64_t getBinaryDataSize() const { return m_dataSize; }

   bool isFieldExist(uint32_t fieldId) const;
   /* The type code, or -1 when there is no such field. */
   int getFieldType(uint32_t fieldId) const;
   /* Copies the identifiers of the first maxCount fields, in field order, to buffer (which
    * may be null) and returns the number of fields. */
   size_t getFieldIds(uint32_t *buffer, size_t maxCount) const;
   /* Calls callback with every field in field order (each identifier once), in host byte
    * order, until it returns false. The callback must not change the message; a field
    * and its value stay valid as long as the getters' pointers do. Reading a large
    * message this way needs no lookup by identifier. */
   void forEachField(bool (*callback)(const QVCP_MESSAGE_FIELD *field, void *context), void *context) const;

   /* Setters: each replaces a field of the same identifier. */
   void setField(uint32_t fieldId, int16_t value);          // INT16, signed
   void setField(uint32_t fieldId, uint16_t value);         // INT16
   void setField(uint32_t fieldId, int32_t value);          // INT32, signed
   void setField(uint32_t fieldId, uint32_t value);         // INT32
   void setField(uint32_t fieldId, int64_t value);          // INT64, signed
   void setField(uint32_t fieldId, uint64_t value);         // INT64
   void setField(uint32_t fieldId, double value);           // FLOAT
   void setField(uint32_t fieldId, bool value);             // INT16 1 or 0, signed
   void setFieldFromTime(uint32_t fieldId, int64_t value);  // INT64
   /* STRING of the text up to its first zero character (empty for an empty string). */
   void setField(uint32_t fieldId, const String &value);
   /* STRING of the text; null sets nothing. */
   void setField(uint32_t fieldId, const wchar_t *value);
   /* STRING of at most maxLength characters of value (0: no limit); null sets nothing. */
   void setField(uint32_t fieldId, const wchar_t *value, size_t maxLength);
   /* STRING of a text in the default code page (not null). */
   void setFieldFromMBString(uint32_t fieldId, const char *value);
   /* BINARY of size bytes (zero bytes when value is null); sizes beyond the 32-bit length
    * set nothing. */
   void setField(uint32_t fieldId, const uint8_t *value, size_t size);
   /* BINARY of count 32-bit integers, each big-endian (zeros when values is null). */
   void setFieldFromInt32Array(uint32_t fieldId, size_t count, const uint32_t *values);
   /* BINARY of the array's values as 32-bit integers, each big-endian (the array is not
    * changed); a null array sets an empty BINARY field. */
   void setFieldFromInt32Array(uint32_t fieldId, const IntegerArray<unsigned int> *values);
   /* INETADDR of the address: its family (QVCP_INETADDR_IPV4, _IPV6, or _UNSPEC for any
    * other family), mask bits and address. */
   void setField(uint32_t fieldId, const InetAddress &addr);
   /* BINARY holding the whole file. False without a field when the file cannot be opened,
    * is larger than the 32-bit length, or the message is binary; false with the field in
    * place (its unread tail zero) when fewer bytes could be read than the file's size. */
   bool setFieldFromFile(uint32_t fieldId, const wchar_t *fileName);
   /* BINARY of the 16 bytes in stored order. */
   void setField(uint32_t fieldId, const uuid &value);
   /* BINARY of the address's significant bytes (empty for the empty address). */
   void setField(uint32_t fieldId, const MacAddress &value);

   /* Numeric getters: the value only when the field has the matching type, 0 otherwise;
    * no conversion between widths or from text. */
   int16_t getFieldAsInt16(uint32_t fieldId) const;
   uint16_t getFieldAsUInt16(uint32_t fieldId) const;
   /* INT32, or INETADDR holding an IPv4 address (the address number). */
   int32_t getFieldAsInt32(uint32_t fieldId) const;
   uint32_t getFieldAsUInt32(uint32_t fieldId) const;
   int64_t getFieldAsInt64(uint32_t fieldId) const;
   uint64_t getFieldAsUInt64(uint32_t fieldId) const;
   double getFieldAsDouble(uint32_t fieldId) const;
   /* INT32 (as an unsigned number) or INT64. */
   int64_t getFieldAsTime(uint32_t fieldId) const;
   /* INT16, INT32 or INT64 not zero. */
   bool getFieldAsBoolean(uint32_t fieldId) const;

   /* String getters accept STRING fields only; an odd last byte is ignored.
    *
    * With a buffer of bufferSize characters: at most bufferSize - 1 characters and a
    * terminator, returning buffer (the empty text for a missing or non-STRING field); a
    * bufferSize of 0 returns null and writes nothing. Without a buffer: the whole text in
    * a new C-heap block (the caller frees it), null for a missing or non-STRING field. */
   wchar_t *getFieldAsString(uint32_t fieldId, wchar_t *buffer = nullptr, size_t bufferSize = 0) const;
   /* The whole text in a block of pool, or of the C heap when pool is null; null for a
    * missing or non-STRING field. */
   wchar_t *getFieldAsString(uint32_t fieldId, MemoryPool *pool) const;
   /* The text in the default code page. With a buffer: as many whole characters (at most
    * bufferSize - 1) as fit in bufferSize - 1 bytes, terminated. Without one: the whole
    * text in a new C-heap block. Missing fields and bufferSize 0 as getFieldAsString. */
   char *getFieldAsMBString(uint32_t fieldId, char *buffer = nullptr, size_t bufferSize = 0) const;
   /* The text in UTF-8. With a buffer: the whole text when it fits in bufferSize - 1
    * bytes, otherwise the empty text. Without one: a new C-heap block. Missing fields and
    * bufferSize 0 as getFieldAsString. */
   char *getFieldAsUtf8String(uint32_t fieldId, char *buffer = nullptr, size_t bufferSize = 0) const;

   /* Binary getters accept BINARY fields only. */
   /* Copies min(length, bufferSize) bytes when buffer is not null; returns the length (0
    * for a missing or non-BINARY field). */
   size_t getFieldAsBinary(uint32_t fieldId, uint8_t *buffer, size_t bufferSize) const;
   /* The bytes inside the message and their count in *size; null and 0 when missing. */
   const uint8_t *getBinaryFieldPtr(uint32_t fieldId, size_t *size) const;
   /* Copies the first min(count, maxCount) elements in host byte order to buffer (which may
    * be null) and returns the field's element count, length / 4. */
   size_t getFieldAsInt32Array(uint32_t fieldId, size_t maxCount, uint32_t *buffer) const;
   /* Clears values, then appends every whole 4-byte element of a BINARY field in host
    * byte order (a partial last element is ignored); returns the array's size (0 for a
    * missing or non-BINARY field). values must not be null. */
   size_t getFieldAsInt32Array(uint32_t fieldId, IntegerArray<unsigned int> *values) const;
   /* An INETADDR field as an IPv4, IPv6 or AF_UNSPEC address (by its family code) with the
    * field's mask bits; an INT32 field as the IPv4 address of its value with mask bits
    * 32; InetAddress::INVALID for a missing field or one of another type. */
   InetAddress getFieldAsInetAddress(uint32_t fieldId) const;
   /* A BINARY field of exactly 16 bytes, or a STRING holding the text form (at most 63
    * characters read); NULL_UUID for anything else. */
   uuid getFieldAsGUID(uint32_t fieldId) const;
   /* A BINARY field of 1 to MacAddress::MAX_LENGTH bytes as an address of that length;
    * the empty address for anything else. */
   MacAddress getFieldAsMacAddress(uint32_t fieldId) const;

   /* Drops every field and the binary data and releases the pool down to one region;
    * code, id, flags and version stay (a binary message stays binary). */
   void deleteAllFields();
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Stream compressors
 *
 * A stream compressor compresses a sequence of blocks on the sending side and restores
 * them on the receiving side, carrying its state from block to block, so that blocks
 * travelling in separate messages compress as well as one continuous stream. One object
 * works in one direction, chosen when it is made; blocks must be decompressed in the
 * order they were compressed, by one decompressor of the same method made with the same
 * maximum block size. An object belongs to one transfer on one thread. Buffers are
 * allocated when the object is made; no call allocates.
 *
 * Results: compress returns the number of bytes written and 0 only on failure; it never
 * writes more than maxOutSize bytes. decompress points *out at the restored block, which
 * stays valid until the next call on the object, and returns its length; on failure it
 * returns 0 and sets *out to null, so an empty block (length 0, *out not null) is told
 * apart from a failure by *out. Empty blocks: the LZ4 and deflate compressors turn an
 * empty block into a short block of their own that restores to nothing; the
 * pass-through compressor has no bytes to write for one and refuses it. Every
 * decompressor restores a compressed block of 0 bytes as an empty block (peers send one
 * when their compressor produced nothing). Whatever the input bytes, decompress reads no
 * more than inSize bytes and fails a block that is corrupt, truncated, followed by extra
 * bytes or larger than the compressor's room.
 *
 * A call refused for its arguments (wrong direction, null pointers, a block larger than
 * the maximum block size) leaves the stream as it was. A block that fails inside the
 * compression library ends the stream: every later call on the object fails, so that
 * no later block can carry the remains of a failed one. The deflate compressor writes
 * its failures to the debug output at level 5.
 * ------------------------------------------------------------------------------------- */

/* Compression method of a stream compressor (also the method byte of stream-compressed
 * file data). */
typedef enum QVCPStreamCompressionMethod
{
   STREAM_COMPRESSION_NONE = 0,   /* DummyStreamCompressor */
   STREAM_COMPRESSION_LZ4 = 1,    /* LZ4StreamCompressor */
   STREAM_COMPRESSION_DEFLATE = 2 /* DeflateStreamCompressor */
} QVCPStreamCompressionMethod;

/* Largest maximum block size of the LZ4 and deflate compressors (LZ4's largest block). A
 * compressor made with 0 or a larger maximum block size fails every call. */
#define STREAM_COMPRESSOR_MAX_BLOCK_SIZE ((size_t)0x7E000000)

#ifdef __cplusplus

union LZ4_stream_u;
union LZ4_streamDecode_u;
struct z_stream_s;

/* Interface of the stream compressors, with the factory that makes them. */
class QV_EXPORT StreamCompressor
{
public:
   StreamCompressor() = default;
   StreamCompressor(const StreamCompressor &) = delete;
   StreamCompressor &operator=(const StreamCompressor &) = delete;

   virtual ~StreamCompressor();

   /* Compresses the block of inSize bytes at in into out, which has room for maxOutSize
    * bytes (compressBufferSize(inSize) is always enough); the bytes written, 0 on
    * failure. */
   virtual size_t compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize) = 0;
   /* Restores the compressed block of inSize bytes at in and points *out at it; its
    * length, or 0 with *out null on failure. out must not be null. */
   virtual size_t decompress(const uint8_t *in, size_t inSize, const uint8_t **out) = 0;
   /* Output room that compress needs for a block of dataSize bytes; 0 when no room
    * suffices. */
   virtual size_t compressBufferSize(size_t dataSize) const = 0;

   /* A new compressor of method for one direction (compress true: compressing), for
    * blocks of at most maxBlockSize bytes; null for an unknown method. The caller
    * deletes it. */
   static StreamCompressor *create(QVCPStreamCompressionMethod method, bool compress, size_t maxBlockSize);
};

/* Pass-through: compress copies the block, decompress hands back the input itself. */
class QV_EXPORT DummyStreamCompressor : public StreamCompressor
{
public:
   DummyStreamCompressor() = default;

   /* Copies inSize bytes to out and returns inSize; 0 for an empty block and when
    * maxOutSize is below inSize. */
   virtual size_t compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize) override;
   /* Points *out at in and returns inSize (for a null in of 0 bytes, *out points at an
    * empty block); a null in of more than 0 bytes fails. */
   virtual size_t decompress(const uint8_t *in, size_t inSize, const uint8_t **out) override;
   /* dataSize. */
   virtual size_t compressBufferSize(size_t dataSize) const override;
};

/* LZ4 block compression with the last 64 KiB of the stream as dictionary. Compressing,
 * the dictionary is copied into the object after every block, so the caller may reuse
 * its input buffer at once. Decompressing, blocks are restored one after another into a
 * ring of 2 x maxBlockSize + 65544 bytes, where the earlier ones serve as dictionary. */
class QV_EXPORT LZ4StreamCompressor : public StreamCompressor
{
private:
   union
   {
      LZ4_stream_u *encoder;        // compressing
      LZ4_streamDecode_u *decoder;  // decompressing
   } m_stream;                      // null when set-up failed
   uint8_t *m_buffer;               // dictionary (compressing) or ring (decompressing)
   size_t m_maxBlockSize;
   size_t m_bufferSize;
   size_t m_position;  // where the next block is restored in the ring
   bool m_compress;
   bool m_failed;  // a block failed inside LZ4: the stream has ended

public:
   LZ4StreamCompressor(bool compress, size_t maxBlockSize);
   virtual ~LZ4StreamCompressor();

   virtual size_t compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize) override;
   virtual size_t decompress(const uint8_t *in, size_t inSize, const uint8_t **out) override;
   /* LZ4's worst case, dataSize + dataSize / 255 + 16, up to STREAM_COMPRESSOR_MAX_BLOCK_SIZE;
    * 0 above. */
   virtual size_t compressBufferSize(size_t dataSize) const override;
};

/* zlib deflate at level 9 in the zlib format, each block ended by a sync flush so that
 * it can be restored on arrival. Decompressing, a block is restored into an output
 * buffer of 2 x maxBlockSize bytes. When zlib cannot be set up the object fails every
 * call. */
class QV_EXPORT DeflateStreamCompressor : public StreamCompressor
{
private:
   z_stream_s *m_stream;  // null when set-up failed
   uint8_t *m_buffer;     // output buffer (decompressing)
   size_t m_bufferSize;
   size_t m_maxBlockSize;
   bool m_compress;
   bool m_failed;  // a block failed inside zlib: the stream has ended

public:
   DeflateStreamCompressor(bool compress, size_t maxBlockSize);
   virtual ~DeflateStreamCompressor();

   virtual size_t compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize) override;
   virtual size_t decompress(const uint8_t *in, size_t inSize, const uint8_t **out) override;
   /* zlib's deflate bound for dataSize, up to STREAM_COMPRESSOR_MAX_BLOCK_SIZE; 0 above
    * and when zlib could not be set up. */
   virtual size_t compressBufferSize(size_t dataSize) const override;
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Raw message I/O and file transfer
 * ------------------------------------------------------------------------------------- */

/* A lower layer than the message objects: whole wire messages (QVCP_MESSAGE) read into
 * caller-owned C-heap buffers, raw binary messages, the file sender and the protocol
 * version probe. Every function comes for an AbstractCommChannel and for a plain socket;
 * the socket form wraps the socket in a non-owning SocketCommChannel for the call. The
 * functions keep no shared state: a QVCP_BUFFER belongs to one reading thread, and
 * senders on one channel serialise through the mutex they pass, which is held for each
 * message (the file sender takes it per chunk, so other messages can go in between). */

/* Bytes of the receive area of a QVCP_BUFFER. */
#define QVCP_BUFFER_DATA_SIZE 65536

/* Receive state of one connection, kept by the caller between calls: the bytes already
 * read that belong to the next message(s), held at data[position]. */
typedef struct QVCP_BUFFER
{
   uint32_t held;
   uint32_t position;
   uint8_t data[QVCP_BUFFER_DATA_SIZE];
} QVCP_BUFFER;

/* Results of the receive functions besides the size of a message (16 or more). */
#define QVCP_RECV_CLOSED 0              /* the peer closed the connection, or the buffer was reset */
#define QVCP_RECV_TOO_LARGE 1           /* skipped: only its 16-byte header is in the buffer */
#define QVCP_RECV_DECRYPTION_FAILED 2   /* encrypted, and no context or decryption failed */
#define QVCP_RECV_TIMEOUT 3             /* the channel's wait timed out */
#define QVCP_RECV_INVALID_SIZE (-3)     /* the header's size is below 16 or not a multiple of 8 */
#define QVCP_RECV_INVALID_ARGUMENT (-4) /* no channel or buffer, or a message buffer below 16 bytes */

/* Method, zero byte and block length that open the payload of a stream-compressed
 * CMD_FILE_DATA message; the compressed block follows. */
#define QVCP_FILE_FRAME_HEADER_SIZE 4

/* Largest number of file bytes in one CMD_FILE_DATA message. */
#define QVCP_FILE_CHUNK_SIZE 32768

/* Time-out of the protocol version probe, in milliseconds. */
#define QVCP_CAPS_TIMEOUT 30000

#ifdef __cplusplus

class AbstractCommChannel;
class QVCPEncryptionContext;

/* The context value that tells the receive functions to decrypt nothing: encrypted
 * messages are returned as received. */
#define QVCP_PASSTHROUGH_CONTEXT (reinterpret_cast<QVCPEncryptionContext *>(~static_cast<uintptr_t>(0)))

/* Progress of a file transfer: the payload bytes sent so far (with stream compression the
 * compressed bytes and their frames, not file bytes). */
typedef void (*QVCPFileTransferProgress)(int64_t bytesSent, void *arg);

/* Progress of a file send in both measures, after each message: the file bytes read and
 * sent so far, the file bytes the transfer sends in all (after the offset), and the
 * payload bytes sent so far (with stream compression, the compressed bytes and frames). */
typedef void (*QVCPFileSendProgress)(int64_t fileBytesSent, int64_t fileBytesTotal, int64_t wireBytesSent, void *arg);

/* Drops whatever the buffer holds. Call it before the first receive on a connection. */
QV_EXPORT void QVCPInitBuffer(QVCP_BUFFER *buffer);

/* Reads one whole message into *msgBuffer, a C-heap block of *bufferSize bytes (at least
 * 16) that is reallocated, to exactly the message's size, for messages up to maxMsgSize;
 * *bufferSize follows. decryptionBuffer, when not null, points at a C-heap block (or
 * null) that is reallocated alongside and serves for decryption; without one, encrypted
 * messages cannot be decrypted. The caller frees both blocks. Bytes read beyond the
 * message stay in buffer for the next call, which returns the next message without
 * reading when they hold it whole.
 *
 * Results: the message's size (after decryption, the plain message's size);
 * QVCP_RECV_CLOSED when the peer closed (a null msgBuffer resets buffer and gives it too);
 * QVCP_RECV_TOO_LARGE for a message above maxMsgSize, which is read and dropped so that
 * the stream stays aligned; QVCP_RECV_DECRYPTION_FAILED for a CMD_ENCRYPTED_MESSAGE when
 * context or *context is null or decryption fails (*context QVCP_PASSTHROUGH_CONTEXT
 * returns it as received); QVCP_RECV_TIMEOUT when one wait of timeout milliseconds ran
 * out; the channel's negative result on failure; QVCP_RECV_INVALID_SIZE, with buffer
 * reset, for a header that cannot start a message. A time-out inside a message keeps its
 * bytes for the next call, except for a message larger than QVCP_BUFFER_DATA_SIZE, whose
 * start is already gone: the connection cannot go on then. */
QV_EXPORT int RecvQVCPMessageEx(AbstractCommChannel *channel, QVCP_MESSAGE **msgBuffer, QVCP_BUFFER *buffer,
                                uint32_t *bufferSize, QVCPEncryptionContext **context, uint8_t **decryptionBuffer,
                                uint32_t timeout, uint32_t maxMsgSize);
QV_EXPORT int RecvQVCPMessageEx(SOCKET s, QVCP_MESSAGE **msgBuffer, QVCP_BUFFER *buffer, uint32_t *bufferSize,
                                QVCPEncryptionContext **context, uint8_t **decryptionBuffer, uint32_t timeout,
                                uint32_t maxMsgSize);

/* The same with a fixed message buffer of bufferSize bytes (and a decryption buffer of as
 * many, or null), which never grows. */
QV_EXPORT int RecvQVCPMessage(AbstractCommChannel *channel, QVCP_MESSAGE *msgBuffer, QVCP_BUFFER *buffer,
                              uint32_t bufferSize, QVCPEncryptionContext **context, uint8_t *decryptionBuffer,
                              uint32_t timeout);
QV_EXPORT int RecvQVCPMessage(SOCKET s, QVCP_MESSAGE *msgBuffer, QVCP_BUFFER *buffer, uint32_t bufferSize,
                              QVCPEncryptionContext **context, uint8_t *decryptionBuffer, uint32_t timeout);

/* A binary message of code, id and flags (QVCP_MF_BINARY added) carrying dataSize bytes
 * of data, in buffer (room for 16 + dataSize rounded up to 8 bytes) or, when buffer is
 * null, in a new C-heap block of dataSize + 24 bytes that the caller frees. With
 * allowCompression the data are deflated (zlib, level 9) when that makes the message
 * more than 4 bytes smaller after padding; any problem with compression leaves them
 * uncompressed. Null when the message would not fit the 32-bit size, or memory runs out. */
QV_EXPORT QVCP_MESSAGE *CreateRawQVCPMessage(uint16_t code, uint32_t id, uint16_t flags, const void *data,
                                             size_t dataSize, QVCP_MESSAGE *buffer, bool allowCompression);

/* Sends the file (UTF-8 name here) as CMD_FILE_DATA messages of the caller's id, the last
 * one flagged QVCP_MF_END_OF_FILE (an empty file gives one empty message). A negative
 * offset sends the last -offset bytes, another one the file from offset on; an offset
 * beyond the size sends the whole file. With compressionMethod other than
 * STREAM_COMPRESSION_NONE each chunk is a frame of one stream compressor for the whole
 * transfer. With a context every message is encrypted. Chunks shrink and pauses grow
 * while sends are slow and recover while they are fast. progress (when not null) gets
 * the payload bytes sent after each message. A cancellationFlag above 0, checked before
 * each chunk, ends the transfer. Returns true when the whole file went out; on any
 * failure (file, read, compression, encryption, send, cancellation) it sends
 * CMD_ABORT_FILE_TRANSFER with the id and returns false. */
QV_EXPORT bool SendFileOverQVCP(AbstractCommChannel *channel, uint32_t id, const wchar_t *fileName,
                                QVCPEncryptionContext *context, int32_t offset, QVCPFileTransferProgress progress,
                                void *callbackArg, Mutex *mutex,
                                QVCPStreamCompressionMethod compressionMethod = STREAM_COMPRESSION_NONE,
                                volatile int32_t *cancellationFlag = nullptr);
QV_EXPORT bool SendFileOverQVCP(SOCKET s, uint32_t id, const wchar_t *fileName, QVCPEncryptionContext *context,
                                int32_t offset, QVCPFileTransferProgress progress, void *callbackArg, Mutex *mutex,
                                QVCPStreamCompressionMethod compressionMethod = STREAM_COMPRESSION_NONE,
                                volatile int32_t *cancellationFlag = nullptr);

/* SendFileOverQVCP with progress told in file bytes as well as wire bytes, so that a
 * compressed transfer can show the share of the file done. Same messages and results. */
QV_EXPORT bool SendFileOverQVCPEx(AbstractCommChannel *channel, uint32_t id, const wchar_t *fileName,
                                  QVCPEncryptionContext *context, int32_t offset, QVCPFileSendProgress progress,
                                  void *callbackArg, Mutex *mutex,
                                  QVCPStreamCompressionMethod compressionMethod = STREAM_COMPRESSION_NONE,
                                  volatile int32_t *cancellationFlag = nullptr);
QV_EXPORT bool SendFileOverQVCPEx(SOCKET s, uint32_t id, const wchar_t *fileName, QVCPEncryptionContext *context,
                                  int32_t offset, QVCPFileSendProgress progress, void *callbackArg, Mutex *mutex,
                                  QVCPStreamCompressionMethod compressionMethod = STREAM_COMPRESSION_NONE,
                                  volatile int32_t *cancellationFlag = nullptr);

/* Asks the peer for its protocol version with CMD_GET_QVCP_CAPS and waits up to
 * QVCP_CAPS_TIMEOUT for the answer. A peer that answers with something else, or not in
 * time, speaks version 1. False (and *version untouched) when the probe cannot be sent or
 * the connection closes or fails. Reads from the channel, so call it before a receiver
 * takes the connection over. */
QV_EXPORT bool QVCPGetPeerProtocolVersion(AbstractCommChannel *channel, int *version, Mutex *mutex);
QV_EXPORT bool QVCPGetPeerProtocolVersion(SOCKET s, int *version, Mutex *mutex);

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * File receiver
 *
 * The counterpart of SendFileOverQVCP: QVCPFileReceiver takes the CMD_FILE_DATA messages
 * of one transfer (plain or stream-compressed, as the sender made them) and stores
 * exactly the announced number of bytes under a name in a directory. The bytes go to a
 * new temporary file in the directory (a name starting with ".qvrecv-"), which gets its
 * name only when the message flagged as the end has brought exactly the announced size;
 * a transfer that ends in any other way leaves nothing behind. What has the name already
 * is never written, truncated or removed: the file is refused (FILERECV_FILE_EXISTS),
 * unless QVCP_FILE_OVERWRITE is given, which replaces it in one step (readers see the old
 * file or the new one). Symbolic links in the directory are never followed; with
 * QVCP_FILE_OVERWRITE a link that has the name is itself replaced.
 *
 * The length of every data message is checked against the bytes received, every
 * restored block against the length its frame announces, and the running total against
 * the announced size; the first message that breaks a rule ends the transfer.
 * ReceiveFileOverQVCP reads a connection until the transfer ends, within an overall
 * deadline and a cap on messages that bring no file bytes, so that a sender can hold the
 * receiver neither with a trickle of bytes nor with messages that carry nothing.
 *
 * A receiver belongs to one thread. Failures are written to the debug output (tag
 * "protocol.file", level 4).
 * ------------------------------------------------------------------------------------- */

/* What a file transfer came to. */
typedef enum QVCPFileReceiveResult
{
   FILERECV_SUCCESS = 0,             /* the file is complete and stored under its name */
   FILERECV_MORE_DATA = 1,           /* the message was taken; the transfer goes on */
   FILERECV_ABORTED = 2,             /* the sender (CMD_ABORT_FILE_TRANSFER) or the caller ended it */
   FILERECV_CLOSED = 3,              /* the connection closed before the end of the file */
   FILERECV_TIMEOUT = 4,             /* a wait for bytes, or the overall deadline, ran out */
   FILERECV_COMM_FAILURE = 5,        /* the connection failed */
   FILERECV_BAD_NAME = 6,            /* empty, "." or "..", a path separator or control character, too long */
   FILERECV_FILE_EXISTS = 7,         /* something has the name, and QVCP_FILE_OVERWRITE was not given */
   FILERECV_IO_ERROR = 8,            /* the directory or the file cannot be opened, written or stored */
   FILERECV_MALFORMED = 9,           /* a data message that breaks the format (see above) */
   FILERECV_SIZE_MISMATCH = 10,      /* a negative size, more bytes than announced, or an early end */
   FILERECV_TOO_MANY_MESSAGES = 11,  /* more messages without file bytes than allowed */
   FILERECV_DECRYPTION_FAILURE = 12, /* an encrypted message without a context, or one that failed */
   FILERECV_INVALID_STATE = 13       /* no transfer open: open was not called or did not succeed */
} QVCPFileReceiveResult;

/* Flag of QVCPFileReceiver: replace what has the name, in one step. */
#define QVCP_FILE_OVERWRITE 0x0001u

/* Default limits of ReceiveFileOverQVCP: each wait for bytes (milliseconds), the whole
 * transfer from the call on (milliseconds), and messages that bring no file bytes. */
#define QVCP_FILE_RECEIVE_TIMEOUT 60000
#define QVCP_FILE_RECEIVE_DEADLINE 3600000
#define QVCP_FILE_MAX_IDLE_MESSAGES 100

/* Largest message ReceiveFileOverQVCP reads; a data message above it is malformed, any
 * other is skipped and counts as a message without file bytes. */
#define QVCP_FILE_MAX_MESSAGE_SIZE (1024 * 1024)

#ifdef __cplusplus

namespace qv {
namespace protocol {
struct FileReceiverState;
}
}  // namespace qv

class QV_EXPORT QVCPFileReceiver
{
private:
   uint32_t m_id;
   uint32_t m_flags;
   uint32_t m_timeout;
   uint32_t m_deadline;
   uint32_t m_maxIdleMessages;
   QVCPFileReceiveResult m_result;
   qv::protocol::FileReceiverState *m_state;  // from open until the transfer ends

   QV_INTERNAL QVCPFileReceiveResult end(QVCPFileReceiveResult result);
   QV_INTERNAL QVCPFileReceiveResult writeData(uint16_t flags, const uint8_t *data, size_t length);

public:
   /* A receiver for the transfer of request id id; flags: 0 or QVCP_FILE_OVERWRITE. */
   explicit QVCPFileReceiver(uint32_t id, uint32_t flags = 0);
   /* Ends an unfinished transfer: its temporary file is removed. */
   ~QVCPFileReceiver();
   QVCPFileReceiver(const QVCPFileReceiver &) = delete;
   QVCPFileReceiver &operator=(const QVCPFileReceiver &) = delete;

   /* Starts the transfer of size bytes into the file name (a plain name: no path) in the
    * directory dir, creating its temporary file. FILERECV_MORE_DATA when the transfer is
    * open; otherwise the reason (FILERECV_BAD_NAME, FILERECV_SIZE_MISMATCH for a negative
    * size, FILERECV_FILE_EXISTS, FILERECV_IO_ERROR), which is also the transfer's result.
    * A receiver is opened once: a second call gives FILERECV_INVALID_STATE. */
   QVCPFileReceiveResult open(const wchar_t *dir, const wchar_t *name, int64_t size);

   /* Takes one received raw message of size bytes (the bytes the caller holds, at least
    * its header's size). A CMD_FILE_DATA message of the id is written (FILERECV_MORE_DATA,
    * or FILERECV_SUCCESS for the last one, which stores the file); a
    * CMD_ABORT_FILE_TRANSFER of the id ends the transfer with FILERECV_ABORTED; any other
    * message is ignored (FILERECV_MORE_DATA). Any result other than FILERECV_MORE_DATA
    * ends the transfer and is kept as its result; after the end every call gives
    * FILERECV_INVALID_STATE. Data messages compressed as a whole payload are restored. */
   QVCPFileReceiveResult writeMessage(const QVCP_MESSAGE *msg, size_t size);
   /* The same for a message object (as the message receivers deliver them). */
   QVCPFileReceiveResult writeMessage(const QVCPMessage *msg);

   /* Ends an unfinished transfer with reason as its result and removes its temporary
    * file; does nothing when no transfer is open. */
   void cancel(QVCPFileReceiveResult reason = FILERECV_ABORTED);

   /* Limits of ReceiveFileOverQVCP (defaults QVCP_FILE_RECEIVE_TIMEOUT,
    * QVCP_FILE_RECEIVE_DEADLINE, QVCP_FILE_MAX_IDLE_MESSAGES); INFINITE lifts a time. */
   void setLimits(uint32_t timeout, uint32_t deadline, uint32_t maxIdleMessages);
   uint32_t getTimeout() const { return m_timeout; }
   uint32_t getDeadline() const { return m_deadline; }
   uint32_t getMaxIdleMessages() const { return m_maxIdleMessages; }

   uint32_t getId() const { return m_id; }
   /* Whether a transfer is open and not yet ended. */
   bool isOpen() const { return m_result == FILERECV_MORE_DATA; }
   /* FILERECV_INVALID_STATE before open, FILERECV_MORE_DATA while open, then the end. */
   QVCPFileReceiveResult getResult() const { return m_result; }
   /* The announced size, the file bytes written so far and the data bytes received
    * (compressed frames included); 0 before open. */
   int64_t getFileSize() const;
   int64_t getBytesWritten() const;
   int64_t getWireBytes() const;

   /* Whether name can be a file's name: not empty, not "." or "..", no '/' or '\\', no
    * control character (below 0x20, 0x7F to 0x9F), no surrogate, at most 255 bytes of
    * UTF-8. */
   static bool isValidFileName(const wchar_t *name);
   /* "FILERECV_SUCCESS" ... "FILERECV_INVALID_STATE"; "UNKNOWN" for other values. */
   static const wchar_t *resultToText(QVCPFileReceiveResult result);
   /* A sentence for people: "the file was stored", "the name exists already", ... */
   static const wchar_t *resultToDescription(QVCPFileReceiveResult result);
};

/* Called by ReceiveFileOverQVCP for every message that is not a CMD_FILE_DATA or
 * CMD_ABORT_FILE_TRANSFER of the open transfer (before the transfer is open, for every
 * message): the raw message of size bytes, valid during the call. It may open the
 * receiver (say, on an announcement that names the file) or answer the peer. Returns
 * FILERECV_MORE_DATA to read on, any other result to end the call with it. */
typedef QVCPFileReceiveResult (*QVCPFileReceiveHandler)(QVCPFileReceiver *receiver, const QVCP_MESSAGE *msg,
                                                        uint32_t size, void *arg);

/* Reads the connection (its held bytes in buffer first) until the receiver's transfer
 * ends, and returns how it ended; an unfinished transfer is cancelled with the reason
 * (FILERECV_CLOSED, FILERECV_TIMEOUT, FILERECV_COMM_FAILURE, FILERECV_MALFORMED for a
 * header that cannot start a message, FILERECV_DECRYPTION_FAILURE,
 * FILERECV_TOO_MANY_MESSAGES). Encrypted messages are decrypted with context (null: they
 * fail the transfer). Each wait for bytes lasts at most the receiver's time-out, and the
 * whole call at most its deadline. Messages that bring no file bytes (the handler's
 * included) count against the receiver's cap. Without a handler the receiver must be
 * open (FILERECV_INVALID_STATE otherwise). progress (when not null) gets the file bytes
 * written after each data message. Bytes of messages after the transfer stay in buffer. */
QV_EXPORT QVCPFileReceiveResult ReceiveFileOverQVCP(AbstractCommChannel *channel, QVCP_BUFFER *buffer,
                                                    QVCPFileReceiver *receiver, QVCPEncryptionContext *context,
                                                    QVCPFileReceiveHandler handler, void *handlerArg,
                                                    QVCPFileTransferProgress progress, void *progressArg);
QV_EXPORT QVCPFileReceiveResult ReceiveFileOverQVCP(SOCKET s, QVCP_BUFFER *buffer, QVCPFileReceiver *receiver,
                                                    QVCPEncryptionContext *context, QVCPFileReceiveHandler handler,
                                                    void *handlerArg, QVCPFileTransferProgress progress,
                                                    void *progressArg);

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Message receivers
 *
 * A receiver turns the byte stream of one connection into QVCPMessage objects. It keeps
 * one receive buffer that grows (never shrinks) to the largest message accepted, cuts
 * whole messages out of it by the size in their headers, decrypts encrypted messages with
 * the session's encryption context and deserializes them for protocol version 4. Several
 * messages that arrive in one read are handed out by successive calls without reading
 * again. A receiver belongs to one reading thread; it takes no lock of its own.
 *
 * A header size below 16 or not a multiple of 8, a size above
 * MSGRECV_LARGEST_MESSAGE_SIZE and a message that cannot be deserialized end the read with
 * MSGRECV_PROTOCOL_ERROR and leave the buffer as it is; every later read reports the same
 * without reading (the caller normally closes the connection). A message above the
 * maximum size but not above MSGRECV_LARGEST_MESSAGE_SIZE is skipped as its bytes arrive. An encrypted message that
 * arrives while no encryption context is set is dropped (written to the debug output at
 * level 6); one that fails decryption is removed and reported as
 * MSGRECV_DECRYPTION_FAILURE. Either way the messages behind it are delivered by the
 * next calls.
 * ------------------------------------------------------------------------------------- */

/* Result of AbstractMessageReceiver::readMessage. */
typedef enum MessageReceiverResult
{
   MSGRECV_SUCCESS = 0,
   MSGRECV_CLOSED = 1,             /* the peer closed the stream */
   MSGRECV_TIMEOUT = 2,            /* no bytes came within the time-out */
   MSGRECV_COMM_FAILURE = 3,       /* the transport failed */
   MSGRECV_DECRYPTION_FAILURE = 4, /* an encrypted message could not be decrypted */
   MSGRECV_PROTOCOL_ERROR = 5      /* malformed size, or a message that does not parse */
} MessageReceiverResult;

/* Largest message size a receiver takes at all; a larger header size is a protocol error. */
#define MSGRECV_LARGEST_MESSAGE_SIZE ((size_t)0x3FFFFFFF)

#ifdef __cplusplus

struct ssl_st;
typedef struct ssl_st SSL;

/* The buffer, cutting, decryption and deserialization; subclasses read bytes. */
class QV_EXPORT AbstractMessageReceiver
{
   friend struct qv::protocol::ReceiverInternals;  // the library's own code of the receiver

private:
   uint8_t *m_buffer;                           // the bytes held start at m_buffer + m_start
   uint8_t *m_decryptionBuffer;                 // scratch of m_size bytes, made on first use
   QVCPEncryptionContext *m_encryptionContext;  // not owned; null when none
   size_t m_initialSize;
   size_t m_size;  // bytes allocated for m_buffer
   size_t m_maxSize;
   size_t m_dataSize;                         // bytes held, from m_start
   size_t m_bytesToSkip;                      // bytes of a skipped message still to come
   size_t m_start;                            // bytes of consumed messages at the front, moved out before a read
   bool m_protocolError;                      // reported once: every later read reports it again
   bool m_lastEncrypted;                      // the message last handed out came in an envelope
   qv::protocol::ReceiverFigures *m_figures;  // counters for the library's figures; null when out of memory

protected:
   /* Reads at most size bytes (size is never 0) into buffer, waiting at most timeout
    * milliseconds (INFINITE: no limit): the bytes read, 0 when the peer closed the
    * stream, -2 when the time-out passed without data, any other negative value on
    * failure. A count above size is taken as a failure. */
   virtual int readBytes(uint8_t *buffer, size_t size, uint32_t timeout) = 0;

public:
   /* A buffer of initialSize bytes (at least QVCP_HEADER_SIZE) that may grow to maxSize
    * (at least the initial size). */
   AbstractMessageReceiver(size_t initialSize, size_t maxSize);
   AbstractMessageReceiver(const AbstractMessageReceiver &) = delete;
   AbstractMessageReceiver &operator=(const AbstractMessageReceiver &) = delete;
   virtual ~AbstractMessageReceiver();

   /* The next message (the caller deletes it) with *result MSGRECV_SUCCESS, or null with
    * the reason in *result (result may be null). timeout applies to each wait for bytes,
    * in milliseconds; INFINITE means no limit. */
   QVCPMessage *readMessage(uint32_t timeout, MessageReceiverResult *result);

   /* Sets or replaces the context for encrypted messages (not owned: it must outlive its
    * use here); null, or the pass-through marker of all bits set, means none. */
   void setEncryptionContext(QVCPEncryptionContext *context) { m_encryptionContext = context; }

   /* Whether the message last returned by readMessage came encrypted: a peer that has agreed
    * on a session key uses this to refuse plain messages, which anyone on the path could
    * have written. */
   bool wasLastMessageEncrypted() const { return m_lastEncrypted; }

   /* The bytes held and not yet handed out, from their start (the header of the next or
    * of the malformed message); valid until the next readMessage. */
   QVCP_MESSAGE *getRawMessageBuffer() { return reinterpret_cast<QVCP_MESSAGE *>(m_buffer + m_start); }

   /* "MSGRECV_SUCCESS" ... "MSGRECV_PROTOCOL_ERROR", "UNKNOWN" for any other value. */
   static const wchar_t *resultToText(MessageReceiverResult result);
};

/* Reads a socket with RecvEx; the socket stays open when the receiver goes. */
class QV_EXPORT SocketMessageReceiver : public AbstractMessageReceiver
{
private:
   SOCKET m_socket;

protected:
   virtual int readBytes(uint8_t *buffer, size_t size, uint32_t timeout) override;

public:
   SocketMessageReceiver(SOCKET socket, size_t initialSize, size_t maxSize);
   virtual ~SocketMessageReceiver();
};

/* Reads a channel with its recv; holds one reference on the channel, released (which may
 * delete the channel) when the receiver goes. */
class QV_EXPORT CommChannelMessageReceiver : public AbstractMessageReceiver
{
private:
   AbstractCommChannel *m_channel;

protected:
   virtual int readBytes(uint8_t *buffer, size_t size, uint32_t timeout) override;

public:
   CommChannelMessageReceiver(AbstractCommChannel *channel, size_t initialSize, size_t maxSize);
   virtual ~CommChannelMessageReceiver();
};

/* Reads a TLS session over a socket. The optional lock is the one the session's writers
 * hold around their SSL calls: the receiver holds it during SSL_pending and SSL_read and
 * releases it while it waits for the socket, so that others can write meanwhile. A
 * blocking socket is made non-blocking for each SSL_read and put back, so a record that
 * arrives in parts never holds the read past its time-out. Session and socket stay as
 * they are when the receiver goes. Failures of SSL_read are written to the debug output at level 7. */
class QV_EXPORT TlsMessageReceiver : public AbstractMessageReceiver
{
private:
   SOCKET m_socket;
   SSL *m_ssl;
   Mutex *m_mutex;  // null: no lock

protected:
   virtual int readBytes(uint8_t *buffer, size_t size, uint32_t timeout) override;

public:
   TlsMessageReceiver(SOCKET socket, SSL *ssl, Mutex *mutex, size_t initialSize, size_t maxSize);
   virtual ~TlsMessageReceiver();
};

/* Reads one end of a local pipe; the pipe stays open when the receiver goes. */
class QV_EXPORT PipeMessageReceiver : public AbstractMessageReceiver
{
private:
   HPIPE m_pipe;

protected:
   virtual int readBytes(uint8_t *buffer, size_t size, uint32_t timeout) override;

public:
   PipeMessageReceiver(HPIPE pipe, size_t initialSize, size_t maxSize);
   virtual ~PipeMessageReceiver();
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Message wait queue
 *
 * MsgWaitQueue hands each incoming message to the thread that waits for it: a connection's
 * reader puts every message it receives, and a thread that sent a request waits for the
 * reply's code and request id. Message objects and raw messages are held side by side and
 * each is handed only to a waiter of its own kind. A message that nobody collects is
 * discarded by the housekeeper thread shared by all queues of the process, at its first
 * pass once the message has been held for its hold time (passes run every 30 seconds by
 * default). The housekeeper starts with the first queue and stops at process exit or at
 * shutdown(); queues built after shutdown() still work but are not housekept.
 *
 * Every operation may be called from any thread at any time, except that a queue must not
 * be destroyed while threads wait on it. Up to 32 waiters per queue sleep on events; more
 * waiters than that poll every 50 ms. The housekeeper lock is always taken before a
 * queue's own lock.
 *
 * A put and a take cost the same whatever the number of messages held: messages are found
 * by code, id and kind through an index, and the storage grows by doubling. A housekeeper
 * pass looks at every message held.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

namespace qv {
namespace protocol {
class HeldMessages;
}
}  // namespace qv

class QV_EXPORT MsgWaitQueue
{
   friend struct qv::protocol::WaitQueueInternals;  // the library's own code of the queue

public:
   /* Waiters that sleep on an event of their own; further ones poll. */
   static constexpr int MAX_WAIT_SLOTS = 32;

   /* Hold time of a new queue and interval between housekeeper passes, in milliseconds. */
   static constexpr uint32_t DEFAULT_HOLD_TIME = 30000;
   static constexpr uint32_t DEFAULT_HOUSEKEEPER_INTERVAL = 30000;

private:
   qv::platform::QvLock *m_lock;
   qv::platform::QvEvent *m_waitEvents[MAX_WAIT_SLOTS];  // auto-reset; created when a slot is first used
   uint8_t m_waitSlots[MAX_WAIT_SLOTS];                  // 1 while a waiter owns the slot
   uint32_t m_holdTime;
   qv::protocol::HeldMessages *m_held;         // found by code, id and kind in constant time
   qv::protocol::WaitQueueFigures *m_figures;  // counters for the library's figures; null when out of memory

public:
   /* Empty queue with the default hold time, registered with the housekeeper (which is
    * started when it is not running and shutdown() has not been called). */
   MsgWaitQueue();
   /* Deletes every held message. */
   ~MsgWaitQueue();

   MsgWaitQueue(const MsgWaitQueue &) = delete;
   MsgWaitQueue &operator=(const MsgWaitQueue &) = delete;

   /* Takes ownership of msg and holds it under its code and id until a waiter takes it
    * or the housekeeper discards it (deleted); wakes every waiting thread. Null does
    * nothing. */
   void put(QVCPMessage *msg);
   /* The same for a raw message (a malloc'ed block, released with free). Code and id are
    * taken from the header as they stand in memory, without byte-order conversion, so a
    * waiter gives them in the byte order the block holds. */
   void put(QVCP_MESSAGE *msg);

   /* Removes and returns the oldest held message object with this code and id, waiting up
    * to timeout milliseconds (INFINITE: no limit; 0: look once) for one to be put. The
    * caller deletes the result; null on time-out. */
   QVCPMessage *waitForMessage(uint16_t code, uint32_t id, uint32_t timeout);
   /* The same for raw messages; the caller frees the result with free. */
   QVCP_MESSAGE *waitForRawMessage(uint16_t code, uint32_t id, uint32_t timeout);

   /* Hold time in milliseconds for messages put from now on. */
   void setHoldTime(uint32_t holdTime);

   /* Deletes every held message and releases the element storage. */
   void clear();

   /* Stops the housekeeper and drops the registry of queues; queues still alive are not
    * deleted, only no longer housekept. Runs at process exit by itself; calling it again
    * does nothing. */
   static void shutdown();

   /* Interval between housekeeper passes in milliseconds (at least 10); the housekeeper
    * takes it up at once. Messages are discarded between their hold time and their hold
    * time plus one interval. */
   static void setHousekeeperInterval(uint32_t interval);

   /* Text about the shared state: "N active queues", the housekeeper's state (RUNNING or
    * STOPPED) and one line per registered queue with its address, size and hold time. */
   static String getDiagInfo();
};

#endif /* __cplusplus */

#endif
