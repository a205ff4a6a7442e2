#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>
#include <string>
#include <vector>

namespace {

typedef std::vector<UCS2CHAR> U16;
typedef std::vector<UCS4CHAR> U32;

/* Value written into destinations before a call, to see which units the call touched. */
constexpr UCS4CHAR UNTOUCHED = 0xAAAAAAAA;
constexpr char UNTOUCHED_BYTE = '#';

template <typename T> std::vector<T> Fresh(size_t n)
{
   return std::vector<T>(n, static_cast<T>(UNTOUCHED));
}

std::string Fresh8(size_t n)
{
   return std::string(n, UNTOUCHED_BYTE);
}

template <typename T> std::vector<T> Head(const std::vector<T> &v, int n)
{
   return std::vector<T>(v.begin(), v.begin() + n);
}

/* A text mixing ASCII runs of every length from 0 to 17 with 2-, 3- and 4-byte characters,
 * so that the eight-unit ASCII path meets every alignment and every kind of boundary. */
std::wstring MixedWide()
{
   static const wchar_t others[] = {0xE9, 0x20AC, 0x1F600, 0x4E2D, 0x7FF, 0x10FFFF};
   std::wstring text;
   for (int run = 0; run <= 17; run++)
   {
      for (int i = 0; i < run; i++)
         text += static_cast<wchar_t>('a' + (i + run) % 26);
      text += others[run % 6];
   }
   return text;
}

}  // namespace

TEST(Convert, Ucs2ToUcs4CombinesPairsAndDropsUnpairedSurrogates)
{
   U32 out = Fresh<UCS4CHAR>(8);
   const UCS2CHAR pair[] = {0xD83D, 0xDE00};
   EXPECT_EQ(ucs2_to_ucs4(pair, 2, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0x1F600u);

   const UCS2CHAR highThenA[] = {0xD83D, 0x0041};
   EXPECT_EQ(ucs2_to_ucs4(highThenA, 2, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0x41u);

   const UCS2CHAR lowAlone[] = {0xDE00};
   out = Fresh<UCS4CHAR>(8);
   EXPECT_EQ(ucs2_to_ucs4(lowAlone, 1, out.data(), 8), 0);
   EXPECT_EQ(out[0], UNTOUCHED);

   // A high surrogate before another high one is dropped; the second pairs normally.
   const UCS2CHAR twoHighs[] = {0xD83D, 0xD83D, 0xDE00, 0x42, 0xDBFF};
   EXPECT_EQ(ucs2_to_ucs4(twoHighs, 5, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 2), (U32{0x1F600, 0x42}));

   // The same rules reach the wide form.
   wchar_t wide[4];
   const UCS2CHAR limits[] = {0xDBFF, 0xDFFF, 0xD800, 0xDC00, 0};
   EXPECT_EQ(ucs2_to_wchar(limits, -1, wide, 4), 2);
   EXPECT_EQ(wide[0], 0x10FFFF);
   EXPECT_EQ(wide[1], 0x10000);
   EXPECT_EQ(wide[2], 0);
}

TEST(Convert, Ucs4ToUcs2WritesPairsWholeOrNotAtAll)
{
   U16 out = Fresh<UCS2CHAR>(4);
   const UCS4CHAR smiley[] = {0x1F600};
   EXPECT_EQ(ucs4_to_ucs2(smiley, 1, out.data(), 1), 0);
   EXPECT_EQ(out[0], static_cast<UCS2CHAR>(UNTOUCHED));
   EXPECT_EQ(ucs4_to_ucs2(smiley, 1, out.data(), 2), 2);
   EXPECT_EQ(Head(out, 2), (U16{0xD83D, 0xDE00}));

   // Surrogate code points pass unchanged, values above 0x10FFFF are dropped, and a
   // pair that does not fit stops the conversion even though later units would fit.
   const UCS4CHAR mix[] = {0xD800, 0x110000, 0xFFFFFFFF, 0x10FFFF, 0x41};
   out = Fresh<UCS2CHAR>(4);
   EXPECT_EQ(ucs4_to_ucs2(mix, 5, out.data(), 4), 4);
   EXPECT_EQ(out, (U16{0xD800, 0xDBFF, 0xDFFF, 0x41}));
   out = Fresh<UCS2CHAR>(4);
   EXPECT_EQ(ucs4_to_ucs2(mix, 5, out.data(), 2), 1);
   EXPECT_EQ(out[1], static_cast<UCS2CHAR>(UNTOUCHED));

   const wchar_t negative[] = {-1, L'x', 0};
   EXPECT_EQ(wchar_to_ucs2(negative, -1, out.data(), 4), 1);
   EXPECT_EQ(Head(out, 2), (U16{'x', 0}));
}

TEST(Convert, Ucs2ToUtf8EncodesAndTruncatesAtCharacters)
{
   std::string out = Fresh8(8);
   const UCS2CHAR euro[] = {0x20AC};
   EXPECT_EQ(ucs2_to_utf8(euro, 1, &out[0], 8), 3);
   EXPECT_EQ(out.substr(0, 4), "\xE2\x82\xAC#");

   out = Fresh8(8);
   EXPECT_EQ(ucs2_to_utf8(euro, 1, &out[0], 2), 0);
   EXPECT_EQ(out, Fresh8(8));

   const UCS2CHAR two[] = {'h', 'i', 0};
   EXPECT_EQ(ucs2_to_utf8(two, -1, &out[0], 2), 1);
   EXPECT_EQ(out.substr(0, 3), std::string("h\0#", 3));

   // Unpaired surrogates of both kinds vanish; a pair becomes four bytes.
   const UCS2CHAR mixed[] = {0xDC00, 'a', 0xD83D, 0xDE00, 0xD800, 'b', 0xD800};
   out = Fresh8(8);
   EXPECT_EQ(ucs2_to_utf8(mixed, 7, &out[0], 8), 6);
   EXPECT_EQ(out.substr(0, 7), "a\xF0\x9F\x98\x80" "b#");
}

TEST(Convert, TerminatorReplacesTheWholeLastCharacter)
{
   // The terminator takes the place of the last character when the output fills the
   // destination, never of one unit inside a sequence.
   const UCS2CHAR aEuro[] = {'a', 0x20AC, 0};
   std::string out = Fresh8(8);
   EXPECT_EQ(ucs2_to_utf8(aEuro, -1, &out[0], 4), 1);
   EXPECT_EQ(out.substr(0, 3), std::string("a\0#", 3));
   EXPECT_EQ(ucs2_to_utf8(aEuro, -1, &out[0], 5), 4);
   EXPECT_EQ(out.substr(0, 6), std::string("a\xE2\x82\xAC\0#", 6));

   const UCS4CHAR aSmiley[] = {'a', 0x1F600, 0};
   U16 units = Fresh<UCS2CHAR>(4);
   EXPECT_EQ(ucs4_to_ucs2(aSmiley, -1, units.data(), 3), 1);
   EXPECT_EQ(Head(units, 3), (U16{'a', 0, static_cast<UCS2CHAR>(UNTOUCHED)}));

   units = Fresh<UCS2CHAR>(4);
   EXPECT_EQ(utf8_to_ucs2("A\xF0\x9F\x98\x80", -1, units.data(), 3), 1);
   EXPECT_EQ(Head(units, 2), (U16{'A', 0}));

   // A single unit of room holds only the terminator; an empty source gives "".
   U32 cps = Fresh<UCS4CHAR>(2);
   EXPECT_EQ(utf8_to_ucs4("xyz", -1, cps.data(), 1), 0);
   EXPECT_EQ(cps[0], 0u);
   cps = Fresh<UCS4CHAR>(2);
   EXPECT_EQ(utf8_to_ucs4("", -1, cps.data(), 2), 0);
   EXPECT_EQ(Head(cps, 2), (U32{0, UNTOUCHED}));
}

TEST(Convert, Utf8DecodingRules)
{
   U16 out = Fresh<UCS2CHAR>(8);
   EXPECT_EQ(utf8_to_ucs2("\xC3\xA9", 2, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0xE9);
   EXPECT_EQ(utf8_to_ucs2("\xC3", 1, out.data(), 8), 1);
   EXPECT_EQ(out[0], '?');
   EXPECT_EQ(utf8_to_ucs2("\x80\x41", 2, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 2), (U16{'?', 'A'}));

   // A sequence cut off by the end of the source gives one '?' per byte, and so does a
   // lead byte of 0xF8 or above. Continuation bytes are not checked, overlong forms pass.
   EXPECT_EQ(utf8_to_ucs2("\xE2\x82", 2, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 2), (U16{'?', '?'}));
   EXPECT_EQ(utf8_to_ucs2("\xF8\xFF", 2, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 2), (U16{'?', '?'}));
   EXPECT_EQ(utf8_to_ucs2("\xC3\x41\xC0\x80", 4, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 2), (U16{0xC1, 0}));

   // With -1 the terminator ends the source, so a lead byte before it is cut off.
   EXPECT_EQ(utf8_to_ucs2("a\xE2", -1, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 3), (U16{'a', '?', 0}));

   // Values above 0x10FFFF: kept in UCS-4, dropped in UTF-16.
   U32 cps = Fresh<UCS4CHAR>(4);
   EXPECT_EQ(utf8_to_ucs4("\xF4\x90\x80\x80\xF7\xBF\xBF\xBF", 8, cps.data(), 4), 2);
   EXPECT_EQ(Head(cps, 2), (U32{0x110000, 0x1FFFFF}));
   wchar_t wide[2];
   EXPECT_EQ(utf8_to_wchar("\xF4\x90\x80\x80", 4, wide, 2), 1);
   EXPECT_EQ(wide[0], 0x110000);
   EXPECT_EQ(utf8_to_ucs2("\xF4\x90\x80\x80Z", 5, out.data(), 8), 1);
   EXPECT_EQ(out[0], 'Z');

   // A pair that does not fit stops the conversion.
   EXPECT_EQ(utf8_to_ucs2("\xF0\x9F\x98\x80Z", 5, out.data(), 1), 0);
}

TEST(Convert, Ucs4ToUtf8EncodesEveryRangeAndDropsOutOfRange)
{
   const UCS4CHAR cps[] = {0x7F, 0x80, 0x7FF, 0x800, 0xD800, 0xFFFF, 0x10000, 0x10FFFF, 0x110000, 0};
   std::string out = Fresh8(32);
   EXPECT_EQ(ucs4_to_utf8(cps, -1, &out[0], 32), 1 + 2 + 2 + 3 + 3 + 3 + 4 + 4);
   EXPECT_EQ(out.substr(0, 23), std::string("\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\xA0\x80\xEF\xBF\xBF"
                                            "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\0", 23));
   EXPECT_EQ(ucs4_utf8len(cps, -1), 23);
   EXPECT_EQ(wchar_utf8len(L"\x7F\x80", -1), 4);
}

TEST(Convert, LengthFunctionsCountOutputPlusTerminator)
{
   EXPECT_EQ(utf8_ucs2len("abc", -1), 4);
   EXPECT_EQ(utf8_ucs4len("abc", -1), 4);
   EXPECT_EQ(utf8_wcharlen("a\xC3\xA9\xF0\x9F\x98\x80", -1), 4);
   EXPECT_EQ(utf8_ucs2len("a\xC3\xA9\xF0\x9F\x98\x80", -1), 5);
   // Values above 0x10FFFF count two UTF-16 units although the converter drops them.
   EXPECT_EQ(utf8_ucs2len("\xF4\x90\x80\x80", 4), 3);
   EXPECT_EQ(utf8_ucs4len("abc", 2), 3);
   EXPECT_EQ(utf8_ucs4len(nullptr, -1), 1);

   const UCS2CHAR units[] = {'a', 0xD83D, 0xDE00, 0xDC00, 0x20AC, 0xD800, 0};
   EXPECT_EQ(ucs2_utf8len(units, -1), 1 + 4 + 3 + 1);
   EXPECT_EQ(ucs2_utf8len(units, 2), 2);
   EXPECT_EQ(ucs2_wcharlen(units, -1), 4);

   const UCS4CHAR cps[] = {'a', 0xFFFF, 0x10000, 0x110000, 0};
   EXPECT_EQ(ucs4_ucs2len(cps, -1), 1 + 1 + 2 + 2 + 1);
   EXPECT_EQ(wchar_ucs2len(L"a\x1F600", -1), 4);
}

TEST(Convert, NoDestinationRoomWritesNothing)
{
   const UCS2CHAR u16[] = {'a', 0};
   const UCS4CHAR u32[] = {'a', 0};
   for (int dstLen : {0, -1, -100})
   {
      U16 d16 = Fresh<UCS2CHAR>(2);
      U32 d32 = Fresh<UCS4CHAR>(2);
      std::string d8 = Fresh8(2);
      std::vector<wchar_t> dw = Fresh<wchar_t>(2);
      for (int srcLen : {-1, 1})
      {
         EXPECT_EQ(ucs2_to_ucs4(u16, srcLen, d32.data(), dstLen), 0);
         EXPECT_EQ(ucs4_to_ucs2(u32, srcLen, d16.data(), dstLen), 0);
         EXPECT_EQ(ucs2_to_utf8(u16, srcLen, &d8[0], dstLen), 0);
         EXPECT_EQ(ucs4_to_utf8(u32, srcLen, &d8[0], dstLen), 0);
         EXPECT_EQ(utf8_to_ucs2("a", srcLen, d16.data(), dstLen), 0);
         EXPECT_EQ(utf8_to_ucs4("a", srcLen, d32.data(), dstLen), 0);
         EXPECT_EQ(utf8_to_wchar("a", srcLen, dw.data(), dstLen), 0);
         EXPECT_EQ(wchar_to_utf8(L"a", srcLen, &d8[0], dstLen), 0);
         EXPECT_EQ(wchar_to_ucs2(L"a", srcLen, d16.data(), dstLen), 0);
         EXPECT_EQ(ucs2_to_wchar(u16, srcLen, dw.data(), dstLen), 0);
      }
      EXPECT_EQ(d16, Fresh<UCS2CHAR>(2));
      EXPECT_EQ(d32, Fresh<UCS4CHAR>(2));
      EXPECT_EQ(d8, Fresh8(2));
      EXPECT_EQ(dw, Fresh<wchar_t>(2));
   }
}

TEST(Convert, ExplicitLengthsWriteNoTerminator)
{
   U32 out = Fresh<UCS4CHAR>(8);
   EXPECT_EQ(utf8_to_ucs4("abc", 2, out.data(), 8), 2);
   EXPECT_EQ(Head(out, 3), (U32{'a', 'b', UNTOUCHED}));
   // Zero units inside an explicit length are converted like any other.
   EXPECT_EQ(utf8_to_ucs4("a\0b", 3, out.data(), 8), 3);
   EXPECT_EQ(Head(out, 4), (U32{'a', 0, 'b', UNTOUCHED}));
   // An explicit length that fills the destination exactly keeps every unit.
   EXPECT_EQ(utf8_to_ucs4("abcd", 4, out.data(), 4), 4);
   EXPECT_EQ(Head(out, 4), (U32{'a', 'b', 'c', 'd'}));
   // Negative lengths other than -1 convert nothing; a null source is an empty text.
   out = Fresh<UCS4CHAR>(8);
   EXPECT_EQ(utf8_to_ucs4("abc", -2, out.data(), 8), 0);
   EXPECT_EQ(out[0], UNTOUCHED);
   EXPECT_EQ(utf8_to_ucs4(nullptr, -1, out.data(), 8), 0);
   EXPECT_EQ(out[0], 0u);
}

TEST(Convert, TruncationKeepsWholeCharactersAtEveryBoundary)
{
   std::wstring text = MixedWide();
   char *utf8 = UTF8StringFromWideString(text.c_str());
   ASSERT_NE(utf8, nullptr);
   int bytes = static_cast<int>(strlen(utf8));
   wchar_t *back = WideStringFromUTF8String(utf8);
   ASSERT_NE(back, nullptr);
   EXPECT_EQ(std::wstring(back), text);
   free(back);

   // Byte offsets where a character starts, and the end.
   std::vector<int> starts;
   for (int i = 0; i <= bytes; i++)
      if (i == bytes || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80)
         starts.push_back(i);

   for (int room = 1; room <= bytes + 1; room++)
   {
      std::string out = Fresh8(room + 1);
      int n = wchar_to_utf8(text.c_str(), -1, &out[0], room);
      int expected = 0;
      for (int s : starts)
         if (s <= room - 1)
            expected = s;
      ASSERT_EQ(n, expected) << "room " << room;
      EXPECT_EQ(out.compare(0, n, utf8, n), 0);
      EXPECT_EQ(out[n], '\0');
      EXPECT_EQ(out[room], UNTOUCHED_BYTE);

      std::vector<wchar_t> wide = Fresh<wchar_t>(room + 1);
      int chars = utf8_to_wchar(utf8, bytes, wide.data(), room);
      ASSERT_EQ(chars, std::min<int>(room, static_cast<int>(text.size())));
      EXPECT_EQ(std::wstring(wide.data(), chars), text.substr(0, chars));
      EXPECT_EQ(wide[room], static_cast<wchar_t>(UNTOUCHED));
   }
   free(utf8);
}

TEST(Convert, AllocatingConvertersHoldTheWholeText)
{
   EXPECT_EQ(WideStringFromUTF8String(nullptr), nullptr);
   EXPECT_EQ(UTF8StringFromWideString(nullptr), nullptr);

   const UCS4CHAR cps[] = {'a', 0x1F600, 0x20AC, 0x110000, 'z', 0};
   UCS2CHAR *units = UCS2StringFromUCS4String(cps);
   ASSERT_NE(units, nullptr);
   EXPECT_EQ(ucs2_strlen(units), 5u);
   EXPECT_EQ(U16(units, units + 6), (U16{'a', 0xD83D, 0xDE00, 0x20AC, 'z', 0}));

   UCS4CHAR *again = UCS4StringFromUCS2String(units);
   ASSERT_NE(again, nullptr);
   EXPECT_EQ(U32(again, again + 5), (U32{'a', 0x1F600, 0x20AC, 'z', 0}));

   wchar_t *wide = WideStringFromUCS2String(units);
   ASSERT_NE(wide, nullptr);
   EXPECT_EQ(std::wstring(wide), L"a\x1F600\x20ACz");
   UCS2CHAR *units2 = UCS2StringFromWideString(wide);
   ASSERT_NE(units2, nullptr);
   EXPECT_EQ(U16(units2, units2 + 6), U16(units, units + 6));

   char *utf8 = UTF8StringFromWideString(wide);
   ASSERT_NE(utf8, nullptr);
   EXPECT_STREQ(utf8, "a\xF0\x9F\x98\x80\xE2\x82\xAC" "z");
   free(units);
   free(again);
   free(wide);
   free(units2);
   free(utf8);
}

TEST(Convert, Ucs4StringUtilities)
{
   const UCS4CHAR five[] = {1, 2, 3, 4, 5, 0};
   EXPECT_EQ(ucs4_strlen(five), 5u);
   EXPECT_EQ(ucs4_strlen(nullptr), 0u);

   U32 out = Fresh<UCS4CHAR>(8);
   EXPECT_EQ(ucs4_strncpy(out.data(), five, 2), out.data());
   EXPECT_EQ(Head(out, 3), (U32{1, 2, UNTOUCHED}));
   // The terminator is copied when it fits, and nothing is padded after it.
   const UCS4CHAR two[] = {7, 8, 0};
   EXPECT_EQ(ucs4_strncpy(out.data(), two, 8), out.data());
   EXPECT_EQ(Head(out, 4), (U32{7, 8, 0, UNTOUCHED}));

   UCS4CHAR *copy = ucs4_strdup(five);
   ASSERT_NE(copy, nullptr);
   EXPECT_EQ(U32(copy, copy + 6), U32(five, five + 6));
   free(copy);
   EXPECT_EQ(ucs4_strdup(nullptr), nullptr);

   const UCS2CHAR units[] = {0xD83D, 0xDE00, 0};
   UCS2CHAR *copy2 = ucs2_strdup(units);
   ASSERT_NE(copy2, nullptr);
   EXPECT_EQ(ucs2_strlen(copy2), 2u);
   EXPECT_EQ(U16(copy2, copy2 + 3), U16(units, units + 3));
   free(copy2);
}
