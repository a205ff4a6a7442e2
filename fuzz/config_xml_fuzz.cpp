/* Fuzz target for the XML loader: the input is the document. Whatever loaded must be found
 * again by its paths, and the tree's own XML form must load without error. */
#include "config_fuzz_input.h"

#include <string.h>

namespace {

volatile size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   // The loader takes a signed 32-bit length.
   if (size > 1000000)
      return 0;
   Config config(true);
   config.setTopLevelTag(L"config");
   bool ok = config.loadXmlConfigFromMemory(reinterpret_cast<const char *>(data), static_cast<int32_t>(size),
                                            L"fuzz.xml", "config", true);
   qvfuzz::Check(ok == (config.getErrorCount() == 0));
   g_sink = qvfuzz::CheckPaths(config, config.getEntry(L"/"), L"");

   String xml = config.createXml();
   char *utf8 = UTF8StringFromWideString(xml);
   qvfuzz::Check(utf8 != nullptr);
   Config again(false);
   qvfuzz::Check(again.loadXmlConfigFromMemory(utf8, -1, L"again.xml", "config", true));
   g_sink += strlen(utf8);
   free(utf8);

   // The same bytes through the file loader.
   std::wstring file = qvfuzz::InputFile(data, size, ".xml");
   Config fromFile(true);
   qvfuzz::Check(fromFile.loadXmlConfig(file.c_str(), "config") == ok);
   qvfuzz::RemoveInputFile(file);
   return 0;
}
