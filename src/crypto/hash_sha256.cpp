/* SHA-256: the block function in plain code and with the SHA extensions, the incremental
 * interface, and the one-shot and file digests. */
#include "crypto/hash_internal.h"

#include <utility>

#ifdef QV_HASH_X86
#include <immintrin.h>
#endif

namespace qv::crypto {
namespace {

/* Initial chaining values: the first 32 bits of the fractional parts of the square roots of
 * the first eight primes. */
constexpr uint32_t SHA256_INIT[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                     0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr int SHA256_ROUNDS = 64;

/* Round constants: the same of the cube roots of the first 64 primes. */
alignas(16) constexpr uint32_t SHA256_K[SHA256_ROUNDS] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

}  // namespace

void Sha256BlocksPortable(uint32_t *chain, const uint8_t *data, size_t blocks)
{
   for (; blocks > 0; blocks--, data += HASH_BLOCK_SIZE)
   {
      uint32_t w[16];
      for (int i = 0; i < 16; i++)
         w[i] = LoadBE32(data + 4 * i);
      uint32_t v[8];
      memcpy(v, chain, sizeof(v));
#pragma GCC unroll 64
      for (int t = 0; t < SHA256_ROUNDS; t++)
      {
         if (t >= 16)
         {
            uint32_t w15 = w[(t - 15) & 15], w2 = w[(t - 2) & 15];
            uint32_t s0 = RotateRight(w15, 7) ^ RotateRight(w15, 18) ^ (w15 >> 3);
            uint32_t s1 = RotateRight(w2, 17) ^ RotateRight(w2, 19) ^ (w2 >> 10);
            w[t & 15] += s0 + w[(t - 7) & 15] + s1;
         }
         uint32_t a = v[0], e = v[4];
         uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
         uint32_t choose = ((v[5] ^ v[6]) & e) ^ v[6];
         uint32_t t1 = v[7] + sum1 + choose + SHA256_K[t] + w[t & 15];
         uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
         uint32_t majority = (a & v[1]) | ((a | v[1]) & v[2]);
         v[7] = v[6];
         v[6] = v[5];
         v[5] = v[4];
         v[4] = v[3] + t1;
         v[3] = v[2];
         v[2] = v[1];
         v[1] = v[0];
         v[0] = t1 + sum0 + majority;
      }
      for (int i = 0; i < 8; i++)
         chain[i] += v[i];
   }
}

#ifdef QV_HASH_X86
namespace {

#define QV_SHA_TARGET __attribute__((target("sha,sse4.1"), always_inline))

/* Working registers of one block: the state as ABEF and CDGH, and the four message vectors
 * of the rolling schedule. */
struct Sha256Vectors
{
   __m128i abef;
   __m128i cdgh;
   __m128i m[4];
};

/* Four rounds G (0..15) with message vector W[G] = words 4G..4G+3, and the schedule steps that
 * can run beside them: W[G+1] completed and the first half of W[G+3]. */
template <int G> QV_SHA_TARGET inline void Sha256Group(Sha256Vectors &v, const uint8_t *data)
{
   const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bll, 0x0405060700010203ll);
   __m128i &w = v.m[G % 4];
   if constexpr (G < 4)
      w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * G)), byteSwap);
   __m128i wk = _mm_add_epi32(w, _mm_load_si128(reinterpret_cast<const __m128i *>(SHA256_K + 4 * G)));
   v.cdgh = _mm_sha256rnds2_epu32(v.cdgh, v.abef, wk);
   if constexpr (G >= 3 && G <= 14)
   {
      __m128i &next = v.m[(G + 1) % 4];
      next = _mm_add_epi32(next, _mm_alignr_epi8(w, v.m[(G + 3) % 4], 4));
      next = _mm_sha256msg2_epu32(next, w);
   }
   v.abef = _mm_sha256rnds2_epu32(v.abef, v.cdgh, _mm_shuffle_epi32(wk, 0x0E));
   if constexpr (G >= 1 && G <= 12)
      v.m[(G + 3) % 4] = _mm_sha256msg1_epu32(v.m[(G + 3) % 4], w);
}

template <int... G>
QV_SHA_TARGET inline void Sha256AllGroups(Sha256Vectors &v, const uint8_t *data, std::integer_sequence<int, G...>)
{
   (Sha256Group<G>(v, data), ...);
}

}  // namespace

__attribute__((target("sha,sse4.1"))) void Sha256BlocksShaNi(uint32_t *chain, const uint8_t *data, size_t blocks)
{
   /* Chaining words a..h to the ABEF and CDGH register order the instructions use. */
   __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(chain));
   __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(chain + 4));
   __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
   __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
   Sha256Vectors v;
   v.abef = _mm_alignr_epi8(cdab, efgh, 8);
   v.cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
   for (; blocks > 0; blocks--, data += HASH_BLOCK_SIZE)
   {
      __m128i abefSaved = v.abef, cdghSaved = v.cdgh;
      Sha256AllGroups(v, data, std::make_integer_sequence<int, SHA256_ROUNDS / 4>());
      v.abef = _mm_add_epi32(v.abef, abefSaved);
      v.cdgh = _mm_add_epi32(v.cdgh, cdghSaved);
   }
   __m128i feba = _mm_shuffle_epi32(v.abef, 0x1B);
   __m128i dchg = _mm_shuffle_epi32(v.cdgh, 0xB1);
   _mm_storeu_si128(reinterpret_cast<__m128i *>(chain), _mm_blend_epi16(feba, dchg, 0xF0));
   _mm_storeu_si128(reinterpret_cast<__m128i *>(chain + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace qv::crypto

using namespace qv::crypto;

QV_API void SHA256Init(SHA256State *state)
{
   DigestInit(state, SHA256_INIT);
}

QV_API void SHA256Update(SHA256State *state, const uint8_t *data, int size)
{
   BufferedUpdate(state, data, size, ActiveHashKernels().sha256);
}

QV_API void SHA256Finish(SHA256State *state, uint8_t *hash)
{
   DigestFinish(state, ActiveHashKernels().sha256, true, hash);
}

using Sha256Ops = DigestOps<SHA256State, SHA256Init, SHA256Update, SHA256Finish>;

QV_API void CalculateSHA256Hash(const uint8_t *data, int size, uint8_t *hash)
{
   Sha256Ops::Memory(data, size, hash);
}

QV_API bool CalculateFileSHA256Hash(const wchar_t *fileName, uint8_t *hash)
{
   return Sha256Ops::File(fileName, hash);
}
