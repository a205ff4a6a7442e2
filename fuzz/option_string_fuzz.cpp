/* Fuzz target for the named option readers. The first byte gives the buffer size (0 to
 * 255), the text up to the first line feed the option name, the rest the option string.
 * The 8-bit and wide forms must agree; a value found fits its buffer and has no blanks at
 * either end; the typed readers give their default exactly when the option is absent or
 * (for numbers) not a whole number. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <string>

namespace {

volatile int64_t g_sink;

/* Room the typed readers read a value into. */
constexpr int32_t TYPED_ROOM = 256;

bool IsBlank(wchar_t ch)
{
   return ch == L' ' || ch == L'\t';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   int32_t room = data[0];
   std::string rest = NarrowText(data + 1, size - 1);
   size_t newline = rest.find('\n');
   std::string name = rest.substr(0, newline);
   std::string options = (newline == std::string::npos) ? std::string() : rest.substr(newline + 1);
   HeapText<char> nameA(name), optionsA(options);
   HeapText<wchar_t> nameW(WideText(name)), optionsW(WideText(options));

   char *bufferA = static_cast<char *>(malloc(room > 0 ? room : 1));
   wchar_t *bufferW = static_cast<wchar_t *>(malloc((room > 0 ? room : 1) * sizeof(wchar_t)));
   bool foundA = ExtractNamedOptionValueA(optionsA.get(), nameA.get(), bufferA, room);
   bool foundW = ExtractNamedOptionValueW(optionsW.get(), nameW.get(), bufferW, room);
   Check(foundA == foundW);
   if (foundA)
   {
      size_t length = strlen(bufferA);
      Check(length < static_cast<size_t>(room));
      Check(WideText(bufferA) == bufferW);
      Check(length == 0 || (!IsBlank(bufferW[0]) && !IsBlank(bufferW[length - 1])));
   }
   free(bufferA);
   free(bufferW);

   // The typed readers see at most 255 characters of the value.
   wchar_t value[TYPED_ROOM];
   bool present = ExtractNamedOptionValueW(optionsW.get(), nameW.get(), value, TYPED_ROOM);
   const int32_t INT_DEFAULT = -12345;
   int32_t number = ExtractNamedOptionValueAsIntW(optionsW.get(), nameW.get(), INT_DEFAULT);
   Check(number == ExtractNamedOptionValueAsIntA(optionsA.get(), nameA.get(), INT_DEFAULT));
   wchar_t *end = nullptr;
   if (!present)
      Check(number == INT_DEFAULT);
   else if (wcstol(value, &end, 0), *end != 0)
      Check(number == INT_DEFAULT);
   uint32_t unsignedNumber = ExtractNamedOptionValueAsUIntA(optionsA.get(), nameA.get(), 7);
   Check(unsignedNumber == ExtractNamedOptionValueAsUIntW(optionsW.get(), nameW.get(), 7));
   uint64_t wide = ExtractNamedOptionValueAsUInt64A(optionsA.get(), nameA.get(), 9);
   Check(wide == ExtractNamedOptionValueAsUInt64W(optionsW.get(), nameW.get(), 9));
   bool flag = ExtractNamedOptionValueAsBoolW(optionsW.get(), nameW.get(), true);
   Check(flag == ExtractNamedOptionValueAsBoolA(optionsA.get(), nameA.get(), true));
   Check(present || flag);
   g_sink = number + unsignedNumber + static_cast<int64_t>(wide) + flag;
   return 0;
}
