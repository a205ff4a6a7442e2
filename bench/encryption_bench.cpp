/* The encrypted envelope ("Qorvel": encryptMessage and decryptMessage under AES-256) against
 * bare OpenSSL EVP AES-256-CBC over the same bytes (the 8-byte prefix and the message) with
 * the same key and IV ("Evp"), for a 64 KiB and a 320-byte message in the same run. EVP
 * restarts from the IV for each message and writes into a buffer made beforehand; the
 * envelope allocates its result, which is freed in the loop. Decryption overwrites the
 * envelope, so both sides first copy it into the block they decrypt. */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <stdlib.h>
#include <string.h>

#include <random>
#include <vector>

namespace {

// Message sizes compared: a file-transfer block and a typical request.
const size_t LARGE_MESSAGE = 64 * 1024;
const size_t SMALL_MESSAGE = 320;

// Seed of the messages' contents.
const unsigned DATA_SEED = 20261209;

// Bytes before the message in the plaintext (CRC-32 and four zero bytes).
const size_t PLAIN_PREFIX = 8;

// Room for the envelope's header, prefix, one block of padding and the alignment.
const size_t ENVELOPE_ROOM = 64;

/* The AES-256 context of the run, made once. */
QVCPEncryptionContext *Context()
{
   static QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(1u << QVCP_CIPHER_AES_256);
   return ctx;
}

/* A raw message of size bytes: header with its size word, then random bytes. */
std::vector<uint8_t> Message(size_t size)
{
   std::mt19937 random(DATA_SEED);
   std::vector<uint8_t> msg(size);
   for (uint8_t &b : msg)
      b = uint8_t(random());
   memset(msg.data(), 0, QVCP_HEADER_SIZE);
   msg[1] = 0x42;
   for (int i = 0; i < 4; i++)
      msg[4 + i] = uint8_t(size >> (24 - 8 * i));
   return msg;
}

size_t EnvelopeSize(const void *env)
{
   const uint8_t *p = static_cast<const uint8_t *>(env);
   return (size_t(p[4]) << 24) | (size_t(p[5]) << 16) | (size_t(p[6]) << 8) | p[7];
}

/* An EVP context keyed like the envelope's, for encryption or decryption. */
EVP_CIPHER_CTX *EvpContext(bool encrypt)
{
   EVP_CIPHER_CTX *evp = EVP_CIPHER_CTX_new();
   EVP_CIPHER *cipher = EVP_CIPHER_fetch(nullptr, "AES-256-CBC", nullptr);
   EVP_CipherInit_ex2(evp, cipher, Context()->getSessionKey(), Context()->getIV(), encrypt ? 1 : 0, nullptr);
   EVP_CIPHER_free(cipher);
   return evp;
}

void SetBytes(benchmark::State &state, size_t size)
{
   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void EncryptQorvel(benchmark::State &state)
{
   std::vector<uint8_t> msg = Message(size_t(state.range(0)));
   for (auto _ : state)
   {
      QVCP_ENCRYPTED_MESSAGE *env = Context()->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(msg.data()));
      benchmark::DoNotOptimize(env);
      free(env);
   }
   SetBytes(state, msg.size());
}

void EncryptEvp(benchmark::State &state)
{
   std::vector<uint8_t> msg = Message(size_t(state.range(0)));
   std::vector<uint8_t> plain(PLAIN_PREFIX, 0);
   plain.insert(plain.end(), msg.begin(), msg.end());
   std::vector<uint8_t> out(plain.size() + ENVELOPE_ROOM);
   EVP_CIPHER_CTX *evp = EvpContext(true);
   for (auto _ : state)
   {
      int n = 0, f = 0;
      EVP_EncryptInit_ex2(evp, nullptr, nullptr, Context()->getIV(), nullptr);
      EVP_EncryptUpdate(evp, out.data(), &n, plain.data(), int(plain.size()));
      EVP_EncryptFinal_ex(evp, out.data() + n, &f);
      benchmark::DoNotOptimize(out.data());
   }
   EVP_CIPHER_CTX_free(evp);
   SetBytes(state, msg.size());
}

/* The envelope of the benchmark's message and a block and scratch buffer of its size. */
struct DecryptSetup
{
   std::vector<uint8_t> envelope, block, scratch;

   explicit DecryptSetup(size_t size)
   {
      std::vector<uint8_t> msg = Message(size);
      QVCP_ENCRYPTED_MESSAGE *env = Context()->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(msg.data()));
      const uint8_t *p = reinterpret_cast<const uint8_t *>(env);
      envelope.assign(p, p + EnvelopeSize(env));
      free(env);
      block.resize(envelope.size());
      scratch.resize(envelope.size());
   }
};

void DecryptQorvel(benchmark::State &state)
{
   DecryptSetup s(size_t(state.range(0)));
   for (auto _ : state)
   {
      memcpy(s.block.data(), s.envelope.data(), s.envelope.size());
      bool ok = Context()->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(s.block.data()), s.scratch.data(),
                                          s.block.size());
      benchmark::DoNotOptimize(ok);
   }
   SetBytes(state, size_t(state.range(0)));
}

void DecryptEvp(benchmark::State &state)
{
   DecryptSetup s(size_t(state.range(0)));
   EVP_CIPHER_CTX *evp = EvpContext(false);
   int cipherLength = int(s.envelope.size() - QVCP_ENCRYPTED_HEADER_SIZE - s.envelope[2]);
   for (auto _ : state)
   {
      memcpy(s.block.data(), s.envelope.data(), s.envelope.size());
      int n = 0, f = 0;
      EVP_DecryptInit_ex2(evp, nullptr, nullptr, Context()->getIV(), nullptr);
      EVP_DecryptUpdate(evp, s.scratch.data(), &n, s.block.data() + QVCP_ENCRYPTED_HEADER_SIZE, cipherLength);
      EVP_DecryptFinal_ex(evp, s.scratch.data() + n, &f);
      benchmark::DoNotOptimize(s.scratch.data());
   }
   EVP_CIPHER_CTX_free(evp);
   SetBytes(state, size_t(state.range(0)));
}

}  // namespace

BENCHMARK(EncryptQorvel)->Arg(LARGE_MESSAGE)->Arg(SMALL_MESSAGE);
BENCHMARK(EncryptEvp)->Arg(LARGE_MESSAGE)->Arg(SMALL_MESSAGE);
BENCHMARK(DecryptQorvel)->Arg(LARGE_MESSAGE)->Arg(SMALL_MESSAGE);
BENCHMARK(DecryptEvp)->Arg(LARGE_MESSAGE)->Arg(SMALL_MESSAGE);
