/* Internals of the hash functions: the block kernels of each algorithm, the run-time choice
 * between the portable kernels and those using processor instructions, the partial-block
 * buffering shared by MD5, SHA-1 and SHA-256, and the pattern and file digests built on it. */
#ifndef QORVEL_CRYPTO_HASH_INTERNAL_H
#define QORVEL_CRYPTO_HASH_INTERNAL_H

#include <qv_crypto.h>

#include <string.h>

namespace qv::crypto {

/* Processes `blocks` consecutive 64-byte blocks (any alignment) into the chaining values. */
using BlockFunction = void (*)(uint32_t *chain, const uint8_t *data, size_t blocks);

/* Advances the CRC-32 register (the inverted CRC value) over size bytes. */
using Crc32Function = uint32_t (*)(uint32_t reg, const uint8_t *data, size_t size);

/* One set of kernels and the HASH_ACCEL_* bits of the instructions it uses. */
struct HashKernels
{
   Crc32Function crc32;
   BlockFunction sha1;
   BlockFunction sha256;
   uint32_t acceleration;
};

/* The kernels to use now: the processor's where it has them, unless the portable ones are
 * forced. */
const HashKernels &ActiveHashKernels();

/* Portable kernels. */
uint32_t Crc32Portable(uint32_t reg, const uint8_t *data, size_t size);
void Md5Blocks(uint32_t *chain, const uint8_t *data, size_t blocks);
void Sha1BlocksPortable(uint32_t *chain, const uint8_t *data, size_t blocks);
void Sha256BlocksPortable(uint32_t *chain, const uint8_t *data, size_t blocks);

#if defined(__x86_64__) || defined(__i386__)
#define QV_HASH_X86 1
/* Kernels that use PCLMULQDQ and the SHA extensions; call only where the processor has them. */
uint32_t Crc32Clmul(uint32_t reg, const uint8_t *data, size_t size);
/* The same with 512-bit VPCLMULQDQ for long runs; call only where AVX-512F, VPCLMULQDQ and
 * the system's saving of the 512-bit registers are there. */
uint32_t Crc32Vpclmul(uint32_t reg, const uint8_t *data, size_t size);
void Sha1BlocksShaNi(uint32_t *chain, const uint8_t *data, size_t blocks);
void Sha256BlocksShaNi(uint32_t *chain, const uint8_t *data, size_t blocks);
#endif

inline uint32_t RotateLeft(uint32_t v, int n)
{
   return (v << n) | (v >> ((32 - n) & 31));
}

inline uint32_t RotateRight(uint32_t v, int n)
{
   return (v >> n) | (v << ((32 - n) & 31));
}

inline uint32_t LoadLE32(const uint8_t *p)
{
   return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline uint32_t LoadBE32(const uint8_t *p)
{
   return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreLE32(uint8_t *p, uint32_t v)
{
   for (int i = 0; i < 4; i++)
      p[i] = uint8_t(v >> (8 * i));
}

inline void StoreBE32(uint8_t *p, uint32_t v)
{
   for (int i = 0; i < 4; i++)
      p[i] = uint8_t(v >> (24 - 8 * i));
}

/* Byte where the message length goes in the final block (the last 8 bytes). */
constexpr size_t LENGTH_OFFSET = HASH_BLOCK_SIZE - 8;

/* First padding byte: a single 1 bit after the message. */
constexpr uint8_t PADDING_START = 0x80;

/* Adds data to a digest state: completes the buffered partial block, processes whole blocks
 * straight from data and keeps the rest. State is MD5State, SHA1State or SHA256State. */
template <typename State> void BufferedUpdate(State *state, const uint8_t *data, int size, BlockFunction blocks)
{
   if (data == nullptr || size <= 0)
      return;
   size_t used = size_t(state->bitCount >> 3) % HASH_BLOCK_SIZE;
   size_t remaining = size_t(size);
   state->bitCount += uint64_t(remaining) << 3;
   if (used > 0)
   {
      size_t take = HASH_BLOCK_SIZE - used;
      if (take > remaining)
         take = remaining;
      memcpy(state->block + used, data, take);
      data += take;
      remaining -= take;
      if (used + take < HASH_BLOCK_SIZE)
         return;
      blocks(state->chain, state->block, 1);
   }
   size_t whole = remaining / HASH_BLOCK_SIZE;
   if (whole > 0)
   {
      blocks(state->chain, data, whole);
      data += whole * HASH_BLOCK_SIZE;
      remaining -= whole * HASH_BLOCK_SIZE;
   }
   memcpy(state->block, data, remaining);
}

/* Starts a digest state with the algorithm's initial chaining values. */
template <typename State, size_t N> void DigestInit(State *state, const uint32_t (&init)[N])
{
   static_assert(sizeof(state->chain) == sizeof(init), "chaining values");
   memcpy(state->chain, init, sizeof(init));
   state->bitCount = 0;
}

/* Pads the message (0x80, zeros, the 64-bit bit count in the algorithm's byte order),
 * processes the final block or two, writes the chaining values in that byte order as the
 * digest and clears the state. */
template <typename State> void DigestFinish(State *state, BlockFunction blocks, bool bigEndian, uint8_t *hash)
{
   uint64_t bits = state->bitCount;
   size_t used = size_t(bits >> 3) % HASH_BLOCK_SIZE;
   state->block[used++] = PADDING_START;
   if (used > LENGTH_OFFSET)
   {
      memset(state->block + used, 0, HASH_BLOCK_SIZE - used);
      blocks(state->chain, state->block, 1);
      used = 0;
   }
   memset(state->block + used, 0, LENGTH_OFFSET - used);
   for (int i = 0; i < 8; i++)
      state->block[LENGTH_OFFSET + i] = uint8_t(bits >> (bigEndian ? 56 - 8 * i : 8 * i));
   blocks(state->chain, state->block, 1);
   for (size_t i = 0; i < sizeof(state->chain) / sizeof(state->chain[0]); i++)
   {
      if (bigEndian)
         StoreBE32(hash + 4 * i, state->chain[i]);
      else
         StoreLE32(hash + 4 * i, state->chain[i]);
   }
   memset(state, 0, sizeof(*state));
}

/* Feeds every byte of a file, in blocks of 4096 bytes, to consume(context, data, size).
 * False when the file cannot be opened or a read fails. */
bool ReadFileInBlocks(const wchar_t *fileName, void (*consume)(void *context, const uint8_t *data, int size),
                      void *context);

/* Builds an algorithm's one-shot, pattern and file digests from its Init, Update and Finish. */
template <typename State, void (*Init)(State *), void (*Update)(State *, const uint8_t *, int),
          void (*Finish)(State *, uint8_t *)>
struct DigestOps
{
   /* Bytes of the repeated pattern assembled per Update call. */
   static constexpr size_t PATTERN_CHUNK = 64 * HASH_BLOCK_SIZE;

   static void Memory(const uint8_t *data, int size, uint8_t *hash)
   {
      State state;
      Init(&state);
      Update(&state, data, size);
      Finish(&state, hash);
   }

   static void Pattern(const uint8_t *pattern, int patternSize, int fullSize, uint8_t *hash)
   {
      State state;
      Init(&state);
      if (pattern != nullptr && patternSize > 0 && fullSize > 0)
      {
         uint8_t chunk[PATTERN_CHUNK];
         int64_t total = (int64_t(fullSize) + HASH_BLOCK_SIZE - 1) / HASH_BLOCK_SIZE * HASH_BLOCK_SIZE;
         size_t offset = 0;  // position in the pattern of the next message byte
         while (total > 0)
         {
            size_t n = (total < int64_t(PATTERN_CHUNK)) ? size_t(total) : PATTERN_CHUNK;
            for (size_t i = 0; i < n;)
            {
               size_t run = size_t(patternSize) - offset;
               if (run > n - i)
                  run = n - i;
               memcpy(chunk + i, pattern + offset, run);
               i += run;
               offset += run;
               if (offset == size_t(patternSize))
                  offset = 0;
            }
            Update(&state, chunk, int(n));
            total -= int64_t(n);
         }
      }
      Finish(&state, hash);
   }

   static bool File(const wchar_t *fileName, uint8_t *hash)
   {
      State state;
      Init(&state);
      auto consume = [](void *context, const uint8_t *data, int size) {
         Update(static_cast<State *>(context), data, size);
      };
      if (!ReadFileInBlocks(fileName, consume, &state))
         return false;
      Finish(&state, hash);
      return true;
   }
};

}  // namespace qv::crypto

#endif
