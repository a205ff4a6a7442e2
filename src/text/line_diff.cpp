/* GenerateLineDiff: the lines removed from and added to a text, as "-line" and "+line". Each
 * distinct line (without regard to case) becomes one 32-bit unit, the engine compares the
 * unit sequences, and the result is read back through the lines of each side. */
#include <qv_strings.h>

#include "text/diff_engine.h"
#include "text/text_chars.h"

#include <wctype.h>

#include <vector>

namespace {

using qv::text::Diff;
using qv::text::DiffList;
using qv::text::DiffText;
using qv::text::DiffUnitModel;

/* One line of a text: its characters, the "\n" that ends it included when there is one. */
struct Line
{
   const wchar_t *text;
   size_t length;
};

/* The character compared in place of ch: its upper-case form. */
inline wchar_t Folded(wchar_t ch)
{
   return qv::text::FoldUpper(ch);
}

/* A multiplicative hash over the folded characters, two to a 64-bit step to halve the
 * chain of multiplications. */
constexpr uint64_t HASH_SEED = 0xcbf29ce484222325ull;
constexpr uint64_t HASH_MULTIPLIER = 0x9E3779B97F4A7C15ull;

uint64_t HashLine(const Line &line)
{
   uint64_t h = HASH_SEED ^ line.length;
   size_t i = 0;
   for (; i + 1 < line.length; i += 2)
   {
      uint64_t pair = static_cast<uint64_t>(static_cast<uint32_t>(Folded(line.text[i]))) << 32 |
                      static_cast<uint32_t>(Folded(line.text[i + 1]));
      h = (h ^ pair) * HASH_MULTIPLIER;
      h ^= h >> 32;
   }
   if (i < line.length)
      h = (h ^ static_cast<uint32_t>(Folded(line.text[i]))) * HASH_MULTIPLIER;
   return h ^ (h >> 29);
}

bool SameLine(const Line &a, const Line &b)
{
   if (a.length != b.length)
      return false;
   if (wmemcmp(a.text, b.text, a.length) == 0)
      return true;
   for (size_t i = 0; i < a.length; i++)
   {
      if (Folded(a.text[i]) != Folded(b.text[i]))
         return false;
   }
   return true;
}

/* Number of lines of text[0, length): its line feeds, and one more for a last line
 * without one. */
size_t CountLines(const wchar_t *text, size_t length)
{
   size_t count = 0;
   for (const wchar_t *p = text, *end = text + length; p < end; p++)
   {
      p = wmemchr(p, L'\n', static_cast<size_t>(end - p));
      if (p == nullptr)
         return count + 1;
      count++;
   }
   return count;
}

/* The distinct lines of both texts, numbered in the order they are first met; lines that
 * differ only in case are one line. Code 0 is kept free, so the first line is 1. Sized
 * once for all the lines it will see: large blocks that grow step by step cost a copy
 * and fresh pages at every step. */
class LineTable
{
public:
   explicit LineTable(size_t lines) : m_slots(SlotsFor(lines), EMPTY_SLOT)
   {
      m_lines.reserve(lines + 1);
      m_lines.push_back(Line{L"", 0});
   }

   /* The codes of the lines of text[0, length), whose lines are appended to *lines. */
   DiffText encode(const wchar_t *text, size_t length, std::vector<Line> *lines)
   {
      DiffText codes;
      size_t count = CountLines(text, length);
      codes.reserve(count);
      lines->reserve(lines->size() + count);
      size_t start = 0;
      while (start < length)
      {
         const wchar_t *newline = wmemchr(text + start, L'\n', length - start);
         size_t end = (newline != nullptr) ? static_cast<size_t>(newline - text) + 1 : length;
         Line line{text + start, end - start};
         lines->push_back(line);
         codes.push_back(codeOf(line));
         start = end;
      }
      return codes;
   }

   /* The spelling of a code met first. */
   const Line &line(char32_t code) const { return m_lines[code]; }

private:
   // A slot holds a code in its low half and the high half of the line's hash in its high
   // half, so most probes are decided without touching the lines.
   static constexpr uint64_t EMPTY_SLOT = 0;  // code 0 is never given out
   static constexpr uint64_t CODE_MASK = 0xFFFFFFFFull;
   static constexpr size_t MIN_SLOTS = 16;

   std::vector<Line> m_lines;      // by code
   std::vector<uint64_t> m_slots;  // open addressing, a power of two long

   /* At least twice the lines, so the table is at most half full and probes stay short. */
   static size_t SlotsFor(size_t lines)
   {
      size_t slots = MIN_SLOTS;
      while (slots < 2 * (lines + 1))
         slots *= 2;
      return slots;
   }

   static uint64_t Tag(uint64_t hash) { return hash & ~CODE_MASK; }

   char32_t codeOf(const Line &line)
   {
      uint64_t hash = HashLine(line);
      size_t mask = m_slots.size() - 1;
      size_t slot = static_cast<size_t>(hash) & mask;
      while (m_slots[slot] != EMPTY_SLOT)
      {
         uint64_t entry = m_slots[slot];
         char32_t code = static_cast<char32_t>(entry & CODE_MASK);
         if (Tag(entry) == Tag(hash) && SameLine(m_lines[code], line))
            return code;
         slot = (slot + 1) & mask;
      }
      uint32_t code = static_cast<uint32_t>(m_lines.size());
      m_lines.push_back(line);
      m_slots[slot] = Tag(hash) | code;
      return code;
   }
};

/* Lines as the semantic cleanup sees them: lengths in characters, so that it weighs
 * edits and equalities as a character-level pass would, and boundary scores taken from
 * the characters on both sides: blank lines best, then line breaks. */
class LineModel : public DiffUnitModel
{
public:
   explicit LineModel(const LineTable &table) : m_table(table) {}

   size_t length(const char32_t *units, size_t count) const override
   {
      size_t characters = 0;
      for (size_t i = 0; i < count; i++)
         characters += m_table.line(units[i]).length;
      return characters;
   }

   int boundaryScore(const char32_t *one, size_t oneLength, const char32_t *two, size_t twoLength) const override
   {
      // The last three characters of one and the first four of two decide.
      wchar_t tail[3];
      size_t tailCount = 0;
      for (size_t i = oneLength; i > 0 && tailCount < 3; i--)
      {
         const Line &line = m_table.line(one[i - 1]);
         for (size_t k = line.length; k > 0 && tailCount < 3; k--)
            tail[2 - tailCount++] = line.text[k - 1];
      }
      wchar_t head[4];
      size_t headCount = 0;
      for (size_t i = 0; i < twoLength && headCount < 4; i++)
      {
         const Line &line = m_table.line(two[i]);
         for (size_t k = 0; k < line.length && headCount < 4; k++)
            head[headCount++] = line.text[k];
      }
      if (tailCount == 0 || headCount == 0)
         return END_SCORE;
      const wchar_t *end = tail + 3;  // tail holds its characters at the end
      wchar_t char1 = end[-1];
      wchar_t char2 = head[0];
      bool nonAlphanumeric1 = !IsAsciiAlphanumeric(char1);
      bool nonAlphanumeric2 = !IsAsciiAlphanumeric(char2);
      bool whitespace1 = nonAlphanumeric1 && iswspace(static_cast<wint_t>(char1));
      bool whitespace2 = nonAlphanumeric2 && iswspace(static_cast<wint_t>(char2));
      bool lineBreak1 = whitespace1 && (char1 == '\r' || char1 == '\n');
      bool lineBreak2 = whitespace2 && (char2 == '\r' || char2 == '\n');
      bool blankLine1 = lineBreak1 && EndsWithBlankLine(end - tailCount, tailCount);
      bool blankLine2 = lineBreak2 && StartsWithBlankLine(head, headCount);
      if (blankLine1 || blankLine2)
         return 5;
      if (lineBreak1 || lineBreak2)
         return 4;
      if (nonAlphanumeric1 && !whitespace1 && whitespace2)
         return 3;
      if (whitespace1 || whitespace2)
         return 2;
      if (nonAlphanumeric1 || nonAlphanumeric2)
         return 1;
      return 0;
   }

private:
   static constexpr int END_SCORE = 6;

   const LineTable &m_table;

   static bool IsAsciiAlphanumeric(wchar_t ch)
   {
      return (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
   }

   /* Ends with "\n\n" or "\n\r\n". */
   static bool EndsWithBlankLine(const wchar_t *chars, size_t count)
   {
      if (count >= 2 && chars[count - 1] == '\n' && chars[count - 2] == '\n')
         return true;
      return count >= 3 && chars[count - 1] == '\n' && chars[count - 2] == '\r' && chars[count - 3] == '\n';
   }

   /* Starts with "\r?\n\r?\n". */
   static bool StartsWithBlankLine(const wchar_t *chars, size_t count)
   {
      size_t i = 0;
      for (int lineEnd = 0; lineEnd < 2; lineEnd++)
      {
         if (i < count && chars[i] == '\r')
            i++;
         if (i >= count || chars[i] != '\n')
            return false;
         i++;
      }
      return true;
   }
};

/* The text of a line as it is shown: without its "\n" (a "\r" before it stays). */
size_t ShownLength(const Line &line)
{
   return (line.length > 0 && line.text[line.length - 1] == '\n') ? line.length - 1 : line.length;
}

/* Walks the differences with a position in each side's lines and calls emit(sign, line)
 * for every removed and added line, each read from its own side. */
template <typename F>
void ForEachChangedLine(const DiffList &diffs, const std::vector<Line> &left, const std::vector<Line> &right, F emit)
{
   size_t leftAt = 0, rightAt = 0;
   for (const Diff &d : diffs)
   {
      size_t n = d.text.size();
      if (d.operation != qv::text::DIFF_INSERT)
      {
         for (size_t k = 0; d.operation == qv::text::DIFF_DELETE && k < n && leftAt + k < left.size(); k++)
            emit(L'-', left[leftAt + k]);
         leftAt += n;
      }
      if (d.operation != qv::text::DIFF_DELETE)
      {
         for (size_t k = 0; d.operation == qv::text::DIFF_INSERT && k < n && rightAt + k < right.size(); k++)
            emit(L'+', right[rightAt + k]);
         rightAt += n;
      }
   }
}

}  // namespace

QV_EXPORT String GenerateLineDiff(const String &left, const String &right)
{
   LineTable table(CountLines(left, left.length()) + CountLines(right, right.length()));
   std::vector<Line> leftLines, rightLines;
   DiffText leftCodes = table.encode(left, left.length(), &leftLines);
   DiffText rightCodes = table.encode(right, right.length(), &rightLines);

   DiffList diffs = qv::text::DiffMain(leftCodes, rightCodes, qv::text::LINE_DIFF_SETTINGS);
   // The cleanup works on lines, so every edit it keeps is made of whole lines.
   qv::text::DiffCleanupSemantic(diffs, LineModel(table));

   size_t size = 0;
   ForEachChangedLine(diffs, leftLines, rightLines, [&size](wchar_t, const Line &line) {
      size_t length = ShownLength(line);
      if (length > 0)
         size += length + 2;
   });
   String result;
   if (size == 0)
      return result;
   // The string grows by its allocation step: one step that holds everything.
   result.setAllocationStep(size + 1);
   ForEachChangedLine(diffs, leftLines, rightLines, [&result](wchar_t sign, const Line &line) {
      size_t length = ShownLength(line);
      if (length == 0)
         return;
      result.append(sign);
      result.append(line.text, length);
      result.append(L'\n');
   });
   result.setAllocationStep(String::DEFAULT_ALLOCATION_STEP);
   return result;
}
