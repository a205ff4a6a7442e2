/* qvtool crash-test, run as a program: it ends with exit code 99 and leaves one report,
 * one dump and its log in the directory; bad options are refused. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <stdlib.h>

namespace {

class CrashTestTool : public ToolDirTest
{
protected:
   void SetUp() override
   {
      ToolDirTest::SetUp();
      dir = m_dir.string();
   }

   int Count(const std::string &suffix)
   {
      int n = 0;
      for (auto &entry : std::filesystem::directory_iterator(dir))
      {
         std::string name = entry.path().filename().string();
         n += (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0);
      }
      return n;
   }

   std::string dir;
};

TEST_F(CrashTestTool, AbortOnLibraryThreadLeavesReportDumpAndLogEvent)
{
   ToolRun run = RunTool("crash-test --thread --kind abort '" + dir + "'");
   EXPECT_EQ(run.status, 99) << run.output;
   EXPECT_NE(run.output.find("EXCEPTION: 40000015 (Abort)"), std::string::npos) << run.output;
   EXPECT_EQ(Count(".info"), 1);
   EXPECT_EQ(Count(".mdmp.gz"), 1);
   std::ifstream log(dir + "/qvtool-crash-test.log");
   std::stringstream text;
   text << log.rdbuf();
   EXPECT_NE(text.str().find("*E* Process crashed: exception 0x40000015 (Abort)"), std::string::npos) << text.str();
}

TEST_F(CrashTestTool, RefusesUnknownKindAndMissingDirectory)
{
   EXPECT_EQ(RunTool("crash-test --kind melt '" + dir + "'").status, 2);
   EXPECT_EQ(RunTool("crash-test").status, 2);
   EXPECT_EQ(Count(".info"), 0);
}

}  // namespace
