#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <thread>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

uintptr_t Address(const void *p)
{
   return reinterpret_cast<uintptr_t>(p);
}

/* Usable size of the heap block that starts at region, or 0 where it cannot be read. */
size_t RegionBytes(const void *region)
{
#ifdef __GLIBC__
   return malloc_usable_size(const_cast<void *>(region));
#else
   (void)region;
   return 0;
#endif
}

/* The heap rounds a block up by less than this. */
constexpr size_t HEAP_ROUNDING = 32;

}  // namespace

TEST(MemoryPool, FirstRegionServes1022BlocksOf8Bytes)
{
   MemoryPool pool;
   EXPECT_EQ(pool.regionSize(), 8192u);
   char *first = static_cast<char *>(pool.allocate(8));
   ASSERT_NE(first, nullptr);
   EXPECT_EQ(Address(first) % 16, 0u);
   char *last = first;
   for (int i = 1; i < 1022; i++)
   {
      char *p = static_cast<char *>(pool.allocate(8));
      ASSERT_EQ(p, first + 8 * i);
      memset(p, 0xAB, 8);
      last = p;
   }
   char *next = static_cast<char *>(pool.allocate(8));
   EXPECT_NE(next, last + 8);
   EXPECT_EQ(Address(next) % 16, 0u);
   // The region before it is still readable: nothing was moved or freed.
   EXPECT_EQ(static_cast<unsigned char>(last[7]), 0xABu);
}

TEST(MemoryPool, SizesRoundUpToEightAndZeroDoesNotAdvance)
{
   MemoryPool pool;
   char *base = static_cast<char *>(pool.allocate(0));
   EXPECT_EQ(pool.allocate(0), base);
   for (size_t size = 1; size <= 8; size++)
   {
      char *p = static_cast<char *>(pool.allocate(size));
      EXPECT_EQ(p, base + 8 * (size - 1)) << size;
   }
   char *p9 = static_cast<char *>(pool.allocate(9));
   EXPECT_EQ(p9, base + 64);
   EXPECT_EQ(pool.allocate(1), p9 + 16);
}

TEST(MemoryPool, OversizedRequestGetsARegionOfItsOwn)
{
   MemoryPool pool;
   pool.allocate(8);
   char *big = static_cast<char *>(pool.allocate(10000));
   ASSERT_NE(big, nullptr);
   memset(big, 1, 10000);
   char *region = big - 16;
   size_t bytes = RegionBytes(region);
   if (bytes != 0)
   {
      EXPECT_GE(bytes, 10016u);
      EXPECT_LT(bytes, 10016u + HEAP_ROUNDING);
   }

   // The oversized region is full: even a small request starts a normal region.
   char *small = static_cast<char *>(pool.allocate(8));
   ASSERT_NE(small, nullptr);
   EXPECT_FALSE(Address(small) >= Address(region) && Address(small) < Address(region) + 10016);
   bytes = RegionBytes(small - 16);
   if (bytes != 0)
   {
      EXPECT_GE(bytes, 8192u);
      EXPECT_LT(bytes, 8192u + HEAP_ROUNDING);
   }
   EXPECT_EQ(pool.allocate(8), small + 8);
}

TEST(MemoryPool, ClearKeepsTheCurrentRegion)
{
   MemoryPool pool(256);
   pool.allocate(200);
   char *second = static_cast<char *>(pool.allocate(200));
   pool.allocate(16);
   pool.clear();
   EXPECT_EQ(pool.allocate(8), second);

   // An oversized current region is kept as well and serves as a normal one afterwards.
   char *big = static_cast<char *>(pool.allocate(1000));
   pool.clear();
   char *again = static_cast<char *>(pool.allocate(8));
   EXPECT_EQ(again, big);
   char *rest = static_cast<char *>(pool.allocate(256 - 16 - 8));
   EXPECT_EQ(rest, big + 8);
   memset(rest, 2, 256 - 16 - 8);
   EXPECT_NE(pool.allocate(8), rest + 232);
}

TEST(MemoryPool, CopyString)
{
   MemoryPool pool(64);
   const wchar_t *texts[] = {L"", L"a", L"longer text than one region of the pool can hold"};
   for (const wchar_t *text : texts)
   {
      wchar_t *copy = pool.copyString(text);
      ASSERT_NE(copy, nullptr);
      EXPECT_STREQ(copy, text);
      EXPECT_NE(copy, text);
      EXPECT_EQ(Address(copy) % 8, 0u);
   }
   EXPECT_EQ(pool.copyString(nullptr), nullptr);
}

TEST(MemoryPool, RegionSizeWithoutRoomBehindTheHeaderIsRaised)
{
   for (size_t size : {0, 1, 8, 15, 16})
   {
      MemoryPool pool(size);
      EXPECT_EQ(pool.regionSize(), MemoryPool::MIN_REGION_SIZE) << size;
      char *a = static_cast<char *>(pool.allocate(8));
      ASSERT_NE(a, nullptr);
      memset(a, 3, 8);
      char *b = static_cast<char *>(pool.allocate(40));
      ASSERT_NE(b, nullptr);
      memset(b, 4, 40);
      pool.clear();
      EXPECT_EQ(pool.allocate(0), b - 8);
   }
   MemoryPool tight(17);
   EXPECT_EQ(tight.regionSize(), 17u);
   char *p = static_cast<char *>(tight.allocate(1));
   ASSERT_NE(p, nullptr);
   memset(p, 5, 8);
}

TEST(MemoryPool, SizesThatOverflowGiveNull)
{
   MemoryPool pool;
   char *before = static_cast<char *>(pool.allocate(8));
   EXPECT_EQ(pool.allocate(SIZE_MAX), nullptr);
   EXPECT_EQ(pool.allocate(SIZE_MAX - 6), nullptr);
   EXPECT_EQ(pool.allocate(SIZE_MAX - 7), nullptr);
   EXPECT_EQ(pool.allocate(SIZE_MAX - 15), nullptr);
   EXPECT_EQ(pool.allocate(SIZE_MAX - 16), nullptr);
   // The pool is unharmed and continues where it was.
   EXPECT_EQ(pool.allocate(8), before + 8);
}

/* The released region of bytes bytes at region does not go back to the heap: a plain
 * allocation of its size gets another block, and the next pool of its size gets it,
 * whole and usable. */
static void ExpectReusedByTheNextPool(char *region, size_t bytes)
{
   void *plain = malloc(bytes);
   ASSERT_NE(plain, nullptr);
   EXPECT_NE(plain, region);
   MemoryPool again(bytes);
   free(plain);
   char *first = static_cast<char *>(again.allocate(bytes - 16));
   EXPECT_EQ(first, region + 16);
   memset(first, 9, bytes - 16);
   EXPECT_NE(again.allocate(8), nullptr);
}

TEST(MemoryPool, ReleasedRegionsAreReusedOnlyAtTheirOwnSize)
{
   // Thrown away and built again without the heap in between, pools would make it trim
   // and refault its top on every cycle.
   char *region;
   {
      MemoryPool pool(8192);
      region = static_cast<char *>(pool.allocate(0)) - 16;
      memset(region + 16, 7, 8192 - 16);
   }
   // A pool of another region size gets a region of its own size, not the released one.
   {
      MemoryPool other(4096);
      char *first = static_cast<char *>(other.allocate(4096 - 16));
      ASSERT_NE(first, nullptr);
      memset(first, 8, 4096 - 16);
      size_t bytes = RegionBytes(first - 16);
      if (bytes != 0)
      {
         EXPECT_LT(bytes, 4096u + HEAP_ROUNDING);
      }
   }
   ExpectReusedByTheNextPool(region, 8192);
}

TEST(MemoryPool, PoolsMoveBetweenThreads)
{
   // A pool made on one thread is destroyed on another, whose cache takes its regions;
   // the regions a thread kept are let go when it ends (the leak checker sees any that
   // are not).
   MemoryPool *made = nullptr;
   char *madeRegion = nullptr;
   std::thread worker([&] {
      made = new MemoryPool(2048);
      madeRegion = static_cast<char *>(made->allocate(0)) - 16;
      memset(made->allocate(2000), 1, 2000);
      for (int i = 0; i < 100; i++)
      {
         MemoryPool pool(2048 + 8 * (i % 3));
         memset(pool.allocate(3000), 2, 3000);
      }
   });
   worker.join();
   ASSERT_NE(made, nullptr);
   memset(made->allocate(16), 3, 16);
   delete made;
   ExpectReusedByTheNextPool(madeRegion, 2048);
}
