/* qvtool msg, run as a program: messages built by "msg build" read back by "msg dump". */
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "support/tool_run.h"

namespace {

/* Each test works in a directory of its own (ToolDirTest). */
class QvtoolMsg : public ToolDirTest
{};

bool Has(const ToolRun &run, const std::string &text)
{
   return run.output.find(text) != std::string::npos;
}

const char *const FIELDS = "1:int32=-5 '2:string=h\xC3\xA9llo' 3:binary=00ff10 4:float=2.5 "
                           "5:uuid=6ba7b810-9dad-11d1-80b4-00c04fd430c8 6:uint64=18446744073709551615 "
                           "7:bool=1 8:int16=-3";

TEST_F(QvtoolMsg, BuildThenDumpRoundTrips)
{
   std::string file = path("m.bin");
   ASSERT_EQ(RunTool("msg build --code 0x67 --id 42 -o '" + file + "' " + FIELDS).status, 0);
   ToolRun dump = RunTool("msg dump '" + file + "'");
   EXPECT_EQ(dump.status, 0) << dump.output;
   EXPECT_TRUE(Has(dump, "message 1 (152 bytes at offset 0):\n"
                         "  ** 000000: 00670000000000980000002A00000008 .g.........*....\n"))
       << dump.output;
   const char *const lines[] = {
       "  ** code=0x0067 (CMD_GET_SERVER_INFO) flags=0x0000 id=42 size=152 numFields=8\n",
       "  ** 000020: [     2] STRING   \"h\xC3\xA9llo\"\n",
       "  ** 000090: [     8] INT16    65533\n",
       "fields: 8\n",
       "  [1] INT32    4294967291 (signed -5)\n",
       "  [2] STRING   \"h\xC3\xA9llo\"\n",
       "  [3] BINARY   3 bytes: 00 FF 10\n",
       "  [4] FLOAT    2.5\n",
       "  [5] BINARY   16 bytes: 6B A7 B8 10 9D AD 11 D1 80 B4 00 C0 4F D4 30 C8\n",
       "  [6] INT64    18446744073709551615 (signed -1)\n",
       "  [7] INT16    1 (signed 1)\n",
       "  [8] INT16    65533 (signed -3)\n",
   };
   for (const char *line : lines)
      EXPECT_TRUE(Has(dump, line)) << line << dump.output;

   // Compressed and in hex, two messages in one file, the second of version 1.
   std::string hex = path("m.hex");
   std::string text(300, 'a');
   ASSERT_EQ(RunTool("msg build --compress --hex -o '" + hex + "' 1:string=" + text).status, 0);
   ToolRun second = RunTool("msg build --hex --version 1 2:uint32=7");
   ASSERT_EQ(second.status, 0);
   writeFile("m.hex", second.output);
   dump = RunTool("msg dump --hex '" + hex + "'");
   EXPECT_EQ(dump.status, 0) << dump.output;
   EXPECT_TRUE(Has(dump, "flags=0x0040")) << dump.output;
   EXPECT_TRUE(Has(dump, "  [1] STRING   \"" + text + "\"\n")) << dump.output;
   EXPECT_TRUE(Has(dump, "message 2 (32 bytes at offset ")) << dump.output;
   EXPECT_TRUE(Has(dump, "  [2] INT32    7 (signed 7)\n")) << dump.output;
}

TEST_F(QvtoolMsg, RefusesMalformedArgumentsAndInput)
{
   const char *const builds[] = {"1:int16=40000", "1:int32=x",    "x:int32=1",   "1:int32",
                                 "1:float=",      "1:binary=abc", "1:uuid=nope", "1:nosuch=1"};
   // A malformed field is wrong usage (2); a file that cannot be read a failure (1).
   for (const char *field : builds)
      EXPECT_EQ(RunTool(std::string("msg build '") + field + "'").status, 2) << field;
   ToolRun missing = RunTool("msg build '1:file=/nonexistent/file'");
   EXPECT_EQ(missing.status, 1);
   EXPECT_TRUE(Has(missing, "qvtool msg build: cannot read the file \"/nonexistent/file\" of field 1"))
       << missing.output;
   EXPECT_EQ(RunTool("msg build --code").status, 2);
   EXPECT_EQ(RunTool("msg").status, 2);

   // The header says 32 bytes; 20 follow.
   std::string file = writeFile("cut.hex", "0000000000000020000000000000000100000002");
   ToolRun cut = RunTool("msg dump --hex '" + file + "'");
   EXPECT_EQ(cut.status, 1);
   EXPECT_TRUE(Has(cut, "incomplete message at offset 0 (20 bytes left)")) << cut.output;
   EXPECT_EQ(RunTool("msg dump '" + path("none") + "'").status, 1);
   ToolRun notHex = RunTool("msg dump --hex '" + writeFile("text", "00 0g") + "'");
   EXPECT_EQ(notHex.status, 1);
   EXPECT_TRUE(Has(notHex, "is not hex text")) << notHex.output;
}

}  // namespace
