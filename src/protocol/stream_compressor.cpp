/* The stream compressor interface, its factory and the pass-through compressor. */
#include <qorvel.h>

#include <new>
#include <string.h>

StreamCompressor::~StreamCompressor() {}

StreamCompressor *StreamCompressor::create(QVCPStreamCompressionMethod method, bool compress, size_t maxBlockSize)
{
   switch (method)
   {
      case STREAM_COMPRESSION_NONE: return new (std::nothrow) DummyStreamCompressor();
      case STREAM_COMPRESSION_LZ4: return new (std::nothrow) LZ4StreamCompressor(compress, maxBlockSize);
      case STREAM_COMPRESSION_DEFLATE: return new (std::nothrow) DeflateStreamCompressor(compress, maxBlockSize);
      default: return nullptr;
   }
}

size_t DummyStreamCompressor::compress(const uint8_t *in, size_t inSize, uint8_t *out, size_t maxOutSize)
{
   if (inSize == 0 || in == nullptr || out == nullptr || maxOutSize < inSize)
      return 0;
   memmove(out, in, inSize);
   return inSize;
}

size_t DummyStreamCompressor::decompress(const uint8_t *in, size_t inSize, const uint8_t **out)
{
   // Where an empty block without an input pointer is handed out.
   static const uint8_t s_emptyBlock = 0;

   if (out == nullptr)
      return 0;
   if (in == nullptr && inSize > 0)
   {
      *out = nullptr;
      return 0;
   }
   *out = (in != nullptr) ? in : &s_emptyBlock;
   return inSize;
}

size_t DummyStreamCompressor::compressBufferSize(size_t dataSize) const
{
   return dataSize;
}
