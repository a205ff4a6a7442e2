/* qvtool mac, run as a program: the built binary is found through QV_TEST_TOOLS_DIR. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class QvtoolMac : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

}  // namespace

TEST_F(QvtoolMac, MacInEveryNotation)
{
   ToolRun run = RunTool("mac 001a.2b3c.4d5e");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "length:       6 bytes\n"
                         "flat:         001A2B3C4D5E\n"
                         "colon:        00:1A:2B:3C:4D:5E\n"
                         "colon pairs:  001A:2B3C:4D5E\n"
                         "hyphen:       00-1A-2B-3C-4D-5E\n"
                         "dot triplets: 001.A2B.3C4.D5E\n"
                         "dot pairs:    001A.2B3C.4D5E\n"
                         "class:        unicast\n");
   EXPECT_NE(RunTool("mac ff-ff-ff-ff-ff-ff").output.find("class:        broadcast\n"), std::string::npos);
   EXPECT_NE(RunTool("mac 01:00:5e:00:00:01").output.find("class:        multicast\n"), std::string::npos);
   EXPECT_NE(RunTool("mac 000000000000").output.find("class:        not valid (all zero), unicast\n"),
             std::string::npos);
   EXPECT_NE(RunTool("mac 11:22:33:44:55").output.find("colon pairs:  1122:3344:55\n"), std::string::npos);
   for (const char *text : {"00:1a:2b", "hello", "00:1a:2b:3c:4d:5e:6f:70:81", ""})
   {
      ToolRun run = RunTool(std::string("mac '") + text + "'");
      EXPECT_EQ(run.status, 1) << text;
      EXPECT_NE(run.output.find("is not a MAC address"), std::string::npos) << run.output;
   }
   EXPECT_EQ(RunTool("mac").status, 2);
}
