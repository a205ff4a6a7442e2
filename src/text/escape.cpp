/* Escaping of wide texts for XML, JSON string values and agent command lines. */
#include <qv_strings.h>

#include <stdlib.h>

namespace {

/* Longest escape of one character: "&quot;" and "&apos;" (6), "&#x1F;" (6). */
constexpr size_t MAX_XML_ESCAPE = 6;

/* Characters below this one are control characters, escaped by number. */
constexpr uint32_t FIRST_PRINTABLE = 0x20;

/* A control character; a wchar_t is signed here, and values below 0 (no character at
 * all) are copied like any other, never formatted as a number that would not fit. */
bool IsControl(wchar_t ch)
{
   return static_cast<uint32_t>(ch) < FIRST_PRINTABLE;
}

/* Appends the XML form of ch at out; returns the characters written. */
size_t XmlEscape(wchar_t ch, wchar_t *out)
{
   const wchar_t *entity;
   switch (ch)
   {
      case '&': entity = L"&amp;"; break;
      case '<': entity = L"&lt;"; break;
      case '>': entity = L"&gt;"; break;
      case '"': entity = L"&quot;"; break;
      case '\'': entity = L"&apos;"; break;
      default:
         if (IsControl(ch))
            return static_cast<size_t>(qv_snwprintf(out, MAX_XML_ESCAPE + 1, L"&#x%02X;", static_cast<unsigned>(ch)));
         *out = ch;
         return 1;
   }
   size_t n = wcslen(entity);
   wmemcpy(out, entity, n);
   return n;
}

}  // namespace

QV_API wchar_t *EscapeStringForXML(const wchar_t *text, int32_t length)
{
   size_t count = 0;
   if (text != nullptr)
   {
      size_t limit = (length < 0) ? SIZE_MAX : static_cast<size_t>(length);
      while (count < limit && text[count] != 0)
         count++;
   }
   // The exact size would need a second pass; the worst case costs at most six times the
   // input for a moment.
   if (count > (SIZE_MAX / sizeof(wchar_t) - 1) / MAX_XML_ESCAPE)
      return nullptr;
   wchar_t *out = static_cast<wchar_t *>(malloc((count * MAX_XML_ESCAPE + 1) * sizeof(wchar_t)));
   if (out == nullptr)
      return nullptr;
   size_t used = 0;
   for (size_t i = 0; i < count; i++)
      used += XmlEscape(text[i], out + used);
   out[used] = 0;
   wchar_t *shrunk = static_cast<wchar_t *>(realloc(out, (used + 1) * sizeof(wchar_t)));
   return (shrunk != nullptr) ? shrunk : out;
}

QV_EXPORT String EscapeStringForXML2(const wchar_t *text, int32_t length)
{
   String result;
   result.setBuffer(EscapeStringForXML(text, length));
   return result;
}

QV_EXPORT String EscapeStringForJSON(const wchar_t *text)
{
   String result;
   if (text == nullptr)
      return result;
   for (const wchar_t *p = text; *p != 0; p++)
   {
      wchar_t ch = *p;
      switch (ch)
      {
         case '"': result.append(L"\\\"", 2); break;
         case '\\': result.append(L"\\\\", 2); break;
         // A JSON string may not hold control characters as they are.
         case '\b': result.append(L"\\b", 2); break;
         case '\f': result.append(L"\\f", 2); break;
         case '\n': result.append(L"\\n", 2); break;
         case '\r': result.append(L"\\r", 2); break;
         case '\t': result.append(L"\\t", 2); break;
         default:
            if (IsControl(ch))
               result.appendFormattedString(L"\\u%04X", static_cast<unsigned>(ch));
            else
               result.append(ch);
            break;
      }
   }
   return result;
}

QV_EXPORT String EscapeStringForAgent(const wchar_t *text)
{
   String result;
   if (text == nullptr)
      return result;
   for (const wchar_t *p = text; *p != 0; p++)
   {
      if (*p == '"')
         result.append(L'"');
      result.append(*p);
   }
   return result;
}
