/* GenerateLineDiff: small cases, whole lines, and large texts checked by applying the
 * result back. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

std::wstring Diff(const wchar_t *left, const wchar_t *right)
{
   return std::wstring(GenerateLineDiff(String(left), String(right)));
}

typedef std::vector<std::wstring> Lines;

/* The lines of a text without their "\n". */
Lines SplitLines(const std::wstring &text)
{
   Lines lines;
   size_t start = 0;
   while (start < text.size())
   {
      size_t end = text.find(L'\n', start);
      if (end == std::wstring::npos)
         end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
   }
   return lines;
}

std::wstring JoinLines(const Lines &lines)
{
   std::wstring text;
   for (const std::wstring &line : lines)
      text += line + L"\n";
   return text;
}

/* The removed ("-") and added ("+") lines of a result, in order. */
void ReadResult(const std::wstring &result, Lines *removed, Lines *added)
{
   for (const std::wstring &line : SplitLines(result))
   {
      ASSERT_FALSE(line.empty());
      ASSERT_TRUE(line[0] == L'-' || line[0] == L'+') << "bad line in result";
      (line[0] == L'-' ? removed : added)->push_back(line.substr(1));
   }
}

/* True when part is a subsequence of whole. */
bool IsSubsequence(const Lines &part, const Lines &whole)
{
   size_t at = 0;
   for (const std::wstring &line : whole)
      if (at < part.size() && part[at] == line)
         at++;
   return at == part.size();
}

TEST(LineDiff, SmallCases)
{
   EXPECT_EQ(Diff(L"a\nb\nc\n", L"a\nc\n"), L"-b\n");
   EXPECT_EQ(Diff(L"a\n", L"a\nb\n"), L"+b\n");
   EXPECT_EQ(Diff(L"", L"x\ny\n"), L"+x\n+y\n");
   EXPECT_EQ(Diff(L"x\ny\n", L""), L"-x\n-y\n");
   EXPECT_EQ(Diff(L"a\nb\n", L"a\nB\n"), L"");
   EXPECT_EQ(Diff(L"a\nb\n", L"a\n\n\nb\n\n"), L"");
   EXPECT_EQ(Diff(L"same\ntext", L"same\ntext"), L"");
   EXPECT_EQ(Diff(L"", L""), L"");
   EXPECT_EQ(Diff(L"a\r\nb\r\n", L"a\r\n"), L"-b\r\n");
   // The last line without its line end is a line of its own.
   EXPECT_EQ(Diff(L"a\nb", L"a\nc"), L"-b\n+c\n");
}

TEST(LineDiff, ReportsWholeLinesOnly)
{
   // Once the short equality between the two changes is dropped, the removed and added
   // blocks start with "hello " and end with "\n" alike; still only whole lines come out.
   EXPECT_EQ(Diff(L"hello world\nX\nfoo\n", L"hello there\nX\nbar\n"),
             L"-hello world\n-X\n-foo\n+hello there\n+X\n+bar\n");
   EXPECT_EQ(Diff(L"abc\nabcd\n", L"abcd\nabc\n"), L"-abc\n+abc\n");
}

TEST(LineDiff, EachSideShowsItsOwnSpelling)
{
   // "A" and "a" are one line to the comparison, but the added line is shown as the
   // right text has it.
   EXPECT_EQ(Diff(L"A\nb\n", L"b\na\n"), L"-A\n+a\n");
}

/* Numbered, distinct lines. */
Lines NumberedLines(size_t count, const wchar_t *format)
{
   Lines lines;
   wchar_t buffer[64];
   for (size_t i = 0; i < count; i++)
   {
      qv_snwprintf(buffer, 64, format, static_cast<int>(i));
      lines.push_back(buffer);
   }
   return lines;
}

/* Applies the result back: the left text without its removed lines must be the right
 * text without its added lines (the lines are distinct, so each is found by its text). */
void ExpectAppliesBack(const Lines &left, const Lines &right, const Lines &removed, const Lines &added)
{
   std::set<std::wstring> removedSet(removed.begin(), removed.end());
   std::set<std::wstring> addedSet(added.begin(), added.end());
   Lines leftKept, rightKept;
   std::copy_if(left.begin(), left.end(), std::back_inserter(leftKept),
                [&](const std::wstring &l) { return removedSet.count(l) == 0; });
   std::copy_if(right.begin(), right.end(), std::back_inserter(rightKept),
                [&](const std::wstring &l) { return addedSet.count(l) == 0; });
   EXPECT_EQ(leftKept.size() + removed.size(), left.size());
   EXPECT_EQ(rightKept.size() + added.size(), right.size());
   EXPECT_TRUE(leftKept == rightKept);
}

TEST(LineDiff, TenThousandLinesWithScatteredEdits)
{
   const size_t LINES = 10000;
   Lines left = NumberedLines(LINES, L"line %d of the original text");
   Lines right;
   Lines expectedRemoved, expectedAdded;
   std::mt19937 random(14);
   // One edit in every block of 100 lines, at least two unchanged lines apart.
   std::set<size_t> edits;
   for (size_t block = 0; block < LINES / 100; block++)
      edits.insert(block * 100 + random() % 97);
   size_t n = 0;
   for (size_t i = 0; i < LINES; i++)
   {
      if (edits.count(i) == 0)
      {
         right.push_back(left[i]);
         continue;
      }
      std::wstring fresh = L"edit " + std::to_wstring(n) + L" at " + std::to_wstring(i);
      switch (n++ % 3)
      {
         case 0:  // replaced
            expectedRemoved.push_back(left[i]);
            expectedAdded.push_back(fresh);
            right.push_back(fresh);
            break;
         case 1:  // removed
            expectedRemoved.push_back(left[i]);
            break;
         default:  // added before it
            expectedAdded.push_back(fresh);
            right.push_back(fresh);
            right.push_back(left[i]);
            break;
      }
   }

   std::wstring result = Diff(JoinLines(left).c_str(), JoinLines(right).c_str());
   Lines removed, added;
   ReadResult(result, &removed, &added);
   EXPECT_TRUE(removed == expectedRemoved);
   EXPECT_TRUE(added == expectedAdded);
   ExpectAppliesBack(left, right, removed, added);
}

TEST(LineDiff, MoreDistinctLinesThanSixteenBitCodes)
{
   // Codes of 16 bits would make line k and line k + 65536 the same line.
   const size_t LINES = 70000;
   Lines left = NumberedLines(LINES, L"distinct line %d");
   Lines right = left;
   right[3] = L"changed early";
   right[65539] = L"changed late";
   right.erase(right.begin() + 69000);
   std::wstring result = Diff(JoinLines(left).c_str(), JoinLines(right).c_str());
   EXPECT_EQ(result, L"-distinct line 3\n+changed early\n-distinct line 65539\n+changed late\n-distinct line 69000\n");
}

TEST(LineDiff, RepetitiveTextsKeepOrderAndCounts)
{
   // Few distinct lines, many repeats and blank lines: the result cannot be checked line
   // by line, but every removed line must be a line of the left text in order, every
   // added one a line of the right, and what is left must balance.
   const wchar_t *vocabulary[] = {L"{", L"}", L"", L"return 0;", L"x = 1;", L"X = 1;", L"\r"};
   std::mt19937 random(7);
   for (int round = 0; round < 20; round++)
   {
      Lines left, right;
      for (int i = 0; i < 600; i++)
         left.push_back(vocabulary[random() % 7]);
      right = left;
      for (int e = 0; e < 40; e++)
      {
         size_t at = random() % right.size();
         switch (random() % 3)
         {
            case 0: right[at] = vocabulary[random() % 7]; break;
            case 1: right.erase(right.begin() + static_cast<ptrdiff_t>(at)); break;
            default: right.insert(right.begin() + static_cast<ptrdiff_t>(at), vocabulary[random() % 7]); break;
         }
      }
      Lines removed, added;
      ReadResult(Diff(JoinLines(left).c_str(), JoinLines(right).c_str()), &removed, &added);
      EXPECT_TRUE(IsSubsequence(removed, left)) << "round " << round;
      EXPECT_TRUE(IsSubsequence(added, right)) << "round " << round;
      auto shown = [](const Lines &lines) {
         return std::count_if(lines.begin(), lines.end(), [](const std::wstring &l) { return !l.empty(); });
      };
      EXPECT_EQ(shown(left) - static_cast<ptrdiff_t>(removed.size()),
                shown(right) - static_cast<ptrdiff_t>(added.size()))
          << "round " << round;
   }
}

}  // namespace
