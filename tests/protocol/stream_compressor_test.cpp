/* Stream compressors: factory and pass-through, round trips of block sequences for every
 * method, the carried dictionary, the LZ4 ring, exact output room, and the rejection of
 * bad input. Blocks are handed over in vectors of exactly their size, so a read or write
 * past one shows under the address sanitizer. */
#include <qorvel.h>

#include "support/debug_capture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

using qvtest::DebugLinesOf;

namespace {

typedef std::vector<uint8_t> Bytes;
typedef std::unique_ptr<StreamCompressor> Compressor;

const QVCPStreamCompressionMethod PACKING_METHODS[] = {STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE};

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
Bytes Compress(StreamCompressor *c, Bytes block, size_t room = 0)
{
   Bytes out(room > 0 ? room : c->compressBufferSize(block.size()));
   out.resize(c->compress(block.data(), block.size(), out.data(), out.size()));
   return out;
}

/* Restores block into *restored; the decompressor's output pointer, null on failure
 * (which must come with a result of 0). */
const uint8_t *Decompress(StreamCompressor *d, Bytes block, Bytes *restored)
{
   static const uint8_t unset = 0;
   const uint8_t *out = &unset;
   size_t size = d->decompress(block.data(), block.size(), &out);
   EXPECT_TRUE(out != nullptr || size == 0);
   if (out != nullptr)
      restored->assign(out, out + size);
   return out;
}

Compressor Make(QVCPStreamCompressionMethod method, bool compress, size_t maxBlockSize)
{
   return Compressor(StreamCompressor::create(method, compress, maxBlockSize));
}

}  // namespace

TEST(StreamCompressor, FactoryAndPassThrough)
{
   EXPECT_NE(dynamic_cast<LZ4StreamCompressor *>(Make(STREAM_COMPRESSION_LZ4, false, 100).get()), nullptr);
   EXPECT_EQ(Make(QVCPStreamCompressionMethod(3), true, 100), nullptr);
   Compressor c = Make(STREAM_COMPRESSION_NONE, true, 100);
   ASSERT_NE(dynamic_cast<DummyStreamCompressor *>(c.get()), nullptr);
   Bytes block = RandomBytes(100, 1);
   EXPECT_EQ(c->compressBufferSize(100), 100u);
   EXPECT_EQ(Compress(c.get(), block, 100), block);
   EXPECT_TRUE(Compress(c.get(), block, 99).empty());
   EXPECT_TRUE(Compress(c.get(), Bytes(), 10).empty()) << "an empty block has no pass-through form";
   const uint8_t *out = nullptr;
   EXPECT_EQ(c->decompress(block.data(), block.size(), &out), 100u);
   EXPECT_EQ(out, block.data());
   EXPECT_EQ(c->decompress(nullptr, 0, &out), 0u);
   EXPECT_NE(out, nullptr) << "0 bytes are an empty block";
   EXPECT_EQ(c->decompress(nullptr, 5, &out), 0u);
   EXPECT_EQ(out, nullptr);

   EXPECT_EQ(LZ4StreamCompressor(true, 4096).compressBufferSize(1000), 1019u);
   EXPECT_EQ(LZ4StreamCompressor(true, 4096).compressBufferSize(STREAM_COMPRESSOR_MAX_BLOCK_SIZE + 1), 0u);
   EXPECT_EQ(DeflateStreamCompressor(true, 0).compressBufferSize(1000), 0u) << "no stream";
}

/* Every method restores, block by block, a sequence of every kind of block, through
 * enough data to turn the LZ4 ring several times; each block is compressed with exactly
 * compressBufferSize of room. */
TEST(StreamCompressor, RoundTripsBlockSequences)
{
   for (size_t maxBlock : {size_t(1), size_t(4096), size_t(32768)})
   {
      std::vector<Bytes> blocks = {
          Bytes(), Bytes(1, 0x5A), Bytes(), RandomBytes(maxBlock, 2), CompressibleBytes(maxBlock), Bytes(), Bytes()};
      for (uint32_t i = 0; i < 40; i++)
         blocks.push_back(i % 3 == 0 ? RandomBytes(maxBlock - i % maxBlock, i) : CompressibleBytes(maxBlock / 2 + 1));
      for (QVCPStreamCompressionMethod method :
           {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE})
      {
         SCOPED_TRACE(testing::Message() << "method " << method << " max " << maxBlock);
         Compressor c = Make(method, true, maxBlock), d = Make(method, false, maxBlock);
         for (size_t i = 0; i < blocks.size(); i++)
         {
            Bytes packed = Compress(c.get(), blocks[i]), restored;
            if (method == STREAM_COMPRESSION_NONE && blocks[i].empty())
               continue;
            ASSERT_FALSE(packed.empty()) << "block " << i;
            ASSERT_NE(Decompress(d.get(), packed, &restored), nullptr) << "block " << i;
            ASSERT_EQ(restored, blocks[i]) << "block " << i;
         }
      }
   }
}

/* A block that repeats an earlier one is coded against the carried history, which the
 * LZ4 compressor keeps in its own copy: the caller's input is overwritten in between.
 * Blocks of 0 bytes (what peers send for an empty block) change nothing. */
TEST(StreamCompressor, LaterBlocksUseTheCarriedDictionary)
{
   const size_t BLOCK = 16384;
   Bytes first = RandomBytes(BLOCK, 3);
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(testing::Message() << "method " << method);
      Compressor c = Make(method, true, BLOCK), d = Make(method, false, BLOCK);
      Bytes in = first, packedFirst(c->compressBufferSize(BLOCK));
      packedFirst.resize(c->compress(in.data(), BLOCK, packedFirst.data(), packedFirst.size()));
      in.assign(BLOCK, 0xEE);
      Bytes packedAgain = Compress(c.get(), first), restored;
      EXPECT_GT(packedFirst.size(), BLOCK);
      EXPECT_LT(packedAgain.size(), BLOCK / 50);

      for (const Bytes &packed : {packedFirst, Bytes(), packedAgain})
      {
         ASSERT_NE(Decompress(d.get(), packed, &restored), nullptr);
         EXPECT_EQ(restored, packed.empty() ? Bytes() : first);
      }
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
   const uint8_t *ringStart = nullptr;
   for (size_t i = 0; i < blocks.size(); i++)
   {
      Bytes packed = Compress(&c, blocks[i]), restored;
      const uint8_t *out = Decompress(&d, packed, &restored);
      ASSERT_NE(out, nullptr) << "block " << i;
      ringStart = (i == 0) ? out : ringStart;
      EXPECT_EQ(size_t(out - ringStart), (i < 18) ? i * 4096 : (i == 18) ? 69640 : 0) << "block " << i;
      EXPECT_EQ(restored, blocks[i]);
      EXPECT_TRUE(i < blocks.size() - 1 || packed.size() < 100) << "the repeat is coded against the history";
   }
}

/* A compressor given exactly the room a block needs writes the same bytes as with ample
 * room; with one byte less it fails, and that failure ends its stream (which must not
 * touch the input of the failed block again). A block refused for its size does not. */
TEST(StreamCompressor, ExactRoomAndFailuresThatEndTheStream)
{
   const size_t BLOCK = 8192;
   std::vector<Bytes> blocks = {Bytes(), RandomBytes(BLOCK, 4), CompressibleBytes(BLOCK), Bytes(), Bytes(1, 7)};
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(testing::Message() << "method " << method);
      Compressor ample = Make(method, true, BLOCK), exact = Make(method, true, BLOCK);
      for (const Bytes &block : blocks)
      {
         Bytes expected = Compress(ample.get(), block);
         ASSERT_EQ(Compress(exact.get(), block, expected.size()), expected);
      }
      EXPECT_TRUE(Compress(exact.get(), RandomBytes(BLOCK + 1, 5)).empty());
      ASSERT_EQ(Compress(exact.get(), blocks[2]), Compress(ample.get(), blocks[2])) << "after a refused block";

      auto input = std::make_unique<Bytes>(RandomBytes(BLOCK, 6));
      Bytes shortRoom(Compress(ample.get(), *input).size() - 1);
      EXPECT_EQ(exact->compress(input->data(), BLOCK, shortRoom.data(), shortRoom.size()), 0u);
      input.reset();
      EXPECT_TRUE(Compress(exact.get(), blocks[2]).empty());
      EXPECT_TRUE(Compress(exact.get(), Bytes()).empty());
   }
}

/* With a room that zlib fills exactly at one of its inner block boundaries nothing is
 * left pending inside zlib, but input is: the block must fail rather than pass for a
 * shorter one. The room is found with a zlib stream of the same settings. Failures go
 * to the debug output. */
TEST(StreamCompressor, DeflateFailsABlockWhoseInputItCouldNotTake)
{
   Bytes block = RandomBytes(100000, 8);
   size_t room = 1000;
   for (unsigned pending = 1; pending != 0; room += pending)
   {
      ASSERT_LT(room, block.size());
      z_stream z = {};
      deflateInit(&z, 9);
      Bytes out(room);
      z.next_in = block.data();
      z.avail_in = uInt(block.size());
      z.next_out = out.data();
      z.avail_out = uInt(room);
      deflate(&z, Z_SYNC_FLUSH);
      int bits = 0;
      deflatePending(&z, &pending, &bits);
      EXPECT_GT(z.avail_in, 0u);
      deflateEnd(&z);
   }
   DeflateStreamCompressor c(true, block.size()), d(false, 100);
   std::vector<std::wstring> lines = DebugLinesOf(5, [&] {
      EXPECT_TRUE(Compress(&c, block, room).empty());
      Bytes restored;
      Decompress(&d, Bytes(10, 0xFF), &restored);
   });
   EXPECT_EQ(lines, (std::vector<std::wstring>{L"DeflateStreamCompressor: deflate() failed",
                                               L"DeflateStreamCompressor: inflate() failed"}));
}

/* Cut, lengthened, foreign and oversized blocks fail with a null output pointer, and so
 * does every block after a failure (corrupt bytes are the fuzz target's part). So does
 * every call in the wrong direction or with a bad maximum block size. */
TEST(StreamCompressor, DecompressorsRejectBadBlocks)
{
   const size_t BLOCK = 4096;
   Bytes data = CompressibleBytes(BLOCK), restored;
   for (QVCPStreamCompressionMethod method : PACKING_METHODS)
   {
      SCOPED_TRACE(testing::Message() << "method " << method);
      Bytes packed = Compress(Make(method, true, BLOCK).get(), data);
      Bytes large = Compress(Make(method, true, 4 * BLOCK).get(), CompressibleBytes(4 * BLOCK));
      Bytes cut(packed.begin(), packed.end() - 1), longer = packed;
      longer.push_back(0);
      QVCPStreamCompressionMethod other =
          (method == STREAM_COMPRESSION_LZ4) ? STREAM_COMPRESSION_DEFLATE : STREAM_COMPRESSION_LZ4;
      const struct
      {
         const char *what;
         Bytes block;
         QVCPStreamCompressionMethod decoder;
         size_t maxBlock;
      } cases[] = {{"cut", cut, method, BLOCK},
                   {"extra byte", longer, method, BLOCK},
                   {"foreign", packed, other, BLOCK},
                   {"larger than the room", large, method, BLOCK},
                   {"no maximum block size", packed, method, 0},
                   {"too large a maximum block size", packed, method, STREAM_COMPRESSOR_MAX_BLOCK_SIZE + 1}};
      for (const auto &bad : cases)
      {
         Compressor d = Make(bad.decoder, false, bad.maxBlock);
         EXPECT_EQ(Decompress(d.get(), bad.block, &restored), nullptr) << bad.what;
         EXPECT_EQ(Decompress(d.get(), packed, &restored), nullptr) << bad.what << ": the stream has ended";
      }
      EXPECT_TRUE(Compress(Make(method, false, BLOCK).get(), data, 2 * BLOCK).empty());
      EXPECT_EQ(Decompress(Make(method, true, BLOCK).get(), packed, &restored), nullptr);
      EXPECT_TRUE(Compress(Make(method, true, 0).get(), Bytes(), 100).empty());
   }
}
