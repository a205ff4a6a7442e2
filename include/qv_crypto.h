/* libqorvel Cryptography: session encryption and key exchange, hashes and checksums, the ICE cipher. */
#ifndef QORVEL_QV_CRYPTO_H
#define QORVEL_QV_CRYPTO_H

#include <qv_protocol.h>
#include <qv_threads.h>

/* ---------------------------------------------------------------------------------------
 * Session encryption and key exchange. The peers agree on a symmetric cipher and a session
 * key by an RSA-protected exchange of two messages (CMD_REQUEST_SESSION_KEY, answered by
 * CMD_SESSION_KEY); afterwards every message without QVCP_MF_DONT_ENCRYPT travels inside
 * an encrypted envelope (CMD_ENCRYPTED_MESSAGE). OpenSSL's libcrypto does the cryptography.
 *
 * Limitation kept for the peers' sake: every message of a session is encrypted in CBC mode
 * from the same IV, so equal message prefixes give equal ciphertext prefixes, and the
 * envelope's integrity check is a CRC-32, not a MAC.
 * ------------------------------------------------------------------------------------- */

struct evp_pkey_st;
struct evp_cipher_ctx_st;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

/* The library's RSA key: an OpenSSL key object holding an RSA key pair or public key. */
typedef EVP_PKEY *RSA_KEY;

/* Cipher ids; a cipher's bit in the cipher masks is 1 << id. */
#define QVCP_CIPHER_AES_256 0
#define QVCP_CIPHER_BLOWFISH_256 1
#define QVCP_CIPHER_IDEA 2
#define QVCP_CIPHER_3DES 3
#define QVCP_CIPHER_AES_128 4
#define QVCP_CIPHER_BLOWFISH_128 5
#define QVCP_CIPHER_COUNT 6
#define QVCP_ALL_CIPHERS 0x3F /* mask of every cipher the library knows */

#define QVCP_MAX_IV_LENGTH 16 /* bytes kept for an IV; only the cipher's IV length counts */

/* Results of SetupEncryptionContext besides 0 (success) and a peer's own failure code. */
#define QVCP_RCC_NOT_KEY_EXCHANGE 28 /* neither a session key request nor a reply */
#define QVCP_RCC_NO_CIPHERS 42       /* no cipher in common */
#define QVCP_RCC_INVALID_PUBLIC_KEY 43
#define QVCP_RCC_INVALID_SESSION_KEY 44
#define QVCP_RCC_ENCRYPTION_ERROR 98 /* no context could be created */

/* Encrypted envelope, big-endian on the wire: code CMD_ENCRYPTED_MESSAGE, the number of
 * alignment bytes after the ciphertext, a reserved zero byte, the total size (header and
 * alignment included), then the ciphertext. */
typedef struct QVCP_ENCRYPTED_MESSAGE
{
   uint16_t code;
   uint8_t padding;
   uint8_t reserved;
   uint32_t size;
   uint8_t data[8]; /* ciphertext, size - padding - 8 bytes */
} QVCP_ENCRYPTED_MESSAGE;

#define QVCP_ENCRYPTED_HEADER_SIZE 8 /* bytes of the envelope before the ciphertext */

/* Initialises OpenSSL and validates the ciphers of enabledCiphers, narrowing the supported
 * mask to those that work here. Runs once at process start; always true. */
QV_API bool InitCryptoLib(uint32_t enabledCiphers);
QV_API uint32_t QVCPGetSupportedCiphers(void);

#ifdef __cplusplus

QV_EXPORT String QVCPGetSupportedCiphersAsText();

/* Session key, IV and cipher of one encrypted session, shared by reference count between
 * the session's sender and receiver. Encryption may be called from several threads (a lock
 * serialises it); decryption takes no lock and belongs to the one receiving thread. */
namespace qv {
namespace protocol {
struct EncryptionInternals;
}
}  // namespace qv

class QV_EXPORT QVCPEncryptionContext : public RefCountObject
{
   friend struct qv::protocol::EncryptionInternals;  // the library's own code of the context

private:
   int32_t m_cipher;
   uint8_t *m_sessionKey;
   int32_t m_keyLength;
   uint8_t m_iv[QVCP_MAX_IV_LENGTH];
   Mutex m_encryptorLock;
   EVP_CIPHER_CTX *m_encryptor;
   EVP_CIPHER_CTX *m_decryptor;

   QVCPEncryptionContext();

protected:
   virtual ~QVCPEncryptionContext();

public:
   /* A context for the most preferred cipher of ciphers with a random key and IV; null
    * when no cipher of the mask can be set up. */
   static QVCPEncryptionContext *create(uint32_t ciphers);

   /* A context from a session key reply, decrypting key and IV with privateKey; null on
    * failure (logged at debug level 6). */
   static QVCPEncryptionContext *create(QVCPMessage *msg, RSA_KEY privateKey);

   /* The envelope of msg (its header's size bytes) in a new malloc'd block, its alignment
    * bytes zero; a plain copy when msg carries QVCP_MF_DONT_ENCRYPT; null when the cipher
    * cannot be set up or the size word is below the 16-byte header. */
   QVCP_ENCRYPTED_MESSAGE *encryptMessage(QVCP_MESSAGE *msg);

   /* Decrypts msg using decryptionBuffer (at least msg's size bytes) as scratch space and
    * on success overwrites msg in place with the plain message. False for a damaged,
    * forged or truncated envelope: one whose size is below its header and alignment
    * bytes, whose block padding is wrong, whose plain message does not lie within the
    * bytes decrypted, or whose CRC-32 does not match. Nothing beyond the bytes decrypted
    * is read or copied. */
   bool decryptMessage(QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer);

   /* The same for an envelope held in a block of bufferSize bytes with a scratch buffer of
    * as many: false as well when the envelope's size exceeds bufferSize, so a size word
    * from the peer cannot make it read or write past either block. */
   bool decryptMessage(QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer, size_t bufferSize);

   int getCipher() const { return m_cipher; }
   int getKeyLength() const { return m_keyLength; }
   const uint8_t *getSessionKey() const { return m_sessionKey; }
   const uint8_t *getIV() const { return m_iv; }
};

/* The context's methods for a context that may be null (null or false then). */
QV_EXPORT QVCP_ENCRYPTED_MESSAGE *QVCPEncryptMessage(QVCPEncryptionContext *ctx, QVCP_MESSAGE *msg);
QV_EXPORT bool QVCPDecryptMessage(QVCPEncryptionContext *ctx, QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer);
QV_EXPORT bool QVCPDecryptMessage(QVCPEncryptionContext *ctx, QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer,
                                  size_t bufferSize);

/* Turns msg into a session key request carrying the supported ciphers and the public half
 * of key (X.509 SubjectPublicKeyInfo when x509Format, else PKCS#1); id and flags stay. A
 * null key leaves the key field out. */
QV_EXPORT void PrepareKeyRequestMsg(QVCPMessage *msg, RSA_KEY key, bool x509Format);

/* Handles a received key-exchange message: for a request, *reply gets the answer to send
 * (always, whatever the result; the caller deletes it) and *context the new context on
 * success; for a reply, *context gets the context (the caller releases it with
 * decRefCount). 0 on success, else a QVCP_RCC_* code or the peer's code. A responder reads
 * at most the first 4096 bytes of the requester's key, as PKCS#1 RSAPublicKey or X.509
 * SubjectPublicKeyInfo; a key that cannot carry the session key under RSA-OAEP (too short)
 * gives QVCP_RCC_ENCRYPTION_ERROR. privateKey is used for replies only. */
QV_EXPORT uint32_t SetupEncryptionContext(QVCPMessage *msg, QVCPEncryptionContext **context, QVCPMessage **reply,
                                          RSA_KEY privateKey, int protocolVersion);

#endif /* __cplusplus */

/* RSA keys: parse DER PKCS#1 (public key, then the private key right after it when
 * withPrivate), free, generate, and load the library's key file. */
QV_API RSA_KEY RSAKeyFromData(const uint8_t *data, size_t size, bool withPrivate);
QV_API void RSAFree(RSA_KEY key);

/* A new RSA key pair with public exponent 65537, or null. bits sizes the modulus; sizes
 * below 2048 (0 included) give 2048 bits, sizes above 16384 give null. RSAFree frees it. */
QV_API RSA_KEY RSAGenerateKey(int bits);

/* Key file: the length L (32-bit little-endian, below 10240) of the key data, the key data
 * (DER PKCS#1 RSAPublicKey immediately followed by DER PKCS#1 RSAPrivateKey) and its
 * 20-byte SHA-1. LoadRSAKeys returns the key pair, or null when the file cannot be opened,
 * is short, has a length of 10240 or more, a digest that does not match or key data that
 * does not parse. SaveRSAKeys writes the file of a key pair (readable by the owner only
 * when the file is new); false when the key has no private part, the file cannot be
 * written or the data would not fit. File names are UTF-8 on this platform. */
QV_API RSA_KEY LoadRSAKeys(const wchar_t *fileName);
QV_API bool SaveRSAKeys(RSA_KEY key, const wchar_t *fileName);

/* Certificate with its private key, the signer's identity for SignMessageWithCAPI. This
 * platform has no certificate store, so the caller provides both as OpenSSL objects and
 * keeps owning them. */
struct x509_st;
typedef struct x509_st X509;
typedef struct CERT_CONTEXT
{
   X509 *certificate;
   EVP_PKEY *privateKey;
} CERT_CONTEXT;

/* Signs dataLength bytes of data with the certificate's private key: SHA-1 digest, RSA
 * PKCS#1 v1.5 signature, written most significant byte first into signature (room for
 * signatureSize bytes), its length in *signatureLength. False when the private key is
 * missing or does not belong to the certificate, the signature does not fit or signing
 * fails. */
QV_API bool SignMessageWithCAPI(const uint8_t *data, uint32_t dataLength, const CERT_CONTEXT *cert, uint8_t *signature,
                                uint32_t signatureSize, uint32_t *signatureLength);

/* Fills buffer from OpenSSL's random generator; 1 on success. */
QV_API int GenerateRandomBytes(uint8_t *buffer, size_t size);

/* Logs and empties OpenSSL's error queue at the given debug level. */
QV_API void LogOpenSSLErrorStack(int level);

/* The text of an OpenSSL error code in buffer (at least 256 characters); returns buffer. */
QV_API wchar_t *ERR_error_string_W(unsigned long code, wchar_t *buffer);

/* ---------------------------------------------------------------------------------------
 * Hashes and checksums: CRC-32 (IEEE 802.3, reflected polynomial 0xEDB88320), MD5, SHA-1
 * and SHA-256 of memory blocks and files, computed by the library itself. Sizes are signed
 * 32-bit byte counts; a size of 0 or less, or a null data pointer, adds nothing. Digests are
 * written to a caller's buffer of the digest size. The functions keep no shared state; a
 * state record belongs to one caller while it is in use.
 * ------------------------------------------------------------------------------------- */

#define MD5_DIGEST_SIZE 16    /* bytes of an MD5 digest */
#define SHA1_DIGEST_SIZE 20   /* bytes of a SHA-1 digest */
#define SHA256_DIGEST_SIZE 32 /* bytes of a SHA-256 digest */
#define HASH_BLOCK_SIZE 64    /* bytes of the message block of MD5, SHA-1 and SHA-256 */

/* State of an incremental digest: the chaining values, the message length so far in bits
 * and the partial block not yet processed. Plain data that callers declare themselves. */
typedef struct MD5State
{
   uint32_t chain[4];
   uint64_t bitCount;
   uint8_t block[HASH_BLOCK_SIZE];
} MD5State;

typedef struct SHA1State
{
   uint32_t chain[5];
   uint64_t bitCount;
   uint8_t block[HASH_BLOCK_SIZE];
} SHA1State;

typedef struct SHA256State
{
   uint32_t chain[8];
   uint64_t bitCount;
   uint8_t block[HASH_BLOCK_SIZE];
} SHA256State;

/* CRC-32 of data, continuing from crc: pass 0 to start and the previous result to continue
 * over a further piece. */
QV_API uint32_t CalculateCRC32(const uint8_t *data, int size, uint32_t crc);

/* CRC-32 of a whole file, read in blocks of 4096 bytes; false (and *crc untouched) when the
 * file cannot be opened or a read fails (so a directory or a device error gives false, not
 * the checksum of the part read before). File names are UTF-8 on this platform. */
QV_API bool CalculateFileCRC32(const wchar_t *fileName, uint32_t *crc);

/* Incremental MD5: Init, any number of Updates, then Finish writes the 16-byte digest and
 * clears the state (Init again before reuse). */
QV_API void MD5Init(MD5State *state);
QV_API void MD5Update(MD5State *state, const uint8_t *data, int size);
QV_API void MD5Finish(MD5State *state, uint8_t *hash);

/* MD5 of one buffer. */
QV_API void CalculateMD5Hash(const uint8_t *data, int size, uint8_t *hash);

/* MD5 of the pattern repeated end to end, fed in 64-byte blocks: fullSize rounded up to a
 * multiple of 64 bytes is hashed. fullSize 0 or less, or an empty pattern, gives the digest
 * of the empty message. With fullSize 1048576 this is the password-to-key digest of the
 * SNMPv3 user security model (before localisation with the engine identifier). */
QV_API void MD5HashForPattern(const uint8_t *pattern, int patternSize, int fullSize, uint8_t *hash);

/* MD5 of a whole file; false (and hash untouched) when the file cannot be opened or read. */
QV_API bool CalculateFileMD5Hash(const wchar_t *fileName, uint8_t *hash);

/* Incremental SHA-1, as MD5 above, with a 20-byte digest. */
QV_API void SHA1Init(SHA1State *state);
QV_API void SHA1Update(SHA1State *state, const uint8_t *data, int size);
QV_API void SHA1Finish(SHA1State *state, uint8_t *hash);
QV_API void CalculateSHA1Hash(const uint8_t *data, int size, uint8_t *hash);
QV_API void SHA1HashForPattern(const uint8_t *pattern, int patternSize, int fullSize, uint8_t *hash);
QV_API bool CalculateFileSHA1Hash(const wchar_t *fileName, uint8_t *hash);

/* Incremental SHA-256, as MD5 above, with a 32-byte digest. */
QV_API void SHA256Init(SHA256State *state);
QV_API void SHA256Update(SHA256State *state, const uint8_t *data, int size);
QV_API void SHA256Finish(SHA256State *state, uint8_t *hash);
QV_API void CalculateSHA256Hash(const uint8_t *data, int size, uint8_t *hash);
QV_API bool CalculateFileSHA256Hash(const wchar_t *fileName, uint8_t *hash);

/* ---------------------------------------------------------------------------------------
 * ICE cipher and passwords. ICE at level 1 (64-bit blocks and key, 16 rounds) in
 * electronic-codebook mode, and the encrypted form in which configuration files keep
 * passwords: 44 characters of base64 holding the password, as 8-bit text in the ANSI
 * (multibyte) code page zero-padded to 32 bytes, encrypted with ICE under the first 8
 * bytes of the MD5 digest of the login name (as 8-bit text in that code page). The
 * functions keep no shared state and may be called from any thread.
 * ------------------------------------------------------------------------------------- */

#define ICE_BLOCK_SIZE 8           /* bytes of an ICE block */
#define ICE_KEY_SIZE 8             /* bytes of an ICE key at level 1 */
#define QV_PASSWORD_TEXT_LENGTH 44 /* characters of an encrypted password, terminator excluded */
#define QV_PASSWORD_MAX_BYTES 31   /* bytes of the longest password that can be encrypted */

/* Encrypt or decrypt size bytes with the ICE_KEY_SIZE-byte key: every whole block of in is
 * processed on its own into the same place of out. Trailing bytes that do not fill a block
 * are copied to out unchanged (not encrypted), so that decryption gives back the input of
 * any size. in and out may be the same buffer or overlap in any way. A size of 0 or less,
 * or a null pointer, does nothing. */
QV_API void ICEEncryptData(const uint8_t *in, int size, uint8_t *out, const uint8_t *key);
QV_API void ICEDecryptData(const uint8_t *in, int size, uint8_t *out, const uint8_t *key);

/* Turn a configuration's password text into the password. When encrypted is in the
 * encrypted form (exactly 44 characters: 43 base64 characters and '=', or 44 of them), writes
 * the decrypted password into decrypted (at most size characters, terminator included)
 * and returns true. Otherwise copies encrypted itself into decrypted, cut to size - 1
 * characters, and returns false: the text is taken as a plain password. The result is
 * always terminated within the buffer when size > 0; a size of 0 or a null decrypted
 * writes nothing. decrypted may be the buffer of encrypted (or overlap it); a null
 * encrypted counts as the empty text, a null login as the empty name. A wrong login name
 * is not detected: it yields a meaningless password. The W form converts between wide
 * text and the ANSI code page with the library's multibyte converters. */
QV_API bool DecryptPasswordW(const wchar_t *login, const wchar_t *encrypted, wchar_t *decrypted, size_t size);
QV_API bool DecryptPasswordA(const char *login, const char *encrypted, char *decrypted, size_t size);

/* The inverse: writes the 44-character encrypted form of password (terminated, so size
 * must be at least 45) and returns true. False, with an empty text in encrypted when
 * size > 0, when the buffer is too small, password or encrypted is null, or the password
 * takes more than QV_PASSWORD_MAX_BYTES bytes in the ANSI code page (or cannot be
 * converted to it). A null login counts as the empty name. */
QV_API bool EncryptPasswordW(const wchar_t *login, const wchar_t *password, wchar_t *encrypted, size_t size);
QV_API bool EncryptPasswordA(const char *login, const char *password, char *encrypted, size_t size);

/* ---------------------------------------------------------------------------------------
 * Testing
 *
 * Hooks for tests, benchmarks and replays; host programs have no need of them.
 * ------------------------------------------------------------------------------------- */

/* For tests and benchmarks: the hash functions use the processor's CRC folding (carry-less
 * multiply) and SHA instructions when it has them, chosen once at the first use, and plain
 * code otherwise, with the same results. CryptoGetHashAcceleration tells which of these
 * instruction sets are in use now (HASH_ACCEL_* bits; 0 while the plain code is forced);
 * CryptoForcePortableHashes(true) makes every later call use the plain code, false goes
 * back to the processor's instructions. Either path gives the same results, so the switch
 * may be flipped while other threads hash. */
#define HASH_ACCEL_CRC32 0x01u  /* CRC-32 by folding with PCLMULQDQ */
#define HASH_ACCEL_SHA1 0x02u   /* SHA-1 with the SHA extensions */
#define HASH_ACCEL_SHA256 0x04u /* SHA-256 with the SHA extensions */
QV_API uint32_t CryptoGetHashAcceleration(void);
QV_API void CryptoForcePortableHashes(bool portable);

#endif
