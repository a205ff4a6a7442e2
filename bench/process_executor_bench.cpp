/* ProcessExecutor against posix_spawn + waitpid: the start-to-end time of /bin/true
 * (through the shell as the executor runs it, and spawned directly), and the throughput
 * of captured output of a command writing 100 MB against a bare read loop on the same
 * kind of pipe. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

extern char **environ;

namespace {

/* Bytes the throughput command writes (printable: the executor passes text). */
constexpr int64_t OUTPUT_BYTES = 100LL * 1024 * 1024;
#define OUTPUT_COMMAND_TEXT "yes 0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ | head -c 104857600"
const wchar_t OUTPUT_COMMAND[] = L"" OUTPUT_COMMAND_TEXT;

/* The read loop's buffer, as large as the executor's reads. */
constexpr size_t READ_BUFFER = 64 * 1024;

/* Counts the bytes it is given. */
class CountingExecutor : public ProcessExecutor
{
public:
   std::atomic<int64_t> bytes{0};
   explicit CountingExecutor(const wchar_t *command, bool capture) : ProcessExecutor(command)
   {
      m_sendOutput = capture;
   }
   ~CountingExecutor() override { stopAndWait(); }

protected:
   void onOutput(const char *text) override { bytes.fetch_add(static_cast<int64_t>(strlen(text))); }
};

void BM_ExecutorTrue(benchmark::State &state)
{
   bool capture = state.range(0) != 0;
   for (auto _ : state)
   {
      CountingExecutor executor(L"/bin/true", capture);
      if (!executor.execute())
         abort();
      executor.waitForCompletion(INFINITE);
      executor.stopAndWait();
   }
}

/* posix_spawn of argv with standard output to out (-1: inherited), then waitpid. */
pid_t Spawn(char *const argv[], int out)
{
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   if (out >= 0)
   {
      posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
      posix_spawn_file_actions_addclose(&actions, out);
   }
   pid_t pid;
   if (posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ) != 0)
      abort();
   posix_spawn_file_actions_destroy(&actions);
   return pid;
}

void BM_PosixSpawnTrue(benchmark::State &state)
{
   char shell[] = "/bin/sh", dashC[] = "-c", program[] = "/bin/true";
   char *throughShell[] = {shell, dashC, program, nullptr};
   char *direct[] = {program, nullptr};
   char *const *argv = (state.range(0) != 0) ? throughShell : direct;
   for (auto _ : state)
   {
      pid_t pid = Spawn(argv, -1);
      int status;
      waitpid(pid, &status, 0);
   }
}

void BM_ExecutorOutput(benchmark::State &state)
{
   for (auto _ : state)
   {
      CountingExecutor executor(OUTPUT_COMMAND, true);
      if (!executor.execute())
         abort();
      executor.waitForCompletion(INFINITE);
      executor.stopAndWait();
      if (executor.bytes != OUTPUT_BYTES)
         abort();
   }
   state.SetBytesProcessed(state.iterations() * OUTPUT_BYTES);
}

void BM_BareReadLoopOutput(benchmark::State &state)
{
   char shell[] = "/bin/sh", dashC[] = "-c", command[] = OUTPUT_COMMAND_TEXT;
   char *argv[] = {shell, dashC, command, nullptr};
   static char buffer[READ_BUFFER];
   for (auto _ : state)
   {
      int ends[2];
      if (pipe2(ends, O_CLOEXEC) != 0)
         abort();
      pid_t pid = Spawn(argv, ends[1]);
      close(ends[1]);
      int64_t total = 0;
      ssize_t n;
      while ((n = read(ends[0], buffer, sizeof(buffer))) > 0)
         total += n;
      close(ends[0]);
      int status;
      waitpid(pid, &status, 0);
      if (total != OUTPUT_BYTES)
         abort();
   }
   state.SetBytesProcessed(state.iterations() * OUTPUT_BYTES);
}

}  // namespace

BENCHMARK(BM_ExecutorTrue)->ArgName("capture")->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_PosixSpawnTrue)->ArgName("shell")->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(BM_ExecutorOutput)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5.0);
BENCHMARK(BM_BareReadLoopOutput)->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(5.0);
