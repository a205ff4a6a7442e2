/* Wildcard matching ("*" any run, "?" any one character) and POSIX extended regular
 * expressions through TRE, for wide and 8-bit text. */
#include <qv_strings.h>

#include "text/text_chars.h"

#include <tre/tre.h>

namespace {

using qv::text::FoldUpper;
using qv::text::TextLength;

constexpr char ANY_RUN = '*';
constexpr char ANY_CHAR = '?';

template <typename C> struct CharMatcher
{
   bool matchCase;

   bool operator()(C p, C t) const
   {
      if (p == ANY_CHAR || p == t)
         return true;
      return !matchCase && FoldUpper(p) == FoldUpper(t);
   }
};

/* True when the count pattern characters (no asterisks among them) match text. */
template <typename C> bool SegmentMatches(const C *pattern, const C *text, size_t count, CharMatcher<C> eq)
{
   for (size_t i = 0; i < count; i++)
   {
      if (!eq(pattern[i], text[i]))
         return false;
   }
   return true;
}

/* Earliest position in text[from, to) where the segment matches, or -1. */
template <typename C>
ptrdiff_t FindSegment(const C *segment, size_t length, const C *text, size_t from, size_t to, CharMatcher<C> eq)
{
   if (to < from || to - from < length)
      return -1;
   for (size_t at = from; at + length <= to; at++)
   {
      if (SegmentMatches(segment, text + at, length, eq))
         return static_cast<ptrdiff_t>(at);
   }
   return -1;
}

/* The pattern is a head before its first asterisk, a tail after its last one and segments
 * between them. Head and tail have fixed lengths and sit at the two ends of the text; each
 * middle segment then takes its earliest place in what is left, which matches whenever
 * any placement does (an earlier place leaves more room for the segments after it). */
template <typename C> bool Match(const C *pattern, const C *text, bool matchCase)
{
   if (pattern == nullptr || text == nullptr)
      return false;
   CharMatcher<C> eq{matchCase};

   // One pass over the pattern: where its first and last asterisks are.
   size_t patternLength = 0;
   size_t firstStar = SIZE_MAX, lastStar = 0;
   for (; pattern[patternLength] != 0; patternLength++)
   {
      if (pattern[patternLength] == ANY_RUN)
      {
         if (firstStar == SIZE_MAX)
            firstStar = patternLength;
         lastStar = patternLength;
      }
   }
   if (firstStar == SIZE_MAX)
   {
      // No asterisk: character for character, and both end together.
      size_t i = 0;
      for (; i < patternLength; i++)
      {
         if (text[i] == 0 || !eq(pattern[i], text[i]))
            return false;
      }
      return text[i] == 0;
   }

   for (size_t i = 0; i < firstStar; i++)
   {
      if (text[i] == 0 || !eq(pattern[i], text[i]))
         return false;
   }
   size_t tailLength = patternLength - lastStar - 1;
   bool hasMiddle = false;
   for (size_t p = firstStar + 1; p < lastStar && !hasMiddle; p++)
      hasMiddle = (pattern[p] != ANY_RUN);
   if (tailLength == 0 && !hasMiddle)
      return true;  // the head matched, and asterisks take the rest

   size_t textLength = firstStar + TextLength(text + firstStar);
   if (textLength < firstStar + tailLength)
      return false;
   size_t tailStart = textLength - tailLength;
   if (!SegmentMatches(pattern + lastStar + 1, text + tailStart, tailLength, eq))
      return false;

   size_t position = firstStar;
   size_t p = firstStar + 1;
   while (p < lastStar)
   {
      size_t end = p;
      while (pattern[end] != ANY_RUN)
         end++;
      if (end > p)
      {
         ptrdiff_t found = FindSegment(pattern + p, end - p, text, position, tailStart, eq);
         if (found < 0)
            return false;
         position = static_cast<size_t>(found) + (end - p);
      }
      p = end + 1;
   }
   return true;
}

/* Compile flags of RegexpMatch. */
int RegexpFlags(bool matchCase)
{
   return REG_EXTENDED | REG_NOSUB | (matchCase ? 0 : REG_ICASE);
}

}  // namespace

QV_API bool MatchStringW(const wchar_t *pattern, const wchar_t *text, bool matchCase)
{
   return Match(pattern, text, matchCase);
}

QV_API bool MatchStringA(const char *pattern, const char *text, bool matchCase)
{
   return Match(pattern, text, matchCase);
}

QV_API bool RegexpMatchW(const wchar_t *text, const wchar_t *pattern, bool matchCase)
{
   if (text == nullptr || pattern == nullptr)
      return false;
   regex_t compiled;
   if (tre_regwcomp(&compiled, pattern, RegexpFlags(matchCase)) != REG_OK)
      return false;
   bool matched = tre_regwexec(&compiled, text, 0, nullptr, 0) == REG_OK;
   tre_regfree(&compiled);
   return matched;
}

QV_API bool RegexpMatchA(const char *text, const char *pattern, bool matchCase)
{
   if (text == nullptr || pattern == nullptr)
      return false;
   regex_t compiled;
   if (tre_regcomp(&compiled, pattern, RegexpFlags(matchCase)) != REG_OK)
      return false;
   bool matched = tre_regexec(&compiled, text, 0, nullptr, 0) == REG_OK;
   tre_regfree(&compiled);
   return matched;
}
