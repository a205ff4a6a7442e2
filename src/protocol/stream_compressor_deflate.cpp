/* The deflate stream compressor: zlib at level 9, every block ended by a sync flush so that
 * the receiver can restore it on arrival. */
#include <qorvel.h>

#include <zlib.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Compression level of the stream. */
constexpr int DEFLATE_LEVEL = 9;

/* Debug level of the compressor's failures. */
constexpr int32_t FAILURE_DEBUG_LEVEL = 5;

/* An empty stored deflate block at a byte boundary (header bits 000, padding, length 0 and
 * its complement). After a sync flush zlib has nothing to write for an empty input, so an
 * empty block after the first is this. */
const uint8_t EMPTY_STORED_BLOCK[] = {0x00, 0x00, 0x00, 0xFF, 0xFF};

/* Bit of z_stream::data_type: inflate stopped at a block boundary. */
constexpr int INFLATE_AT_BLOCK_BOUNDARY = 128;

/* zlib takes sizes as 32-bit unsigned. */
uInt ZlibSize(size_t size)
{
   return (size < size_t(UINT_MAX)) ? uInt(size) : uInt(UINT_MAX);
}

size_t DeflateFailed()
{
   qvlog_debug(FAILURE_DEBUG_LEVEL, L"DeflateStreamCompressor: deflate() failed");
   return 0;
}

size_t InflateFailed()
{
   qvlog_debug(FAILURE_DEBUG_LEVEL, L"DeflateStreamCompressor: inflate() failed");
   return 0;
}

}  // namespace

DeflateStreamCompressor::DeflateStreamCompressor(bool compress, size_t maxBlockSize)
    : m_stream(nullptr), m_buffer(nullptr), m_bufferSize(0), m_maxBlockSize(maxBlockSize), m_compress(compress),
      m_failed(false)
{
   if (maxBlockSize == 0 || maxBlockSize > STREAM_COMPRESSOR_MAX_BLOCK_SIZE)
      return;
   if (!compress)
   {
      m_bufferSize = 2 * maxBlockSize;
      m_buffer = static_cast<uint8_t *>(malloc(m_bufferSize));
      if (m_buffer == nullptr)
         return;
   }
   m_stream = static_cast<z_stream *>(calloc(1, sizeof(z_stream)));
   if (m_stream == nullptr)
      return;
   if (compress ? (deflateInit(m_stream, DEFLATE_LEVEL) != Z_OK) : (inflateInit(m_stream) != Z_OK))
   {
      qvlog_debug(FAILURE_DEBUG_LEVEL, compress ? L"DeflateStreamCompressor: deflateInit() failed"
                                                : L"DeflateStreamCompressor: inflateInit() failed");
      free(m_stream);
      m_stream = nullptr;
   }
}

DeflateStreamCompressor::~DeflateStreamCompressor()
{
   if (m_stream != nullptr)
   {
      if (m_compress)
         deflateEnd(m_stream);
      else
         inflateEnd(m_stream);
      free(m_stream);
   }
   free(m_buffer);
}

size_t DeflateStreamCompressor::compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize)
{
   if (!m_compress || m_stream == nullptr || m_failed)
      return 0;
   if (out == nullptr || maxOutSize == 0 || inSize > m_maxBlockSize || (in == nullptr && inSize > 0))
      return DeflateFailed();

   uInt room = ZlibSize(maxOutSize);
   if (inSize == 0 && m_stream->total_out > 0)
   {
      if (room < sizeof(EMPTY_STORED_BLOCK))
         return DeflateFailed();
      memcpy(out, EMPTY_STORED_BLOCK, sizeof(EMPTY_STORED_BLOCK));
      return sizeof(EMPTY_STORED_BLOCK);
   }

   m_stream->next_in = const_cast<Bytef *>(in);
   m_stream->avail_in = uInt(inSize);
   m_stream->next_out = out;
   m_stream->avail_out = room;
   int rc = deflate(m_stream, Z_SYNC_FLUSH);
   // The block is whole only when all input went in and nothing is left inside zlib for a
   // later call; otherwise the rest of it would open the next block.
   unsigned pending = 0;
   int bits = 0;
   if (rc != Z_OK || m_stream->avail_in != 0 || deflatePending(m_stream, &pending, &bits) != Z_OK || pending != 0 ||
       bits != 0)
   {
      m_failed = true;
      return DeflateFailed();
   }
   return room - m_stream->avail_out;
}

size_t DeflateStreamCompressor::decompress(const uint8_t *in, size_t inSize, const uint8_t **out)
{
   if (out == nullptr)
      return 0;
   *out = nullptr;
   if (m_compress || m_stream == nullptr || m_failed)
      return 0;
   if (inSize == 0)
   {
      *out = m_buffer;
      return 0;
   }
   if (in == nullptr || inSize > size_t(UINT_MAX))
      return InflateFailed();

   m_stream->next_in = const_cast<Bytef *>(in);
   m_stream->avail_in = uInt(inSize);
   m_stream->next_out = m_buffer;
   m_stream->avail_out = ZlibSize(m_bufferSize);
   // Block by block, so that the end of the input can be checked to be a block boundary:
   // a block cut short would otherwise pass for a shorter one.
   int rc;
   do
   {
      rc = inflate(m_stream, Z_BLOCK);
   } while (rc == Z_OK && m_stream->avail_in > 0 && m_stream->avail_out > 0);
   bool whole = (rc == Z_STREAM_END) || (rc == Z_OK && (m_stream->data_type & INFLATE_AT_BLOCK_BOUNDARY) != 0);
   // A full buffer means the block may be larger than the room.
   if (!whole || m_stream->avail_in != 0 || m_stream->avail_out == 0)
   {
      m_failed = true;
      return InflateFailed();
   }
   *out = m_buffer;
   return m_bufferSize - m_stream->avail_out;
}

size_t DeflateStreamCompressor::compressBufferSize(size_t dataSize) const
{
   if (m_stream == nullptr || dataSize > STREAM_COMPRESSOR_MAX_BLOCK_SIZE)
      return 0;
   // A decompressing stream is no deflate stream; without one zlib gives its general bound.
   return size_t(deflateBound(m_compress ? m_stream : nullptr, uLong(dataSize)));
}
