/* qvtool geo, run as a program: the built binary is found through QV_TEST_TOOLS_DIR. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class QvtoolGeo : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

}  // namespace

TEST_F(QvtoolGeo, GeoReadsACoordinateBothWays)
{
   ToolRun run = RunTool("geo 'N 56\xc2\xb0 56'\"'\"' 58.56\"'");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "latitude:     56.9496 = N 56\xc2\xb0 56' 58.560\"\n"
                         "longitude:    not readable\n");
   run = RunTool("geo -0.5");
   EXPECT_EQ(run.output, "latitude:     -0.5 = S 00\xc2\xb0 30' 00.000\"\n"
                         "longitude:    -0.5 = W 00\xc2\xb0 30' 00.000\"\n");
   run = RunTool("geo 200");
   EXPECT_EQ(run.output, "latitude:     200 = <invalid>\nlongitude:    200 = <invalid>\n");
   run = RunTool("geo 'north'");
   EXPECT_EQ(run.status, 1);
   EXPECT_EQ(run.output, "latitude:     not readable\nlongitude:    not readable\n"
                         "qvtool geo: \"north\" is not a coordinate; give degrees such as -33.5 or 48.8566\n");
   EXPECT_EQ(RunTool("geo").status, 2);
}
