/* qvtool hash, run as a program on a temporary file. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>

namespace {

/* Output and exit code of a shell command. */
struct RunResult
{
   std::string output;
   int exitCode;
};

RunResult RunCommand(const std::string &command)
{
   RunResult result{"", -1};
   FILE *pipe = popen(command.c_str(), "r");
   if (pipe == nullptr)
      return result;
   char buffer[256];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
      result.output.append(buffer, n);
   int status = pclose(pipe);
   result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   return result;
}

class HashTool : public ::testing::Test
{
protected:
   std::string m_tool;
   std::filesystem::path m_dir;

   void SetUp() override
   {
      const char *dir = getenv("QV_TEST_TOOLS_DIR");
      if (dir == nullptr || !std::filesystem::exists(std::filesystem::path(dir) / "qvtool"))
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
      m_tool = (std::filesystem::path(dir) / "qvtool").string();
      m_dir = std::filesystem::temp_directory_path() / ("qv_hash_tool_" + std::to_string(std::random_device()()));
      std::filesystem::create_directories(m_dir);
   }
   /* Runs "qvtool hash ARGS", with standard error discarded. */
   RunResult Hash(const std::string &args) { return RunCommand("'" + m_tool + "' hash " + args + " 2>/dev/null"); }

   void TearDown() override
   {
      if (!m_dir.empty())
         std::filesystem::remove_all(m_dir);
   }
};

TEST_F(HashTool, PrintsDigestsLikeTheSumTools)
{
   std::string file = (m_dir / "abc.txt").string();
   FILE *f = fopen(file.c_str(), "wb");
   ASSERT_NE(f, nullptr);
   fputs("abc", f);
   fclose(f);

   const struct
   {
      const char *option;
      const char *hex;
   } cases[] = {
       {"--crc32", "352441c2"},
       {"--md5", "900150983cd24fb0d6963f7d28e17f72"},
       {"--sha1", "a9993e364706816aba3e25717850c26c9cd0d89d"},
       {"--sha256", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
       {"", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
   };
   for (const auto &c : cases)
   {
      RunResult r = Hash(std::string(c.option) + " '" + file + "' '" + file + "'");
      std::string line = std::string(c.hex) + "  " + file + "\n";
      EXPECT_EQ(r.exitCode, 0) << c.option;
      EXPECT_EQ(r.output, line + line) << c.option;
   }
}

TEST_F(HashTool, MissingFileAndBadOptionFail)
{
   std::string missing = (m_dir / "missing").string();
   RunResult r = Hash("--md5 '" + missing + "'");
   EXPECT_EQ(r.exitCode, 1);
   EXPECT_EQ(r.output, "");
   EXPECT_EQ(Hash("--sha512 '" + missing + "'").exitCode, 2);
   EXPECT_EQ(Hash("").exitCode, 2);
}

}  // namespace
