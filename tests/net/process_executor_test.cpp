/* The process executor with real shell commands: captured output whole and in order,
 * the end of output, stop of a whole process group, signs of life, exit codes and
 * re-execution. */
#include "net/net_test_util.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* Collects the output; chunks and the end are observed by other threads. */
class CapturingExecutor : public ProcessExecutor
{
public:
   explicit CapturingExecutor(const wchar_t *command, bool capture = true) : ProcessExecutor(command)
   {
      m_sendOutput = capture;
   }
   ~CapturingExecutor() override { stopAndWait(); }  // the hooks use this object's members

   std::string output()
   {
      std::lock_guard<std::mutex> guard(m_lock);
      return m_output;
   }
   int emptyChunks() const { return m_emptyChunks; }
   int chunksAfterEnd() const { return m_chunksAfterEnd; }
   int ends() const { return m_ends; }
   size_t largestChunk() const { return m_largestChunk; }
   bool waitForEnd() { return m_ended.wait(); }
   /* Waits until the output holds text. */
   bool waitForText(const std::string &text)
   {
      return WaitFor([&] { return output().find(text) != std::string::npos; });
   }
   std::function<void()> onEmpty;  // called for each sign of life

protected:
   void onOutput(const char *text) override
   {
      size_t length = strlen(text);
      if (m_ends > 0)
         m_chunksAfterEnd++;
      if (length > m_largestChunk)
         m_largestChunk = length;
      if (length == 0)
      {
         m_emptyChunks++;
         if (onEmpty)
            onEmpty();
         return;
      }
      std::lock_guard<std::mutex> guard(m_lock);
      m_output.append(text, length);
   }
   void endOfOutput() override
   {
      m_ends++;
      m_ended.set();
   }

private:
   std::mutex m_lock;
   std::string m_output;
   std::atomic<int> m_emptyChunks{0};
   std::atomic<int> m_chunksAfterEnd{0};
   std::atomic<int> m_ends{0};
   std::atomic<size_t> m_largestChunk{0};
   Flag m_ended;
};

/* Processes of the process group that are alive (not zombies). */
int LiveMembersOfGroup(pid_t group)
{
   int count = 0;
   DIR *proc = opendir("/proc");
   if (proc == nullptr)
      return -1;
   while (struct dirent *entry = readdir(proc))
   {
      if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
         continue;
      FILE *file = fopen(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), "r");
      if (file == nullptr)
         continue;
      char line[1024];
      size_t n = fread(line, 1, sizeof(line) - 1, file);
      fclose(file);
      line[n] = 0;
      // "pid (comm) state ppid pgrp ...": the name may hold blanks, so parse after ')'.
      char *close = strrchr(line, ')');
      char state;
      int parent, pgrp;
      if (close != nullptr && sscanf(close + 1, " %c %d %d", &state, &parent, &pgrp) == 3 && pgrp == group &&
          state != 'Z')
         count++;
   }
   closedir(proc);
   return count;
}

std::string Lines(int count)
{
   std::string text;
   for (int i = 1; i <= count; i++)
      text += std::to_string(i) + "\n";
   return text;
}

}  // namespace

TEST(ProcessExecutor, OutputArrivesThenExactlyOneEnd)
{
   DebugLines debug(5);
   CapturingExecutor executor(L"echo hello; echo oops >&2");
   EXPECT_EQ(L"echo hello; echo oops >&2", std::wstring(executor.getCommand()));
   ASSERT_TRUE(executor.execute());
   EXPECT_NE(0, executor.getProcessId());
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ("hello\noops\n", executor.output());
   EXPECT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   EXPECT_FALSE(executor.isRunning());
   EXPECT_EQ(0, executor.getExitCode());
   EXPECT_EQ(1, executor.ends());
   EXPECT_EQ(0, executor.chunksAfterEnd());
   EXPECT_TRUE(debug.has(L"ProcessExecutor::execute(): process \"/bin/sh -c echo hello; echo oops >&2\" started"));
}

TEST(ProcessExecutor, ManyLinesArriveWholeInOrderAndInBoundedChunks)
{
   CapturingExecutor executor(L"i=1; while [ $i -le 40000 ]; do echo $i; i=$((i+1)); done");
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ(Lines(40000), executor.output());
   EXPECT_LE(executor.largestChunk(), ProcessExecutor::OUTPUT_CHUNK_SIZE);
   EXPECT_EQ(1, executor.ends());
}

TEST(ProcessExecutor, BurstJustBeforeExitIsDeliveredWhole)
{
   // 300 KB written at once by the last command before the exit, more than the pipe holds.
   CapturingExecutor executor(L"head -c 307200 /dev/zero | tr '\\0' 'x'; exit 3");
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ(std::string(307200, 'x'), executor.output());
   EXPECT_LE(executor.largestChunk(), ProcessExecutor::OUTPUT_CHUNK_SIZE);
   ASSERT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   EXPECT_EQ(3, executor.getExitCode());
}

TEST(ProcessExecutor, ZeroBytesAreLeftOutWithoutHidingWhatFollows)
{
   CapturingExecutor executor(L"printf 'ab\\000cd\\000\\000ef\\000'");
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ("abcdef", executor.output());
   EXPECT_EQ(0, executor.emptyChunks());  // no sign of life made up from the zero bytes
}

TEST(ProcessExecutor, OutputEndsWithTheCommandWhileBackgroundJobsHoldThePipe)
{
   // The background job keeps the pipe open; the command's own output is all there when
   // the shell ends, and the reader must deliver it and end.
   CapturingExecutor executor(L"sleep 60 & seq 1 30000; echo last");
   ASSERT_TRUE(executor.execute());
   pid_t group = executor.getProcessId();
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ(Lines(30000) + "last\n", executor.output());
   EXPECT_FALSE(executor.isRunning());
   EXPECT_EQ(1, LiveMembersOfGroup(group));  // the background job still runs
   executor.stop();
   EXPECT_TRUE(WaitFor([&] { return LiveMembersOfGroup(group) == 0; }));
}

TEST(ProcessExecutor, StopEndsTheCommandAndItsBackgroundJobs)
{
   DebugLines debug(6);
   CapturingExecutor executor(L"sleep 60 & sleep 60 & echo started; wait");
   ASSERT_TRUE(executor.execute());
   pid_t group = executor.getProcessId();
   ASSERT_TRUE(executor.waitForText("started\n"));
   EXPECT_TRUE(executor.isRunning());
   EXPECT_EQ(-1, executor.getExitCode());
   EXPECT_EQ(3, LiveMembersOfGroup(group));
   executor.stop();
   EXPECT_FALSE(executor.isRunning());
   EXPECT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ(ProcessExecutor::STOPPED_EXIT_CODE, executor.getExitCode());
   EXPECT_TRUE(WaitFor([&] { return LiveMembersOfGroup(group) == 0; }));
   EXPECT_EQ("started\n", executor.output());
}

TEST(ProcessExecutor, SilenceGivesOneSignOfLifeEveryFiveSeconds)
{
   // The command waits on a fifo that the test opens after two signs of life.
   char dir[] = "/tmp/qvexecXXXXXX";
   ASSERT_NE(nullptr, mkdtemp(dir));
   std::string fifo = std::string(dir) + "/go";
   ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
   std::wstring command = L"read x < " + std::wstring(fifo.begin(), fifo.end()) + L"; echo done";
   CapturingExecutor executor(command.c_str());
   Flag twoSigns;
   executor.onEmpty = [&] {
      if (executor.emptyChunks() == 2)
         twoSigns.set();
   };
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(twoSigns.wait(std::chrono::seconds(60)));
   EXPECT_EQ("", executor.output());
   int fd = open(fifo.c_str(), O_WRONLY);
   ASSERT_GE(fd, 0);
   ASSERT_EQ(3, write(fd, "go\n", 3));
   close(fd);
   ASSERT_TRUE(executor.waitForEnd());
   EXPECT_EQ(2, executor.emptyChunks());
   EXPECT_EQ("done\n", executor.output());
   unlink(fifo.c_str());
   rmdir(dir);
}

TEST(ProcessExecutor, SecondExecuteWhileRunningFailsAndLaterOnesRunAgain)
{
   CapturingExecutor executor(L"read x; r=$?; echo run; exit $r");  // standard input is at its end
   CapturingExecutor blocker(L"sleep 60");
   ASSERT_TRUE(blocker.execute());
   EXPECT_FALSE(blocker.execute());
   blocker.stop();
   EXPECT_TRUE(blocker.waitForCompletion(GENEROUS_MS));
   EXPECT_TRUE(blocker.execute());  // re-execution after the stop
   blocker.stop();

   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForEnd());
   ASSERT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   EXPECT_EQ(1, executor.getExitCode());  // read found the end of its input
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   EXPECT_TRUE(WaitFor([&] { return executor.ends() == 2; }));
   EXPECT_EQ("run\nrun\n", executor.output());
   EXPECT_GT(blocker.getStreamId(), executor.getStreamId());
}

TEST(ProcessExecutor, WithoutOutputCaptureNoHookIsCalled)
{
   CapturingExecutor executor(L"echo unseen; exit 5", false);
   ASSERT_TRUE(executor.execute());
   ASSERT_TRUE(executor.waitForCompletion(GENEROUS_MS));
   EXPECT_EQ(5, executor.getExitCode());
   EXPECT_FALSE(executor.isRunning());
   EXPECT_EQ("", executor.output());
   EXPECT_EQ(0, executor.ends());
}

TEST(ProcessExecutor, IdleAndEmptyExecutorsStartNothing)
{
   CapturingExecutor idle(L"true");
   EXPECT_TRUE(idle.waitForCompletion(0));
   EXPECT_FALSE(idle.isRunning());
   EXPECT_EQ(0, idle.getProcessId());
   EXPECT_EQ(-1, idle.getExitCode());
   idle.stop();  // nothing to stop

   CapturingExecutor none(nullptr);
   EXPECT_EQ(nullptr, none.getCommand());
   EXPECT_FALSE(none.execute());
   EXPECT_EQ(0, none.ends());

   CapturingExecutor missing(L"/nonexistent/command");
   ASSERT_TRUE(missing.execute());
   ASSERT_TRUE(missing.waitForCompletion(GENEROUS_MS));
   EXPECT_EQ(127, missing.getExitCode());
}

TEST(ProcessExecutor, DestructionKillsTheGroupAndLeaksNothing)
{
   long before = OpenDescriptorCount();
   pid_t group;
   {
      ProcessExecutor executor(L"sleep 60 & sleep 60");
      ASSERT_TRUE(executor.execute());
      group = executor.getProcessId();
      ASSERT_TRUE(WaitFor([&] { return LiveMembersOfGroup(group) >= 2; }));
   }
   EXPECT_TRUE(WaitFor([&] { return LiveMembersOfGroup(group) == 0; }));
   for (int i = 0; i < 3; i++)
   {
      CapturingExecutor executor(L"echo x");
      ASSERT_TRUE(executor.execute());
      ASSERT_TRUE(executor.waitForEnd());
   }
   EXPECT_EQ(before, OpenDescriptorCount());
   EXPECT_EQ(-1, kill(group, 0));  // reaped: no zombie of ours is left
}
