/* Session encryption: the envelope byte for byte against OpenSSL and zlib for every cipher
 * the platform has, damaged and forged envelopes, the key exchange between two peers in
 * this process, cipher validation, the RSA key file and signing. */
#include <qorvel.h>

#include "support/debug_capture.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <zlib.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

using qvtest::DebugLinesOf;

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
   // The header on its own: 32 bytes under AES give 48 of ciphertext, size 56, no padding.
   ContextPtr aes(QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256));
   Bytes env = Encrypt(aes.get(), RawMessage(32));
   EXPECT_EQ(Bytes(env.begin(), env.begin() + 8), Bytes({0x00, 0x83, 0, 0, 0, 0, 0, 56}));
   EXPECT_EQ(env.size(), 56u);
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
   // 8 + 192 bytes of plaintext: the last block holds message bytes, so a change anywhere
   // reaches the CRC (a last block of padding only is checked by its padding, which a
   // changed byte leaves valid once in about 256 tries).
   Bytes msg = RawMessage(192);
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

/* The test program's one RSA key pair (generation is slow). Asked for fewer bits than the
 * minimum, so it must come out at 2048. */
RSA_KEY SharedKey()
{
   static RSA_KEY key = RSAGenerateKey(1024);
   return key;
}

typedef std::unique_ptr<QVCPMessage> MessagePtr;

/* The message as the peer receives it: serialized and parsed again. */
MessagePtr OverTheWire(const QVCPMessage &msg)
{
   QVCP_MESSAGE *raw = msg.serialize();
   MessagePtr copy(QVCPMessage::deserialize(raw, msg.getProtocolVersion()));
   free(raw);
   return copy;
}

/* A session key request from the shared key, offering ciphers. */
MessagePtr KeyRequest(uint32_t ciphers, bool x509 = false)
{
   QVCPMessage msg(0x1234, 77);
   PrepareKeyRequestMsg(&msg, SharedKey(), x509);
   msg.setField(uint32_t(122), ciphers);
   return OverTheWire(msg);
}

/* The responder's reply to a request (its result in *result), as the requester gets it. */
MessagePtr Respond(const QVCPMessage &request, uint32_t *result, ContextPtr *context = nullptr)
{
   QVCPEncryptionContext *ctx = nullptr;
   QVCPMessage *reply = nullptr;
   *result = SetupEncryptionContext(const_cast<QVCPMessage *>(&request), &ctx, &reply, nullptr, 3);
   EXPECT_EQ(ctx != nullptr, *result == 0);
   if (context != nullptr)
      context->reset(ctx);
   else if (ctx != nullptr)
      ctx->decRefCount();
   EXPECT_NE(reply, nullptr);
   MessagePtr owned(reply);
   EXPECT_EQ(reply->getCode(), CMD_SESSION_KEY);
   EXPECT_EQ(reply->getId(), 77u);
   EXPECT_EQ(reply->getProtocolVersion(), 3);
   EXPECT_NE(reply->getFlags() & QVCP_MF_DONT_ENCRYPT, 0);
   return OverTheWire(*reply);
}

/* The requester's side of a reply. */
uint32_t Accept(const QVCPMessage &reply, ContextPtr *context)
{
   QVCPEncryptionContext *ctx = nullptr;
   uint32_t result = SetupEncryptionContext(const_cast<QVCPMessage *>(&reply), &ctx, nullptr, SharedKey(), 4);
   context->reset(ctx);
   EXPECT_EQ(ctx != nullptr, result == 0);
   return result;
}

Bytes FieldIds(const QVCPMessage &msg)
{
   uint32_t ids[16];
   size_t n = msg.getFieldIds(ids, 16);
   Bytes list;
   for (size_t i = 0; i < n && i < 16; i++)
      list.push_back(uint8_t(ids[i]));
   return list;
}

TEST(KeyExchange, RequestCarriesCiphersAndPublicKey)
{
   ASSERT_NE(SharedKey(), nullptr);
   EXPECT_EQ(EVP_PKEY_get_bits(SharedKey()), 2048);
   for (bool x509 : {false, true})
   {
      QVCPMessage msg(0x1234, 9);
      msg.disableEncryption();
      PrepareKeyRequestMsg(&msg, SharedKey(), x509);
      uint8_t *der = nullptr;
      int length = x509 ? i2d_PUBKEY(SharedKey(), &der) : i2d_PublicKey(SharedKey(), &der);
      size_t size = 0;
      const uint8_t *field = msg.getBinaryFieldPtr(154, &size);
      ASSERT_NE(field, nullptr);
      EXPECT_EQ(Bytes(field, field + size), Bytes(der, der + length));
      OPENSSL_free(der);
      EXPECT_EQ(msg.getCode(), CMD_REQUEST_SESSION_KEY);
      EXPECT_EQ(msg.getId(), 9u);
      EXPECT_EQ(msg.getFlags(), QVCP_MF_DONT_ENCRYPT);
      EXPECT_EQ(msg.getFieldType(122), QVCP_FT_INT32);
      EXPECT_EQ(msg.getFieldAsUInt32(122), QVCPGetSupportedCiphers());
   }
}

TEST(KeyExchange, PeersAgreeForEveryCipherAndExchangeMessages)
{
   for (int id : AvailableCiphers())
   {
      uint32_t result;
      ContextPtr responder, requester;
      MessagePtr reply = Respond(*KeyRequest(1u << id, id % 2 == 1), &result, &responder);
      ASSERT_EQ(result, 0u) << id;
      EXPECT_EQ(FieldIds(*reply), Bytes({28, 155, 157, 158, 238, 156}));
      ASSERT_EQ(Accept(*reply, &requester), 0u) << id;
      ASSERT_EQ(requester->getCipher(), id);
      ASSERT_EQ(requester->getKeyLength(), KEY_LENGTHS[id]);
      EXPECT_EQ(Bytes(requester->getSessionKey(), requester->getSessionKey() + KEY_LENGTHS[id]),
                Bytes(responder->getSessionKey(), responder->getSessionKey() + KEY_LENGTHS[id]));

      // Messages of many sizes both ways; each must come back field for field.
      for (size_t length : {0, 1, 7, 8, 9, 100, 1000, 70000})
      {
         QVCPMessage msg(0x0042, uint32_t(length));
         msg.setField(1, std::wstring(length % 97, L'x').c_str());
         msg.setField(2, Bytes(length, uint8_t(id)).data(), length);
         QVCP_MESSAGE *raw = msg.serialize(true);
         QVCPEncryptionContext *sender = (length % 2 == 0) ? requester.get() : responder.get();
         QVCPEncryptionContext *receiver = (sender == requester.get()) ? responder.get() : requester.get();
         Bytes env =
             Encrypt(sender, Bytes(reinterpret_cast<uint8_t *>(raw),
                                   reinterpret_cast<uint8_t *>(raw) + BE32(reinterpret_cast<uint8_t *>(raw) + 4)));
         free(raw);
         Bytes plain = Decrypt(receiver, env);
         ASSERT_FALSE(plain.empty()) << id << " " << length;
         MessagePtr back(QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(plain.data()), plain.size(), 4));
         ASSERT_NE(back, nullptr);
         size_t size = 0;
         const uint8_t *data = back->getBinaryFieldPtr(2, &size);
         EXPECT_EQ(size, length);
         EXPECT_EQ(Bytes(data, data + size), Bytes(length, uint8_t(id)));
      }
   }
}

TEST(KeyExchange, ResultCodes)
{
   uint32_t result;
   // No cipher in common: the reply carries only the result, which the requester gets.
   MessagePtr reply = Respond(*KeyRequest(0xC0), &result);
   EXPECT_EQ(result, 42u);
   EXPECT_EQ(FieldIds(*reply), Bytes({28}));
   ContextPtr ctx;
   EXPECT_EQ(Accept(*reply, &ctx), 42u);

   // The requester's key missing or unreadable.
   MessagePtr noKey(new QVCPMessage(CMD_REQUEST_SESSION_KEY, 77));
   noKey->setField(uint32_t(122), uint32_t(QVCP_ALL_CIPHERS));
   reply = Respond(*noKey, &result);
   EXPECT_EQ(result, 43u);
   EXPECT_EQ(FieldIds(*reply), Bytes({28}));
   EXPECT_EQ(reply->getFieldAsUInt32(28), 43u);
   noKey->setField(154, Bytes(300, 0x30).data(), 300);
   Respond(*noKey, &result);
   EXPECT_EQ(result, 43u);

   // A key too short to carry the session key under RSA-OAEP: no context for it.
   EVP_PKEY *tiny = EVP_RSA_gen(512);
   QVCPMessage tinyRequest(0x1234, 77);
   PrepareKeyRequestMsg(&tinyRequest, tiny, false);
   reply = Respond(*OverTheWire(tinyRequest), &result);
   EXPECT_EQ(result, 98u);
   EXPECT_EQ(FieldIds(*reply), Bytes({28}));
   EVP_PKEY_free(tiny);

   // A peer's own failure code is passed on; other messages are no key exchange.
   QVCPMessage failed(CMD_SESSION_KEY, 77);
   failed.setField(uint32_t(28), uint32_t(77));
   EXPECT_EQ(Accept(failed, &ctx), 77u);
   QVCPMessage other(0x0003, 77);
   EXPECT_EQ(Accept(other, &ctx), 28u);
   EXPECT_EQ(SetupEncryptionContext(nullptr, nullptr, nullptr, nullptr, 4), 28u);
}

TEST(KeyExchange, BadRepliesAreRefusedWithTheirReason)
{
   uint32_t result;
   MessagePtr good = Respond(*KeyRequest(1u << QVCP_CIPHER_AES_256), &result);
   ASSERT_EQ(result, 0u);
   size_t size = 0;
   const uint8_t *p = good->getBinaryFieldPtr(155, &size);
   Bytes flippedKey(p, p + size);
   flippedKey[size / 2] ^= 1;
   Bytes longKey(flippedKey);
   longKey.resize(9000, 0x5A);  // far beyond what is looked at

   const struct
   {
      uint32_t fieldId;
      int type;             // QVCP_FT_INT16, or QVCP_FT_BINARY for a key field
      uint16_t value;       // INT16 value, or 0 for the flipped key and 1 for the long one
      const wchar_t *line;  // null: accepted
   } cases[] = {
       {156, QVCP_FT_INT16, 9, L"QVCPEncryptionContext::create: initCipher(9) call failed"},
       {157, QVCP_FT_INT16, 16, L"QVCPEncryptionContext::create: key length mismatch (remote: 16 local: 32)"},
       {155, QVCP_FT_BINARY, 0, L"QVCPEncryptionContext::create: session key decryption failed"},
       {155, QVCP_FT_BINARY, 1, L"QVCPEncryptionContext::create: session key decryption failed"},
       {238, QVCP_FT_INT16, 17, L"QVCPEncryptionContext::create: IV decryption failed"},
       {238, QVCP_FT_INT16, 8, L"QVCPEncryptionContext::create: IV decryption failed"},
       {238, QVCP_FT_INT16, 0, nullptr},  // 0 stands for 16
   };
   for (const auto &c : cases)
   {
      QVCPMessage reply(good.get());
      if (c.type == QVCP_FT_BINARY)
         reply.setField(c.fieldId, (c.value ? longKey : flippedKey).data(), (c.value ? longKey : flippedKey).size());
      else
         reply.setField(c.fieldId, c.value);
      ContextPtr ctx;
      std::vector<std::wstring> lines = DebugLinesOf(6, [&] { result = Accept(reply, &ctx); });
      EXPECT_EQ(result, c.line ? 44u : 0u) << c.fieldId;
      EXPECT_EQ(lines, c.line ? std::vector<std::wstring>({c.line}) : std::vector<std::wstring>()) << c.fieldId;
   }
}

TEST(EncryptionContext, ThreadsEncryptingAtOnceGetWholeEnvelopes)
{
   ContextPtr ctx(QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256));
   ASSERT_NE(ctx, nullptr);
   const int THREADS = 4, ROUNDS = 200;
   std::vector<Bytes> messages, expected;
   for (int t = 0; t < THREADS; t++)
   {
      messages.push_back(RawMessage(64 + 48 * size_t(t), 0, unsigned(t)));
      expected.push_back(OracleEnvelope(*ctx, messages.back()));
   }
   std::atomic<int> ready(0), wrong(0);
   std::vector<std::thread> threads;
   for (int t = 0; t < THREADS; t++)
      threads.emplace_back([&, t] {
         ready++;
         while (ready.load() < THREADS)
            std::this_thread::yield();
         for (int r = 0; r < ROUNDS; r++)
            if (Encrypt(ctx.get(), messages[size_t(t)]) != expected[size_t(t)])
               wrong++;
      });
   for (std::thread &t : threads)
      t.join();
   EXPECT_EQ(wrong.load(), 0);
}

/* InitCryptoLib(0x11) in a fresh process: its lines, mask and text, and a responder that
 * no longer takes 3DES. The exit code tells whether all held. */
int NarrowedValidation()
{
   std::vector<std::wstring> lines = DebugLinesOf(1, [] { InitCryptoLib(0x11); });
   std::vector<std::wstring> expected = {L"Validating ciphers",
                                         L"   AES-256 enabled",
                                         L"   Blowfish-256 disabled (config)",
                                         L"   IDEA disabled (config)",
                                         L"   3DES disabled (config)",
                                         L"   AES-128 enabled",
                                         L"   Blowfish-128 disabled (config)",
                                         L"Crypto library initialized"};
   uint32_t result;
   Respond(*KeyRequest(0x08), &result);
   bool ok = lines == expected && QVCPGetSupportedCiphers() == 0x11 &&
             std::wstring(QVCPGetSupportedCiphersAsText()) == L"AES-256, AES-128" && result == 42;
   return ok ? 0 : 1;
}

TEST(InitCryptoLib, ValidationLinesAndNarrowedMask)
{
   // In a child, since the mask only ever narrows; started afresh rather than forked, as
   // the process may have threads (the sanitizers' among them).
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   EXPECT_EXIT(exit(NarrowedValidation()), ::testing::ExitedWithCode(0), "");

   // Everything: what this platform lacks is disabled by validation.
   std::vector<int> available = AvailableCiphers();
   std::vector<std::wstring> lines = DebugLinesOf(1, [] { InitCryptoLib(QVCP_ALL_CIPHERS); });
   const wchar_t *names[] = {L"AES-256", L"Blowfish-256", L"IDEA", L"3DES", L"AES-128", L"Blowfish-128"};
   uint32_t mask = 0;
   std::wstring text;
   ASSERT_EQ(lines.size(), 8u);
   for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
   {
      bool has = std::find(available.begin(), available.end(), id) != available.end();
      EXPECT_EQ(lines[size_t(id) + 1],
                std::wstring(L"   ") + names[id] + (has ? L" enabled" : L" disabled (validation failed)"));
      if (has)
      {
         mask |= 1u << id;
         text += (text.empty() ? L"" : L", ") + std::wstring(names[id]);
      }
   }
   EXPECT_EQ(QVCPGetSupportedCiphers(), mask);
   EXPECT_EQ(std::wstring(QVCPGetSupportedCiphersAsText()), text);
}

class KeyFile : public ::testing::Test
{
protected:
   std::filesystem::path m_dir;

   void SetUp() override
   {
      m_dir = std::filesystem::temp_directory_path() / ("qv_key_file_" + std::to_string(std::random_device()()));
      std::filesystem::create_directories(m_dir);
   }
   void TearDown() override { std::filesystem::remove_all(m_dir); }

   std::wstring Write(const char *name, const Bytes &content)
   {
      std::filesystem::path path = m_dir / name;
      FILE *f = fopen(path.c_str(), "wb");
      if (!content.empty())
         fwrite(content.data(), 1, content.size(), f);
      fclose(f);
      return path.wstring();
   }
};

TEST_F(KeyFile, SavedFileHasTheLayoutAndLoadsBack)
{
   std::wstring name = (m_dir / "keys").wstring();
   ASSERT_TRUE(SaveRSAKeys(SharedKey(), name.c_str()));
   EXPECT_EQ(std::filesystem::status(m_dir / "keys").permissions() & std::filesystem::perms::all,
             std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
   RSA_KEY loaded = LoadRSAKeys(name.c_str());
   ASSERT_NE(loaded, nullptr);
   EXPECT_EQ(EVP_PKEY_eq(loaded, SharedKey()), 1);
   RSAFree(loaded);

   FILE *f = fopen((m_dir / "keys").c_str(), "rb");
   Bytes file(12000);
   file.resize(fread(file.data(), 1, file.size(), f));
   fclose(f);
   uint8_t *pub = nullptr;
   int pubLength = i2d_PublicKey(SharedKey(), &pub);
   size_t length = file[0] | (file[1] << 8) | (size_t(file[2]) << 16) | (size_t(file[3]) << 24);
   ASSERT_EQ(file.size(), 4 + length + 20);
   EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 4 + pubLength), Bytes(pub, pub + pubLength));
   OPENSSL_free(pub);
   // PKCS#1 RSAPrivateKey: SEQUENCE, INTEGER version 0, then the modulus INTEGER.
   const uint8_t *priv = &file[4 + size_t(pubLength)];
   EXPECT_EQ(priv[0], 0x30);
   EXPECT_EQ(Bytes(priv + 4, priv + 8), Bytes({0x02, 0x01, 0x00, 0x02}));
   uint8_t digest[SHA1_DIGEST_SIZE];
   CalculateSHA1Hash(&file[4], int(length), digest);
   EXPECT_EQ(Bytes(file.end() - 20, file.end()), Bytes(digest, digest + 20));

   // Damaged forms of the same file.
   auto withDigest = [](Bytes data) {
      uint8_t d[SHA1_DIGEST_SIZE];
      CalculateSHA1Hash(data.data() + 4, int(data.size() - 4), d);
      data.insert(data.end(), d, d + SHA1_DIGEST_SIZE);
      return data;
   };
   Bytes keyOnly(file.begin(), file.begin() + 4 + pubLength);  // public part, length fixed below
   keyOnly[0] = uint8_t(pubLength);
   keyOnly[1] = uint8_t(pubLength >> 8);
   Bytes flipped(file);
   flipped[100] ^= 1;
   Bytes tooLong = {0x00, 0x28, 0x00, 0x00};  // 10240
   tooLong.resize(4 + 10240 + 20, 0);
   const struct
   {
      const char *name;
      Bytes content;
   } bad[] = {
       {"empty", Bytes()},
       {"short_length", Bytes({1, 0, 0})},
       {"cut_data", Bytes(file.begin(), file.begin() + 200)},
       {"cut_digest", Bytes(file.begin(), file.end() - 1)},
       {"flipped", flipped},
       {"length_10240", tooLong},
       {"length_max", Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
       {"public_only", withDigest(keyOnly)},
       {"garbage_sealed", withDigest(Bytes({5, 0, 0, 0, 1, 2, 3, 4, 5}))},
   };
   for (const auto &c : bad)
      EXPECT_EQ(LoadRSAKeys(Write(c.name, c.content).c_str()), nullptr) << c.name;
   EXPECT_EQ(LoadRSAKeys((m_dir / "missing").wstring().c_str()), nullptr);

   RSA_KEY publicOnly = RSAKeyFromData(&file[4], size_t(pubLength), false);
   ASSERT_NE(publicOnly, nullptr);
   EXPECT_FALSE(SaveRSAKeys(publicOnly, (m_dir / "pub").wstring().c_str()));
   RSAFree(publicOnly);
}

TEST(RsaHelpers, SigningRandomAndErrorTexts)
{
   // A self-signed certificate of the shared key; SHA-1 signatures verify with it.
   X509 *cert = X509_new();
   X509_set_pubkey(cert, SharedKey());
   ASSERT_GT(X509_sign(cert, SharedKey(), EVP_sha256()), 0);
   CERT_CONTEXT context = {cert, SharedKey()};
   const uint8_t data[] = "data to sign";
   uint8_t signature[512];
   uint32_t length = 0;
   ASSERT_TRUE(SignMessageWithCAPI(data, sizeof(data), &context, signature, sizeof(signature), &length));
   EXPECT_EQ(length, 256u);
   EVP_MD_CTX *md = EVP_MD_CTX_new();
   EXPECT_EQ(EVP_DigestVerifyInit(md, nullptr, EVP_sha1(), nullptr, SharedKey()), 1);
   EXPECT_EQ(EVP_DigestVerify(md, signature, length, data, sizeof(data)), 1);
   EVP_MD_CTX_free(md);
   EXPECT_FALSE(SignMessageWithCAPI(data, sizeof(data), &context, signature, 255, &length));
   EVP_PKEY *other = EVP_EC_gen("P-256");
   CERT_CONTEXT mismatched = {cert, other};
   EXPECT_FALSE(SignMessageWithCAPI(data, sizeof(data), &mismatched, signature, sizeof(signature), &length));
   EVP_PKEY_free(other);
   X509_free(cert);

   EXPECT_EQ(RSAGenerateKey(16385), nullptr);
   uint8_t a[32] = {}, b[32] = {};
   EXPECT_EQ(GenerateRandomBytes(a, sizeof(a)), 1);
   EXPECT_EQ(GenerateRandomBytes(b, sizeof(b)), 1);
   EXPECT_NE(Bytes(a, a + 32), Bytes(b, b + 32));

   // Two entries in OpenSSL's queue: both logged, then the queue is empty.
   ERR_put_error(ERR_LIB_EVP, 0, ERR_R_MALLOC_FAILURE, __FILE__, __LINE__);
   ERR_put_error(ERR_LIB_RSA, 0, ERR_R_PASSED_NULL_PARAMETER, __FILE__, __LINE__);
   unsigned long code = ERR_peek_error();
   wchar_t wide[256];
   char narrow[256];
   ERR_error_string_n(code, narrow, sizeof(narrow));
   EXPECT_EQ(std::wstring(ERR_error_string_W(code, wide)), std::wstring(narrow, narrow + strlen(narrow)));
   std::vector<std::wstring> lines = DebugLinesOf(3, [] { LogOpenSSLErrorStack(3); });
   ASSERT_EQ(lines.size(), 3u);
   EXPECT_EQ(lines[0], L"OpenSSL error stack:");
   EXPECT_EQ(lines[1], L"   " + std::wstring(narrow, narrow + strlen(narrow)));
   EXPECT_EQ(ERR_peek_error(), 0u);
}

}  // namespace
