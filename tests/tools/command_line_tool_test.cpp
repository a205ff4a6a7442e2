/* qvtool's option handling, common to every command: --help, bad options, abbreviations
 * and options after operands. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

class QvtoolOptions : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

TEST_F(QvtoolOptions, EveryCommandHasHelp)
{
   const char *commands[] = {"text",      "addr",         "hash",   "password",    "msg",       "msg dump",
                             "msg build", "receive-file", "keygen", "pool-stress", "diff",      "send-file",
                             "schedule",  "mac",          "geo",    "table",       "crash-test"};
   for (const char *command : commands)
   {
      ToolRun run = RunTool(std::string(command) + " --help");
      EXPECT_EQ(run.status, 0) << command;
      std::string usage = std::string("usage: qvtool ") + command + " ";
      EXPECT_EQ(run.output.compare(0, usage.size(), usage), 0) << command << ": " << run.output;
      EXPECT_NE(run.output.find("  --help "), std::string::npos) << command;
   }
   ToolRun global = RunTool("-h");
   EXPECT_EQ(global.status, 0);
   EXPECT_NE(global.output.find("  diff "), std::string::npos) << global.output;
}

TEST_F(QvtoolOptions, BadOptionsAreNamed)
{
   const struct
   {
      const char *arguments;
      const char *message;
   } cases[] = {
       {"hash --sha x", "qvtool hash: option --sha is ambiguous\n"},
       {"hash --sha512 x", "qvtool hash: unknown option --sha512\n"},
       {"hash --md5=1 x", "qvtool hash: option --md5 takes no value\n"},
       {"hash -q x", "qvtool hash: unknown option -q\n"},
       {"msg build -o", "qvtool msg build: option -o needs a value\n"},
       {"pool-stress --tasks", "qvtool pool-stress: option --tasks needs a value\n"},
       {"schedule '* * * * *' --bogus 1", "qvtool schedule: unknown option --bogus\n"},
       {"schedule '* * * * *' --count", "qvtool schedule: option --count needs a value\n"},
       {"mac -x 00:11:22:33:44:55", "qvtool mac: unknown option -x\n"},
       {"geo --north 5", "qvtool geo: unknown option --north\n"},
       {"table --xml t.xml", "qvtool table: unknown option --xml\n"},
       {"crash-test --kind", "qvtool crash-test: option --kind needs a value\n"},
       {"crash-test --kind melt /nonexistent", "qvtool crash-test: unknown kind \"melt\""},
       {"crash-test --thread=1 /nonexistent", "qvtool crash-test: option --thread takes no value\n"},
       {"receive-file --keep=1 0 /nonexistent", "qvtool receive-file: option --keep takes no value\n"},
       {"receive-file --deadline 0 0 /nonexistent", "qvtool receive-file: --deadline needs a number of seconds"},
       {"receive-file --deadline 5x 0 /nonexistent", "qvtool receive-file: --deadline needs a number of seconds"},
       {"--verbose text a", "qvtool: unknown option --verbose\n"},
       {"nothing", "qvtool: unknown command \"nothing\"\n"},
   };
   for (const auto &c : cases)
   {
      ToolRun run = RunTool(c.arguments);
      EXPECT_EQ(run.status, 2) << c.arguments;
      EXPECT_EQ(run.output.compare(0, strlen(c.message), c.message), 0) << c.arguments << ": " << run.output;
      EXPECT_NE(run.output.find("usage: qvtool"), std::string::npos) << c.arguments;
   }
}

TEST_F(QvtoolOptions, AbbreviationsOptionsAfterOperandsAndDoubleDash)
{
   ToolRun text = RunTool("text -- -x");
   EXPECT_EQ(text.status, 0);
   EXPECT_NE(text.output.find("U+002D U+0078"), std::string::npos) << text.output;
   // A password may start with "-": options end at the first operand there.
   ToolRun password = RunTool("password encrypt admin -secret");
   EXPECT_EQ(password.status, 0) << password.output;
   EXPECT_EQ(RunTool("pool-stress --work 2 --tasks 10 --task-m 0 --time-scale 100").status, 0);
   EXPECT_EQ(RunTool("msg build 1:int32=5 --hex --code=0x10").status, 0);
}

}  // namespace
