/* Fuzz target for the wildcard matcher. The bytes up to the first zero are the pattern,
 * the rest (up to the next zero) the text. The matcher must agree with a plain dynamic
 * programme over the two, in both widths and with case folded on both sides when case
 * does not matter. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <ctype.h>

#include <string>
#include <vector>

namespace {

volatile int g_sink;

/* Pattern and text sizes whose product stays below this are checked against the
 * programme, which takes time and room in proportion to it. */
constexpr size_t MAX_TABLE = 1 << 22;

/* matches[i][j]: the first i pattern characters match the first j text characters. */
bool Reference(const std::string &p, const std::string &t)
{
   std::vector<std::vector<char>> matches(p.size() + 1, std::vector<char>(t.size() + 1, 0));
   matches[0][0] = 1;
   for (size_t i = 1; i <= p.size(); i++)
   {
      for (size_t j = 0; j <= t.size(); j++)
      {
         if (p[i - 1] == '*')
            matches[i][j] = matches[i - 1][j] || (j > 0 && matches[i][j - 1]);
         else
            matches[i][j] = j > 0 && matches[i - 1][j - 1] && (p[i - 1] == '?' || p[i - 1] == t[j - 1]);
      }
   }
   return matches[p.size()][t.size()] != 0;
}

std::string Upper(std::string s)
{
   for (char &c : s)
      c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
   return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string pattern = NarrowText(data, size);
   size_t textStart = (pattern.size() < size) ? pattern.size() + 1 : size;
   std::string text = NarrowText(data + textStart, size - textStart);
   HeapText<char> p(pattern), t(text);
   HeapText<wchar_t> pw(WideText(pattern)), tw(WideText(text));

   bool exact = MatchStringA(p.get(), t.get(), true);
   bool folded = MatchStringA(p.get(), t.get(), false);
   Check(exact == MatchStringW(pw.get(), tw.get(), true));
   Check(folded == MatchStringW(pw.get(), tw.get(), false));
   Check(!exact || folded);
   if ((pattern.size() + 1) * (text.size() + 1) <= MAX_TABLE)
   {
      Check(exact == Reference(pattern, text));
      Check(folded == Reference(Upper(pattern), Upper(text)));
   }
   g_sink = exact + 2 * folded;
   return 0;
}
