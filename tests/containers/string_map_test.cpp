#include <qorvel.h>

#include <gtest/gtest.h>

#include <jansson.h>

#include <locale.h>
#include <stdint.h>
#include <stdlib.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

// The map folds and hashes keys in one pass of its own; that must give qv_wcsupr's folding
// and the hash of the folded key.
#include "containers/string_map_entry.h"

namespace {

using W = std::vector<std::wstring>;

W KeysOf(const StringMapBase &map)
{
   W keys;
   StringList *list = map.keys();
   for (int32_t i = 0; i < list->size(); i++)
      keys.push_back(list->get(i));
   delete list;
   return keys;
}

/* "key=value" per entry in order, a null value shown as <null>. */
W PairsOf(const StringMap &map)
{
   W pairs;
   StructArray<KeyValuePair> *array = map.toArray();
   for (int i = 0; i < array->size(); i++)
   {
      const KeyValuePair *pair = array->get(i);
      pairs.push_back(std::wstring(pair->key) + L"=" +
                      ((pair->value != nullptr) ? static_cast<const wchar_t *>(pair->value) : L"<null>"));
   }
   delete array;
   return pairs;
}

/* Switches the character type locale for one scope. */
class CtypeLocale
{
   std::string m_previous;

public:
   explicit CtypeLocale(const char *name) : m_previous(setlocale(LC_CTYPE, nullptr))
   {
      EXPECT_NE(setlocale(LC_CTYPE, name), nullptr) << name;
   }
   ~CtypeLocale() { setlocale(LC_CTYPE, m_previous.c_str()); }
};

/* Tags of the Counted objects deleted so far, sorted on reading: a tag seen twice was
 * deleted twice. */
std::vector<int> g_deleted;

std::vector<int> Deleted()
{
   std::vector<int> tags = g_deleted;
   std::sort(tags.begin(), tags.end());
   return tags;
}

struct Counted
{
   int tag;
   explicit Counted(int t) : tag(t) {}
   ~Counted() { g_deleted.push_back(tag); }
};

using Tags = std::vector<int>;

}  // namespace

TEST(StringMap, IgnoresCaseAndReportsTheLatestSpelling)
{
   StringMap map;
   map.set(L"Key", L"1");
   EXPECT_STREQ(map.get(L"KEY"), L"1");
   EXPECT_STREQ(map.get(L"key"), L"1");
   EXPECT_EQ(KeysOf(map), (W{L"Key"}));
   map.set(L"other", L"x");
   map.set(L"KEY", L"2");
   EXPECT_EQ(PairsOf(map), (W{L"KEY=2", L"other=x"}));

   // Length forms need no terminator.
   const wchar_t buffer[] = {L'k', L'E', L'y', L'!'};
   EXPECT_STREQ(map.get(buffer, 3), L"2");
   EXPECT_FALSE(map.contains(buffer, 4));
   EXPECT_FALSE(map.contains(nullptr));
}

TEST(StringMap, FoldsNonAsciiAndLongKeys)
{
   // Non-ASCII case follows the character type locale, as qv_wcsupr does.
   CtypeLocale locale("C.UTF-8");
   StringMap map;
   map.set(L"Stra\u00dfe-\u00e4\u00f6\u00fc-\u0434\u043e\u043c", L"street");
   EXPECT_STREQ(map.get(L"STRA\u00dfE-\u00c4\u00d6\u00dc-\u0414\u041e\u041c"), L"street");

   std::wstring longKey(2000, L'a');  // beyond the stack buffer of a lookup
   longKey[1999] = L'\u00e9';
   map.set(longKey.c_str(), L"long");
   std::wstring upper(2000, L'A');
   upper[1999] = L'\u00c9';
   EXPECT_STREQ(map.get(upper.c_str()), L"long");

   map.set(L"", L"empty");
   EXPECT_STREQ(map.get(L""), L"empty");
   EXPECT_EQ(map.size(), 3);
}

TEST(StringMap, KeyHashOfAKeyIsThatOfItsFoldedForm)
{
   // Every block position and tail length, with ASCII letters, their neighbours and
   // non-ASCII characters; in the C locale non-ASCII stays as it is. Distinct texts
   // (zero characters and lengths included) give distinct hashes here.
   const wchar_t pool[] = L"az@[`{AZ09\u00e0\u00ff\u0101\u03b1\u0430\u1e9e\u2c65";
   for (const char *name : {"C", "C.UTF-8"})
   {
      CtypeLocale locale(name);
      std::map<unsigned, std::wstring> seen;
      auto distinct = [&](const std::wstring &text, unsigned hash) {
         auto found = seen.emplace(hash, text);
         EXPECT_TRUE(found.second || found.first->second == text) << name << " length " << text.size();
      };
      for (const std::wstring &zeros : {std::wstring(), std::wstring(1, L'\0'), std::wstring(2, L'\0')})
         distinct(zeros, qv::containers::HashKey<qv::containers::SameCase>(zeros.data(), zeros.size(), nullptr));
      for (size_t length = 0; length <= 13; length++)
         for (size_t start = 0; start + length < sizeof(pool) / sizeof(wchar_t); start++)
         {
            std::wstring text(pool + start, length);
            std::wstring expected = text;
            qv_wcsupr(&expected[0]);
            unsigned exactHash = qv::containers::HashKey<qv::containers::SameCase>(text.data(), length, nullptr);
            unsigned foldedHash = qv::containers::HashKey<qv::containers::SameCase>(expected.data(), length, nullptr);
            distinct(text, exactHash);
            distinct(expected, foldedHash);

            std::wstring folded(length, L'?');
            EXPECT_EQ(qv::containers::HashKey<qv::containers::UpperCase>(text.data(), length, &folded[0]), foldedHash);
            EXPECT_EQ(folded, expected) << name << " start " << start << " length " << length;
            EXPECT_EQ(qv::containers::FoldKeyInPlace(&text[0], length), foldedHash);
            EXPECT_EQ(text, expected);
         }
   }
}

TEST(StringMap, InsertionOrderSurvivesReplaceRemoveAndCaseSwitches)
{
   StringMap map;
   map.set(L"a", L"1");
   map.set(L"B", L"2");
   map.set(L"c", L"3");
   map.set(L"b", L"two");  // replaced in place
   map.remove(L"A");
   map.set(L"a", L"one");  // removed and set again: now last
   EXPECT_EQ(PairsOf(map), (W{L"b=two", L"c=3", L"a=one"}));

   map.setIgnoreCase(false);
   EXPECT_EQ(PairsOf(map), (W{L"b=two", L"c=3", L"a=one"}));
   EXPECT_EQ(map.get(L"B"), nullptr);
   map.set(L"B", L"big");
   map.setIgnoreCase(true);
   EXPECT_EQ(KeysOf(map), (W{L"b", L"c", L"a", L"B"}));  // no merging
   EXPECT_STREQ(map.get(L"C"), L"3");
   map.remove(L"b");
   map.remove(L"b");
   EXPECT_EQ(KeysOf(map), (W{L"c", L"a"}));

   StringMap exact;  // case-sensitive while still empty
   exact.setIgnoreCase(false);
   exact.set(L"a", L"lower");
   exact.set(L"A", L"upper");
   exact.setIgnoreCase(true);
   exact.setIgnoreCase(false);
   EXPECT_EQ(PairsOf(exact), (W{L"a=lower", L"A=upper"}));
}

TEST(StringMap, LargeMapsFindEveryKeyThroughGrowthRemovalAndCaseSwitches)
{
   // Enough keys for the table to grow many times; every key is found in either case,
   // after removals and after each rebuild by a case switch, and removed ones are not.
   constexpr int KEYS = 5000;
   auto key = [](int i, bool upper) {
      wchar_t text[32];
      swprintf(text, 32, upper ? L"KEY-%d-NAME" : L"key-%d-name", i);
      return std::wstring(text);
   };
   StringMap map;
   for (int i = 0; i < KEYS; i++)
      map.set(key(i, i % 2 == 0).c_str(), key(i, false).c_str());
   for (int i = 0; i < KEYS; i += 3)
      map.remove(key(i, true).c_str());
   auto check = [&](bool ignoreCase) {
      ASSERT_EQ(map.size(), KEYS - (KEYS + 2) / 3);
      for (int i = 0; i < KEYS; i++)
      {
         bool kept = (i % 3 != 0);
         const wchar_t *stored = map.get(key(i, i % 2 == 0).c_str());
         ASSERT_EQ(stored != nullptr, kept) << i;
         if (kept)
         {
            EXPECT_EQ(std::wstring(stored), key(i, false)) << i;
         }
         ASSERT_EQ(map.get(key(i, i % 2 != 0).c_str()) != nullptr, kept && ignoreCase) << i;
      }
   };
   check(true);
   map.setIgnoreCase(false);
   check(false);
   map.setIgnoreCase(true);
   check(true);
}

TEST(HashTable, KeyComparisonSeesEveryByte)
{
   // Every length up to three words and a bit, equal keys and keys that differ in any
   // one byte (in the whole words, in a 4-byte tail and in the single bytes after it).
   unsigned char a[40], b[40];
   for (size_t i = 0; i < sizeof(a); i++)
      a[i] = b[i] = static_cast<unsigned char>(i * 7 + 1);
   for (size_t length = 0; length <= 27; length++)
   {
      EXPECT_FALSE(qv::containers::KeyBytesDiffer(a, b, length)) << length;
      for (size_t at = 0; at < length; at++)
      {
         b[at] ^= 0x10;
         EXPECT_TRUE(qv::containers::KeyBytesDiffer(a, b, length)) << length << " " << at;
         b[at] ^= 0x10;
      }
      // A difference just past the length is not seen.
      b[length] ^= 0x10;
      EXPECT_FALSE(qv::containers::KeyBytesDiffer(a, b, length)) << length;
      b[length] ^= 0x10;
   }
}

TEST(StringMap, NullKeysAndValues)
{
   StringMap map;
   map.set(nullptr, L"x");
   map.set(nullptr, 5);
   map.setPreallocated(nullptr, qv_wcsdup(L"freed"));  // leak check: the map frees it
   map.remove(nullptr);
   EXPECT_TRUE(map.isEmpty());

   map.set(L"n", static_cast<const wchar_t *>(nullptr));
   EXPECT_TRUE(map.contains(L"n"));
   EXPECT_EQ(map.get(L"n"), nullptr);
   EXPECT_EQ(map.getInt32(L"n", 7), 7);

   map.setPreallocated(qv_wcsdup(L"N"), qv_wcsdup(L"v"));  // the key block becomes the spelling
   map.setIgnoreCase(false);
   map.setPreallocated(qv_wcsdup(L"N"), qv_wcsdup(L"w"));  // the key block is freed
   EXPECT_EQ(PairsOf(map), (W{L"N=w"}));
}

TEST(StringMap, NumbersAsTextAndParsedBack)
{
   StringMap map;
   map.set(L"i32", INT32_MIN);
   map.set(L"u32", UINT32_MAX);
   map.set(L"i64", INT64_MIN);
   map.set(L"u64", UINT64_MAX);
   EXPECT_EQ(PairsOf(map),
             (W{L"i32=-2147483648", L"u32=4294967295", L"i64=-9223372036854775808", L"u64=18446744073709551615"}));
   EXPECT_EQ(map.getUInt64(L"u64", 0), UINT64_MAX);

   map.set(L"hex", L"0x1F");
   map.set(L"oct", L" 010");
   map.set(L"word", L"abc");
   map.set(L"big", L"3000000000");
   map.set(L"small", L"-3000000000");
   map.set(L"huge", L"-5000000000");
   EXPECT_EQ(map.getInt32(L"hex", -1), 31);
   EXPECT_EQ(map.getInt32(L"oct", -1), 8);
   EXPECT_EQ(map.getInt32(L"word", -1), 0);
   EXPECT_EQ(map.getInt32(L"missing", -1), -1);
   // The 32-bit forms keep the 32-bit range.
   EXPECT_EQ(map.getInt32(L"big", 0), INT32_MAX);
   EXPECT_EQ(map.getInt32(L"small", 0), INT32_MIN);
   EXPECT_EQ(map.getUInt32(L"small", 0), 1294967296u);  // modulo 2^32
   EXPECT_EQ(map.getUInt32(L"huge", 0), UINT32_MAX);
   EXPECT_EQ(map.getInt64(L"big", 0), 3000000000LL);
}

TEST(StringMap, BooleanWordsAndNumbers)
{
   StringMap map;
   const std::vector<std::pair<const wchar_t *, bool>> cases = {
       {L"TRUE", true}, {L"False", false}, {L"2", true},         {L"0", false},
       {L"yes", false}, {L"0x10", true},   {L"4294967296", true}};
   for (const auto &c : cases)
   {
      map.set(L"flag", c.first);
      EXPECT_EQ(map.getBoolean(L"flag", !c.second), c.second) << c.first;
   }
   EXPECT_TRUE(map.getBoolean(L"missing", true));
}

TEST(StringMap, CopiesKeepOrderSpellingAndNullValues)
{
   StringMap src;
   src.set(L"First", L"1");
   src.set(L"empty", static_cast<const wchar_t *>(nullptr));
   src.set(L"Last", L"3");
   StringMap copy(src);
   EXPECT_EQ(PairsOf(copy), (W{L"First=1", L"empty=<null>", L"Last=3"}));
   EXPECT_NE(copy.get(L"first"), src.get(L"first"));  // own copies

   // Assignment takes src's settings; self-assignment keeps everything.
   StringMap exact;
   exact.setIgnoreCase(false);
   exact.set(L"x", L"X");
   copy = exact;
   EXPECT_FALSE(copy.isIgnoreCase());
   StringMap &alias = copy;
   copy = alias;
   EXPECT_EQ(PairsOf(copy), (W{L"x=X"}));

   copy.addAll(&src);
   copy.addAll(&copy);
   src.set(L"first", L"changed");
   copy.addAll(&src);  // replaced in place
   EXPECT_EQ(PairsOf(copy), (W{L"x=X", L"First=1", L"empty=<null>", L"Last=3", L"first=changed"}));
}

TEST(StringMap, CopyOfANonOwningMapSharesItsValues)
{
   StringMap src;
   src.setOwner(false);
   src.set(L"k", L"outside");  // a heap copy the map does not own
   const wchar_t *stored = src.get(L"k");
   StringMap copy(src);  // leak check: nothing is copied that nobody frees
   EXPECT_EQ(copy.get(L"k"), stored);
   StringMap owning;
   owning.addAll(&copy);
   EXPECT_NE(owning.get(L"k"), stored);
   free(const_cast<wchar_t *>(stored));
}

TEST(StringMap, KeyThatPointsIntoTheMap)
{
   StringMap map;
   map.set(L"Name", L"1");
   StructArray<KeyValuePair> *pairs = map.toArray();
   map.set(pairs->get(0)->key, L"2");  // the entry's own spelling, replaced while read
   delete pairs;
   EXPECT_EQ(PairsOf(map), (W{L"Name=2"}));
}

TEST(StringMap, Enumeration)
{
   StringMap map;
   W seen;
   auto stopAtTwo = [](const wchar_t *key, const void *, void *context) {
      static_cast<W *>(context)->push_back(key);
      return (wcscmp(key, L"two") == 0) ? STOP_ENUMERATION : CONTINUE_ENUMERATION;
   };
   EXPECT_EQ(map.forEach(stopAtTwo, &seen), CONTINUE_ENUMERATION);
   EXPECT_TRUE(seen.empty());
   EXPECT_TRUE(PairsOf(map).empty());
   EXPECT_TRUE(KeysOf(map).empty());

   map.set(L"One", L"1");
   map.set(L"two", L"2");
   map.set(L"three", L"3");
   EXPECT_EQ(map.forEach(stopAtTwo, &seen), STOP_ENUMERATION);
   EXPECT_EQ(seen, (W{L"One", L"two"}));

   auto valueAbove1 = [](const wchar_t *, const void *value, void *) {
      return wcscmp(static_cast<const wchar_t *>(value), L"1") > 0;
   };
   EXPECT_STREQ(static_cast<const wchar_t *>(map.findElement(valueAbove1, nullptr)), L"2");
   auto none = [](const wchar_t *, const void *, void *) { return false; };
   EXPECT_EQ(map.findElement(none, nullptr), nullptr);

   auto notTwo = [](const wchar_t *key, const void *, void *) { return wcscmp(key, L"two") != 0; };
   map.filterElements(notTwo, nullptr);
   EXPECT_EQ(KeysOf(map), (W{L"One", L"three"}));
}

TEST(StringMap, JsonPairsInOrder)
{
   StringMap map;
   map.set(L"a", L"1");
   map.set(L"b", static_cast<const wchar_t *>(nullptr));
   map.set(L"K\u00e9y", L"\xD800x");  // unpaired surrogate
   json_t *json = map.toJson();
   char *text = json_dumps(json, JSON_COMPACT);
   EXPECT_STREQ(text, "[[\"a\",\"1\"],[\"b\",null],[\"K\xC3\xA9y\",\"\xEF\xBF\xBDx\"]]");
   free(text);
   json_decref(json);
}

TEST(StringMap, EveryOwningPathReleasesEachObjectOnce)
{
   g_deleted.clear();
   {
      StringObjectMap<Counted> map(true);
      map.set(L"a", new Counted(1));
      map.set(L"A", new Counted(2));  // replaces 1
      Counted *three = new Counted(3);
      map.set(L"b", three);
      map.set(L"B", three);              // the same object again: kept
      map.set(nullptr, new Counted(4));  // nothing stored: deleted at once
      map.set(L"c", new Counted(5));
      map.remove(L"C");
      map.set(L"null", nullptr);
      map.remove(L"null");
      map.set(L"d", new Counted(6));
      map.set(L"e", new Counted(7));
      map.setIgnoreCase(false);  // rebuilding moves, never releases
      map.setIgnoreCase(true);
      EXPECT_EQ(Deleted(), (Tags{1, 4, 5}));

      ObjectArray<Counted> *values = map.values();  // does not own them
      EXPECT_EQ(values->size(), 4);
      EXPECT_EQ(values->get(3)->tag, 7);
      delete values;

      auto keepD = [](const wchar_t *key, const void *, void *) { return wcscmp(key, L"d") == 0; };
      map.filterElements(keepD, nullptr);
      EXPECT_EQ(Deleted(), (Tags{1, 2, 3, 4, 5, 7}));
      map.set(L"f", new Counted(8));
   }
   EXPECT_EQ(Deleted(), (Tags{1, 2, 3, 4, 5, 6, 7, 8}));

   StringObjectMap<Counted> map(true);
   map.set(L"x", new Counted(9));
   map.clear();
   EXPECT_EQ(Deleted(), (Tags{1, 2, 3, 4, 5, 6, 7, 8, 9}));

   // A map that does not own (any more) releases nothing.
   Counted kept(10);
   Counted *dropped = new Counted(11);
   map.setOwner(false);
   map.set(L"k", &kept);
   map.set(L"k", dropped);
   map.set(nullptr, &kept);
   map.remove(L"k");
   EXPECT_EQ(g_deleted.size(), 9u);
   delete dropped;
}

TEST(StringIntMap, IntegersInTheValueSlots)
{
   StringIntMap<int64_t> map;
   map.set(L"Min", INT64_MIN);
   map.set(L"zero", 0);
   EXPECT_EQ(map.get(L"MIN"), INT64_MIN);
   EXPECT_EQ(map.get(L"zero", 42), 0);
   EXPECT_EQ(map.get(L"missing", 42), 42);
   EXPECT_TRUE(map.contains(L"Zero"));
   StringIntMap<uint32_t> counts;
   counts.set(L"max", UINT32_MAX);
   EXPECT_EQ(counts.get(L"max"), UINT32_MAX);
}
