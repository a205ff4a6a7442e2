/* Stream compressors: the factory, the pass-through method, round trips of block sequences
 * for every method, the carried dictionary, the LZ4 ring, exact output room, and the
 * rejection of corrupt, mismatched and oversized input. Every block handed to a
 * compressor lives in a heap block of exactly its size, so that a read or write past it
 * shows under the address sanitizer. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include <stdlib.h>
#include <string.h>

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::unique_ptr<StreamCompressor> Compressor;

/* A heap block of exactly the given size and content. */
class HeapBlock
{
   uint8_t *m_data;
   size_t m_size;

public:
   explicit HeapBlock(size_t size) : m_data(static_cast<uint8_t *>(malloc(size > 0 ? size : 1))), m_size(size) {}
   explicit HeapBlock(const Bytes &content) : HeapBlock(content.size())
   {
      if (!content.empty())
         memcpy(m_data, content.data(), content.size());
   }
   ~HeapBlock() { free(m_data); }
   HeapBlock(const HeapBlock &) = delete;
   HeapBlock &operator=(const HeapBlock &) = delete;

   uint8_t *data() const { return m_data; }
   size_t size() const { return m_size; }
};

Bytes RandomBytes(size_t size, uint32_t seed)
{
   std::mt19937 rng(seed);
   Bytes bytes(size);
   for (uint8_t &b : bytes)
      b = uint8_t(rng());
   return bytes;
}

/* Text-like data that compresses well. */
Bytes CompressibleBytes(size_t size)
{
   static const char WORDS[] = "interface eth0 up; ping 10.0.0.1 ok; ";
   Bytes bytes(size);
   for (size_t i = 0; i < size; i++)
      bytes[i] = uint8_t(WORDS[i % (sizeof(WORDS) - 1)]);
   return bytes;
}

/* Compresses block with room bytes of output (compressBufferSize when room is 0); an
 * empty result means failure. */
Bytes Compress(StreamCompressor *c, const Bytes &block, size_t room = 0)
{
   HeapBlock in(block);
   HeapBlock out(room > 0 ? room : c->compressBufferSize(block.size()));
   size_t size = c->compress(in.data(), block.size(), out.data(), out.size());
   EXPECT_LE(size, out.size());
   return Bytes(out.data(), out.data() + size);
}

/* Restores block; false on failure, which must come with a null output pointer. */
bool Decompress(StreamCompressor *d, const Bytes &block, Bytes *restored)
{
   HeapBlock in(block);
   const uint8_t *out = reinterpret_cast<const uint8_t *>(&out);
   size_t size = d->decompress(in.data(), block.size(), &out);
   if (out == nullptr)
   {
      EXPECT_EQ(size, 0u);
      return false;
   }
   restored->assign(out, out + size);
   return true;
}

const QVCPStreamCompressionMethod METHODS[] = {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4,
                                               STREAM_COMPRESSION_DEFLATE};
const QVCPStreamCompressionMethod PACKING_METHODS[] = {STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE};

std::string MethodName(QVCPStreamCompressionMethod method)
{
   static const char *const NAMES[] = {"none", "lz4", "deflate"};
   return NAMES[method];
}

Compressor Make(QVCPStreamCompressionMethod method, bool compress, size_t maxBlockSize)
{
   return Compressor(StreamCompressor::create(method, compress, maxBlockSize));
}

}  // namespace

TEST(StreamCompressor, FactoryMakesEachMethodAndRefusesUnknownOnes)
{
   for (bool compress : {true, false})
   {
      EXPECT_NE(dynamic_cast<DummyStreamCompressor *>(Make(STREAM_COMPRESSION_NONE, compress, 100).get()), nullptr);
      EXPECT_NE(dynamic_cast<LZ4StreamCompressor *>(Make(STREAM_COMPRESSION_LZ4, compress, 100).get()), nullptr);
      EXPECT_NE(dynamic_cast<DeflateStreamCompressor *>(Make(STREAM_COMPRESSION_DEFLATE, compress, 100).get()),
                nullptr);
      EXPECT_EQ(Make(QVCPStreamCompressionMethod(3), compress, 100), nullptr);
   }
}

TEST(StreamCompressor, PassThroughCopiesAndHandsBackItsInput)
{
   DummyStreamCompressor c;
   Bytes block = RandomBytes(100, 1);
   EXPECT_EQ(c.compressBufferSize(100), 100u);
   EXPECT_EQ(Compress(&c, block, 100), block);
   EXPECT_TRUE(Compress(&c, block, 99).empty());
   EXPECT_TRUE(Compress(&c, Bytes(), 10).empty()) << "an empty block has no pass-through form";

   const uint8_t *out = nullptr;
   EXPECT_EQ(c.decompress(block.data(), block.size(), &out), 100u);
   EXPECT_EQ(out, block.data());
   EXPECT_EQ(c.decompress(nullptr, 0, &out), 0u);
   EXPECT_NE(out, nullptr) << "0 bytes are an empty block";
   EXPECT_EQ(c.decompress(nullptr, 5, &out), 0u);
   EXPECT_EQ(out, nullptr);
}

TEST(StreamCompressor, BufferSizes)
{
   LZ4StreamCompressor lz4(true, 4096);
   EXPECT_EQ(lz4.compressBufferSize(1000), 1019u);
   EXPECT_EQ(lz4.compressBufferSize(STREAM_COMPRESSOR_MAX_BLOCK_SIZE), 0x7E000000u + 0x7E000000u / 255 + 16);
   EXPECT_EQ(lz4.compressBufferSize(STREAM_COMPRESSOR_MAX_BLOCK_SIZE + 1), 0u);
   DeflateStreamCompressor deflate(true, 4096);
   EXPECT_GT(deflate.compressBufferSize(1000), 1000u);
   EXPECT_EQ(deflate.compressBufferSize(STREAM_COMPRESSOR_MAX_BLOCK_SIZE + 1), 0u);
   EXPECT_EQ(DeflateStreamCompressor(true, 0).compressBufferSize(1000), 0u) << "no stream";
}

/* Every method restores, block by block, a sequence of every kind of block, through
 * enough data to turn the LZ4 ring several times; each block is compressed with exactly
 * compressBufferSize of room. */
TEST(StreamCompressor, RoundTripsBlockSequences)
{
   for (size_t maxBlock : {size_t(1), size_t(4096), size_t(32768)})
   {
      std::vector<Bytes> blocks = {Bytes(),
                                   Bytes(1, 0x5A),
                                   Bytes(),
                                   RandomBytes(maxBlock, 2),
                                   CompressibleBytes(maxBlock),
                                   RandomBytes(maxBlock, 2),
                                   Bytes(),
                                   Bytes()};
      for (uint32_t i = 0; i < 40; i++)
         blocks.push_back(i % 3 == 0 ? RandomBytes(maxBlock - i % maxBlock, i) : CompressibleBytes(maxBlock / 2 + 1));
      blocks.push_back(Bytes(1, 0));

      for (QVCPStreamCompressionMethod method : METHODS)
      {
         SCOPED_TRACE(MethodName(method) + " max " + std::to_string(maxBlock));
         Compressor c = Make(method, true, maxBlock), d = Make(method, false, maxBlock);
         for (size_t i = 0; i < blocks.size(); i++)
         {
            if (method == STREAM_COMPRESSION_NONE && blocks[i].empty())
               continue;
            Bytes packed = Compress(c.get(), blocks[i]), restored;
            ASSERT_FALSE(packed.empty()) << "block " << i;
            ASSERT_TRUE(Decompress(d.get(), packed, &restored)) << "block " << i;
            ASSERT_EQ(restored, blocks[i]) << "block " << i;
         }
      }
   }
}

/* A block that repeats an earlier one is coded against the carried history, which the
 * LZ4 compressor keeps in its own copy: the caller's input buffer is overwritten between
 * blocks. Blocks of 0 bytes (what peers send for an empty block) change nothing. */
TEST(StreamCompressor, LaterBlocksUseTheCarriedDictionary)
{
   const size_t BLOCK = 16384;
   Bytes first = RandomBytes(BLOCK, 3);
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(MethodName(method));
      Compressor c = Make(method, true, BLOCK), d = Make(method, false, BLOCK);
      HeapBlock in(first), out(c->compressBufferSize(BLOCK));
      size_t firstSize = c->compress(in.data(), BLOCK, out.data(), out.size());
      Bytes packedFirst(out.data(), out.data() + firstSize);
      memset(in.data(), 0xEE, BLOCK);
      Bytes packedAgain = Compress(c.get(), first);
      EXPECT_GT(firstSize, BLOCK);
      EXPECT_LT(packedAgain.size(), BLOCK / 50);

      Bytes restored;
      ASSERT_TRUE(Decompress(d.get(), packedFirst, &restored));
      EXPECT_EQ(restored, first);
      ASSERT_TRUE(Decompress(d.get(), Bytes(), &restored));
      EXPECT_TRUE(restored.empty());
      ASSERT_TRUE(Decompress(d.get(), packedAgain, &restored));
      EXPECT_EQ(restored, first);
   }
}

/* With a maximum block of 4096 the ring is 73736 bytes: a block is restored where the
 * previous one ended until that end passes 69640, and then at the start. An empty block
 * just after the turn keeps the history for the next block, which repeats the last one. */
TEST(StreamCompressor, LZ4RingTurnsOncePastItsLastBlockRoom)
{
   LZ4StreamCompressor c(true, 4096), d(false, 4096);
   std::vector<Bytes> blocks;
   for (uint32_t i = 0; i < 17; i++)  // up to 69632
      blocks.push_back(RandomBytes(4096, i));
   blocks.push_back(RandomBytes(8, 17));     // ends at 69640: no turn yet
   blocks.push_back(RandomBytes(4096, 18));  // ends past 69640
   blocks.push_back(Bytes());
   blocks.push_back(blocks[18]);
   const size_t expectedOffsets[] = {0,     4096,  8192,  12288, 16384, 20480, 24576, 28672, 32768, 36864, 40960,
                                     45056, 49152, 53248, 57344, 61440, 65536, 69632, 69640, 0,     0};

   const uint8_t *ringStart = nullptr;
   for (size_t i = 0; i < blocks.size(); i++)
   {
      Bytes packed = Compress(&c, blocks[i]);
      HeapBlock in(packed);
      const uint8_t *out = nullptr;
      ASSERT_EQ(d.decompress(in.data(), in.size(), &out), blocks[i].size()) << "block " << i;
      if (i == 0)
         ringStart = out;
      EXPECT_EQ(size_t(out - ringStart), expectedOffsets[i]) << "block " << i;
      EXPECT_EQ(Bytes(out, out + blocks[i].size()), blocks[i]);
      if (i == blocks.size() - 1)
      {
         EXPECT_LT(packed.size(), 100u) << "the repeat is coded against the history";
      }
   }
}

/* A compressor given exactly the room a block needs writes the same bytes as with ample
 * room; with one byte less it fails without writing past the room, and that failure ends
 * its stream. A block refused for its size leaves the stream usable. */
TEST(StreamCompressor, ExactRoomAndFailuresThatEndTheStream)
{
   const size_t BLOCK = 8192;
   std::vector<Bytes> blocks = {Bytes(), RandomBytes(BLOCK, 4), CompressibleBytes(BLOCK), Bytes(), Bytes(1, 7)};
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(MethodName(method));
      Compressor ample = Make(method, true, BLOCK), exact = Make(method, true, BLOCK);
      for (const Bytes &block : blocks)
      {
         Bytes expected = Compress(ample.get(), block);
         ASSERT_EQ(Compress(exact.get(), block, expected.size()), expected);
      }
      EXPECT_TRUE(Compress(exact.get(), RandomBytes(BLOCK + 1, 5)).empty());
      Bytes block = CompressibleBytes(BLOCK / 2);
      ASSERT_EQ(Compress(exact.get(), block), Compress(ample.get(), block)) << "after a refused block";

      block = RandomBytes(BLOCK, 6);
      Bytes expected = Compress(ample.get(), block);
      auto input = std::make_unique<HeapBlock>(block);
      HeapBlock shortRoom(expected.size() - 1);
      EXPECT_EQ(exact->compress(input->data(), BLOCK, shortRoom.data(), shortRoom.size()), 0u);
      input.reset();  // a stream still referring to it would read freed memory
      EXPECT_TRUE(Compress(exact.get(), block).empty());
      EXPECT_TRUE(Compress(exact.get(), Bytes()).empty());
   }
}

/* With a room that zlib fills up exactly at one of its inner block boundaries, nothing is
 * left pending inside zlib but input is left over: the block must fail rather than pass
 * for a shorter one. The room is found with a zlib stream of the same settings. */
TEST(StreamCompressor, DeflateFailsABlockWhoseInputItCouldNotTake)
{
   const size_t BLOCK = 100000;
   Bytes block = RandomBytes(BLOCK, 8);
   size_t room = 1000;
   for (;;)
   {
      z_stream z = {};
      ASSERT_EQ(deflateInit(&z, 9), Z_OK);
      Bytes out(room);
      z.next_in = block.data();
      z.avail_in = uInt(BLOCK);
      z.next_out = out.data();
      z.avail_out = uInt(room);
      deflate(&z, Z_SYNC_FLUSH);
      unsigned pending = 0;
      int bits = 0;
      deflatePending(&z, &pending, &bits);
      uInt left = z.avail_in;
      deflateEnd(&z);
      ASSERT_GT(left, 0u);
      if (pending == 0)
         break;
      room += pending;
      ASSERT_LT(room, BLOCK) << "no room that ends at a boundary";
   }
   DeflateStreamCompressor c(true, BLOCK);
   EXPECT_TRUE(Compress(&c, block, room).empty());
}

/* Corrupt, cut, lengthened, foreign and oversized blocks fail with a null output
 * pointer, and so does every block after them. */
TEST(StreamCompressor, DecompressorsRejectBadBlocks)
{
   const size_t BLOCK = 4096;
   Bytes data = CompressibleBytes(BLOCK);
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(MethodName(method));
      QVCPStreamCompressionMethod other =
          (method == STREAM_COMPRESSION_LZ4) ? STREAM_COMPRESSION_DEFLATE : STREAM_COMPRESSION_LZ4;
      Bytes packed = Compress(Make(method, true, BLOCK).get(), data);
      Bytes large = Compress(Make(method, true, 4 * BLOCK).get(), CompressibleBytes(4 * BLOCK));
      Bytes corrupt = packed, cut(packed.begin(), packed.end() - 1), longer = packed;
      corrupt[packed.size() / 2] ^= 0x55;
      longer.push_back(0);

      Bytes restored;
      struct
      {
         const char *what;
         Bytes block;
         QVCPStreamCompressionMethod decoder;
      } cases[] = {{"cut", cut, method},
                   {"extra byte", longer, method},
                   {"foreign", packed, other},
                   {"larger than the room", large, method},
                   {"corrupt", corrupt, method}};
      for (const auto &bad : cases)
      {
         Compressor d = Make(bad.decoder, false, BLOCK);
         bool restoredIt = Decompress(d.get(), bad.block, &restored);
         if (restoredIt && strcmp(bad.what, "corrupt") == 0)
         {
            EXPECT_NE(restored, data) << "a changed literal may still decode";
            continue;
         }
         EXPECT_FALSE(restoredIt) << bad.what;
         EXPECT_FALSE(Decompress(d.get(), packed, &restored)) << bad.what << ": the stream has ended";
      }
   }
}

TEST(StreamCompressor, WrongDirectionAndBadBlockSizesFailEveryCall)
{
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(MethodName(method));
      Bytes packed = Compress(Make(method, true, 100).get(), Bytes(1, 1)), restored;
      EXPECT_TRUE(Compress(Make(method, false, 100).get(), Bytes(1, 1), 100).empty());
      EXPECT_FALSE(Decompress(Make(method, true, 100).get(), packed, &restored));
      for (size_t maxBlock : {size_t(0), STREAM_COMPRESSOR_MAX_BLOCK_SIZE + 1})
      {
         EXPECT_TRUE(Compress(Make(method, true, maxBlock).get(), Bytes(), 100).empty());
         EXPECT_FALSE(Decompress(Make(method, false, maxBlock).get(), packed, &restored));
      }
   }
}

namespace {

std::vector<std::wstring> g_debugMessages;

void CaptureDebug(const wchar_t *tag, const wchar_t *message)
{
   g_debugMessages.push_back(message);
}

}  // namespace

TEST(StreamCompressor, DeflateFailuresGoToTheDebugOutput)
{
   g_debugMessages.clear();
   int32_t level = qvlog_get_debug_level();
   qvlog_set_debug_level(5);
   qvlog_set_debug_writer(CaptureDebug);
   DeflateStreamCompressor c(true, 100), d(false, 100);
   Compress(&c, RandomBytes(100, 7), 10);
   Bytes restored;
   Decompress(&d, Bytes(10, 0xFF), &restored);
   qvlog_set_debug_writer(nullptr);
   qvlog_set_debug_level(level);
   EXPECT_EQ(g_debugMessages, (std::vector<std::wstring>{L"DeflateStreamCompressor: deflate() failed",
                                                         L"DeflateStreamCompressor: inflate() failed"}));
}
