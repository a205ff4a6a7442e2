/* qvtool's global debug options, run as a program. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class DebugOptions : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

TEST_F(DebugOptions, LevelsAreSetBeforeTheCommandAndDebugOutputIsShown)
{
   ToolRun plain = RunTool("text a");
   ASSERT_EQ(plain.status, 0);
   // The tool's own message is tagged "qvtool" at level 1: shown only where that is in force.
   const struct
   {
      const char *options;
      bool shown;
   } cases[] = {
       {"--debug-tag qvtool=1", true},
       {"--debug 3 --debug-tag 'a.*=5' --debug-tag qvtool=0", false},
       {"--debug 2 --debug-tag other.tag=9", true},
       {"--debug-tag other=9", false},
   };
   for (const auto &c : cases)
   {
      ToolRun run = RunTool(std::string(c.options) + " text a");
      EXPECT_EQ(run.status, 0) << c.options;
      size_t at = run.output.find("[qvtool] default debug level ");
      EXPECT_EQ(at != std::string::npos, c.shown) << c.options << ": " << run.output;
      EXPECT_NE(run.output.find(plain.output), std::string::npos) << c.options;
   }
   EXPECT_NE(RunTool("--debug-tag qvtool=1 --debug 4 text a").output.find("default debug level 4, 2 debug option(s)"),
             std::string::npos);
}

TEST_F(DebugOptions, BadValuesStopBeforeTheCommand)
{
   const char *bad[] = {"--debug 10 text a",     "--debug x text a",        "--debug-tag qvtool text a",
                        "--debug-tag =3 text a", "--debug-tag a=-1 text a", "--debug"};
   for (const char *arguments : bad)
   {
      ToolRun run = RunTool(arguments);
      EXPECT_EQ(run.status, 2) << arguments;
      EXPECT_EQ(run.output.find("code points"), std::string::npos) << arguments;
   }
}

}  // namespace
