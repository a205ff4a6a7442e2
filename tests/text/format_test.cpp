#include <qorvel.h>

#include <gtest/gtest.h>

#include <locale.h>
#include <stdlib.h>
#include <string>

namespace {

std::wstring W(const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   wchar_t *text = qv_vaswprintf(format, args);
   va_end(args);
   std::wstring result = (text != nullptr) ? text : L"<null>";
   free(text);
   return result;
}

std::string A(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *text = qv_vasprintf(format, args);
   va_end(args);
   std::string result = (text != nullptr) ? text : "<null>";
   free(text);
   return result;
}

}  // namespace

TEST(Format, WideStringRulesOfTheLibrary)
{
   EXPECT_EQ(W(L"[%s]", L"wide"), L"[wide]");
   EXPECT_EQ(W(L"[%hs]", "narrow"), L"[narrow]");
   EXPECT_EQ(W(L"[%S]", "narrow"), L"[narrow]");
   EXPECT_EQ(W(L"[%ls]", L"wide"), L"[wide]");
   EXPECT_EQ(W(L"[%c%hc]", L'\x20AC', 'x'), L"[\x20AC"
                                            L"x]");
   EXPECT_EQ(W(L"[%-6s|%6s]", L"ab", L"cd"), L"[ab    |    cd]");
   EXPECT_EQ(W(L"[%.2s]", L"abcdef"), L"[ab]");
   EXPECT_EQ(W(L"[%s]", static_cast<const wchar_t *>(nullptr)), L"[(null)]");
   // 8-bit arguments are UTF-8: "Grüße" takes 7 bytes but 5 characters, padded by characters.
   EXPECT_EQ(W(L"[%7hs]", "Gr\xC3\xBC\xC3\x9F"
                          "e"),
             L"[  Gr\xFC\xDF"
             L"e]");
   EXPECT_EQ(W(L"[%.3hs]", "Gr\xC3\xBC\xC3\x9F"
                           "e"),
             L"[Gr\xFC]");
}

TEST(Format, IntegersOfEverySize)
{
   EXPECT_EQ(W(L"%d %u %i", -5, 4000000000u, 42), L"-5 4000000000 42");
   EXPECT_EQ(W(L"%I64d %I64u", static_cast<int64_t>(INT64_MIN), static_cast<uint64_t>(UINT64_MAX)),
             L"-9223372036854775808 18446744073709551615");
   EXPECT_EQ(W(L"%016I64X", static_cast<uint64_t>(0xABCDEF12345ull)), L"00000ABCDEF12345");
   EXPECT_EQ(W(L"%lld %llu %zu", -1LL, 7ULL, static_cast<size_t>(9)), L"-1 7 9");
   EXPECT_EQ(W(L"%I32d %Id", -3, static_cast<ptrdiff_t>(-4)), L"-3 -4");
   EXPECT_EQ(W(L"%hd %hhu", 70000, 257), L"4464 1");
   EXPECT_EQ(W(L"0x%08X %x %#x %o %#o", 255u, 255u, 255u, 8u, 8u), L"0x000000FF ff 0xff 10 010");
   EXPECT_EQ(W(L"[%5d|%-5d|%05d|%+d|% d]", 42, 42, -42, 42, 42), L"[   42|42   |-0042|+42| 42]");
   EXPECT_EQ(W(L"[%.3d|%*d|%-*d]", 7, 4, 1, 3, 2), L"[007|   1|2  ]");
   EXPECT_EQ(W(L"[%.0d]", 0), L"[]");
   EXPECT_EQ(W(L"%%"), L"%");
}

TEST(Format, FloatsAndPointers)
{
   EXPECT_EQ(W(L"%f", 1.5), L"1.500000");
   EXPECT_EQ(W(L"%.2f|%8.3f|%e", 3.14159, -2.0, 1000.0), L"3.14|  -2.000|1.000000e+03");
   EXPECT_EQ(W(L"%g", 0.0001), L"0.0001");
   EXPECT_EQ(W(L"%p", reinterpret_cast<void *>(0x1234)), L"0000000000001234");
   // A value wider than the float conversion's stack buffer still formats whole.
   EXPECT_EQ(W(L"%600.1f", 1.0).size(), 600u);
}

TEST(Format, NarrowOutputTakesWideTextAsUtf8)
{
   EXPECT_EQ(A("[%s|%ls|%S]", "n", L"\x20AC", L"w"), "[n|\xE2\x82\xAC|w]");
   EXPECT_EQ(A("%I64d/%d/%c/%lc", static_cast<int64_t>(-1), 3, 'z', L'\xE9'), "-1/3/z/\xC3\xA9");
   // Byte precision never cuts a character in the middle.
   EXPECT_EQ(A("[%.4ls]", L"a\x20AC\x20AC"), "[a\xE2\x82\xAC]");
}

TEST(Format, MeasuresAndCutsAtTheBuffer)
{
   wchar_t buffer[6];
   EXPECT_EQ(qv_snwprintf(buffer, 6, L"%s-%d", L"abcd", 12345), 10);
   EXPECT_STREQ(buffer, L"abcd-");
   EXPECT_EQ(qv_snwprintf(nullptr, 0, L"%d", 123456), 6);
   buffer[0] = L'x';
   EXPECT_EQ(qv_snwprintf(buffer, 1, L"abc"), 3);
   EXPECT_EQ(buffer[0], 0);
   char narrow[4];
   EXPECT_EQ(qv_snprintf(narrow, sizeof(narrow), "%s", "abcdef"), 6);
   EXPECT_STREQ(narrow, "abc");
}

TEST(Format, RefusesWhatItCannotFormat)
{
   wchar_t buffer[16] = L"untouched";
   int n = 0;
   EXPECT_EQ(qv_snwprintf(buffer, 16, L"abc%n", &n), -1);
   EXPECT_EQ(buffer[0], 0);
   EXPECT_EQ(qv_snwprintf(buffer, 16, L"%y"), -1);
   EXPECT_EQ(qv_snwprintf(buffer, 16, L"trailing %"), -1);
   EXPECT_EQ(qv_aswprintf(L"%k", 1), nullptr);
   EXPECT_EQ(qv_snwprintf(buffer, 16, nullptr), -1);
}

TEST(PortableText, CaseInsensitiveCompareAndCasing)
{
   EXPECT_EQ(qv_wcsicmp(L"Hello", L"hELLO"), 0);
   EXPECT_LT(qv_wcsicmp(L"abc", L"ABD"), 0);
   EXPECT_GT(qv_wcsicmp(L"abcd", L"ABC"), 0);
   EXPECT_EQ(qv_wcsnicmp(L"abcX", L"ABCy", 3), 0);
   EXPECT_EQ(qv_stricmp("MiXeD", "mixed"), 0);
   EXPECT_NE(qv_strnicmp("abc", "abd", 3), 0);
   wchar_t ascii[] = L"MixEd-1";
   EXPECT_STREQ(qv_wcsupr(ascii), L"MIXED-1");
   EXPECT_STREQ(qv_wcslwr(ascii), L"mixed-1");
   // Beyond ASCII the C library's case tables of the current locale apply.
   const char *saved = setlocale(LC_CTYPE, nullptr);
   std::string previous = (saved != nullptr) ? saved : "C";
   if (setlocale(LC_CTYPE, "C.UTF-8") != nullptr)
   {
      wchar_t text[] = L"stra\xDF"
                       L"e-\xE9t\xE9";
      EXPECT_STREQ(qv_wcsupr(text), L"STRA\xDF"
                                    L"E-\xC9T\xC9");
      EXPECT_STREQ(qv_wcslwr(text), L"stra\xDF"
                                    L"e-\xE9t\xE9");
      EXPECT_EQ(qv_wcsicmp(L"\xE9T\xC9", L"\xC9t\xE9"), 0);
      setlocale(LC_CTYPE, previous.c_str());
   }
   char narrow[] = "Abc1";
   EXPECT_STREQ(qv_strupr(narrow), "ABC1");
   EXPECT_STREQ(qv_strlwr(narrow), "abc1");
   wchar_t *copy = qv_wcsdup(L"dup");
   EXPECT_STREQ(copy, L"dup");
   free(copy);
   EXPECT_EQ(qv_wcsdup(nullptr), nullptr);
}

TEST(PortableText, BoundedCopiesAlwaysTerminate)
{
   char small[4];
   EXPECT_EQ(strlcpy(small, "abcdef", sizeof(small)), 6u);
   EXPECT_STREQ(small, "abc");
   EXPECT_EQ(strlcat(small, "xyz", sizeof(small)), 6u);
   EXPECT_STREQ(small, "abc");
   char room[8] = "ab";
   EXPECT_EQ(strlcat(room, "cd", sizeof(room)), 4u);
   EXPECT_STREQ(room, "abcd");
   wchar_t wide[3];
   EXPECT_EQ(wcslcpy(wide, L"hello", 3), 5u);
   EXPECT_STREQ(wide, L"he");
   wchar_t untouched[2] = {L'q', L'r'};
   EXPECT_EQ(wcslcpy(untouched, L"abc", 0), 3u);
   EXPECT_EQ(untouched[0], L'q');
   // No terminator within the size: nothing is appended and the sum is reported.
   EXPECT_EQ(wcslcat(untouched, L"abc", 2), 5u);
   EXPECT_EQ(untouched[1], L'r');
}

TEST(Shared, CurrentTimeIsWallClockMilliseconds)
{
   int64_t now = GetCurrentTimeMs();
   int64_t seconds = static_cast<int64_t>(time(nullptr));
   EXPECT_LE(std::llabs(now / 1000 - seconds), 2);
}

namespace {
struct Counted : public RefCountObject
{
   static int destroyed;
   ~Counted() override { destroyed++; }
};
int Counted::destroyed = 0;
}  // namespace

TEST(Shared, RefCountObjectDeletesAtZero)
{
   Counted *object = new Counted();
   EXPECT_EQ(object->getRefCount(), 1);
   object->incRefCount();
   object->decRefCount();
   EXPECT_EQ(Counted::destroyed, 0);
   object->decRefCount();
   EXPECT_EQ(Counted::destroyed, 1);
}
