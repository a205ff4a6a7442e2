/* qvtool ping, run as a program inside a network namespace of its own (unshare -n), where
 * loopback answers and a prohibit route refuses. */
#include "support/tool_run.h"

#include <gtest/gtest.h>
#include <jansson.h>

#include <regex>
#include <string>

namespace {

class QvtoolPing : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
      if (system("unshare -n true 2>/dev/null") != 0)
         GTEST_SKIP() << "network namespaces cannot be made here (unshare -n failed)";
   }

   /* Runs qvtool ping with the arguments in a new network namespace with loopback up. */
   ToolRun Ping(const std::string &arguments)
   {
      std::string script = "ip link set lo up && sysctl -qw net.ipv4.ping_group_range='0 2147483647' && "
                           "ip route add prohibit 198.51.100.0/24 && exec '" +
                           ToolPath() + "' ping " + arguments;
      return RunShell("unshare -n sh -c \"" + script + "\"");
   }
};

}  // namespace

TEST_F(QvtoolPing, PrintsOneLinePerAttemptAndASummary)
{
   ToolRun run = Ping("127.0.0.1 --count 3 --interval 0 --size 100");
   EXPECT_EQ(run.status, 0) << run.output;
   std::regex expected("PING 127\\.0\\.0\\.1 \\(127\\.0\\.0\\.1\\): 100 bytes of payload\n"
                       "(PING_OK from 127\\.0\\.0\\.1: seq=[123] time=[0-9]+ ms\n){3}"
                       "--- 127\\.0\\.0\\.1 ping statistics ---\n"
                       "3 requests sent, 3 answered, 0% lost\n"
                       "round trip min/avg/max = [0-9]+/[0-9]+/[0-9]+ ms\n");
   EXPECT_TRUE(std::regex_match(run.output, expected)) << run.output;
}

TEST_F(QvtoolPing, NamesTheResultOfEveryFailedAttempt)
{
   ToolRun run = Ping("198.51.100.1 --count 2 --interval 0 --timeout 100");
   EXPECT_EQ(run.status, 1) << run.output;
   EXPECT_NE(run.output.find("PING_UNREACHABLE from 198.51.100.1: seq=1\nPING_UNREACHABLE from 198.51.100.1: seq=2\n"),
             std::string::npos)
       << run.output;
   EXPECT_NE(run.output.find("2 requests sent, 0 answered, 100% lost\n"), std::string::npos) << run.output;

   run = Ping("::1 --count 1 --size 8192 --dont-fragment");
   EXPECT_EQ(run.status, 0) << run.output;
   EXPECT_NE(run.output.find("PING_OK from ::1: seq=1 time="), std::string::npos) << run.output;
}

/* --json: one document with every reply and the figures; a refused host gives null times. */
TEST_F(QvtoolPing, JsonGivesRepliesAndFigures)
{
   ToolRun run = Ping("127.0.0.1 --count 2 --interval 0 --size 20 --json");
   EXPECT_EQ(run.status, 0) << run.output;
   json_error_t error;
   json_t *d = json_loads(run.output.c_str(), 0, &error);
   ASSERT_NE(d, nullptr) << error.text << "\n" << run.output;
   EXPECT_STREQ(json_string_value(json_object_get(d, "host")), "127.0.0.1");
   EXPECT_STREQ(json_string_value(json_object_get(d, "address")), "127.0.0.1");
   EXPECT_EQ(json_integer_value(json_object_get(d, "payloadBytes")), 20);
   EXPECT_TRUE(json_is_false(json_object_get(d, "dontFragment")));
   json_t *replies = json_object_get(d, "replies");
   ASSERT_EQ(json_array_size(replies), 2u);
   for (size_t i = 0; i < 2; i++)
   {
      json_t *reply = json_array_get(replies, i);
      EXPECT_EQ(json_integer_value(json_object_get(reply, "sequence")), json_int_t(i + 1));
      EXPECT_STREQ(json_string_value(json_object_get(reply, "result")), "PING_OK");
      EXPECT_TRUE(json_is_integer(json_object_get(reply, "rttMs")));
   }
   EXPECT_EQ(json_integer_value(json_object_get(d, "sent")), 2);
   EXPECT_EQ(json_integer_value(json_object_get(d, "answered")), 2);
   EXPECT_EQ(json_integer_value(json_object_get(d, "lostPercent")), 0);
   for (const char *key : {"rttMinMs", "rttAvgMs", "rttMaxMs"})
      EXPECT_TRUE(json_is_integer(json_object_get(d, key))) << key;
   json_decref(d);

   // Standard error is left out: only the document is parsed.
   run = Ping("198.51.100.1 --count 1 --timeout 100 --json 2>/dev/null");
   EXPECT_EQ(run.status, 1) << run.output;
   d = json_loads(run.output.c_str(), 0, &error);
   ASSERT_NE(d, nullptr) << error.text << "\n" << run.output;
   json_t *reply = json_array_get(json_object_get(d, "replies"), 0);
   EXPECT_STREQ(json_string_value(json_object_get(reply, "result")), "PING_UNREACHABLE");
   EXPECT_TRUE(json_is_null(json_object_get(reply, "rttMs")));
   EXPECT_EQ(json_integer_value(json_object_get(d, "lostPercent")), 100);
   EXPECT_TRUE(json_is_null(json_object_get(d, "rttAvgMs")));
   json_decref(d);
}

TEST_F(QvtoolPing, RefusesBadOptions)
{
   EXPECT_EQ(RunTool("ping").status, 2);
   EXPECT_EQ(RunTool("ping 127.0.0.1 --size 8193").status, 2);
   EXPECT_EQ(RunTool("ping 127.0.0.1 --count 0").status, 2);
   EXPECT_EQ(RunTool("ping 127.0.0.1 --timeout x").status, 2);
   EXPECT_EQ(RunTool("ping 127.0.0.1 --bogus").status, 2);
}
