/* The library's CRC-32, MD5, SHA-1 and SHA-256 against zlib's crc32 and OpenSSL's digests on
 * the same 16 KiB buffer in the same run, on the processor's instructions ("Qorvel") and on
 * the portable code ("QorvelPortable"). */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

// Bytes hashed per iteration.
const size_t BUFFER_SIZE = 16 * 1024;

// Seed of the buffer's contents.
const unsigned DATA_SEED = 20240611;

const std::vector<uint8_t> &Buffer()
{
   static const std::vector<uint8_t> buffer = [] {
      std::mt19937 random(DATA_SEED);
      std::vector<uint8_t> b(BUFFER_SIZE);
      for (uint8_t &x : b)
         x = uint8_t(random());
      return b;
   }();
   return buffer;
}

/* Runs fn over the buffer on the chosen path of the library; the peers ignore the switch. */
template <typename Fn> void RunOverBuffer(benchmark::State &state, bool portable, Fn fn)
{
   const std::vector<uint8_t> &buffer = Buffer();
   CryptoForcePortableHashes(portable);
   for (auto _ : state)
      fn(buffer.data(), buffer.size());
   CryptoForcePortableHashes(false);
   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(buffer.size()));
}

void Crc32Qorvel(benchmark::State &state, bool portable)
{
   RunOverBuffer(state, portable, [](const uint8_t *data, size_t size) {
      benchmark::DoNotOptimize(CalculateCRC32(data, int(size), 0));
   });
}

void Crc32Zlib(benchmark::State &state)
{
   RunOverBuffer(state, false,
                 [](const uint8_t *data, size_t size) { benchmark::DoNotOptimize(crc32(0, data, uInt(size))); });
}

void DigestQorvel(benchmark::State &state, void (*hash)(const uint8_t *, int, uint8_t *), bool portable)
{
   RunOverBuffer(state, portable, [hash](const uint8_t *data, size_t size) {
      uint8_t digest[SHA256_DIGEST_SIZE];
      hash(data, int(size), digest);
      benchmark::DoNotOptimize(digest);
   });
}

void DigestOpenSSL(benchmark::State &state, const EVP_MD *(*md)())
{
   const EVP_MD *type = md();
   RunOverBuffer(state, false, [type](const uint8_t *data, size_t size) {
      uint8_t digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_Digest(data, size, digest, &length, type, nullptr);
      benchmark::DoNotOptimize(digest);
   });
}

BENCHMARK_CAPTURE(Crc32Qorvel, Qorvel, false);
BENCHMARK_CAPTURE(Crc32Qorvel, QorvelPortable, true);
BENCHMARK(Crc32Zlib);
BENCHMARK_CAPTURE(DigestQorvel, MD5_Qorvel, CalculateMD5Hash, false);
BENCHMARK_CAPTURE(DigestOpenSSL, MD5_OpenSSL, EVP_md5);
BENCHMARK_CAPTURE(DigestQorvel, SHA1_Qorvel, CalculateSHA1Hash, false);
BENCHMARK_CAPTURE(DigestQorvel, SHA1_QorvelPortable, CalculateSHA1Hash, true);
BENCHMARK_CAPTURE(DigestOpenSSL, SHA1_OpenSSL, EVP_sha1);
BENCHMARK_CAPTURE(DigestQorvel, SHA256_Qorvel, CalculateSHA256Hash, false);
BENCHMARK_CAPTURE(DigestQorvel, SHA256_QorvelPortable, CalculateSHA256Hash, true);
BENCHMARK_CAPTURE(DigestOpenSSL, SHA256_OpenSSL, EVP_sha256);

}  // namespace
