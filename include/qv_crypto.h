/* libqorvel Cryptography: session encryption and key exchange, hashes and checksums, the ICE cipher. */
#ifndef QORVEL_QV_CRYPTO_H
#define QORVEL_QV_CRYPTO_H

#include <qv_protocol.h>

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
