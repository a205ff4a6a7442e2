/* File name templates: time fields against strftime, variables, commands, cutting. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <string>

#include <stdlib.h>
#include <time.h>

namespace {

std::wstring Strftime(const wchar_t *format, time_t t)
{
   struct tm local;
   localtime_r(&t, &local);
   wchar_t out[512];
   size_t n = wcsftime(out, 512, format, &local);
   return std::wstring(out, n);
}

/* Expands templ while the clock may pass a second: the result must match strftime of the
 * time before or after. */
void ExpectTimeFields(const wchar_t *templ)
{
   wchar_t out[512];
   time_t before = time(nullptr);
   ASSERT_NE(ExpandFileName(templ, out, 512, false), nullptr);
   time_t after = time(nullptr);
   std::wstring got(out);
   EXPECT_TRUE(got == Strftime(templ, before) || got == Strftime(templ, after)) << templ;
}

}  // namespace

TEST(ExpandFileName, TimeFieldsMatchStrftime)
{
   ExpectTimeFields(L"log-%Y%m%d.txt");
   ExpectTimeFields(L"%H-%M-%S %j %a %b %y %%literal");
   ExpectTimeFields(L"/var/log/app/%Y/%m/%d/%H.log");
}

TEST(ExpandFileName, InsertsEnvironmentVariables)
{
   setenv("QV_EXPAND_TEST", "/data/dir", 1);
   unsetenv("QV_EXPAND_UNSET");
   wchar_t out[256];
   EXPECT_STREQ(ExpandFileName(L"${QV_EXPAND_TEST}/x", out, 256, false), L"/data/dir/x");
   EXPECT_STREQ(ExpandFileName(L"a${QV_EXPAND_UNSET}b", out, 256, false), L"ab");
   // Without the closing brace the rest is the name and the text ends there.
   EXPECT_STREQ(ExpandFileName(L"a-${QV_EXPAND_TEST", out, 256, false), L"a-/data/dir");
   EXPECT_STREQ(ExpandFileName(L"$QV_EXPAND_TEST $", out, 256, false), L"$QV_EXPAND_TEST $");
}

TEST(ExpandFileName, RunsCommandsOnlyWhenAllowed)
{
   wchar_t out[256];
   EXPECT_STREQ(ExpandFileName(L"pre-`echo first; echo second`-post", out, 256, true), L"pre-first-post");
   EXPECT_STREQ(ExpandFileName(L"pre-`echo run`-post", out, 256, false), L"pre-`echo run`-post");
   EXPECT_STREQ(ExpandFileName(L"a`true`b", out, 256, true), L"ab");
   EXPECT_STREQ(ExpandFileName(L"x-`echo open", out, 256, true), L"x-open");
}

TEST(ExpandFileName, EmptyTemplateOrExpansionGivesEmptyText)
{
   wchar_t out[16] = L"garbage";
   EXPECT_STREQ(ExpandFileName(L"", out, 16, false), L"");
   unsetenv("QV_EXPAND_UNSET");
   wcscpy(out, L"garbage");
   EXPECT_STREQ(ExpandFileName(L"${QV_EXPAND_UNSET}", out, 16, false), L"");
   EXPECT_EQ(ExpandFileName(nullptr, out, 16, false), nullptr);
   EXPECT_EQ(ExpandFileName(L"x", nullptr, 16, false), nullptr);
   EXPECT_EQ(ExpandFileName(L"x", out, 0, false), nullptr);
}

TEST(ExpandFileName, OutputIsCutAtSizeMinusOneWithInsertedValues)
{
   setenv("QV_EXPAND_LONG", "0123456789abcdefghij", 1);
   wchar_t out[12];
   for (int i = 0; i < 12; i++)
      out[i] = L'#';
   EXPECT_STREQ(ExpandFileName(L"ab${QV_EXPAND_LONG}", out, 8, false), L"ab01234");
   EXPECT_EQ(out[8], L'#');  // nothing written past the size
   for (int i = 0; i < 12; i++)
      out[i] = L'#';
   EXPECT_STREQ(ExpandFileName(L"`echo 0123456789`", out, 5, true), L"0123");
   EXPECT_EQ(out[5], L'#');
   EXPECT_STREQ(ExpandFileName(L"%Y%m%d", out, 3, false), Strftime(L"%Y", time(nullptr)).substr(0, 2).c_str());
   EXPECT_STREQ(ExpandFileName(L"abc", out, 1, false), L"");
}

TEST(ExpandFileName, LongTemplatesAreFormattedWhole)
{
   std::wstring templ(20000, L'p');
   templ += L"%Y";
   std::wstring out(30000, L'#');
   ASSERT_NE(ExpandFileName(templ.c_str(), &out[0], out.size(), false), nullptr);
   std::wstring expected = std::wstring(20000, L'p') + Strftime(L"%Y", time(nullptr));
   EXPECT_EQ(std::wstring(out.c_str()), expected);
}
