#include <qorvel.h>

#include <gtest/gtest.h>

#include <jansson.h>

#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <vector>

// The growth rule is internal; it is checked directly because no public constructor
// makes a list without slots yet.
#include "containers/slot_growth.h"

namespace {

/* The entries, a null entry shown as "<null>". */
std::vector<std::wstring> Entries(const StringList &list)
{
   std::vector<std::wstring> entries;
   for (int32_t i = 0; i < list.size(); i++)
      entries.push_back((list.get(i) != nullptr) ? list.get(i) : L"<null>");
   return entries;
}

using W = std::vector<std::wstring>;

std::wstring Joined(const StringList &list, const wchar_t *separator)
{
   wchar_t *text = list.join(separator);
   std::wstring result = (text != nullptr) ? text : L"<failed>";
   free(text);
   return result;
}

StringList ListOf(std::initializer_list<const wchar_t *> texts)
{
   StringList list;
   for (const wchar_t *text : texts)
      list.add(text);
   return list;
}

}  // namespace

TEST(StringList, SlotArrayDoublesTo4096ThenGrowsBy4096)
{
   StringList list;
   EXPECT_EQ(list.capacity(), 256);
   std::vector<int32_t> seen = {list.capacity()};
   for (int32_t i = 0; i < 8193; i++)
   {
      list.add(i);
      if (list.capacity() != seen.back())
         seen.push_back(list.capacity());
   }
   EXPECT_EQ(seen, (std::vector<int32_t>{256, 512, 1024, 2048, 4096, 8192, 12288}));
   EXPECT_STREQ(list.get(0), L"0");
   EXPECT_STREQ(list.get(4095), L"4095");
   EXPECT_STREQ(list.get(8192), L"8192");

   list.clear();
   EXPECT_EQ(list.size(), 0);
   EXPECT_EQ(list.capacity(), 256);
   list.add(L"again");
   EXPECT_EQ(Entries(list), W{L"again"});
}

TEST(StringList, EmptySlotArrayStillGrows)
{
   EXPECT_EQ(qv::containers::GrownSlotCount(0), 256);
   EXPECT_EQ(qv::containers::GrownSlotCount(1), 2);
   EXPECT_EQ(qv::containers::GrownSlotCount(4096), 8192);
   EXPECT_EQ(qv::containers::GrownSlotCount(8192), 12288);
   EXPECT_EQ(qv::containers::GrownSlotCount(INT32_MAX - 10), INT32_MAX);
   EXPECT_EQ(qv::containers::GrownSlotCount(INT32_MAX), INT32_MAX);
}

TEST(StringList, NumbersAreAddedAsDecimalText)
{
   StringList list;
   list.add(INT32_MIN);
   list.add(UINT32_MAX);
   list.add(INT64_MIN);
   list.add(UINT64_MAX);
   list.add(2.5);
   list.add(-0.25);
   EXPECT_EQ(Entries(list), (W{L"-2147483648", L"4294967295", L"-9223372036854775808", L"18446744073709551615",
                               L"2.500000", L"-0.250000"}));
}

TEST(StringList, HugeDoubleKeepsAllItsDigits)
{
   StringList list;
   list.add(1e300);
   std::wstring text = list.get(0);
   EXPECT_EQ(text.size(), 301u + 7u);
   EXPECT_EQ(text.substr(0, 4), L"1000");
   EXPECT_EQ(text.substr(text.size() - 7), L".000000");
}

TEST(StringList, MultibyteTextInTheDefaultCodePage)
{
   ASSERT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   StringList list;
   list.addMBString("caf\xE9");
   list.addMBString("");
   list.addMBString(nullptr);
   SetDefaultCodepage("ACP");
   EXPECT_EQ(Entries(list), (W{L"caf\u00E9", L"", L"<null>"}));
}

TEST(StringList, PreallocatedTextsAreCopiedAndFreed)
{
   // A block that is not freed shows up as a leak in the sanitizer build.
   StringList list;
   list.addPreallocated(qv_wcsdup(L"first"));
   list.addOrReplacePreallocated(2, qv_wcsdup(L"third"));
   list.addOrReplacePreallocated(0, qv_wcsdup(L"replaced"));
   EXPECT_EQ(Entries(list), (W{L"replaced", L"<null>", L"third"}));
}

TEST(StringList, IndexesOutOfRangeAreIgnored)
{
   StringList list = ListOf({L"a", L"b"});
   const wchar_t *old = list.get(1);
   list.replace(2, L"x");
   list.replace(-1, L"x");
   list.remove(-1);
   list.remove(2);
   list.addOrReplace(-1, L"x");
   EXPECT_EQ(Entries(list), (W{L"a", L"b"}));
   EXPECT_EQ(list.get(2), nullptr);
   EXPECT_EQ(list.get(-1), nullptr);
   EXPECT_EQ(list.get(INT32_MIN), nullptr);

   list.replace(1, L"B");
   list.remove(0);
   EXPECT_EQ(Entries(list), (W{L"B"}));
   // Strings handed out stay valid until the list is cleared.
   EXPECT_STREQ(old, L"b");
}

TEST(StringList, AddOrReplaceFillsGapsWithNull)
{
   StringList list;
   list.addOrReplace(3, L"d");
   EXPECT_EQ(Entries(list), (W{L"<null>", L"<null>", L"<null>", L"d"}));
   list.addOrReplace(1, L"b");
   list.replace(3, nullptr);
   EXPECT_EQ(Entries(list), (W{L"<null>", L"b", L"<null>", L"<null>"}));
   // Growth across the gap: 300 entries do not fit the first slot array.
   list.addOrReplace(299, L"last");
   EXPECT_EQ(list.size(), 300);
   EXPECT_EQ(list.capacity(), 512);
   EXPECT_STREQ(list.get(299), L"last");
   EXPECT_EQ(list.get(298), nullptr);
}

TEST(StringList, CopiesKeepNullEntriesInPlace)
{
   StringList src;
   src.addOrReplace(1, L"b");
   src.add(L"c");
   src.add(static_cast<const wchar_t *>(nullptr));
   StringList byReference(src);
   StringList byPointer(&src);
   W expected = {L"<null>", L"b", L"c", L"<null>"};
   EXPECT_EQ(Entries(byReference), expected);
   EXPECT_EQ(Entries(byPointer), expected);
   EXPECT_NE(byReference.get(1), src.get(1));  // own copies
   EXPECT_EQ(StringList(static_cast<const StringList *>(nullptr)).size(), 0);

   StringList big;
   for (int32_t i = 0; i < 300; i++)
      big.add(i);
   EXPECT_EQ(StringList(big).capacity(), 512);

   byPointer.addAll(&byPointer);
   EXPECT_EQ(byPointer.size(), 8);
   EXPECT_STREQ(byPointer.get(5), L"b");
   EXPECT_EQ(byPointer.get(7), nullptr);
}

TEST(StringList, MergeAddsEachNewTextOnce)
{
   StringList list = ListOf({L"Abc"});
   StringList other = ListOf({L"ABC", L"def", L"DEF"});
   list.merge(&other, false);
   EXPECT_EQ(Entries(list), (W{L"Abc", L"def"}));
   list.merge(&other, true);
   EXPECT_EQ(Entries(list), (W{L"Abc", L"def", L"ABC", L"DEF"}));

   // Null entries on either side are skipped; the order of the rest holds.
   StringList withGaps;
   withGaps.addOrReplace(1, L"x");
   withGaps.add(static_cast<const wchar_t *>(nullptr));
   withGaps.add(L"y");
   withGaps.add(L"x");
   StringList target;
   target.add(static_cast<const wchar_t *>(nullptr));
   target.merge(&withGaps, true);
   EXPECT_EQ(Entries(target), (W{L"<null>", L"x", L"y"}));
}

TEST(StringList, SplitKeepsEmptyPieces)
{
   struct Case
   {
      const wchar_t *text;
      const wchar_t *separator;
      W pieces;
   };
   const Case cases[] = {
       {L"a;b", L";", {L"a", L"b"}}, {L"a,,b", L",", {L"a", L"", L"b"}}, {L";", L";", {L"", L""}},
       {L"", L",", {L""}},           {L"a--b", L"--", {L"a", L"b"}},     {L"a---b", L"--", {L"a", L"-b"}},
       {L"abc", L"", {L"abc"}},      {L"abc", nullptr, {L"abc"}},        {L"a,", L",", {L"a", L""}},
       {L"ab", L"abc", {L"ab"}},
   };
   for (const Case &c : cases)
   {
      StringList list(c.text, c.separator);
      EXPECT_EQ(Entries(list), c.pieces) << c.text;
   }
   StringList list;
   list.splitAndAdd(nullptr, L",");
   EXPECT_EQ(list.size(), 0);
}

TEST(StringList, StringSplitLeavesTheStringAlone)
{
   struct Case
   {
      String text;
      const wchar_t *separator;
      W pieces;
   };
   const Case cases[] = {
       {String(L"a,b,"), L",", {L"a", L"b", L""}},
       {String(L"a<>b"), L"<>", {L"a", L"b"}},
       {String(L"ab"), L"abc", {L"ab"}},
       {String(L""), L",", {L""}},
       {String(), L",", {L""}},
       {String(), L"", {L"(null)"}},
       {String(L""), L"", {L""}},
       {String(L"abc"), nullptr, {L"abc"}},
   };
   for (const Case &c : cases)
   {
      String before(c.text);
      StringList *list = c.text.split(c.separator);
      ASSERT_NE(list, nullptr);
      EXPECT_EQ(Entries(*list), c.pieces) << static_cast<const wchar_t *>(c.text);
      EXPECT_TRUE(c.text.equals(before));
      delete list;
   }
}

TEST(StringList, JoinPutsSeparatorsBetweenEntries)
{
   EXPECT_EQ(Joined(ListOf({L"a", L"b", L"c"}), L", "), L"a, b, c");
   EXPECT_EQ(Joined(ListOf({L"a"}), L", "), L"a");
   EXPECT_EQ(Joined(StringList(), L", "), L"");
   EXPECT_EQ(Joined(ListOf({L"a", nullptr, L"c"}), L", "), L"a, , c");
   EXPECT_EQ(Joined(ListOf({L"a", L"b"}), nullptr), L"ab");
   EXPECT_EQ(Joined(ListOf({nullptr, nullptr}), L"-"), L"-");
}

TEST(StringList, SortOrders)
{
   StringList list = ListOf({L"b", L"B", L"a"});
   list.sort(true, true);
   EXPECT_EQ(Entries(list), (W{L"B", L"a", L"b"}));
   list.sort(false, true);
   EXPECT_EQ(Entries(list), (W{L"b", L"a", L"B"}));
   list.sort(true, false);
   EXPECT_STREQ(list.get(0), L"a");

   // Code values compare unsigned and a prefix comes first; nulls go first ascending.
   StringList mixed = ListOf({L"ab", nullptr, L"\U0001F600", L"a", L"", nullptr, L"\u00E9"});
   mixed.sort(true, true);
   EXPECT_EQ(Entries(mixed), (W{L"<null>", L"<null>", L"", L"a", L"ab", L"\u00E9", L"\U0001F600"}));
   mixed.sort(false, false);
   EXPECT_EQ(Entries(mixed), (W{L"\U0001F600", L"\u00E9", L"ab", L"a", L"", L"<null>", L"<null>"}));
}

TEST(StringList, SearchExactAndIgnoringCase)
{
   StringList list = ListOf({nullptr, L"Alpha", L"beta", L"alpha"});
   EXPECT_EQ(list.indexOf(L"alpha"), 3);
   EXPECT_EQ(list.indexOfIgnoreCase(L"ALPHA"), 1);
   EXPECT_EQ(list.indexOf(L"ALPHA"), -1);
   EXPECT_EQ(list.indexOf(L""), -1);  // null entries match nothing
   EXPECT_EQ(list.indexOf(nullptr), -1);
   EXPECT_FALSE(list.contains(L"Beta"));
   EXPECT_TRUE(list.containsIgnoreCase(L"Beta"));
}

TEST(StringList, JsonArrayOfUtf8Strings)
{
   wchar_t lone[] = {L'x', static_cast<wchar_t>(0xD800), L'y', 0};
   StringList list = ListOf({L"a", nullptr, L"caf\u00E9", lone});
   json_t *json = list.toJson();
   ASSERT_NE(json, nullptr);
   char *dump = json_dumps(json, JSON_COMPACT | JSON_ENSURE_ASCII);
   EXPECT_STREQ(dump, "[\"a\",\"\",\"caf\\u00E9\",\"x\\uFFFDy\"]");
   free(dump);
   json_decref(json);

   json = StringList().toJson();
   ASSERT_NE(json, nullptr);
   EXPECT_TRUE(json_is_array(json));
   EXPECT_EQ(json_array_size(json), 0u);
   json_decref(json);
}
