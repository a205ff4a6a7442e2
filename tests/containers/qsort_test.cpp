#include <qorvel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string.h>
#include <vector>

namespace {

/* Elements of any size: a little-endian key in the first (up to 4) bytes, the other bytes
 * derived from the key, so that a sorted result is byte for byte the same whatever the order
 * of equal keys. The context carries the key width and counts the comparisons. */
struct SortContext
{
   size_t keyBytes;
   long comparisons;
};

uint32_t ReadKey(const void *p, size_t keyBytes)
{
   uint32_t k = 0;
   for (size_t i = 0; i < keyBytes; i++)
      k |= static_cast<uint32_t>(static_cast<const unsigned char *>(p)[i]) << (8 * i);
   return k;
}

void WriteElement(unsigned char *p, size_t size, uint32_t key)
{
   for (size_t i = 0; i < size; i++)
      p[i] = (i < 4) ? static_cast<unsigned char>(key >> (8 * i)) : static_cast<unsigned char>(key * 13 + i);
}

int CompareKeys(const void *a, const void *b, void *context)
{
   SortContext *c = static_cast<SortContext *>(context);
   c->comparisons++;
   uint32_t x = ReadKey(a, c->keyBytes), y = ReadKey(b, c->keyBytes);
   return (x > y) - (x < y);
}

const char *const PATTERNS[] = {"random", "sorted", "reversed", "all equal", "few distinct", "organ pipe", "sawtooth"};

std::vector<uint32_t> MakeKeys(int pattern, size_t count, size_t keyBytes, std::mt19937 &random)
{
   uint32_t mask = (keyBytes >= 4) ? 0xFFFFFFFFu : ((1u << (8 * keyBytes)) - 1);
   std::vector<uint32_t> keys(count);
   for (size_t i = 0; i < count; i++)
   {
      const uint32_t byPattern[] = {static_cast<uint32_t>(random()),
                                    static_cast<uint32_t>(i),
                                    static_cast<uint32_t>(i),
                                    7,
                                    static_cast<uint32_t>(random() % 5),
                                    static_cast<uint32_t>((i < count / 2) ? i : count - i),
                                    static_cast<uint32_t>(i % 17)};
      keys[i] = byPattern[pattern] & mask;
   }
   if (pattern == 1)
      std::sort(keys.begin(), keys.end());
   if (pattern == 2)
      std::sort(keys.rbegin(), keys.rend());
   return keys;
}

/* Sorts the keys laid out as elements at an offset from an aligned block, compares with
 * std::sort. */
::testing::AssertionResult SortsLikeStdSort(size_t size, size_t offset, const std::vector<uint32_t> &keys)
{
   size_t count = keys.size();
   std::vector<unsigned char> storage(count * size + offset + 1), expected(count * size);
   unsigned char *base = storage.data() + offset;
   for (size_t i = 0; i < count; i++)
      WriteElement(base + i * size, size, keys[i]);
   SortContext context = {std::min<size_t>(size, 4), 0};
   QSortEx(base, count, size, &context, CompareKeys);

   std::vector<uint32_t> sorted(keys);
   std::sort(sorted.begin(), sorted.end());
   for (size_t i = 0; i < count; i++)
      WriteElement(expected.data() + i * size, size, sorted[i]);
   if ((count > 0) && (memcmp(base, expected.data(), expected.size()) != 0))
      return ::testing::AssertionFailure() << count << " elements of " << size << " bytes at offset " << offset;
   return ::testing::AssertionSuccess();
}

}  // namespace

TEST(QSortEx, ComparisonsOfTheTrivialAndPresortedCases)
{
   SortContext context = {4, 0};
   std::vector<uint32_t> values(1000);
   for (size_t i = 0; i < values.size(); i++)
      values[i] = static_cast<uint32_t>(i * 3);
   QSortEx(nullptr, 0, 4, &context, CompareKeys);
   QSortEx(values.data(), 1, 4, &context, CompareKeys);
   EXPECT_EQ(context.comparisons, 0);

   // 13 elements take only the final pass: 12 comparisons find the smallest leading
   // element, 12 more find each element in place.
   QSortEx(values.data(), 13, 4, &context, CompareKeys);
   EXPECT_EQ(context.comparisons, 24);

   std::vector<uint32_t> original(values);
   context.comparisons = 0;
   QSortEx(values.data(), values.size(), 4, &context, CompareKeys);
   EXPECT_EQ(values, original);
   EXPECT_LT(context.comparisons, 4000);  // linear
}

TEST(QSortEx, MatchesStdSortForAllPatternsSizesAndAlignments)
{
   const size_t elementSizes[] = {1, 2, 3, 4, 7, 8, 12, 13, 16, 24, 32, 40, 300};
   std::mt19937 random(11);
   for (size_t size : elementSizes)
      for (size_t offset : {0, 1, 3})
         for (int p = 0; p < 7; p++)
            for (size_t count = 0; count <= 100; count++)
               ASSERT_TRUE(SortsLikeStdSort(size, offset, MakeKeys(p, count, size, random))) << PATTERNS[p];
   for (size_t size : {1, 4, 13, 24})
      for (int p = 0; p < 7; p++)
         ASSERT_TRUE(SortsLikeStdSort(size, size % 2, MakeKeys(p, 100000, size, random))) << PATTERNS[p];
}

TEST(QSortEx, RangesThatNeedNoExchangeAreStillSplit)
{
   // The pivot of the whole range is its middle element, and every element below it comes
   // first: the partition exchanges nothing although both halves are shuffled. Leaving them
   // to the insertion pass would cost about 500000 comparisons.
   std::vector<uint32_t> values(2001);
   for (uint32_t i = 0; i < values.size(); i++)
      values[i] = i;
   std::mt19937 random(5);
   std::shuffle(values.begin(), values.begin() + 1000, random);
   std::shuffle(values.begin() + 1001, values.end(), random);
   SortContext context = {4, 0};
   QSortEx(values.data(), values.size(), 4, &context, CompareKeys);
   EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
   EXPECT_LT(context.comparisons, 100000);
}

namespace {

/* Adversary that decides values only when they are compared: each pivot comes out with
 * SPLIT smaller elements ahead of it, so every partition splits off a part just too large
 * for the insertion pass. Pushing the smaller part and going on with the larger would leave
 * about count / 26 ranges pending. */
struct Adversary
{
   static const int SPLIT = 20;
   std::vector<int> value;
   int gas, nextSolid = 0, candidate = 0, reserved = 0, nextReserved = 0;

   explicit Adversary(int count) : value(count, count), gas(count) {}

   int compare(int x, int y)
   {
      if ((value[x] == gas) && (value[y] == gas))
      {
         value[(x == candidate) ? x : y] = nextSolid + SPLIT;
         nextReserved = nextSolid;
         reserved = SPLIT;
         nextSolid += SPLIT + 1;
      }
      int fresh = (value[x] == gas) ? x : ((value[y] == gas) ? y : -1);
      if ((fresh >= 0) && (reserved > 0))
      {
         value[fresh] = nextReserved++;
         reserved--;
      }
      if (value[x] == gas)
         candidate = x;
      else if (value[y] == gas)
         candidate = y;
      return (value[x] > value[y]) - (value[x] < value[y]);
   }
};

int CompareAdversarial(const void *a, const void *b, void *context)
{
   return static_cast<Adversary *>(context)->compare(*static_cast<const int *>(a), *static_cast<const int *>(b));
}

/* Comparators that are no consistent order (at random, always less, always greater). They
 * record where they were pointed, read the bytes (for the sanitizers) and answer "equal" once
 * pointed outside the elements at a second place besides the temporary element. */
struct Bounds
{
   const char *begin, *end;
   size_t size;
   std::set<const void *> outside;
   long misaligned;
   std::mt19937 random;
   unsigned sink;
   int mode;
};

int CompareInconsistently(const void *a, const void *b, void *context)
{
   Bounds *bounds = static_cast<Bounds *>(context);
   for (const char *c : {static_cast<const char *>(a), static_cast<const char *>(b)})
   {
      if ((c < bounds->begin) || (c >= bounds->end))
         bounds->outside.insert(c);
      else if ((c - bounds->begin) % static_cast<ptrdiff_t>(bounds->size) != 0)
         bounds->misaligned++;
      if (bounds->outside.size() > 1)
         return 0;
      bounds->sink += static_cast<unsigned char>(*c);
   }
   return (bounds->mode == 0) ? static_cast<int>(bounds->random() % 3) - 1 : bounds->mode;
}

}  // namespace

TEST(QSortEx, PendingRangesFitForAdversarialInput)
{
   const int count = 5000;
   Adversary adversary(count);
   std::vector<int> items(count);
   for (int i = 0; i < count; i++)
      items[i] = i;
   QSortEx(items.data(), items.size(), sizeof(int), &adversary, CompareAdversarial);
   for (int i = 1; i < count; i++)
      ASSERT_LE(adversary.value[items[i - 1]], adversary.value[items[i]]) << "at " << i;
}

TEST(QSortEx, InconsistentComparatorStaysWithinTheElements)
{
   const size_t count = 3000;
   for (size_t size : {4, 7, 24})
      for (int mode : {0, -1, 1})
      {
         std::vector<unsigned char> data(count * size);
         for (size_t i = 0; i < count; i++)
            WriteElement(data.data() + i * size, size, static_cast<uint32_t>(i));
         const char *begin = reinterpret_cast<const char *>(data.data());
         Bounds bounds = {begin, begin + data.size(), size, {}, 0, std::mt19937(7), 0, mode};
         QSortEx(data.data(), count, size, &bounds, CompareInconsistently);
         EXPECT_LE(bounds.outside.size(), 1u) << size << " bytes, mode " << mode;
         EXPECT_EQ(bounds.misaligned, 0);

         // Whatever the order, the elements are the same ones, whole.
         std::vector<uint32_t> keys;
         unsigned char expected[32];
         for (size_t i = 0; i < count; i++)
         {
            keys.push_back(ReadKey(data.data() + i * size, std::min<size_t>(size, 4)));
            WriteElement(expected, size, keys.back());
            ASSERT_EQ(memcmp(expected, data.data() + i * size, size), 0);
         }
         std::sort(keys.begin(), keys.end());
         for (size_t i = 0; i < count; i++)
            ASSERT_EQ(keys[i], i);
      }
}
