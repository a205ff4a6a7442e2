/* qvtool exec and qvtool info, run as programs. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

class ExecInfoTool : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

/* The value printed after a label of qvtool info, or "(missing)". */
std::string Value(const std::string &output, const std::string &label)
{
   size_t at = output.find("\n" + label);
   if (at == std::string::npos && output.compare(0, label.size(), label) == 0)
      at = 0;
   else if (at != std::string::npos)
      at++;
   else
      return "(missing)";
   size_t start = output.find_first_not_of(' ', at + label.size());
   return output.substr(start, output.find('\n', start) - start);
}

}  // namespace

TEST_F(ExecInfoTool, ExecStreamsOutputAndPassesTheExitCodeOn)
{
   ToolRun run = RunTool("exec -- 'printf \"one\\n\"; echo two >&2; exit 7'");
   EXPECT_EQ(7, run.status);
   EXPECT_EQ("one\ntwo\n", run.output);

   run = RunTool("exec 'seq 1 20000'");
   EXPECT_EQ(0, run.status);
   std::string expected;
   for (int i = 1; i <= 20000; i++)
      expected += std::to_string(i) + "\n";
   EXPECT_EQ(expected, run.output);

   run = RunTool("exec");
   EXPECT_EQ(2, run.status);
   EXPECT_NE(std::string::npos, run.output.find("usage: qvtool exec"));
}

TEST_F(ExecInfoTool, InfoPrintsSystemHostDirectoriesAndFigures)
{
   ToolRun run = RunTool("info");
   ASSERT_EQ(0, run.status) << run.output;
   char host[256];
   ASSERT_EQ(0, gethostname(host, sizeof(host)));
   std::string plain(host);
   EXPECT_EQ(plain.substr(0, plain.find('.')), Value(run.output, "host name:"));
   EXPECT_EQ(0u, Value(run.output, "system:").find("Linux "));
   EXPECT_EQ(0u, Value(run.output, "os version:").find("Linux "));
   // The tool lives in <build>/tools, so the installation is the build directory.
   std::string tool = ToolPath();
   std::string installation = tool.substr(0, tool.rfind('/'));
   installation = installation.substr(0, installation.rfind('/'));
   EXPECT_EQ(installation, Value(run.output, "installation:"));
   EXPECT_EQ(installation + "/etc", Value(run.output, "etc directory:"));
   EXPECT_GT(atoll(Value(run.output, "resident memory:").c_str()), 0);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
   // A sanitizer's own allocator does not show in the C library's heap figures.
   EXPECT_GT(atoll(Value(run.output, "heap mapped:").c_str()), 0);
#endif

   run = RunTool("info --heap-report");
   EXPECT_EQ(0, run.status);
   EXPECT_NE(std::string::npos, Value(run.output, "heap report:").find("<malloc version="));
   EXPECT_EQ(2, RunTool("info --bogus").status);
}
