#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
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
   EXPECT_EQ(out.substr(0, 7), "a\xF0\x9F\x98\x80"
                               "b#");
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
                                            "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\0",
                                            23));
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
      // Nothing past the output is written, not even inside the destination.
      EXPECT_EQ(out.find_first_not_of(UNTOUCHED_BYTE, n + 1), std::string::npos);

      std::vector<wchar_t> wide = Fresh<wchar_t>(room + 1);
      int chars = utf8_to_wchar(utf8, bytes, wide.data(), room);
      ASSERT_EQ(chars, std::min<int>(room, static_cast<int>(text.size())));
      EXPECT_EQ(std::wstring(wide.data(), chars), text.substr(0, chars));
      for (int i = chars; i <= room; i++)
         ASSERT_EQ(wide[i], static_cast<wchar_t>(UNTOUCHED)) << "room " << room << " unit " << i;
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
   EXPECT_STREQ(utf8, "a\xF0\x9F\x98\x80\xE2\x82\xAC"
                      "z");
   free(units);
   free(again);
   free(wide);
   free(units2);
   free(utf8);
}

namespace {

/* The UTF-16 rules one character at a time, to hold the converters' block paths to. */
U32 ModelUtf16ToChars(const U16 &in, size_t room)
{
   U32 out;
   for (size_t i = 0; i < in.size() && out.size() < room;)
   {
      UCS4CHAR u = in[i];
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < in.size() && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF)
      {
         out.push_back(((u - 0xD800) << 10) + (in[i + 1] - 0xDC00) + 0x10000);
         i += 2;
         continue;
      }
      if (u < 0xD800 || u > 0xDFFF)
         out.push_back(u);
      i++;
   }
   return out;
}

U16 ModelCharsToUtf16(const U32 &in, size_t room)
{
   U16 out;
   for (UCS4CHAR c : in)
   {
      if (c <= 0xFFFF)
      {
         if (out.size() + 1 > room)
            break;
         out.push_back(static_cast<UCS2CHAR>(c));
      }
      else if (c <= 0x10FFFF)
      {
         if (out.size() + 2 > room)
            break;
         out.push_back(static_cast<UCS2CHAR>(0xD800 + ((c - 0x10000) >> 10)));
         out.push_back(static_cast<UCS2CHAR>(0xDC00 + (c & 0x3FF)));
      }
   }
   return out;
}

}  // namespace

/* Texts of long runs of one-unit characters with surrogates, unpaired ones and characters
 * beyond the BMP (or beyond Unicode, or negative) at every position of a sixteen-unit
 * block, converted with every room around the text's length. */
TEST(Convert, Utf16AndWideRunsMatchTheCharacterRules)
{
   uint32_t seed = 12345;
   auto next = [&seed] {
      seed = seed * 1103515245u + 12345u;
      return seed >> 8;
   };
   static const UCS4CHAR bmp[] = {'a', 0xE9, 0x20AC, 0x4E2D, 0xFFFD, 0xFFFF, 0x7F, 0x80};
   for (int round = 0; round < 200; round++)
   {
      size_t length = 1 + next() % 70;
      U16 units;
      U32 chars;
      for (size_t i = 0; i < length; i++)
      {
         uint32_t pick = next() % 20;
         if (pick == 0)
            units.push_back(static_cast<UCS2CHAR>(0xD800 + next() % 0x800));  // a lone surrogate
         else if (pick == 1)
         {
            units.push_back(static_cast<UCS2CHAR>(0xD800 + next() % 0x400));
            units.push_back(static_cast<UCS2CHAR>(0xDC00 + next() % 0x400));
         }
         else
            units.push_back(static_cast<UCS2CHAR>(bmp[next() % 8]));
         if (pick == 2)
            chars.push_back(0x10000 + next() % 0x100000);
         else if (pick == 3)
            chars.push_back((next() % 2 == 0) ? 0x110000 : static_cast<UCS4CHAR>(-1 - int(next() % 5)));
         else
            chars.push_back(bmp[next() % 8]);
      }
      for (size_t room = (length > 3) ? length - 3 : 0; room <= units.size() + 2; room++)
      {
         std::vector<wchar_t> wide = Fresh<wchar_t>(room + 1);
         int n = ucs2_to_wchar(units.data(), static_cast<int>(units.size()), wide.data(), static_cast<int>(room));
         U32 expected = ModelUtf16ToChars(units, room);
         ASSERT_EQ(static_cast<size_t>(n), expected.size()) << "round " << round << " room " << room;
         for (int i = 0; i < n; i++)
            ASSERT_EQ(static_cast<UCS4CHAR>(wide[i]), expected[i]) << "round " << round << " unit " << i;
         for (size_t i = n; i <= room; i++)
            ASSERT_EQ(wide[i], static_cast<wchar_t>(UNTOUCHED)) << "round " << round << " room " << room;
      }
      for (size_t room = (length > 3) ? length - 3 : 0; room <= 2 * length + 2; room++)
      {
         std::vector<wchar_t> text(chars.begin(), chars.end());
         U16 out = Fresh<UCS2CHAR>(room + 1);
         int n = wchar_to_ucs2(text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(room));
         U16 expected = ModelCharsToUtf16(chars, room);
         ASSERT_EQ(static_cast<size_t>(n), expected.size()) << "round " << round << " room " << room;
         EXPECT_EQ(Head(out, n), expected) << "round " << round;
         for (size_t i = n; i <= room; i++)
            ASSERT_EQ(out[i], static_cast<UCS2CHAR>(UNTOUCHED)) << "round " << round << " room " << room;
      }
   }
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

namespace {

/* Runs each test with "ACP" as the default code page again afterwards. The test program
 * does not set a locale, so "ACP" means the C locale, taken as UTF-8. */
class ConvertMb : public ::testing::Test
{
protected:
   void TearDown() override { SetDefaultCodepage("ACP"); }
};

std::wstring TakeWide(wchar_t *text)
{
   std::wstring result = (text != nullptr) ? text : L"<null>";
   free(text);
   return result;
}

std::string TakeBytes(char *text)
{
   std::string result = (text != nullptr) ? text : "<null>";
   free(text);
   return result;
}

}  // namespace

TEST_F(ConvertMb, LocaleCodePageOfTheCLocaleIsUtf8)
{
   U32 cps = Fresh<UCS4CHAR>(4);
   EXPECT_EQ(mb_to_ucs4("\xC3\xA9", -1, cps.data(), 4), 1);
   EXPECT_EQ(Head(cps, 2), (U32{0xE9, 0}));

   // The platform-style count includes the terminator; unpaired surrogates, which have
   // no UTF-8 form, become the default character.
   const UCS4CHAR euro[] = {0x20AC, 0xD800, 0};
   std::string out = Fresh8(8);
   EXPECT_EQ(ucs4_to_mb(euro, -1, &out[0], 8), 5);
   EXPECT_EQ(out.substr(0, 6), std::string("\xE2\x82\xAC?\0#", 6));
   out = Fresh8(8);
   EXPECT_EQ(mb_to_utf8("a\xC3\xA9", -1, &out[0], 8), 4);
   EXPECT_EQ(out.substr(0, 5), std::string("a\xC3\xA9\0#", 5));

   // The allocating forms hold multibyte output whole, although it is longer than the
   // source in characters.
   EXPECT_EQ(TakeBytes(MBStringFromWideString(L"\x20AC\x20AC\x1F600")), "\xE2\x82\xAC\xE2\x82\xAC\xF0\x9F\x98\x80");
   EXPECT_EQ(TakeBytes(MBStringFromWideStringSysLocale(L"\xE9")), "\xC3\xA9");
   const UCS4CHAR four[] = {0x1F600, 0x1F600, 0};
   EXPECT_EQ(TakeBytes(MBStringFromUCS4String(four)), "\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
   EXPECT_EQ(TakeWide(WideStringFromMBString("\xE2\x82\xAC"
                                             "x")),
             L"\x20AC"
             L"x");
   EXPECT_EQ(TakeBytes(MBStringFromUTF8String("\xE2\x82\xAC")), "\xE2\x82\xAC");
   EXPECT_EQ(TakeBytes(UTF8StringFromMBString("\xE2\x82\xAC")), "\xE2\x82\xAC");
   EXPECT_EQ(WideStringFromMBString(nullptr), nullptr);
   EXPECT_EQ(MBStringFromWideString(nullptr), nullptr);
}

TEST_F(ConvertMb, ExplicitCodePageThroughSetDefaultCodepage)
{
   ASSERT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   U32 cps = Fresh<UCS4CHAR>(4);
   EXPECT_EQ(mb_to_ucs4("\xE9\xFF", -1, cps.data(), 4), 2);
   EXPECT_EQ(Head(cps, 3), (U32{0xE9, 0xFF, 0}));

   // Characters outside the code page become '?', a surrogate pair as one character.
   const UCS4CHAR mixed[] = {0xE9, 0x20AC, 0x1F600, 'a', 0};
   std::string out = Fresh8(8);
   EXPECT_EQ(ucs4_to_mb(mixed, -1, &out[0], 8), 5);
   EXPECT_EQ(out.substr(0, 6), std::string("\xE9??a\0#", 6));
   out = Fresh8(8);
   EXPECT_EQ(wchar_to_mb(L"\xE9\x20AC", 2, &out[0], 8), 2);
   EXPECT_EQ(out.substr(0, 3), "\xE9?#");

   EXPECT_EQ(mb_to_utf8("\xE9", -1, &out[0], 8), 3);
   EXPECT_EQ(out.substr(0, 3), std::string("\xC3\xA9\0", 3));
   EXPECT_EQ(utf8_to_mb("\xC3\xA9\xE2\x82\xAC", -1, &out[0], 8), 3);
   EXPECT_EQ(out.substr(0, 3), std::string("\xE9?\0", 3));

   EXPECT_EQ(TakeWide(WideStringFromMBString("\xE9t\xE9")), L"\xE9t\xE9");
   EXPECT_EQ(TakeBytes(MBStringFromWideString(L"\xE9\x20AC")), "\xE9?");
   EXPECT_EQ(TakeBytes(MBStringFromUTF8String("\xC3\xA9")), "\xE9");
   EXPECT_EQ(TakeBytes(UTF8StringFromMBString("\xE9\xE9")), "\xC3\xA9\xC3\xA9");
   UCS4CHAR *ucs4 = UCS4StringFromMBString("\xFF");
   ASSERT_NE(ucs4, nullptr);
   EXPECT_EQ(U32(ucs4, ucs4 + 2), (U32{0xFF, 0}));
   free(ucs4);

   // Back to the locale's character set.
   ASSERT_TRUE(SetDefaultCodepage("acp"));
   EXPECT_EQ(TakeBytes(MBStringFromWideString(L"\xE9")), "\xC3\xA9");
}

TEST_F(ConvertMb, PlatformStyleConvertersAreAllOrNothing)
{
   const UCS4CHAR abc[] = {'a', 'b', 'c', 0};
   std::string out = Fresh8(8);
   EXPECT_EQ(ucs4_to_mb(abc, -1, &out[0], 3), 0);
   EXPECT_EQ(out[0], '\0');
   EXPECT_EQ(out[3], UNTOUCHED_BYTE);
   EXPECT_EQ(ucs4_to_mb(abc, -1, &out[0], 4), 4);
   EXPECT_EQ(out.substr(0, 5), std::string("abc\0#", 5));

   out = Fresh8(8);
   EXPECT_EQ(ucs4_to_mb(abc, 3, &out[0], 3), 3);
   EXPECT_EQ(out.substr(0, 4), "abc#");
   EXPECT_EQ(mb_to_utf8("\xC3\xA9", 2, &out[0], 1), 0);
   EXPECT_EQ(utf8_to_mb("\xC3\xA9", -1, &out[0], 2), 0);
   EXPECT_EQ(out[0], '\0');

   // mb_to_ucs4 follows the library's converters instead: it cuts at a character.
   U32 cps = Fresh<UCS4CHAR>(4);
   EXPECT_EQ(mb_to_ucs4("abc", -1, cps.data(), 3), 2);
   EXPECT_EQ(Head(cps, 4), (U32{'a', 'b', 0, UNTOUCHED}));

   for (int dstLen : {0, -3})
   {
      out = Fresh8(8);
      std::vector<wchar_t> wide = Fresh<wchar_t>(2);
      EXPECT_EQ(ucs4_to_mb(abc, -1, &out[0], dstLen), 0);
      EXPECT_EQ(wchar_to_mb(L"a", -1, &out[0], dstLen), 0);
      EXPECT_EQ(mb_to_utf8("a", -1, &out[0], dstLen), 0);
      EXPECT_EQ(utf8_to_mb("a", -1, &out[0], dstLen), 0);
      EXPECT_EQ(mb_to_ucs4("a", -1, cps.data(), dstLen), 0);
      EXPECT_EQ(mb_to_wchar("a", -1, wide.data(), dstLen), 0);
      EXPECT_EQ(mb_to_wchar_cp(1252, "a", -1, wide.data(), dstLen), 0);
      EXPECT_EQ(out, Fresh8(8));
      EXPECT_EQ(wide, Fresh<wchar_t>(2));
   }
}

TEST_F(ConvertMb, NumericCodePages)
{
   std::vector<wchar_t> out = Fresh<wchar_t>(8);
   // Undefined bytes of a code page become U+FFFD.
   EXPECT_EQ(mb_to_wchar_cp(1252,
                            "\x80\x81"
                            "A",
                            3, out.data(), 8),
             3);
   EXPECT_EQ(std::wstring(out.data(), 3), L"\x20AC\xFFFD"
                                          L"A");
   EXPECT_EQ(mb_to_wchar_cp(28592, "\xA1", -1, out.data(), 8), 1);
   EXPECT_EQ(std::wstring(out.data()), L"\x0104");
   EXPECT_EQ(mb_to_wchar_cp(20127, "a\x80", 2, out.data(), 8), 2);
   EXPECT_EQ(std::wstring(out.data(), 2), L"a\xFFFD");
   EXPECT_EQ(mb_to_wchar_cp(65001, "\xC3\xA9\xC3", 3, out.data(), 8), 2);
   EXPECT_EQ(std::wstring(out.data(), 2), L"\xE9?");
   EXPECT_EQ(mb_to_wchar_cp(0, "\xC3\xA9", 2, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0xE9);
   // "CP<n>" for other numbers, which iconv may not know.
   EXPECT_EQ(mb_to_wchar_cp(850, "\x82", 1, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0xE9);
   EXPECT_EQ(mb_to_wchar_cp(99999, "a", 1, out.data(), 8), 0);
   EXPECT_EQ(mb_to_wchar_cp(-5, "a", 1, out.data(), 8), 0);

   // A lead byte cut off by the end of the text is replaced once.
   EXPECT_EQ(mb_to_wchar_cp(932, "a\x82", 2, out.data(), 8), 2);
   EXPECT_EQ(std::wstring(out.data(), 2), L"a\xFFFD");
}

TEST_F(ConvertMb, CodePagesWithStateOrMoreCharactersThanBytes)
{
   // A decoder that holds back a letter to combine it with a following mark still gives
   // it out at the end of the text.
   std::vector<wchar_t> out = Fresh<wchar_t>(8);
   EXPECT_EQ(mb_to_wchar_cp(1255, "\xE0", 1, out.data(), 8), 1);
   EXPECT_EQ(out[0], 0x5D0);

   // A stateful encoding returns to its initial state before the terminator.
   ASSERT_TRUE(SetDefaultCodepage("ISO-2022-JP"));
   std::string bytes = Fresh8(16);
   EXPECT_EQ(wchar_to_mb(L"\x65E5", -1, &bytes[0], 16), 9);
   EXPECT_EQ(bytes.substr(0, 9), std::string("\x1B$BF|\x1B(B\0", 9));
   EXPECT_EQ(TakeBytes(MBStringFromWideString(L"\x65E5")), "\x1B$BF|\x1B(B");
   // Without room for the reset sequence the conversion fails as a whole.
   EXPECT_EQ(wchar_to_mb(L"\x65E5", -1, &bytes[0], 8), 0);

   // One TSCII byte stands for four code points (twelve UTF-8 bytes): the allocating
   // converters make room for them.
   ASSERT_TRUE(SetDefaultCodepage("TSCII"));
   EXPECT_EQ(TakeWide(WideStringFromMBString("\x82")), L"\x0BB8\x0BCD\x0BB0\x0BC0");
   EXPECT_EQ(TakeBytes(UTF8StringFromMBString("\x82")), "\xE0\xAE\xB8\xE0\xAF\x8D\xE0\xAE\xB0\xE0\xAF\x80");
   UCS4CHAR *ucs4 = UCS4StringFromMBString("\x82");
   ASSERT_NE(ucs4, nullptr);
   EXPECT_EQ(ucs4_strlen(ucs4), 4u);
   free(ucs4);
}

TEST_F(ConvertMb, LongTextsLeaveTheStackIntermediate)
{
   // More than 32768 units in the intermediate, in both directions and both kinds of
   // code page.
   std::wstring wide;
   for (int i = 0; i < 50000; i++)
      wide += static_cast<wchar_t>((i % 3 == 0) ? 0xE9 : 'a' + i % 26);
   std::string utf8 = TakeBytes(MBStringFromWideString(wide.c_str()));
   EXPECT_EQ(utf8.size(), wide.size() + wide.size() / 3 + 1);
   EXPECT_EQ(TakeWide(WideStringFromMBString(utf8.c_str())), wide);

   ASSERT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   std::string latin1 = TakeBytes(MBStringFromWideString(wide.c_str()));
   EXPECT_EQ(latin1.size(), wide.size());
   EXPECT_EQ(TakeWide(WideStringFromMBString(latin1.c_str())), wide);
   EXPECT_EQ(TakeBytes(UTF8StringFromMBString(latin1.c_str())), utf8);
   EXPECT_EQ(TakeBytes(MBStringFromUTF8String(utf8.c_str())), latin1);

   std::vector<char> bounded(latin1.size() + 1);
   EXPECT_EQ(wchar_to_mb(wide.c_str(), -1, bounded.data(), static_cast<int>(bounded.size())),
             static_cast<int>(bounded.size()));
   EXPECT_EQ(std::string(bounded.data()), latin1);
   std::vector<wchar_t> back(wide.size() + 1);
   EXPECT_EQ(mb_to_wchar(latin1.c_str(), -1, back.data(), static_cast<int>(back.size())),
             static_cast<int>(wide.size()));
   EXPECT_EQ(std::wstring(back.data()), wide);
}

TEST_F(ConvertMb, UnknownCodePageFailsSafely)
{
   ASSERT_TRUE(SetDefaultCodepage("NO-SUCH-CHARSET"));
   U32 cps = Fresh<UCS4CHAR>(4);
   EXPECT_EQ(mb_to_ucs4("abc", -1, cps.data(), 4), 0);
   EXPECT_EQ(cps[0], 0u);
   std::string out = Fresh8(8);
   EXPECT_EQ(utf8_to_mb("abc", -1, &out[0], 8), 0);
   EXPECT_EQ(out[0], '\0');
   EXPECT_EQ(TakeBytes(MBStringFromWideString(L"abc")), "");
   EXPECT_EQ(TakeWide(WideStringFromMBString("abc")), L"");
   EXPECT_EQ(TakeBytes(UTF8StringFromMBString("abc")), "");
   EXPECT_FALSE(SetDefaultCodepage(nullptr));
}

TEST_F(ConvertMb, SetDefaultCodepageKeepsTheFirst63Characters)
{
   // iconv ignores spaces in character set names, so a name that is valid in its first
   // 63 characters and invalid after them shows where the name was cut.
   std::string name = "ISO-8859-1";
   name += std::string(63 - name.size(), ' ');
   std::string longName = name + std::string(100 - name.size(), 'X');
   ASSERT_TRUE(SetDefaultCodepage(longName.c_str()));
   std::vector<wchar_t> out(4);
   EXPECT_EQ(mb_to_wchar("\xE9", 1, out.data(), 4), 1);
   EXPECT_EQ(out[0], 0xE9);

   std::string cutEarlier = name.substr(0, 62) + "X";
   ASSERT_TRUE(SetDefaultCodepage(cutEarlier.c_str()));
   EXPECT_EQ(mb_to_wchar("\xE9", 1, out.data(), 4), 0);
}

/* iconv loads and unloads its character set modules through the dynamic loader, whose
 * own lock ThreadSanitizer does not see; loader-internal accesses from threads that open
 * and close descriptors are reported as races. Only frames inside the loader are left
 * out. */
extern "C" __attribute__((visibility("default"))) const char *__tsan_default_suppressions()
{
   return "race:ld-linux-x86-64.so.2\n";
}

namespace {

/* Code pages with a byte each maps to a different character, more of them than a thread
 * keeps open at once. */
struct CodePageSample
{
   int codePage;
   char byte;
   wchar_t character;
};
const CodePageSample SAMPLES[] = {
    {1252, '\x80', 0x20AC},  {28591, '\xA1', 0xA1}, {28592, '\xA1', 0x104}, {28595, '\xA1', 0x401},
    {28597, '\xA1', 0x2018}, {850, '\x82', 0xE9},   {1251, '\x80', 0x402},  {65001, 'z', 'z'},
};

bool ConvertsAsExpected(const CodePageSample &sample)
{
   wchar_t out[2] = {0, 0};
   return mb_to_wchar_cp(sample.codePage, &sample.byte, 1, out, 2) == 1 && out[0] == sample.character;
}

/* A gate that releases every waiting thread at once. */
class Gate
{
private:
   std::mutex m_lock;
   std::condition_variable m_opened;
   bool m_open = false;

public:
   void wait()
   {
      std::unique_lock<std::mutex> lock(m_lock);
      m_opened.wait(lock, [this] { return m_open; });
   }
   void open()
   {
      {
         std::lock_guard<std::mutex> lock(m_lock);
         m_open = true;
      }
      m_opened.notify_all();
   }
};

}  // namespace

TEST_F(ConvertMb, CodePagesStayRightWhenThreadsReopenThem)
{
   for (int round = 0; round < 3; round++)
      for (const CodePageSample &sample : SAMPLES)
         EXPECT_TRUE(ConvertsAsExpected(sample)) << sample.codePage;

   // Each thread has descriptors of its own; they all start together.
   constexpr int THREADS = 4;
   constexpr int ROUNDS = 200;
   Gate start;
   std::vector<int> failures(THREADS, 0);
   std::vector<std::thread> threads;
   for (int t = 0; t < THREADS; t++)
   {
      threads.emplace_back([&, t] {
         start.wait();
         for (int i = 0; i < ROUNDS; i++)
            for (size_t k = 0; k < sizeof(SAMPLES) / sizeof(SAMPLES[0]); k++)
               if (!ConvertsAsExpected(SAMPLES[(k + t) % (sizeof(SAMPLES) / sizeof(SAMPLES[0]))]))
                  failures[t]++;
      });
   }
   start.open();
   for (std::thread &thread : threads)
      thread.join();
   EXPECT_EQ(failures, std::vector<int>(THREADS, 0));
}

TEST_F(ConvertMb, ThreadSeesANewDefaultCodePage)
{
   Gate converted;
   Gate changed;
   std::string before;
   std::string after;
   std::thread worker([&] {
      before = TakeBytes(MBStringFromWideString(L"\xE9"));
      converted.open();
      changed.wait();
      after = TakeBytes(MBStringFromWideString(L"\xE9"));
   });
   converted.wait();
   EXPECT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   changed.open();
   worker.join();
   EXPECT_EQ(before, "\xC3\xA9");
   EXPECT_EQ(after, "\xE9");
}
