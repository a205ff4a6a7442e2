/* qvtool schedule, run as a program in a zone of the test's choosing: the built binary
 * is found through QV_TEST_TOOLS_DIR. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <time.h>

#include <string>

namespace {

class QvtoolSchedule : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
      const char *zone = getenv("TZ");
      m_hadZone = (zone != nullptr);
      if (m_hadZone)
         m_zone = zone;
   }
   void TearDown() override
   {
      if (m_hadZone)
         setenv("TZ", m_zone.c_str(), 1);
      else
         unsetenv("TZ");
   }
   /* The zone the tool runs in. */
   void Zone(const char *zone) { setenv("TZ", zone, 1); }

private:
   std::string m_zone;
   bool m_hadZone = false;
};

}  // namespace

TEST_F(QvtoolSchedule, ScheduleListsTheNextMatches)
{
   Zone("UTC0");
   ToolRun run = RunTool("schedule '0 0 * * 5-7' --from '2024-06-01 00:00' --count 5");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "2024-06-01 00:00 Sat\n"
                         "2024-06-02 00:00 Sun\n"
                         "2024-06-07 00:00 Fri\n"
                         "2024-06-08 00:00 Sat\n"
                         "2024-06-09 00:00 Sun\n");
   run = RunTool("schedule '*/20 9 1,15,L 2 *' --count 7 --from '2023-02-14 23:59'");
   EXPECT_EQ(run.output, "2023-02-15 09:00 Wed\n"
                         "2023-02-15 09:20 Wed\n"
                         "2023-02-15 09:40 Wed\n"
                         "2023-02-28 09:00 Tue\n"
                         "2023-02-28 09:20 Tue\n"
                         "2023-02-28 09:40 Tue\n"
                         "2024-02-01 09:00 Thu\n");
   // Ten by default, from the next minute on.
   run = RunTool("schedule '* * * * *'");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 10);
}

TEST_F(QvtoolSchedule, ScheduleFollowsLocalTime)
{
   // 03:30 does not exist on 2024-03-31 in a zone that moves from 03:00 to 04:00.
   Zone("EET-2EEST,M3.5.0/3,M10.5.0/4");
   ToolRun run = RunTool("schedule '30 3 * * *' --from '2024-03-30 00:00' --count 2");
   EXPECT_EQ(run.output, "2024-03-30 03:30 Sat\n2024-04-01 03:30 Mon\n");
}

TEST_F(QvtoolSchedule, ScheduleSaysWhenNothingMatches)
{
   Zone("UTC0");
   ToolRun run = RunTool("schedule '0 0 31 2 *' --from '2024-01-01 00:00'");
   EXPECT_EQ(run.status, 1);
   EXPECT_EQ(run.output, "qvtool schedule: \"0 0 31 2 *\" matches nothing in the next 4 years; check its fields\n");
   run = RunTool("schedule '0 0 29 2 *' --from '2024-03-01 00:00' --count 3");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "2028-02-29 00:00 Tue\nno more matches in the next 4 years\n");
}

TEST_F(QvtoolSchedule, ScheduleRefusesBadArguments)
{
   EXPECT_EQ(RunTool("schedule").status, 2);
   EXPECT_EQ(RunTool("schedule '* * * * *' --count").status, 2);
   EXPECT_EQ(RunTool("schedule '* * * * *' --bogus 1").status, 2);
   EXPECT_EQ(RunTool("schedule '* * * * *' '* * * * *'").status, 2);
   for (const char *count : {"0", "-1", "x", "3x", "100001", ""})
   {
      ToolRun run = RunTool(std::string("schedule '* * * * *' --count '") + count + "'");
      EXPECT_EQ(run.status, 2) << count;
      EXPECT_NE(run.output.find("bad count"), std::string::npos) << run.output;
   }
   for (const char *from : {"2024-01-01", "2024-13-01 00:00", "2024-01-01 00:00 x", "yesterday"})
   {
      ToolRun run = RunTool(std::string("schedule '* * * * *' --from '") + from + "'");
      EXPECT_EQ(run.status, 2) << from;
      EXPECT_NE(run.output.find("bad start"), std::string::npos) << run.output;
   }
}
