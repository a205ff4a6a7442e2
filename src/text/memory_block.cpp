/* Byte blocks: copies, exchange of contents and byte-order reversal of element arrays. */
#include <qv_strings.h>

#include <stdlib.h>
#include <string.h>

namespace {

/* Bytes exchanged per step of qv_memswap, through a buffer on the stack. */
constexpr size_t SWAP_CHUNK = 256;

inline uint16_t Swap16(uint16_t v)
{
   return __builtin_bswap16(v);
}

inline uint32_t Swap32(uint32_t v)
{
   return __builtin_bswap32(v);
}

template <typename T, T (*swap)(T)> void SwapArray(T *values, int count)
{
   if (values == nullptr)
      return;
   if (count < 0)
   {
      for (; *values != 0; values++)
         *values = swap(*values);
      return;
   }
   for (int i = 0; i < count; i++)
      values[i] = swap(values[i]);
}

}  // namespace

QV_API void *MemCopyBlock(const void *data, size_t size)
{
   if (data == nullptr && size > 0)
      return nullptr;
   // malloc(0) may give null; a block of one byte keeps "null means failure" true.
   void *copy = malloc((size > 0) ? size : 1);
   if (copy != nullptr && size > 0)
      memcpy(copy, data, size);
   return copy;
}

QV_API void qv_memswap(void *block1, void *block2, size_t size)
{
   // In steps through a stack buffer: nothing to allocate, so nothing can fail halfway.
   unsigned char buffer[SWAP_CHUNK];
   unsigned char *a = static_cast<unsigned char *>(block1);
   unsigned char *b = static_cast<unsigned char *>(block2);
   while (size > 0)
   {
      size_t n = (size < SWAP_CHUNK) ? size : SWAP_CHUNK;
      memcpy(buffer, a, n);
      memcpy(a, b, n);
      memcpy(b, buffer, n);
      a += n;
      b += n;
      size -= n;
   }
}

QV_API void bswap_array_16(uint16_t *values, int count)
{
   SwapArray<uint16_t, Swap16>(values, count);
}

QV_API void bswap_array_32(uint32_t *values, int count)
{
   SwapArray<uint32_t, Swap32>(values, count);
}
