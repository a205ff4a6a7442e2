/* Table: structure, cells and their defaults, numbers, copying between tables, instance
 * texts and reference counting. */
#include "data/table_test_util.h"

#include <float.h>
#include <stdlib.h>

TEST(Table, NewTableGivesTheDefaults)
{
   TableRef t;
   EXPECT_STREQ(t->getTitle(), L"");
   EXPECT_EQ(t->getNumRows(), 0);
   EXPECT_EQ(t->getNumColumns(), 0);
   EXPECT_EQ(t->getStatus(0, 0), -1);
   EXPECT_EQ(t->getBaseRow(0), 0);
   EXPECT_EQ(t->getObjectId(0), 0u);
   EXPECT_EQ(t->getCellObjectId(0, 0), 0u);
   EXPECT_STREQ(t->getAsString(0, 0, L"d"), L"d");
   EXPECT_EQ(t->getAsString(0, 0), nullptr);
   EXPECT_EQ(t->getAsInt(0, 0), 0);
   EXPECT_EQ(t->getColumnName(0), nullptr);
   EXPECT_EQ(t->getColumnDataType(0), 0);
   EXPECT_EQ(t->getColumnDefinition(0), nullptr);
   EXPECT_EQ(t->getSource(), 0);
   EXPECT_FALSE(t->isExtendedFormat());
   EXPECT_EQ(t->getRefCount(), 1);

   // Operations on the last row do nothing without rows.
   t->addColumn(L"c");
   t->set(0, L"value");
   t->set(0, 5);
   t->setPreallocated(0, qv_wcsdup(L"freed"));
   t->setObjectId(3);
   EXPECT_EQ(t->getNumRows(), 0);
}

TEST(Table, ColumnsAndRowsKeepOneCellPerColumn)
{
   TableRef t;
   for (int i = 0; i < 3; i++)
      EXPECT_EQ(t->addRow(), i);
   EXPECT_EQ(t->addColumn(L"first"), 0);
   EXPECT_EQ(t->addColumn(L"second", 7, L"Second", true), 1);
   for (int r = 0; r < 3; r++)
   {
      EXPECT_EQ(t->getStatus(r, 1), -1);
      t->setAt(r, 0, (L"a" + std::to_wstring(r)).c_str());
      t->setAt(r, 1, (L"b" + std::to_wstring(r)).c_str());
      EXPECT_EQ(t->getBaseRow(r), -1);
   }
   EXPECT_STREQ(t->getColumnName(1), L"second");
   EXPECT_EQ(t->getColumnDataType(1), 7);
   EXPECT_TRUE(t->getColumnDefinition(1)->isInstanceColumn());
   EXPECT_STREQ(t->getColumnDefinition(1)->getDisplayName(), L"Second");
   EXPECT_STREQ(t->getColumnDefinition(0)->getDisplayName(), L"first");
   EXPECT_EQ(t->getColumnIndex(L"SECOND"), 1);
   EXPECT_EQ(t->getColumnIndex(L"third"), -1);
   EXPECT_EQ(t->getColumnDefinitions()->size(), 2);

   t->deleteColumn(0);
   EXPECT_EQ(t->getNumColumns(), 1);
   EXPECT_STREQ(t->getAsString(2, 0), L"b2");
   EXPECT_EQ(t->getAsString(2, 1), nullptr);
   t->deleteColumn(5);
   t->deleteColumn(-1);
   t->deleteRow(1);
   t->deleteRow(3);
   EXPECT_EQ(t->getNumRows(), 2);
   EXPECT_STREQ(t->getAsString(1, 0), L"b2");

   t->setColumnDataType(0, 9);
   t->setColumnDataType(4, 9);
   EXPECT_EQ(t->getColumnDataType(0), 9);
   EXPECT_EQ(t->addRow(), 2);
   EXPECT_EQ(t->getAsString(2, 0), nullptr);
}

TEST(Table, ColumnDefinitionsCutTheirTexts)
{
   std::wstring longName(100, L'n'), longDisplay(300, L'd');
   TableColumnDefinition d(longName.c_str(), longDisplay.c_str(), 3, false);
   EXPECT_EQ(wcslen(d.getName()), 63u);
   EXPECT_EQ(wcslen(d.getDisplayName()), 255u);

   TableColumnDefinition nullName(nullptr, nullptr, 0, true);
   EXPECT_STREQ(nullName.getName(), L"(null)");
   EXPECT_STREQ(nullName.getDisplayName(), L"(null)");

   TableColumnDefinition noDisplay(longName.c_str(), nullptr, 0, false);
   EXPECT_EQ(std::wstring(noDisplay.getDisplayName()), longName.substr(0, 63));
   noDisplay.setDisplayName(nullptr);
   EXPECT_STREQ(noDisplay.getDisplayName(), L"");
   noDisplay.setDisplayName(longDisplay.c_str());
   EXPECT_EQ(wcslen(noDisplay.getDisplayName()), 255u);

   TableColumnDefinition copy(&d);
   EXPECT_STREQ(copy.getName(), d.getName());
   copy.setInstanceColumn(true);
   copy.setDataType(12);
   EXPECT_TRUE(copy.isInstanceColumn());
   EXPECT_EQ(copy.getDataType(), 12);
}

TEST(Table, CellsHoldValueStatusAndObjectId)
{
   TableRef t;
   t->addColumn(L"c");
   t->addRow();
   t->setAt(0, 0, L"text");
   t->setStatusAt(0, 0, 4);
   t->setCellObjectIdAt(0, 0, 77);
   t->setObjectIdAt(0, 4000000000u);
   t->setBaseRowAt(0, 12);
   EXPECT_STREQ(t->getAsString(0, 0), L"text");
   EXPECT_EQ(t->getStatus(0, 0), 4);
   EXPECT_EQ(t->getCellObjectId(0, 0), 77u);
   EXPECT_EQ(t->getObjectId(0), 4000000000u);
   EXPECT_EQ(t->getBaseRow(0), 12);

   t->setAt(0, 0, static_cast<const wchar_t *>(nullptr));
   EXPECT_STREQ(t->getAsString(0, 0, L"def"), L"def");
   t->setPreallocatedAt(0, 0, qv_wcsdup(L"taken"));
   EXPECT_STREQ(t->getAsString(0, 0), L"taken");
   // Out of range the block is freed (the sanitizers see a leak otherwise).
   t->setPreallocatedAt(5, 0, qv_wcsdup(L"dropped"));
   t->setPreallocatedAt(0, 5, qv_wcsdup(L"dropped"));
   t->set(0, "narrow");
   EXPECT_STREQ(t->getAsString(0, 0), L"narrow");
   t->setAt(3, 0, L"x");
   t->setStatusAt(0, 3, 1);
   EXPECT_EQ(t->getStatus(0, 3), -1);
}

TEST(Table, NumbersAreStoredAsTextAndParsedBack)
{
   TableRef t;
   for (int c = 0; c < 6; c++)
      t->addColumn(L"n");
   t->addRow();
   t->set(0, static_cast<int32_t>(-42));
   t->set(1, static_cast<uint32_t>(4000000000u));
   t->set(2, static_cast<int64_t>(INT64_MIN));
   t->set(3, static_cast<uint64_t>(UINT64_MAX));
   t->set(4, 2.5);
   t->set(5, -DBL_MAX);
   EXPECT_STREQ(t->getAsString(0, 0), L"-42");
   EXPECT_STREQ(t->getAsString(0, 1), L"4000000000");
   EXPECT_STREQ(t->getAsString(0, 2), L"-9223372036854775808");
   EXPECT_STREQ(t->getAsString(0, 3), L"18446744073709551615");
   EXPECT_STREQ(t->getAsString(0, 4), L"2.500000");
   // The fixed-notation text of a large double is far longer than 32 characters; it is
   // stored whole.
   std::wstring big = t->getAsString(0, 5);
   EXPECT_EQ(big.size(), 1u + 309u + 7u);  // sign, 309 digits, six decimals
   EXPECT_EQ(big.substr(0, 5), L"-1797");
   EXPECT_EQ(big.substr(big.size() - 7), L".000000");
   EXPECT_EQ(t->getAsDouble(0, 5), -DBL_MAX);

   EXPECT_EQ(t->getAsInt(0, 0), -42);
   EXPECT_EQ(t->getAsUInt(0, 1), 4000000000u);
   EXPECT_EQ(t->getAsInt(0, 1), INT32_MAX);  // saturates at the 32-bit limit
   EXPECT_EQ(t->getAsInt64(0, 2), INT64_MIN);
   EXPECT_EQ(t->getAsUInt64(0, 3), UINT64_MAX);
   EXPECT_EQ(t->getAsDouble(0, 4), 2.5);
   EXPECT_EQ(t->getAsUInt(0, 0), static_cast<uint32_t>(-42));

   t->set(0, L"0x10");
   t->set(1, L"010");
   t->set(2, L"junk");
   EXPECT_EQ(t->getAsInt(0, 0), 16);
   EXPECT_EQ(t->getAsInt(0, 1), 8);
   EXPECT_EQ(t->getAsInt(0, 2), 0);
}

TEST(Table, CopyIsDeep)
{
   TableRef original(GenerateTable(3, 20, 5, true));
   TableRef copy(new Table(original.get()));
   EXPECT_TRUE(TablesEqual(original.get(), copy.get(), TableCompare{true, true, true, false}));
   copy->setAt(0, 0, L"changed");
   copy->setTitle(L"other");
   EXPECT_STRNE(original->getAsString(0, 0, L""), L"changed");
   EXPECT_STRNE(original->getTitle(), L"other");

   TableRef empty(new Table(static_cast<Table *>(nullptr)));
   EXPECT_EQ(empty->getNumRows(), 0);
}

TEST(Table, AddAllCopiesCellsOfTheCommonColumns)
{
   TableRef wide;
   for (int c = 0; c < 5; c++)
      wide->addColumn((L"w" + std::to_wstring(c)).c_str());
   for (int r = 0; r < 2; r++)
   {
      wide->addRow();
      wide->setObjectId(100 + r);
      wide->setBaseRow(r);
      for (int c = 0; c < 5; c++)
      {
         wide->set(c, (std::to_wstring(r) + L":" + std::to_wstring(c)).c_str());
         wide->setStatus(c, c);
         wide->setCellObjectId(c, 10 * c);
      }
   }
   TableRef narrow;
   for (int c = 0; c < 3; c++)
      narrow->addColumn(L"n");
   narrow->addAll(wide.get());
   ASSERT_EQ(narrow->getNumRows(), 2);
   EXPECT_EQ(narrow->getNumColumns(), 3);
   EXPECT_STREQ(narrow->getAsString(1, 2), L"1:2");
   EXPECT_EQ(narrow->getStatus(1, 2), 2);
   EXPECT_EQ(narrow->getCellObjectId(1, 2), 20u);
   EXPECT_EQ(narrow->getObjectId(1), 0u);
   EXPECT_EQ(narrow->getBaseRow(1), -1);

   // Into a wider table the extra cells stay empty.
   TableRef wider;
   for (int c = 0; c < 7; c++)
      wider->addColumn(L"x");
   wider->copyRow(wide.get(), 1);
   wider->copyRow(wide.get(), 2);
   wider->copyRow(wide.get(), -1);
   ASSERT_EQ(wider->getNumRows(), 1);
   EXPECT_STREQ(wider->getAsString(0, 4), L"1:4");
   EXPECT_EQ(wider->getAsString(0, 5), nullptr);
   EXPECT_EQ(wider->getStatus(0, 6), -1);
}

TEST(Table, AddAllIntoItselfCopiesEachRowOnce)
{
   TableRef t;
   t->addColumn(L"c");
   for (int r = 0; r < 3; r++)
   {
      t->addRow();
      t->set(0, r);
   }
   t->addAll(t.get());
   ASSERT_EQ(t->getNumRows(), 6);
   for (int r = 0; r < 6; r++)
      EXPECT_EQ(t->getAsInt(r, 0), r % 3) << r;

   // A row copied from the table itself across the growth of its rows array.
   TableRef grow;
   grow->addColumn(L"c");
   for (int r = 0; r < 32; r++)
   {
      grow->addRow();
      grow->set(0, r);
   }
   grow->copyRow(grow.get(), 5);
   EXPECT_EQ(grow->getAsInt(32, 0), 5);
}

TEST(Table, InstanceTextsJoinTheInstanceColumns)
{
   TableRef t;
   t->addColumn(L"a", 0, nullptr, true);
   t->addColumn(L"plain");
   t->addColumn(L"b", 0, nullptr, true);
   t->addRow();
   t->set(0, L"x");
   t->set(1, L"ignored");
   wchar_t buffer[64];
   t->buildInstanceString(0, buffer, 64);
   EXPECT_STREQ(buffer, L"x~~~");
   t->set(2, L"y");
   t->buildInstanceString(0, buffer, 64);
   EXPECT_STREQ(buffer, L"x~~~y");
   t->buildInstanceString(0, buffer, 3);
   EXPECT_STREQ(buffer, L"x~");

   // Out of range: an empty text; a size of 0 writes nothing at all.
   t->buildInstanceString(9, buffer, 64);
   EXPECT_STREQ(buffer, L"");
   wchar_t guard[2] = {L'G', L'G'};
   t->buildInstanceString(0, guard, 0);
   t->buildInstanceString(9, guard, 0);
   EXPECT_EQ(guard[0], L'G');
   t->buildInstanceString(0, nullptr, 0);

   TableRef plain;
   plain->addColumn(L"p");
   for (int r = 0; r < 8; r++)
      plain->addRow();
   plain->buildInstanceString(7, buffer, 64);
   EXPECT_STREQ(buffer, L"#7");

   TableRef single;
   single->addColumn(L"i", 0, nullptr, true);
   single->addRow();
   single->addRow();
   single->set(0, L"");
   single->buildInstanceString(1, buffer, 64);
   EXPECT_STREQ(buffer, L"#1");
}

TEST(Table, FindRowByInstanceGivesTheFirstMatch)
{
   TableRef t;
   t->addColumn(L"k", 0, nullptr, true);
   const wchar_t *keys[] = {L"one", L"two", L"one"};
   for (const wchar_t *k : keys)
   {
      t->addRow();
      t->set(0, k);
   }
   EXPECT_EQ(t->findRowByInstance(L"one"), 0);
   EXPECT_EQ(t->findRowByInstance(L"two"), 1);
   EXPECT_EQ(t->findRowByInstance(L"three"), -1);
   EXPECT_EQ(t->findRowByInstance(nullptr), -1);

   // Long instance texts are compared whole: a prefix of one does not find its row.
   std::wstring longKey(300, L'k');
   t->addRow();
   t->set(0, longKey.c_str());
   EXPECT_EQ(t->findRowByInstance(longKey.c_str()), 3);
   EXPECT_EQ(t->findRowByInstance(longKey.substr(0, 255).c_str()), -1);

   TableRef plain;
   plain->addColumn(L"p");
   plain->addRow();
   plain->addRow();
   EXPECT_EQ(plain->findRowByInstance(L"#1"), 1);
}

TEST(Table, ReferenceCountDeletesAtZero)
{
   Table *t = new Table();
   t->addColumn(L"c");
   t->addRow();
   t->set(0, L"kept");
   t->incRefCount();
   EXPECT_EQ(t->getRefCount(), 2);
   t->decRefCount();
   EXPECT_STREQ(t->getAsString(0, 0), L"kept");
   t->decRefCount();  // deleted here; the sanitizers see a leak otherwise
}
