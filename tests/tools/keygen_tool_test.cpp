/* qvtool keygen, run as a program: the file it writes loads with LoadRSAKeys. */
#include "support/tool_run.h"

#include <qorvel.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <filesystem>
#include <random>
#include <string>

namespace {

TEST(KeygenTool, WritesAKeyFileThatLoads)
{
   if (ToolPath().empty())
      GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   std::filesystem::path dir =
       std::filesystem::temp_directory_path() / ("qv_keygen_tool_" + std::to_string(std::random_device()()));
   std::filesystem::create_directories(dir);
   std::string file = (dir / "server.key").string();

   ToolRun run = RunTool("keygen '" + file + "'");
   EXPECT_EQ(run.status, 0) << run.output;
   EXPECT_EQ(run.output, "");
   EXPECT_EQ(std::filesystem::status(file).permissions() & std::filesystem::perms::all,
             std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
   std::wstring wide = (dir / "server.key").wstring();
   RSA_KEY key = LoadRSAKeys(wide.c_str());
   ASSERT_NE(key, nullptr);
   EXPECT_EQ(EVP_PKEY_get_bits(key), 2048);
   RSAFree(key);

   std::string missingDir = (dir / "missing" / "server.key").string();
   run = RunTool("keygen '" + missingDir + "'");
   EXPECT_EQ(run.status, 1);
   EXPECT_EQ(run.output,
             "qvtool keygen: " + missingDir + ": cannot write the key file; check the directory and its permissions\n");
   EXPECT_EQ(RunTool("keygen").status, 2);
   std::filesystem::remove_all(dir);
}

}  // namespace
