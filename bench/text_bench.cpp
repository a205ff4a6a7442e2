/* Text utilities beside their usual peers: MatchString beside the C library's fnmatch on
 * typical patterns, and GenerateLineDiff beside libgit2's line diff of two buffers. */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <git2.h>

#include <random>
#include <string>
#include <vector>

namespace {

/* Names matched against each pattern: log files, other files, and near misses. */
const char *const NAMES[] = {
    "server.log",      "agent-2024-05-01.log",
    "abc_config_def1", "abcXYZdef9",
    "readme.txt",      "core.dump",
    "abcdefg",         "system.LOG.old",
    "a/b/c/trace.log", "abc-long-middle-defX",
    "defabc",          "abc.def",
    "monitor.log.1",   "abcdef",
    "x.log",           "abc__def__def_",
};
constexpr size_t NAME_COUNT = sizeof(NAMES) / sizeof(NAMES[0]);

const char *const PATTERNS[] = {"*.log", "abc*def?", "*"};

void BM_MatchStringA(benchmark::State &state)
{
   const char *pattern = PATTERNS[state.range(0)];
   state.SetLabel(pattern);
   for (auto _ : state)
   {
      int matches = 0;
      for (const char *name : NAMES)
         matches += MatchStringA(pattern, name, true);
      benchmark::DoNotOptimize(matches);
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * NAME_COUNT));
}

void BM_Fnmatch(benchmark::State &state)
{
   const char *pattern = PATTERNS[state.range(0)];
   state.SetLabel(pattern);
   for (auto _ : state)
   {
      int matches = 0;
      for (const char *name : NAMES)
         matches += (fnmatch(pattern, name, 0) == 0);
      benchmark::DoNotOptimize(matches);
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * NAME_COUNT));
}

BENCHMARK(BM_MatchStringA)->DenseRange(0, 2);
BENCHMARK(BM_Fnmatch)->DenseRange(0, 2);

/* Two texts of 10 000 lines, the second with 1% of the lines replaced at random places. */
struct DiffTexts
{
   std::string left, right;

   DiffTexts()
   {
      const int LINES = 10000;
      std::mt19937 random(31);
      std::vector<std::string> lines;
      for (int i = 0; i < LINES; i++)
         lines.push_back("    value_" + std::to_string(i) + " = compute(" + std::to_string(random() % 100000) +
                         ", \"item\");");
      for (const std::string &line : lines)
         left += line + "\n";
      for (int n = 0; n < LINES / 100; n++)
         lines[random() % LINES] = "    changed_" + std::to_string(n) + " = other();";
      for (const std::string &line : lines)
         right += line + "\n";
   }
};

const DiffTexts &Texts()
{
   static const DiffTexts texts;
   return texts;
}

void BM_GenerateLineDiff(benchmark::State &state)
{
   wchar_t *left = WideStringFromUTF8String(Texts().left.c_str());
   wchar_t *right = WideStringFromUTF8String(Texts().right.c_str());
   String a(left), b(right);
   free(left);
   free(right);
   size_t lines = 0;
   for (auto _ : state)
   {
      String diff = GenerateLineDiff(a, b);
      lines = diff.length();
      benchmark::DoNotOptimize(diff.getBuffer());
   }
   state.counters["output"] = static_cast<double>(lines);
}

int CountLine(const git_diff_delta *, const git_diff_hunk *, const git_diff_line *line, void *payload)
{
   if (line->origin == GIT_DIFF_LINE_ADDITION || line->origin == GIT_DIFF_LINE_DELETION)
      ++*static_cast<size_t *>(payload);
   return 0;
}

void BM_GitDiffBuffers(benchmark::State &state)
{
   git_libgit2_init();
   const std::string &left = Texts().left;
   const std::string &right = Texts().right;
   git_diff_options options = GIT_DIFF_OPTIONS_INIT;
   options.context_lines = 0;
   size_t changed = 0;
   for (auto _ : state)
   {
      changed = 0;
      git_diff_buffers(left.data(), left.size(), "a", right.data(), right.size(), "b", &options, nullptr, nullptr,
                       nullptr, CountLine, &changed);
      benchmark::DoNotOptimize(changed);
   }
   state.counters["changed"] = static_cast<double>(changed);
   git_libgit2_shutdown();
}

BENCHMARK(BM_GenerateLineDiff)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GitDiffBuffers)->Unit(benchmark::kMicrosecond);

}  // namespace
