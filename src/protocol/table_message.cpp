/* The message form of a Table: header fields, a block of column definitions and the row
 * data in the plain or the extended layout, with slices of rows for large tables. */
#include "data/table_internal.h"
#include "protocol/message_field.h"
#include "protocol/message_forms.h"

#include <stdlib.h>
#include <string.h>

#include <new>

using qv::data::TABLE_COLUMN_GROW_STEP;
using qv::data::TABLE_NO_STATUS;
using qv::data::TABLE_ROW_GROW_STEP;

namespace {

/* Field ids of the table's header fields. */
constexpr uint32_t FID_TITLE = 168;
constexpr uint32_t FID_SOURCE = 46;
constexpr uint32_t FID_EXTENDED_FORMAT = 466;
constexpr uint32_t FID_ROW_COUNT = 328;        // rows of the whole table, first slice only
constexpr uint32_t FID_COLUMN_COUNT = 329;     // first slice only
constexpr uint32_t FID_SLICE_OFFSET = 340;     // index of the first row carried
constexpr uint32_t FID_SLICE_ROWS = 167;       // rows carried
constexpr uint32_t FID_INSTANCE_COLUMN = 412;  // read only: name of the instance column (older writers)

/* Column i's block starts at COLUMN_BASE + COLUMN_BLOCK * i; the row data at ROW_BASE. */
constexpr uint32_t COLUMN_BASE = 0x10000000;
constexpr uint32_t COLUMN_BLOCK = 10;
constexpr uint32_t ROW_BASE = 0x20000000;

/* Offsets within a column block. */
constexpr uint32_t COLUMN_NAME = 0;
constexpr uint32_t COLUMN_DATA_TYPE = 1;
constexpr uint32_t COLUMN_DISPLAY_NAME = 2;
constexpr uint32_t COLUMN_INSTANCE = 3;

/* In the extended layout every row and every cell takes a block of ten ids: the row's
 * object id and base row, and each cell's value, status and object id. */
constexpr uint32_t EXTENDED_BLOCK = 10;
constexpr uint32_t ROW_OBJECT_ID = 0;
constexpr uint32_t ROW_BASE_ROW = 1;
constexpr uint32_t CELL_VALUE = 0;
constexpr uint32_t CELL_STATUS = 1;
constexpr uint32_t CELL_OBJECT_ID = 2;

/* Most columns whose blocks lie below the row data. */
constexpr int32_t MAX_COLUMNS = static_cast<int32_t>((ROW_BASE - COLUMN_BASE) / COLUMN_BLOCK);

/* Fields every column block holds when written by fillMessage. */
constexpr uint64_t FIELDS_PER_COLUMN = 4;

/* Characters of the buffer the instance column's name is read into. */
constexpr size_t INSTANCE_NAME_BUFFER = 64;

/* Row and column counts of a table message, bounded by what its fields can back. */
struct MessageShape
{
   int32_t rows;
   int32_t columns;
   bool extended;
};

/* The field ids of the message in a new malloc'ed array of *count entries; null when out
 * of memory. */
uint32_t *FieldIds(const QVCPMessage *msg, size_t *count)
{
   *count = msg->getFieldIds(nullptr, 0);
   uint32_t *ids = static_cast<uint32_t *>(malloc((*count > 0 ? *count : 1) * sizeof(uint32_t)));
   if (ids != nullptr)
      msg->getFieldIds(ids, *count);
   return ids;
}

/* Over the n field ids, the blocks of blockSize ids from base on, up to count blocks:
 * returns the index of the last block holding a field plus one, and puts in *present the
 * number of fields that lie in those blocks. */
int32_t BackedBlocks(const uint32_t *ids, size_t n, uint32_t base, uint64_t blockSize, int32_t count, int64_t *present)
{
   int64_t highest = -1;
   *present = 0;
   uint64_t span = blockSize * static_cast<uint64_t>(count);
   for (size_t i = 0; i < n; i++)
   {
      if (ids[i] < base || ids[i] - base >= span)
         continue;
      int64_t block = static_cast<int64_t>((ids[i] - base) / blockSize);
      if (block > highest)
         highest = block;
      (*present)++;
   }
   return static_cast<int32_t>(highest + 1);
}

/* The first field id of row r in the layout. */
uint32_t RowStart(int32_t r, int32_t columns, bool extended)
{
   uint32_t stride = extended ? EXTENDED_BLOCK * (static_cast<uint32_t>(columns) + 1) : static_cast<uint32_t>(columns);
   return ROW_BASE + static_cast<uint32_t>(r) * stride;
}

/* Reads the counts and bounds them: a column needs a field in its block, a row the
 * fields its layout gives it (one per cell, and one for its attributes in the extended
 * layout), so that a count the message cannot back never makes the reader allocate or
 * loop beyond the size of the message. An honest message written by fillMessage in one
 * piece passes unchanged; the first slice of a table sent in several gives the rows it
 * carries. */
MessageShape ReadShape(const QVCPMessage *msg)
{
   MessageShape shape;
   shape.rows = static_cast<int32_t>(msg->getFieldAsUInt32(FID_ROW_COUNT));
   shape.columns = static_cast<int32_t>(msg->getFieldAsUInt32(FID_COLUMN_COUNT));
   shape.extended = msg->getFieldAsBoolean(FID_EXTENDED_FORMAT);
   if (shape.rows < 0)
      shape.rows = 0;
   if (shape.columns < 0)
      shape.columns = 0;
   if (shape.columns > MAX_COLUMNS)
      shape.columns = MAX_COLUMNS;

   size_t fields = msg->getFieldIds(nullptr, 0);
   uint64_t perRow = static_cast<uint64_t>(shape.columns) + (shape.extended ? 1 : 0);
   bool columnsBacked = static_cast<uint64_t>(shape.columns) * FIELDS_PER_COLUMN <= fields;
   // Every row of an honest message holds at least perRow fields, the first of them at
   // the row's start, so the last row's first field tells whether the rows are all there.
   bool rowsBacked = (perRow > 0) ? static_cast<uint64_t>(shape.rows) * perRow <= fields &&
                                        (shape.rows == 0 ||
                                         msg->isFieldExist(RowStart(shape.rows - 1, shape.columns, shape.extended)))
                                  : static_cast<uint64_t>(shape.rows) <= fields;
   if (columnsBacked && rowsBacked)
      return shape;

   size_t n;
   uint32_t *ids = FieldIds(msg, &n);
   if (ids == nullptr)
   {
      shape.rows = shape.columns = 0;
      return shape;
   }
   if (!columnsBacked)
   {
      int64_t present;
      int32_t highest = BackedBlocks(ids, n, COLUMN_BASE, COLUMN_BLOCK, shape.columns, &present);
      if (shape.columns > highest)
         shape.columns = highest;
      if (shape.columns > present)
         shape.columns = static_cast<int32_t>(present);
      perRow = static_cast<uint64_t>(shape.columns) + (shape.extended ? 1 : 0);
   }
   if (perRow == 0)
   {
      // Plain rows without cells have no fields: they are bounded by the message's size.
      if (static_cast<uint64_t>(shape.rows) > fields)
         shape.rows = static_cast<int32_t>(fields);
   }
   else
   {
      uint64_t stride = shape.extended ? EXTENDED_BLOCK * perRow : perRow;
      int64_t present;
      int32_t highest = BackedBlocks(ids, n, ROW_BASE, stride, shape.rows, &present);
      if (shape.rows > highest)
         shape.rows = highest;
      if (static_cast<uint64_t>(shape.rows) > fields / perRow)
         shape.rows = static_cast<int32_t>(fields / perRow);
   }
   free(ids);
   return shape;
}

/* Puts the row-data fields of a message into the rows made for them, with the type rules
 * of the message's getters: a value from a STRING field, a status from an INT16 field,
 * object ids and base rows from INT32 fields (or INETADDR fields holding an IPv4
 * address). */
struct RowReader
{
   ObjectArray<TableRow> *rows;
   int32_t columns;
   int32_t rowCount;
   bool extended;

   /* The number getFieldAsUInt32 reads from the field. */
   static uint32_t Int32Value(const QVCP_MESSAGE_FIELD *field)
   {
      if (field->type == QVCP_FT_INT32)
         return static_cast<uint32_t>(field->data.int32);
      if (field->type == QVCP_FT_INETADDR && field->data.inetaddr.family == QVCP_INETADDR_IPV4)
         return field->data.inetaddr.addr.v4;
      return 0;
   }

   /* The text of a STRING field as a new malloc'ed wide text, as getFieldAsString gives
    * it; null for another type. */
   static wchar_t *Text(const QVCP_MESSAGE_FIELD *field)
   {
      if (field->type != QVCP_FT_STRING)
         return nullptr;
      size_t units = field->data.string.length / sizeof(UCS2CHAR);
      wchar_t *text = static_cast<wchar_t *>(malloc((units + 1) * sizeof(wchar_t)));
      if (text == nullptr)
         return nullptr;
      const UCS2CHAR *value = reinterpret_cast<const UCS2CHAR *>(reinterpret_cast<const uint8_t *>(field) +
                                                                 qv::protocol::FIELD_VALUE_OFFSET);
      int n = (units > 0) ? ucs2_to_wchar(value, static_cast<int>(units), text, static_cast<int>(units)) : 0;
      text[n] = 0;
      return text;
   }

   static void SetValue(TableCell *cell, const QVCP_MESSAGE_FIELD *field)
   {
      wchar_t *text = Text(field);
      free(cell->value);
      cell->value = text;
   }

   void plain(uint32_t offset, const QVCP_MESSAGE_FIELD *field)
   {
      uint32_t r = offset / static_cast<uint32_t>(columns);
      if (r < static_cast<uint32_t>(rowCount))
         SetValue(rows->get(static_cast<int>(r))->cell(static_cast<int>(offset % columns)), field);
   }

   void extendedField(uint32_t offset, const QVCP_MESSAGE_FIELD *field)
   {
      uint32_t block = offset / EXTENDED_BLOCK;
      uint32_t slot = offset % EXTENDED_BLOCK;
      uint32_t blocksPerRow = static_cast<uint32_t>(columns) + 1;
      uint32_t r = block / blocksPerRow;
      uint32_t b = block % blocksPerRow;
      if (r >= static_cast<uint32_t>(rowCount))
         return;
      TableRow *row = rows->get(static_cast<int>(r));
      if (b == 0)
      {
         if (slot == ROW_OBJECT_ID)
            row->setObjectId(Int32Value(field));
         else if (slot == ROW_BASE_ROW)
            row->setBaseRow(static_cast<int32_t>(Int32Value(field)));
         return;
      }
      TableCell *cell = row->cell(static_cast<int>(b - 1));
      if (slot == CELL_VALUE)
         SetValue(cell, field);
      else if (slot == CELL_STATUS)
         cell->status = (field->type == QVCP_FT_INT16) ? static_cast<int16_t>(field->value16) : 0;
      else if (slot == CELL_OBJECT_ID)
         cell->objectId = Int32Value(field);
   }

   static bool take(const QVCP_MESSAGE_FIELD *field, void *context)
   {
      RowReader *reader = static_cast<RowReader *>(context);
      if (field->fieldId < ROW_BASE)
         return true;
      uint32_t offset = field->fieldId - ROW_BASE;
      if (reader->extended)
         reader->extendedField(offset, field);
      else
         reader->plain(offset, field);
      return true;
   }
};

}  // namespace

/* ---- Column definitions ---- */

TableColumnDefinition::TableColumnDefinition(const QVCPMessage *msg, uint32_t baseId)
{
   msg->getFieldAsString(baseId + COLUMN_NAME, m_name, NAME_BUFFER_SIZE);
   m_dataType = static_cast<int32_t>(msg->getFieldAsUInt32(baseId + COLUMN_DATA_TYPE));
   msg->getFieldAsString(baseId + COLUMN_DISPLAY_NAME, m_displayName, DISPLAY_NAME_BUFFER_SIZE);
   if (m_displayName[0] == 0)
      memcpy(m_displayName, m_name, sizeof(m_name));
   m_instanceColumn = msg->getFieldAsUInt16(baseId + COLUMN_INSTANCE) != 0;
}

void TableColumnDefinition::fillMessage(QVCPMessage *msg, uint32_t baseId) const
{
   msg->setField(baseId + COLUMN_NAME, m_name);
   msg->setField(baseId + COLUMN_DATA_TYPE, static_cast<uint32_t>(m_dataType));
   msg->setField(baseId + COLUMN_DISPLAY_NAME, m_displayName);
   msg->setField(baseId + COLUMN_INSTANCE, static_cast<uint16_t>(m_instanceColumn ? 1 : 0));
}

/* ---- Reading ---- */

Table::Table(QVCPMessage *msg)
    : m_data(ReadShape(msg).rows, TABLE_ROW_GROW_STEP, true),
      m_columns(TABLE_COLUMN_GROW_STEP, TABLE_COLUMN_GROW_STEP, true), m_title(nullptr), m_source(0),
      m_extendedFormat(false)
{
   readMessage(msg);
}

void Table::updateFromMessage(QVCPMessage *msg)
{
   m_columns.clear();
   m_data.clear();
   free(m_title);
   m_title = nullptr;
   readMessage(msg);
}

/* Fills the empty table from msg. */
void Table::readMessage(const QVCPMessage *msg)
{
   MessageShape shape = ReadShape(msg);
   m_title = msg->getFieldAsString(FID_TITLE);
   m_source = msg->getFieldAsInt16(FID_SOURCE);
   m_extendedFormat = shape.extended;

   for (int32_t i = 0; i < shape.columns; i++)
   {
      TableColumnDefinition *column =
          new (std::nothrow) TableColumnDefinition(msg, COLUMN_BASE + COLUMN_BLOCK * static_cast<uint32_t>(i));
      if (column != nullptr && m_columns.add(column) < 0)
         delete column;
   }
   if (msg->isFieldExist(FID_INSTANCE_COLUMN))
   {
      wchar_t name[INSTANCE_NAME_BUFFER];
      msg->getFieldAsString(FID_INSTANCE_COLUMN, name, INSTANCE_NAME_BUFFER);
      int index = getColumnIndex(name);
      if (index >= 0)
         m_columns.get(index)->setInstanceColumn(true);
   }

   int columns = m_columns.size();
   if (shape.rows < 1)
      return;
   for (int32_t r = 0; r < shape.rows; r++)
   {
      TableRow *row = new (std::nothrow) TableRow(columns);
      if (row == nullptr || m_data.add(row) < 0)
      {
         delete row;
         return;
      }
      // In the extended layout a cell without a status field reads as status 0.
      for (int c = 0; shape.extended && c < columns; c++)
         row->cell(c)->status = 0;
   }
   if (columns == 0 && !shape.extended)
      return;
   // The row data are taken in one pass over the fields rather than looked up one by
   // one: every field in the range of the rows read goes to its row and cell.
   RowReader reader = {&m_data, columns, shape.rows, shape.extended};
   msg->forEachField(RowReader::take, &reader);
}

/* ---- Writing ---- */

int Table::fillMessage(QVCPMessage &msg, int offset, int rowLimit)
{
   int rows = getNumRows();
   if (offset < 0)
      offset = 0;
   if (offset > rows)
      offset = rows;
   int end = rows;
   if (rowLimit >= 0 && static_cast<int64_t>(offset) + rowLimit < rows)
      end = offset + rowLimit;

   msg.setField(FID_TITLE, getTitle());
   msg.setField(FID_SOURCE, static_cast<uint16_t>(m_source));
   msg.setField(FID_EXTENDED_FORMAT, static_cast<uint16_t>(m_extendedFormat ? 1 : 0));
   int columns = getNumColumns();
   if (offset == 0)
   {
      msg.setField(FID_ROW_COUNT, static_cast<uint32_t>(rows));
      msg.setField(FID_COLUMN_COUNT, static_cast<uint32_t>(columns));
      for (int i = 0; i < columns; i++)
         m_columns.get(i)->fillMessage(&msg, COLUMN_BASE + COLUMN_BLOCK * static_cast<uint32_t>(i));
   }
   msg.setField(FID_SLICE_OFFSET, static_cast<uint32_t>(offset));

   uint32_t id = ROW_BASE;
   for (int r = offset; r < end; r++)
   {
      const TableRow *row = m_data.get(r);
      if (m_extendedFormat)
      {
         msg.setField(id + ROW_OBJECT_ID, row->getObjectId());
         msg.setField(id + ROW_BASE_ROW, static_cast<int32_t>(row->getBaseRow()));
         id += EXTENDED_BLOCK;
      }
      for (int c = 0; c < columns; c++)
      {
         const TableCell *cell = row->cell(c);
         const wchar_t *value = (cell != nullptr && cell->value != nullptr) ? cell->value : L"";
         if (m_extendedFormat)
         {
            msg.setField(id + CELL_VALUE, value);
            msg.setField(id + CELL_STATUS, static_cast<uint16_t>((cell != nullptr) ? cell->status : TABLE_NO_STATUS));
            msg.setField(id + CELL_OBJECT_ID, (cell != nullptr) ? cell->objectId : 0);
            id += EXTENDED_BLOCK;
         }
         else
         {
            msg.setField(id, value);
            id++;
         }
      }
   }
   msg.setField(FID_SLICE_ROWS, static_cast<uint32_t>(end - offset));
   if (end == rows)
      msg.setEndOfSequence();
   return end;
}
