/* qvtool pool-stress, run as a program: it works through its tasks and prints the pool's
 * statistics lines. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

class PoolStressTool : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

TEST_F(PoolStressTool, RunsItsTasksAndPrintsThePoolInfo)
{
   ToolRun run = RunTool("pool-stress --workers 3 --tasks 300 --serialized 4 --task-ms 0 --time-scale 100");
   ASSERT_EQ(run.status, 0) << run.output;
   std::istringstream lines(run.output);
   std::string line, last;
   int count = 0;
   bool summary = false;
   while (std::getline(lines, line))
   {
      // The summary on standard error, wherever it falls among the statistics lines.
      if (line.compare(0, 26, "pool-stress: 300 tasks in ") == 0 && line.find(" tasks/s") != std::string::npos)
      {
         summary = true;
         continue;
      }
      EXPECT_EQ(line.compare(0, 15, "pool-stress: t="), 0) << line;
      EXPECT_NE(line.find(" (min 1, max 3) "), std::string::npos) << line;
      EXPECT_NE(line.find(" load="), std::string::npos) << line;
      EXPECT_NE(line.find(" wait="), std::string::npos) << line;
      last = line;
      count++;
   }
   EXPECT_GE(count, 2);
   EXPECT_TRUE(summary) << run.output;
   EXPECT_NE(last.find(" done=300/300 "), std::string::npos) << last;

   ToolRun bad = RunTool("pool-stress --workers 0");
   EXPECT_EQ(bad.status, 2);
   EXPECT_NE(bad.output.find("--workers needs a number from 1"), std::string::npos) << bad.output;
}

}  // namespace
