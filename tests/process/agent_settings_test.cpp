/* The agent's settings as its configuration gives them: defaults, units, peers and
 * schedules, and every wrong entry named by file and line. */
#include "agent_settings.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

class AgentSettingsTest : public ::testing::Test
{
protected:
   qvtest::TempDir m_dir;
   agent::AgentSettings m_settings;
   std::vector<std::string> m_errors;

   /* Loads the INI text and reads the settings from it. */
   bool read(const std::string &ini)
   {
      std::string file = m_dir / "agent.ini";
      std::ofstream(file, std::ios::trunc) << ini;
      Config config(false);
      std::wstring wide(file.begin(), file.end());
      EXPECT_TRUE(config.loadConfig(wide.c_str(), L"agent", false));
      m_errors.clear();
      return agent::ReadAgentSettings(config, file.c_str(), &m_settings, &m_errors);
   }
};

TEST_F(AgentSettingsTest, DefaultsAndUnits)
{
   ASSERT_TRUE(read("KeyFile = k.bin\nLogMaxSize = 10M\nMaxTransferRate = 64K\nLogRotation = Daily\n"));
   EXPECT_EQ(m_settings.port, agent::DEFAULT_PORT);
   EXPECT_EQ(m_settings.keyFile, L"k.bin");
   EXPECT_EQ(m_settings.logMaxSize, 10u * 1024 * 1024);
   EXPECT_EQ(m_settings.maxTransferRate, 64u * 1024);
   EXPECT_EQ(m_settings.logRotation, QVLOG_ROTATE_DAILY);
   EXPECT_FALSE(m_settings.allowExec);
   EXPECT_TRUE(m_settings.allowedPeers.empty());
   EXPECT_FALSE(m_settings.allowEveryPeer);
}

TEST_F(AgentSettingsTest, PeersAreSubnets)
{
   ASSERT_TRUE(read("[agent]\nKeyFile = k\nAllowedPeer = 10.1.2.3/8\nAllowedPeer = 2001:db8::1/32\n"
                    "AllowedPeer = 192.0.2.7\n"));
   ASSERT_EQ(m_settings.allowedPeers.size(), 3u);
   EXPECT_TRUE(m_settings.allowedPeers[0].contain(InetAddress::parse("10.200.0.1")));
   EXPECT_FALSE(m_settings.allowedPeers[0].contain(InetAddress::parse("11.0.0.1")));
   EXPECT_TRUE(m_settings.allowedPeers[1].contain(InetAddress::parse("2001:db8:ffff::2")));
   EXPECT_TRUE(m_settings.allowedPeers[2].contain(InetAddress::parse("192.0.2.7")));
   EXPECT_FALSE(m_settings.allowedPeers[2].contain(InetAddress::parse("192.0.2.8")));

   ASSERT_TRUE(read("[agent]\nKeyFile = k\nAllowedPeer = *\n"));
   EXPECT_TRUE(m_settings.allowEveryPeer);
}

TEST_F(AgentSettingsTest, TagsSchedulesAndWorkers)
{
   ASSERT_TRUE(read("[agent]\nKeyFile = k\nDebugTag = agent=5\nDebugTag = *=2\nMinWorkers = 2\nMaxWorkers = 2\n"
                    "[schedules]\nnightly = \"30 2 * * *\"\nhourly = 0\n"));
   ASSERT_EQ(m_settings.debugTags.size(), 2u);
   EXPECT_EQ(m_settings.debugTags[0], std::make_pair(std::wstring(L"agent"), 5));
   EXPECT_EQ(m_settings.debugTags[1], std::make_pair(std::wstring(L"*"), 2));
   EXPECT_EQ(m_settings.minWorkers, 2);
   ASSERT_EQ(m_settings.schedules.size(), 2u);
   EXPECT_EQ(m_settings.schedules[0].name, L"nightly");
   EXPECT_EQ(m_settings.schedules[0].schedule, L"30 2 * * *");
}

TEST_F(AgentSettingsTest, EveryWrongEntryIsNamedAndNothingIsTaken)
{
   m_settings.port = 1234;
   EXPECT_FALSE(read("[agent]\nPort = -1\nAllowedPeer = 10.0.0.0/33\nDebugTag = agent=10\nMinWorkers = 5\n"
                     "MaxWorkers = 4\nLogMaxSize = 5Q\n[schedules]\nbad = \"1 2 3 4 5 6\"\n"));
   std::string file = m_dir / "agent.ini";
   std::vector<std::string> expected = {
       file + ": KeyFile is missing",     file + ":2: Port must be",     file + ":3: AllowedPeer must be",
       file + ":7: LogMaxSize must be",   file + ":4: DebugTag must be", file + ":5: MinWorkers must not exceed",
       file + ":9: schedule bad must be",
   };
   ASSERT_EQ(m_errors.size(), expected.size());
   for (const std::string &e : expected)
   {
      bool found = false;
      for (const std::string &error : m_errors)
         found = found || error.compare(0, e.size(), e) == 0;
      EXPECT_TRUE(found) << e << "\n" << ::testing::PrintToString(m_errors);
   }
   EXPECT_EQ(m_settings.port, 1234);  // the settings given stay as they were
}

}  // namespace
