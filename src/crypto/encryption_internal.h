/* Internals of the session encryption shared by the context, the key exchange and the RSA
 * helpers: the cipher table, the supported mask, the key-exchange field identifiers and a
 * scope guard for OpenSSL objects. */
#ifndef QORVEL_CRYPTO_ENCRYPTION_INTERNAL_H
#define QORVEL_CRYPTO_ENCRYPTION_INTERNAL_H

#include <qv_crypto.h>

#include <openssl/evp.h>

namespace qv::crypto {

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

/* Frees an OpenSSL object when the scope ends, unless released. */
template <typename T, void (*Free)(T *)> class OpenSSLPtr
{
private:
   T *m_p;

public:
   explicit OpenSSLPtr(T *p = nullptr) : m_p(p) {}
   ~OpenSSLPtr()
   {
      if (m_p != nullptr)
         Free(m_p);
   }
   OpenSSLPtr(const OpenSSLPtr &) = delete;
   OpenSSLPtr &operator=(const OpenSSLPtr &) = delete;

   T *get() const { return m_p; }
   T *release()
   {
      T *p = m_p;
      m_p = nullptr;
      return p;
   }
   void reset(T *p)
   {
      if (m_p != nullptr)
         Free(m_p);
      m_p = p;
   }
};

using PKeyPtr = OpenSSLPtr<EVP_PKEY, EVP_PKEY_free>;
using PKeyCtxPtr = OpenSSLPtr<EVP_PKEY_CTX, EVP_PKEY_CTX_free>;

/* RSA-OAEP (SHA-1, as the peers use) of size bytes with key: encrypt with its public half,
 * or decrypt with its private half. The result is a new malloc'd block (the caller frees
 * it) and its length in *outSize; null on failure. */
uint8_t *RsaOaep(EVP_PKEY *key, bool encrypt, const uint8_t *in, size_t size, size_t *outSize);

/* A public key from DER: PKCS#1 RSAPublicKey, or with acceptSpki also an X.509
 * SubjectPublicKeyInfo holding an RSA key; null when it does not parse. */
EVP_PKEY *RsaPublicKeyFromDer(const uint8_t *data, size_t size, bool acceptSpki);

}  // namespace qv::crypto

#endif
