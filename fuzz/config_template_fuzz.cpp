/* Fuzz target for parseTemplate: the first byte sizes the text buffers (1 to 16), the rest
 * is an INI file whose section "s" feeds a template of every type. Buffers sit in blocks of
 * exactly their size, so a write past them is caught. */
#include "config_fuzz_input.h"

#include <string.h>

namespace {

volatile uint64_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   size_t bufferSize = 1 + data[0] % 16;
   std::wstring file = qvfuzz::InputFile(data + 1, size - 1, ".ini");
   Config config(true);
   config.loadConfig(file.c_str(), L"s", true);
   qvfuzz::RemoveInputFile(file);

   int32_t i32 = 0, preset = -1;
   uint16_t u16 = 0;
   wchar_t *wide = static_cast<wchar_t *>(malloc(bufferSize * sizeof(wchar_t)));
   char *narrow = static_cast<char *>(malloc(bufferSize));
   wide[0] = 0;
   narrow[0] = 0;
   wchar_t *list = nullptr;
   uint32_t flags = 0;
   uint64_t flags64 = 0, bytes = 0, decimal = 0;
   QV_CFG_TEMPLATE t[] = {
       {L"i", CFG_TYPE_INT32, 0, 0, 0, &i32, &preset},
       {L"u", CFG_TYPE_UINT16, 0, 0, 0, &u16, nullptr},
       {L"w", CFG_TYPE_STRING, 0, bufferSize, 0, wide, wide},
       {L"n", CFG_TYPE_MB_STRING, 0, bufferSize, 0, narrow, narrow},
       {L"l", CFG_TYPE_STRING_LIST, ';', 0, 0, &list, nullptr},
       {L"f", CFG_TYPE_FLAG32, 0, 0x5, 0, &flags, nullptr},
       {L"g", CFG_TYPE_FLAG64, 0, 0x5ULL << 40, 0, &flags64, nullptr},
       {L"b", CFG_TYPE_BYTES, 0, 0, 0, &bytes, nullptr},
       {L"d", CFG_TYPE_DECIMAL_UNITS, 0, 0, 0, &decimal, nullptr},
       {L"x", CFG_TYPE_IGNORED, 0, 0, 0, nullptr, nullptr},
       {L"", CFG_TYPE_END, 0, 0, 0, nullptr, nullptr},
   };
   int32_t before = config.getErrorCount();
   bool ok = config.parseTemplate(L"s", t);
   qvfuzz::Check(ok == (config.getErrorCount() == before));
   qvfuzz::Check(wcslen(wide) < bufferSize && strlen(narrow) < bufferSize);
   qvfuzz::Check((flags & ~0x5u) == 0);
   if (list != nullptr)
   {
      ConfigEntry *e = config.getEntry(L"/s/l");
      qvfuzz::Check(e != nullptr && wcslen(list) == static_cast<size_t>(e->getConcatenatedValuesLength()));
      g_sink = wcslen(list);
      free(list);
   }
   g_sink += static_cast<uint64_t>(i32) + u16 + flags64 + bytes + decimal;
   free(wide);
   free(narrow);
   return 0;
}
