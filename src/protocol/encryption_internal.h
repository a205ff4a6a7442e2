/* Internals of the session encryption shared by the context and the key exchange: the
 * cipher table, the supported mask and the key-exchange field identifiers. */
#ifndef QORVEL_PROTOCOL_ENCRYPTION_INTERNAL_H
#define QORVEL_PROTOCOL_ENCRYPTION_INTERNAL_H

#include <qv_crypto.h>

#include <openssl/evp.h>

namespace qv::protocol {

/* One cipher of the table: its name in logs, its key length and the OpenSSL cipher (CBC),
 * null where the platform's OpenSSL lacks it. */
struct CipherInfo
{
   const wchar_t *name;
   int keyLength;
   const EVP_CIPHER *cipher;
};

/* The entry of a cipher id (0 to QVCP_CIPHER_COUNT - 1). The first call loads OpenSSL's
 * default and legacy providers and fetches every cipher once; safe on any thread. */
const CipherInfo &Cipher(int id);

/* The library-wide mask of supported ciphers (QVCP_ALL_CIPHERS until InitCryptoLib
 * narrows it). */
uint32_t SupportedCiphers();

/* Field identifiers of the key-exchange messages. */
constexpr uint32_t FIELD_RESULT = 28;        // INT32 result code of a session key reply
constexpr uint32_t FIELD_CIPHER_MASK = 122;  // INT32 requester's supported ciphers
constexpr uint32_t FIELD_PUBLIC_KEY = 154;   // BINARY requester's public key, DER
constexpr uint32_t FIELD_SESSION_KEY = 155;  // BINARY session key, RSA-OAEP encrypted
constexpr uint32_t FIELD_CIPHER = 156;       // INT16 cipher id
constexpr uint32_t FIELD_KEY_LENGTH = 157;   // INT16 session key bytes
constexpr uint32_t FIELD_SESSION_IV = 158;   // BINARY IV, RSA-OAEP encrypted
constexpr uint32_t FIELD_IV_LENGTH = 238;    // INT16 IV bytes

/* Bytes of a key-exchange BINARY field that are looked at; the rest is ignored. */
constexpr size_t MAX_KEY_FIELD_BYTES = 4096;

/* Debug level of the failures of building a context from a session key reply. */
constexpr int KEY_EXCHANGE_DEBUG_LEVEL = 6;

/* The one friend of QVCPEncryptionContext: keying a context, for the context's own code
 * and the key exchange. */
struct EncryptionInternals
{
   /* Sets up both OpenSSL contexts for the cipher id and its key length (no key yet). */
   static bool initCipher(QVCPEncryptionContext *ctx, int cipher);
   /* Takes a copy of the session key (key length bytes) and of up to 16 IV bytes and keys
    * both OpenSSL contexts. */
   static bool setSessionKey(QVCPEncryptionContext *ctx, const uint8_t *key, const uint8_t *iv, size_t ivLength);
   static bool applyKey(QVCPEncryptionContext *ctx);
};

}  // namespace qv::protocol

#endif
