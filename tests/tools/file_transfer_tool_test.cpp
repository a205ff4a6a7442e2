/* qvtool receive-file and send-file, run as programs against each other on loopback. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace {

class FileTransferTool : public ToolDirTest
{
protected:
   void SetUp() override
   {
      ToolDirTest::SetUp();
      if (!IsSkipped() && !HasFatalFailure())
         std::filesystem::create_directories(m_dir / "in");
   }
};

std::string ReadFile(const std::filesystem::path &path)
{
   std::ifstream in(path, std::ios::binary);
   return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(FileTransferTool, MovesAFileWithEachCompression)
{
   std::string content;
   std::mt19937 random(11);
   for (int i = 0; i < 700001; i++)
      content += (i % 3000 < 1500) ? char(random()) : "log line\n"[i % 9];
   std::filesystem::path source = m_dir / "data.bin";
   std::ofstream(source, std::ios::binary) << content;

   for (const char *option : {"", " --compress lz4", " --compress deflate"})
   {
      std::filesystem::remove(m_dir / "in" / "data.bin");
      std::string command = "'" + ToolPath() + "' receive-file 0 '" + (m_dir / "in").string() + "' 2>&1";
      FILE *receiver = popen(command.c_str(), "r");
      ASSERT_NE(receiver, nullptr);
      char line[256];
      ASSERT_NE(fgets(line, sizeof(line), receiver), nullptr);
      int port = 0;
      ASSERT_EQ(sscanf(line, "listening on port %d", &port), 1) << line;

      ToolRun sender = RunTool("send-file 127.0.0.1:" + std::to_string(port) + " '" + source.string() + "'" + option);
      std::string received;
      while (fgets(line, sizeof(line), receiver) != nullptr)
         received += line;
      int status = pclose(receiver);
      EXPECT_EQ(sender.status, 0) << option << sender.output;
      EXPECT_NE(sender.output.find("the receiver stored the file"), std::string::npos) << sender.output;
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << option << received;
      EXPECT_NE(received.find("receiving data.bin (700001 bytes)"), std::string::npos) << received;
      EXPECT_TRUE(ReadFile(m_dir / "in" / "data.bin") == content) << option;
   }
}

TEST_F(FileTransferTool, RefusesBadArgumentsAndMissingFiles)
{
   EXPECT_EQ(RunTool("send-file 127.0.0.1 x").status, 2);
   EXPECT_EQ(RunTool("send-file 127.0.0.1:1 x --compress zip").status, 2);
   EXPECT_EQ(RunTool("receive-file").status, 2);
   ToolRun missing = RunTool("send-file 127.0.0.1:1 '" + (m_dir / "none").string() + "'");
   EXPECT_EQ(missing.status, 1);
   EXPECT_NE(missing.output.find("cannot open the file"), std::string::npos) << missing.output;
}

}  // namespace
