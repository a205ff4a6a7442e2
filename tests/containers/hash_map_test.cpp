#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace {

/* The protected byte-key operations of the map, opened for the tests. */
class BytesMap : public HashMapBase
{
public:
   BytesMap(bool owner, unsigned keyLength) : HashMapBase(owner, keyLength) {}
   using HashMapBase::_contains;
   using HashMapBase::_get;
   using HashMapBase::_remove;
   using HashMapBase::_set;
};

class BytesSet : public HashSetBase
{
public:
   explicit BytesSet(unsigned keyLength) : HashSetBase(keyLength) {}
   using HashSetBase::_contains;
   using HashSetBase::_put;
   using HashSetBase::_remove;
};

/* Key number n of the given length: the bytes of n, then filler that differs by length. */
std::string Key(uint32_t n, unsigned length)
{
   std::string key(length, static_cast<char>('k' + length));
   memcpy(&key[0], &n, (length < sizeof(n)) ? length : sizeof(n));
   return key;
}

/* Tag of each object deleted, in order of deletion. */
std::vector<int> g_released;

struct Tagged
{
   int tag;
   explicit Tagged(int t) : tag(t) {}
   ~Tagged() { g_released.push_back(tag); }
};

using Ints = std::vector<int>;

EnumerationCallbackResult CollectKey(const void *key, const void *, void *context)
{
   uint64_t value;
   memcpy(&value, key, sizeof(value));
   static_cast<Ints *>(context)->push_back(static_cast<int>(value));
   return (value == 99) ? STOP_ENUMERATION : CONTINUE_ENUMERATION;
}

Ints KeysOf(const HashMapBase &map)
{
   Ints keys;
   map.forEach(CollectKey, &keys);
   return keys;
}

}  // namespace

TEST(HashMap, OwnerReleasesEachValueExactlyOnce)
{
   g_released.clear();
   {
      HashMap<uint64_t, Tagged> map(true);
      Tagged *two = new Tagged(2);
      map.set(5, new Tagged(1));
      map.set(5, two);  // replaces 1
      map.set(5, two);  // the same object again: kept alive
      EXPECT_EQ(map.size(), 1);
      EXPECT_EQ(map.get(5), two);
      EXPECT_EQ(g_released, (Ints{1}));

      map.set(6, nullptr);
      map.remove(6);  // a null value is not released
      map.set(7, new Tagged(3));
      map.set(8, new Tagged(4));
      map.remove(7);
      EXPECT_EQ(g_released, (Ints{1, 3}));

      Iterator<Tagged> *it = map.iterator();
      EXPECT_EQ(it->next(), two);
      it->remove();
      it->remove();  // once per next: the entry is gone already
      delete it;
      EXPECT_EQ(g_released, (Ints{1, 3, 2}));
   }  // the destructor releases 4
   EXPECT_EQ(g_released, (Ints{1, 3, 2, 4}));

   g_released.clear();
   Tagged kept(9);
   {
      HashMap<uint64_t, Tagged> map;  // not owning
      map.set(1, &kept);
      map.set(1, &kept);
      map.remove(1);
      map.set(2, &kept);
   }
   EXPECT_TRUE(g_released.empty());
}

TEST(HashMap, KeysShorterAndLongerThanTheInlineSizeAreCopiedAndMatched)
{
   constexpr uint32_t KEYS = 200;
   for (unsigned length : {1u, 4u, 8u, 15u, 16u, 17u, 40u})
   {
      SCOPED_TRACE(length);
      BytesMap map(true, length);
      BytesSet set(length);
      for (uint32_t n = 0; n < KEYS; n++)
      {
         std::string key = Key(n, length);
         void *value = malloc(length);  // freed by the map
         memcpy(value, key.data(), length);
         map._set(key.data(), value);
         set._put(key.data());
         set._put(key.data());
         key.assign(length, '\xff');  // the containers hold copies of the key bytes
      }
      EXPECT_EQ(map.size(), static_cast<int>(KEYS));
      EXPECT_EQ(set.size(), static_cast<int>(KEYS));

      for (uint32_t n = 0; n < KEYS; n++)
      {
         std::string key = Key(n, length);
         ASSERT_TRUE(map._contains(key.data()));
         EXPECT_EQ(memcmp(map._get(key.data()), key.data(), length), 0);
         EXPECT_TRUE(set._contains(key.data()));
         key[length - 1] ^= 1;    // every byte counts, the last one of a heap key too
         if (length > sizeof(n))  // (in a shorter key the flipped byte belongs to n)
         {
            EXPECT_FALSE(map._contains(key.data()));
            EXPECT_FALSE(set._contains(key.data()));
         }
      }
      for (uint32_t n = 0; n < KEYS; n += 2)
      {
         std::string key = Key(n, length);
         map._remove(key.data());
         set._remove(key.data());
         EXPECT_EQ(map._get(key.data()), nullptr);
         EXPECT_FALSE(set._contains(key.data()));
      }
      map.clear();  // heap keys and values freed: the leak check sees any left
      set.clear();
      EXPECT_TRUE(map.isEmpty());
      EXPECT_EQ(set.size(), 0);
   }
}

TEST(HashMap, InsertionOrderSurvivesReplaceAndRemove)
{
   BytesMap map(false, sizeof(uint64_t));
   EXPECT_EQ(KeysOf(map), Ints{});
   EXPECT_EQ(map.forEach(CollectKey, nullptr), CONTINUE_ENUMERATION);  // no entry, no call
   int values[4] = {};
   for (uint64_t key : {1, 2, 3, 4})
      map._set(&key, &values[key - 1]);
   uint64_t key = 2;
   map._set(&key, &values[0]);  // replaced in place
   key = 1;
   map._remove(&key);
   map._set(&key, &values[1]);  // removed and set again: now last
   key = 3;
   map._remove(&key);
   EXPECT_EQ(KeysOf(map), (Ints{2, 4, 1}));

   key = 99;
   map._set(&key, nullptr);
   key = 5;
   map._set(&key, nullptr);
   Ints seen;
   EXPECT_EQ(map.forEach(CollectKey, &seen), STOP_ENUMERATION);
   EXPECT_EQ(seen, (Ints{2, 4, 1, 99}));

   auto isSecond = [](const void *, const void *value, void *context) { return value == context; };
   EXPECT_EQ(map.findElement(isSecond, &values[1]), &values[1]);
   EXPECT_EQ(map.findElement(isSecond, &values[3] + 1), nullptr);

   BytesSet set(sizeof(uint64_t));
   for (uint64_t k : {7, 8, 7, 9, 8})
      set._put(&k);
   key = 8;
   set._remove(&key);
   set._put(&key);
   Ints order;
   set.forEach([](const void *k, void *context) { return CollectKey(k, nullptr, context); }, &order);
   EXPECT_EQ(order, (Ints{7, 9, 8}));
}

TEST(HashMap, NullKeysChangeNothing)
{
   BytesMap map(true, 8);
   void *value = malloc(1);
   map._set(nullptr, value);  // not stored and not released: value stays the caller's
   map._remove(nullptr);
   EXPECT_TRUE(map.isEmpty());
   EXPECT_EQ(map._get(nullptr), nullptr);
   EXPECT_FALSE(map._contains(nullptr));
   free(value);

   BytesSet set(8);
   set._put(nullptr);
   set._remove(nullptr);
   EXPECT_EQ(set.size(), 0);
   EXPECT_FALSE(set._contains(nullptr));
}

TEST(HashMapIterator, WalksInOrderAndRemovesAsItGoes)
{
   HashMap<uint32_t, int> map;
   std::unique_ptr<Iterator<int>> it(map.iterator());
   EXPECT_FALSE(it->hasNext());
   EXPECT_EQ(it->next(), nullptr);
   it->remove();  // before any next: nothing

   int values[3] = {10, 20, 30};
   for (uint32_t i = 0; i < 3; i++)
      map.set(i, &values[i]);
   it.reset(map.iterator());
   for (int i = 0; i < 3; i++)
   {
      EXPECT_TRUE(it->hasNext());
      EXPECT_EQ(it->next(), &values[i]);
   }
   EXPECT_FALSE(it->hasNext());
   EXPECT_EQ(it->next(), nullptr);
   it->remove();  // the last entry stays current at the end
   EXPECT_EQ(map.size(), 2);

   // A stored null reads as null; hasNext tells it from the end. Removing after every
   // next empties the map.
   map.set(7, nullptr);
   it.reset(map.iterator());
   EXPECT_EQ(it->next(), &values[0]);
   it->remove();
   EXPECT_EQ(it->next(), &values[1]);
   it->remove();
   EXPECT_TRUE(it->hasNext());
   EXPECT_EQ(it->next(), nullptr);
   it->remove();
   EXPECT_FALSE(it->hasNext());
   EXPECT_TRUE(map.isEmpty());
}
