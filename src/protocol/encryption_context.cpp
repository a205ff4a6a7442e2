/* The session encryption context: the cipher table and its validation at start-up,
 * contexts with a random session key, and the encrypted envelope of a message. */
#include "protocol/encryption_internal.h"
#include "crypto/hash_internal.h"
#include "crypto/wipe.h"
#include "platform/random.h"
#include "sync/lock_guard.h"

#include <qv_log.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

namespace {

using namespace qv::crypto;
using namespace qv::protocol;

/* OpenSSL's names of the ciphers, log names and key lengths, by id. */
const char *const OPENSSL_CIPHER_NAMES[QVCP_CIPHER_COUNT] = {"AES-256-CBC",  "BF-CBC",      "IDEA-CBC",
                                                             "DES-EDE3-CBC", "AES-128-CBC", "BF-CBC"};
const wchar_t *const CIPHER_NAMES[QVCP_CIPHER_COUNT] = {L"AES-256", L"Blowfish-256", L"IDEA",
                                                        L"3DES",    L"AES-128",      L"Blowfish-128"};
const int KEY_LENGTHS[QVCP_CIPHER_COUNT] = {32, 32, 16, 24, 16, 16};

/* The order in which a new context picks a cipher from a mask. */
const int CIPHER_PREFERENCE[QVCP_CIPHER_COUNT] = {QVCP_CIPHER_AES_256, QVCP_CIPHER_BLOWFISH_256,
                                                  QVCP_CIPHER_AES_128, QVCP_CIPHER_BLOWFISH_128,
                                                  QVCP_CIPHER_IDEA,    QVCP_CIPHER_3DES};

/* Offsets in a message header (big-endian words) and in the envelope. */
constexpr size_t MESSAGE_FLAGS_OFFSET = 2;
constexpr size_t MESSAGE_SIZE_OFFSET = 4;
constexpr size_t ENVELOPE_PADDING_OFFSET = 2;
constexpr size_t ENVELOPE_RESERVED_OFFSET = 3;
constexpr size_t ENVELOPE_SIZE_OFFSET = 4;

/* The plaintext starts with the CRC-32 of the message and 4 zero bytes. */
constexpr size_t PLAIN_PREFIX_SIZE = 8;

/* Envelope sizes are whole multiples of this. */
constexpr size_t ENVELOPE_ALIGNMENT = 8;

/* Room beyond the message and one cipher block in a new envelope: its header, the
 * plaintext prefix and the alignment. */
constexpr size_t ENVELOPE_EXTRA = 24;

/* Largest piece handed to one OpenSSL or CRC call (they count in int). */
constexpr size_t MAX_PIECE = size_t(1) << 30;

/* Bytes fed to the random generator's seed at start-up. */
constexpr size_t SEED_SIZE = 8192;

/* Debug level of the cipher validation lines. */
constexpr int VALIDATION_DEBUG_LEVEL = 1;

/* Written by InitCryptoLib only. */
std::atomic<uint32_t> g_supportedCiphers{QVCP_ALL_CIPHERS};

struct CipherTable
{
   CipherInfo entries[QVCP_CIPHER_COUNT];
};

/* Loads the providers and fetches the ciphers. Errors of ciphers the platform lacks are
 * dropped from the error queue: missing ones are simply not offered. */
CipherTable *BuildCipherTable()
{
   CipherTable *table = new CipherTable;
   OSSL_PROVIDER_load(nullptr, "default");
   OSSL_PROVIDER_load(nullptr, "legacy");
   for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
   {
      table->entries[id].name = CIPHER_NAMES[id];
      table->entries[id].keyLength = KEY_LENGTHS[id];
      table->entries[id].cipher = EVP_CIPHER_fetch(nullptr, OPENSSL_CIPHER_NAMES[id], nullptr);
   }
   ERR_clear_error();
   return table;
}

uint16_t LoadBE16(const uint8_t *p)
{
   return uint16_t((p[0] << 8) | p[1]);
}

/* CRC-32 of size bytes in pieces the hash function takes. */
uint32_t Crc32(const uint8_t *data, size_t size)
{
   uint32_t crc = 0;
   for (size_t done = 0; done < size;)
   {
      size_t n = (size - done < MAX_PIECE) ? size - done : MAX_PIECE;
      crc = CalculateCRC32(data + done, int(n), crc);
      done += n;
   }
   return crc;
}

/* EVP_CipherUpdate over size bytes in pieces; adds the bytes written to *written. */
bool CipherUpdate(EVP_CIPHER_CTX *ctx, uint8_t *out, const uint8_t *in, size_t size, size_t *written)
{
   for (size_t done = 0; done < size;)
   {
      size_t n = (size - done < MAX_PIECE) ? size - done : MAX_PIECE;
      int outLength = 0;
      if (EVP_CipherUpdate(ctx, out + *written, &outLength, in + done, int(n)) != 1)
         return false;
      *written += size_t(outLength);
      done += n;
   }
   return true;
}

}  // namespace

namespace qv::protocol {

const CipherInfo &Cipher(int id)
{
   // Never destroyed: contexts may still be released while the process exits.
   static const CipherTable *table = BuildCipherTable();
   return table->entries[id];
}

uint32_t SupportedCiphers()
{
   return g_supportedCiphers.load(std::memory_order_relaxed);
}

}  // namespace qv::protocol

bool InitCryptoLib(uint32_t enabledCiphers)
{
   OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS | OPENSSL_INIT_ADD_ALL_CIPHERS | OPENSSL_INIT_ADD_ALL_DIGESTS |
                           OPENSSL_INIT_NO_LOAD_CONFIG | OPENSSL_INIT_ASYNC,
                       nullptr);
   // The seed comes from the system's generator (OpenSSL seeds itself too; this adds to it).
   uint8_t *seed = static_cast<uint8_t *>(malloc(SEED_SIZE));
   if (seed != nullptr && qv::platform::RandomBytes(seed, SEED_SIZE))
      RAND_seed(seed, int(SEED_SIZE));
   if (seed != nullptr)
   {
      SecureWipe(seed, SEED_SIZE);
      free(seed);
   }

   qvlog_debug(VALIDATION_DEBUG_LEVEL, L"Validating ciphers");
   uint32_t mask = SupportedCiphers() & enabledCiphers;
   for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
   {
      uint32_t bit = 1u << id;
      if ((mask & bit) == 0)
      {
         qvlog_debug(VALIDATION_DEBUG_LEVEL, L"   %s disabled (config)", CIPHER_NAMES[id]);
         continue;
      }
      QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(bit);
      if (ctx != nullptr)
      {
         ctx->decRefCount();
         qvlog_debug(VALIDATION_DEBUG_LEVEL, L"   %s enabled", CIPHER_NAMES[id]);
      }
      else
      {
         mask &= ~bit;
         qvlog_debug(VALIDATION_DEBUG_LEVEL, L"   %s disabled (validation failed)", CIPHER_NAMES[id]);
      }
   }
   g_supportedCiphers.store(mask, std::memory_order_relaxed);
   qvlog_debug(VALIDATION_DEBUG_LEVEL, L"Crypto library initialized");
   return true;
}

uint32_t QVCPGetSupportedCiphers(void)
{
   return SupportedCiphers();
}

String QVCPGetSupportedCiphersAsText()
{
   String text;
   uint32_t mask = SupportedCiphers();
   for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
   {
      if ((mask & (1u << id)) == 0)
         continue;
      QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(1u << id);
      if (ctx == nullptr)
         continue;
      ctx->decRefCount();
      if (text.length() > 0)
         text += L", ";
      text += CIPHER_NAMES[id];
   }
   return text;
}

QVCPEncryptionContext::QVCPEncryptionContext()
    : m_cipher(-1), m_sessionKey(nullptr), m_keyLength(0), m_iv(), m_encryptor(EVP_CIPHER_CTX_new()),
      m_decryptor(EVP_CIPHER_CTX_new())
{}

QVCPEncryptionContext::~QVCPEncryptionContext()
{
   if (m_sessionKey != nullptr)
   {
      SecureWipe(m_sessionKey, size_t(m_keyLength));
      free(m_sessionKey);
   }
   SecureWipe(m_iv, sizeof(m_iv));
   EVP_CIPHER_CTX_free(m_encryptor);
   EVP_CIPHER_CTX_free(m_decryptor);
}

bool EncryptionInternals::initCipher(QVCPEncryptionContext *ctx, int cipher)
{
   if (cipher < 0 || cipher >= QVCP_CIPHER_COUNT || ctx->m_encryptor == nullptr || ctx->m_decryptor == nullptr)
      return false;
   const CipherInfo &info = Cipher(cipher);
   if (info.cipher == nullptr)
      return false;
   EVP_CIPHER_CTX_reset(ctx->m_encryptor);
   EVP_CIPHER_CTX_reset(ctx->m_decryptor);
   bool ok = EVP_EncryptInit_ex2(ctx->m_encryptor, info.cipher, nullptr, nullptr, nullptr) == 1 &&
             EVP_DecryptInit_ex2(ctx->m_decryptor, info.cipher, nullptr, nullptr, nullptr) == 1 &&
             EVP_CIPHER_CTX_set_key_length(ctx->m_encryptor, info.keyLength) == 1 &&
             EVP_CIPHER_CTX_set_key_length(ctx->m_decryptor, info.keyLength) == 1 &&
             EVP_CIPHER_CTX_get_key_length(ctx->m_encryptor) == info.keyLength &&
             EVP_CIPHER_CTX_get_key_length(ctx->m_decryptor) == info.keyLength;
   if (!ok)
   {
      ERR_clear_error();
      return false;
   }
   ctx->m_cipher = cipher;
   ctx->m_keyLength = info.keyLength;
   return true;
}

bool EncryptionInternals::applyKey(QVCPEncryptionContext *ctx)
{
   // The key schedule is made once here; each message then only restarts from the IV.
   bool ok = EVP_EncryptInit_ex2(ctx->m_encryptor, nullptr, ctx->m_sessionKey, ctx->m_iv, nullptr) == 1 &&
             EVP_DecryptInit_ex2(ctx->m_decryptor, nullptr, ctx->m_sessionKey, ctx->m_iv, nullptr) == 1;
   if (!ok)
      ERR_clear_error();
   return ok;
}

bool EncryptionInternals::setSessionKey(QVCPEncryptionContext *ctx, const uint8_t *key, const uint8_t *iv,
                                        size_t ivLength)
{
   if (ctx->m_sessionKey != nullptr)
   {
      SecureWipe(ctx->m_sessionKey, size_t(ctx->m_keyLength));
      free(ctx->m_sessionKey);
   }
   ctx->m_sessionKey = static_cast<uint8_t *>(malloc(size_t(ctx->m_keyLength)));
   if (ctx->m_sessionKey == nullptr)
      return false;
   memcpy(ctx->m_sessionKey, key, size_t(ctx->m_keyLength));
   memset(ctx->m_iv, 0, sizeof(ctx->m_iv));
   memcpy(ctx->m_iv, iv, (ivLength < sizeof(ctx->m_iv)) ? ivLength : sizeof(ctx->m_iv));
   return applyKey(ctx);
}

QVCPEncryptionContext *QVCPEncryptionContext::create(uint32_t ciphers)
{
   QVCPEncryptionContext *ctx = new QVCPEncryptionContext();
   for (int id : CIPHER_PREFERENCE)
   {
      if ((ciphers & (1u << id)) == 0 || !EncryptionInternals::initCipher(ctx, id))
         continue;
      uint8_t key[EVP_MAX_KEY_LENGTH];
      uint8_t iv[QVCP_MAX_IV_LENGTH];
      bool ok = RAND_bytes(key, ctx->m_keyLength) == 1 && RAND_bytes(iv, sizeof(iv)) == 1 &&
                EncryptionInternals::setSessionKey(ctx, key, iv, sizeof(iv));
      SecureWipe(key, sizeof(key));
      if (ok)
         return ctx;
      ERR_clear_error();
   }
   ctx->decRefCount();
   return nullptr;
}

QVCP_ENCRYPTED_MESSAGE *QVCPEncryptionContext::encryptMessage(QVCP_MESSAGE *msg)
{
   const uint8_t *plain = reinterpret_cast<const uint8_t *>(msg);
   size_t msgSize = LoadBE32(plain + MESSAGE_SIZE_OFFSET);
   if (msgSize < QVCP_HEADER_SIZE)
      return nullptr;

   if ((LoadBE16(plain + MESSAGE_FLAGS_OFFSET) & QVCP_MF_DONT_ENCRYPT) != 0)
   {
      void *copy = malloc(msgSize);
      if (copy != nullptr)
         memcpy(copy, plain, msgSize);
      return static_cast<QVCP_ENCRYPTED_MESSAGE *>(copy);
   }

   size_t blockSize = size_t(EVP_CIPHER_CTX_get_block_size(m_encryptor));
   size_t capacity = msgSize + blockSize + ENVELOPE_EXTRA;
   if (m_cipher < 0 || capacity > UINT32_MAX)
      return nullptr;
   uint8_t prefix[PLAIN_PREFIX_SIZE] = {};
   StoreBE32(prefix, Crc32(plain, msgSize));

   uint8_t *envelope = static_cast<uint8_t *>(malloc(capacity));
   if (envelope == nullptr)
      return nullptr;
   uint8_t *out = envelope + QVCP_ENCRYPTED_HEADER_SIZE;
   size_t written = 0;
   bool ok;
   {
      qv::sync::LockGuard guard(m_encryptorLock);
      ok = EVP_EncryptInit_ex2(m_encryptor, nullptr, nullptr, m_iv, nullptr) == 1 &&
           CipherUpdate(m_encryptor, out, prefix, sizeof(prefix), &written) &&
           CipherUpdate(m_encryptor, out, plain, msgSize, &written);
      int finalLength = 0;
      ok = ok && EVP_EncryptFinal_ex(m_encryptor, out + written, &finalLength) == 1;
      written += size_t(finalLength);
   }
   if (!ok)
   {
      ERR_clear_error();
      free(envelope);
      return nullptr;
   }

   size_t n = QVCP_ENCRYPTED_HEADER_SIZE + written;
   size_t padding = (ENVELOPE_ALIGNMENT - n % ENVELOPE_ALIGNMENT) % ENVELOPE_ALIGNMENT;
   memset(envelope + n, 0, padding);  // no heap bytes go on the wire
   envelope[0] = uint8_t(CMD_ENCRYPTED_MESSAGE >> 8);
   envelope[1] = uint8_t(CMD_ENCRYPTED_MESSAGE & 0xFF);
   envelope[ENVELOPE_PADDING_OFFSET] = uint8_t(padding);
   envelope[ENVELOPE_RESERVED_OFFSET] = 0;
   StoreBE32(envelope + ENVELOPE_SIZE_OFFSET, uint32_t(n + padding));
   return reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(envelope);
}

bool QVCPEncryptionContext::decryptMessage(QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer)
{
   return decryptMessage(msg, decryptionBuffer, LoadBE32(reinterpret_cast<uint8_t *>(msg) + ENVELOPE_SIZE_OFFSET));
}

bool QVCPEncryptionContext::decryptMessage(QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer, size_t bufferSize)
{
   uint8_t *raw = reinterpret_cast<uint8_t *>(msg);
   size_t size = LoadBE32(raw + ENVELOPE_SIZE_OFFSET);
   size_t padding = raw[ENVELOPE_PADDING_OFFSET];
   if (m_cipher < 0 || size < QVCP_ENCRYPTED_HEADER_SIZE + padding || size > bufferSize)
      return false;

   // The decrypted bytes never outnumber the ciphertext's, which is shorter than the buffer.
   // Bad block padding fails too: a changed byte anywhere in the ciphertext is refused, also
   // in a last block that holds padding only.
   size_t produced = 0;
   int finalLength = 0;
   if (EVP_DecryptInit_ex2(m_decryptor, nullptr, nullptr, m_iv, nullptr) != 1 ||
       !CipherUpdate(m_decryptor, decryptionBuffer, raw + QVCP_ENCRYPTED_HEADER_SIZE,
                     size - padding - QVCP_ENCRYPTED_HEADER_SIZE, &produced) ||
       EVP_DecryptFinal_ex(m_decryptor, decryptionBuffer + produced, &finalLength) != 1)
   {
      ERR_clear_error();
      return false;
   }
   produced += size_t(finalLength);

   if (produced < PLAIN_PREFIX_SIZE + QVCP_HEADER_SIZE)
      return false;
   const uint8_t *plain = decryptionBuffer + PLAIN_PREFIX_SIZE;
   size_t plainSize = LoadBE32(plain + MESSAGE_SIZE_OFFSET);
   if (plainSize < QVCP_HEADER_SIZE || plainSize > produced - PLAIN_PREFIX_SIZE)
      return false;
   if (Crc32(plain, plainSize) != LoadBE32(decryptionBuffer))
      return false;
   memcpy(raw, plain, plainSize);
   return true;
}

QVCP_ENCRYPTED_MESSAGE *QVCPEncryptMessage(QVCPEncryptionContext *ctx, QVCP_MESSAGE *msg)
{
   return (ctx != nullptr) ? ctx->encryptMessage(msg) : nullptr;
}

bool QVCPDecryptMessage(QVCPEncryptionContext *ctx, QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer)
{
   return (ctx != nullptr) && ctx->decryptMessage(msg, decryptionBuffer);
}

bool QVCPDecryptMessage(QVCPEncryptionContext *ctx, QVCP_ENCRYPTED_MESSAGE *msg, uint8_t *decryptionBuffer,
                        size_t bufferSize)
{
   return (ctx != nullptr) && ctx->decryptMessage(msg, decryptionBuffer, bufferSize);
}
