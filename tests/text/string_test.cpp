#include <qorvel.h>

#include <gtest/gtest.h>

#include <locale.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <string>

namespace {

std::wstring Text(const String &s)
{
   return std::wstring(s.getBuffer() != nullptr ? s.getBuffer() : L"", s.length());
}

/* A String holding exactly count characters of text, zeros included. */
String Chars(const wchar_t *text, size_t count)
{
   String s;
   s.append(text, count);
   return s;
}

wchar_t *HeapText(const wchar_t *text)
{
   return qv_wcsdup(text);
}

}  // namespace

TEST(String, DefaultHasNoBufferAndEditsChangeNothing)
{
   String s;
   EXPECT_EQ(s.getBuffer(), nullptr);
   EXPECT_STREQ(static_cast<const wchar_t *>(s), L"");
   EXPECT_TRUE(s.isEmpty());
   EXPECT_EQ(s.length(), 0u);
   EXPECT_EQ(s.capacity(), 0u);
   EXPECT_EQ(s.getAllocationStep(), 256u);
   EXPECT_EQ(s.charAt(0), 0);
   EXPECT_EQ(s.find(L""), String::npos);
   s.clear();
   s.trim();
   s.shrink(3);
   s.escapeCharacter('"', '\\');
   s.replace(L"a", L"b");
   s.toUppercase();
   EXPECT_EQ(s.getBuffer(), nullptr);
   EXPECT_EQ(s.capacity(), 0u);
   EXPECT_EQ(String::npos, -1);
}

TEST(String, AssignmentAndCopies)
{
   String nullAssigned;
   nullAssigned = static_cast<const wchar_t *>(nullptr);
   ASSERT_NE(nullAssigned.getBuffer(), nullptr);
   EXPECT_TRUE(nullAssigned.isEmpty());
   EXPECT_EQ(nullAssigned.capacity(), 1u);

   // Copies of an empty string have no buffer, whether the source had one or not.
   String copyOfEmpty(nullAssigned);
   EXPECT_EQ(copyOfEmpty.getBuffer(), nullptr);
   String assigned(L"old");
   assigned = nullAssigned;
   EXPECT_EQ(assigned.getBuffer(), nullptr);
   EXPECT_TRUE(assigned.isEmpty());
   copyOfEmpty.append(L'x');
   EXPECT_EQ(Text(copyOfEmpty), L"x");

   // A copy allocates exactly length + 1 and takes the allocation step along.
   String src(L"hello");
   src.setAllocationStep(1000);
   src.append(L" world");
   EXPECT_EQ(src.capacity(), 6u + 1000u);
   String copy(src);
   EXPECT_EQ(Text(copy), L"hello world");
   EXPECT_EQ(copy.capacity(), 12u);
   EXPECT_EQ(copy.getAllocationStep(), 1000u);
   EXPECT_NE(copy.getBuffer(), src.getBuffer());
   String target(L"x");
   target = src;
   EXPECT_EQ(target.getAllocationStep(), 1000u);
   EXPECT_EQ(target.capacity(), 12u);

   // Assigning a wide text keeps the step; assigning a string to itself changes nothing.
   target = L"abc";
   EXPECT_EQ(Text(target), L"abc");
   EXPECT_EQ(target.getAllocationStep(), 1000u);
   const wchar_t *before = target.getBuffer();
   target = *&target;
   EXPECT_EQ(target.getBuffer(), before);
   EXPECT_EQ(Text(target), L"abc");

   // The constructor from a null text gives the empty text with a buffer.
   String fromNull(static_cast<const wchar_t *>(nullptr));
   EXPECT_NE(fromNull.getBuffer(), nullptr);
   EXPECT_TRUE(fromNull.isEmpty());

   // Moves hand the buffer over and leave an empty string without one.
   String moved(static_cast<String &&>(copy));
   EXPECT_EQ(Text(moved), L"hello world");
   EXPECT_EQ(copy.getBuffer(), nullptr);
   EXPECT_EQ(copy.length(), 0u);
   copy = static_cast<String &&>(moved);
   EXPECT_EQ(Text(copy), L"hello world");
   EXPECT_EQ(moved.getBuffer(), nullptr);
}

TEST(String, GrowthIsLinearByStepWithPerOperationMinimums)
{
   String one;
   one.append(L'a');
   EXPECT_EQ(one.capacity(), 256u);

   std::wstring long300(300, L'x');
   String big;
   big.append(long300.c_str());
   EXPECT_EQ(big.capacity(), 301u);
   EXPECT_EQ(big.length(), 300u);

   // No doubling: 255 characters fit in 256, the next one adds one step.
   String linear;
   for (int i = 0; i < 255; i++)
      linear.append(L'y');
   EXPECT_EQ(linear.capacity(), 256u);
   linear.append(L'y');
   EXPECT_EQ(linear.capacity(), 512u);
   for (int i = 0; i < 256; i++)
      linear.append(L"z", 1);
   EXPECT_EQ(linear.capacity(), 768u);

   String zero;
   zero.append(L"abc", 0);
   EXPECT_EQ(zero.getBuffer(), nullptr);
   EXPECT_EQ(zero.capacity(), 0u);

   // With step 0 each operation grows by exactly its minimum.
   String exact;
   exact.setAllocationStep(0);
   exact.append(L'a');
   EXPECT_EQ(exact.capacity(), 2u);
   exact.append(L"bcd");
   EXPECT_EQ(exact.capacity(), 2u + 4u);
   exact += L"ef";
   EXPECT_EQ(exact.capacity(), 6u + 3u);
   String other(L"ghij");
   exact += other;
   EXPECT_EQ(exact.capacity(), 9u + 5u);
   exact.append(static_cast<int32_t>(-12));
   EXPECT_EQ(exact.capacity(), 14u);
   exact.append(static_cast<uint64_t>(12345));
   EXPECT_EQ(exact.capacity(), 14u + 6u);
   EXPECT_EQ(Text(exact), L"abcdefghij-1212345");

   // A raised step is used as it stands.
   String stepped;
   stepped.setAllocationStep(4096);
   stepped.append(L"12345678");
   EXPECT_EQ(stepped.capacity(), 4096u);
}

TEST(String, EmbeddedZerosCountedByLengthStopTheTerminatorOperations)
{
   const wchar_t abzc[] = {L'a', L'b', 0, L'c'};
   String s = Chars(abzc, 4);
   EXPECT_EQ(s.length(), 4u);
   EXPECT_TRUE(s.equals(Chars(abzc, 4)));
   EXPECT_FALSE(s.equals(Chars(abzc, 3)));
   EXPECT_FALSE(s == Chars(L"ab?c", 4));
   EXPECT_TRUE(s != Chars(L"ab?c", 4));
   EXPECT_TRUE(s.equals(L"ab"));
   EXPECT_FALSE(s.equals(L"abc"));
   EXPECT_EQ(s.find(L"c"), String::npos);
   EXPECT_TRUE(s.endsWith(L"c"));
   EXPECT_TRUE(s.startsWith(Chars(abzc, 3)));

   // += with a String takes all its characters, + only those before the first zero.
   String plusEq(L"x");
   plusEq += s;
   EXPECT_EQ(plusEq.length(), 5u);
   String plus = String(L"x") + s;
   EXPECT_EQ(Text(plus), L"xab");

   EXPECT_EQ(Text(s.substring(1, -1)), std::wstring(abzc + 1, 3));
   s.toUppercase();
   EXPECT_EQ(Text(s), std::wstring(L"AB\0C", 4));
   s.trim();
   EXPECT_EQ(Text(s), L"AB");
}

TEST(String, NumberFormattedAndPreallocatedAppends)
{
   String s;
   s.append(static_cast<int32_t>(INT32_MIN));
   s.append(L' ');
   s.append(static_cast<uint32_t>(UINT32_MAX));
   s.append(L' ');
   s.append(static_cast<int64_t>(INT64_MIN));
   s.append(L' ');
   s.append(static_cast<uint64_t>(UINT64_MAX));
   s.append(L' ');
   s.append(static_cast<int32_t>(0));
   EXPECT_EQ(Text(s), L"-2147483648 4294967295 -9223372036854775808 18446744073709551615 0");

   String f(L"<");
   f.appendFormattedString(L"%s=%d %hs %I64d", L"key", 42, "narrow", static_cast<int64_t>(-5));
   EXPECT_EQ(Text(f), L"<key=42 narrow -5");
   f.appendFormattedString(L"%n");
   f.appendFormattedString(nullptr);
   EXPECT_EQ(Text(f), L"<key=42 narrow -5");
   std::wstring wide(1000, L'w');
   f.appendFormattedString(L"[%s]", wide.c_str());
   EXPECT_EQ(f.length(), 17u + 1002u);
   EXPECT_EQ(Text(f).substr(17), L"[" + wide + L"]");

   String p(L"a");
   p.appendPreallocated(HeapText(L"bc"));
   p.appendPreallocated(nullptr);
   EXPECT_EQ(Text(p), L"abc");
}

TEST(String, ReplaceScansLeftToRightWithoutRescanningInsertions)
{
   struct Case
   {
      const wchar_t *text, *from, *to, *expected;
   };
   const Case cases[] = {
       {L"aaaa", L"aa", L"a", L"aa"},
       {L"aaa", L"a", L"aa", L"aaaaaa"},
       {L"abcabcab", L"abc", L"xyz", L"xyzxyzab"},
       {L"--a--b--", L"--", L"", L"ab"},
       {L"aaa", L"aa", L"b", L"ba"},
       {L"hello", L"xyz", L"abc", L"hello"},
       {L"hello", L"hello world", L"x", L"hello"},
       {L"hello", L"hello", L"", L""},
   };
   for (const Case &c : cases)
   {
      String s(c.text);
      s.replace(c.from, c.to);
      EXPECT_EQ(Text(s), c.expected) << c.text << " " << c.from << " " << c.to;
   }

   // An empty (or null) search text leaves the string alone instead of never ending.
   String empty(L"abc");
   empty.replace(L"", L"x");
   empty.replace(nullptr, L"x");
   empty.replace(L"b", nullptr);
   EXPECT_EQ(Text(empty), L"abc");

   // Growth follows the rule once per replacement: t - f more characters each time.
   String stepZero(L"aaa");
   stepZero.setAllocationStep(0);
   stepZero.replace(L"a", L"aa");
   EXPECT_EQ(stepZero.capacity(), 7u);
   String stepDefault(L"aaa");
   stepDefault.replace(L"a", L"aa");
   EXPECT_EQ(stepDefault.capacity(), 4u + 256u);

   // Matches may span past an embedded zero only where the pattern does; text after it stays.
   String z = Chars(L"ab\0ab", 5);
   z.replace(L"ab", L"xyz");
   EXPECT_EQ(Text(z), std::wstring(L"xyz\0xyz", 7));
}

TEST(String, EscapeInsertsInFrontOfEveryOccurrence)
{
   String quotes(L"say \"hi\" now");
   quotes.escapeCharacter('"', '\\');
   EXPECT_EQ(Text(quotes), L"say \\\"hi\\\" now");

   String backslashes(L"a\\b\\\\c");
   backslashes.escapeCharacter('\\', '\\');
   EXPECT_EQ(Text(backslashes), L"a\\\\b\\\\\\\\c");

   String untouched(L"plain");
   const wchar_t *before = untouched.getBuffer();
   untouched.escapeCharacter('"', '\\');
   EXPECT_EQ(untouched.getBuffer(), before);
   EXPECT_EQ(untouched.capacity(), 6u);

   String grown(L"\"x\"");
   grown.setAllocationStep(0);
   grown.escapeCharacter('"', '\\');
   EXPECT_EQ(grown.capacity(), 4u + 2u);
   EXPECT_EQ(Text(grown), L"\\\"x\\\"");

   // Only the text before the first zero is examined; what follows it is kept as it was.
   String z = Chars(L"a\"b\0x\"", 6);
   z.escapeCharacter('"', '\\');
   EXPECT_EQ(Text(z), std::wstring(L"a\\\"b\0x\"", 7));
}

TEST(String, TrimShrinkClearAndCase)
{
   String t(L" \t\n text  here \r\n");
   t.trim();
   EXPECT_EQ(Text(t), L"text  here");
   String blank(L" \t ");
   blank.trim();
   EXPECT_EQ(Text(blank), L"");
   EXPECT_NE(blank.getBuffer(), nullptr);

   String abc(L"abc");
   abc.shrink(1);
   EXPECT_EQ(Text(abc), L"ab");
   abc.shrink(10);
   EXPECT_TRUE(abc.isEmpty());
   ASSERT_NE(abc.getBuffer(), nullptr);
   EXPECT_EQ(abc.getBuffer()[0], 0);

   String c(L"keep");
   c.setAllocationStep(0);
   c.append(L"ing");
   size_t capacity = c.capacity();
   const wchar_t *buffer = c.getBuffer();
   c.clear();
   EXPECT_TRUE(c.isEmpty());
   EXPECT_EQ(c.getBuffer(), buffer);
   EXPECT_EQ(c.capacity(), capacity);
   EXPECT_STREQ(static_cast<const wchar_t *>(c), L"");

   String mixed(L"MiXeD 1");
   mixed.toUppercase();
   EXPECT_EQ(Text(mixed), L"MIXED 1");
   mixed.toLowercase();
   EXPECT_EQ(Text(mixed), L"mixed 1");

   // Beyond ASCII the mapping is the C library's for the current character type locale.
   std::string saved = setlocale(LC_CTYPE, nullptr);
   if (setlocale(LC_CTYPE, "C.UTF-8") != nullptr)
   {
      String umlauts(L"\x00C4\x00E4");
      umlauts.toUppercase();
      EXPECT_EQ(Text(umlauts), L"\x00C4\x00C4");
      umlauts.toLowercase();
      EXPECT_EQ(Text(umlauts), L"\x00E4\x00E4");
      setlocale(LC_CTYPE, saved.c_str());
   }
}

TEST(String, SetBufferTakesOverHeapBlocks)
{
   String s(L"old");
   s.setAllocationStep(77);
   s.setBuffer(HeapText(L"new text"));
   EXPECT_EQ(Text(s), L"new text");
   EXPECT_EQ(s.capacity(), 9u);
   EXPECT_EQ(s.getAllocationStep(), 77u);
   s.append(L'!');
   EXPECT_EQ(Text(s), L"new text!");

   s.setBuffer(nullptr);
   EXPECT_EQ(s.getBuffer(), nullptr);
   EXPECT_EQ(s.length(), 0u);
   EXPECT_EQ(s.capacity(), 0u);
}

TEST(String, ComparisonsCompareLengthsFirst)
{
   String a(L"abc");
   String empty;
   String emptyWithBuffer(L"");
   EXPECT_TRUE(empty == emptyWithBuffer);
   EXPECT_TRUE(a == String(L"abc"));
   EXPECT_TRUE(a != String(L"abd"));
   EXPECT_TRUE(a.equals(L"abc"));
   EXPECT_FALSE(a.equals(L"abcd"));
   EXPECT_FALSE(a.equals(static_cast<const wchar_t *>(nullptr)));
   EXPECT_TRUE(empty.equals(L""));

   EXPECT_TRUE(a.startsWith(L"ab"));
   EXPECT_TRUE(a.startsWith(L""));
   EXPECT_TRUE(a.startsWith(String()));
   EXPECT_FALSE(a.startsWith(L"abcd"));
   EXPECT_FALSE(a.startsWith(L"b"));
   EXPECT_FALSE(a.startsWith(static_cast<const wchar_t *>(nullptr)));
   EXPECT_TRUE(a.endsWith(L"bc"));
   EXPECT_TRUE(a.endsWith(String(L"abc")));
   EXPECT_TRUE(a.endsWith(L""));
   EXPECT_FALSE(a.endsWith(String(L"xabc")));
   EXPECT_FALSE(a.endsWith(L"b"));
   EXPECT_FALSE(a.endsWith(static_cast<const wchar_t *>(nullptr)));
   EXPECT_TRUE(empty.startsWith(L""));
   EXPECT_FALSE(empty.endsWith(L"a"));
}

TEST(String, FindAndSubstrings)
{
   String h(L"hello");
   EXPECT_EQ(h.find(L"lo", 3), 3);
   EXPECT_EQ(h.find(L"lo", 4), String::npos);
   EXPECT_EQ(h.find(L"l"), 2);
   EXPECT_EQ(h.find(L"", 2), 2);
   EXPECT_EQ(h.find(L"", 5), String::npos);
   EXPECT_EQ(h.find(L"hello!"), String::npos);
   EXPECT_EQ(h.find(nullptr), String::npos);

   EXPECT_EQ(Text(h.substring(2, -1)), L"llo");
   EXPECT_EQ(Text(h.substring(5, 3)), L"");
   EXPECT_EQ(Text(h.substring(1, 3)), L"ell");
   EXPECT_EQ(Text(h.substring(1, 100)), L"ello");
   EXPECT_EQ(Text(h.substring(0, 0)), L"");
   EXPECT_EQ(h.substring(1, 2).getAllocationStep(), 256u);

   wchar_t out[8];
   EXPECT_EQ(h.substring(1, 2, out), out);
   EXPECT_STREQ(out, L"el");
   wchar_t *block = h.substring(3, -1, nullptr);
   EXPECT_STREQ(block, L"lo");
   free(block);
   block = h.substring(9, 1, nullptr);
   EXPECT_STREQ(block, L"");
   free(block);

   String abc(L"abc");
   EXPECT_EQ(Text(abc.left(10)), L"abc");
   EXPECT_EQ(Text(abc.left(1)), L"a");
   EXPECT_EQ(Text(abc.right(2)), L"bc");
   EXPECT_EQ(Text(abc.right(5)), L"abc");
   EXPECT_EQ(Text(abc.right(0)), L"");
   // Counts that do not fit 32 bits still mean "at most that many", not their low bits.
   EXPECT_EQ(Text(abc.left(static_cast<size_t>(1) << 32)), L"abc");
   EXPECT_EQ(Text(abc.right((static_cast<size_t>(1) << 32) + 1)), L"abc");
}

TEST(String, OperatorsPlus)
{
   String a(L"ab");
   a.setAllocationStep(9);
   String sum = a + String(L"cd");
   EXPECT_EQ(Text(sum), L"abcd");
   EXPECT_EQ(sum.getAllocationStep(), 9u);
   EXPECT_EQ(Text(a + L"x"), L"abx");
   EXPECT_EQ(Text(a + static_cast<const wchar_t *>(nullptr)), L"ab");
   EXPECT_EQ(Text(a + String()), L"ab");
   EXPECT_EQ(Text(a), L"ab");
   a += static_cast<const wchar_t *>(nullptr);
   a += String();
   a.append(static_cast<const wchar_t *>(nullptr));
   EXPECT_EQ(Text(a), L"ab");
}

TEST(String, OwnTextAsArgumentActsOnACopy)
{
   // Each case grows the buffer, so a stale pointer into the old block would be caught.
   String assign(L"hello");
   assign = static_cast<const wchar_t *>(assign);
   EXPECT_EQ(Text(assign), L"hello");
   assign = assign.getBuffer() + 2;
   EXPECT_EQ(Text(assign), L"llo");

   String keep(L"hello");
   keep.setBuffer(keep.getBuffer());
   EXPECT_EQ(Text(keep), L"hello");
   keep.setBuffer(keep.getBuffer() + 3);
   EXPECT_EQ(Text(keep), L"lo");
   keep.append(L"!");
   EXPECT_EQ(Text(keep), L"lo!");

   String twice(L"hello");
   twice.append(twice.getBuffer());
   EXPECT_EQ(Text(twice), L"hellohello");

   String plusEq(L"hello");
   plusEq += static_cast<const wchar_t *>(plusEq);
   EXPECT_EQ(Text(plusEq), L"hellohello");
   String plusEqString(L"ab");
   plusEqString += plusEqString;
   EXPECT_EQ(Text(plusEqString), L"abab");

   String tail(L"hello");
   tail.append(tail.getBuffer() + 1, 4);
   EXPECT_EQ(Text(tail), L"helloello");
   String withTerminator(L"hello");
   withTerminator.append(withTerminator.getBuffer() + 1, 5);
   EXPECT_EQ(Text(withTerminator), std::wstring(L"helloello\0", 10));
   String beyond(L"hello");
   beyond.append(beyond.getBuffer() + 1, 1000);
   EXPECT_EQ(Text(beyond), std::wstring(L"helloello\0", 10));

   String grows(L"ab-ab");
   grows.replace(grows.getBuffer() + 3, grows.getBuffer());
   EXPECT_EQ(Text(grows), L"ab-ab-ab-ab");
   String shrinks(L"aXbaXb");
   shrinks.replace(shrinks.getBuffer() + 3, shrinks.getBuffer() + 5);
   EXPECT_EQ(Text(shrinks), L"bb");

   String pre(L"abc");
   pre.appendPreallocated(pre.getBuffer());
   EXPECT_EQ(Text(pre), L"abcabc");

   String found(L"abcabc");
   EXPECT_EQ(found.find(found.getBuffer() + 3, 1), 3);
   EXPECT_TRUE(found.endsWith(found.getBuffer() + 3));
}

TEST(String, SizesThatWouldOverflowLeaveTheStringAlone)
{
   // The counts are hidden from the compiler, which would rightly warn that they reach
   // past the one-character text.
   String s(L"abc");
   for (volatile size_t huge : {SIZE_MAX, SIZE_MAX / sizeof(wchar_t), SIZE_MAX / sizeof(wchar_t) + 1,
                                static_cast<size_t>(PTRDIFF_MAX) / sizeof(wchar_t)})
      s.append(L"x", huge);
   EXPECT_EQ(Text(s), L"abc");
   EXPECT_EQ(s.capacity(), 4u);
   s.appendMBString("x", SIZE_MAX, 65001);
   EXPECT_EQ(Text(s), L"abc");

   // A step that cannot be added to the capacity gives way to the operation's minimum.
   s.setAllocationStep(SIZE_MAX);
   s.append(L"de");
   EXPECT_EQ(Text(s), L"abcde");
   EXPECT_EQ(s.capacity(), 4u + 3u);
   s.append(L'f');
   EXPECT_EQ(s.capacity(), 7u);
   s.append(L'g');
   EXPECT_EQ(s.capacity(), 7u + 2u);
   s.replace(L"a", L"aaaa");
   EXPECT_EQ(Text(s), L"aaaabcdefg");
   EXPECT_EQ(s.capacity(), 9u + 3u);

   EXPECT_EQ(Text(s.substring(SIZE_MAX, 5)), L"");
   EXPECT_EQ(s.find(L"a", SIZE_MAX), String::npos);
   EXPECT_EQ(s.charAt(SIZE_MAX), 0);
}

TEST(String, Utf8AndMultibyteText)
{
   String empty;
   char *u = empty.getUTF8String();
   ASSERT_NE(u, nullptr);
   EXPECT_STREQ(u, "");
   free(u);

   String s(L"Gr\x00FC\x00DF"
            L"e \x20AC");
   u = s.getUTF8String();
   ASSERT_NE(u, nullptr);
   EXPECT_STREQ(u, "Gr\xC3\xBC\xC3\x9F"
                   "e \xE2\x82\xAC");
   free(u);

   String m(L">");
   m.setAllocationStep(0);
   const char utf8[] = "\xC3\xBC\xE2\x82\xAC!";
   m.appendMBString(utf8, strlen(utf8), 65001);
   EXPECT_EQ(Text(m), L">\x00FC\x20AC!");
   EXPECT_EQ(m.capacity(), 2u + strlen(utf8) + 1u);
   m.appendMBString("ab", 3, 65001);
   EXPECT_EQ(Text(m), std::wstring(L">\x00FC\x20AC!ab\0", 7));
   m.appendMBString(nullptr, 3, 65001);
   m.appendMBString("ab", 0, 65001);
   EXPECT_EQ(m.length(), 7u);

   String latin(L"<");
   latin.appendMBString("\xE4\xFC", 2, 28591);
   latin.appendMBString("\x80", 1, 1252);
   EXPECT_EQ(Text(latin), L"<\x00E4\x00FC\x20AC");
   // A code page that cannot be used appends nothing and keeps the text terminated.
   latin.appendMBString("abc", 3, 12345);
   EXPECT_EQ(Text(latin), L"<\x00E4\x00FC\x20AC");
   EXPECT_EQ(latin.getBuffer()[latin.length()], 0);

   String fresh;
   fresh.appendMBString("plain", 5, 0);
   EXPECT_EQ(Text(fresh), L"plain");
   EXPECT_EQ(fresh.capacity(), 256u);

   // Bytes taken from the string's own buffer are read before the output overwrites them.
   String own(L"x");
   own.setAllocationStep(0);
   const char *bytes = reinterpret_cast<const char *>(own.getBuffer());
   own.appendMBString(bytes, 1, 65001);
   EXPECT_EQ(Text(own), L"xx");
}
