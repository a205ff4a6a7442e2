/* Table and TableColumnDefinition: structure, cells, copying between tables and instance
 * texts. The XML and packed forms are in table_xml.cpp, the message form in the protocol
 * layer. */
#include "data/table_internal.h"

#include "text/parse_number.h"
#include "text/text_chars.h"

#include <string.h>

#include <new>

using qv::data::TABLE_CELL_GROW_STEP;
using qv::data::TABLE_COLUMN_GROW_STEP;
using qv::data::TABLE_NO_BASE_ROW;
using qv::data::TABLE_NO_STATUS;
using qv::data::TABLE_ROW_GROW_STEP;
using qv::text::CopyOfLength;

namespace {

/* Text of a column whose name is null. */
constexpr const wchar_t *NULL_NAME = L"(null)";

/* Separator of the instance columns' values in an instance text, and the mark of an
 * instance text made of the row index. */
constexpr const wchar_t *INSTANCE_SEPARATOR = L"~~~";
constexpr wchar_t ROW_INDEX_MARK = L'#';

/* Room for the decimal text of any 64-bit integer with sign and terminator, and for the
 * fixed-notation text of most doubles; a longer double is formatted into a block of its
 * own size. */
constexpr size_t NUMBER_BUFFER = 32;

/* Copies text into a buffer of size characters, cut to size - 1 and terminated. */
void CopyCut(wchar_t *buffer, size_t size, const wchar_t *text)
{
   size_t length = wcslen(text);
   if (length > size - 1)
      length = size - 1;
   memcpy(buffer, text, length * sizeof(wchar_t));
   buffer[length] = 0;
}

/* The decimal text of magnitude (negative: with a minus sign) as a new malloc'ed block. */
wchar_t *DecimalText(uint64_t magnitude, bool negative)
{
   wchar_t digits[NUMBER_BUFFER];
   size_t pos = NUMBER_BUFFER;
   digits[--pos] = 0;
   do
   {
      digits[--pos] = static_cast<wchar_t>(L'0' + magnitude % 10);
      magnitude /= 10;
   } while (magnitude != 0);
   if (negative)
      digits[--pos] = L'-';
   return CopyOfLength(digits + pos, NUMBER_BUFFER - 1 - pos);
}

wchar_t *SignedText(int64_t value)
{
   uint64_t magnitude = (value < 0) ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
   return DecimalText(magnitude, value < 0);
}

/* "%f" of value, whole however long its text is. */
wchar_t *DoubleText(double value)
{
   wchar_t buffer[NUMBER_BUFFER];
   int length = qv_snwprintf(buffer, NUMBER_BUFFER, L"%f", value);
   if (length < 0)
      return nullptr;
   if (static_cast<size_t>(length) < NUMBER_BUFFER)
      return CopyOfLength(buffer, static_cast<size_t>(length));
   return qv_aswprintf(L"%f", value);
}

}  // namespace

namespace qv {
namespace data {}  // namespace data
}  // namespace qv

/* ---- Rows ---- */

TableRow::TableRow(int columns)
    : m_cells(nullptr), m_count(0), m_allocated(0), m_objectId(0), m_baseRow(TABLE_NO_BASE_ROW)
{
   if (columns > 0 && reserve(columns))
   {
      for (int i = 0; i < columns; i++)
         m_cells[i] = TableCell{nullptr, TABLE_NO_STATUS, 0};
      m_count = columns;
   }
}

TableRow::TableRow(const TableRow *src)
    : m_cells(nullptr), m_count(0), m_allocated(0), m_objectId(src->m_objectId), m_baseRow(src->m_baseRow)
{
   if (src->m_count > 0 && reserve(src->m_count))
   {
      for (int i = 0; i < src->m_count; i++)
      {
         const TableCell &from = src->m_cells[i];
         wchar_t *value = (from.value != nullptr) ? CopyOfLength(from.value, wcslen(from.value)) : nullptr;
         m_cells[i] = TableCell{value, from.status, from.objectId};
      }
      m_count = src->m_count;
   }
}

TableRow::~TableRow()
{
   for (int i = 0; i < m_count; i++)
      free(m_cells[i].value);
   free(m_cells);
}

/* Makes room for cells cells in all; false when out of memory. */
bool TableRow::reserve(int cells)
{
   if (cells <= m_allocated)
      return true;
   TableCell *grown = static_cast<TableCell *>(realloc(m_cells, static_cast<size_t>(cells) * sizeof(TableCell)));
   if (grown == nullptr)
      return false;
   m_cells = grown;
   m_allocated = cells;
   return true;
}

bool TableRow::addCell()
{
   if (m_count == m_allocated && !reserve(m_allocated + TABLE_CELL_GROW_STEP))
      return false;
   m_cells[m_count++] = TableCell{nullptr, TABLE_NO_STATUS, 0};
   return true;
}

void TableRow::deleteCell(int column)
{
   if (column < 0 || column >= m_count)
      return;
   free(m_cells[column].value);
   memmove(&m_cells[column], &m_cells[column + 1], static_cast<size_t>(m_count - column - 1) * sizeof(TableCell));
   m_count--;
}

/* ---- Column definitions ---- */

TableColumnDefinition::TableColumnDefinition(const wchar_t *name, const wchar_t *displayName, int dataType,
                                             bool isInstance)
    : m_dataType(dataType), m_instanceColumn(isInstance)
{
   CopyCut(m_name, NAME_BUFFER_SIZE, (name != nullptr) ? name : NULL_NAME);
   CopyCut(m_displayName, DISPLAY_NAME_BUFFER_SIZE, (displayName != nullptr) ? displayName : m_name);
}

TableColumnDefinition::TableColumnDefinition(const TableColumnDefinition *src) : TableColumnDefinition(*src) {}

void TableColumnDefinition::setDisplayName(const wchar_t *name)
{
   CopyCut(m_displayName, DISPLAY_NAME_BUFFER_SIZE, (name != nullptr) ? name : L"");
}

/* ---- Construction ---- */

Table::Table()
    : m_data(TABLE_ROW_GROW_STEP, TABLE_ROW_GROW_STEP, true),
      m_columns(TABLE_COLUMN_GROW_STEP, TABLE_COLUMN_GROW_STEP, true), m_title(nullptr), m_source(0),
      m_extendedFormat(false)
{}

Table::Table(Table *src)
    : m_data((src != nullptr) ? src->getNumRows() : TABLE_ROW_GROW_STEP, TABLE_ROW_GROW_STEP, true),
      m_columns((src != nullptr) ? src->getNumColumns() : TABLE_COLUMN_GROW_STEP, TABLE_COLUMN_GROW_STEP, true),
      m_title(nullptr), m_source(0), m_extendedFormat(false)
{
   if (src == nullptr)
      return;
   m_extendedFormat = src->m_extendedFormat;
   m_source = src->m_source;
   setTitle(src->m_title);
   for (int i = 0; i < src->m_data.size(); i++)
   {
      TableRow *row = new (std::nothrow) TableRow(src->m_data.get(i));
      if (row != nullptr && m_data.add(row) < 0)
         delete row;
   }
   for (int i = 0; i < src->m_columns.size(); i++)
   {
      TableColumnDefinition *column = new (std::nothrow) TableColumnDefinition(src->m_columns.get(i));
      if (column != nullptr && m_columns.add(column) < 0)
         delete column;
   }
}

Table::~Table()
{
   free(m_title);
}

/* ---- Structure ---- */

int Table::addColumn(const wchar_t *name, int dataType, const wchar_t *displayName, bool isInstance)
{
   TableColumnDefinition definition(name, displayName, dataType, isInstance);
   return addColumn(&definition);
}

int Table::addColumn(const TableColumnDefinition *definition)
{
   TableColumnDefinition *copy = new (std::nothrow) TableColumnDefinition(definition);
   if (copy == nullptr)
      return -1;
   int index = m_columns.add(copy);
   if (index < 0)
   {
      delete copy;
      return -1;
   }
   for (int i = 0; i < m_data.size(); i++)
      m_data.get(i)->addCell();
   return index;
}

int Table::getColumnIndex(const wchar_t *name) const
{
   if (name == nullptr)
      return -1;
   for (int i = 0; i < m_columns.size(); i++)
      if (qv_wcsicmp(m_columns.get(i)->getName(), name) == 0)
         return i;
   return -1;
}

int Table::addRow()
{
   TableRow *row = new (std::nothrow) TableRow(m_columns.size());
   if (row == nullptr)
      return -1;
   int index = m_data.add(row);
   if (index < 0)
      delete row;
   return index;
}

void Table::deleteRow(int row)
{
   if (row >= 0 && row < m_data.size())
      m_data.remove(row);
}

void Table::deleteColumn(int column)
{
   if (column < 0 || column >= m_columns.size())
      return;
   m_columns.remove(column);
   for (int i = 0; i < m_data.size(); i++)
      m_data.get(i)->deleteCell(column);
}

const wchar_t *Table::getColumnName(int column) const
{
   const TableColumnDefinition *definition = m_columns.get(column);
   return (definition != nullptr) ? definition->getName() : nullptr;
}

int Table::getColumnDataType(int column) const
{
   const TableColumnDefinition *definition = m_columns.get(column);
   return (definition != nullptr) ? definition->getDataType() : 0;
}

void Table::setColumnDataType(int column, int type)
{
   TableColumnDefinition *definition = m_columns.get(column);
   if (definition != nullptr)
      definition->setDataType(type);
}

void Table::setTitle(const wchar_t *title)
{
   wchar_t *copy = (title != nullptr) ? CopyOfLength(title, wcslen(title)) : nullptr;
   free(m_title);
   m_title = copy;
}

/* ---- Cells ---- */

TableRow *Table::rowAt(int row) const
{
   return m_data.get(row);
}

TableCell *Table::cellAt(int row, int column) const
{
   TableRow *r = m_data.get(row);
   return (r != nullptr) ? r->cell(column) : nullptr;
}

/* Stores value (a malloc'ed block or null) in the cell, freeing the old value; out of
 * range value is freed. */
void Table::setCellValue(int row, int column, wchar_t *value)
{
   TableCell *cell = cellAt(row, column);
   if (cell == nullptr)
   {
      free(value);
      return;
   }
   free(cell->value);
   cell->value = value;
}

void Table::setAt(int row, int column, const wchar_t *value)
{
   TableCell *cell = cellAt(row, column);
   if (cell == nullptr)
      return;
   wchar_t *copy = (value != nullptr) ? CopyOfLength(value, wcslen(value)) : nullptr;
   free(cell->value);
   cell->value = copy;
}

void Table::setPreallocatedAt(int row, int column, wchar_t *value)
{
   setCellValue(row, column, value);
}

void Table::setAt(int row, int column, int32_t value)
{
   if (cellAt(row, column) != nullptr)
      setCellValue(row, column, SignedText(value));
}

void Table::setAt(int row, int column, uint32_t value)
{
   if (cellAt(row, column) != nullptr)
      setCellValue(row, column, DecimalText(value, false));
}

void Table::setAt(int row, int column, int64_t value)
{
   if (cellAt(row, column) != nullptr)
      setCellValue(row, column, SignedText(value));
}

void Table::setAt(int row, int column, uint64_t value)
{
   if (cellAt(row, column) != nullptr)
      setCellValue(row, column, DecimalText(value, false));
}

void Table::setAt(int row, int column, double value)
{
   if (cellAt(row, column) != nullptr)
      setCellValue(row, column, DoubleText(value));
}

void Table::set(int column, const char *value)
{
   if (cellAt(getNumRows() - 1, column) != nullptr)
      setCellValue(getNumRows() - 1, column, (value != nullptr) ? WideStringFromMBString(value) : nullptr);
}

const wchar_t *Table::getAsString(int row, int column, const wchar_t *defaultValue) const
{
   TableCell *cell = cellAt(row, column);
   return (cell != nullptr && cell->value != nullptr) ? cell->value : defaultValue;
}

int32_t Table::getAsInt(int row, int column) const
{
   return qv::text::ParseInt32(getAsString(row, column));
}

uint32_t Table::getAsUInt(int row, int column) const
{
   return qv::text::ParseUInt32(getAsString(row, column));
}

int64_t Table::getAsInt64(int row, int column) const
{
   return qv::text::ParseInt64(getAsString(row, column));
}

uint64_t Table::getAsUInt64(int row, int column) const
{
   return qv::text::ParseUInt64(getAsString(row, column));
}

double Table::getAsDouble(int row, int column) const
{
   return qv::text::ParseDouble(getAsString(row, column));
}

void Table::setStatusAt(int row, int column, int status)
{
   TableCell *cell = cellAt(row, column);
   if (cell != nullptr)
      cell->status = status;
}

int Table::getStatus(int row, int column) const
{
   TableCell *cell = cellAt(row, column);
   return (cell != nullptr) ? cell->status : TABLE_NO_STATUS;
}

void Table::setCellObjectIdAt(int row, int column, uint32_t id)
{
   TableCell *cell = cellAt(row, column);
   if (cell != nullptr)
      cell->objectId = id;
}

uint32_t Table::getCellObjectId(int row, int column) const
{
   TableCell *cell = cellAt(row, column);
   return (cell != nullptr) ? cell->objectId : 0;
}

void Table::setObjectIdAt(int row, uint32_t id)
{
   TableRow *r = rowAt(row);
   if (r != nullptr)
      r->setObjectId(id);
}

uint32_t Table::getObjectId(int row) const
{
   TableRow *r = rowAt(row);
   return (r != nullptr) ? r->getObjectId() : 0;
}

void Table::setBaseRowAt(int row, int baseRow)
{
   TableRow *r = rowAt(row);
   if (r != nullptr)
      r->setBaseRow(baseRow);
}

int Table::getBaseRow(int row) const
{
   TableRow *r = rowAt(row);
   return (r != nullptr) ? r->getBaseRow() : 0;
}

/* ---- Copying between tables ---- */

/* Appends a row with one empty cell per column of this table and copies into it the
 * cells of src below the smaller column count. src may be a row of this table: rows are
 * separate objects, so adding one leaves it in place. */
void Table::appendRowCopy(const TableRow *src, int columns)
{
   int row = addRow();
   TableRow *target = rowAt(row);
   if (target == nullptr)
      return;
   int count = (columns < getNumColumns()) ? columns : getNumColumns();
   for (int c = 0; c < count; c++)
   {
      const TableCell *from = src->cell(c);
      TableCell *to = target->cell(c);
      if (from == nullptr || to == nullptr)
         continue;
      to->value = (from->value != nullptr) ? CopyOfLength(from->value, wcslen(from->value)) : nullptr;
      to->status = from->status;
      to->objectId = from->objectId;
   }
}

void Table::addAll(Table *src)
{
   if (src == nullptr)
      return;
   // The count is read once: with src being this table the rows added here are not
   // copied again.
   int rows = src->getNumRows();
   int columns = src->getNumColumns();
   for (int i = 0; i < rows; i++)
      appendRowCopy(src->rowAt(i), columns);
}

void Table::copyRow(Table *src, int row)
{
   if (src == nullptr)
      return;
   const TableRow *from = src->rowAt(row);
   if (from != nullptr)
      appendRowCopy(from, src->getNumColumns());
}

/* ---- Instances ---- */

/* The row's instance text (the row must exist). */
void Table::buildInstance(int row, String *out) const
{
   bool first = true;
   for (int c = 0; c < m_columns.size(); c++)
   {
      if (!m_columns.get(c)->isInstanceColumn())
         continue;
      if (!first)
         out->append(INSTANCE_SEPARATOR);
      first = false;
      out->append(getAsString(row, c));
   }
   if (out->isEmpty())
   {
      out->append(ROW_INDEX_MARK);
      out->append(static_cast<int32_t>(row));
   }
}

void Table::buildInstanceString(int row, wchar_t *buffer, size_t size)
{
   if (buffer == nullptr || size == 0)
      return;
   if (rowAt(row) == nullptr)
   {
      buffer[0] = 0;
      return;
   }
   String instance;
   buildInstance(row, &instance);
   CopyCut(buffer, size, instance);
}

int Table::findRowByInstance(const wchar_t *instance)
{
   if (instance == nullptr)
      return -1;
   for (int row = 0; row < getNumRows(); row++)
   {
      String text;
      buildInstance(row, &text);
      if (text.equals(instance))
         return row;
   }
   return -1;
}
