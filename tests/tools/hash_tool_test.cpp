/* qvtool hash, run as a program on a temporary file. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

class HashTool : public ToolDirTest
{};

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
      ToolRun run = RunTool(std::string("hash ") + c.option + " '" + file + "' '" + file + "'");
      std::string line = std::string(c.hex) + "  " + file + "\n";
      EXPECT_EQ(run.status, 0) << c.option;
      EXPECT_EQ(run.output, line + line) << c.option;
   }
}

TEST_F(HashTool, MissingFileAndBadOptionFail)
{
   std::string missing = (m_dir / "missing").string();
   ToolRun run = RunTool("hash --md5 '" + missing + "'");
   EXPECT_EQ(run.status, 1);
   EXPECT_EQ(run.output,
             "qvtool hash: " + missing + ": cannot open or read the file; check its name and permissions\n");
   EXPECT_EQ(RunTool("hash --sha512 '" + missing + "'").status, 2);
   EXPECT_EQ(RunTool("hash").status, 2);
}

}  // namespace
