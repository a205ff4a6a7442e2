/* The rows and cells of a Table, shared by the table's units in the data layer and its
 * message form in the protocol layer. */
#ifndef QORVEL_DATA_TABLE_INTERNAL_H
#define QORVEL_DATA_TABLE_INTERNAL_H

#include <qv_data.h>

#include <stdlib.h>

/* One cell: the value (a malloc'ed text or null), the status (-1 when not set) and the
 * object id (0 when not set). */
struct TableCell
{
   wchar_t *value;
   int32_t status;
   uint32_t objectId;
};

namespace qv {
namespace data {

/* Rows grow by this many, columns and the cells of a row by this many at a time. */
constexpr int TABLE_ROW_GROW_STEP = 32;
constexpr int TABLE_COLUMN_GROW_STEP = 8;
constexpr int TABLE_CELL_GROW_STEP = 8;

/* Status and base row that mean "not set". */
constexpr int32_t TABLE_NO_STATUS = -1;
constexpr int32_t TABLE_NO_BASE_ROW = -1;

}  // namespace data
}  // namespace qv

/* One row: its cells in column order, its object id and its base row. */
class TableRow
{
private:
   TableCell *m_cells;
   int m_count;
   int m_allocated;
   uint32_t m_objectId;
   int32_t m_baseRow;

   bool reserve(int cells);

public:
   /* A row of columns empty cells, with room for exactly that many. */
   explicit TableRow(int columns);
   /* A deep copy: values, statuses, object ids and the row's attributes. */
   explicit TableRow(const TableRow *src);
   ~TableRow();
   TableRow(const TableRow &) = delete;
   TableRow &operator=(const TableRow &) = delete;

   int cellCount() const { return m_count; }
   TableCell *cell(int column) const { return (column >= 0 && column < m_count) ? &m_cells[column] : nullptr; }
   /* Appends an empty cell; false when out of memory. */
   bool addCell();
   /* Removes the cell (and its value) at column; nothing out of range. */
   void deleteCell(int column);

   uint32_t getObjectId() const { return m_objectId; }
   void setObjectId(uint32_t id) { m_objectId = id; }
   int32_t getBaseRow() const { return m_baseRow; }
   void setBaseRow(int32_t baseRow) { m_baseRow = baseRow; }
};

#endif
