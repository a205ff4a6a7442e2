/* Crash handling in child processes that crash on purpose: the exit, exactly one report
 * and one dump, the report's lines, the log's last lines and event, gdb reading the
 * dump; the filter, the console handler and a crash inside the handler. Each child is
 * this test program run again with one scenario (CrashChild.DISABLED_Run), so the crash
 * happens in a fresh process under any sanitizer. */
#include "system/files_test_util.h"

#include <atomic>
#include <regex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

using namespace qvtest;

namespace {

constexpr uint32_t MSG_GENERIC = 1;
constexpr uint32_t MSG_CRASH = 2;
constexpr int FILLER_LINES = 130;

const QVLOG_MESSAGE_TEXT MESSAGES[] = {
    {MSG_GENERIC, L"%1"},
    {MSG_CRASH, L"CRASH EVENT code=%1 name=%2 address=%3 report=%4 dump=%5"},
};

volatile int g_sink = 0;

/* The crashes are real faults of the processor: the undefined-behaviour checker, which
 * would stop them first, and the race checker (two threads crash on one address) stay out
 * of these functions. */
#if defined(__GNUC__)
#define QV_REAL_FAULT __attribute__((noinline, no_sanitize("undefined", "thread")))
#else
#define QV_REAL_FAULT
#endif

/* ---- what the child does ------------------------------------------------------------ */

QV_REAL_FAULT void CrashByNullPointer()
{
   volatile int *volatile p = nullptr;
   *p = 42;
}

QV_REAL_FAULT void CrashByDivision()
{
   volatile int numerator = 7;
   volatile int zero = 0;
   g_sink = numerator / zero;
}

__attribute__((noinline)) int CrashByRecursion(int depth)
{
   volatile char frame[2048];
   frame[0] = static_cast<char>(depth);
   if (depth == INT32_MAX)
      return frame[0];
   return CrashByRecursion(depth + 1) + frame[0];
}

__attribute__((noinline)) void CrashByAbort()
{
   abort();
}

void Crash(const std::string &kind)
{
   if (kind == "segv")
      CrashByNullPointer();
   else if (kind == "fpe")
      CrashByDivision();
   else if (kind == "overflow")
      g_sink = CrashByRecursion(0);
   else if (kind == "abort")
      CrashByAbort();
}

std::string g_kind;

void CrashOnThread(void *)
{
   Crash(g_kind);
}

std::atomic<int> g_ready{0};

/* Both threads meet, then crash as close together as two threads can. */
void CrashTogether(void *)
{
   g_ready.fetch_add(1);
   while (g_ready.load() < 2)
   {}
   CrashByNullPointer();
}

/* The crash path must not allocate: in builds without a sanitizer (which brings its own
 * allocator) this program's malloc family ends the process with exit code 42 when it is
 * called while the watched handler runs. */
std::atomic<bool> g_inCrashPath{false};

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define QV_WATCH_MALLOC 1
#endif

int WatchedServiceHandler(EXCEPTION_POINTERS *info)
{
   g_inCrashPath.store(true);
   int result = SEHServiceExceptionHandler(info);
   g_inCrashPath.store(false);
   return result;
}

/* A console writer that crashes: the crash happens while the log holds its lock. */
void CrashingConsoleWriter(const wchar_t *, ...)
{
   CrashByNullPointer();
}

int DecliningHandler(EXCEPTION_POINTERS *)
{
   static const char note[] = "handler called\n";
   ssize_t ignored = write(1, note, sizeof(note) - 1);
   (void)ignored;
   return 0;
}

int CrashingHandler(EXCEPTION_POINTERS *)
{
   CrashByNullPointer();
   return 1;
}

int CountingHandler(EXCEPTION_POINTERS *)
{
   static const char note[] = "counted\n";
   ssize_t ignored = write(1, note, sizeof(note) - 1);
   (void)ignored;
   return 1;
}

void RunScenario(const std::string &scenario, const std::string &dir)
{
   std::wstring wideDir = Wide(dir);
   qvlog_register_message_table(MESSAGES, 2);
   qvlog_open(Wide(dir + "/child.log").c_str(), 0, L"crash-child", 0, nullptr, MSG_GENERIC, MSG_GENERIC, MSG_GENERIC);
   for (int i = 0; i < FILLER_LINES; i++)
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"filler line %d", i);

   std::string kind = scenario.substr(scenario.find(':') + 1);
   std::string mode = scenario.substr(0, scenario.find(':'));
   if (mode == "console")
      SetExceptionHandler(SEHDefaultConsoleHandler, nullptr, nullptr, nullptr, 0, 0, 0);
   else if (mode == "declining")
      SetExceptionHandler(DecliningHandler, nullptr, nullptr, nullptr, 0, 0, 0);
   else if (mode == "crashing-handler")
      SetExceptionHandler(CrashingHandler, nullptr, nullptr, nullptr, 0, 0, 0);
   else if (mode == "counting")
      SetExceptionHandler(CountingHandler, nullptr, nullptr, nullptr, 0, 0, 0);
   else if (mode == "watched" || mode == "in-log-lock")
      SetExceptionHandler(WatchedServiceHandler, SEHServiceExceptionDataWriter, wideDir.c_str(), L"crashtest",
                          MSG_CRASH, 0, 1);
   else if (mode != "none")
      SetExceptionHandler(SEHServiceExceptionHandler, SEHServiceExceptionDataWriter, wideDir.c_str(), L"crashtest",
                          MSG_CRASH, 0, 1);

   if (mode == "filter")
   {
      // A breakpoint and a single step never reach the handler.
      EXCEPTION_RECORD record = {};
      EXCEPTION_POINTERS pointers = {&record, nullptr};
      SetExceptionHandler(CountingHandler, nullptr, nullptr, nullptr, 0, 0, 0);
      record.ExceptionCode = EXCEPTION_BREAKPOINT;
      int breakpoint = ___ExceptionHandler(&pointers);
      record.ExceptionCode = EXCEPTION_SINGLE_STEP;
      int step = ___ExceptionHandler(&pointers);
      SetExceptionHandler(nullptr, nullptr, nullptr, nullptr, 0, 0, 0);
      record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
      int none = ___ExceptionHandler(&pointers);
      SetExceptionHandler(CountingHandler, nullptr, nullptr, nullptr, 0, 0, 0);
      int accepted = ___ExceptionHandler(&pointers);
      printf("filter %d %d %d %d\n", breakpoint, step, none, accepted);
      fflush(stdout);
      _exit(0);
   }
   if (mode == "in-log-lock")
   {
      // The log is opened again with a console writer that crashes under the log lock.
      qvlog_set_console_writer(CrashingConsoleWriter);
      qvlog_open(Wide(dir + "/child.log").c_str(), QVLOG_CONSOLE, L"crash-child", 0, nullptr, MSG_GENERIC, MSG_GENERIC,
                 MSG_GENERIC);
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"this line crashes the console writer");
   }
   if (mode == "thread" || mode == "console-thread")
   {
      g_kind = kind;
      qorvel_thread_t *thread = ThreadStart(CrashOnThread, 0, nullptr);
      ThreadWaitForExit(thread);
   }
   else if (mode == "two-threads")
   {
      qorvel_thread_t *a = ThreadStart(CrashTogether, 0, nullptr);
      qorvel_thread_t *b = ThreadStart(CrashTogether, 0, nullptr);
      ThreadWaitForExit(a);
      ThreadWaitForExit(b);
   }
   else
   {
      Crash(kind);
   }
   _exit(3);  // not reached when the crash was handled
}

}  // namespace

#ifdef QV_WATCH_MALLOC
extern "C" void *__libc_malloc(size_t size);
extern "C" void *__libc_calloc(size_t count, size_t size);
extern "C" void *__libc_realloc(void *block, size_t size);

namespace {

void RefuseInCrashPath()
{
   if (g_inCrashPath.load(std::memory_order_relaxed))
   {
      static const char message[] = "heap used in the crash path\n";
      ssize_t ignored = write(2, message, sizeof(message) - 1);
      (void)ignored;
      _exit(42);
   }
}

}  // namespace

extern "C" void *malloc(size_t size)
{
   RefuseInCrashPath();
   return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
   RefuseInCrashPath();
   return __libc_calloc(count, size);
}

extern "C" void *realloc(void *block, size_t size)
{
   RefuseInCrashPath();
   return __libc_realloc(block, size);
}
#endif

namespace {

/* ---- the parent's side -------------------------------------------------------------- */

std::string SelfPath()
{
   char path[4096];
   ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
   return std::string(path, n > 0 ? static_cast<size_t>(n) : 0);
}

struct ChildResult
{
   int status;
   std::string output;  // standard output
};

/* Runs this program again with the scenario; its standard output is collected. */
ChildResult RunChild(const std::string &scenario, const std::string &dir)
{
   std::string self = SelfPath();
   std::string outPath = dir + "/stdout.txt";
   posix_spawn_file_actions_t actions;
   posix_spawn_file_actions_init(&actions);
   posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
   std::vector<std::string> env;
   for (char **e = environ; *e != nullptr; e++)
      env.push_back(*e);
   env.push_back("QV_CRASH_SCENARIO=" + scenario);
   env.push_back("QV_CRASH_DIR=" + dir);
   std::vector<char *> envp;
   for (std::string &e : env)
      envp.push_back(&e[0]);
   envp.push_back(nullptr);
   std::string filter = "--gtest_filter=CrashChild.DISABLED_Run";
   std::string disabled = "--gtest_also_run_disabled_tests";
   char *argv[] = {&self[0], &filter[0], &disabled[0], nullptr};
   pid_t pid;
   ChildResult result = {-1, ""};
   if (posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, envp.data()) != 0)
      return result;
   posix_spawn_file_actions_destroy(&actions);
   waitpid(pid, &result.status, 0);
   result.output = ReadFile(outPath);
   // What the test framework printed before the scenario ran.
   std::string start = "[ RUN      ] CrashChild.DISABLED_Run\n";
   size_t at = result.output.find(start);
   if (at != std::string::npos)
      result.output.erase(0, at + start.size());
   unlink(outPath.c_str());
   return result;
}

std::vector<std::string> FilesEndingIn(const std::string &dir, const std::string &suffix)
{
   std::vector<std::string> found;
   for (auto &entry : std::filesystem::directory_iterator(dir))
   {
      std::string name = entry.path().filename().string();
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
         found.push_back(entry.path().string());
   }
   return found;
}

std::vector<std::string> Lines(const std::string &text)
{
   std::vector<std::string> lines;
   std::istringstream in(text);
   std::string line;
   while (std::getline(in, line))
      lines.push_back(line);
   return lines;
}

bool Contains(const std::string &text, const std::string &part)
{
   return text.find(part) != std::string::npos;
}

/* AddressSanitizer and ThreadSanitizer report fatal signals that nobody else handles. */
bool SanitizerReportsDeadlySignals()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
   return true;
#else
   return false;
#endif
}

/* The report's lines as they are laid out, the crashing function in the stack, the last
 * log lines; then the dump read by gdb. */
/* The last log line the report must end with when the child wrote nothing after the
 * filler lines. */
const std::string LAST_FILLER = "*I* filler line " + std::to_string(FILLER_LINES - 1);

void CheckReportAndDump(const std::string &dir, const std::string &code, const std::string &name,
                        const std::string &function, bool readWithGdb, const std::string &lastLogLine = LAST_FILLER)
{
   std::vector<std::string> reports = FilesEndingIn(dir, ".info");
   std::vector<std::string> dumps = FilesEndingIn(dir, ".mdmp.gz");
   ASSERT_EQ(reports.size(), 1u);
   ASSERT_EQ(dumps.size(), 1u);
   std::string base = reports[0].substr(0, reports[0].size() - 5);
   EXPECT_EQ(dumps[0], base + ".mdmp.gz");
   std::regex fileName(".*/crashtest-[0-9]+-[0-9]+$");
   EXPECT_TRUE(std::regex_match(base, fileName)) << base;

   std::vector<std::string> lines = Lines(ReadFile(reports[0]));
   ASSERT_GT(lines.size(), 14u);
   EXPECT_EQ(lines[0], "CRASHTEST CRASH DUMP");
   EXPECT_TRUE(std::regex_match(lines[1], std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z][a-z] [ 123][0-9] "
                                                     "[0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}")))
       << lines[1];
   EXPECT_EQ(lines[2], "");
   EXPECT_TRUE(std::regex_match(lines[3], std::regex("EXCEPTION: " + code + " \\(" + name + "\\) at [0-9A-F]{16}")))
       << lines[3];
   EXPECT_EQ(lines[4], "");
   EXPECT_EQ(lines[5].rfind("Qorvel Version: ", 0), 0u);
   EXPECT_EQ(lines[6].rfind("Qorvel Build Tag: ", 0), 0u);
   EXPECT_EQ(lines[7].rfind("OS Version: Linux ", 0), 0u) << lines[7];
   EXPECT_EQ(lines[8], "Processor architecture: AMD64 (Intel EM64T)");
   EXPECT_EQ(lines[9], "");
   EXPECT_EQ(lines[10], "Call stack:");
   size_t i = 11;
   bool functionSeen = false;
   std::regex frame("  \\[[^:\\]]+:(.+:[0-9]+|[0-9A-F]{16})\\]: .+");
   for (; i < lines.size() && !lines[i].empty(); i++)
   {
      EXPECT_TRUE(std::regex_match(lines[i], frame)) << lines[i];
      functionSeen |= Contains(lines[i], function);
   }
   EXPECT_TRUE(functionSeen) << function;
   ASSERT_LT(i + 1, lines.size());
   EXPECT_EQ(lines[i + 1], "Last log lines:");
   std::vector<std::string> logLines(lines.begin() + static_cast<long>(i) + 2, lines.end());
   ASSERT_EQ(logLines.size(), 100u);
   // The oldest kept line is the 100th before the last.
   int after = (lastLogLine == LAST_FILLER) ? 0 : 1;
   EXPECT_TRUE(Contains(logLines[0], "*I* filler line " + std::to_string(FILLER_LINES - 100 + after))) << logLines[0];
   EXPECT_TRUE(Contains(logLines[99], lastLogLine)) << logLines[99];

   // The log event names the report and the dump without ".gz".
   std::string log = ReadFile(dir + "/child.log");
   EXPECT_TRUE(Contains(log, "*E* CRASH EVENT code=0x" + code + " name=" + name + " address=0x")) << log;
   EXPECT_TRUE(Contains(log, "report=" + base + ".info dump=" + base + ".mdmp\n")) << log;

   if (!readWithGdb)
      return;
   // gdb opens the unpacked dump beside the program and names the crashing function.
   std::string core = dir + "/core";
   ASSERT_EQ(system(("gzip -d -c '" + dumps[0] + "' > '" + core + "'").c_str()), 0);
   std::string gdbOut = dir + "/gdb.txt";
   std::string command = "gdb -batch -nx -iex 'set debuginfod enabled off' -ex \"bt 30\" '" + SelfPath() + "' '" +
                         core + "' > '" + gdbOut + "' 2>&1";
   ASSERT_EQ(system(command.c_str()), 0);
   std::string bt = ReadFile(gdbOut);
   EXPECT_TRUE(Contains(bt, "#0 ")) << bt;
   EXPECT_TRUE(Contains(bt, function)) << bt;
}

class CrashTest : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (system("gdb --version > /dev/null 2>&1") != 0)
         GTEST_SKIP() << "gdb is not installed (scripts/install-deps.sh installs it)";
   }

   void ExpectHandledCrash(const std::string &scenario, const std::string &code, const std::string &name,
                           const std::string &function, bool readWithGdb, const std::string &lastLogLine = LAST_FILLER)
   {
      ChildResult child = RunChild(scenario, dir.path());
      ASSERT_TRUE(WIFEXITED(child.status)) << "status " << child.status;
      EXPECT_EQ(WEXITSTATUS(child.status), 99);
      EXPECT_TRUE(Contains(child.output, "EXCEPTION: " + code + " (" + name + ")")) << child.output;
      CheckReportAndDump(dir.path(), code, name, function, readWithGdb, lastLogLine);
   }

   TempDir dir;
};

}  // namespace

TEST(CrashChild, DISABLED_Run)
{
   const char *scenario = getenv("QV_CRASH_SCENARIO");
   const char *dir = getenv("QV_CRASH_DIR");
   if (scenario != nullptr && dir != nullptr)
      RunScenario(scenario, dir);
}

TEST_F(CrashTest, NullDereferenceOnMainThread)
{
   ExpectHandledCrash("service:segv", "C0000005", "Access violation", "CrashByNullPointer", true);
}

TEST_F(CrashTest, CrashPathUsesNoHeap)
{
   ExpectHandledCrash("watched:segv", "C0000005", "Access violation", "CrashByNullPointer", false);
}

TEST_F(CrashTest, CrashWhileTheLogLockIsHeldStillReportsAndLogs)
{
   ExpectHandledCrash("in-log-lock:segv", "C0000005", "Access violation", "CrashingConsoleWriter", false,
                      "*I* this line crashes the console writer");
}

TEST_F(CrashTest, DivisionByZero)
{
   ExpectHandledCrash("service:fpe", "C0000094", "Divide by zero", "CrashByDivision", false);
}

TEST_F(CrashTest, StackOverflowOnLibraryThread)
{
   ExpectHandledCrash("thread:overflow", "C00000FD", "Stack overflow", "CrashByRecursion", true);
}

TEST_F(CrashTest, StackOverflowOnMainThread)
{
   ExpectHandledCrash("service:overflow", "C00000FD", "Stack overflow", "CrashByRecursion", false);
}

TEST_F(CrashTest, AbortFromLibraryThread)
{
   ExpectHandledCrash("thread:abort", "40000015", "Abort", "CrashByAbort", true);
}

TEST_F(CrashTest, TwoThreadsCrashingAtOnceGiveOneReport)
{
   ExpectHandledCrash("two-threads:segv", "C0000005", "Access violation", "CrashByNullPointer", false);
}

TEST_F(CrashTest, ConsoleHandlerWritesExceptionStackAndEnd)
{
   ChildResult child = RunChild("console:segv", dir.path());
   ASSERT_TRUE(WIFEXITED(child.status));
   EXPECT_EQ(WEXITSTATUS(child.status), 99);
   std::vector<std::string> lines = Lines(child.output);
   ASSERT_GE(lines.size(), 4u);
   EXPECT_TRUE(std::regex_match(lines[0], std::regex("EXCEPTION: C0000005 \\(Access violation\\) at [0-9A-F]{16}")))
       << lines[0];
   EXPECT_EQ(lines[1], "");
   EXPECT_EQ(lines[2], "Call stack:");
   EXPECT_TRUE(Contains(child.output, "CrashByNullPointer"));
   EXPECT_EQ(child.output.substr(child.output.size() - 20), "\nPROCESS TERMINATED\n");
   EXPECT_TRUE(FilesEndingIn(dir.path(), ".info").empty());
}

/* Without a handler, or when it declines, the signal goes to what handled it before: the
 * default action, or a sanitizer's report where one runs. */
void ExpectPassedOn(const ChildResult &child, int signal)
{
   EXPECT_FALSE(WIFEXITED(child.status) && WEXITSTATUS(child.status) == 99) << child.status;
   if (!SanitizerReportsDeadlySignals())
   {
      ASSERT_TRUE(WIFSIGNALED(child.status)) << child.status;
      EXPECT_EQ(WTERMSIG(child.status), signal);
   }
}

TEST_F(CrashTest, WithoutHandlerOrWhenDeclinedTheSignalTakesItsCourse)
{
   ExpectPassedOn(RunChild("none:segv", dir.path()), SIGSEGV);

   ChildResult declined = RunChild("declining:fpe", dir.path());
   ExpectPassedOn(declined, SIGFPE);
   EXPECT_EQ(declined.output.rfind("handler called\n", 0), 0u) << declined.output;

   ChildResult aborted = RunChild("declining:abort", dir.path());
   ExpectPassedOn(aborted, SIGABRT);
   EXPECT_EQ(aborted.output.rfind("handler called\n", 0), 0u) << aborted.output;
   EXPECT_TRUE(FilesEndingIn(dir.path(), ".info").empty());
}

TEST_F(CrashTest, CrashInsideTheHandlerEndsTheProcess)
{
   ChildResult child = RunChild("crashing-handler:segv", dir.path());
#if defined(__SANITIZE_THREAD__)
   // ThreadSanitizer delivers the second fault with the signal blocked: the kernel ends
   // the process with it.
   if (WIFSIGNALED(child.status))
   {
      EXPECT_EQ(WTERMSIG(child.status), SIGSEGV);
      return;
   }
#endif
   ASSERT_TRUE(WIFEXITED(child.status)) << child.status;
   EXPECT_EQ(WEXITSTATUS(child.status), 99);
}

TEST_F(CrashTest, FilterPassesBreakpointsAndNeedsAHandler)
{
   ChildResult child = RunChild("filter:none", dir.path());
   ASSERT_TRUE(WIFEXITED(child.status));
   EXPECT_EQ(WEXITSTATUS(child.status), 0);
   // Breakpoint, single step and no handler: continue search; an accepting handler: execute.
   EXPECT_EQ(child.output, "counted\nfilter 0 0 0 1\n");
}

TEST(CrashHandling, ExceptionNames)
{
   EXPECT_STREQ(SEHExceptionName(0xC0000005), L"Access violation");
   EXPECT_STREQ(SEHExceptionName(0xC0000094), L"Divide by zero");
   EXPECT_STREQ(SEHExceptionName(0xC00000FD), L"Stack overflow");
   EXPECT_STREQ(SEHExceptionName(0xC0000096), L"Priveledged instruction");
   EXPECT_STREQ(SEHExceptionName(0x80000002), L"Alignment error");
   EXPECT_STREQ(SEHExceptionName(0xC0000006), L"Page error");
   EXPECT_STREQ(SEHExceptionName(0xC000008E), L"FLT_DIVIDE_BY_ZERO");
   EXPECT_STREQ(SEHExceptionName(0x12345678), L"Unknown");
}

namespace {

std::vector<std::wstring> g_stackLines;

void KeepStackLine(const wchar_t *line)
{
   g_stackLines.push_back(line);
}

__attribute__((noinline)) void ShowStackFromHere()
{
   SEHShowCallStack(nullptr);
   g_sink = 1;  // keeps the call from being a tail call
}

}  // namespace

TEST(CrashHandling, ShowCallStackWritesOneLinePerFrameToTheWriter)
{
   SetExceptionHandler(nullptr, KeepStackLine, nullptr, nullptr, 0, 0, 0);
   g_stackLines.clear();
   ShowStackFromHere();
   SetExceptionHandler(nullptr, nullptr, nullptr, nullptr, 0, 0, 0);
   ASSERT_GE(g_stackLines.size(), 2u);
   std::wregex frame(L"  \\[[^:\\]]+:(.+:[0-9]+|[0-9A-F]{16})\\]: .+\n");
   for (const std::wstring &line : g_stackLines)
      EXPECT_TRUE(std::regex_match(line, frame)) << std::string(line.begin(), line.end());
   EXPECT_NE(g_stackLines[0].find(L"ShowStackFromHere"), std::wstring::npos);
   EXPECT_NE(g_stackLines[0].find(L"crash_test.cpp"), std::wstring::npos);
}

TEST(CrashHandling, DataWriterWithoutReportDoesNothing)
{
   SEHServiceExceptionDataWriter(L"ignored");
   SEHServiceExceptionDataWriter(nullptr);
}

TEST(SystemInformation, VersionTexts)
{
   wchar_t buffer[256];
   int32_t n = GetOSVersionString(buffer, 256);
   EXPECT_EQ(n, static_cast<int32_t>(wcslen(buffer)));
   EXPECT_TRUE(std::regex_match(std::wstring(buffer), std::wregex(L"Linux [0-9]+\\.[0-9]+")));
   EXPECT_EQ(GetOSVersionString(buffer, 4), 3);
   EXPECT_STREQ(buffer, L"Lin");
   EXPECT_EQ(GetOSVersionString(buffer, 0), 0);

   ASSERT_TRUE(GetWindowsVersionString(buffer, 256));
   std::wstring text(buffer);
   EXPECT_EQ(text.rfind(L"Linux ", 0), 0u);
   EXPECT_NE(text.find(L" Build "), std::wstring::npos);
   EXPECT_NE(text.back(), L' ');
   ASSERT_TRUE(GetWindowsVersionString(buffer, 8));
   EXPECT_EQ(wcslen(buffer), 7u);
}
