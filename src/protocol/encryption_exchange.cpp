/* The session key exchange: the request with the requester's ciphers and public key, the
 * responder's reply with the RSA-encrypted session key and IV, and the requester's
 * context built from that reply. */
#include "protocol/encryption_internal.h"
#include "crypto/rsa_keys.h"
#include "crypto/wipe.h"

#include <qv_log.h>

#include <openssl/err.h>
#include <openssl/x509.h>

#include <stdlib.h>

namespace {

using namespace qv::crypto;
using namespace qv::protocol;

/* IV length sent when OpenSSL reports none that fits the context. */
constexpr int FALLBACK_IV_LENGTH = QVCP_MAX_IV_LENGTH;

/* A key-exchange BINARY field, at most its first MAX_KEY_FIELD_BYTES; null when missing. */
const uint8_t *KeyField(const QVCPMessage *msg, uint32_t fieldId, size_t *size)
{
   const uint8_t *p = msg->getBinaryFieldPtr(fieldId, size);
   if (*size > MAX_KEY_FIELD_BYTES)
      *size = MAX_KEY_FIELD_BYTES;
   return p;
}

/* RSA-OAEP decryption of a reply's field with the private key; the result must have
 * exactly expected bytes. A new malloc'd block, or null. */
uint8_t *DecryptKeyField(const QVCPMessage *msg, uint32_t fieldId, EVP_PKEY *privateKey, size_t expected)
{
   size_t size;
   const uint8_t *field = KeyField(msg, fieldId, &size);
   size_t length = 0;
   uint8_t *plain = RsaOaep(privateKey, false, field, size, &length);
   if (plain != nullptr && length != expected)
   {
      SecureWipe(plain, length);
      free(plain);
      return nullptr;
   }
   return plain;
}

void FreeSecret(uint8_t *p, size_t size)
{
   if (p != nullptr)
   {
      SecureWipe(p, size);
      free(p);
   }
}

/* The IV length of the context's cipher, as the reply announces it. */
int ReplyIVLength(const QVCPEncryptionContext *ctx)
{
   int length = EVP_CIPHER_get_iv_length(Cipher(ctx->getCipher()).cipher);
   return (length >= 1 && length <= QVCP_MAX_IV_LENGTH) ? length : FALLBACK_IV_LENGTH;
}

/* Fills a successful reply: the key and IV of ctx encrypted with the requester's key.
 * False when RSA encryption fails (a key too short for the session key, for one). */
bool FillReply(QVCPMessage *reply, const QVCPEncryptionContext *ctx, EVP_PKEY *publicKey)
{
   int ivLength = ReplyIVLength(ctx);
   size_t keySize = 0, ivSize = 0;
   uint8_t *key = RsaOaep(publicKey, true, ctx->getSessionKey(), size_t(ctx->getKeyLength()), &keySize);
   uint8_t *iv = RsaOaep(publicKey, true, ctx->getIV(), size_t(ivLength), &ivSize);
   bool ok = key != nullptr && iv != nullptr;
   if (ok)
   {
      reply->setField(FIELD_RESULT, uint32_t(0));
      reply->setField(FIELD_SESSION_KEY, key, keySize);
      reply->setField(FIELD_KEY_LENGTH, uint16_t(ctx->getKeyLength()));
      reply->setField(FIELD_SESSION_IV, iv, ivSize);
      reply->setField(FIELD_IV_LENGTH, uint16_t(ivLength));
      reply->setField(FIELD_CIPHER, uint16_t(ctx->getCipher()));
   }
   free(key);
   free(iv);
   return ok;
}

/* The responder's side: answers a session key request. */
uint32_t AnswerKeyRequest(QVCPMessage *msg, QVCPEncryptionContext **context, QVCPMessage *reply)
{
   uint32_t common = msg->getFieldAsUInt32(FIELD_CIPHER_MASK) & SupportedCiphers();
   if (common == 0)
   {
      reply->setField(FIELD_RESULT, uint32_t(QVCP_RCC_NO_CIPHERS));
      return QVCP_RCC_NO_CIPHERS;
   }
   QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(common);
   uint32_t result = QVCP_RCC_ENCRYPTION_ERROR;
   if (ctx != nullptr)
   {
      // Both forms PrepareKeyRequestMsg can build are accepted: PKCS#1 and X.509.
      size_t size;
      const uint8_t *der = KeyField(msg, FIELD_PUBLIC_KEY, &size);
      PKeyPtr publicKey(RsaPublicKeyFromDer(der, size, true));
      if (publicKey.get() == nullptr)
         result = QVCP_RCC_INVALID_PUBLIC_KEY;
      else if (FillReply(reply, ctx, publicKey.get()))
         result = 0;
   }
   if (result == 0 && context != nullptr)
   {
      *context = ctx;
      return 0;
   }
   if (ctx != nullptr)
      ctx->decRefCount();
   if (result != 0)
      reply->setField(FIELD_RESULT, result);
   return result;
}

}  // namespace

QVCPEncryptionContext *QVCPEncryptionContext::create(QVCPMessage *msg, RSA_KEY privateKey)
{
   if (msg == nullptr)
      return nullptr;
   QVCPEncryptionContext *ctx = new QVCPEncryptionContext();
   int cipher = msg->getFieldAsInt16(FIELD_CIPHER);
   if (!EncryptionInternals::initCipher(ctx, cipher))
   {
      qvlog_debug(KEY_EXCHANGE_DEBUG_LEVEL, L"QVCPEncryptionContext::create: initCipher(%d) call failed", cipher);
      ctx->decRefCount();
      return nullptr;
   }
   int remoteKeyLength = msg->getFieldAsUInt16(FIELD_KEY_LENGTH);
   if (remoteKeyLength != ctx->m_keyLength)
   {
      qvlog_debug(KEY_EXCHANGE_DEBUG_LEVEL,
                  L"QVCPEncryptionContext::create: key length mismatch (remote: %d local: %d)", remoteKeyLength,
                  ctx->m_keyLength);
      ctx->decRefCount();
      return nullptr;
   }
   size_t keyLength = size_t(ctx->m_keyLength);
   uint8_t *key = DecryptKeyField(msg, FIELD_SESSION_KEY, privateKey, keyLength);
   if (key == nullptr)
   {
      qvlog_debug(KEY_EXCHANGE_DEBUG_LEVEL, L"QVCPEncryptionContext::create: session key decryption failed");
      ctx->decRefCount();
      return nullptr;
   }
   size_t ivLength = msg->getFieldAsUInt16(FIELD_IV_LENGTH);
   if (ivLength == 0)
      ivLength = QVCP_MAX_IV_LENGTH;
   uint8_t *iv = (ivLength <= size_t(EVP_CIPHER_get_iv_length(Cipher(cipher).cipher)))
                     ? DecryptKeyField(msg, FIELD_SESSION_IV, privateKey, ivLength)
                     : nullptr;
   bool ok = iv != nullptr && EncryptionInternals::setSessionKey(ctx, key, iv, ivLength);
   if (iv == nullptr)
      qvlog_debug(KEY_EXCHANGE_DEBUG_LEVEL, L"QVCPEncryptionContext::create: IV decryption failed");
   FreeSecret(key, keyLength);
   FreeSecret(iv, ivLength);
   if (!ok)
   {
      ctx->decRefCount();
      return nullptr;
   }
   return ctx;
}

void PrepareKeyRequestMsg(QVCPMessage *msg, RSA_KEY key, bool x509Format)
{
   if (msg == nullptr)
      return;
   msg->setCode(CMD_REQUEST_SESSION_KEY);
   msg->setField(FIELD_CIPHER_MASK, SupportedCiphers());
   uint8_t *der = nullptr;
   int length = (key == nullptr) ? 0 : x509Format ? i2d_PUBKEY(key, &der) : i2d_PublicKey(key, &der);
   if (length > 0)
      msg->setField(FIELD_PUBLIC_KEY, der, size_t(length));
   else
      ERR_clear_error();
   OPENSSL_free(der);
}

uint32_t SetupEncryptionContext(QVCPMessage *msg, QVCPEncryptionContext **context, QVCPMessage **reply,
                                RSA_KEY privateKey, int protocolVersion)
{
   if (context != nullptr)
      *context = nullptr;
   if (msg == nullptr)
      return QVCP_RCC_NOT_KEY_EXCHANGE;

   if (msg->getCode() == CMD_REQUEST_SESSION_KEY)
   {
      QVCPMessage *answer = new QVCPMessage(CMD_SESSION_KEY, msg->getId(), protocolVersion);
      answer->disableEncryption();
      uint32_t result = AnswerKeyRequest(msg, context, answer);
      if (reply != nullptr)
         *reply = answer;
      else
         delete answer;
      return result;
   }

   if (msg->getCode() == CMD_SESSION_KEY)
   {
      uint32_t result = msg->getFieldAsUInt32(FIELD_RESULT);
      if (result != 0)
         return result;
      QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(msg, privateKey);
      if (ctx == nullptr)
         return QVCP_RCC_INVALID_SESSION_KEY;
      if (context != nullptr)
         *context = ctx;
      else
         ctx->decRefCount();
      return 0;
   }
   return QVCP_RCC_NOT_KEY_EXCHANGE;
}
