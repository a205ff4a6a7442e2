/* qvtool addr, run as a program: the built binary is found through QV_TEST_TOOLS_DIR. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <string>

namespace {

ToolRun Addr(const std::string &text)
{
   return RunTool("addr '" + text + "'");
}

class QvtoolAddr : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

}  // namespace

TEST_F(QvtoolAddr, DescribesAnIPv4Subnet)
{
   ToolRun run = Addr("10.1.2.3/24");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "family:     IPv4 (" + std::to_string(AF_INET) +
                             ")\n"
                             "address:    10.1.2.3\n"
                             "mask bits:  24\n"
                             "subnet:     10.1.2.0/24\n"
                             "broadcast:  10.1.2.255\n"
                             "class:      valid unicast\n");
}

TEST_F(QvtoolAddr, DescribesIPv6InCanonicalText)
{
   ToolRun run = Addr("FE80:0000::0001/64");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "family:     IPv6 (" + std::to_string(AF_INET6) +
                             ")\n"
                             "address:    fe80::1\n"
                             "mask bits:  64\n"
                             "subnet:     fe80::/64\n"
                             "class:      link-local\n");
   EXPECT_NE(Addr("::ffff:1.2.3.4").output.find("address:    ::ffff:102:304\n"), std::string::npos);
}

TEST_F(QvtoolAddr, NamesTheClasses)
{
   struct Case
   {
      const char *text;
      const char *classes;
   };
   const Case cases[] = {
       {"127.0.0.1", "loopback"},
       {"::1", "loopback"},
       {"255.255.255.255", "broadcast"},
       {"240.0.0.1", "multicast"},
       {"ff02::1", "multicast"},
       {"169.254.7.7/16", "link-local"},
       {"0.0.0.0/0", "any, subnet address"},
       {"::", "any"},
       {"192.168.1.255/24", "valid unicast, subnet broadcast"},
       {"2001:db8::/32", "valid unicast, subnet address"},
   };
   for (const Case &c : cases)
   {
      ToolRun run = Addr(c.text);
      EXPECT_EQ(run.status, 0) << c.text;
      EXPECT_NE(run.output.find(std::string("class:      ") + c.classes + "\n"), std::string::npos) << c.text << ":\n"
                                                                                                    << run.output;
   }
}

TEST_F(QvtoolAddr, RefusesWhatIsNotAnAddress)
{
   const char *const addresses[] = {"1.2.3", "localhost", "01.2.3.4", "1::2::3", "", "/24"};
   for (const char *text : addresses)
   {
      ToolRun run = Addr(text);
      EXPECT_EQ(run.status, 1) << text;
      EXPECT_NE(run.output.find("is not a numeric IPv4 or IPv6 address"), std::string::npos) << run.output;
   }
   const char *const prefixes[] = {"10.0.0.0/33", "::/129",  "10.0.0.0/",   "10.0.0.0/-1",
                                   "10.0.0.0/x",  "::/0128", "10.0.0.0/8/8"};
   for (const char *text : prefixes)
   {
      ToolRun run = Addr(text);
      EXPECT_EQ(run.status, 1) << text;
      EXPECT_NE(run.output.find("bad prefix length"), std::string::npos) << text << ": " << run.output;
   }
   EXPECT_EQ(RunTool("addr").status, 2);
   EXPECT_EQ(RunTool("addr 1.2.3.4 5.6.7.8").status, 2);
}
