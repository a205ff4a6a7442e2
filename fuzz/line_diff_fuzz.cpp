/* Fuzz target for the line diff. The bytes up to the first zero are the left text, the
 * rest the right text (each byte one character). Every line of the result is "-" or "+"
 * and a whole line of its side; the removed lines come in the order of the left text, the
 * added ones in that of the right; and what stays balances: the shown lines of each side
 * less those removed or added are the same in number. Identical texts give nothing. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <string>
#include <vector>

namespace {

volatile size_t g_sink;

typedef std::vector<std::wstring> Lines;

/* The lines of a text without their line feeds. */
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

bool IsSubsequence(const Lines &part, const Lines &whole)
{
   size_t at = 0;
   for (const std::wstring &line : whole)
      if (at < part.size() && part[at] == line)
         at++;
   return at == part.size();
}

size_t Shown(const Lines &lines)
{
   size_t n = 0;
   for (const std::wstring &line : lines)
      n += !line.empty();
   return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string leftBytes = NarrowText(data, size);
   size_t rightStart = (leftBytes.size() < size) ? leftBytes.size() + 1 : size;
   std::string rightBytes = NarrowText(data + rightStart, size - rightStart);
   std::wstring leftText = WideText(leftBytes), rightText = WideText(rightBytes);
   HeapText<wchar_t> leftHeap(leftText), rightHeap(rightText);

   String result = GenerateLineDiff(String(leftHeap.get()), String(rightHeap.get()));
   std::wstring output(result);
   Check(output.empty() || output.back() == L'\n');
   Lines removed, added;
   for (const std::wstring &line : SplitLines(output))
   {
      Check(line.size() >= 2 && (line[0] == L'-' || line[0] == L'+'));
      (line[0] == L'-' ? removed : added).push_back(line.substr(1));
   }
   Lines left = SplitLines(leftText), right = SplitLines(rightText);
   Check(IsSubsequence(removed, left));
   Check(IsSubsequence(added, right));
   Check(Shown(left) - removed.size() == Shown(right) - added.size());
   if (leftText == rightText)
      Check(output.empty());
   g_sink = output.size();
   return 0;
}
