/* StringSet and its iterator: membership, insertion order, splitting, joining, the
 * message form and removal while iterating. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> Members(const StringSet &set)
{
   std::vector<std::wstring> members;
   set.forEach(
       [](const wchar_t *member, void *context) {
          static_cast<std::vector<std::wstring> *>(context)->push_back(member);
          return true;
       },
       &members);
   return members;
}

using W = std::vector<std::wstring>;

}  // namespace

TEST(StringSet, MembershipIsExactAndKeepsInsertionOrder)
{
   StringSet set;
   set.add(L"a");
   set.add(L"A");
   set.add(L"a");
   set.add(L"");
   EXPECT_EQ(set.size(), 3);
   EXPECT_TRUE(set.contains(L"a"));
   EXPECT_TRUE(set.contains(L"A"));
   EXPECT_TRUE(set.contains(L""));
   EXPECT_FALSE(set.contains(L"b"));
   EXPECT_FALSE(set.contains(nullptr));
   EXPECT_EQ(Members(set), (W{L"a", L"A", L""}));

   set.remove(L"A");
   set.remove(L"missing");
   EXPECT_EQ(Members(set), (W{L"a", L""}));
   set.clear();
   EXPECT_TRUE(set.isEmpty());
   EXPECT_EQ(set.size(), 0);
}

TEST(StringSet, EveryCharacterOfAMemberCounts)
{
   // Members that differ only in the upper bytes of a wide character, or only in their
   // last characters, are different members.
   StringSet set;
   set.add(L"\x0141");
   set.add(L"\x0241");
   set.add(L"\x10041");
   set.add(L"prefix-long-enough-to-cross-hash-blocks-a");
   set.add(L"prefix-long-enough-to-cross-hash-blocks-b");
   EXPECT_EQ(set.size(), 5);
   EXPECT_FALSE(set.contains(L"\x0041"));
   EXPECT_FALSE(set.contains(L"prefix-long-enough-to-cross-hash-blocks-c"));
   for (const std::wstring &m : Members(set))
      EXPECT_TRUE(set.contains(m.c_str()));
}

TEST(StringSet, ManyMembersAreFoundAndRemoved)
{
   StringSet set;
   for (int i = 0; i < 5000; i++)
      set.add(std::to_wstring(i * 7919).c_str());
   EXPECT_EQ(set.size(), 5000);
   for (int i = 0; i < 5000; i += 2)
      set.remove(std::to_wstring(i * 7919).c_str());
   EXPECT_EQ(set.size(), 2500);
   for (int i = 0; i < 5000; i++)
      EXPECT_EQ(set.contains(std::to_wstring(i * 7919).c_str()), i % 2 == 1) << i;
}

TEST(StringSet, AddPreallocatedTakesOverOrFreesTheBlock)
{
   // Leaks or double frees show under the sanitizers.
   StringSet set;
   set.addPreallocated(qv_wcsdup(L"x"));
   set.addPreallocated(qv_wcsdup(L"x"));
   set.addPreallocated(nullptr);
   EXPECT_EQ(Members(set), (W{L"x"}));

   wchar_t *texts[] = {qv_wcsdup(L"y"), nullptr, qv_wcsdup(L"x"), qv_wcsdup(L"z")};
   set.addAllPreallocated(texts, 4);
   EXPECT_EQ(Members(set), (W{L"x", L"y", L"z"}));

   wchar_t *copies[] = {const_cast<wchar_t *>(L"w"), nullptr, const_cast<wchar_t *>(L"y")};
   set.addAll(copies, 3);
   EXPECT_EQ(Members(set), (W{L"x", L"y", L"z", L"w"}));
}

TEST(StringSet, EqualsIgnoresOrderButNotSize)
{
   StringSet ab, ba, a;
   ab.add(L"a");
   ab.add(L"b");
   ba.add(L"b");
   ba.add(L"a");
   a.add(L"a");
   EXPECT_TRUE(ab.equals(&ba));
   EXPECT_TRUE(ba.equals(&ab));
   EXPECT_FALSE(a.equals(&ab));
   EXPECT_FALSE(ab.equals(&a));
   EXPECT_FALSE(ab.equals(nullptr));
}

TEST(StringSet, SplitAndAddKeepsEmptyPieces)
{
   StringSet set;
   set.splitAndAdd(L"a,b,a", L",");
   EXPECT_EQ(Members(set), (W{L"a", L"b"}));

   StringSet empties;
   empties.splitAndAdd(L"a,,b", L",");
   EXPECT_EQ(Members(empties), (W{L"a", L"", L"b"}));

   StringSet longSeparator;
   longSeparator.splitAndAdd(L"x::y:::z::", L"::");
   EXPECT_EQ(Members(longSeparator), (W{L"x", L"y", L":z", L""}));

   StringSet whole;
   whole.splitAndAdd(L"a,b", L"");
   whole.splitAndAdd(L"c,d", nullptr);
   whole.splitAndAdd(nullptr, L",");
   EXPECT_EQ(Members(whole), (W{L"a,b", L"c,d"}));
}

TEST(StringSet, AddAllOfASetKeepsItsOrder)
{
   StringSet from, to;
   from.add(L"c");
   from.add(L"a");
   to.add(L"a");
   to.addAll(&from);
   to.addAll(&to);
   to.addAll(static_cast<const StringSet *>(nullptr));
   EXPECT_EQ(Members(to), (W{L"a", L"c"}));
}

TEST(StringSet, JoinPutsSeparatorsOnlyAfterText)
{
   StringSet set;
   set.add(L"a");
   set.add(L"b");
   EXPECT_STREQ(set.join(L",").getBuffer(), L"a,b");
   EXPECT_STREQ(set.join(nullptr).getBuffer(), L"ab");
   EXPECT_EQ(set.join(L",").getAllocationStep(), 4096u);

   StringSet leadingEmpty;
   leadingEmpty.add(L"");
   leadingEmpty.add(L"b");
   leadingEmpty.add(L"c");
   EXPECT_STREQ(static_cast<const wchar_t *>(leadingEmpty.join(L",")), L"b,c");
   EXPECT_TRUE(StringSet().join(L",").isEmpty());
}

TEST(StringSet, ForEachStopsAtFalse)
{
   StringSet set;
   set.add(L"a");
   set.add(L"b");
   set.add(L"c");
   int calls = 0;
   set.forEach(
       [](const wchar_t *member, void *context) {
          ++*static_cast<int *>(context);
          return wcscmp(member, L"b") != 0;
       },
       &calls);
   EXPECT_EQ(calls, 2);
}

TEST(StringSet, MessageFormRoundTrip)
{
   StringSet set;
   set.add(L"x");
   set.add(L"y\x10437");
   QVCPMessage msg;
   set.fillMessage(&msg, 10, 9);
   EXPECT_EQ(msg.getFieldType(9), QVCP_FT_INT32);
   EXPECT_EQ(msg.getFieldAsUInt32(9), 2u);
   wchar_t buffer[16];
   EXPECT_STREQ(msg.getFieldAsString(10, buffer, 16), L"x");
   EXPECT_STREQ(msg.getFieldAsString(11, buffer, 16), L"y\x10437");

   StringSet upper;
   upper.add(L"old");
   upper.addAllFromMessage(&msg, 10, 9, true, true);
   EXPECT_EQ(Members(upper), (W{L"X", L"Y\x10437"}));

   StringSet kept;
   kept.add(L"old");
   kept.addAllFromMessage(&msg, 10, 9, false, false);
   EXPECT_EQ(Members(kept), (W{L"old", L"x", L"y\x10437"}));
}

TEST(StringSet, MessageFormSkipsMissingFieldsAndBoundsTheCount)
{
   QVCPMessage msg;
   msg.setField(9, static_cast<uint32_t>(3));
   msg.setField(10, L"a");
   msg.setField(11, static_cast<uint32_t>(5));  // not a STRING: skipped
   msg.setField(12, L"c");
   StringSet set;
   set.addAllFromMessage(&msg, 10, 9, true, false);
   EXPECT_EQ(Members(set), (W{L"a", L"c"}));

   // A count far beyond what the message holds reads what is there and ends.
   QVCPMessage huge;
   huge.setField(9, static_cast<uint32_t>(0x7FFFFFFF));
   huge.setField(10, L"only");
   StringSet bounded;
   bounded.addAllFromMessage(&huge, 10, 9, true, false);
   EXPECT_EQ(Members(bounded), (W{L"only"}));

   QVCPMessage negative;
   negative.setField(9, static_cast<uint32_t>(0xFFFFFFFF));
   negative.setField(10, L"never");
   StringSet none;
   none.addAllFromMessage(&negative, 10, 9, true, false);
   EXPECT_TRUE(none.isEmpty());
}

TEST(StringSetIterator, RemoveAfterEachNextEmptiesTheSet)
{
   StringSet set;
   set.add(L"a");
   set.add(L"b");
   set.add(L"c");
   Iterator<const wchar_t> *it = set.iterator();
   std::vector<std::wstring> seen;
   while (it->hasNext())
   {
      seen.push_back(it->next());
      it->remove();
   }
   delete it;
   EXPECT_EQ(seen, (W{L"a", L"b", L"c"}));
   EXPECT_TRUE(set.isEmpty());
}

TEST(StringSetIterator, SecondRemoveAfterOneNextDoesNothing)
{
   StringSet set;
   set.add(L"a");
   set.add(L"b");
   set.add(L"c");
   StringSetIterator it(&set);
   it.remove();  // before the first next: nothing
   EXPECT_EQ(set.size(), 3);
   EXPECT_STREQ(static_cast<const wchar_t *>(it.next()), L"a");
   EXPECT_STREQ(static_cast<const wchar_t *>(it.next()), L"b");
   it.remove();
   it.remove();
   EXPECT_EQ(Members(set), (W{L"a", L"c"}));
   EXPECT_TRUE(it.hasNext());
   EXPECT_STREQ(static_cast<const wchar_t *>(it.next()), L"c");
   EXPECT_FALSE(it.hasNext());
   EXPECT_EQ(it.next(), nullptr);

   StringSet empty;
   StringSetIterator none(&empty);
   EXPECT_FALSE(none.hasNext());
   EXPECT_EQ(none.next(), nullptr);
   none.remove();
}
