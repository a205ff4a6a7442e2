/* qvtool table: prints a table kept in a file, in its XML or its packed form, as aligned
 * columns; PrintTable also serves "msg dump" for messages that carry a table. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

/* Blanks between two columns. */
constexpr size_t COLUMN_GAP = 2;

/* Terminal cells a character takes: 0 for combining marks, 2 for the wide East Asian
 * ranges, 1 for everything else. */
size_t CharWidth(wchar_t ch)
{
   uint32_t c = static_cast<uint32_t>(ch);
   if (c >= 0x0300 && c <= 0x036F)
      return 0;
   if ((c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) || (c >= 0xAC00 && c <= 0xD7A3) ||
       (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
       (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD))
      return 2;
   return 1;
}

/* One cell as shown: control characters as \t, \n, \r or \xHH, so that every cell stays
 * on its line; its text in UTF-8 and its width on the terminal. */
struct Shown
{
   std::string text;
   size_t width = 0;
};

Shown Show(const wchar_t *value)
{
   Shown shown;
   std::wstring wide;
   for (const wchar_t *p = (value != nullptr) ? value : L""; *p != 0; p++)
   {
      wchar_t ch = *p;
      uint32_t code = static_cast<uint32_t>(ch);
      if (code >= 0x20 && code != 0x7F)
      {
         wide.push_back(ch);
         shown.width += CharWidth(ch);
         continue;
      }
      char escape[12];
      if (ch == L'\t')
         strcpy(escape, "\\t");
      else if (ch == L'\n')
         strcpy(escape, "\\n");
      else if (ch == L'\r')
         strcpy(escape, "\\r");
      else
         snprintf(escape, sizeof(escape), "\\x%02X", code);
      for (const char *e = escape; *e != 0; e++)
         wide.push_back(static_cast<wchar_t>(*e));
      shown.width += strlen(escape);
   }
   char *utf8 = UTF8StringFromWideString(wide.c_str());
   shown.text = (utf8 != nullptr) ? utf8 : "";
   free(utf8);
   return shown;
}

/* One line of cells, each padded to its column's width, without blanks at its end. */
std::string Line(const std::vector<Shown> &cells, const std::vector<size_t> &widths)
{
   std::string line;
   for (size_t c = 0; c < cells.size(); c++)
   {
      line += cells[c].text;
      if (c + 1 < cells.size())
         line.append(widths[c] - cells[c].width + COLUMN_GAP, ' ');
   }
   size_t end = line.find_last_not_of(' ');
   line.resize((end == std::string::npos) ? 0 : end + 1);
   return line;
}

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "table",
    "FILE [--json]",
    "print a table in its XML or packed form as aligned columns",
    OPTIONS,
    false,
    "FILE holds a table in its XML form or its packed form (base64 text).\n"
    "JSON fields: title, source, format (plain, extended), columns (array of name, displayName,\n"
    "  dataType, instance), rows (array of arrays of cell texts, null for a missing cell).\n"};

}  // namespace

std::vector<std::string> AlignedTableLines(const Table *table, bool rule)
{
   int columns = table->getNumColumns();
   int rows = table->getNumRows();
   size_t first = rule ? 2 : 1;  // the line of the first row
   std::vector<std::vector<Shown>> lines(static_cast<size_t>(rows) + first);
   std::vector<size_t> widths(static_cast<size_t>(columns), 0);
   for (int c = 0; c < columns; c++)
   {
      const TableColumnDefinition *d = table->getColumnDefinition(c);
      std::wstring name = d->getDisplayName();
      if (d->isInstanceColumn())
         name += L"*";
      lines[0].push_back(Show(name.c_str()));
   }
   for (int r = 0; r < rows; r++)
      for (int c = 0; c < columns; c++)
         lines[static_cast<size_t>(r) + first].push_back(Show(table->getAsString(r, c)));
   for (const std::vector<Shown> &line : lines)
      for (size_t c = 0; c < line.size(); c++)
         widths[c] = std::max(widths[c], line[c].width);
   if (rule)
   {
      for (size_t width : widths)
         lines[1].push_back(Shown{std::string(width, '-'), width});
   }

   std::vector<std::string> text;
   for (const std::vector<Shown> &line : lines)
   {
      if (!line.empty())
         text.push_back(Line(line, widths));
   }
   return text;
}

void PrintTable(const Table *table, FILE *out)
{
   int columns = table->getNumColumns();
   int rows = table->getNumRows();
   char *title = UTF8StringFromWideString(table->getTitle());
   fprintf(out, "title: %s\nsource: %d\nformat: %s\n", (title != nullptr) ? title : "", table->getSource(),
           table->isExtendedFormat() ? "extended" : "plain");
   free(title);
   for (const std::string &line : AlignedTableLines(table, true))
      fprintf(out, "%s\n", line.c_str());
   fprintf(out, "%d row%s, %d column%s\n", rows, (rows == 1) ? "" : "s", columns, (columns == 1) ? "" : "s");
}

json_t *TableJson(const Table *table)
{
   int columns = table->getNumColumns();
   int rows = table->getNumRows();
   json_t *definitions = json_array();
   for (int c = 0; c < columns; c++)
   {
      const TableColumnDefinition *d = table->getColumnDefinition(c);
      json_array_append_new(definitions, json_pack("{s:o, s:o, s:i, s:b}", "name", JsonString(d->getName()),
                                                   "displayName", JsonString(d->getDisplayName()), "dataType",
                                                   d->getDataType(), "instance", d->isInstanceColumn()));
   }
   json_t *cells = json_array();
   for (int r = 0; r < rows; r++)
   {
      json_t *row = json_array();
      for (int c = 0; c < columns; c++)
         json_array_append_new(row, JsonString(table->getAsString(r, c)));
      json_array_append_new(cells, row);
   }
   return json_pack("{s:o, s:i, s:s, s:o, s:o}", "title", JsonString(table->getTitle()), "source", table->getSource(),
                    "format", table->isExtendedFormat() ? "extended" : "plain", "columns", definitions, "rows", cells);
}

int CommandTable(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   argv = args.operands();
   FILE *f = fopen(argv[0], "rb");
   if (f == nullptr)
   {
      fprintf(stderr, "qvtool table: cannot read \"%s\"; check its name and permissions\n", argv[0]);
      return 1;
   }
   std::string content;
   char chunk[4096];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
      content.append(chunk, n);
   bool readError = ferror(f) != 0;
   fclose(f);
   if (readError)
   {
      fprintf(stderr, "qvtool table: cannot read \"%s\"; check the file and its disk\n", argv[0]);
      return 1;
   }

   // XML starts with '<' after any blanks (and a UTF-8 byte order mark); anything else is
   // taken as the packed form, without the blanks and line ends around it.
   size_t start = (content.compare(0, 3, "\xEF\xBB\xBF") == 0) ? 3 : 0;
   start = content.find_first_not_of(" \t\r\n", start);
   bool xml = start != std::string::npos && content[start] == '<';
   Table *table;
   if (xml)
   {
      table = Table::createFromXML(content.c_str() + start);
   }
   else
   {
      size_t end = content.find_last_not_of(" \t\r\n");
      std::string packed = (start == std::string::npos) ? std::string() : content.substr(start, end + 1 - start);
      table = Table::createFromPackedXML(packed.c_str());
   }
   if (table == nullptr)
   {
      fprintf(stderr, "qvtool table: \"%s\" holds no valid table in the %s form; give a table's XML or packed form\n",
              argv[0], xml ? "XML" : "packed");
      return 1;
   }
   int result = 0;
   if (json)
      result = PrintJson(TableJson(table), "table");
   else
      PrintTable(table, stdout);
   table->decRefCount();
   return result;
}
