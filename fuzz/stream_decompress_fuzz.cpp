/* Fuzz target for the stream decompressors. The first byte picks the maximum block size;
 * the rest is a sequence of blocks, each a 16-bit little-endian length and that many
 * bytes (cut short at the end of the input), so the fuzzer chooses where a stream is
 * split. Every block goes, in its own heap block of exactly its size, to a decompressor
 * of each method in turn. A restored block must lie within the decompressor's room and
 * is read whole; a failure must give 0 and a null pointer, and after one every later
 * block of an LZ4 or deflate stream must fail too. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <initializer_list>

namespace {

volatile uint32_t g_sink;

/* Maximum block sizes the first byte picks from (its low two bits). */
const size_t MAX_BLOCK_SIZES[] = {4096, 256, 1, 32768};

/* Bytes of a block's length prefix. */
constexpr size_t LENGTH_PREFIX_SIZE = 2;

void Check(bool condition)
{
   if (!condition)
      abort();
}

void Feed(QVCPStreamCompressionMethod method, size_t maxBlockSize, const uint8_t *data, size_t size)
{
   StreamCompressor *d = StreamCompressor::create(method, false, maxBlockSize);
   Check(d != nullptr);
   bool ended = false;
   while (size > 0)
   {
      size_t prefix = (size >= LENGTH_PREFIX_SIZE) ? LENGTH_PREFIX_SIZE : size;
      size_t length = (prefix == LENGTH_PREFIX_SIZE) ? (data[0] | size_t(data[1]) << 8) : data[0];
      data += prefix;
      size -= prefix;
      length = (length < size) ? length : size;

      uint8_t *block = static_cast<uint8_t *>(malloc(length > 0 ? length : 1));
      if (length > 0)
         memcpy(block, data, length);
      const uint8_t *out = block;
      size_t restored = d->decompress(block, length, &out);
      if (out == nullptr)
      {
         Check(restored == 0);
         ended = (method != STREAM_COMPRESSION_NONE);
      }
      else
      {
         // The LZ4 ring has room for one largest block, the deflate buffer for two.
         size_t room = (method == STREAM_COMPRESSION_LZ4)       ? maxBlockSize
                       : (method == STREAM_COMPRESSION_DEFLATE) ? 2 * maxBlockSize - 1
                                                                : length;
         Check(!ended && restored <= room);
         Check(method != STREAM_COMPRESSION_NONE || out == block);
         uint32_t sum = 0;
         for (size_t i = 0; i < restored; i++)
            sum += out[i];
         g_sink = sum;
      }
      free(block);
      data += length;
      size -= length;
   }
   delete d;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   size_t maxBlockSize = MAX_BLOCK_SIZES[data[0] & 3];
   for (QVCPStreamCompressionMethod method :
        {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE})
      Feed(method, maxBlockSize, data + 1, size - 1);
   return 0;
}
