#include <qorvel.h>

#include <gtest/gtest.h>

#include <map>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

/* Releases per tag of the heap blocks owned by RecordingArray (tags, not addresses: the heap
 * hands out freed addresses again). */
std::map<int, int> g_released;

void RecordRelease(void *object)
{
   g_released[*static_cast<int *>(object)]++;
   free(object);
}

void *NewBlock(int tag)
{
   int *block = static_cast<int *>(malloc(sizeof(int)));
   *block = tag;
   return block;
}

int Tag(void *block)
{
   return *static_cast<int *>(block);
}

class RecordingArray : public Array
{
public:
   RecordingArray(int initial = 0, int grow = 16, bool owner = true) : Array(initial, grow, owner)
   {
      setObjectDestructor(RecordRelease);
   }
   RecordingArray(const RecordingArray &src) : Array(&src) {}  // no way to copy the objects
   void *buffer() const { return __getBuffer(); }
};

class ArrayOwnership : public ::testing::Test
{
protected:
   void SetUp() override { g_released.clear(); }
   void ExpectReleasedOnce(std::vector<int> tags)
   {
      EXPECT_EQ(g_released.size(), tags.size());
      for (int tag : tags)
         EXPECT_EQ(g_released[tag], 1) << "object " << tag;
   }
};

struct Tracked
{
   static int live;
   int value;
   explicit Tracked(int v) : value(v) { live++; }
   Tracked(const Tracked &other) : value(other.value) { live++; }
   ~Tracked() { live--; }
};
int Tracked::live = 0;

template <size_t N> struct Blob
{
   unsigned char bytes[N];
   static Blob make(int seed)
   {
      Blob b;
      for (size_t i = 0; i < N; i++)
         b.bytes[i] = static_cast<unsigned char>(seed * 31 + static_cast<int>(i) * 7 + 1);
      return b;
   }
   bool operator==(const Blob &other) const { return memcmp(bytes, other.bytes, N) == 0; }
};

int ComparePointedInts(const void *a, const void *b)
{
   int x = **static_cast<int *const *>(a), y = **static_cast<int *const *>(b);
   return (x > y) - (x < y);
}

}  // namespace

TEST(ArrayGrowth, AddAndInsertGrowByOneStepWhenFull)
{
   int v[40];
   RecordingArray a(0, 16, false);
   EXPECT_EQ(a.buffer(), nullptr);
   for (int i = 0; i < 17; i++)
   {
      EXPECT_EQ(a.add(&v[i]), i);
      EXPECT_EQ(a.capacity(), (i < 16) ? 16 : 32);
   }
   for (int i = 17; i < 32; i++)
      a.insert(0, &v[i]);
   EXPECT_EQ(a.capacity(), 32);
   a.insert(5, &v[32]);
   EXPECT_EQ(a.capacity(), 48);
   EXPECT_EQ(a.get(5), &v[32]);
   EXPECT_EQ(a.get(6), &v[26]);
   EXPECT_EQ(a.first(), &v[31]);
   EXPECT_EQ(a.last(), &v[16]);
   a.insert(a.size(), &v[33]);  // appends
   EXPECT_EQ(a.last(), &v[33]);

   Array b(-1, 0);  // default capacity and grow step
   EXPECT_EQ(b.capacity(), 16);
   for (int i = 0; i < 17; i++)
      b.add(&v[0]);
   EXPECT_EQ(b.capacity(), 32);
}

TEST(ArrayGrowth, StoresBeyondTheCapacityRoundUpByWholeSteps)
{
   int p;
   Array a(16, 16);
   a.set(20, &p);
   EXPECT_EQ(a.capacity(), 32);
   EXPECT_EQ(a.size(), 21);
   for (int i = 0; i < 20; i++)
      EXPECT_EQ(a.get(i), nullptr);
   EXPECT_EQ(a.get(20), &p);
   a.set(32, &p);
   EXPECT_EQ(a.capacity(), 48);
   a.set(47, &p);
   EXPECT_EQ(a.capacity(), 48);

   Array b(10, 7);  // smallest 10 + 7k above 30 is 31
   b.insert(30, &p);
   EXPECT_EQ(b.capacity(), 31);
   EXPECT_EQ(b.size(), 31);
   b.set(31, &p);
   EXPECT_EQ(b.capacity(), 38);
}

TEST(ArrayGrowth, OnlyClearShrinksAndOnlyToOneStep)
{
   int p;
   Array a(100, 16), b(10, 16), c(0, 4);
   a.add(&p);
   b.add(&p);
   for (int i = 0; i < 9; i++)
      c.add(&p);
   while (!c.isEmpty())
      c.remove(0);
   a.clear();
   b.clear();
   EXPECT_EQ(a.size(), 0);
   EXPECT_EQ(a.capacity(), 16);
   EXPECT_EQ(b.capacity(), 10);
   EXPECT_EQ(c.capacity(), 12);
}

TEST(ArrayAccess, IndexOfSortAndFind)
{
   int values[] = {5, 3, 9, 1, 7}, missing = 4;
   ObjectArray<int> a;
   for (int &v : values)
      a.add(&v);
   EXPECT_EQ(a.indexOf(&values[2]), 2);
   EXPECT_EQ(a.indexOf(&missing), -1);
   EXPECT_EQ(a.get(5), nullptr);
   EXPECT_EQ(a.get(-1), nullptr);
   a.sort(ComparePointedInts);
   for (int i = 1; i < a.size(); i++)
      EXPECT_LT(*a.get(i - 1), *a.get(i));
   int *key = &values[4], *smallest = &values[3];
   int **slot = static_cast<int **>(a.find(&key, ComparePointedInts));  // the slot, not the pointer
   ASSERT_NE(slot, nullptr);
   EXPECT_EQ(*slot, &values[4]);
   EXPECT_EQ(slot - static_cast<int **>(a.find(&smallest, ComparePointedInts)), 3);
   key = &missing;
   EXPECT_EQ(a.find(&key, ComparePointedInts), nullptr);
   ObjectArray<int> empty;
   EXPECT_EQ(empty.find(&key, ComparePointedInts), nullptr);
}

TEST_F(ArrayOwnership, EveryOwningPathReleasesOnce)
{
   void *kept[] = {NewBlock(20), NewBlock(21), NewBlock(22)};
   {
      RecordingArray a;
      for (int i = 0; i < 6; i++)
         a.add(NewBlock(i));
      a.add(nullptr);
      a.remove(0);
      a.remove(a.get(0));          // tag 1
      a.replace(0, NewBlock(10));  // releases 2
      a.set(1, NewBlock(11));      // releases 3
      a.set(1, a.get(1));          // the same object again: kept
      a.set(10, NewBlock(12));     // beyond the end: nothing released
      a.insert(2, NewBlock(13));
      a.remove(a.size() - 1);  // releases 12
      EXPECT_EQ(Tag(a.get(1)), 11);
      ExpectReleasedOnce({0, 1, 2, 3, 12});
      a.clear();  // 10, 11, 13, 4, 5; nulls skipped
      EXPECT_EQ(g_released.size(), 10u);
      for (void *k : kept)
         a.add(k);
      a._unlink(0);  // never released
      a._unlink(kept[1]);
      a.setOwner(false);  // neither now nor by the destructor
      a.remove(0);
      a.add(kept[1]);
   }
   ExpectReleasedOnce({0, 1, 2, 3, 12, 10, 11, 13, 4, 5});
   for (void *k : kept)
      free(k);
   g_released.clear();
   {
      RecordingArray a;
      a.add(NewBlock(1));
      a.set(-1, nullptr);
      a.replace(1, nullptr);
      a.insert(-1, nullptr);
      a.remove(1);
      a.remove(-1);
      a._unlink(-1);
      a.remove(&a);  // not in the array
      EXPECT_EQ(a.size(), 1);
      EXPECT_TRUE(g_released.empty());
   }
   ExpectReleasedOnce({1});
}

TEST_F(ArrayOwnership, CopiesNeverShareOwnership)
{
   {
      RecordingArray a;
      a.add(NewBlock(1));
      a.add(NewBlock(2));
      RecordingArray b(a);
      EXPECT_FALSE(b.isOwner());
      EXPECT_EQ(b.get(1), a.get(1));
      EXPECT_EQ(b.capacity(), a.capacity());
      b.clear();
   }
   ExpectReleasedOnce({1, 2});

   Tracked::live = 0;
   {
      ObjectArray<Tracked> owning(0, 4, true);
      for (int i = 0; i < 5; i++)
         owning.add(new Tracked(i));
      owning.add(nullptr);
      ObjectArray<Tracked> copy(owning);
      EXPECT_TRUE(copy.isOwner());
      EXPECT_EQ(Tracked::live, 10);
      EXPECT_NE(copy.get(0), owning.get(0));
      EXPECT_EQ(copy.get(4)->value, 4);
      EXPECT_EQ(copy.get(5), nullptr);

      ObjectArray<Tracked> plain;
      plain.add(owning.get(0));
      ObjectArray<Tracked> shared(plain);
      EXPECT_FALSE(shared.isOwner());
      EXPECT_EQ(shared.get(0), owning.get(0));
      owning.remove(1);  // deleted as a Tracked
      EXPECT_EQ(Tracked::live, 9);
   }
   EXPECT_EQ(Tracked::live, 0);
}

template <size_t N> void ExerciseElementMode()
{
   typedef Blob<N> B;
   StructArray<B> a(0, 5);
   EXPECT_NE(a.getBuffer(), nullptr);
   for (int i = 0; i < 12; i++)
   {
      B b = B::make(i);
      EXPECT_EQ(a.add(&b), i);
   }
   EXPECT_EQ(a.capacity(), 15);
   for (int i = 0; i < 12; i++)
      EXPECT_TRUE(*a.get(i) == B::make(i)) << N << " bytes, index " << i;
   EXPECT_EQ(a.getBuffer() + 11, a.last());

   B seven = B::make(7), absent = B::make(99), zero;
   memset(&zero, 0, N);
   EXPECT_EQ(a.indexOf(&seven), 7);  // equal bytes at another address
   EXPECT_EQ(a.indexOf(&absent), -1);
   EXPECT_EQ(a.indexOf(nullptr), -1);
   a.insert(0, &absent);
   EXPECT_TRUE(*a.get(1) == B::make(0));
   a.remove(0);
   a.remove(a.size() - 1);
   a.set(13, &absent);  // zero-filled gap
   EXPECT_TRUE(*a.get(10) == B::make(10));
   EXPECT_TRUE(*a.get(11) == zero);
   EXPECT_TRUE(*a.get(12) == zero);
   EXPECT_TRUE(*a.get(13) == absent);
   a.replace(13, nullptr);  // null stores zero bytes
   EXPECT_TRUE(*a.get(13) == zero);

   // Arguments that point into the array while it grows or shifts.
   StructArray<B> c(2, 2);
   for (int i = 0; i < 2; i++)
   {
      B b = B::make(i);
      c.add(&b);
   }
   c.add(c.get(0));        // [0 1 0]
   c.add(c.get(1));        // [0 1 0 1]
   c.insert(0, c.last());  // [1 0 1 0 1]
   c.insert(2, c.get(3));  // the shift moves the source: [1 0 0 1 0 1]
   c.set(40, c.get(1));
   const int expected[] = {1, 0, 0, 1, 0, 1};
   for (int i = 0; i < 6; i++)
      EXPECT_TRUE(*c.get(i) == B::make(expected[i])) << N << " bytes, index " << i;
   EXPECT_TRUE(*c.get(40) == B::make(0));
}

TEST(StructArray, ElementsOfOddSizesAreStoredInPlace)
{
   ExerciseElementMode<3>();
   ExerciseElementMode<7>();
   ExerciseElementMode<13>();
   ExerciseElementMode<24>();
   ExerciseElementMode<300>();
}

TEST(StructArray, ConstructionFromDataAndCopies)
{
   KeyValuePair pairs[3] = {{L"a", nullptr}, {L"b", pairs}, {L"c", pairs + 1}};
   StructArray<KeyValuePair> a(pairs, 3);
   ASSERT_EQ(a.size(), 3);
   EXPECT_EQ(a.capacity(), 3);
   EXPECT_EQ(a.get(1)->value, pairs);
   a.setOwner(true);  // element mode never owns: the destructor must not free anything
   EXPECT_FALSE(a.isOwner());
   StructArray<KeyValuePair> copy(a);
   copy.get(0)->key = L"z";
   EXPECT_EQ(wcscmp(a.get(0)->key, L"a"), 0);

   StructArray<KeyValuePair> negative(pairs, -2);  // no elements, default capacity
   EXPECT_EQ(negative.size(), 0);
   EXPECT_EQ(negative.capacity(), 16);
}

TEST(IntegerArray, StorageIsAPlainCArray)
{
   IntegerArray<uint32_t> a(0, 3);
   for (uint32_t i = 0; i < 10; i++)
      a.add(i * 10);
   a.insert(0, 7);
   a.set(1, 5);
   a.remove(a.size() - 1);
   const uint32_t expected[] = {7, 5, 10, 20, 30, 40, 50, 60, 70, 80};
   ASSERT_EQ(a.size(), 10);
   EXPECT_EQ(memcmp(a.getBuffer(), expected, sizeof(expected)), 0);
   EXPECT_EQ(a.get(10), 0u);
   EXPECT_EQ(a.indexOf(60), 7);
   IntegerArray<uint32_t> b(expected, 10), c(b);
   c.replace(0, 1);
   EXPECT_EQ(b.get(0), 7u);
   EXPECT_EQ(c.get(0), 1u);
}

TEST(ArrayIterator, EmptyArrayAndEnd)
{
   int v[2];
   Array a;
   ArrayIterator empty(&a);
   EXPECT_FALSE(empty.hasNext());
   EXPECT_EQ(empty.next(), nullptr);
   empty.remove();
   a.add(&v[0]);
   a.add(&v[1]);
   ArrayIterator it(&a);
   it.remove();  // before the first next: nothing
   EXPECT_EQ(it.next(), &v[0]);
   EXPECT_EQ(it.next(), &v[1]);
   EXPECT_EQ(it.next(), nullptr);  // position stays on the last element
   it.remove();
   it.remove();  // once per next: the first element stays
   ASSERT_EQ(a.size(), 1);
   EXPECT_EQ(a.get(0), &v[0]);
}

TEST_F(ArrayOwnership, IteratorRemovesEachElementIncludingTheLast)
{
   RecordingArray a;
   for (int i = 0; i < 5; i++)
      a.add(NewBlock(i));
   ArrayIterator it(&a);
   std::vector<int> visited;
   while (it.hasNext())
   {
      visited.push_back(Tag(it.next()));
      it.remove();
      it.remove();  // once per next: must not take another element
   }
   EXPECT_EQ(visited, std::vector<int>({0, 1, 2, 3, 4}));
   EXPECT_EQ(a.size(), 0);
   ExpectReleasedOnce({0, 1, 2, 3, 4});
}

namespace {

struct CountingWorker : public AbstractIterator
{
   static int deleted;
   ~CountingWorker() override { deleted++; }
   bool hasNext() override { return false; }
   void *next() override { return nullptr; }
   void remove() override {}
};
int CountingWorker::deleted = 0;

}  // namespace

TEST(Iterator, TypedHandleOwnsItsWorker)
{
   delete new Iterator<int>(new CountingWorker());
   EXPECT_EQ(CountingWorker::deleted, 1);

   IntegerArray<int> a;
   for (int i = 0; i < 20; i++)
      a.add(i);
   Iterator<int> it(new ArrayIterator(&a));
   std::vector<int> visited;
   while (it.hasNext())
   {
      visited.push_back(*it.next());
      if (visited.back() % 3 == 0)
         it.remove();
   }
   EXPECT_EQ(visited.size(), 20u);
   EXPECT_EQ(a.size(), 13);
   EXPECT_EQ(a.get(0), 1);
   EXPECT_EQ(a.get(12), 19);

   Tracked::live = 0;
   ObjectArray<Tracked> objects(0, 16, true);
   objects.add(new Tracked(1));
   Iterator<Tracked> *typed = objects.iterator();
   EXPECT_EQ(typed->next()->value, 1);
   typed->remove();
   EXPECT_EQ(Tracked::live, 0);
   delete typed;
}
