/* Fuzz target for the INI loader: the input is the file. Every entry loaded must be found
 * again by its path, and the tree must print and write itself as XML. */
#include "config_fuzz_input.h"

namespace {

volatile size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::wstring file = qvfuzz::InputFile(data, size, ".ini");
   Config config(true);
   config.setAlias(L"db", L"database");
   bool ok = config.loadIniConfig(file.c_str(), L"main", false);
   qvfuzz::Check(ok == (config.getErrorCount() == 0));
   qvfuzz::Check(config.getErrorRecordCount() <= config.getErrorCount());
   g_sink = qvfuzz::CheckPaths(config, config.getEntry(L"/"), L"");
   String xml = config.createXml();
   g_sink += xml.length();
   FILE *null = fopen("/dev/null", "w");
   config.print(null);
   fclose(null);
   qvfuzz::RemoveInputFile(file);
   return 0;
}
