/* The ICE block cipher at level 1: 64-bit blocks and keys, 16 Feistel rounds whose round
 * function expands a 32-bit half to two 20-bit values, exchanges bits between them under a
 * key-selected salt and looks them up in four S-boxes of 10-bit input. The S-boxes are
 * constants computed by the compiler; every call builds its own key schedule on the stack
 * and wipes it before returning. */
#include "crypto/hash_internal.h"
#include "crypto/wipe.h"

#include <string.h>

namespace {

using qv::crypto::LoadBE32;
using qv::crypto::SecureWipe;
using qv::crypto::StoreBE32;

/* Rounds at level 1, and the rounds one pass of the key schedule builder sets. */
constexpr int ICE_ROUNDS = 16;
constexpr int ROUNDS_PER_PASS = 8;

/* Entries of an S-box: its input is 10 bits. */
constexpr int SBOX_SIZE = 1024;
constexpr uint32_t SBOX_INPUT_MASK = SBOX_SIZE - 1;
constexpr int SBOX_INPUT_BITS = 10;

/* Bits of a byte that the S-box column is taken from, and values above the byte range
 * that the field reduction folds back. */
constexpr uint32_t BYTE_MASK = 0xff;
constexpr uint32_t FIELD_SIZE = 256;

/* Modulus polynomials of the S-boxes' Galois fields, per S-box and row. */
constexpr uint32_t SBOX_MODULUS[4][4] = {
    {333, 313, 505, 369}, {379, 375, 319, 391}, {361, 445, 451, 397}, {397, 425, 395, 505}};

/* Values the column is XORed with before exponentiation, per S-box and row. */
constexpr uint32_t SBOX_XOR[4][4] = {
    {0x83, 0x85, 0x9b, 0xcd}, {0xcc, 0xa7, 0xad, 0x41}, {0x4b, 0x2e, 0xd4, 0x33}, {0xea, 0xcb, 0x2e, 0x04}};

/* Permutation box: input bit i goes to the bit set in PBOX[i]. */
constexpr uint32_t PBOX[32] = {0x00000001, 0x00000080, 0x00000400, 0x00002000, 0x00080000, 0x00200000, 0x01000000,
                               0x40000000, 0x00000008, 0x00000020, 0x00000100, 0x00004000, 0x00010000, 0x00800000,
                               0x04000000, 0x20000000, 0x00000004, 0x00000010, 0x00000200, 0x00008000, 0x00020000,
                               0x00400000, 0x08000000, 0x10000000, 0x00000002, 0x00000040, 0x00000800, 0x00001000,
                               0x00040000, 0x00100000, 0x02000000, 0x80000000};

/* Which 16-bit key word starts each round's subkey; the first half for rounds 0-7, the
 * second for rounds 8-15. */
constexpr int KEY_ROTATION[ICE_ROUNDS] = {0, 1, 2, 3, 2, 1, 3, 0, 1, 3, 2, 0, 3, 1, 0, 2};

/* Words of a round's subkey (two XOR values and the salt, 20 bits each), key bits taken
 * per subkey word step, and those steps per subkey. */
constexpr int SUBKEY_WORDS = 3;
constexpr int KEY_WORDS = 4;
constexpr int SUBKEY_STEPS = 15;

/* Top bit of a 16-bit key word, which takes the inverted bit shifted out. */
constexpr int KEY_WORD_TOP_BIT = 15;

/* Masks of the 20-bit expansion of a half: low ten bits and the ten above them. */
constexpr uint32_t EXPAND_LOW = 0x3ff;
constexpr uint32_t EXPAND_HIGH = 0xffc00;

using Subkey = uint32_t[SUBKEY_WORDS];

struct KeySchedule
{
   Subkey round[ICE_ROUNDS];
};

struct SBox
{
   uint32_t entry[SBOX_SIZE];
};

/* Multiplication in GF(2^8) modulo the polynomial `modulus`. */
constexpr uint32_t GfMultiply(uint32_t a, uint32_t b, uint32_t modulus)
{
   uint32_t product = 0;
   while (b != 0)
   {
      if (b & 1)
         product ^= a;
      a <<= 1;
      b >>= 1;
      if (a >= FIELD_SIZE)
         a ^= modulus;
   }
   return product;
}

/* value^7 in GF(2^8) modulo `modulus`. */
constexpr uint32_t GfPower7(uint32_t value, uint32_t modulus)
{
   if (value == 0)
      return 0;
   uint32_t x = GfMultiply(value, value, modulus);  // ^2
   x = GfMultiply(value, x, modulus);               // ^3
   x = GfMultiply(x, x, modulus);                   // ^6
   return GfMultiply(value, x, modulus);            // ^7
}

/* The P-box applied to an 8-bit value placed at bit `shift`. */
constexpr uint32_t PermuteByte(uint32_t value, int shift)
{
   uint32_t result = 0;
   for (int bit = 0; bit < 8; bit++)
      if ((value >> bit) & 1)
         result |= PBOX[shift + bit];
   return result;
}

/* S-box `box`: the row is the outer two input bits, the column the inner eight; S-box 0
 * feeds the top byte of the P-box input, S-box 3 the bottom one. */
constexpr SBox MakeSBox(int box)
{
   SBox s{};
   for (uint32_t i = 0; i < SBOX_SIZE; i++)
   {
      uint32_t column = (i >> 1) & BYTE_MASK;
      uint32_t row = (i & 1) | ((i >> (SBOX_INPUT_BITS - 2)) & 2);
      s.entry[i] = PermuteByte(GfPower7(column ^ SBOX_XOR[box][row], SBOX_MODULUS[box][row]), 24 - 8 * box);
   }
   return s;
}

// One constant per S-box keeps each compile-time evaluation small.
constexpr SBox SBOX0 = MakeSBox(0);
constexpr SBox SBOX1 = MakeSBox(1);
constexpr SBox SBOX2 = MakeSBox(2);
constexpr SBox SBOX3 = MakeSBox(3);

/* The round function of one half under one subkey. */
inline uint32_t RoundFunction(uint32_t half, const Subkey &subkey)
{
   uint32_t left = ((half >> 16) & EXPAND_LOW) | (((half >> 14) | (half << 18)) & EXPAND_HIGH);
   uint32_t right = (half & EXPAND_LOW) | ((half << 2) & EXPAND_HIGH);
   // The salt exchanges the bits it selects between the two expanded values.
   uint32_t swapped = subkey[2] & (left ^ right);
   uint32_t a = swapped ^ left ^ subkey[0];
   uint32_t b = swapped ^ right ^ subkey[1];
   return SBOX0.entry[a >> SBOX_INPUT_BITS] | SBOX1.entry[a & SBOX_INPUT_MASK] | SBOX2.entry[b >> SBOX_INPUT_BITS] |
          SBOX3.entry[b & SBOX_INPUT_MASK];
}

/* Sets eight subkeys from `first` on, taking bits from the rotating key words. */
void BuildSubkeys(KeySchedule &schedule, uint16_t *keyWords, int first, const int *rotation)
{
   for (int i = 0; i < ROUNDS_PER_PASS; i++)
   {
      Subkey &subkey = schedule.round[first + i];
      for (uint32_t &word : subkey)
         word = 0;
      for (int step = 0; step < SUBKEY_STEPS; step++)
      {
         uint32_t &word = subkey[step % SUBKEY_WORDS];
         for (int k = 0; k < KEY_WORDS; k++)
         {
            uint16_t &keyWord = keyWords[(rotation[i] + k) % KEY_WORDS];
            uint32_t bit = keyWord & 1u;
            word = (word << 1) | bit;
            keyWord = uint16_t((keyWord >> 1) | ((bit ^ 1u) << KEY_WORD_TOP_BIT));
         }
      }
   }
}

void SetKey(KeySchedule &schedule, const uint8_t *key)
{
   uint16_t keyWords[KEY_WORDS];
   for (int i = 0; i < KEY_WORDS; i++)
      keyWords[KEY_WORDS - 1 - i] = uint16_t((key[2 * i] << 8) | key[2 * i + 1]);
   BuildSubkeys(schedule, keyWords, 0, KEY_ROTATION);
   BuildSubkeys(schedule, keyWords, ICE_ROUNDS - ROUNDS_PER_PASS, KEY_ROTATION + ROUNDS_PER_PASS);
   SecureWipe(keyWords, sizeof(keyWords));
}

void EncryptBlock(const KeySchedule &schedule, const uint8_t *in, uint8_t *out)
{
   uint32_t l = LoadBE32(in);
   uint32_t r = LoadBE32(in + 4);
   for (int i = 0; i < ICE_ROUNDS; i += 2)
   {
      l ^= RoundFunction(r, schedule.round[i]);
      r ^= RoundFunction(l, schedule.round[i + 1]);
   }
   StoreBE32(out, r);
   StoreBE32(out + 4, l);
}

void DecryptBlock(const KeySchedule &schedule, const uint8_t *in, uint8_t *out)
{
   uint32_t l = LoadBE32(in);
   uint32_t r = LoadBE32(in + 4);
   for (int i = ICE_ROUNDS - 1; i > 0; i -= 2)
   {
      l ^= RoundFunction(r, schedule.round[i]);
      r ^= RoundFunction(l, schedule.round[i - 1]);
   }
   StoreBE32(out, r);
   StoreBE32(out + 4, l);
}

/* Runs `block` over every whole block of in into out and copies a trailing partial block
 * unchanged. Blocks are taken in the order that never overwrites input not yet read, so
 * in and out may overlap in any way. */
void ProcessBlocks(const uint8_t *in, int size, uint8_t *out, const uint8_t *key,
                   void (*block)(const KeySchedule &, const uint8_t *, uint8_t *))
{
   if (in == nullptr || out == nullptr || key == nullptr || size <= 0)
      return;
   KeySchedule schedule;
   SetKey(schedule, key);
   size_t blocks = size_t(size) / ICE_BLOCK_SIZE;
   size_t whole = blocks * ICE_BLOCK_SIZE;
   size_t tail = size_t(size) - whole;
   if (reinterpret_cast<uintptr_t>(out) <= reinterpret_cast<uintptr_t>(in))
   {
      for (size_t i = 0; i < whole; i += ICE_BLOCK_SIZE)
         block(schedule, in + i, out + i);
      memmove(out + whole, in + whole, tail);
   }
   else
   {
      memmove(out + whole, in + whole, tail);
      for (size_t i = whole; i > 0; i -= ICE_BLOCK_SIZE)
         block(schedule, in + i - ICE_BLOCK_SIZE, out + i - ICE_BLOCK_SIZE);
   }
   SecureWipe(&schedule, sizeof(schedule));
}

}  // namespace

QV_API void ICEEncryptData(const uint8_t *in, int size, uint8_t *out, const uint8_t *key)
{
   ProcessBlocks(in, size, out, key, EncryptBlock);
}

QV_API void ICEDecryptData(const uint8_t *in, int size, uint8_t *out, const uint8_t *key)
{
   ProcessBlocks(in, size, out, key, DecryptBlock);
}
