/* The log writer against spdlog: 100-character lines to a file, written directly and
 * through a background writer (the caller's cost alone, and end to end until the data is
 * in the file at close), and two threads writing at once in background mode. The direct
 * log flushes every line, so it is shown beside spdlog's basic file sink both as that sink
 * comes (buffered) and flushing every line. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t MSG_DEBUG = 1;
constexpr uint32_t MSG_DEBUG_TAGGED = 2;
constexpr uint32_t MSG_GENERIC = 3;

const QVLOG_MESSAGE_TEXT MESSAGES[] = {{MSG_DEBUG, L"%1"}, {MSG_DEBUG_TAGGED, L"[%1] %2"}, {MSG_GENERIC, L"%1"}};

/* Lines per iteration of the end-to-end cases (and per thread in the two-thread case). */
constexpr int BATCH_LINES = 200000;

/* spdlog's queue: its default size, one worker thread. */
constexpr size_t SPDLOG_QUEUE_SIZE = 8192;

/* 86 characters: with "line ", eight digits and a space the message is 100 characters. */
const wchar_t PAYLOAD_W[] = L"abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmn";
const char PAYLOAD[] = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcdefghijklmn";
static_assert(sizeof(PAYLOAD) - 1 == 86, "100-character lines");

/* The same line in spdlog: timestamp, severity mark, message. */
const char SPDLOG_PATTERN[] = "%Y.%m.%d %H:%M:%S.%e *I* %v";

/* Scratch directory of the log files, removed with them when the program ends. */
struct BenchDir
{
   std::string path;
   std::vector<std::string> files;
   BenchDir()
   {
      char pattern[] = "/tmp/qvlogbenchXXXXXX";
      path = mkdtemp(pattern);
   }
   ~BenchDir()
   {
      for (auto &file : files)
         unlink(file.c_str());
      rmdir(path.c_str());
   }
};

std::string BenchFile(const char *name)
{
   static BenchDir dir;
   std::string file = dir.path + "/" + name;
   dir.files.push_back(file);
   return file;
}

long CountLines(const std::string &path)
{
   FILE *f = fopen(path.c_str(), "rb");
   if (f == nullptr)
      return -1;
   long lines = 0;
   char buffer[65536];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), f)) > 0)
      for (size_t i = 0; i < n; i++)
         lines += (buffer[i] == '\n');
   fclose(f);
   return lines;
}

/* ---- the two loggers behind one face ---- */

struct Qvlog
{
   explicit Qvlog(bool background)
   {
      static bool registered = qvlog_register_message_table(MESSAGES, 3);
      (void)registered;
      std::string path = BenchFile(background ? "qv_async.log" : "qv_sync.log");
      unlink(path.c_str());
      std::wstring wide(path.begin(), path.end());
      qvlog_set_rotation_policy(QVLOG_ROTATE_NEVER, 0, 0, nullptr);
      qvlog_open(wide.c_str(), background ? QVLOG_ASYNC : 0, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED,
                 MSG_GENERIC);
      m_path = path;
   }
   void write(int i) { qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"line %08d %s", i, PAYLOAD_W); }
   void close() { qvlog_close(); }
   // Header lines: the leading empty line and "Log file opened".
   long lines() const { return CountLines(m_path) - 2; }
   std::string m_path;
};

struct Spdlog
{
   explicit Spdlog(bool background, bool flushEveryLine = false)
   {
      m_path = BenchFile(background ? "spd_async.log" : "spd_sync.log");
      unlink(m_path.c_str());
      auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(m_path, true);
      if (background)
      {
         m_pool = std::make_shared<spdlog::details::thread_pool>(SPDLOG_QUEUE_SIZE, 1);
         m_logger = std::make_shared<spdlog::async_logger>("bench", sink, m_pool, spdlog::async_overflow_policy::block);
      }
      else
      {
         m_logger = std::make_shared<spdlog::logger>("bench", sink);
      }
      m_logger->set_pattern(SPDLOG_PATTERN);
      if (flushEveryLine)
         m_logger->flush_on(spdlog::level::info);
   }
   void write(int i) { m_logger->info("line {:08d} {}", i, PAYLOAD); }
   /* Queued lines hold the logger; the pool's end drains the queue, and the last holder
    * closes the file. */
   void close()
   {
      m_logger.reset();
      m_pool.reset();
   }
   long lines() const { return CountLines(m_path); }
   std::string m_path;
   std::shared_ptr<spdlog::logger> m_logger;
   std::shared_ptr<spdlog::details::thread_pool> m_pool;
};

struct SpdlogFlushed : Spdlog
{
   explicit SpdlogFlushed(bool background) : Spdlog(background, true) {}
};

/* Lines per second on the caller's thread; closing is not timed. */
template <typename Logger, bool BACKGROUND> void BM_Caller(benchmark::State &state)
{
   Logger logger(BACKGROUND);
   int i = 0;
   for (auto _ : state)
      logger.write(i++);
   logger.close();  // after the loop: not timed
   if (logger.lines() != i)
      state.SkipWithError("lines lost");
   state.SetItemsProcessed(state.iterations());
}

/* From the first line to the close that leaves all of them in the file. */
template <typename Logger> void BM_EndToEnd(benchmark::State &state)
{
   const int threads = static_cast<int>(state.range(0));
   for (auto _ : state)
   {
      state.PauseTiming();
      auto logger = std::make_unique<Logger>(true);
      state.ResumeTiming();
      std::vector<std::thread> writers;
      for (int t = 1; t < threads; t++)
         writers.emplace_back([&logger] {
            for (int i = 0; i < BATCH_LINES; i++)
               logger->write(i);
         });
      for (int i = 0; i < BATCH_LINES; i++)
         logger->write(i);
      for (auto &w : writers)
         w.join();
      logger->close();
      state.PauseTiming();
      if (logger->lines() != static_cast<long>(BATCH_LINES) * threads)
         state.SkipWithError("lines lost");
      logger.reset();
      state.ResumeTiming();
   }
   state.SetItemsProcessed(state.iterations() * BATCH_LINES * threads);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_Caller, Qvlog, false)->Name("Sync/qvlog")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Caller, Spdlog, false)->Name("Sync/spdlog")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Caller, SpdlogFlushed, false)->Name("Sync/spdlog_flush_every_line")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Caller, Qvlog, true)->Name("AsyncCaller/qvlog")->UseRealTime();
BENCHMARK_TEMPLATE(BM_Caller, Spdlog, true)->Name("AsyncCaller/spdlog")->UseRealTime();
BENCHMARK_TEMPLATE(BM_EndToEnd, Qvlog)
    ->Name("AsyncEndToEnd/qvlog")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_EndToEnd, Spdlog)
    ->Name("AsyncEndToEnd/spdlog")
    ->Arg(1)
    ->Arg(2)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
