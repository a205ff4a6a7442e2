/* qvtool diff, run as a program: plain through a pipe, coloured on a terminal. */
#include "system/stdout_capture.h"
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

class DiffTool : public ToolDirTest
{
protected:
   std::string m_left, m_right;

   void SetUp() override
   {
      ToolDirTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
         return;
      // A removed line, a line that differs only in case, blank lines, an escape sequence
      // and an added line.
      m_left = writeFile("left.txt", "a\nb\nc\nSame\n\x1b[2Jx\n");
      m_right = writeFile("right.txt", "a\nc\n\nsame\nnew\n");
   }
};

TEST_F(DiffTool, RedirectedOutputIsPlain)
{
   ToolRun run = RunTool("diff '" + m_left + "' '" + m_right + "'");
   EXPECT_EQ(run.status, 1);
   // Control characters of the files are shown, not passed on.
   EXPECT_EQ(run.output, "-b\n-^[[2Jx\n+new\n");
   ToolRun same = RunTool("diff '" + m_left + "' '" + m_left + "'");
   EXPECT_EQ(same.status, 0);
   EXPECT_EQ(same.output, "");
}

TEST_F(DiffTool, TerminalShowsRemovedRedAndAddedGreen)
{
   struct termios raw;
   cfmakeraw(&raw);
   int master = -1;
   pid_t child = forkpty(&master, nullptr, &raw, nullptr);
   ASSERT_GE(child, 0);
   if (child == 0)
   {
      std::string tool = ToolPath();
      execl(tool.c_str(), "qvtool", "diff", m_left.c_str(), m_right.c_str(), static_cast<char *>(nullptr));
      _exit(127);
   }
   // The child's exit closes the terminal, which ends the reading.
   std::string shown = ReadFrom(master);
   int status = 0;
   waitpid(child, &status, 0);
   close(master);
   EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
   EXPECT_EQ(shown, "\x1b[22;31m-b\x1b[0m\n\x1b[22;31m-^[[2Jx\x1b[0m\n\x1b[22;32m+new\x1b[0m\n");
}

TEST_F(DiffTool, BadUse)
{
   EXPECT_EQ(RunTool("diff '" + m_left + "'").status, 2);
   ToolRun missing = RunTool("diff '" + m_left + "' '" + (m_dir / "none").string() + "'");
   EXPECT_EQ(missing.status, 2);
   EXPECT_NE(missing.output.find("cannot open the file"), std::string::npos) << missing.output;
   ToolRun help = RunTool("diff --help");
   EXPECT_EQ(help.status, 0);
   EXPECT_EQ(help.output.compare(0, 25, "usage: qvtool diff FILE1 "), 0) << help.output;
}

}  // namespace
