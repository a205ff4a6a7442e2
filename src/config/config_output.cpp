/* The two outside forms of a configuration tree: the indented tree print and the XML text. */
#include "config/config_internal.h"
#include "platform/console.h"

#include <qv_platform.h>

#include <stdlib.h>
#include <string.h>

namespace {

/* Characters of the prefix each level adds. */
constexpr int PREFIX_STEP = 4;

/* Spaces of indentation per XML level. */
constexpr int XML_INDENT = 4;

const wchar_t NAME_ON_TERMINAL[] = L"\x1b[32;1m";
const wchar_t VALUE_ON_TERMINAL[] = L"\x1b[1m";
const wchar_t NORMAL_ON_TERMINAL[] = L"\x1b[0m";

void AppendSpaces(String &out, int count)
{
   for (int i = 0; i < count; i++)
      out.append(L' ');
}

/* The text to stream as bytes of the default code page (wide characters on a
 * wide-oriented stream). */
void WriteToStream(FILE *stream, const String &text)
{
   if (text.isEmpty())
      return;
   if (fwide(stream, 0) > 0)
   {
      fputws(text.getBuffer(), stream);
      return;
   }
   char *bytes = MBStringFromWideString(text.getBuffer());
   if (bytes != nullptr)
   {
      fwrite(bytes, 1, strlen(bytes), stream);
      free(bytes);
   }
}

/* The indentation, "<", the name and the id attribute when there is an id. */
void AppendStartTag(String &xml, int indent, const wchar_t *name, size_t nameLength, int32_t id)
{
   AppendSpaces(xml, indent);
   xml.append(L'<');
   xml.append(name, nameLength);
   if (id != 0)
   {
      xml.append(L" id=\"");
      xml.append(id);
      xml.append(L'"');
   }
}

struct XmlAttributeContext
{
   String *xml;
};

EnumerationCallbackResult AppendAttribute(const wchar_t *key, const void *value, void *context)
{
   // The id is written from the entry's own id.
   if (!wcscmp(key, L"id"))
      return CONTINUE_ENUMERATION;
   String &xml = *static_cast<XmlAttributeContext *>(context)->xml;
   xml.append(L' ');
   xml.append(key);
   xml.append(L"=\"");
   xml.append(EscapeStringForXML2(static_cast<const wchar_t *>(value)));
   xml.append(L'"');
   return CONTINUE_ENUMERATION;
}

}  // namespace

void ConfigEntry::printTree(String &out, bool terminal, int depth, String &prefix) const
{
   out.append(prefix);
   if (terminal)
   {
      out.append(NAME_ON_TERMINAL);
      out.append(m_name);
      out.append(NORMAL_ON_TERMINAL);
   }
   else
   {
      out.append(m_name);
   }
   out.append(L'\n');

   // The tree line past this entry continues below it only when a sibling follows.
   size_t mark = static_cast<size_t>(depth) * PREFIX_STEP;
   if (depth > 0 && mark <= prefix.length())
   {
      wchar_t *p = prefix.getBuffer();
      p[mark - 3] = (m_next != nullptr) ? L'|' : L' ';
      p[mark - 2] = L' ';
   }

   if (m_valueCount > 0 && (m_first == nullptr || m_values[0][0] != 0))
   {
      for (int32_t i = 0; i < m_valueCount; i++)
      {
         out.append(prefix);
         out.append(L"  value: ");
         if (terminal)
            out.append(VALUE_ON_TERMINAL);
         out.append(m_values[i]);
         if (terminal)
            out.append(NORMAL_ON_TERMINAL);
         out.append(L'\n');
      }
   }

   size_t keep = prefix.length();
   for (ConfigEntry *c = m_first; c != nullptr; c = c->m_next)
   {
      prefix.append(L" +- ");
      c->printTree(out, terminal, depth + 1, prefix);
      prefix.shrink(prefix.length() - keep);
   }
}

void ConfigEntry::print(FILE *stream, int depth, const wchar_t *prefix) const
{
   if (stream == nullptr)
      return;
   bool terminal = qv::platform::StreamIsTerminal(stream);
   String buffer((prefix != nullptr) ? prefix : L"");
   String out;
   out.setAllocationStep(65536);
   printTree(out, terminal, (depth > 0) ? depth : 0, buffer);
   if (terminal)
      WriteToTerminal(out.getBuffer());
   else
      WriteToStream(stream, out);
}

void ConfigEntry::createXml(String &xml, int depth) const
{
   if (depth < 0)
      depth = 0;
   // Entries named "name#id" are written as the element name with an id attribute.
   const wchar_t *hash = wcschr(m_name, L'#');
   size_t nameLength = (hash != nullptr) ? static_cast<size_t>(hash - m_name) : m_nameLength;
   int indent = depth * XML_INDENT;

   AppendStartTag(xml, indent, m_name, nameLength, m_id);
   XmlAttributeContext context = {&xml};
   m_attributes.forEach(AppendAttribute, &context);
   xml.append(L'>');

   if (m_first != nullptr)
   {
      xml.append(L'\n');
      for (ConfigEntry *c = m_first; c != nullptr; c = c->m_next)
         c->createXml(xml, depth + 1);
      AppendSpaces(xml, indent);
   }
   if (m_valueCount > 0)
      xml.append(EscapeStringForXML2(m_values[0]));
   xml.append(L"</");
   xml.append(m_name, nameLength);
   xml.append(L">\n");

   // Further values repeat the element; a document has only one top-level element, so
   // the root keeps its first value only.
   for (int32_t i = 1; i < m_valueCount && m_parent != nullptr; i++)
   {
      AppendStartTag(xml, indent, m_name, nameLength, m_id);
      xml.append(L'>');
      xml.append(EscapeStringForXML2(m_values[i]));
      xml.append(L"</");
      xml.append(m_name, nameLength);
      xml.append(L">\n");
   }
}

void Config::print(FILE *stream) const
{
   m_root.print(stream, 0, L"");
}

String Config::createXml() const
{
   String xml;
   m_root.createXml(xml, 0);
   return xml;
}
