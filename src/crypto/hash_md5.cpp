/* MD5: the block function in plain code (no processor has instructions for it), the
 * incremental interface, and the one-shot, pattern and file digests. */
#include "crypto/hash_internal.h"

namespace qv::crypto {
namespace {

/* Initial chaining values. */
constexpr uint32_t MD5_INIT[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

/* Additive constants: floor(|sin(i + 1)| * 2^32). */
constexpr uint32_t MD5_K[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

/* Left rotations, four per round, repeated over its 16 steps. */
constexpr int MD5_SHIFTS[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

/* Message word of step i of each round: start and stride modulo 16. */
constexpr int MD5_WORD_START[4] = {0, 1, 5, 0};
constexpr int MD5_WORD_STRIDE[4] = {1, 5, 3, 7};

/* The four rounds' boolean functions, in forms with short dependency chains. */
template <int R> inline uint32_t RoundFunction(uint32_t x, uint32_t y, uint32_t z)
{
   if constexpr (R == 0)
      return ((y ^ z) & x) ^ z;
   else if constexpr (R == 1)
      return (x & z) + (y & ~z);
   else if constexpr (R == 2)
      return x ^ y ^ z;
   else
      return y ^ (x | ~z);
}

template <int R> inline void Md5Round(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, const uint32_t *x)
{
#pragma GCC unroll 16
   for (int i = 0; i < 16; i++)
   {
      uint32_t sum =
          a + RoundFunction<R>(b, c, d) + MD5_K[R * 16 + i] + x[(MD5_WORD_START[R] + MD5_WORD_STRIDE[R] * i) % 16];
      uint32_t next = b + RotateLeft(sum, MD5_SHIFTS[R][i % 4]);
      a = d;
      d = c;
      c = b;
      b = next;
   }
}

}  // namespace

void Md5Blocks(uint32_t *chain, const uint8_t *data, size_t blocks)
{
   for (; blocks > 0; blocks--, data += HASH_BLOCK_SIZE)
   {
      uint32_t x[16];
      for (int i = 0; i < 16; i++)
         x[i] = LoadLE32(data + 4 * i);
      uint32_t a = chain[0], b = chain[1], c = chain[2], d = chain[3];
      Md5Round<0>(a, b, c, d, x);
      Md5Round<1>(a, b, c, d, x);
      Md5Round<2>(a, b, c, d, x);
      Md5Round<3>(a, b, c, d, x);
      chain[0] += a;
      chain[1] += b;
      chain[2] += c;
      chain[3] += d;
   }
}

}  // namespace qv::crypto

using namespace qv::crypto;

QV_API void MD5Init(MD5State *state)
{
   DigestInit(state, MD5_INIT);
}

QV_API void MD5Update(MD5State *state, const uint8_t *data, int size)
{
   BufferedUpdate(state, data, size, Md5Blocks);
}

QV_API void MD5Finish(MD5State *state, uint8_t *hash)
{
   DigestFinish(state, Md5Blocks, false, hash);
}

using Md5Ops = DigestOps<MD5State, MD5Init, MD5Update, MD5Finish>;

QV_API void CalculateMD5Hash(const uint8_t *data, int size, uint8_t *hash)
{
   Md5Ops::Memory(data, size, hash);
}

QV_API void MD5HashForPattern(const uint8_t *pattern, int patternSize, int fullSize, uint8_t *hash)
{
   Md5Ops::Pattern(pattern, patternSize, fullSize, hash);
}

QV_API bool CalculateFileMD5Hash(const wchar_t *fileName, uint8_t *hash)
{
   return Md5Ops::File(fileName, hash);
}
