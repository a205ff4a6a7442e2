/* Tables for the table tests: a handle that releases its reference, a generator of
 * tables full of awkward content, and a comparison that names the first difference. */
#ifndef QV_TESTS_DATA_TABLE_TEST_UTIL_H
#define QV_TESTS_DATA_TABLE_TEST_UTIL_H

#include <qorvel.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

/* Owns one reference to a table. */
class TableRef
{
private:
   Table *m_table;

public:
   explicit TableRef(Table *table = new Table()) : m_table(table) {}
   ~TableRef()
   {
      if (m_table != nullptr)
         m_table->decRefCount();
   }
   TableRef(const TableRef &) = delete;
   TableRef &operator=(const TableRef &) = delete;
   Table *get() const { return m_table; }
   Table *operator->() const { return m_table; }
   explicit operator bool() const { return m_table != nullptr; }
};

/* Characters a generated text is drawn from: markup and quotes, the control characters
 * XML can carry (tab, carriage return, line feed), Latin, Cyrillic and CJK letters, and a
 * character beyond the 16-bit range. */
inline const std::wstring &TableTestAlphabet()
{
   static const std::wstring alphabet = L"abcXYZ 019&<>\"';~#\t\r\n\x00E9\x0416\x4E2D\x10437";
   return alphabet;
}

inline std::wstring RandomTableText(std::mt19937 &random, size_t maxLength)
{
   const std::wstring &alphabet = TableTestAlphabet();
   std::wstring text(random() % (maxLength + 1), L' ');
   for (wchar_t &ch : text)
      ch = alphabet[random() % alphabet.size()];
   return text;
}

/* A table of rows x columns with a random title, source, column definitions, values
 * (about one in eight null), statuses, cell and row object ids and base rows. */
inline Table *GenerateTable(unsigned seed, int rows, int columns, bool extended)
{
   std::mt19937 random(seed);
   Table *t = new Table();
   t->setExtendedFormat(extended);
   t->setSource(static_cast<int>(random() % 2000) - 1000);
   t->setTitle(RandomTableText(random, 20).c_str());
   for (int c = 0; c < columns; c++)
   {
      std::wstring name = L"col" + std::to_wstring(c) + RandomTableText(random, 8);
      std::wstring display = L"D" + RandomTableText(random, 30);  // an empty one reads back as the name
      t->addColumn(name.c_str(), static_cast<int>(random() % 10), display.c_str(), random() % 4 == 0);
   }
   for (int r = 0; r < rows; r++)
   {
      t->addRow();
      if (random() % 2 == 0)
         t->setObjectId(static_cast<uint32_t>(random()));
      if (random() % 3 == 0)
         t->setBaseRow(static_cast<int>(random() % 100));
      for (int c = 0; c < columns; c++)
      {
         if (random() % 8 != 0)
            t->set(c, RandomTableText(random, 12).c_str());
         if (random() % 3 == 0)
            t->setStatus(c, static_cast<int>(random() % 7) - 1);
         if (random() % 4 == 0)
            t->setCellObjectId(c, static_cast<uint32_t>(random()));
      }
   }
   return t;
}

/* What a comparison takes into account. */
struct TableCompare
{
   bool cellObjectIds = true;  // the XML form does not carry them
   bool rowAttributes = true;  // the plain message layout does not carry them
   bool cellStatuses = true;   // nor this
   bool nullIsEmpty = true;    // a null value and an empty text are written alike
};

inline ::testing::AssertionResult TablesEqual(const Table *a, const Table *b, TableCompare how = TableCompare())
{
   if (wcscmp(a->getTitle(), b->getTitle()) != 0)
      return ::testing::AssertionFailure() << "titles differ";
   if (a->getSource() != b->getSource() || a->isExtendedFormat() != b->isExtendedFormat())
      return ::testing::AssertionFailure() << "source or format differ";
   if (a->getNumColumns() != b->getNumColumns() || a->getNumRows() != b->getNumRows())
      return ::testing::AssertionFailure() << "shape " << a->getNumRows() << "x" << a->getNumColumns() << " vs "
                                           << b->getNumRows() << "x" << b->getNumColumns();
   for (int c = 0; c < a->getNumColumns(); c++)
   {
      const TableColumnDefinition *x = a->getColumnDefinition(c);
      const TableColumnDefinition *y = b->getColumnDefinition(c);
      if (wcscmp(x->getName(), y->getName()) != 0 || wcscmp(x->getDisplayName(), y->getDisplayName()) != 0 ||
          x->getDataType() != y->getDataType() || x->isInstanceColumn() != y->isInstanceColumn())
         return ::testing::AssertionFailure() << "column " << c << " differs";
   }
   for (int r = 0; r < a->getNumRows(); r++)
   {
      if (how.rowAttributes && (a->getObjectId(r) != b->getObjectId(r) || a->getBaseRow(r) != b->getBaseRow(r)))
         return ::testing::AssertionFailure() << "row " << r << " attributes differ";
      for (int c = 0; c < a->getNumColumns(); c++)
      {
         const wchar_t *empty = how.nullIsEmpty ? L"" : nullptr;
         const wchar_t *x = a->getAsString(r, c, empty);
         const wchar_t *y = b->getAsString(r, c, empty);
         if ((x == nullptr) != (y == nullptr) || (x != nullptr && wcscmp(x, y) != 0))
            return ::testing::AssertionFailure() << "cell " << r << "," << c << " value differs";
         if (how.cellStatuses && a->getStatus(r, c) != b->getStatus(r, c))
            return ::testing::AssertionFailure() << "cell " << r << "," << c << " status differs";
         if (how.cellObjectIds && a->getCellObjectId(r, c) != b->getCellObjectId(r, c))
            return ::testing::AssertionFailure() << "cell " << r << "," << c << " object id differs";
      }
   }
   return ::testing::AssertionSuccess();
}

#endif
