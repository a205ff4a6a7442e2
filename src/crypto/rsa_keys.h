/* RSA helpers of the crypto layer that the session key exchange builds on: RSA-OAEP, public
 * keys from DER and a scope guard for OpenSSL objects. */
#ifndef QORVEL_CRYPTO_RSA_KEYS_H
#define QORVEL_CRYPTO_RSA_KEYS_H

#include <qv_crypto.h>

#include <openssl/evp.h>

namespace qv::crypto {

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
