/* The message form of Table: field layout of both row layouts, slices, reading back,
 * column definitions, and messages whose counts their fields cannot back. */
#include "data/table_test_util.h"

#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace {

constexpr uint32_t ROW_BASE = 0x20000000;
constexpr uint32_t COLUMN_BASE = 0x10000000;

/* The message after serialize (compressed when asked) and deserialize. */
QVCPMessage *OverTheWire(const QVCPMessage &msg, bool compress = true)
{
   QVCP_MESSAGE *raw = msg.serialize(compress);
   QVCPMessage *back = (raw != nullptr) ? QVCPMessage::deserialize(raw) : nullptr;
   free(raw);
   return back;
}

/* 2 rows x 3 columns with texts r,c, statuses and ids. */
Table *SmallTable(bool extended)
{
   Table *t = new Table();
   t->setTitle(L"small");
   t->setSource(-2);
   t->setExtendedFormat(extended);
   t->addColumn(L"a", 1, L"A", true);
   t->addColumn(L"b", 2);
   t->addColumn(L"c", 3, L"C");
   for (int r = 0; r < 2; r++)
   {
      t->addRow();
      t->setObjectId(10 + r);
      t->setBaseRow(r);
      for (int c = 0; c < 3; c++)
      {
         t->set(c, (std::to_wstring(r) + L"," + std::to_wstring(c)).c_str());
         t->setStatus(c, c - 1);
         t->setCellObjectId(c, 100 * r + c);
      }
   }
   return t;
}

std::wstring Text(const QVCPMessage &msg, uint32_t id)
{
   wchar_t *text = msg.getFieldAsString(id);
   std::wstring result = (text != nullptr) ? text : L"<missing>";
   free(text);
   return result;
}

/* Rebuilds a table sent in slices, as a receiver does: the first message gives the
 * columns, every message the rows it carries from its offset on. The messages of later
 * slices get the column count and blocks of the first, so that the table reader reads
 * their rows; the rows are then copied over with every attribute. */
Table *Reassemble(const std::vector<QVCPMessage *> &slices)
{
   Table *result = new Table(slices[0]);
   for (size_t i = 1; i < slices.size(); i++)
   {
      QVCPMessage *msg = slices[i];
      EXPECT_FALSE(msg->isFieldExist(328));
      EXPECT_EQ(msg->getFieldAsUInt32(340), static_cast<uint32_t>(result->getNumRows()));
      msg->setField(328, msg->getFieldAsUInt32(167));
      msg->setField(329, static_cast<uint32_t>(result->getNumColumns()));
      for (int c = 0; c < result->getNumColumns(); c++)
         result->getColumnDefinition(c)->fillMessage(msg, COLUMN_BASE + 10 * c);
      Table *slice = new Table(msg);
      for (int r = 0; r < slice->getNumRows(); r++)
      {
         result->copyRow(slice, r);
         result->setObjectId(slice->getObjectId(r));
         result->setBaseRow(slice->getBaseRow(r));
      }
      slice->decRefCount();
   }
   return result;
}

}  // namespace

TEST(TableMessage, PlainLayoutUsesOneFieldPerCell)
{
   TableRef t(SmallTable(false));
   QVCPMessage msg;
   EXPECT_EQ(t->fillMessage(msg, 0, -1), 2);
   EXPECT_EQ(Text(msg, 168), L"small");
   EXPECT_EQ(msg.getFieldType(46), QVCP_FT_INT16);
   EXPECT_EQ(msg.getFieldAsInt16(46), -2);
   EXPECT_EQ(msg.getFieldAsUInt16(466), 0);
   EXPECT_EQ(msg.getFieldAsUInt32(328), 2u);
   EXPECT_EQ(msg.getFieldAsUInt32(329), 3u);
   EXPECT_EQ(msg.getFieldAsUInt32(340), 0u);
   EXPECT_EQ(msg.getFieldAsUInt32(167), 2u);
   EXPECT_TRUE(msg.isEndOfSequence());
   for (uint32_t i = 0; i < 6; i++)
      EXPECT_EQ(Text(msg, ROW_BASE + i), std::to_wstring(i / 3) + L"," + std::to_wstring(i % 3));
   EXPECT_FALSE(msg.isFieldExist(ROW_BASE + 6));
   EXPECT_FALSE(msg.isFieldExist(412));
   // Column blocks.
   EXPECT_EQ(Text(msg, COLUMN_BASE), L"a");
   EXPECT_EQ(msg.getFieldAsUInt32(COLUMN_BASE + 1), 1u);
   EXPECT_EQ(Text(msg, COLUMN_BASE + 2), L"A");
   EXPECT_EQ(msg.getFieldAsUInt16(COLUMN_BASE + 3), 1);
   EXPECT_EQ(Text(msg, COLUMN_BASE + 12), L"b");
   EXPECT_EQ(msg.getFieldAsUInt16(COLUMN_BASE + 13), 0);
   EXPECT_FALSE(msg.isFieldExist(COLUMN_BASE + 4));

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   TableRef read(new Table(back));
   delete back;
   TableCompare how;
   how.rowAttributes = how.cellStatuses = how.cellObjectIds = false;
   EXPECT_TRUE(TablesEqual(t.get(), read.get(), how));
   for (int c = 0; c < 3; c++)
      EXPECT_EQ(read->getStatus(1, c), -1);
   EXPECT_EQ(read->getObjectId(1), 0u);
   EXPECT_EQ(read->getBaseRow(1), -1);
}

TEST(TableMessage, ExtendedLayoutUsesBlocksOfTen)
{
   TableRef t(SmallTable(true));
   QVCPMessage msg;
   t->fillMessage(msg, 0, -1);
   EXPECT_EQ(msg.getFieldAsUInt16(466), 1);
   EXPECT_EQ(msg.getFieldAsUInt32(ROW_BASE), 10u);
   EXPECT_EQ(msg.getFieldAsInt32(ROW_BASE + 1), 0);
   EXPECT_EQ(Text(msg, 0x2000000A), L"0,0");
   EXPECT_EQ(msg.getFieldAsInt16(0x2000000B), -1);
   EXPECT_EQ(msg.getFieldAsUInt32(0x2000000C), 0u);
   EXPECT_EQ(Text(msg, 0x20000014), L"0,1");
   EXPECT_EQ(Text(msg, 0x2000001E), L"0,2");
   EXPECT_EQ(msg.getFieldAsUInt32(0x2000001E + 2), 2u);
   EXPECT_EQ(msg.getFieldAsUInt32(0x20000028), 11u);
   EXPECT_EQ(msg.getFieldAsInt32(0x20000029), 1);
   EXPECT_EQ(Text(msg, 0x20000032), L"1,0");

   QVCPMessage *back = OverTheWire(msg);
   ASSERT_NE(back, nullptr);
   TableRef read(new Table(back));
   delete back;
   EXPECT_TRUE(TablesEqual(t.get(), read.get()));
   EXPECT_EQ(read->getStatus(0, 0), -1);  // 16-bit -1 reads back as -1
}

TEST(TableMessage, SlicesCarryOffsetsAndTheEndFlag)
{
   TableRef t(SmallTable(false));
   t->addRow();
   QVCPMessage first;
   EXPECT_EQ(t->fillMessage(first, 0, 1), 1);
   EXPECT_EQ(first.getFieldAsUInt32(167), 1u);
   EXPECT_EQ(first.getFieldAsUInt32(328), 3u);
   EXPECT_FALSE(first.isEndOfSequence());

   QVCPMessage second;
   EXPECT_EQ(t->fillMessage(second, 1, -1), 3);
   EXPECT_FALSE(second.isFieldExist(328));
   EXPECT_FALSE(second.isFieldExist(329));
   EXPECT_FALSE(second.isFieldExist(COLUMN_BASE));
   EXPECT_EQ(second.getFieldAsUInt32(340), 1u);
   EXPECT_EQ(second.getFieldAsUInt32(167), 2u);
   EXPECT_TRUE(second.isEndOfSequence());
   EXPECT_EQ(Text(second, ROW_BASE), L"1,0");   // the slice starts at the base again
   EXPECT_EQ(Text(second, ROW_BASE + 3), L"");  // the empty row: null values as ""

   // Offsets and limits out of range are bounded.
   QVCPMessage beyond;
   EXPECT_EQ(t->fillMessage(beyond, 10, 5), 3);
   EXPECT_EQ(beyond.getFieldAsUInt32(167), 0u);
   EXPECT_TRUE(beyond.isEndOfSequence());
   QVCPMessage negative;
   EXPECT_EQ(t->fillMessage(negative, -4, -7), 3);
   EXPECT_EQ(negative.getFieldAsUInt32(340), 0u);
   EXPECT_EQ(negative.getFieldAsUInt32(167), 3u);
   QVCPMessage huge;
   EXPECT_EQ(t->fillMessage(huge, 2, 0x7FFFFFFF), 3);
   EXPECT_EQ(huge.getFieldAsUInt32(167), 1u);

   // The first slice alone reads back as the rows it carries.
   TableRef read(new Table(&first));
   EXPECT_EQ(read->getNumRows(), 1);
   EXPECT_EQ(read->getNumColumns(), 3);
   EXPECT_STREQ(read->getAsString(0, 2), L"0,2");
}

TEST(TableMessage, LargeTableInSlicesIsRebuiltEqual)
{
   for (bool extended : {false, true})
   {
      TableRef t(GenerateTable(extended ? 7 : 8, 10000, 6, extended));
      std::vector<QVCPMessage *> slices;
      int offset = 0;
      while (true)
      {
         QVCPMessage msg(CMD_REQUEST_COMPLETED, 1);
         int next = t->fillMessage(msg, offset, 700);
         QVCPMessage *received = OverTheWire(msg, false);
         ASSERT_NE(received, nullptr);
         slices.push_back(received);
         EXPECT_EQ(received->isEndOfSequence(), next == t->getNumRows());
         if (next == t->getNumRows())
            break;
         offset = next;
      }
      EXPECT_EQ(slices.size(), 15u);
      TableRef rebuilt(Reassemble(slices));
      for (QVCPMessage *m : slices)
         delete m;
      TableCompare how;
      how.rowAttributes = how.cellStatuses = how.cellObjectIds = extended;
      EXPECT_TRUE(TablesEqual(t.get(), rebuilt.get(), how)) << (extended ? "extended" : "plain");
   }
}

TEST(TableMessage, GeneratedTablesInOneMessageRoundTrip)
{
   for (unsigned seed = 1; seed <= 20; seed++)
   {
      bool extended = seed % 2 == 1;
      // Plain rows without columns carry no fields; extended ones carry their attributes.
      int columns = extended ? static_cast<int>(seed % 6) : 1 + static_cast<int>(seed % 5);
      TableRef t(GenerateTable(seed, static_cast<int>(seed * 3), columns, extended));
      QVCPMessage msg;
      t->fillMessage(msg, 0, -1);
      QVCPMessage *back = OverTheWire(msg);
      ASSERT_NE(back, nullptr);
      TableRef read(new Table(back));
      delete back;
      TableCompare how;
      how.rowAttributes = how.cellStatuses = how.cellObjectIds = extended;
      EXPECT_TRUE(TablesEqual(t.get(), read.get(), how)) << "seed " << seed;
   }
}

TEST(TableMessage, UpdateFromMessageReplacesTheContent)
{
   TableRef t(GenerateTable(5, 10, 4, false));
   t->incRefCount();
   TableRef other(SmallTable(true));
   QVCPMessage msg;
   other->fillMessage(msg, 0, -1);
   t->updateFromMessage(&msg);
   EXPECT_TRUE(TablesEqual(other.get(), t.get()));
   EXPECT_EQ(t->getRefCount(), 2);
   t->decRefCount();

   QVCPMessage empty;
   t->updateFromMessage(&empty);
   EXPECT_EQ(t->getNumRows(), 0);
   EXPECT_EQ(t->getNumColumns(), 0);
   EXPECT_STREQ(t->getTitle(), L"");
}

TEST(TableMessage, ColumnDefinitionsInMessages)
{
   QVCPMessage msg;
   TableColumnDefinition d(L"name", L"Display", -5, true);
   d.fillMessage(&msg, 1000);
   EXPECT_EQ(msg.getFieldType(1001), QVCP_FT_INT32);
   EXPECT_EQ(msg.getFieldType(1003), QVCP_FT_INT16);
   TableColumnDefinition read(&msg, 1000);
   EXPECT_STREQ(read.getName(), L"name");
   EXPECT_STREQ(read.getDisplayName(), L"Display");
   EXPECT_EQ(read.getDataType(), -5);
   EXPECT_TRUE(read.isInstanceColumn());

   // An empty display name reads as the name; long texts are cut; a missing block
   // reads as empty texts.
   QVCPMessage other;
   std::wstring longName(80, L'x');
   other.setField(2000, longName.c_str());
   other.setField(2002, L"");
   TableColumnDefinition cut(&other, 2000);
   EXPECT_EQ(wcslen(cut.getName()), 63u);
   EXPECT_STREQ(cut.getDisplayName(), cut.getName());
   EXPECT_FALSE(cut.isInstanceColumn());
   TableColumnDefinition missing(&other, 3000);
   EXPECT_STREQ(missing.getName(), L"");
   EXPECT_STREQ(missing.getDisplayName(), L"");
}

TEST(TableMessage, InstanceColumnNamedByOlderWriters)
{
   TableRef t(SmallTable(false));
   QVCPMessage msg;
   t->fillMessage(msg, 0, -1);
   msg.setField(COLUMN_BASE + 3, static_cast<uint16_t>(0));
   msg.setField(412, L"B");
   TableRef read(new Table(&msg));
   EXPECT_FALSE(read->getColumnDefinition(0)->isInstanceColumn());
   EXPECT_TRUE(read->getColumnDefinition(1)->isInstanceColumn());
   EXPECT_FALSE(read->getColumnDefinition(2)->isInstanceColumn());
}

TEST(TableMessage, MissingFieldsGiveTheGettersDefaults)
{
   QVCPMessage msg;
   msg.setField(328, static_cast<uint32_t>(1));
   msg.setField(329, static_cast<uint32_t>(2));
   msg.setField(466, static_cast<int32_t>(1));  // any integer type that is not 0
   msg.setField(ROW_BASE, static_cast<uint32_t>(9));
   msg.setField(ROW_BASE + 10, L"v");
   msg.setField(COLUMN_BASE, L"one");
   msg.setField(COLUMN_BASE + 10, L"two");
   TableRef t(new Table(&msg));
   ASSERT_EQ(t->getNumRows(), 1);
   ASSERT_EQ(t->getNumColumns(), 2);
   EXPECT_TRUE(t->isExtendedFormat());
   EXPECT_EQ(t->getTitle()[0], 0);
   EXPECT_EQ(t->getObjectId(0), 9u);
   EXPECT_EQ(t->getBaseRow(0), -1);  // no base row field: not set
   EXPECT_STREQ(t->getAsString(0, 0), L"v");
   EXPECT_EQ(t->getStatus(0, 0), 0);  // no status field: 0
   EXPECT_EQ(t->getAsString(0, 1), nullptr);
}

TEST(TableMessage, CountsTheFieldsCannotBackAreBounded)
{
   // Row and column counts near 2^31 with a handful of fields: read in an instant, the
   // table holds what the fields hold.
   for (bool extended : {false, true})
   {
      QVCPMessage msg;
      msg.setField(328, static_cast<uint32_t>(0x7FFFFFFF));
      msg.setField(329, static_cast<uint32_t>(0x7FFFFFFF));
      msg.setField(466, static_cast<uint16_t>(extended ? 1 : 0));
      msg.setField(COLUMN_BASE, L"c");
      msg.setField(ROW_BASE + (extended ? 10 : 0), L"cell");
      TableRef t(new Table(&msg));
      EXPECT_LE(t->getNumColumns(), 1);
      EXPECT_LE(t->getNumRows(), static_cast<int>(msg.getFieldIds(nullptr, 0)));
      EXPECT_STREQ(t->getAsString(0, 0), L"cell");
   }

   // Many rows, no columns: bounded by the message's fields.
   QVCPMessage noColumns;
   noColumns.setField(328, static_cast<uint32_t>(0x7FFFFFFF));
   TableRef empty(new Table(&noColumns));
   EXPECT_LE(empty->getNumRows(), 1);

   // A sparse field far out does not make the reader fill the rows before it.
   QVCPMessage sparse;
   sparse.setField(328, static_cast<uint32_t>(0x7FFFFFFF));
   sparse.setField(329, static_cast<uint32_t>(1));
   sparse.setField(COLUMN_BASE, L"c");
   sparse.setField(0xF0000000, L"far");
   TableRef bounded(new Table(&sparse));
   EXPECT_LE(bounded->getNumRows(), 4);

   // Negative counts read as none.
   QVCPMessage negative;
   negative.setField(328, static_cast<uint32_t>(0xFFFFFFFF));
   negative.setField(329, static_cast<uint32_t>(0x80000000));
   TableRef none(new Table(&negative));
   EXPECT_EQ(none->getNumRows(), 0);
   EXPECT_EQ(none->getNumColumns(), 0);

   TableRef updated;
   updated->updateFromMessage(&sparse);
   EXPECT_LE(updated->getNumRows(), 4);
}
