#include <qorvel.h>

#include <gtest/gtest.h>

#include <map>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace
{

/* Releases recorded per object, for arrays that own plain heap blocks. Each block holds a
 * unique tag, since the heap hands out freed addresses again. */
std::map<int, int> g_released;

void RecordRelease(void *object)
{
   g_released[*static_cast<int *>(object)]++;
   free(object);
}

/* Owning pointer-mode array whose destroy function records each release. */
class RecordingArray : public Array
{
 public:
   RecordingArray(int initial = 0, int grow = 16, bool owner = true) : Array(initial, grow, owner)
   {
      setObjectDestructor(RecordRelease);
   }
   // The base copy knows no way to copy the objects.
   RecordingArray(const RecordingArray &src) : Array(&src) {}
   void *buffer() const { return __getBuffer(); }
};

void *NewBlock(int tag)
{
   int *block = static_cast<int *>(malloc(sizeof(int)));
   *block = tag;
   return block;
}

class ArrayOwnership : public ::testing::Test
{
 protected:
   void SetUp() override { g_released.clear(); }

   // Every object in objects was released exactly once, and nothing else was.
   void ExpectReleasedOnce(const std::vector<int> &tags)
   {
      EXPECT_EQ(g_released.size(), tags.size());
      for (int tag : tags)
         EXPECT_EQ(g_released[tag], 1) << "object " << tag;
   }
};

/* Objects of ObjectArray tests count their constructions and destructions. */
struct Tracked
{
   static int live;
   static int destroyed;
   int value;
   explicit Tracked(int v) : value(v) { live++; }
   Tracked(const Tracked &other) : value(other.value) { live++; }
   ~Tracked()
   {
      live--;
      destroyed++;
   }
};
int Tracked::live = 0;
int Tracked::destroyed = 0;

template <size_t N> struct Blob
{
   unsigned char bytes[N];
};

template <size_t N> Blob<N> MakeBlob(int seed)
{
   Blob<N> blob;
   for (size_t i = 0; i < N; i++)
      blob.bytes[i] = static_cast<unsigned char>(seed * 31 + static_cast<int>(i) * 7 + 1);
   return blob;
}

template <size_t N> int AddBlob(StructArray<Blob<N>> &a, int seed)
{
   Blob<N> blob = MakeBlob<N>(seed);
   return a.add(&blob);
}

template <size_t N> bool SameBlob(const Blob<N> *a, const Blob<N> &b)
{
   return (a != nullptr) && (memcmp(a->bytes, b.bytes, N) == 0);
}

int ComparePointedInts(const void *a, const void *b)
{
   int x = **static_cast<int *const *>(a);
   int y = **static_cast<int *const *>(b);
   return (x > y) - (x < y);
}

} // namespace

TEST(ArrayGrowth, DefaultArrayAllocatesOnFirstAddAndGrowsByOneStep)
{
   RecordingArray a(0, 16, false);
   EXPECT_EQ(a.buffer(), nullptr);
   EXPECT_EQ(a.capacity(), 0);
   int values[17];
   for (int i = 0; i < 16; i++)
   {
      EXPECT_EQ(a.add(&values[i]), i);
      EXPECT_EQ(a.capacity(), 16);
   }
   EXPECT_EQ(a.add(&values[16]), 16);
   EXPECT_EQ(a.capacity(), 32);
   EXPECT_EQ(a.size(), 17);
   for (int i = 0; i < 17; i++)
      EXPECT_EQ(a.get(i), &values[i]);
}

TEST(ArrayGrowth, NegativeCapacityAndZeroStepMeanSixteen)
{
   Array a(-1, 0, false);
   EXPECT_EQ(a.capacity(), 16);
   int value;
   for (int i = 0; i < 17; i++)
      a.add(&value);
   EXPECT_EQ(a.capacity(), 32);

   Array b(5, -3);
   EXPECT_EQ(b.capacity(), 5);
   for (int i = 0; i < 6; i++)
      b.add(&value);
   EXPECT_EQ(b.capacity(), 21);
}

TEST(ArrayGrowth, SetBeyondCapacityRoundsUpByWholeSteps)
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
   EXPECT_EQ(a.size(), 33);

   // Within the capacity nothing is reallocated, even well past the size.
   a.set(47, &p);
   EXPECT_EQ(a.capacity(), 48);

   // Capacity 10, step 7: the smallest 10 + 7k above index 30 is 31.
   Array b(10, 7);
   b.set(30, &p);
   EXPECT_EQ(b.capacity(), 31);
   b.set(31, &p);
   EXPECT_EQ(b.capacity(), 38);

   // An empty array without storage gets one step for index 0.
   Array c;
   c.set(0, &p);
   EXPECT_EQ(c.capacity(), 16);
   EXPECT_EQ(c.size(), 1);
}

TEST(ArrayGrowth, InsertGrowsByOneStepOrRoundsBeyondTheEnd)
{
   int v[20];
   Array a(4, 4);
   for (int i = 0; i < 4; i++)
      a.add(&v[i]);
   a.insert(0, &v[4]);
   EXPECT_EQ(a.capacity(), 8);
   ASSERT_EQ(a.size(), 5);
   EXPECT_EQ(a.get(0), &v[4]);
   for (int i = 0; i < 4; i++)
      EXPECT_EQ(a.get(i + 1), &v[i]);

   a.insert(a.size(), &v[5]); // appends
   EXPECT_EQ(a.size(), 6);
   EXPECT_EQ(a.last(), &v[5]);

   a.insert(13, &v[6]); // beyond the end: as set
   EXPECT_EQ(a.capacity(), 16);
   EXPECT_EQ(a.size(), 14);
   for (int i = 6; i < 13; i++)
      EXPECT_EQ(a.get(i), nullptr);
   EXPECT_EQ(a.get(13), &v[6]);

   a.insert(3, &v[7]); // middle, room left: no growth
   EXPECT_EQ(a.capacity(), 16);
   EXPECT_EQ(a.get(3), &v[7]);
   EXPECT_EQ(a.get(4), &v[2]);
   EXPECT_EQ(a.get(14), &v[6]);
}

TEST(ArrayGrowth, ClearShrinksOnlyDownToOneStep)
{
   Array a(100, 16);
   int p;
   a.add(&p);
   a.clear();
   EXPECT_EQ(a.size(), 0);
   EXPECT_EQ(a.capacity(), 16);

   Array b(10, 16);
   b.add(&p);
   b.clear();
   EXPECT_EQ(b.capacity(), 10);

   // Removal never shrinks.
   Array c(0, 4);
   for (int i = 0; i < 9; i++)
      c.add(&p);
   while (!c.isEmpty())
      c.remove(0);
   EXPECT_EQ(c.capacity(), 12);
}

TEST(ArrayAccess, GetFirstLastAndIndexOf)
{
   int v[3];
   Array a;
   EXPECT_EQ(a.first(), nullptr);
   EXPECT_EQ(a.last(), nullptr);
   EXPECT_EQ(a.get(0), nullptr);
   for (int i = 0; i < 3; i++)
      a.add(&v[i]);
   a.add(&v[1]);
   EXPECT_EQ(a.first(), &v[0]);
   EXPECT_EQ(a.last(), &v[1]);
   EXPECT_EQ(a.get(-1), nullptr);
   EXPECT_EQ(a.get(4), nullptr);
   EXPECT_EQ(a.indexOf(&v[1]), 1);
   int missing;
   EXPECT_EQ(a.indexOf(&missing), -1);
}

TEST(ArrayAccess, SortAndFindSeeSlotAddresses)
{
   int values[] = {5, 3, 9, 1, 7};
   ObjectArray<int> a;
   for (int &v : values)
      a.add(&v);
   a.sort(ComparePointedInts);
   for (int i = 1; i < a.size(); i++)
      EXPECT_LT(*a.get(i - 1), *a.get(i));

   int seven = 7;
   int *key = &seven;
   void *slot = a.find(&key, ComparePointedInts);
   ASSERT_NE(slot, nullptr);
   EXPECT_EQ(*static_cast<int **>(slot), &values[4]);
   EXPECT_EQ(static_cast<int **>(slot) - static_cast<int **>(a.find(&key, ComparePointedInts)), 0);
   int four = 4;
   key = &four;
   EXPECT_EQ(a.find(&key, ComparePointedInts), nullptr);

   ObjectArray<int> empty;
   EXPECT_EQ(empty.find(&key, ComparePointedInts), nullptr);
   empty.sort(ComparePointedInts);
}

TEST_F(ArrayOwnership, EveryOwningPathReleasesOnce)
{
   std::vector<int> all;
   auto block = [&](int tag) {
      all.push_back(tag);
      return NewBlock(tag);
   };
   {
      RecordingArray a;
      for (int i = 0; i < 6; i++)
         a.add(block(i));
      a.add(nullptr);
      a.remove(0);             // released by remove(int)
      a.remove(a.get(0));      // remove(void*)
      a.replace(0, block(10)); // old object released
      a.set(1, block(11));     // old object released
      a.set(10, block(12));    // beyond the end: nothing released, gap of nulls
      a.insert(2, block(13));
      a.remove(a.size() - 1); // the last element
      EXPECT_EQ(g_released.size(), 5u);
      a.clear(); // releases the rest, skips nulls
      EXPECT_EQ(g_released.size(), 10u);
      a.add(block(20));
      a.add(block(21));
   } // destructor releases the last two
   ExpectReleasedOnce(all);
}

TEST_F(ArrayOwnership, StoringTheSameObjectAgainKeepsIt)
{
   RecordingArray a;
   void *object = NewBlock(1);
   a.add(object);
   a.set(0, object);
   a.replace(0, object);
   EXPECT_TRUE(g_released.empty());
   EXPECT_EQ(*static_cast<int *>(a.get(0)), 1); // still alive (ASan would see a freed block)
   a.replace(0, nullptr);
   ExpectReleasedOnce({1});
}

TEST_F(ArrayOwnership, OutOfRangeChangesNothing)
{
   RecordingArray a;
   void *kept = NewBlock(1);
   void *other = NewBlock(2);
   a.add(kept);
   a.set(-1, other);
   a.replace(1, other);
   a.replace(-1, other);
   a.insert(-1, other);
   a.remove(1);
   a.remove(-1);
   a._unlink(1);
   a._unlink(-1);
   a.remove(other); // not in the array
   EXPECT_EQ(a.size(), 1);
   EXPECT_EQ(a.get(0), kept);
   EXPECT_TRUE(g_released.empty());
   free(other);
}

TEST_F(ArrayOwnership, UnlinkAndOwnerFlagNeverRelease)
{
   void *a0 = NewBlock(0);
   void *a1 = NewBlock(1);
   void *a2 = NewBlock(2);
   {
      RecordingArray a;
      a.add(a0);
      a.add(a1);
      a.add(a2);
      a._unlink(0);
      a._unlink(a2);
      EXPECT_EQ(a.size(), 1);
      EXPECT_EQ(a.get(0), a1);
      a.setOwner(false);
      EXPECT_FALSE(a.isOwner());
   }
   EXPECT_TRUE(g_released.empty());
   free(a0);
   free(a1);
   free(a2);
}

TEST_F(ArrayOwnership, CopyWithoutCopyFunctionDoesNotOwn)
{
   {
      RecordingArray a;
      a.add(NewBlock(1));
      a.add(NewBlock(2));
      {
         RecordingArray b(a);
         EXPECT_FALSE(b.isOwner());
         EXPECT_EQ(b.get(1), a.get(1));
         EXPECT_EQ(b.capacity(), a.capacity());
         b.remove(0);
         b.clear();
      }
      EXPECT_TRUE(g_released.empty());
      EXPECT_EQ(*static_cast<int *>(a.get(0)), 1);
   }
   ExpectReleasedOnce({1, 2});
}

TEST(ObjectArray, DeletesOwnedObjectsAsTheirType)
{
   Tracked::live = 0;
   {
      ObjectArray<Tracked> a(0, 4, true);
      for (int i = 0; i < 10; i++)
         a.add(new Tracked(i));
      a.remove(3);
      a.replace(0, new Tracked(100));
      EXPECT_EQ(Tracked::live, 9);
      EXPECT_EQ(a.get(0)->value, 100);
      EXPECT_EQ(a.indexOf(a.last()), 8);
   }
   EXPECT_EQ(Tracked::live, 0);
}

TEST(ObjectArray, CopyOfOwningArrayOwnsCopies)
{
   Tracked::live = 0;
   Tracked::destroyed = 0;
   {
      ObjectArray<Tracked> a(0, 16, true);
      for (int i = 0; i < 5; i++)
         a.add(new Tracked(i));
      a.add(nullptr);
      ObjectArray<Tracked> b(a);
      EXPECT_TRUE(b.isOwner());
      ASSERT_EQ(b.size(), 6);
      EXPECT_EQ(Tracked::live, 10);
      for (int i = 0; i < 5; i++)
      {
         EXPECT_NE(b.get(i), a.get(i));
         EXPECT_EQ(b.get(i)->value, i);
      }
      EXPECT_EQ(b.get(5), nullptr);
      b.get(0)->value = 42;
      EXPECT_EQ(a.get(0)->value, 0);
   }
   EXPECT_EQ(Tracked::live, 0);
   EXPECT_EQ(Tracked::destroyed, 10);
}

TEST(ObjectArray, CopyOfNonOwningArraySharesPointers)
{
   Tracked t1(1), t2(2);
   Tracked::destroyed = 0;
   {
      ObjectArray<Tracked> a;
      a.add(&t1);
      a.add(&t2);
      ObjectArray<Tracked> b(a);
      EXPECT_FALSE(b.isOwner());
      EXPECT_EQ(b.get(0), &t1);
      EXPECT_EQ(b.get(1), &t2);
      EXPECT_EQ(b.capacity(), a.capacity());
   }
   EXPECT_EQ(Tracked::destroyed, 0);
}

template <size_t N> void ExerciseElementMode()
{
   typedef Blob<N> B;
   StructArray<B> a(0, 5);
   EXPECT_NE(a.getBuffer(), nullptr); // element mode always has storage
   for (int i = 0; i < 12; i++)
      EXPECT_EQ(AddBlob<N>(a, i), i);
   EXPECT_EQ(a.capacity(), 15);
   for (int i = 0; i < 12; i++)
      EXPECT_TRUE(SameBlob(a.get(i), MakeBlob<N>(i))) << "index " << i;
   EXPECT_EQ(reinterpret_cast<unsigned char *>(a.get(1)) - reinterpret_cast<unsigned char *>(a.get(0)),
             static_cast<ptrdiff_t>(N));

   B copy = MakeBlob<N>(7); // equal bytes at another address
   EXPECT_EQ(a.indexOf(&copy), 7);
   B absent = MakeBlob<N>(99);
   EXPECT_EQ(a.indexOf(&absent), -1);
   EXPECT_EQ(a.indexOf(nullptr), -1);

   a.insert(0, &absent);
   EXPECT_TRUE(SameBlob(a.get(0), absent));
   EXPECT_TRUE(SameBlob(a.get(1), MakeBlob<N>(0)));
   a.remove(0);
   a.remove(a.size() - 1);
   EXPECT_EQ(a.size(), 11);
   EXPECT_TRUE(SameBlob(a.last(), MakeBlob<N>(10)));

   a.set(13, &absent); // the gap is zero-filled
   B zero;
   memset(&zero, 0, sizeof(zero));
   EXPECT_TRUE(SameBlob(a.get(11), zero));
   EXPECT_TRUE(SameBlob(a.get(12), zero));
   EXPECT_TRUE(SameBlob(a.get(13), absent));
   a.replace(13, nullptr); // a null element stores zero bytes
   EXPECT_TRUE(SameBlob(a.get(13), zero));

   a.clear();
   EXPECT_EQ(a.capacity(), 5);
   EXPECT_EQ(a.size(), 0);
}

TEST(StructArray, OddElementSizesAreStoredInPlace)
{
   ExerciseElementMode<3>();
   ExerciseElementMode<7>();
   ExerciseElementMode<13>();
   ExerciseElementMode<24>();
   ExerciseElementMode<300>();
}

TEST(StructArray, ElementsFromInsideTheArraySurviveGrowth)
{
   typedef Blob<13> B;
   StructArray<B> a(2, 2);
   AddBlob<13>(a, 0);
   AddBlob<13>(a, 1);
   // Full: each call below moves the storage while reading the element from it.
   a.add(a.get(0));
   EXPECT_TRUE(SameBlob(a.get(2), MakeBlob<13>(0)));
   a.add(a.get(1));
   a.insert(0, a.last());
   EXPECT_TRUE(SameBlob(a.get(0), MakeBlob<13>(1)));
   a.insert(2, a.get(3)); // the shift moves the source slot
   EXPECT_TRUE(SameBlob(a.get(2), MakeBlob<13>(0)));
   a.set(40, a.get(1));
   EXPECT_TRUE(SameBlob(a.get(40), MakeBlob<13>(0)));
   a.set(0, a.get(0));
   EXPECT_TRUE(SameBlob(a.get(0), MakeBlob<13>(1)));

   StructArray<Blob<400>> big(1, 1);
   AddBlob<400>(big, 5);
   big.add(big.get(0));
   EXPECT_TRUE(SameBlob(big.get(1), MakeBlob<400>(5)));
}

TEST(StructArray, ConstructionFromDataCopiesAndNeverOwns)
{
   KeyValuePair pairs[3] = {{L"a", nullptr}, {L"b", pairs}, {L"c", pairs + 1}};
   StructArray<KeyValuePair> a(pairs, 3);
   ASSERT_EQ(a.size(), 3);
   EXPECT_EQ(a.capacity(), 3);
   EXPECT_NE(a.getBuffer(), pairs);
   EXPECT_EQ(a.get(1)->value, pairs);
   EXPECT_EQ(wcscmp(a.get(2)->key, L"c"), 0);
   a.setOwner(true); // element mode never owns: the destructor must not free the pairs
   EXPECT_FALSE(a.isOwner());

   StructArray<KeyValuePair> copy(a);
   copy.get(0)->key = L"z";
   EXPECT_EQ(wcscmp(a.get(0)->key, L"a"), 0);
   EXPECT_EQ(copy.size(), 3);

   // A negative count comes with no elements and the default capacity.
   StructArray<KeyValuePair> none(pairs, -2);
   EXPECT_EQ(none.size(), 0);
   EXPECT_EQ(none.capacity(), 16);

   StructArray<KeyValuePair> empty(nullptr, 4);
   EXPECT_EQ(empty.size(), 0);
   EXPECT_EQ(empty.capacity(), 4);
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
   EXPECT_EQ(a.get(2), 10u);
   EXPECT_EQ(a.get(10), 0u);
   EXPECT_EQ(a.get(-1), 0u);
   EXPECT_EQ(a.indexOf(60), 7);
   EXPECT_EQ(a.indexOf(61), -1);

   IntegerArray<uint32_t> b(expected, 10);
   EXPECT_EQ(memcmp(b.getBuffer(), expected, sizeof(expected)), 0);
   IntegerArray<uint32_t> c(b);
   c.replace(0, 1);
   EXPECT_EQ(b.get(0), 7u);
   EXPECT_EQ(c.get(0), 1u);

   IntegerArray<int16_t> shorts;
   shorts.add(-2);
   shorts.add(3);
   EXPECT_EQ(shorts.get(0), -2);
   EXPECT_EQ(shorts.getBuffer()[1], 3);
}

TEST(ArrayIterator, EmptyArrayHasNothing)
{
   Array a;
   ArrayIterator it(&a);
   EXPECT_FALSE(it.hasNext());
   EXPECT_EQ(it.next(), nullptr);
   it.remove(); // before the first next: nothing
   EXPECT_EQ(a.size(), 0);
}

TEST(ArrayIterator, NextPastTheEndKeepsThePosition)
{
   int v[2];
   Array a;
   a.add(&v[0]);
   a.add(&v[1]);
   ArrayIterator it(&a);
   EXPECT_EQ(it.next(), &v[0]);
   EXPECT_EQ(it.next(), &v[1]);
   EXPECT_FALSE(it.hasNext());
   EXPECT_EQ(it.next(), nullptr);
   it.remove(); // still removes the element last returned
   EXPECT_EQ(a.size(), 1);
   EXPECT_EQ(a.get(0), &v[0]);
}

TEST_F(ArrayOwnership, IteratorRemovesEveryElementIncludingTheLast)
{
   std::vector<int> all;
   RecordingArray a;
   for (int i = 0; i < 5; i++)
   {
      all.push_back(i);
      a.add(NewBlock(i));
   }
   ArrayIterator it(&a);
   std::vector<int> visited;
   while (it.hasNext())
   {
      visited.push_back(*static_cast<int *>(it.next()));
      it.remove();
   }
   EXPECT_EQ(visited, all);
   EXPECT_EQ(a.size(), 0);
   ExpectReleasedOnce(all);
}

TEST(ArrayIterator, RemoveOnlyOncePerNext)
{
   int v[4];
   Array a;
   for (int &x : v)
      a.add(&x);
   ArrayIterator it(&a);
   it.next();
   it.next();
   it.remove();
   it.remove(); // must not take the element before it
   EXPECT_EQ(a.size(), 3);
   EXPECT_EQ(a.get(0), &v[0]);
   EXPECT_EQ(it.next(), &v[2]);
   EXPECT_EQ(it.next(), &v[3]);
   EXPECT_FALSE(it.hasNext());
}

TEST(ArrayIterator, SelectiveRemovalVisitsEachElementOnce)
{
   IntegerArray<int> a;
   for (int i = 0; i < 20; i++)
      a.add(i);
   Iterator<int> *it = new Iterator<int>(new ArrayIterator(&a));
   std::vector<int> visited;
   while (it->hasNext())
   {
      int value = *it->next();
      visited.push_back(value);
      if (value % 3 == 0)
         it->remove();
   }
   delete it;
   ASSERT_EQ(visited.size(), 20u);
   for (int i = 0; i < 20; i++)
      EXPECT_EQ(visited[i], i);
   EXPECT_EQ(a.size(), 13);
   for (int i = 0; i < a.size(); i++)
      EXPECT_NE(a.get(i) % 3, 0);
}

namespace
{

struct CountingWorker : public AbstractIterator
{
   static int deleted;
   int remaining = 2;
   ~CountingWorker() override { deleted++; }
   bool hasNext() override { return remaining > 0; }
   void *next() override { return (remaining-- > 0) ? &remaining : nullptr; }
   void remove() override {}
};
int CountingWorker::deleted = 0;

} // namespace

TEST(Iterator, HandleOwnsItsWorker)
{
   CountingWorker::deleted = 0;
   {
      Iterator<int> handle(new CountingWorker());
      EXPECT_TRUE(handle.hasNext());
      EXPECT_NE(handle.next(), nullptr);
   }
   EXPECT_EQ(CountingWorker::deleted, 1);

   Tracked::live = 0;
   ObjectArray<Tracked> objects(0, 16, true);
   objects.add(new Tracked(1));
   objects.add(new Tracked(2));
   Iterator<Tracked> *it = objects.iterator();
   EXPECT_EQ(it->next()->value, 1);
   it->remove();
   EXPECT_EQ(Tracked::live, 1);
   EXPECT_EQ(it->next()->value, 2);
   delete it;
}
