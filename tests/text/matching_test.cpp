/* Wildcard and regular-expression matching. */
#include <qorvel.h>

#include "text/ctype_locale.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

/* A plain backtracking matcher: the meaning of the wildcards, without any strategy. */
bool Reference(const char *p, const char *t)
{
   if (*p == 0)
      return *t == 0;
   if (*p == '*')
      return Reference(p + 1, t) || (*t != 0 && Reference(p, t + 1));
   return *t != 0 && (*p == '?' || *p == *t) && Reference(p + 1, t + 1);
}

TEST(MatchString, WildcardsAndCase)
{
   EXPECT_TRUE(MatchStringA("*.log", "System.LOG", false));
   EXPECT_FALSE(MatchStringA("*.log", "System.LOG", true));
   EXPECT_TRUE(MatchStringW(L"*.log", L"System.LOG", false));
   EXPECT_FALSE(MatchStringW(L"*.log", L"System.LOG", true));
   EXPECT_FALSE(MatchStringA("?*", "", true));
   EXPECT_TRUE(MatchStringA("*", "", true));
   EXPECT_TRUE(MatchStringA("", "", true));
   EXPECT_FALSE(MatchStringA("", "a", true));
   EXPECT_TRUE(MatchStringA("a?c", "abc", true));
   EXPECT_FALSE(MatchStringA("a?c", "ac", true));
   EXPECT_TRUE(MatchStringA("abc*def?", "abcXdefY", true));
   EXPECT_FALSE(MatchStringA("abc*def?", "abcdef", true));
   EXPECT_TRUE(MatchStringA("abc*def?", "abcdefZ", true));
   EXPECT_FALSE(MatchStringA(nullptr, "a", true));
   EXPECT_FALSE(MatchStringW(L"*", nullptr, true));
}

TEST(MatchString, CaseBeyondAsciiFollowsTheLocale)
{
   CtypeLocale utf8("C.UTF-8");
   ASSERT_TRUE(utf8.ok());
   EXPECT_TRUE(MatchStringW(L"\u00e9T\u00c9*", L"\u00c9t\u00e9!", false));
   EXPECT_FALSE(MatchStringW(L"\u00e9T\u00c9*", L"\u00c9t\u00e9!", true));
   EXPECT_TRUE(RegexpMatchW(L"\u00fcber", L"^\u00dcBER$", false));
}

TEST(MatchString, LaterSegmentsMayNeedEarlierOccurrences)
{
   // Taking the last occurrence of "a" leaves no room for "ab".
   EXPECT_TRUE(MatchStringA("*a*ab", "aab", true));
   EXPECT_TRUE(MatchStringW(L"*a*ab", L"aab", true));
   EXPECT_TRUE(MatchStringA("*a*b", "axbab", true));
   EXPECT_TRUE(MatchStringA("*x*yz*", "xxyzx", true));
   EXPECT_TRUE(MatchStringA("*ab*ba*", "abba", true));
   EXPECT_FALSE(MatchStringA("*ab*ab", "aab", true));
   EXPECT_TRUE(MatchStringA("*?a*?b", "xaxb", true));
}

TEST(MatchString, AgreesWithBacktrackingOnEveryShortCase)
{
   // All patterns of up to five symbols from {a, b, *, ?} against all texts of up to five
   // letters from {a, b}.
   const char patternSymbols[] = "ab*?";
   const char textSymbols[] = "ab";
   std::vector<std::string> patterns{""}, texts{""};
   for (size_t n = 0; n < patterns.size() && patterns[n].size() < 5; n++)
      for (char c : std::string(patternSymbols))
         patterns.push_back(patterns[n] + c);
   for (size_t n = 0; n < texts.size() && texts[n].size() < 5; n++)
      for (char c : std::string(textSymbols))
         texts.push_back(texts[n] + c);
   int mismatches = 0;
   for (const std::string &p : patterns)
      for (const std::string &t : texts)
         if (MatchStringA(p.c_str(), t.c_str(), true) != Reference(p.c_str(), t.c_str()) && ++mismatches < 5)
            ADD_FAILURE() << "pattern \"" << p << "\" text \"" << t << "\"";
   EXPECT_EQ(mismatches, 0);
}

TEST(RegexpMatch, ExtendedSyntaxCaseAndBadPatterns)
{
   EXPECT_TRUE(RegexpMatchA("error: disk full", "disk (full|empty)", true));
   EXPECT_TRUE(RegexpMatchW(L"error: DISK full", L"disk (full|empty)", false));
   EXPECT_FALSE(RegexpMatchW(L"error: DISK full", L"disk (full|empty)", true));
   EXPECT_TRUE(RegexpMatchA("abc123", "^[a-z]+[0-9]{3}$", true));
   EXPECT_FALSE(RegexpMatchA("abc12", "^[a-z]+[0-9]{3}$", true));
   EXPECT_FALSE(RegexpMatchA("abc", "(unclosed", true));
   EXPECT_FALSE(RegexpMatchW(L"abc", L"[z-a]", true));
}

}  // namespace
