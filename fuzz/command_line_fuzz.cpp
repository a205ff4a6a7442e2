/* Fuzz target for ParseCommandLine. The input's bytes (each one character, up to the first
 * zero) are split into arguments. Arguments never hold more characters than the line, nor
 * an unquoted space; without quotes in the line they are exactly its space-separated
 * words. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <string>
#include <vector>

namespace {

volatile size_t g_sink;

std::vector<std::wstring> Words(const std::wstring &line)
{
   std::vector<std::wstring> words;
   size_t start = 0;
   while (start <= line.size())
   {
      size_t end = line.find(L' ', start);
      if (end == std::wstring::npos)
         end = line.size();
      if (end > start)
         words.push_back(line.substr(start, end - start));
      start = end + 1;
   }
   return words;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::wstring line = WideText(NarrowText(data, size));
   HeapText<wchar_t> text(line);
   StringList *arguments = ParseCommandLine(text.get());
   Check(arguments != nullptr);
   bool quoted = line.find_first_of(L"\"'") != std::wstring::npos;
   size_t characters = 0;
   std::vector<std::wstring> got;
   for (int32_t i = 0; i < arguments->size(); i++)
   {
      const wchar_t *argument = arguments->get(i);
      Check(argument != nullptr);
      characters += wcslen(argument);
      got.push_back(argument);
   }
   Check(characters <= line.size());
   Check(static_cast<size_t>(arguments->size()) <= line.size() / 2 + 1);
   if (!quoted)
      Check(got == Words(line));
   g_sink = characters;
   delete arguments;
   return 0;
}
