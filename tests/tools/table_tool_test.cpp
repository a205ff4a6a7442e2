/* qvtool table and the table part of "msg dump", run as a program. */
#include "support/sample_table.h"
#include "support/tool_run.h"

#include <qorvel.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

class QvtoolTable : public ToolDirTest
{};

Table *Sample()
{
   return qvtest::SampleTable();
}

const char SAMPLE_OUTPUT[] = "title: Interfaces\n"
                             "source: 2\n"
                             "format: plain\n"
                             "Interface*  Address\n"
                             "----------  -------------------\n"
                             "eth0        10.0.0.1\\t(primary)\n"
                             "\xE4\xB8\xAD\xE6\x96\x87\n"
                             "2 rows, 2 columns\n";

std::string Utf8(const wchar_t *text)
{
   char *utf8 = UTF8StringFromWideString(text);
   std::string s = utf8;
   free(utf8);
   return s;
}

}  // namespace

TEST_F(QvtoolTable, PrintsTheXmlFormAsAlignedColumns)
{
   Table *t = Sample();
   wchar_t *xml = t->createXML();
   std::string file = writeFile("t.xml", "\n  " + Utf8(xml));
   free(xml);
   t->decRefCount();
   ToolRun run = RunTool("table '" + file + "'");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, SAMPLE_OUTPUT);
}

TEST_F(QvtoolTable, PrintsThePackedForm)
{
   Table *t = Sample();
   char *packed = t->createPackedXML();
   std::string file = writeFile("t.packed", std::string(packed) + "\r\n");
   free(packed);
   t->decRefCount();
   ToolRun run = RunTool("table '" + file + "'");
   EXPECT_EQ(run.status, 0);
   EXPECT_EQ(run.output, SAMPLE_OUTPUT);
}

TEST_F(QvtoolTable, RefusesWhatIsNotATable)
{
   ToolRun xml = RunTool("table '" + writeFile("bad.xml", "<table><x/></table>") + "'");
   EXPECT_EQ(xml.status, 1);
   EXPECT_NE(xml.output.find("no valid table in the XML form"), std::string::npos);
   ToolRun packed = RunTool("table '" + writeFile("bad.packed", "AAAA") + "'");
   EXPECT_EQ(packed.status, 1);
   EXPECT_NE(packed.output.find("packed form"), std::string::npos);
   EXPECT_EQ(RunTool("table '" + std::string(m_dir) + "/missing'").status, 1);
   EXPECT_EQ(RunTool("table").status, 2);
}

TEST_F(QvtoolTable, MsgDumpShowsATableMessageAsATable)
{
   Table *t = Sample();
   QVCPMessage msg(CMD_REQUEST_COMPLETED, 3);
   t->fillMessage(msg, 0, -1);
   t->decRefCount();
   QVCP_MESSAGE *raw = msg.serialize();
   const uint8_t *b = reinterpret_cast<const uint8_t *>(raw);
   size_t size = (size_t(b[4]) << 24) | (size_t(b[5]) << 16) | (size_t(b[6]) << 8) | b[7];
   std::string file = writeFile("t.msg", std::string(reinterpret_cast<const char *>(raw), size));
   free(raw);
   ToolRun run = RunTool("msg dump '" + file + "'");
   EXPECT_EQ(run.status, 0);
   size_t at = run.output.find("table:\n");
   ASSERT_NE(at, std::string::npos) << run.output;
   EXPECT_EQ(run.output.substr(at + 7), SAMPLE_OUTPUT);

   // A message without a table shows none.
   QVCPMessage plain(CMD_REQUEST_COMPLETED, 4);
   plain.setField(1, L"x");
   raw = plain.serialize();
   b = reinterpret_cast<const uint8_t *>(raw);
   size = (size_t(b[4]) << 24) | (size_t(b[5]) << 16) | (size_t(b[6]) << 8) | b[7];
   std::string other = writeFile("plain.msg", std::string(reinterpret_cast<const char *>(raw), size));
   free(raw);
   EXPECT_EQ(RunTool("msg dump '" + other + "'").output.find("table:"), std::string::npos);
}
