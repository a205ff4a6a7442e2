// The library's wide printf against glibc's swprintf on a typical log line.
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <wchar.h>

namespace {

constexpr size_t LINE_BUFFER = 1024;

void BM_QorvelFormatLogLine(benchmark::State &state)
{
   wchar_t buffer[LINE_BUFFER];
   for (auto _ : state)
   {
      int n = qv_snwprintf(buffer, LINE_BUFFER, L"SocketListener/%s: connection from %s:%d accepted (%I64u bytes, %hs)",
                           L"AgentListener", L"192.168.10.23", 4700, static_cast<uint64_t>(123456789), "tls");
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(buffer);
   }
}
BENCHMARK(BM_QorvelFormatLogLine);

void BM_GlibcSwprintfLogLine(benchmark::State &state)
{
   wchar_t buffer[LINE_BUFFER];
   for (auto _ : state)
   {
      int n = swprintf(buffer, LINE_BUFFER, L"SocketListener/%ls: connection from %ls:%d accepted (%llu bytes, %s)",
                       L"AgentListener", L"192.168.10.23", 4700, 123456789ULL, "tls");
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(buffer);
   }
}
BENCHMARK(BM_GlibcSwprintfLogLine);

void BM_QorvelMeasureAndFormat(benchmark::State &state)
{
   for (auto _ : state)
   {
      wchar_t *text = qv_aswprintf(L"%s %d %08X %s", L"value", -17, 0xBEEFu, L"a somewhat longer trailing text");
      benchmark::DoNotOptimize(text);
      free(text);
   }
}
BENCHMARK(BM_QorvelMeasureAndFormat);

}  // namespace
