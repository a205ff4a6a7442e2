/* The XML and packed forms of Table: the exact text written, what the reader accepts and
 * refuses, and round trips of generated tables. */
#include "data/table_test_util.h"

#include <zlib.h>

#include <stdlib.h>
#include <string.h>

namespace {

std::wstring XmlOf(const Table *t)
{
   wchar_t *xml = t->createXML();
   std::wstring text = (xml != nullptr) ? xml : L"<failed>";
   free(xml);
   return text;
}

std::string Utf8(const std::wstring &text)
{
   char *utf8 = UTF8StringFromWideString(text.c_str());
   std::string result = utf8;
   free(utf8);
   return result;
}

Table *FromXml(const std::string &xml)
{
   return Table::createFromXML(xml.c_str());
}

/* The table of the documented example: title A&B, one instance column c (display name C,
 * type 4) and one row with object id 5 and the cell x with status 2. */
Table *ExampleTable()
{
   Table *t = new Table();
   t->setTitle(L"A&B");
   t->addColumn(L"c", 4, L"C", true);
   t->addRow();
   t->setObjectId(5);
   t->set(0, L"x");
   t->setStatus(0, 2);
   t->setCellObjectId(0, 99);
   return t;
}

const wchar_t EXAMPLE_XML[] = L"<table extendedFormat=\"false\" source=\"0\"  name=\"A&amp;B\">\r\n"
                              L"<columns>\r\n"
                              L"<column name=\"c\" displayName=\"C\" isInstance=\"true\" dataType=\"4\"/>\r\n"
                              L"</columns>\r\n"
                              L"<data>\r\n"
                              L"<tr objectId=\"5\">\r\n"
                              L"<td status=\"2\">x</td>\r\n"
                              L"</tr>\r\n"
                              L"</data>\r\n"
                              L"</table>";

/* Packs raw bytes as the packed form does: a big-endian length, then the bytes given,
 * in base64. */
std::string PackRaw(uint32_t declared, const std::string &payload)
{
   std::string raw;
   for (int i = 3; i >= 0; i--)
      raw.push_back(static_cast<char>(declared >> (8 * i)));
   raw += payload;
   char *text;
   base64_encode_alloc(raw.data(), raw.size(), &text);
   std::string result = text;
   free(text);
   return result;
}

std::string Compressed(const std::string &text)
{
   uLongf length = compressBound(text.size());
   std::string out(length, '\0');
   compress(reinterpret_cast<Bytef *>(&out[0]), &length, reinterpret_cast<const Bytef *>(text.data()), text.size());
   out.resize(length);
   return out;
}

}  // namespace

TEST(TableXml, WritesTheDocumentedText)
{
   TableRef t(ExampleTable());
   EXPECT_EQ(XmlOf(t.get()), EXAMPLE_XML);

   TableRef rows;
   rows->setExtendedFormat(true);
   rows->setSource(-3);
   rows->addColumn(L"v");
   for (int i = 0; i < 4; i++)
      rows->addRow();
   rows->setObjectIdAt(0, 7);
   rows->setBaseRowAt(0, 2);
   rows->setBaseRowAt(1, 0);
   rows->setObjectIdAt(2, 4000000000u);
   rows->setAt(3, 0, L"<\t'\"\x01>");
   EXPECT_EQ(XmlOf(rows.get()), L"<table extendedFormat=\"true\" source=\"-3\"  name=\"\">\r\n"
                                L"<columns>\r\n"
                                L"<column name=\"v\" displayName=\"v\" isInstance=\"false\" dataType=\"0\"/>\r\n"
                                L"</columns>\r\n"
                                L"<data>\r\n"
                                L"<tr objectId=\"7\" baseRow=\"2\">\r\n<td></td>\r\n</tr>\r\n"
                                L"<tr baseRow=\"0\">\r\n<td></td>\r\n</tr>\r\n"
                                L"<tr objectId=\"4000000000\">\r\n<td></td>\r\n</tr>\r\n"
                                L"<tr>\r\n<td>&lt;&#x09;&apos;&quot;&#x01;&gt;</td>\r\n</tr>\r\n"
                                L"</data>\r\n"
                                L"</table>");
}

TEST(TableXml, ReadsBackTheDocumentedText)
{
   TableRef t(FromXml(Utf8(EXAMPLE_XML)));
   ASSERT_TRUE(t);
   EXPECT_STREQ(t->getTitle(), L"A&B");
   ASSERT_EQ(t->getNumColumns(), 1);
   EXPECT_STREQ(t->getColumnName(0), L"c");
   EXPECT_STREQ(t->getColumnDefinition(0)->getDisplayName(), L"C");
   EXPECT_TRUE(t->getColumnDefinition(0)->isInstanceColumn());
   EXPECT_EQ(t->getColumnDataType(0), 4);
   ASSERT_EQ(t->getNumRows(), 1);
   EXPECT_EQ(t->getObjectId(0), 5u);
   EXPECT_EQ(t->getBaseRow(0), -1);
   EXPECT_STREQ(t->getAsString(0, 0), L"x");
   EXPECT_EQ(t->getStatus(0, 0), 2);
   EXPECT_EQ(t->getCellObjectId(0, 0), 0u);  // cell object ids are not in the XML
}

TEST(TableXml, AttributesAreFoundWithoutRegardToCaseAndDefaulted)
{
   TableRef t(FromXml("<table EXTENDEDFORMAT=\"yes\" Source=\"0x10\">"
                      "<columns><column/><column NAME=\"n\" isinstance=\"1\" datatype=\"-2\"></column></columns>"
                      "<data><tr objectid=\"-1\" baserow=\"3\"><td STATUS=\"5\">a</td><td>b</td><td>extra</td></tr>"
                      "<tr><td/></tr></data></table>"));
   ASSERT_TRUE(t);
   EXPECT_TRUE(t->isExtendedFormat());
   EXPECT_EQ(t->getSource(), 16);
   EXPECT_STREQ(t->getTitle(), L"");
   ASSERT_EQ(t->getNumColumns(), 2);
   EXPECT_STREQ(t->getColumnName(0), L"(null)");
   EXPECT_STREQ(t->getColumnDefinition(0)->getDisplayName(), L"(null)");
   EXPECT_FALSE(t->getColumnDefinition(0)->isInstanceColumn());
   EXPECT_STREQ(t->getColumnName(1), L"n");
   EXPECT_TRUE(t->getColumnDefinition(1)->isInstanceColumn());
   EXPECT_EQ(t->getColumnDataType(1), -2);
   ASSERT_EQ(t->getNumRows(), 2);
   EXPECT_EQ(t->getObjectId(0), 0xFFFFFFFFu);
   EXPECT_EQ(t->getBaseRow(0), 3);
   EXPECT_EQ(t->getStatus(0, 0), 5);
   EXPECT_STREQ(t->getAsString(0, 1), L"b");
   EXPECT_EQ(t->getStatus(0, 1), -1);
   // An empty cell reads as an empty text.
   EXPECT_STREQ(t->getAsString(1, 0, L"null"), L"");
   EXPECT_EQ(t->getAsString(1, 1), nullptr);
}

TEST(TableXml, RefusesWhatIsNotATable)
{
   const char *bad[] = {
       "",
       "<table>",
       "<table></table><table></table>",
       "<table><table/></table>",
       "<table><unknown/></table>",
       "<table><data><td>x</td></data></table>",
       "<table><columns><tr/></columns></table>",
       "<table><data><tr><td><b>x</b></td></tr></data></table>",
       "<other/>",
       "<table><data></table>",
       "<table name=\"\xFF\"/>",
   };
   for (const char *xml : bad)
   {
      Table *t = Table::createFromXML(xml);
      EXPECT_EQ(t, nullptr) << xml;
      if (t != nullptr)
         t->decRefCount();
   }
   EXPECT_EQ(Table::createFromXML(nullptr), nullptr);

   TableRef minimal(FromXml("<table/>"));
   ASSERT_TRUE(minimal);
   EXPECT_EQ(minimal->getNumRows(), 0);
}

TEST(TableXml, LargeObjectIdAndNonAsciiTextSurvive)
{
   TableRef t;
   t->setTitle(L"\x4E2D\x6587 \x10437");
   t->addColumn(L"\x00E9", 0, L"\x0416");
   t->addRow();
   t->setObjectId(4000000000u);
   t->set(0, L"\x10437\r\n\t end ");
   TableRef back(FromXml(Utf8(XmlOf(t.get()))));
   ASSERT_TRUE(back);
   EXPECT_TRUE(TablesEqual(t.get(), back.get()));
   EXPECT_EQ(back->getObjectId(0), 4000000000u);
}

TEST(TableXml, GeneratedTablesRoundTrip)
{
   TableCompare how;
   how.cellObjectIds = false;
   for (unsigned seed = 1; seed <= 30; seed++)
   {
      TableRef t(GenerateTable(seed, static_cast<int>(seed % 7) * 5, static_cast<int>(seed % 5) + 1, seed % 2 == 0));
      TableRef back(FromXml(Utf8(XmlOf(t.get()))));
      ASSERT_TRUE(back) << "seed " << seed;
      EXPECT_TRUE(TablesEqual(t.get(), back.get(), how)) << "seed " << seed;
   }
}

TEST(TablePacked, GeneratedTablesRoundTrip)
{
   TableCompare how;
   how.cellObjectIds = false;
   for (unsigned seed = 100; seed < 110; seed++)
   {
      TableRef t(GenerateTable(seed, 40, 4, seed % 2 == 0));
      char *packed = t->createPackedXML();
      ASSERT_NE(packed, nullptr);
      TableRef back(Table::createFromPackedXML(packed));
      free(packed);
      ASSERT_TRUE(back) << "seed " << seed;
      EXPECT_TRUE(TablesEqual(t.get(), back.get(), how)) << "seed " << seed;
   }
}

TEST(TablePacked, LayoutIsLengthThenZlibInBase64)
{
   TableRef t(ExampleTable());
   char *packed = t->createPackedXML();
   ASSERT_NE(packed, nullptr);
   char *raw;
   size_t rawLength;
   ASSERT_TRUE(base64_decode_alloc(packed, strlen(packed), &raw, &rawLength));
   std::string xml = Utf8(EXAMPLE_XML);
   ASSERT_GT(rawLength, 4u);
   const uint8_t *b = reinterpret_cast<const uint8_t *>(raw);
   EXPECT_EQ((size_t(b[0]) << 24) | (size_t(b[1]) << 16) | (size_t(b[2]) << 8) | b[3], xml.size());
   std::string inflated(xml.size(), '\0');
   uLongf length = xml.size();
   EXPECT_EQ(uncompress(reinterpret_cast<Bytef *>(&inflated[0]), &length, b + 4, rawLength - 4), Z_OK);
   EXPECT_EQ(inflated, xml);
   EXPECT_EQ(strlen(packed) % 4, 0u);
   free(raw);
   free(packed);
}

TEST(TablePacked, RefusesDamagedInput)
{
   std::string xml = Utf8(EXAMPLE_XML);
   std::string good = PackRaw(static_cast<uint32_t>(xml.size()), Compressed(xml));
   TableRef fine(Table::createFromPackedXML(good.c_str()));
   ASSERT_TRUE(fine);

   // Not base64; shorter than the prefix; empty.
   EXPECT_EQ(Table::createFromPackedXML("not*base64"), nullptr);
   EXPECT_EQ(Table::createFromPackedXML("AAA="), nullptr);
   EXPECT_EQ(Table::createFromPackedXML(""), nullptr);
   EXPECT_EQ(Table::createFromPackedXML(nullptr), nullptr);
   // A declared length larger than any compressed data of that size could give, and the
   // largest length there is: refused before anything is allocated.
   EXPECT_EQ(Table::createFromPackedXML(PackRaw(0x7FFFFFFF, Compressed(xml)).c_str()), nullptr);
   EXPECT_EQ(Table::createFromPackedXML(PackRaw(0xFFFFFFFF, "").c_str()), nullptr);
   // Shorter than the data decompress to: refused by zlib.
   EXPECT_EQ(Table::createFromPackedXML(PackRaw(static_cast<uint32_t>(xml.size() - 1), Compressed(xml)).c_str()),
             nullptr);
   // Damaged compressed bytes.
   std::string damaged = Compressed(xml);
   damaged[damaged.size() / 2] ^= 0x55;
   EXPECT_EQ(Table::createFromPackedXML(PackRaw(static_cast<uint32_t>(xml.size()), damaged).c_str()), nullptr);
   // Valid compression of text that is not a table.
   std::string other = "<other/>";
   EXPECT_EQ(Table::createFromPackedXML(PackRaw(static_cast<uint32_t>(other.size()), Compressed(other)).c_str()),
             nullptr);

   // A declared length above what the data hold reads the text the data do hold.
   TableRef longer(
       Table::createFromPackedXML(PackRaw(static_cast<uint32_t>(xml.size() + 100), Compressed(xml)).c_str()));
   ASSERT_TRUE(longer);
   EXPECT_TRUE(TablesEqual(fine.get(), longer.get()));
}
