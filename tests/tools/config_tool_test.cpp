/* qvtool config: the merged tree of files and directories, its XML form, and --check. */
#include <gtest/gtest.h>

#include "support/tool_run.h"

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

namespace {

class ConfigTool : public ::testing::Test
{
protected:
   std::string m_dir;

   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool not built";
      char pattern[] = "/tmp/qv_config_tool_XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      m_dir = pattern;
   }
   void TearDown() override
   {
      if (!m_dir.empty())
         system(("rm -rf '" + m_dir + "'").c_str());
   }

   std::string write(const std::string &name, const std::string &content)
   {
      std::string path = m_dir + "/" + name;
      FILE *f = fopen(path.c_str(), "wb");
      fwrite(content.data(), 1, content.size(), f);
      fclose(f);
      return path;
   }
};

}  // namespace

TEST_F(ConfigTool, PrintsTheMergedTreeOfFilesAndDirectories)
{
   std::string ini = write("a.ini", "port = 4701\n[log]\nlevel = 3\n");
   mkdir((m_dir + "/conf.d").c_str(), 0700);
   write("conf.d/b.xml", "<config><log><file>x&amp;y</file></log></config>");
   ToolRun run = RunTool("config '" + ini + "' '" + m_dir + "/conf.d'");
   EXPECT_EQ(run.status, 0) << run.output;
   EXPECT_EQ(run.output, "[root]\n"
                         " +- main\n"
                         " |   +- port\n"
                         " |        value: 4701\n"
                         " +- log\n"
                         "     +- level\n"
                         "     |    value: 3\n"
                         "     +- file\n"
                         "          value: x&y\n");

   ToolRun xml = RunTool("config --xml '" + ini + "'");
   EXPECT_EQ(xml.status, 0);
   EXPECT_EQ(xml.output, "<config>\n"
                         "    <main>\n"
                         "        <port>4701</port>\n"
                         "    </main>\n"
                         "    <log>\n"
                         "        <level>3</level>\n"
                         "    </log>\n"
                         "</config>\n");
}

TEST_F(ConfigTool, CheckReportsEachErrorWithFileAndLine)
{
   std::string good = write("good.ini", "a = 1\n");
   EXPECT_EQ(RunTool("config --check '" + good + "'").status, 0);

   std::string bad = write("bad.ini", "a = 1\nnot a pair\n");
   std::string broken = write("broken.xml", "<config>\n<a>\n</b>\n</config>\n");
   ToolRun run = RunTool("config --check '" + bad + "' '" + broken + "' '" + m_dir + "/missing'");
   EXPECT_EQ(run.status, 1);
   EXPECT_EQ(run.output, bad + ":2: Syntax error in configuration file " + bad + " at line 2\n" + broken +
                             ":3: mismatched tag at line 3\n" + m_dir + "/missing: Could not process \"" + m_dir +
                             "/missing\"!\n");

   EXPECT_EQ(RunTool("config").status, 2);
}
