/* CRC-32 (IEEE 802.3, reflected): slicing-by-8 tables, and folding with carry-less multiply
 * on processors that have PCLMULQDQ, four 128-bit lanes per instruction where they also have
 * VPCLMULQDQ with AVX-512. */
#include "crypto/hash_internal.h"

#ifdef QV_HASH_X86
#include <immintrin.h>
#endif

namespace qv::crypto {
namespace {

/* The generator polynomial, bit-reflected, without its x^32 term. */
constexpr uint32_t CRC32_POLY_REFLECTED = 0xEDB88320u;

/* The register is inverted before and after the data. */
constexpr uint32_t CRC32_INVERT = 0xFFFFFFFFu;

/* Bytes taken per step by the sliced loop, and so the number of tables. */
constexpr int SLICES = 8;

struct Crc32Tables
{
   uint32_t t[SLICES][256];
};

/* t[0][n] is the register after byte n; t[k][n] the register after byte n and k zero bytes. */
constexpr Crc32Tables MakeTables()
{
   Crc32Tables tables{};
   for (uint32_t n = 0; n < 256; n++)
   {
      uint32_t c = n;
      for (int bit = 0; bit < 8; bit++)
         c = (c & 1) ? (c >> 1) ^ CRC32_POLY_REFLECTED : c >> 1;
      tables.t[0][n] = c;
   }
   for (int k = 1; k < SLICES; k++)
   {
      for (uint32_t n = 0; n < 256; n++)
      {
         uint32_t prev = tables.t[k - 1][n];
         tables.t[k][n] = (prev >> 8) ^ tables.t[0][prev & 0xFF];
      }
   }
   return tables;
}

constexpr Crc32Tables TABLES = MakeTables();

}  // namespace

uint32_t Crc32Portable(uint32_t reg, const uint8_t *data, size_t size)
{
   const auto &t = TABLES.t;
   for (; size >= SLICES; size -= SLICES, data += SLICES)
   {
      uint32_t lo = LoadLE32(data) ^ reg;
      uint32_t hi = LoadLE32(data + 4);
      reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
            t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
   }
   for (; size > 0; size--, data++)
      reg = t[0][(reg ^ *data) & 0xFF] ^ (reg >> 8);
   return reg;
}

#ifdef QV_HASH_X86
namespace {

/* Folding constants for the bit-reflected domain: x^n mod P, reflected and shifted left by
 * one bit, so a 64x64 carry-less product lines up with the data it is added to. */
constexpr uint64_t FoldConstant(int n)
{
   constexpr uint64_t POLY = 0x104C11DB7ull;  // the generator polynomial with its x^32 term
   uint64_t r = 1;
   for (int i = 0; i < n; i++)
   {
      r <<= 1;
      if (r & (1ull << 32))
         r ^= POLY;
   }
   uint64_t reflected = 0;
   for (int bit = 0; bit < 32; bit++)
      if (r & (1ull << bit))
         reflected |= 1ull << (31 - bit);
   return reflected << 1;
}

/* Barrett constant: floor(x^64 / P), 33 bits, reflected. */
constexpr uint64_t BarrettMu()
{
   constexpr uint64_t POLY = 0x104C11DB7ull;
   unsigned __int128 rem = static_cast<unsigned __int128>(1) << 64;
   uint64_t q = 0;
   for (int shift = 32; shift >= 0; shift--)
   {
      if (rem & (static_cast<unsigned __int128>(1) << (shift + 32)))
      {
         q |= 1ull << shift;
         rem ^= static_cast<unsigned __int128>(POLY) << shift;
      }
   }
   uint64_t reflected = 0;
   for (int bit = 0; bit < 33; bit++)
      if (q & (1ull << bit))
         reflected |= 1ull << (32 - bit);
   return reflected;
}

/* Bits of one 128-bit lane; eight lanes (128 bytes) are folded side by side, enough
 * independent multiplies to hide their latency. */
constexpr int LANE_BITS = 128;
constexpr size_t LANE_BYTES = LANE_BITS / 8;
constexpr int LANES = 8;
constexpr size_t WIDE_BYTES = LANES * LANE_BYTES;

constexpr uint64_t K_WIDE_LO = FoldConstant(LANES * LANE_BITS + 32);
constexpr uint64_t K_WIDE_HI = FoldConstant(LANES * LANE_BITS - 32);
constexpr uint64_t K_LANE_LO = FoldConstant(LANE_BITS + 32);
constexpr uint64_t K_LANE_HI = FoldConstant(LANE_BITS - 32);
constexpr uint64_t K_FOLD64 = FoldConstant(64);
constexpr uint64_t P_REFLECTED = (uint64_t(CRC32_POLY_REFLECTED) << 1) | 1;  // 33 bits
constexpr uint64_t MU_REFLECTED = BarrettMu();

/* The generators checked against published values. */
static_assert(FoldConstant(4 * LANE_BITS + 32) == 0x154442BD4ull && K_LANE_HI == 0x0CCAA009Eull &&
                  MU_REFLECTED == 0x1F7011641ull,
              "CRC-32 folding constants");

/* Below this many bytes the tables are faster than setting up the fold. */
constexpr size_t CLMUL_MIN_SIZE = 64;

__attribute__((target("pclmul,sse4.1"))) inline __m128i Fold(__m128i acc, __m128i k, __m128i next)
{
   __m128i lo = _mm_clmulepi64_si128(acc, k, 0x00);
   __m128i hi = _mm_clmulepi64_si128(acc, k, 0x11);
   return _mm_xor_si128(_mm_xor_si128(lo, hi), next);
}

__attribute__((target("pclmul,sse4.1"))) inline __m128i Load(const uint8_t *p)
{
   return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

/* The CRC register of the 128 bits in acc, which stand for all the data folded so far. */
__attribute__((target("pclmul,sse4.1"))) inline uint32_t Reduce(__m128i acc)
{
   const __m128i kLane = _mm_set_epi64x(int64_t(K_LANE_HI), int64_t(K_LANE_LO));
   /* 128 bits to 96: the low half times x^96, added to the high half. */
   const __m128i low32 = _mm_set_epi32(0, -1, 0, -1);
   acc = _mm_xor_si128(_mm_srli_si128(acc, 8), _mm_clmulepi64_si128(acc, kLane, 0x10));
   /* 96 bits to 64: the low 32 bits times x^64. */
   const __m128i k64 = _mm_set_epi64x(0, int64_t(K_FOLD64));
   acc = _mm_xor_si128(_mm_srli_si128(acc, 4), _mm_clmulepi64_si128(_mm_and_si128(acc, low32), k64, 0x00));
   /* Barrett reduction of the 64 bits to the 32-bit remainder. */
   const __m128i barrett = _mm_set_epi64x(int64_t(MU_REFLECTED), int64_t(P_REFLECTED));
   __m128i t = _mm_clmulepi64_si128(_mm_and_si128(acc, low32), barrett, 0x10);
   t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), barrett, 0x00);
   return uint32_t(_mm_extract_epi32(_mm_xor_si128(acc, t), 1));
}

/* CRC register after size bytes, size a multiple of 16 and at least 16. */
__attribute__((target("pclmul,sse4.1"))) uint32_t FoldBlocks(uint32_t reg, const uint8_t *data, size_t size)
{
   const __m128i kLane = _mm_set_epi64x(int64_t(K_LANE_HI), int64_t(K_LANE_LO));
   __m128i acc = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(int(reg)));
   if (size >= WIDE_BYTES)
   {
      __m128i x[LANES];
      x[0] = acc;
#pragma GCC unroll 8
      for (int i = 1; i < LANES; i++)
         x[i] = Load(data + LANE_BYTES * i);
      data += WIDE_BYTES;
      size -= WIDE_BYTES;
      const __m128i kWide = _mm_set_epi64x(int64_t(K_WIDE_HI), int64_t(K_WIDE_LO));
      for (; size >= WIDE_BYTES; size -= WIDE_BYTES, data += WIDE_BYTES)
      {
#pragma GCC unroll 8
         for (int i = 0; i < LANES; i++)
            x[i] = Fold(x[i], kWide, Load(data + LANE_BYTES * i));
      }
      acc = x[0];
#pragma GCC unroll 8
      for (int i = 1; i < LANES; i++)
         acc = Fold(acc, kLane, x[i]);
   }
   else
   {
      data += LANE_BYTES;
      size -= LANE_BYTES;
   }
   for (; size >= LANE_BYTES; size -= LANE_BYTES, data += LANE_BYTES)
      acc = Fold(acc, kLane, Load(data));
   return Reduce(acc);
}

/* The AVX-512 fold: four 512-bit accumulators, each four lanes wide, take 256 bytes a round. */
constexpr size_t ZMM_BYTES = 64;
constexpr int ZMM_ACCUMULATORS = 4;
constexpr size_t ZMM_ROUND_BYTES = ZMM_ACCUMULATORS * ZMM_BYTES;
constexpr int ZMM_ROUND_BITS = int(ZMM_ROUND_BYTES * 8);
constexpr int ZMM_BITS = int(ZMM_BYTES * 8);

/* Below this many bytes the 128-bit fold does as well. */
constexpr size_t VPCLMUL_MIN_SIZE = 2 * ZMM_ROUND_BYTES;

constexpr uint64_t K_ROUND_LO = FoldConstant(ZMM_ROUND_BITS + 32);
constexpr uint64_t K_ROUND_HI = FoldConstant(ZMM_ROUND_BITS - 32);
constexpr uint64_t K_ZMM_LO = FoldConstant(ZMM_BITS + 32);
constexpr uint64_t K_ZMM_HI = FoldConstant(ZMM_BITS - 32);

#define QV_TARGET_AVX512_CLMUL __attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.1")))

QV_TARGET_AVX512_CLMUL inline __m512i Fold512(__m512i acc, __m512i k, __m512i next)
{
   __m512i lo = _mm512_clmulepi64_epi128(acc, k, 0x00);
   __m512i hi = _mm512_clmulepi64_epi128(acc, k, 0x11);
   return _mm512_ternarylogic_epi64(lo, hi, next, 0x96);  // lo ^ hi ^ next
}

/* The pair of 64-bit constants in each of the four lanes (written out: GCC 12's broadcast
 * and lane intrinsics trip its own uninitialised-value warning). */
QV_TARGET_AVX512_CLMUL inline __m512i Broadcast512(uint64_t hi, uint64_t lo)
{
   return _mm512_set_epi64(int64_t(hi), int64_t(lo), int64_t(hi), int64_t(lo), int64_t(hi), int64_t(lo), int64_t(hi),
                           int64_t(lo));
}

QV_TARGET_AVX512_CLMUL inline __m512i Load512(const uint8_t *p)
{
   return _mm512_loadu_si512(p);
}

/* CRC register after size bytes, size a multiple of ZMM_ROUND_BYTES and at least
 * VPCLMUL_MIN_SIZE. */
QV_TARGET_AVX512_CLMUL uint32_t FoldRounds512(uint32_t reg, const uint8_t *data, size_t size)
{
   __m512i x[ZMM_ACCUMULATORS];
   x[0] = _mm512_xor_si512(Load512(data), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, int64_t(reg)));
   for (int i = 1; i < ZMM_ACCUMULATORS; i++)
      x[i] = Load512(data + ZMM_BYTES * size_t(i));
   data += ZMM_ROUND_BYTES;
   size -= ZMM_ROUND_BYTES;
   const __m512i kRound = Broadcast512(K_ROUND_HI, K_ROUND_LO);
   for (; size >= ZMM_ROUND_BYTES; size -= ZMM_ROUND_BYTES, data += ZMM_ROUND_BYTES)
   {
#pragma GCC unroll 4
      for (int i = 0; i < ZMM_ACCUMULATORS; i++)
         x[i] = Fold512(x[i], kRound, Load512(data + ZMM_BYTES * size_t(i)));
   }
   // The accumulators into one, 512 bits apart, then its four lanes into one.
   const __m512i kZmm = Broadcast512(K_ZMM_HI, K_ZMM_LO);
   __m512i all = x[0];
   for (int i = 1; i < ZMM_ACCUMULATORS; i++)
      all = Fold512(all, kZmm, x[i]);
   const __m128i kLane = _mm_set_epi64x(int64_t(K_LANE_HI), int64_t(K_LANE_LO));
   alignas(ZMM_BYTES) __m128i lanes[ZMM_BYTES / LANE_BYTES];
   _mm512_store_si512(lanes, all);
   __m128i acc = lanes[0];
   for (size_t i = 1; i < ZMM_BYTES / LANE_BYTES; i++)
      acc = Fold(acc, kLane, lanes[i]);
   return Reduce(acc);
}

}  // namespace

uint32_t Crc32Vpclmul(uint32_t reg, const uint8_t *data, size_t size)
{
   if (size >= VPCLMUL_MIN_SIZE)
   {
      size_t folded = size & ~(ZMM_ROUND_BYTES - 1);
      reg = FoldRounds512(reg, data, folded);
      data += folded;
      size -= folded;
   }
   return Crc32Clmul(reg, data, size);
}

uint32_t Crc32Clmul(uint32_t reg, const uint8_t *data, size_t size)
{
   if (size < CLMUL_MIN_SIZE)
      return Crc32Portable(reg, data, size);
   size_t folded = size & ~(LANE_BYTES - 1);
   reg = FoldBlocks(reg, data, folded);
   return Crc32Portable(reg, data + folded, size - folded);
}
#endif

}  // namespace qv::crypto

QV_API uint32_t CalculateCRC32(const uint8_t *data, int size, uint32_t crc)
{
   if (data == nullptr || size <= 0)
      return crc;
   return qv::crypto::ActiveHashKernels().crc32(crc ^ qv::crypto::CRC32_INVERT, data, size_t(size)) ^
          qv::crypto::CRC32_INVERT;
}

QV_API bool CalculateFileCRC32(const wchar_t *fileName, uint32_t *crc)
{
   uint32_t result = 0;
   auto consume = [](void *context, const uint8_t *data, int size) {
      uint32_t *value = static_cast<uint32_t *>(context);
      *value = CalculateCRC32(data, size, *value);
   };
   if (!qv::crypto::ReadFileInBlocks(fileName, consume, &result))
      return false;
   *crc = result;
   return true;
}
