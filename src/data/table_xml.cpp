/* The XML form of a Table, written by hand and read with expat, and the packed form: the
 * UTF-8 XML compressed with zlib behind a 4-byte length prefix, encoded in base64. */
#include "data/table_internal.h"

#include <expat.h>
#include <zlib.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>

using qv::data::TABLE_NO_BASE_ROW;
using qv::data::TABLE_NO_STATUS;

namespace {

/* ---- Writing ---- */

/* First capacity of the XML text, in characters; it doubles from there. */
constexpr size_t XML_INITIAL_CAPACITY = 4096;

/* Characters below this are control characters, written as references. */
constexpr uint32_t FIRST_PRINTABLE = 0x20;

/* A growing wide text in a malloc'ed block that is handed over when done. Once an
 * allocation fails the builder stays failed and release() gives null. */
class WideBuilder
{
private:
   wchar_t *m_text = nullptr;
   size_t m_length = 0;
   size_t m_capacity = 0;
   bool m_failed = false;

   bool room(size_t count)
   {
      if (m_failed)
         return false;
      if (count < m_capacity - m_length)
         return true;
      size_t capacity = (m_capacity > 0) ? m_capacity : XML_INITIAL_CAPACITY;
      while (capacity - m_length <= count)
      {
         if (capacity > SIZE_MAX / sizeof(wchar_t) / 2)
         {
            m_failed = true;
            return false;
         }
         capacity *= 2;
      }
      wchar_t *text = static_cast<wchar_t *>(realloc(m_text, capacity * sizeof(wchar_t)));
      if (text == nullptr)
      {
         m_failed = true;
         return false;
      }
      m_text = text;
      m_capacity = capacity;
      return true;
   }

public:
   WideBuilder() = default;
   ~WideBuilder() { free(m_text); }
   WideBuilder(const WideBuilder &) = delete;
   WideBuilder &operator=(const WideBuilder &) = delete;

   void append(const wchar_t *text, size_t count)
   {
      if (room(count))
      {
         memcpy(m_text + m_length, text, count * sizeof(wchar_t));
         m_length += count;
      }
   }

   /* A literal (its terminator not copied). */
   template <size_t N> void literal(const wchar_t (&text)[N]) { append(text, N - 1); }

   void decimal(uint64_t magnitude, bool negative)
   {
      wchar_t digits[24];
      size_t pos = sizeof(digits) / sizeof(digits[0]);
      do
      {
         digits[--pos] = static_cast<wchar_t>(L'0' + magnitude % 10);
         magnitude /= 10;
      } while (magnitude != 0);
      if (negative)
         digits[--pos] = L'-';
      append(digits + pos, sizeof(digits) / sizeof(digits[0]) - pos);
   }
   void number(int32_t value)
   {
      uint64_t magnitude = (value < 0) ? 0 - static_cast<uint64_t>(static_cast<int64_t>(value)) : value;
      decimal(magnitude, value < 0);
   }
   void number(uint32_t value) { decimal(value, false); }

   void flag(bool value)
   {
      if (value)
         literal(L"true");
      else
         literal(L"false");
   }

   /* Appends text escaped for XML (EscapeStringForXML); null appends nothing. Texts
    * without a character to escape, most cells, are copied as they are. */
   void escaped(const wchar_t *text)
   {
      if (text == nullptr)
         return;
      size_t length = wcslen(text);
      if (wcspbrk(text, L"&<>\"'") == nullptr &&
          std::none_of(text, text + length, [](wchar_t ch) { return static_cast<uint32_t>(ch) < FIRST_PRINTABLE; }))
      {
         append(text, length);
         return;
      }
      if (length > INT32_MAX)
      {
         m_failed = true;
         return;
      }
      wchar_t *escapedText = EscapeStringForXML(text, static_cast<int32_t>(length));
      if (escapedText == nullptr)
         m_failed = true;
      else
         append(escapedText, wcslen(escapedText));
      free(escapedText);
   }

   /* The text, terminated, as a malloc'ed block the caller frees; null when an
    * allocation failed. */
   wchar_t *release()
   {
      if (!room(0))
         return nullptr;
      m_text[m_length] = 0;
      wchar_t *text = m_text;
      m_text = nullptr;
      m_length = m_capacity = 0;
      return text;
   }
};

/* ---- Reading ---- */

/* Where the reader is in the document. */
enum class ReadState
{
   INITIAL,
   TABLE,
   COLUMNS,
   COLUMN,
   DATA,
   ROW,
   CELL,
   ERROR
};

/* Name of a column element without a name attribute. */
constexpr const wchar_t *NULL_NAME = L"(null)";

/* A growing byte buffer for a cell's character data. */
struct TextBuffer
{
   char *data = nullptr;
   size_t length = 0;
   size_t capacity = 0;
   bool failed = false;

   ~TextBuffer() { free(data); }

   void append(const char *text, size_t count)
   {
      if (failed)
         return;
      if (count > capacity - length)
      {
         size_t grown = (capacity > 0) ? capacity : 64;
         while (grown - length < count)
         {
            if (grown > SIZE_MAX / 2)
            {
               failed = true;
               return;
            }
            grown *= 2;
         }
         char *bigger = static_cast<char *>(realloc(data, grown));
         if (bigger == nullptr)
         {
            failed = true;
            return;
         }
         data = bigger;
         capacity = grown;
      }
      memcpy(data + length, text, count);
      length += count;
   }
};

struct XmlReader
{
   Table *table;
   ReadState state;
   int column;  // the cell the next td fills
   TextBuffer text;
};

/* The UTF-8 text as a new malloc'ed wide text; null when out of memory. */
wchar_t *WideFromUtf8(const char *text, size_t length)
{
   if (length >= INT_MAX)
      return nullptr;
   wchar_t *wide = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   if (wide == nullptr)
      return nullptr;
   int count = (length > 0) ? utf8_to_wchar(text, static_cast<int>(length), wide, static_cast<int>(length)) : 0;
   wide[count] = 0;
   return wide;
}

void XMLCALL StartElement(void *userData, const XML_Char *name, const XML_Char **attrs)
{
   XmlReader *r = static_cast<XmlReader *>(userData);
   Table *t = r->table;
   switch (r->state)
   {
      case ReadState::INITIAL:
         if (strcmp(name, "table") == 0)
         {
            t->setExtendedFormat(XMLGetAttrBoolean(attrs, "extendedFormat", false));
            t->setSource(XMLGetAttrInt(attrs, "source", 0));
            const char *title = XMLGetAttr(attrs, "name");
            if (title != nullptr)
            {
               wchar_t *wide = WideFromUtf8(title, strlen(title));
               t->setTitle(wide);
               free(wide);
            }
            r->state = ReadState::TABLE;
            return;
         }
         break;
      case ReadState::TABLE:
         if (strcmp(name, "columns") == 0)
         {
            r->state = ReadState::COLUMNS;
            return;
         }
         if (strcmp(name, "data") == 0)
         {
            r->state = ReadState::DATA;
            return;
         }
         break;
      case ReadState::COLUMNS:
         if (strcmp(name, "column") == 0)
         {
            const char *columnName = XMLGetAttr(attrs, "name");
            const char *displayName = XMLGetAttr(attrs, "displayName");
            wchar_t *wideName = (columnName != nullptr) ? WideFromUtf8(columnName, strlen(columnName)) : nullptr;
            wchar_t *wideDisplay = (displayName != nullptr) ? WideFromUtf8(displayName, strlen(displayName)) : nullptr;
            t->addColumn((wideName != nullptr) ? wideName : NULL_NAME, XMLGetAttrInt(attrs, "dataType", 0), wideDisplay,
                         XMLGetAttrBoolean(attrs, "isInstance", false));
            free(wideName);
            free(wideDisplay);
            r->state = ReadState::COLUMN;
            return;
         }
         break;
      case ReadState::DATA:
         if (strcmp(name, "tr") == 0)
         {
            int row = t->addRow();
            t->setObjectIdAt(row, XMLGetAttrUINT32(attrs, "objectId", 0));
            t->setBaseRowAt(row, XMLGetAttrInt(attrs, "baseRow", TABLE_NO_BASE_ROW));
            r->column = 0;
            r->state = ReadState::ROW;
            return;
         }
         break;
      case ReadState::ROW:
         if (strcmp(name, "td") == 0)
         {
            t->setStatusAt(t->getNumRows() - 1, r->column, XMLGetAttrInt(attrs, "status", TABLE_NO_STATUS));
            r->text.length = 0;
            r->state = ReadState::CELL;
            return;
         }
         break;
      default: break;
   }
   r->state = ReadState::ERROR;
}

void XMLCALL EndElement(void *userData, const XML_Char *name)
{
   XmlReader *r = static_cast<XmlReader *>(userData);
   if (r->state == ReadState::ERROR)
      return;
   if (r->state == ReadState::CELL && strcmp(name, "td") == 0)
   {
      Table *t = r->table;
      int row = t->getNumRows() - 1;
      if (r->column < t->getNumColumns())
         t->setPreallocatedAt(row, r->column, WideFromUtf8(r->text.data, r->text.length));
      r->column++;
      r->state = ReadState::ROW;
   }
   else if (r->state == ReadState::ROW && strcmp(name, "tr") == 0)
   {
      r->column = 0;
      r->state = ReadState::DATA;
   }
   else if (strcmp(name, "column") == 0)
   {
      r->state = ReadState::COLUMNS;
   }
   else if (strcmp(name, "columns") == 0 || strcmp(name, "data") == 0)
   {
      r->state = ReadState::TABLE;
   }
}

void XMLCALL CharacterData(void *userData, const XML_Char *s, int len)
{
   XmlReader *r = static_cast<XmlReader *>(userData);
   if (r->state == ReadState::CELL && len > 0)
      r->text.append(s, static_cast<size_t>(len));
}

/* Parses length bytes of UTF-8 XML into a new table; null on failure. */
Table *ParseXML(const char *xml, size_t length)
{
   if (xml == nullptr || length > INT_MAX)
      return nullptr;
   XML_Parser parser = XML_ParserCreate(nullptr);
   if (parser == nullptr)
      return nullptr;
   Table *table = new (std::nothrow) Table();
   if (table == nullptr)
   {
      XML_ParserFree(parser);
      return nullptr;
   }
   XmlReader reader{table, ReadState::INITIAL, 0, TextBuffer()};
   XML_SetUserData(parser, &reader);
   XML_SetElementHandler(parser, StartElement, EndElement);
   XML_SetCharacterDataHandler(parser, CharacterData);
   bool parsed = XML_Parse(parser, xml, static_cast<int>(length), XML_TRUE) == XML_STATUS_OK;
   XML_ParserFree(parser);
   if (!parsed || reader.state == ReadState::ERROR || reader.text.failed)
   {
      table->decRefCount();
      return nullptr;
   }
   return table;
}

/* ---- Packed form ---- */

/* Bytes of the length prefix in front of the compressed XML. */
constexpr size_t LENGTH_PREFIX_BYTES = 4;

/* The most that deflate can expand data: a run of 258 bytes in as little as 2 bits. The
 * declared length of a packed text must not exceed what its compressed bytes could give. */
constexpr uint64_t MAX_DEFLATE_RATIO = 1032;

}  // namespace

wchar_t *Table::createXML() const
{
   WideBuilder xml;
   xml.literal(L"<table extendedFormat=\"");
   xml.flag(m_extendedFormat);
   xml.literal(L"\" source=\"");
   xml.number(m_source);
   xml.literal(L"\"  name=\"");
   xml.escaped(m_title);
   xml.literal(L"\">\r\n<columns>\r\n");
   for (int i = 0; i < m_columns.size(); i++)
   {
      const TableColumnDefinition *c = m_columns.get(i);
      xml.literal(L"<column name=\"");
      xml.escaped(c->getName());
      xml.literal(L"\" displayName=\"");
      xml.escaped(c->getDisplayName());
      xml.literal(L"\" isInstance=\"");
      xml.flag(c->isInstanceColumn());
      xml.literal(L"\" dataType=\"");
      xml.number(static_cast<int32_t>(c->getDataType()));
      xml.literal(L"\"/>\r\n");
   }
   xml.literal(L"</columns>\r\n<data>\r\n");
   int columns = m_columns.size();
   for (int i = 0; i < m_data.size(); i++)
   {
      const TableRow *row = m_data.get(i);
      bool hasObjectId = row->getObjectId() != 0;
      bool hasBaseRow = row->getBaseRow() != TABLE_NO_BASE_ROW;
      xml.literal(L"<tr");
      if (hasObjectId)
      {
         xml.literal(L" objectId=\"");
         xml.number(row->getObjectId());
         xml.literal(L"\"");
      }
      if (hasBaseRow)
      {
         xml.literal(L" baseRow=\"");
         xml.number(row->getBaseRow());
         xml.literal(L"\"");
      }
      xml.literal(L">\r\n");
      for (int c = 0; c < columns; c++)
      {
         const TableCell *cell = row->cell(c);
         if (cell == nullptr || cell->status == TABLE_NO_STATUS)
         {
            xml.literal(L"<td>");
         }
         else
         {
            xml.literal(L"<td status=\"");
            xml.number(cell->status);
            xml.literal(L"\">");
         }
         if (cell != nullptr)
            xml.escaped(cell->value);
         xml.literal(L"</td>\r\n");
      }
      xml.literal(L"</tr>\r\n");
   }
   xml.literal(L"</data>\r\n</table>");
   return xml.release();
}

Table *Table::createFromXML(const char *xml)
{
   return (xml != nullptr) ? ParseXML(xml, strlen(xml)) : nullptr;
}

char *Table::createPackedXML() const
{
   wchar_t *xml = createXML();
   char *utf8 = (xml != nullptr) ? UTF8StringFromWideString(xml) : nullptr;
   free(xml);
   if (utf8 == nullptr)
      return nullptr;
   size_t length = strlen(utf8);
   if (length > UINT32_MAX)
   {
      free(utf8);
      return nullptr;
   }
   uLong bound = compressBound(static_cast<uLong>(length));
   uint8_t *packed = static_cast<uint8_t *>(malloc(LENGTH_PREFIX_BYTES + bound));
   uLongf compressedLength = bound;
   bool ok = packed != nullptr && compress(packed + LENGTH_PREFIX_BYTES, &compressedLength,
                                           reinterpret_cast<const Bytef *>(utf8), static_cast<uLong>(length)) == Z_OK;
   free(utf8);
   char *text = nullptr;
   if (ok)
   {
      for (size_t i = 0; i < LENGTH_PREFIX_BYTES; i++)
         packed[i] = static_cast<uint8_t>(length >> (8 * (LENGTH_PREFIX_BYTES - 1 - i)));
      base64_encode_alloc(reinterpret_cast<const char *>(packed), LENGTH_PREFIX_BYTES + compressedLength, &text);
   }
   free(packed);
   return text;
}

Table *Table::createFromPackedXML(const char *packed)
{
   if (packed == nullptr)
      return nullptr;
   char *decoded;
   size_t decodedLength;
   if (!base64_decode_alloc(packed, strlen(packed), &decoded, &decodedLength))
      return nullptr;
   if (decodedLength < LENGTH_PREFIX_BYTES)
   {
      free(decoded);
      return nullptr;
   }
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(decoded);
   uint64_t declared = (uint64_t(bytes[0]) << 24) | (uint64_t(bytes[1]) << 16) | (uint64_t(bytes[2]) << 8) | bytes[3];
   uint64_t compressedLength = decodedLength - LENGTH_PREFIX_BYTES;
   char *xml = nullptr;
   uLongf xmlLength = static_cast<uLongf>(declared);
   // A length the compressed bytes cannot hold is refused before anything is allocated.
   if (declared <= compressedLength * MAX_DEFLATE_RATIO)
      xml = static_cast<char *>(malloc(static_cast<size_t>(declared) + 1));
   bool ok = xml != nullptr && uncompress(reinterpret_cast<Bytef *>(xml), &xmlLength, bytes + LENGTH_PREFIX_BYTES,
                                          static_cast<uLong>(compressedLength)) == Z_OK;
   free(decoded);
   Table *table = nullptr;
   if (ok)
   {
      // Text shorter than declared ends where the decompressed bytes end.
      xml[xmlLength] = 0;
      table = ParseXML(xml, xmlLength);
   }
   free(xml);
   return table;
}
