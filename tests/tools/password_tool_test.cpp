/* qvtool password, run as a program: encrypt then decrypt, plain texts and bad use. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class PasswordTool : public ::testing::Test
{
protected:
   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
   }
};

TEST_F(PasswordTool, EncryptThenDecryptGivesThePassword)
{
   ToolRun encrypted = RunTool("password encrypt admin 'my secret'");
   ASSERT_EQ(encrypted.status, 0) << encrypted.output;
   ASSERT_EQ(encrypted.output.size(), 45u) << encrypted.output;
   std::string form = encrypted.output.substr(0, 44);
   EXPECT_EQ(form.back(), '=');

   ToolRun decrypted = RunTool("password decrypt admin '" + form + "'");
   EXPECT_EQ(decrypted.status, 0);
   EXPECT_EQ(decrypted.output, "my secret\n");
   EXPECT_NE(RunTool("password decrypt guest '" + form + "'").output, "my secret\n");
}

TEST_F(PasswordTool, PlainTextIsPrintedWithANote)
{
   // The note goes to standard error, unbuffered, so it comes before the printed text.
   ToolRun run = RunTool("password decrypt admin plain");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, "qvtool password: the text is not an encrypted password; printed as it is\nplain\n");
}

TEST_F(PasswordTool, TooLongPasswordAndBadUseFail)
{
   EXPECT_EQ(RunTool("password encrypt admin " + std::string(32, 'x')).status, 1);
   EXPECT_EQ(RunTool("password encrypt admin").status, 2);
   EXPECT_EQ(RunTool("password rot13 admin text").status, 2);
}

}  // namespace
