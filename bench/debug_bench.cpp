/* Debug calls whose level is not in force, against spdlog's call at a level below the
 * logger's: untagged and tagged ("a.b.c"), with no tags set, with a tag set below the
 * message's level (the highest level in force decides at once), and with a tag set above
 * it (the tree is walked), on one thread and on two. Enabled calls that reach a no-op
 * writer (qvlog) or a null sink (spdlog) are shown for scale. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/spdlog.h>

#include <memory>

namespace {

/* Level of the disabled messages. */
constexpr int32_t MESSAGE_LEVEL = 7;

enum Tags
{
   NO_TAGS,    // default level 0, no tags
   TAG_BELOW,  // "a.b" at 5: below the message, so nothing is in force at 7
   TAG_ABOVE,  // "a.b" at 9 (its own level only, so "a.b.c" falls back to 0): a walk decides
   MESSAGE_ON  // the message passes: "a.b.c" and the default level at 9
};

void SetTags(Tags tags)
{
   qvlog_reset_debug_level_tags();
   qvlog_set_debug_writer(nullptr);
   switch (tags)
   {
      case NO_TAGS: break;
      case TAG_BELOW: qvlog_set_debug_level_tag(L"a.b", 5); break;
      case TAG_ABOVE: qvlog_set_debug_level_tag(L"a.b", 9); break;
      case MESSAGE_ON:
         qvlog_set_debug_level(9);
         qvlog_set_debug_level_tag(L"a.b.c", 9);
         qvlog_set_debug_writer([](const wchar_t *, const wchar_t *message) { benchmark::DoNotOptimize(message); });
         break;
   }
}

void CallUntagged(int value)
{
   qvlog_debug(MESSAGE_LEVEL, L"value %d", value);
}

void CallTagged(int value)
{
   qvlog_debug_tag(L"a.b.c", MESSAGE_LEVEL, L"value %d", value);
}

void CallObject(int value)
{
   qvlog_debug_tag_object(L"a.b", 42, MESSAGE_LEVEL, L"value %d", value);
}

void BM_Qvlog(benchmark::State &state, Tags tags, void (*call)(int value))
{
   if (state.thread_index() == 0)
      SetTags(tags);
   int value = 0;
   for (auto _ : state)
      call(value++);
   if (state.thread_index() == 0)
      SetTags(NO_TAGS);
}

/* A logger at level info with a null sink, held as a pointer, as callers hold loggers. */
std::shared_ptr<spdlog::logger> SpdlogLogger(spdlog::level::level_enum level)
{
   auto logger = std::make_shared<spdlog::logger>("bench", std::make_shared<spdlog::sinks::null_sink_mt>());
   logger->set_level(level);
   return logger;
}

void BM_SpdlogLogger(benchmark::State &state, bool enabled)
{
   static std::shared_ptr<spdlog::logger> off = SpdlogLogger(spdlog::level::info);
   static std::shared_ptr<spdlog::logger> on = SpdlogLogger(spdlog::level::trace);
   spdlog::logger *logger = enabled ? on.get() : off.get();
   int value = 0;
   for (auto _ : state)
      logger->debug("value {}", value++);
}

/* The free function through the default logger. */
void BM_SpdlogDefault(benchmark::State &state)
{
   if (state.thread_index() == 0)
      spdlog::set_level(spdlog::level::info);
   int value = 0;
   for (auto _ : state)
      spdlog::debug("value {}", value++);
}

}  // namespace

BENCHMARK_CAPTURE(BM_Qvlog, untagged, NO_TAGS, CallUntagged)->Name("Disabled/qvlog_debug/no_tags");
BENCHMARK_CAPTURE(BM_Qvlog, tagged, NO_TAGS, CallTagged)->Name("Disabled/qvlog_debug_tag/no_tags");
BENCHMARK_CAPTURE(BM_Qvlog, untagged, TAG_BELOW, CallUntagged)->Name("Disabled/qvlog_debug/tag_below");
BENCHMARK_CAPTURE(BM_Qvlog, tagged, TAG_BELOW, CallTagged)->Name("Disabled/qvlog_debug_tag/tag_below");
BENCHMARK_CAPTURE(BM_Qvlog, untagged, TAG_ABOVE, CallUntagged)->Name("Disabled/qvlog_debug/tag_above");
BENCHMARK_CAPTURE(BM_Qvlog, tagged, TAG_ABOVE, CallTagged)->Name("Disabled/qvlog_debug_tag/tag_above_walk");
BENCHMARK_CAPTURE(BM_Qvlog, object, TAG_ABOVE, CallObject)->Name("Disabled/qvlog_debug_tag_object/tag_above_walk");
BENCHMARK_CAPTURE(BM_Qvlog, tagged, TAG_ABOVE, CallTagged)
    ->Name("Disabled/qvlog_debug_tag/tag_above_walk")
    ->Threads(2)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_SpdlogLogger, off, false)->Name("Disabled/spdlog_logger");
BENCHMARK(BM_SpdlogDefault)->Name("Disabled/spdlog_default_logger");
BENCHMARK(BM_SpdlogDefault)->Name("Disabled/spdlog_default_logger")->Threads(2)->UseRealTime();
BENCHMARK_CAPTURE(BM_Qvlog, tagged, MESSAGE_ON, CallTagged)->Name("Enabled/qvlog_debug_tag_to_noop_writer");
BENCHMARK_CAPTURE(BM_SpdlogLogger, on, true)->Name("Enabled/spdlog_logger_to_null_sink");
