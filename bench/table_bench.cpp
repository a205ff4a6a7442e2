/* Tables: a 10 000 x 10 table through its XML form (createXML, the UTF-8 conversion and
 * createFromXML) against the same XML written and read with pugixml (the floor of an XML
 * round trip), and through its message form (fillMessage, serialize, deserialize,
 * Table(QVCPMessage*)) against the same content as a protobuf message with a repeated
 * row message (build, serialize, parse, read back into rows of strings). */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pugixml.hpp>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "table_bench.pb.h"

namespace {

constexpr int ROWS = 10000;
constexpr int COLUMNS = 10;

/* The table's content in plain C++ form, UTF-8, for the peers. */
struct PlainTable
{
   std::string title;
   int source = 0;
   std::vector<std::string> names, displayNames;
   std::vector<int> dataTypes;
   std::vector<bool> instance;
   std::vector<uint32_t> objectIds;
   std::vector<std::vector<std::string>> cells;
   std::vector<std::vector<int>> statuses;
};

/* Cell texts like the ones of a collected table: names, numbers, addresses, a few with
 * characters that XML escapes. */
std::string CellText(int r, int c)
{
   switch (c % 5)
   {
      case 0: return "eth" + std::to_string(r);
      case 1: return std::to_string(r * 7919 % 100000);
      case 2: return "10." + std::to_string(r % 256) + "." + std::to_string(c) + ".1";
      case 3: return (r % 10 == 0) ? "a<b & \"c\"" : "interface up";
      default: return std::to_string(r * 0.25);
   }
}

/* Malloc keeps freed memory instead of giving it back to the kernel after every large
 * document (page faults would dominate both sides otherwise); set once, for both. */
void KeepFreedMemory()
{
   static bool done = [] {
      mallopt(M_TRIM_THRESHOLD, 512 * 1024 * 1024);
      mallopt(M_MMAP_THRESHOLD, 256 * 1024 * 1024);
      return true;
   }();
   (void)done;
}

const PlainTable &Plain()
{
   static PlainTable plain = [] {
      PlainTable p;
      p.title = "Interfaces of node 1";
      p.source = 1;
      for (int c = 0; c < COLUMNS; c++)
      {
         p.names.push_back("column" + std::to_string(c));
         p.displayNames.push_back("Column " + std::to_string(c));
         p.dataTypes.push_back(c % 6);
         p.instance.push_back(c == 0);
      }
      for (int r = 0; r < ROWS; r++)
      {
         p.objectIds.push_back(static_cast<uint32_t>(r % 3 == 0 ? 1000 + r : 0));
         std::vector<std::string> row;
         std::vector<int> statuses;
         for (int c = 0; c < COLUMNS; c++)
         {
            row.push_back(CellText(r, c));
            statuses.push_back((c == 9) ? r % 4 : -1);
         }
         p.cells.push_back(row);
         p.statuses.push_back(statuses);
      }
      return p;
   }();
   return plain;
}

wchar_t *Wide(const std::string &utf8)
{
   return WideStringFromUTF8String(utf8.c_str());
}

/* The same content as a Table (the caller releases it). */
Table *MakeTable()
{
   const PlainTable &p = Plain();
   Table *t = new Table();
   wchar_t *title = Wide(p.title);
   t->setTitle(title);
   free(title);
   t->setSource(p.source);
   for (int c = 0; c < COLUMNS; c++)
   {
      wchar_t *name = Wide(p.names[c]);
      wchar_t *display = Wide(p.displayNames[c]);
      t->addColumn(name, p.dataTypes[c], display, p.instance[c]);
      free(name);
      free(display);
   }
   for (int r = 0; r < ROWS; r++)
   {
      t->addRow();
      t->setObjectId(p.objectIds[r]);
      for (int c = 0; c < COLUMNS; c++)
      {
         t->setPreallocated(c, Wide(p.cells[r][c]));
         t->setStatus(c, p.statuses[r][c]);
      }
   }
   return t;
}

Table *SharedTable()
{
   static Table *table = MakeTable();
   return table;
}

/* ---- XML ---- */

void BM_TableXml_Qorvel(benchmark::State &state)
{
   KeepFreedMemory();
   Table *t = SharedTable();
   size_t bytes = 0;
   for (auto _ : state)
   {
      wchar_t *xml = t->createXML();
      char *utf8 = UTF8StringFromWideString(xml);
      free(xml);
      bytes = strlen(utf8);
      Table *back = Table::createFromXML(utf8);
      free(utf8);
      if (back == nullptr || back->getNumRows() != ROWS)
         state.SkipWithError("round trip failed");
      benchmark::DoNotOptimize(back);
      if (back != nullptr)
         back->decRefCount();
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_TableXml_Qorvel)->Unit(benchmark::kMillisecond);

/* Collects what pugixml writes. */
struct StringWriter : pugi::xml_writer
{
   std::string text;
   void write(const void *data, size_t size) override { text.append(static_cast<const char *>(data), size); }
};

void BM_TableXml_Pugixml(benchmark::State &state)
{
   KeepFreedMemory();
   const PlainTable &p = Plain();
   size_t bytes = 0;
   for (auto _ : state)
   {
      // Write: the same elements and attributes as the table's XML form.
      std::string text;
      {
         pugi::xml_document doc;
         pugi::xml_node table = doc.append_child("table");
         table.append_attribute("extendedFormat") = "false";
         table.append_attribute("source") = p.source;
         table.append_attribute("name") = p.title.c_str();
         pugi::xml_node columns = table.append_child("columns");
         for (int c = 0; c < COLUMNS; c++)
         {
            pugi::xml_node column = columns.append_child("column");
            column.append_attribute("name") = p.names[c].c_str();
            column.append_attribute("displayName") = p.displayNames[c].c_str();
            column.append_attribute("isInstance") = p.instance[c] ? "true" : "false";
            column.append_attribute("dataType") = p.dataTypes[c];
         }
         pugi::xml_node data = table.append_child("data");
         for (int r = 0; r < ROWS; r++)
         {
            pugi::xml_node tr = data.append_child("tr");
            if (p.objectIds[r] != 0)
               tr.append_attribute("objectId") = p.objectIds[r];
            for (int c = 0; c < COLUMNS; c++)
            {
               pugi::xml_node td = tr.append_child("td");
               if (p.statuses[r][c] != -1)
                  td.append_attribute("status") = p.statuses[r][c];
               td.append_child(pugi::node_pcdata).set_value(p.cells[r][c].c_str());
            }
         }
         StringWriter writer;
         doc.save(writer, "", pugi::format_raw | pugi::format_no_declaration);
         text.swap(writer.text);
      }
      bytes = text.size();

      // Read: parse and copy every value out, as a table reader does.
      PlainTable back;
      pugi::xml_document doc;
      if (!doc.load_buffer(text.data(), text.size()))
         state.SkipWithError("parse failed");
      pugi::xml_node table = doc.child("table");
      back.title = table.attribute("name").value();
      back.source = table.attribute("source").as_int();
      for (pugi::xml_node column : table.child("columns").children("column"))
      {
         back.names.push_back(column.attribute("name").value());
         back.displayNames.push_back(column.attribute("displayName").value());
         back.dataTypes.push_back(column.attribute("dataType").as_int());
         back.instance.push_back(column.attribute("isInstance").as_bool());
      }
      for (pugi::xml_node tr : table.child("data").children("tr"))
      {
         back.objectIds.push_back(tr.attribute("objectId").as_uint());
         std::vector<std::string> row;
         std::vector<int> statuses;
         for (pugi::xml_node td : tr.children("td"))
         {
            statuses.push_back(td.attribute("status").as_int(-1));
            row.push_back(td.child_value());
         }
         back.cells.push_back(std::move(row));
         back.statuses.push_back(std::move(statuses));
      }
      if (back.cells.size() != ROWS)
         state.SkipWithError("round trip failed");
      benchmark::DoNotOptimize(back.cells.data());
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_TableXml_Pugixml)->Unit(benchmark::kMillisecond);

/* ---- Messages ---- */

size_t WireSize(const void *raw)
{
   const uint8_t *b = static_cast<const uint8_t *>(raw);
   return (size_t(b[4]) << 24) | (size_t(b[5]) << 16) | (size_t(b[6]) << 8) | b[7];
}

void BM_TableMessage_Qorvel(benchmark::State &state)
{
   KeepFreedMemory();
   Table *t = SharedTable();
   size_t bytes = 0;
   for (auto _ : state)
   {
      QVCPMessage msg(CMD_REQUEST_COMPLETED, 1);
      t->fillMessage(msg, 0, -1);
      QVCP_MESSAGE *raw = msg.serialize(false);
      bytes = WireSize(raw);
      QVCPMessage *received = QVCPMessage::deserialize(raw, bytes, QVCP_DEFAULT_VERSION);
      free(raw);
      Table *back = new Table(received);
      delete received;
      if (back->getNumRows() != ROWS)
         state.SkipWithError("round trip failed");
      benchmark::DoNotOptimize(back);
      back->decRefCount();
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_TableMessage_Qorvel)->Unit(benchmark::kMillisecond);

void BM_TableMessage_Protobuf(benchmark::State &state)
{
   KeepFreedMemory();
   const PlainTable &p = Plain();
   size_t bytes = 0;
   for (auto _ : state)
   {
      std::string wire;
      {
         qvbench::TableData data;
         data.set_title(p.title);
         data.set_source(p.source);
         data.set_extended(false);
         data.set_row_count(ROWS);
         data.set_column_count(COLUMNS);
         for (int c = 0; c < COLUMNS; c++)
         {
            qvbench::TableColumn *column = data.add_columns();
            column->set_name(p.names[c]);
            column->set_display_name(p.displayNames[c]);
            column->set_data_type(p.dataTypes[c]);
            column->set_instance(p.instance[c]);
         }
         for (int r = 0; r < ROWS; r++)
         {
            qvbench::TableRow *row = data.add_rows();
            for (int c = 0; c < COLUMNS; c++)
               row->add_cells(p.cells[r][c]);
         }
         data.SerializeToString(&wire);
      }
      bytes = wire.size();

      qvbench::TableData parsed;
      if (!parsed.ParseFromString(wire))
         state.SkipWithError("parse failed");
      PlainTable back;
      back.title = parsed.title();
      for (const qvbench::TableColumn &column : parsed.columns())
      {
         back.names.push_back(column.name());
         back.displayNames.push_back(column.display_name());
      }
      for (const qvbench::TableRow &row : parsed.rows())
         back.cells.emplace_back(row.cells().begin(), row.cells().end());
      if (back.cells.size() != ROWS)
         state.SkipWithError("round trip failed");
      benchmark::DoNotOptimize(back.cells.data());
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_TableMessage_Protobuf)->Unit(benchmark::kMillisecond);

}  // namespace
