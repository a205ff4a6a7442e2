/* RSA keys: DER parsing, generation, RSA-OAEP, the key file, signing with a certificate's
 * key; random bytes and OpenSSL's error texts. Every failure empties
 * OpenSSL's error queue of the calling thread, so that stale entries cannot be taken for a
 * later TLS call's errors. */
#include "crypto/rsa_keys.h"
#include "crypto/hash_internal.h"
#include "crypto/wipe.h"
#include "platform/file.h"

#include <qv_log.h>

#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

using namespace qv::crypto;

/* Sizes of generated keys: the smallest and default, and the largest accepted. */
constexpr int DEFAULT_KEY_BITS = 2048;
constexpr int MAX_KEY_BITS = 16384;

/* Key file: the length word, the limit on the key data, the digest after it. */
constexpr size_t KEY_FILE_LENGTH_SIZE = 4;
constexpr uint32_t KEY_FILE_MAX_DATA = 10240;  // the length must be below this

/* Characters of an OpenSSL error text, terminator included. */
constexpr size_t ERROR_TEXT_SIZE = 256;

/* Frees a block of key material after wiping it. */
class SecretBlock
{
private:
   uint8_t *m_data;
   size_t m_size;

public:
   explicit SecretBlock(size_t size) : m_data(static_cast<uint8_t *>(malloc(size > 0 ? size : 1))), m_size(size) {}
   ~SecretBlock()
   {
      if (m_data != nullptr)
      {
         SecureWipe(m_data, m_size);
         free(m_data);
      }
   }
   SecretBlock(const SecretBlock &) = delete;
   SecretBlock &operator=(const SecretBlock &) = delete;

   uint8_t *data() const { return m_data; }
   size_t size() const { return m_size; }
};

/* DER of key: PKCS#1 RSAPublicKey, then with the private part PKCS#1 RSAPrivateKey. A
 * new OPENSSL_malloc'd block (OPENSSL_clear_free it) and its length; null when the key
 * has no such form. */
uint8_t *KeyToDer(EVP_PKEY *key, bool privatePart, int *length)
{
   uint8_t *der = nullptr;
   *length = privatePart ? i2d_PrivateKey(key, &der) : i2d_PublicKey(key, &der);
   if (*length <= 0)
   {
      ERR_clear_error();
      return nullptr;
   }
   return der;
}

bool WriteAll(FILE *file, const void *data, size_t size)
{
   return fwrite(data, 1, size, file) == size;
}

bool ReadAll(FILE *file, void *data, size_t size)
{
   return fread(data, 1, size, file) == size;
}

}  // namespace

namespace qv::crypto {

uint8_t *RsaOaep(EVP_PKEY *key, bool encrypt, const uint8_t *in, size_t size, size_t *outSize)
{
   if (key == nullptr || in == nullptr)
      return nullptr;
   PKeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
   auto run = encrypt ? EVP_PKEY_encrypt : EVP_PKEY_decrypt;
   size_t length = 0;
   if (ctx.get() == nullptr || (encrypt ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get())) != 1 ||
       EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
       run(ctx.get(), nullptr, &length, in, size) != 1)
   {
      ERR_clear_error();
      return nullptr;
   }
   uint8_t *out = static_cast<uint8_t *>(malloc(length > 0 ? length : 1));
   if (out != nullptr && run(ctx.get(), out, &length, in, size) == 1)
   {
      *outSize = length;
      return out;
   }
   ERR_clear_error();
   free(out);
   return nullptr;
}

EVP_PKEY *RsaPublicKeyFromDer(const uint8_t *data, size_t size, bool acceptSpki)
{
   if (data == nullptr || size > size_t(LONG_MAX))
      return nullptr;
   const uint8_t *p = data;
   EVP_PKEY *key = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, long(size));
   if (key == nullptr && acceptSpki)
   {
      p = data;
      key = d2i_PUBKEY(nullptr, &p, long(size));
      if (key != nullptr && EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
      {
         EVP_PKEY_free(key);
         key = nullptr;
      }
   }
   if (key == nullptr)
      ERR_clear_error();
   return key;
}

}  // namespace qv::crypto

RSA_KEY RSAKeyFromData(const uint8_t *data, size_t size, bool withPrivate)
{
   if (data == nullptr || size > size_t(LONG_MAX))
      return nullptr;
   const uint8_t *p = data;
   PKeyPtr publicKey(d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, long(size)));
   if (publicKey.get() == nullptr)
   {
      ERR_clear_error();
      return nullptr;
   }
   if (!withPrivate)
      return publicKey.release();
   // The private key carries the public values too; it replaces the public one.
   long rest = long(size - size_t(p - data));
   EVP_PKEY *key = d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, rest);
   if (key == nullptr)
      ERR_clear_error();
   return key;
}

void RSAFree(RSA_KEY key)
{
   EVP_PKEY_free(key);
}

RSA_KEY RSAGenerateKey(int bits)
{
   if (bits > MAX_KEY_BITS)
      return nullptr;
   // EVP_PKEY_Q_keygen's RSA keys have the public exponent 65537.
   EVP_PKEY *key =
       EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", size_t(bits < DEFAULT_KEY_BITS ? DEFAULT_KEY_BITS : bits));
   if (key == nullptr)
      ERR_clear_error();
   return key;
}

RSA_KEY LoadRSAKeys(const wchar_t *fileName)
{
   FILE *file = qv::platform::OpenFile(fileName, "rb");
   if (file == nullptr)
      return nullptr;

   RSA_KEY key = nullptr;
   uint8_t lengthBytes[KEY_FILE_LENGTH_SIZE];
   if (ReadAll(file, lengthBytes, sizeof(lengthBytes)))
   {
      uint32_t length = LoadLE32(lengthBytes);
      if (length < KEY_FILE_MAX_DATA)
      {
         SecretBlock keyData(length);
         uint8_t stored[SHA1_DIGEST_SIZE];
         uint8_t digest[SHA1_DIGEST_SIZE];
         if (keyData.data() != nullptr && ReadAll(file, keyData.data(), length) &&
             ReadAll(file, stored, sizeof(stored)))
         {
            CalculateSHA1Hash(keyData.data(), int(length), digest);
            if (memcmp(digest, stored, sizeof(digest)) == 0)
               key = RSAKeyFromData(keyData.data(), length, true);
         }
      }
   }
   fclose(file);
   return key;
}

bool SaveRSAKeys(RSA_KEY key, const wchar_t *fileName)
{
   if (key == nullptr || fileName == nullptr)
      return false;
   int publicLength, privateLength;
   uint8_t *publicDer = KeyToDer(key, false, &publicLength);
   uint8_t *privateDer = KeyToDer(key, true, &privateLength);
   bool ok = publicDer != nullptr && privateDer != nullptr &&
             size_t(publicLength) + size_t(privateLength) < KEY_FILE_MAX_DATA;
   if (ok)
   {
      SecretBlock keyData(size_t(publicLength) + size_t(privateLength));
      uint8_t header[KEY_FILE_LENGTH_SIZE];
      uint8_t digest[SHA1_DIGEST_SIZE];
      ok = keyData.data() != nullptr;
      if (ok)
      {
         memcpy(keyData.data(), publicDer, size_t(publicLength));
         memcpy(keyData.data() + publicLength, privateDer, size_t(privateLength));
         StoreLE32(header, uint32_t(keyData.size()));
         CalculateSHA1Hash(keyData.data(), int(keyData.size()), digest);
         FILE *file = qv::platform::CreatePrivateFile(fileName);
         ok = file != nullptr && WriteAll(file, header, sizeof(header)) &&
              WriteAll(file, keyData.data(), keyData.size()) && WriteAll(file, digest, sizeof(digest));
         if (file != nullptr && fclose(file) != 0)
            ok = false;
      }
   }
   OPENSSL_free(publicDer);
   OPENSSL_clear_free(privateDer, privateDer != nullptr ? size_t(privateLength) : 0);
   return ok;
}

bool SignMessageWithCAPI(const uint8_t *data, uint32_t dataLength, const CERT_CONTEXT *cert, uint8_t *signature,
                         uint32_t signatureSize, uint32_t *signatureLength)
{
   if (cert == nullptr || cert->certificate == nullptr || cert->privateKey == nullptr || signature == nullptr ||
       signatureLength == nullptr || (data == nullptr && dataLength > 0))
      return false;
   static const uint8_t NO_DATA = 0;
   // The key must belong to the certificate, as the certificate store's lookup ensures.
   if (X509_check_private_key(cert->certificate, cert->privateKey) != 1)
   {
      ERR_clear_error();
      return false;
   }
   EVP_MD_CTX *md = EVP_MD_CTX_new();
   size_t length = 0;
   const uint8_t *input = (data != nullptr) ? data : &NO_DATA;
   // OpenSSL's signatures come most significant byte first, the order the protocol uses.
   bool ok = md != nullptr &&
             EVP_DigestSignInit_ex(md, nullptr, "SHA1", nullptr, nullptr, cert->privateKey, nullptr) == 1 &&
             EVP_DigestSign(md, nullptr, &length, input, dataLength) == 1 && length <= signatureSize &&
             EVP_DigestSign(md, signature, &length, input, dataLength) == 1;
   EVP_MD_CTX_free(md);
   if (!ok)
   {
      ERR_clear_error();
      return false;
   }
   *signatureLength = uint32_t(length);
   return true;
}

int GenerateRandomBytes(uint8_t *buffer, size_t size)
{
   for (size_t done = 0; done < size;)
   {
      size_t n = (size - done < size_t(INT_MAX)) ? size - done : size_t(INT_MAX);
      int rc = RAND_bytes(buffer + done, int(n));
      if (rc != 1)
      {
         ERR_clear_error();
         return rc;
      }
      done += n;
   }
   return 1;
}

void LogOpenSSLErrorStack(int level)
{
   qvlog_debug(level, L"OpenSSL error stack:");
   unsigned long code;
   while ((code = ERR_get_error()) != 0)
   {
      char text[ERROR_TEXT_SIZE];
      ERR_error_string_n(code, text, sizeof(text));
      qvlog_debug(level, L"   %hs", text);
   }
}

wchar_t *ERR_error_string_W(unsigned long code, wchar_t *buffer)
{
   char text[ERROR_TEXT_SIZE];
   ERR_error_string_n(code, text, sizeof(text));
   if (mb_to_wchar(text, -1, buffer, int(ERROR_TEXT_SIZE)) <= 0)
      buffer[0] = 0;
   return buffer;
}
