/* Session encryption: the envelope byte for byte against OpenSSL and zlib for every cipher
 * the platform has, round trips of many sizes, damaged and forged envelopes. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <stdlib.h>
#include <string.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

/* OpenSSL's names of the ciphers by id, for the oracle. */
const char *const ORACLE_CIPHERS[QVCP_CIPHER_COUNT] = {"AES-256-CBC",  "BF-CBC",      "IDEA-CBC",
                                                       "DES-EDE3-CBC", "AES-128-CBC", "BF-CBC"};
const int KEY_LENGTHS[QVCP_CIPHER_COUNT] = {32, 32, 16, 24, 16, 16};

uint32_t BE32(const uint8_t *p)
{
   return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void PutBE32(uint8_t *p, uint32_t v)
{
   for (int i = 0; i < 4; i++)
      p[i] = uint8_t(v >> (24 - 8 * i));
}

/* A raw message of size bytes: header (code 0x1234, the flags, size, id 7, numFields 0)
 * and pseudo-random payload. */
Bytes RawMessage(size_t size, uint16_t flags = 0, unsigned seed = 1)
{
   Bytes raw(size);
   std::mt19937 random(seed);
   for (uint8_t &b : raw)
      b = uint8_t(random());
   raw[0] = 0x12;
   raw[1] = 0x34;
   raw[2] = uint8_t(flags >> 8);
   raw[3] = uint8_t(flags);
   PutBE32(&raw[4], uint32_t(size));
   PutBE32(&raw[8], 7);
   PutBE32(&raw[12], 0);
   return raw;
}

struct ContextRelease
{
   void operator()(QVCPEncryptionContext *ctx) const { ctx->decRefCount(); }
};
typedef std::unique_ptr<QVCPEncryptionContext, ContextRelease> ContextPtr;

/* The ids of the ciphers this platform can set up; at least the AES pair and 3DES. */
std::vector<int> AvailableCiphers()
{
   std::vector<int> ids;
   for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
   {
      ContextPtr ctx(QVCPEncryptionContext::create(1u << id));
      if (ctx != nullptr)
         ids.push_back(id);
   }
   return ids;
}

/* An envelope made by OpenSSL around any plaintext: the header, the CBC encryption under
 * the context's key and IV, zeros up to a multiple of 8. */
Bytes Seal(const QVCPEncryptionContext &ctx, const Bytes &plain)
{
   EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, ORACLE_CIPHERS[ctx.getCipher()], nullptr);
   EVP_CIPHER_CTX *evp = EVP_CIPHER_CTX_new();
   Bytes out(8 + plain.size() + 32);
   int n = 0, f = 0;
   EXPECT_EQ(EVP_EncryptInit_ex2(evp, cipher, nullptr, nullptr, nullptr), 1);
   EXPECT_EQ(EVP_CIPHER_CTX_set_key_length(evp, ctx.getKeyLength()), 1);
   EXPECT_EQ(EVP_EncryptInit_ex2(evp, nullptr, ctx.getSessionKey(), ctx.getIV(), nullptr), 1);
   EXPECT_EQ(EVP_EncryptUpdate(evp, &out[8], &n, plain.data(), int(plain.size())), 1);
   EXPECT_EQ(EVP_EncryptFinal_ex(evp, &out[8 + n], &f), 1);
   EVP_CIPHER_CTX_free(evp);
   EVP_CIPHER_free(cipher);

   size_t used = 8 + size_t(n + f);
   size_t padding = (8 - used % 8) % 8;
   out.resize(used + padding);
   memset(&out[used], 0, padding);
   out[0] = 0x00;
   out[1] = 0x83;
   out[2] = uint8_t(padding);
   out[3] = 0;
   PutBE32(&out[4], uint32_t(out.size()));
   return out;
}

/* The plaintext of an envelope: the CRC-32 of crcOf (of msg when null), four zero bytes
 * and the message. */
Bytes Plaintext(const Bytes &msg, const Bytes *crcOf = nullptr)
{
   const Bytes &covered = (crcOf != nullptr) ? *crcOf : msg;
   Bytes plain(8, 0);
   PutBE32(plain.data(), uint32_t(crc32(0, covered.data(), uInt(covered.size()))));
   plain.insert(plain.end(), msg.begin(), msg.end());
   return plain;
}

/* The envelope encryptMessage must produce. */
Bytes OracleEnvelope(const QVCPEncryptionContext &ctx, const Bytes &msg)
{
   return Seal(ctx, Plaintext(msg));
}

/* encryptMessage's result as bytes (its size from its header). */
Bytes Encrypt(QVCPEncryptionContext *ctx, const Bytes &msg)
{
   Bytes copy(msg);
   QVCP_ENCRYPTED_MESSAGE *env = ctx->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(copy.data()));
   EXPECT_NE(env, nullptr);
   if (env == nullptr)
      return Bytes();
   const uint8_t *p = reinterpret_cast<const uint8_t *>(env);
   Bytes out(p, p + BE32(p + 4));
   free(env);
   return out;
}

/* Decrypts envelope bytes in a heap block of exactly their size (or of blockSize when
 * larger), with a scratch buffer of as many; the plain message on success, else empty. */
Bytes Decrypt(QVCPEncryptionContext *ctx, const Bytes &envelope, size_t blockSize = 0)
{
   size_t size = std::max(envelope.size(), blockSize);
   uint8_t *block = static_cast<uint8_t *>(malloc(size));
   uint8_t *scratch = static_cast<uint8_t *>(malloc(size));
   memcpy(block, envelope.data(), envelope.size());
   Bytes plain;
   if (ctx->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(block), scratch, size))
      plain.assign(block, block + BE32(block + 4));
   free(block);
   free(scratch);
   return plain;
}

TEST(EncryptionContext, CreatePicksByPreference)
{
   std::vector<int> available = AvailableCiphers();
   auto has = [&](int id) { return std::find(available.begin(), available.end(), id) != available.end(); };
   ASSERT_TRUE(has(QVCP_CIPHER_AES_256) && has(QVCP_CIPHER_AES_128) && has(QVCP_CIPHER_3DES));

   const struct
   {
      uint32_t mask;
      int expected;  // cipher id, -1 for none
   } cases[] = {
       {QVCP_ALL_CIPHERS, QVCP_CIPHER_AES_256},
       {0x30, QVCP_CIPHER_AES_128},
       {0x0C, has(QVCP_CIPHER_IDEA) ? QVCP_CIPHER_IDEA : QVCP_CIPHER_3DES},
       {0x2A, has(QVCP_CIPHER_BLOWFISH_256) ? QVCP_CIPHER_BLOWFISH_256 : QVCP_CIPHER_3DES},
       {0x08, QVCP_CIPHER_3DES},
       {0, -1},
       {0xC0, -1},  // bits of no cipher
   };
   for (const auto &c : cases)
   {
      ContextPtr ctx(QVCPEncryptionContext::create(c.mask));
      if (c.expected < 0)
      {
         EXPECT_EQ(ctx, nullptr) << c.mask;
         continue;
      }
      ASSERT_NE(ctx, nullptr) << c.mask;
      EXPECT_EQ(ctx->getCipher(), c.expected) << c.mask;
      EXPECT_EQ(ctx->getKeyLength(), KEY_LENGTHS[c.expected]) << c.mask;
   }
}

TEST(EncryptionContext, EnvelopeMatchesOracleForEveryCipherAndSize)
{
   for (int id : AvailableCiphers())
   {
      ContextPtr ctx(QVCPEncryptionContext::create(1u << id));
      ASSERT_NE(ctx, nullptr);
      for (size_t size : {16, 24, 32, 40, 56, 64, 100, 1000, 4096, 65536 + 8})
      {
         Bytes msg = RawMessage(size, 0, unsigned(size));
         Bytes expected = OracleEnvelope(*ctx, msg);
         // Twice: every message starts again from the same IV.
         EXPECT_EQ(Encrypt(ctx.get(), msg), expected) << "cipher " << id << " size " << size;
         EXPECT_EQ(Encrypt(ctx.get(), msg), expected) << "cipher " << id << " size " << size;
         EXPECT_EQ(Decrypt(ctx.get(), expected), msg) << "cipher " << id << " size " << size;
      }
   }
}

TEST(EncryptionContext, EnvelopeOfThirtyTwoBytesUnderAes)
{
   ContextPtr ctx(QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256));
   ASSERT_NE(ctx, nullptr);
   Bytes env = Encrypt(ctx.get(), RawMessage(32));
   ASSERT_EQ(env.size(), 56u);
   EXPECT_EQ(Bytes(env.begin(), env.begin() + 8), Bytes({0x00, 0x83, 0, 0, 0, 0, 0, 56}));
}

TEST(EncryptionContext, DontEncryptGivesExactCopy)
{
   ContextPtr ctx(QVCPEncryptionContext::create(QVCP_ALL_CIPHERS));
   ASSERT_NE(ctx, nullptr);
   Bytes msg = RawMessage(40, QVCP_MF_DONT_ENCRYPT | QVCP_MF_BINARY);
   EXPECT_EQ(Encrypt(ctx.get(), msg), msg);
   Bytes small = RawMessage(16);
   PutBE32(&small[4], 12);  // a size below the header is no message
   EXPECT_EQ(ctx->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(small.data())), nullptr);
   EXPECT_EQ(QVCPEncryptMessage(nullptr, reinterpret_cast<QVCP_MESSAGE *>(msg.data())), nullptr);
}

TEST(EncryptionContext, DamagedEnvelopesFail)
{
   ContextPtr ctx(QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256));
   ASSERT_NE(ctx, nullptr);
   Bytes msg = RawMessage(200);
   Bytes env = Encrypt(ctx.get(), msg);
   ASSERT_EQ(Decrypt(ctx.get(), env), msg);

   // Every single changed ciphertext byte is caught.
   for (size_t i = 8; i < env.size(); i++)
   {
      Bytes bad(env);
      bad[i] ^= 0x01;
      EXPECT_TRUE(Decrypt(ctx.get(), bad).empty()) << "byte " << i;
   }

   // Header words from the peer that point outside the bytes: they must neither be
   // trusted nor give a negative length (ASan watches the exact-size blocks).
   auto patched = [&](uint8_t padding, uint32_t size) {
      Bytes bad(env);
      bad[2] = padding;
      PutBE32(&bad[4], size);
      return bad;
   };
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0xFF, uint32_t(env.size()))).empty());
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, 7)).empty());
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, 0)).empty());
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, uint32_t(env.size()) + 8)).empty());
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, 0xFFFFFFFF)).empty());
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, 8)).empty());  // header only
   // A shorter size cuts the ciphertext: the message is no longer all there.
   EXPECT_TRUE(Decrypt(ctx.get(), patched(0, uint32_t(env.size()) - 16)).empty());

   // A plain size beyond the bytes decrypted must not be made up from what an earlier
   // message left in the scratch buffer: after the envelope of an 80-byte message, one that
   // holds only its first 64 bytes (with the CRC of all 80, and a size word of 80 that is
   // still below the envelope's size) is refused.
   Bytes msg80 = RawMessage(80);
   Bytes full = Encrypt(ctx.get(), msg80);
   Bytes shortEnv = Seal(*ctx, Plaintext(Bytes(msg80.begin(), msg80.begin() + 64), &msg80));
   ASSERT_GT(shortEnv.size(), 80u);
   Bytes scratch(full.size());
   Bytes block(full);
   ASSERT_TRUE(
       ctx->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(block.data()), scratch.data(), block.size()));
   block = shortEnv;
   EXPECT_FALSE(
       ctx->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(block.data()), scratch.data(), block.size()));
}

TEST(EncryptionContext, DecryptInPlaceWithoutSizeAndNullContext)
{
   ContextPtr ctx(QVCPEncryptionContext::create(QVCP_ALL_CIPHERS));
   ASSERT_NE(ctx, nullptr);
   Bytes msg = RawMessage(24);
   Bytes env = Encrypt(ctx.get(), msg);
   Bytes scratch(env.size());
   ASSERT_TRUE(QVCPDecryptMessage(ctx.get(), reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(env.data()), scratch.data()));
   EXPECT_EQ(Bytes(env.begin(), env.begin() + 24), msg);
   EXPECT_FALSE(QVCPDecryptMessage(nullptr, reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(env.data()), scratch.data()));
}

}  // namespace
