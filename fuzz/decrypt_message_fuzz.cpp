/* Fuzz target for envelope decryption under keys fixed for the process (one context per
 * cipher the platform has). The first byte picks the context (its low 3 bits) and the
 * mode. Plain mode: the rest is an envelope, decrypted from a heap block of exactly its
 * bytes with a scratch buffer of as many. Sealed mode (0x08): the second byte names an
 * edit, the next four its argument, and the rest is a message (its size word made to
 * match) that is encrypted first and then edited; unedited it must decrypt to itself.
 * Whatever the bytes, nothing outside the two blocks may be touched, and a success must
 * leave a whole message within the block. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

namespace {

volatile int g_sink;

/* Bits of the first byte. */
constexpr uint8_t CONTEXT_MASK = 0x07;
constexpr uint8_t SEALED = 0x08;

/* Edits of a sealed envelope; the argument says where or what. */
enum Edit : uint8_t
{
   EDIT_NONE = 0,
   EDIT_FLIP_BYTE = 1,  // xor the byte at argument % size with the argument's top byte
   EDIT_PADDING = 2,    // the padding byte becomes the argument's low byte
   EDIT_SIZE = 3,       // the size word becomes the argument
   EDIT_CUT = 4,        // the block ends after argument % size bytes (size word kept)
   EDIT_COUNT = 5
};

/* Bytes before the message in sealed mode: control, edit, argument. */
constexpr size_t SEALED_PREFIX = 6;

/* Offset of the size word in a message header and in the envelope. */
constexpr size_t SIZE_OFFSET = 4;

void Check(bool condition)
{
   if (!condition)
      abort();
}

uint32_t LoadBE32(const uint8_t *p)
{
   return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

void StoreBE32(uint8_t *p, uint32_t v)
{
   for (int i = 0; i < 4; i++)
      p[i] = uint8_t(v >> (24 - 8 * i));
}

/* One context per cipher that can be set up, made once and kept for the process. */
const std::vector<QVCPEncryptionContext *> &Contexts()
{
   static const std::vector<QVCPEncryptionContext *> &contexts = *[] {
      auto *list = new std::vector<QVCPEncryptionContext *>;
      for (int id = 0; id < QVCP_CIPHER_COUNT; id++)
         if (QVCPEncryptionContext *ctx = QVCPEncryptionContext::create(1u << id))
            list->push_back(ctx);
      return list;
   }();
   return contexts;
}

/* Decrypts the bytes from a block of exactly their size; on success the plain message
 * must lie within the block. Returns the result and, when plain is given, a copy of the
 * message. */
bool Decrypt(QVCPEncryptionContext *ctx, const uint8_t *bytes, size_t size, std::vector<uint8_t> *plain)
{
   size_t blockSize = (size > 0) ? size : 1;
   uint8_t *block = static_cast<uint8_t *>(malloc(blockSize));
   uint8_t *scratch = static_cast<uint8_t *>(malloc(blockSize));
   if (size > 0)
      memcpy(block, bytes, size);
   bool ok = size >= QVCP_ENCRYPTED_HEADER_SIZE &&
             ctx->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(block), scratch, size);
   if (ok)
   {
      size_t plainSize = LoadBE32(block + SIZE_OFFSET);
      Check(plainSize >= QVCP_HEADER_SIZE && plainSize < size);
      if (plain != nullptr)
         plain->assign(block, block + plainSize);
      g_sink = block[0];
   }
   free(block);
   free(scratch);
   return ok;
}

void Sealed(QVCPEncryptionContext *ctx, const uint8_t *data, size_t size)
{
   if (size < SEALED_PREFIX + QVCP_HEADER_SIZE)
      return;
   Edit edit = Edit(data[1] % EDIT_COUNT);
   uint32_t argument = LoadBE32(data + 2);
   std::vector<uint8_t> msg(data + SEALED_PREFIX, data + size);
   StoreBE32(&msg[SIZE_OFFSET], uint32_t(msg.size()));
   msg[3] &= uint8_t(~QVCP_MF_DONT_ENCRYPT);  // low byte of the flags word

   QVCP_ENCRYPTED_MESSAGE *sealed = ctx->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(msg.data()));
   Check(sealed != nullptr);
   std::vector<uint8_t> env(reinterpret_cast<uint8_t *>(sealed),
                            reinterpret_cast<uint8_t *>(sealed) + LoadBE32(reinterpret_cast<uint8_t *>(sealed) + 4));
   free(sealed);
   Check(env.size() % 8 == 0 && env.size() > msg.size() + QVCP_ENCRYPTED_HEADER_SIZE);
   switch (edit)
   {
      case EDIT_NONE: break;
      case EDIT_FLIP_BYTE: env[argument % env.size()] ^= uint8_t(argument >> 24); break;
      case EDIT_PADDING: env[2] = uint8_t(argument); break;
      case EDIT_SIZE: StoreBE32(&env[SIZE_OFFSET], argument); break;
      case EDIT_CUT: env.resize(argument % env.size()); break;
      default: break;
   }
   std::vector<uint8_t> plain;
   bool ok = Decrypt(ctx, env.data(), env.size(), &plain);
   if (edit == EDIT_NONE)
      Check(ok && plain == msg);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   const std::vector<QVCPEncryptionContext *> &contexts = Contexts();
   if (size < 1 || contexts.empty())
      return 0;
   QVCPEncryptionContext *ctx = contexts[(data[0] & CONTEXT_MASK) % contexts.size()];
   if ((data[0] & SEALED) != 0)
      Sealed(ctx, data, size);
   else
      Decrypt(ctx, data + 1, size - 1, nullptr);
   return 0;
}
