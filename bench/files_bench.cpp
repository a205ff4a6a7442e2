/* File functions beside the system's tools: copying a tree of 1000 small files and one of
 * 100 MB (CopyFileOrDirectory against cp -a), gzip copies of 100 MB (DeflateFile against
 * gzip -6), and the time from a crash to the end of a process with a 200 MB heap (service
 * handler: report and dump). The data lives in a temporary directory that is removed at
 * the end. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int SMALL_FILES = 1000;
constexpr size_t BIG_FILE_BYTES = 100u << 20;
constexpr size_t CRASH_HEAP_BYTES = 200u << 20;

std::wstring Wide(const std::string &s)
{
   return std::wstring(s.begin(), s.end());
}

/* Text that compresses like a log: numbered lines with varying values. */
std::string LogLikeData(size_t size)
{
   std::string data;
   data.reserve(size + 128);
   uint32_t x = 2463534242u;
   while (data.size() < size)
   {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      data += "2024.03.05 12:34:56.789 *I* request " + std::to_string(data.size()) + " from 10.0." +
              std::to_string(x % 256) + "." + std::to_string((x >> 8) % 256) + " took " + std::to_string(x % 9973) +
              " ms\n";
   }
   data.resize(size);
   return data;
}

/* The benchmark data, made once and removed at exit. */
class Data
{
public:
   static Data &get()
   {
      static Data data;
      return data;
   }

   std::string root;
   std::string tree;
   std::string bigFile;

private:
   Data()
   {
      char templ[] = "/var/tmp/qvfilesbench.XXXXXX";
      root = mkdtemp(templ);
      tree = root + "/tree";
      std::filesystem::create_directories(tree);
      std::string small(4096, 'x');
      for (int i = 0; i < SMALL_FILES; i++)
      {
         std::string dir = tree + "/d" + std::to_string(i / 100);
         std::filesystem::create_directories(dir);
         std::ofstream(dir + "/f" + std::to_string(i)) << small.substr(0, 512 + (i * 37) % 3500);
      }
      bigFile = tree + "/big";
      std::ofstream(bigFile, std::ios::binary) << LogLikeData(BIG_FILE_BYTES);
   }
   ~Data() { std::filesystem::remove_all(root); }
};

void RemoveCopy(const std::string &path)
{
   std::error_code ignored;
   std::filesystem::remove_all(path, ignored);
   sync();
}

void BM_CopyTree_CopyFileOrDirectory(benchmark::State &state)
{
   Data &data = Data::get();
   std::string target = data.root + "/copy";
   for (auto _ : state)
   {
      state.PauseTiming();
      RemoveCopy(target);
      state.ResumeTiming();
      if (!CopyFileOrDirectory(Wide(data.tree).c_str(), Wide(target).c_str()))
         state.SkipWithError("copy failed");
   }
   RemoveCopy(target);
}
BENCHMARK(BM_CopyTree_CopyFileOrDirectory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_CopyTree_CpA(benchmark::State &state)
{
   Data &data = Data::get();
   std::string target = data.root + "/copy";
   std::string command = "cp -a '" + data.tree + "' '" + target + "'";
   for (auto _ : state)
   {
      state.PauseTiming();
      RemoveCopy(target);
      state.ResumeTiming();
      if (system(command.c_str()) != 0)
         state.SkipWithError("cp failed");
   }
   RemoveCopy(target);
}
BENCHMARK(BM_CopyTree_CpA)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

void BM_Gzip100MB_DeflateFile(benchmark::State &state)
{
   Data &data = Data::get();
   std::string out = data.root + "/big.gz";
   for (auto _ : state)
   {
      if (!DeflateFile(Wide(data.bigFile).c_str(), Wide(out).c_str()))
         state.SkipWithError("DeflateFile failed");
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BIG_FILE_BYTES));
   unlink(out.c_str());
}
BENCHMARK(BM_Gzip100MB_DeflateFile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

void BM_Gzip100MB_Gzip6(benchmark::State &state)
{
   Data &data = Data::get();
   std::string out = data.root + "/big.gz";
   std::string command = "gzip -6 -c '" + data.bigFile + "' > '" + out + "'";
   for (auto _ : state)
   {
      if (system(command.c_str()) != 0)
         state.SkipWithError("gzip failed");
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * BIG_FILE_BYTES));
   unlink(out.c_str());
}
BENCHMARK(BM_Gzip100MB_Gzip6)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

/* A child fills a 200 MB heap, crashes under the service handler and ends; the time runs
 * from just before the crash (sent through a pipe) to the child's end as the parent sees
 * it. */
void BM_CrashToEnd_200MBHeap(benchmark::State &state)
{
   Data &data = Data::get();
   std::string dir = data.root + "/crash";
   std::filesystem::create_directories(dir);
   for (auto _ : state)
   {
      int fds[2];
      if (pipe(fds) != 0)
      {
         state.SkipWithError("pipe failed");
         break;
      }
      pid_t child = fork();
      if (child == 0)
      {
         close(fds[0]);
         std::string heap = LogLikeData(CRASH_HEAP_BYTES);
         benchmark::DoNotOptimize(heap.data());
         SetExceptionHandler(SEHServiceExceptionHandler, SEHServiceExceptionDataWriter, Wide(dir).c_str(), L"bench", 0,
                             0, 0);
         int64_t start =
             std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
                 .count();
         if (write(fds[1], &start, sizeof(start)) != sizeof(start))
            _exit(2);
         volatile int *volatile p = nullptr;
         *p = 1;
         _exit(3);
      }
      close(fds[1]);
      int64_t start = 0;
      bool got = read(fds[0], &start, sizeof(start)) == sizeof(start);
      int status = 0;
      waitpid(child, &status, 0);
      int64_t end =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
      close(fds[0]);
      if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 99)
      {
         state.SkipWithError("the child did not crash as expected");
         break;
      }
      state.SetIterationTime(static_cast<double>(end - start) / 1e6);
      int64_t dumpBytes = 0;
      for (auto &entry : std::filesystem::directory_iterator(dir))
         dumpBytes += static_cast<int64_t>(entry.file_size());
      state.counters["files_MB"] = static_cast<double>(dumpBytes) / 1e6;
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir);
   }
}
BENCHMARK(BM_CrashToEnd_200MBHeap)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(2);

}  // namespace
