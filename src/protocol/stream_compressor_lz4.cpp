/* The LZ4 stream compressor: block compression with the last 64 KiB of the stream as
 * dictionary, kept in the object while compressing and in a ring of restored blocks
 * while decompressing. */
#include <qorvel.h>

#include <lz4.h>

#include <limits.h>
#include <stdlib.h>

namespace {

/* Size of the compressing side's dictionary copy: LZ4's whole window. */
constexpr size_t DICTIONARY_SIZE = 65536;

/* The ring holds two largest blocks beyond this, so that the 64 KiB window before a block
 * is never overwritten while the block is restored. */
constexpr size_t RING_RESERVE = 65544;

/* LZ4's default acceleration (1 = best compression of the fast mode). */
constexpr int DEFAULT_ACCELERATION = 1;

}  // namespace

LZ4StreamCompressor::LZ4StreamCompressor(bool compress, size_t maxBlockSize)
    : m_buffer(nullptr), m_maxBlockSize(maxBlockSize), m_bufferSize(0), m_position(0), m_compress(compress),
      m_failed(false)
{
   m_stream.encoder = nullptr;
   if (maxBlockSize == 0 || maxBlockSize > STREAM_COMPRESSOR_MAX_BLOCK_SIZE)
      return;
   m_bufferSize = compress ? DICTIONARY_SIZE : 2 * maxBlockSize + RING_RESERVE;
   m_buffer = static_cast<uint8_t *>(malloc(m_bufferSize));
   if (m_buffer == nullptr)
      return;
   // Both come zeroed and initialised from LZ4.
   if (compress)
      m_stream.encoder = LZ4_createStream();
   else
      m_stream.decoder = LZ4_createStreamDecode();
}

LZ4StreamCompressor::~LZ4StreamCompressor()
{
   if (m_compress)
      LZ4_freeStream(m_stream.encoder);
   else
      LZ4_freeStreamDecode(m_stream.decoder);
   free(m_buffer);
}

size_t LZ4StreamCompressor::compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize)
{
   if (!m_compress || m_stream.encoder == nullptr || m_failed || out == nullptr || maxOutSize == 0 ||
       inSize > m_maxBlockSize || (in == nullptr && inSize > 0))
      return 0;
   int room = static_cast<int>(maxOutSize < size_t(INT_MAX) ? maxOutSize : size_t(INT_MAX));
   if (inSize == 0)
   {
      // LZ4's empty block, made without the stream, whose history would otherwise shrink
      // to the empty input.
      return size_t(LZ4_compress_default("", reinterpret_cast<char *>(out), 0, room));
   }

   int written = LZ4_compress_fast_continue(m_stream.encoder, reinterpret_cast<const char *>(in),
                                            reinterpret_cast<char *>(out), int(inSize), room, DEFAULT_ACCELERATION);
   // The stream now refers to the caller's input; the history is copied into the object
   // before the caller may reuse or free it. After a failure it is left referring to that
   // input, so no later call may use it.
   if (written <= 0 || LZ4_saveDict(m_stream.encoder, reinterpret_cast<char *>(m_buffer), int(DICTIONARY_SIZE)) <= 0)
   {
      m_failed = true;
      return 0;
   }
   return size_t(written);
}

size_t LZ4StreamCompressor::decompress(const uint8_t *in, size_t inSize, const uint8_t **out)
{
   if (out == nullptr)
      return 0;
   *out = nullptr;
   if (m_compress || m_stream.decoder == nullptr || m_failed || (in == nullptr && inSize > 0) ||
       inSize > size_t(INT_MAX))
      return 0;

   uint8_t *target = m_buffer + m_position;
   if (inSize == 0)
   {
      *out = target;
      return 0;
   }

   // Room for one largest block: the ring turns before less than that is left.
   int restored = LZ4_decompress_safe_continue(m_stream.decoder, reinterpret_cast<const char *>(in),
                                               reinterpret_cast<char *>(target), int(inSize), int(m_maxBlockSize));
   if (restored < 0)
   {
      m_failed = true;
      return 0;
   }
   m_position += size_t(restored);
   if (m_position > m_bufferSize - m_maxBlockSize)
      m_position = 0;
   *out = target;
   return size_t(restored);
}

size_t LZ4StreamCompressor::compressBufferSize(size_t dataSize) const
{
   return (dataSize <= STREAM_COMPRESSOR_MAX_BLOCK_SIZE) ? size_t(LZ4_COMPRESSBOUND(dataSize)) : 0;
}
