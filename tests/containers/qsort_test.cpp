#include <qorvel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string.h>
#include <vector>

namespace
{

/* Elements of any size: a key in the first (up to 4) bytes, the other bytes derived from
 * the key, so that a sorted result is byte for byte the same whatever the order of equal
 * keys. */
struct Layout
{
   size_t size;

   size_t keyBytes() const { return std::min<size_t>(size, 4); }

   uint32_t keyLimit() const { return (keyBytes() == 4) ? 0xFFFFFFFFu : ((1u << (8 * keyBytes())) - 1); }

   void write(unsigned char *p, uint32_t key) const
   {
      for (size_t i = 0; i < keyBytes(); i++)
         p[i] = static_cast<unsigned char>(key >> (8 * i));
      for (size_t i = keyBytes(); i < size; i++)
         p[i] = static_cast<unsigned char>(key * 13 + i);
   }

   static uint32_t key(const void *p, size_t keyBytes)
   {
      uint32_t k = 0;
      for (size_t i = 0; i < keyBytes; i++)
         k |= static_cast<uint32_t>(static_cast<const unsigned char *>(p)[i]) << (8 * i);
      return k;
   }
};

struct SortContext
{
   size_t keyBytes;
   long comparisons;
};

int CompareKeys(const void *a, const void *b, void *context)
{
   SortContext *c = static_cast<SortContext *>(context);
   c->comparisons++;
   uint32_t x = Layout::key(a, c->keyBytes);
   uint32_t y = Layout::key(b, c->keyBytes);
   return (x < y) ? -1 : ((x > y) ? 1 : 0);
}

enum Pattern
{
   RANDOM,
   SORTED,
   REVERSED,
   ALL_EQUAL,
   FEW_DISTINCT,
   ORGAN_PIPE,
   SAWTOOTH,
   PATTERN_COUNT
};

std::vector<uint32_t> MakeKeys(Pattern pattern, size_t count, uint32_t limit, std::mt19937 &random)
{
   std::vector<uint32_t> keys(count);
   for (size_t i = 0; i < count; i++)
   {
      uint32_t k = 0;
      switch (pattern)
      {
      case RANDOM:
         k = static_cast<uint32_t>(random());
         break;
      case SORTED:
         k = static_cast<uint32_t>(i);
         break;
      case REVERSED:
         k = static_cast<uint32_t>(count - i);
         break;
      case ALL_EQUAL:
         k = 7;
         break;
      case FEW_DISTINCT:
         k = static_cast<uint32_t>(random() % 5);
         break;
      case ORGAN_PIPE:
         k = static_cast<uint32_t>((i < count / 2) ? i : count - i);
         break;
      default:
         k = static_cast<uint32_t>(i % 17);
         break;
      }
      keys[i] = (limit == 0xFFFFFFFFu) ? k : k % (limit + 1);
   }
   if (pattern == SORTED || pattern == REVERSED) // keep the order after reducing the keys
      std::sort(keys.begin(), keys.end(), [&](uint32_t a, uint32_t b) { return (pattern == SORTED) ? a < b : a > b; });
   return keys;
}

/* Sorts keys laid out as elements at base + offset and compares with std::sort. */
void CheckSort(const Layout &layout, size_t offset, const std::vector<uint32_t> &keys, const char *what)
{
   size_t count = keys.size();
   std::vector<unsigned char> storage(count * layout.size + offset + 1);
   unsigned char *base = storage.data() + offset;
   for (size_t i = 0; i < count; i++)
      layout.write(base + i * layout.size, keys[i]);

   SortContext context = {layout.keyBytes(), 0};
   QSortEx(base, count, layout.size, &context, CompareKeys);

   std::vector<uint32_t> sorted(keys);
   std::sort(sorted.begin(), sorted.end());
   std::vector<unsigned char> expected(count * layout.size);
   for (size_t i = 0; i < count; i++)
      layout.write(expected.data() + i * layout.size, sorted[i]);
   ASSERT_TRUE(count == 0 || memcmp(base, expected.data(), expected.size()) == 0)
       << what << ": " << count << " elements of " << layout.size << " bytes at offset " << offset;
}

const char *PatternName(int p)
{
   static const char *names[] = {"random", "sorted", "reversed", "all equal", "few distinct", "organ pipe", "sawtooth"};
   return names[p];
}

} // namespace

TEST(QSortEx, NothingToSortCallsNoComparison)
{
   SortContext context = {4, 0};
   uint32_t one = 5;
   QSortEx(nullptr, 0, 4, &context, CompareKeys);
   QSortEx(&one, 0, 4, &context, CompareKeys);
   QSortEx(&one, 1, 4, &context, CompareKeys);
   EXPECT_EQ(context.comparisons, 0);
   EXPECT_EQ(one, 5u);
}

TEST(QSortEx, ThirteenElementsTakeOnlyTheFinalPass)
{
   // Sorted input: 12 comparisons find the smallest leading element, 12 more check each
   // element against the one before it.
   uint32_t values[14];
   for (uint32_t i = 0; i < 14; i++)
      values[i] = i;
   SortContext context = {4, 0};
   QSortEx(values, 13, 4, &context, CompareKeys);
   EXPECT_EQ(context.comparisons, 24);

   context.comparisons = 0;
   QSortEx(values, 14, 4, &context, CompareKeys);
   EXPECT_GT(context.comparisons, 12 + 13);
   for (uint32_t i = 0; i < 14; i++)
      EXPECT_EQ(values[i], i);
}

TEST(QSortEx, PresortedInputCostsLinearTime)
{
   const size_t count = 1000;
   std::vector<uint32_t> values(count);
   for (size_t i = 0; i < count; i++)
      values[i] = static_cast<uint32_t>(i * 3);
   std::vector<uint32_t> original(values);
   SortContext context = {4, 0};
   QSortEx(values.data(), count, 4, &context, CompareKeys);
   EXPECT_EQ(values, original);
   EXPECT_LT(context.comparisons, static_cast<long>(4 * count));
}

namespace
{

struct ContextCheck
{
   void *expected;
   long seen;
   long wrong;
};

int CompareCheckingContext(const void *a, const void *b, void *context)
{
   ContextCheck *check = static_cast<ContextCheck *>(context);
   check->seen++;
   if (check->expected != context)
      check->wrong++;
   int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
   return (x > y) - (x < y);
}

} // namespace

TEST(QSortEx, ContextReachesEveryComparison)
{
   std::mt19937 random(3);
   std::vector<int> values(500);
   for (int &v : values)
      v = static_cast<int>(random() % 1000) - 500;
   ContextCheck check = {nullptr, 0, 0};
   check.expected = &check;
   QSortEx(values.data(), values.size(), sizeof(int), &check, CompareCheckingContext);
   EXPECT_GT(check.seen, 500);
   EXPECT_EQ(check.wrong, 0);
   EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
}

TEST(QSortEx, AllPatternsSizesAndAlignmentsMatchStdSort)
{
   const size_t elementSizes[] = {1, 2, 3, 4, 7, 8, 12, 13, 16, 24, 32, 40, 300};
   const size_t offsets[] = {0, 1, 3};
   std::mt19937 random(11);
   for (size_t elementSize : elementSizes)
   {
      Layout layout = {elementSize};
      for (size_t offset : offsets)
         for (int p = 0; p < PATTERN_COUNT; p++)
            for (size_t count = 0; count <= 100; count++)
            {
               CheckSort(layout, offset, MakeKeys(static_cast<Pattern>(p), count, layout.keyLimit(), random),
                         PatternName(p));
               if (HasFatalFailure())
                  return;
            }
   }
}

TEST(QSortEx, LargeArraysMatchStdSort)
{
   const size_t elementSizes[] = {1, 4, 13, 24};
   std::mt19937 random(17);
   for (size_t elementSize : elementSizes)
   {
      Layout layout = {elementSize};
      for (int p = 0; p < PATTERN_COUNT; p++)
      {
         CheckSort(layout, (elementSize == 4) ? 1 : 0,
                   MakeKeys(static_cast<Pattern>(p), 100000, layout.keyLimit(), random), PatternName(p));
         if (HasFatalFailure())
            return;
      }
   }
}

TEST(QSortEx, RangesThatNeedNoExchangeAreStillSplit)
{
   // The pivot of the whole range is its middle element, and every element below it comes
   // first: partitioning exchanges nothing although both halves are shuffled. Leaving them
   // to the insertion pass would cost about count * count / 4 comparisons.
   const uint32_t half = 1000;
   std::vector<uint32_t> values;
   for (uint32_t i = 0; i < half; i++)
      values.push_back(i);
   values.push_back(half);
   for (uint32_t i = half + 1; i <= 2 * half; i++)
      values.push_back(i);
   std::mt19937 random(5);
   std::shuffle(values.begin(), values.begin() + half, random);
   std::shuffle(values.begin() + half + 1, values.end(), random);

   SortContext context = {4, 0};
   QSortEx(values.data(), values.size(), 4, &context, CompareKeys);
   EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
   EXPECT_LT(context.comparisons, 100000);
}

namespace
{

/* Adversary that decides values only when they are compared: each pivot comes out with a
 * fixed number of smaller elements ahead of it, so that every partition splits off a part
 * just too large for the insertion pass. A sort that pushes the smaller part and goes on
 * with the larger then keeps about count / 26 ranges pending. */
struct Adversary
{
   static const int SPLIT = 20; // elements made smaller than each pivot
   std::vector<int> value;
   int gas;
   int nextSolid = 0;
   int candidate = 0;
   int reserved = 0;
   int nextReserved = 0;

   explicit Adversary(int count) : value(count, count), gas(count) {}

   void freezePivot(int x)
   {
      value[x] = nextSolid + SPLIT;
      nextReserved = nextSolid;
      reserved = SPLIT;
      nextSolid += SPLIT + 1;
   }

   int compare(int x, int y)
   {
      if ((value[x] == gas) && (value[y] == gas))
         freezePivot((x == candidate) ? x : y);
      if (reserved > 0)
      {
         int z = (value[x] == gas) ? x : ((value[y] == gas) ? y : -1);
         if (z >= 0)
         {
            value[z] = nextReserved++;
            reserved--;
         }
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

struct Bounds
{
   const char *begin;
   const char *end;
   size_t elementSize;
   std::set<const void *> outside; // the one temporary element, nothing else
   long misaligned;
   std::mt19937 random;
   unsigned sink;
};

/* Records where the comparator was pointed; false once it was pointed at memory outside
 * the elements other than the one temporary element. */
bool CheckArguments(Bounds *bounds, const void *a, const void *b)
{
   for (const void *p : {a, b})
   {
      const char *c = static_cast<const char *>(p);
      if ((c < bounds->begin) || (c >= bounds->end))
         bounds->outside.insert(p);
      else if ((c - bounds->begin) % static_cast<ptrdiff_t>(bounds->elementSize) != 0)
         bounds->misaligned++;
      if (bounds->outside.size() > 1)
         return false;
      bounds->sink += static_cast<unsigned char>(*c); // a sanitizer build sees reads past the end
   }
   return true;
}

/* Comparators that are no consistent order: at random, everything smaller, everything
 * larger. Once pointed outside the elements they answer "equal", which stops any scan. */
int CompareAtRandom(const void *a, const void *b, void *context)
{
   Bounds *bounds = static_cast<Bounds *>(context);
   return CheckArguments(bounds, a, b) ? static_cast<int>(bounds->random() % 3) - 1 : 0;
}

int CompareAlwaysLess(const void *a, const void *b, void *context)
{
   return CheckArguments(static_cast<Bounds *>(context), a, b) ? -1 : 0;
}

int CompareAlwaysGreater(const void *a, const void *b, void *context)
{
   return CheckArguments(static_cast<Bounds *>(context), a, b) ? 1 : 0;
}

} // namespace

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
   const size_t elementSizes[] = {4, 7, 24};
   int (*const comparators[])(const void *, const void *, void *) = {CompareAtRandom, CompareAlwaysLess,
                                                                     CompareAlwaysGreater};
   for (size_t elementSize : elementSizes)
      for (auto comparator : comparators)
      {
         const size_t count = 3000;
         Layout layout = {elementSize};
         std::vector<unsigned char> data(count * elementSize);
         for (size_t i = 0; i < count; i++)
            layout.write(data.data() + i * elementSize, static_cast<uint32_t>(i));
         Bounds bounds = {reinterpret_cast<const char *>(data.data()),
                          reinterpret_cast<const char *>(data.data() + data.size()),
                          elementSize,
                          {},
                          0,
                          std::mt19937(static_cast<unsigned>(elementSize)),
                          0};
         QSortEx(data.data(), count, elementSize, &bounds, comparator);
         EXPECT_LE(bounds.outside.size(), 1u);
         EXPECT_EQ(bounds.misaligned, 0);

         // Whatever the order, the elements are the same ones.
         std::vector<uint32_t> keys;
         for (size_t i = 0; i < count; i++)
         {
            unsigned char expected[32];
            uint32_t key = Layout::key(data.data() + i * elementSize, layout.keyBytes());
            layout.write(expected, key);
            EXPECT_EQ(memcmp(expected, data.data() + i * elementSize, elementSize), 0);
            keys.push_back(key);
         }
         std::sort(keys.begin(), keys.end());
         for (size_t i = 0; i < count; i++)
            ASSERT_EQ(keys[i], i);
      }
}
