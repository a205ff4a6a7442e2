/* SHA-1: the block function in plain code and with the SHA extensions, the incremental
 * interface, and the one-shot, pattern and file digests. */
#include "crypto/hash_internal.h"

#include <utility>

#ifdef QV_HASH_X86
#include <immintrin.h>
#endif

namespace qv::crypto {
namespace {

/* Initial chaining values. */
constexpr uint32_t SHA1_INIT[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

/* Additive constant of each group of 20 rounds. */
constexpr uint32_t SHA1_K[4] = {0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};

constexpr int SHA1_ROUNDS = 80;
constexpr int SHA1_ROUNDS_PER_FUNCTION = 20;

template <int F> inline uint32_t Sha1Function(uint32_t b, uint32_t c, uint32_t d)
{
   if constexpr (F == 0)
      return ((c ^ d) & b) ^ d;
   else if constexpr (F == 2)
      return (b & c) | ((b | c) & d);
   else
      return b ^ c ^ d;
}

/* Twenty rounds with one boolean function; w is the rolling 16-word message schedule. */
template <int F> inline void Sha1Rounds(uint32_t *v, uint32_t *w)
{
#pragma GCC unroll 20
   for (int i = 0; i < SHA1_ROUNDS_PER_FUNCTION; i++)
   {
      int t = F * SHA1_ROUNDS_PER_FUNCTION + i;
      if (t >= 16)
         w[t & 15] = RotateLeft(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
      uint32_t temp = RotateLeft(v[0], 5) + Sha1Function<F>(v[1], v[2], v[3]) + v[4] + SHA1_K[F] + w[t & 15];
      v[4] = v[3];
      v[3] = v[2];
      v[2] = RotateLeft(v[1], 30);
      v[1] = v[0];
      v[0] = temp;
   }
}

}  // namespace

void Sha1BlocksPortable(uint32_t *chain, const uint8_t *data, size_t blocks)
{
   for (; blocks > 0; blocks--, data += HASH_BLOCK_SIZE)
   {
      uint32_t w[16];
      for (int i = 0; i < 16; i++)
         w[i] = LoadBE32(data + 4 * i);
      uint32_t v[5];
      memcpy(v, chain, sizeof(v));
      Sha1Rounds<0>(v, w);
      Sha1Rounds<1>(v, w);
      Sha1Rounds<2>(v, w);
      Sha1Rounds<3>(v, w);
      for (int i = 0; i < 5; i++)
         chain[i] += v[i];
   }
}

#ifdef QV_HASH_X86
namespace {

#define QV_SHA_TARGET __attribute__((target("sha,sse4.1"), always_inline))

/* Working registers of one block: ABCD (A in the top lane), the two E values that take turns
 * and the four message vectors of the rolling schedule. */
struct Sha1Vectors
{
   __m128i abcd;
   __m128i e[2];
   __m128i m[4];
};

/* Four rounds G (0..19) with message vector W[G] = words 4G..4G+3, and the schedule steps that
 * can run beside them: W[G+1] completed, and the partial sums of W[G+2] and W[G+3]. */
template <int G> QV_SHA_TARGET inline void Sha1Group(Sha1Vectors &v, const uint8_t *data)
{
   const __m128i byteSwap = _mm_set_epi64x(0x0001020304050607ll, 0x08090a0b0c0d0e0fll);
   __m128i &w = v.m[G % 4];
   if constexpr (G < 4)
      w = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * G)), byteSwap);
   __m128i &e = v.e[G % 2];
   if constexpr (G == 0)
      e = _mm_add_epi32(e, w);
   else
      e = _mm_sha1nexte_epu32(e, w);
   v.e[(G + 1) % 2] = v.abcd;
   if constexpr (G >= 3 && G <= 18)
      v.m[(G + 1) % 4] = _mm_sha1msg2_epu32(v.m[(G + 1) % 4], w);
   v.abcd = _mm_sha1rnds4_epu32(v.abcd, e, G / 5);
   if constexpr (G >= 1 && G <= 16)
      v.m[(G + 3) % 4] = _mm_sha1msg1_epu32(v.m[(G + 3) % 4], w);
   if constexpr (G >= 2 && G <= 17)
      v.m[(G + 2) % 4] = _mm_xor_si128(v.m[(G + 2) % 4], w);
}

template <int... G>
QV_SHA_TARGET inline void Sha1AllGroups(Sha1Vectors &v, const uint8_t *data, std::integer_sequence<int, G...>)
{
   (Sha1Group<G>(v, data), ...);
}

}  // namespace

__attribute__((target("sha,sse4.1"))) void Sha1BlocksShaNi(uint32_t *chain, const uint8_t *data, size_t blocks)
{
   Sha1Vectors v;
   v.abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(chain)), 0x1B);
   __m128i e = _mm_set_epi32(int(chain[4]), 0, 0, 0);
   for (; blocks > 0; blocks--, data += HASH_BLOCK_SIZE)
   {
      __m128i abcdSaved = v.abcd;
      v.e[0] = e;
      Sha1AllGroups(v, data, std::make_integer_sequence<int, SHA1_ROUNDS / 4>());
      /* After the last group e[0] holds ABCD before its rounds; its A rotated is E. */
      e = _mm_sha1nexte_epu32(v.e[0], e);
      v.abcd = _mm_add_epi32(v.abcd, abcdSaved);
   }
   _mm_storeu_si128(reinterpret_cast<__m128i *>(chain), _mm_shuffle_epi32(v.abcd, 0x1B));
   chain[4] = uint32_t(_mm_extract_epi32(e, 3));
}
#endif

}  // namespace qv::crypto

using namespace qv::crypto;

QV_API void SHA1Init(SHA1State *state)
{
   DigestInit(state, SHA1_INIT);
}

QV_API void SHA1Update(SHA1State *state, const uint8_t *data, int size)
{
   BufferedUpdate(state, data, size, ActiveHashKernels().sha1);
}

QV_API void SHA1Finish(SHA1State *state, uint8_t *hash)
{
   DigestFinish(state, ActiveHashKernels().sha1, true, hash);
}

using Sha1Ops = DigestOps<SHA1State, SHA1Init, SHA1Update, SHA1Finish>;

QV_API void CalculateSHA1Hash(const uint8_t *data, int size, uint8_t *hash)
{
   Sha1Ops::Memory(data, size, hash);
}

QV_API void SHA1HashForPattern(const uint8_t *pattern, int patternSize, int fullSize, uint8_t *hash)
{
   Sha1Ops::Pattern(pattern, patternSize, fullSize, hash);
}

QV_API bool CalculateFileSHA1Hash(const wchar_t *fileName, uint8_t *hash)
{
   return Sha1Ops::File(fileName, hash);
}
