/* The INI-like loader: "[section/path]" and "*section/path" headers, "key = value" lines,
 * "#" comments outside double quotes, quoted values and ${NAME} expansion. */
#include "config/config_internal.h"
#include "platform/files.h"
#include "text/text_chars.h"

#include <stdlib.h>
#include <string.h>

using qv::config::ConfigSource;
using qv::config::Loader;

namespace {

/* Bytes read at most per line; a longer line is read in pieces, each taken as a line. */
constexpr int LINE_READ_SIZE = 4095;

/* A byte order mark before the first line is not part of it. */
constexpr wchar_t BYTE_ORDER_MARK = 0xFEFF;

/* Widens the bytes of one line: ASCII directly, anything else through the default code
 * page. */
void WidenLine(const char *bytes, size_t length, std::wstring &wide)
{
   wide.resize(length);
   size_t i = 0;
   while (i < length && static_cast<unsigned char>(bytes[i]) < 0x80)
   {
      wide[i] = static_cast<wchar_t>(bytes[i]);
      i++;
   }
   if (i == length)
      return;
   // Each byte gives at most one character. An overlong form may decode to a zero
   // character: the line ends there, as it does at a zero byte, so that no name holds a
   // character that cuts it short wherever it is handed out.
   int count = mb_to_wchar(bytes, static_cast<int>(length), &wide[0], static_cast<int>(length));
   wide.resize((count > 0) ? static_cast<size_t>(count) : 0);
   size_t zero = wide.find(L'\0');
   if (zero != std::wstring::npos)
      wide.resize(zero);
}

void Strip(const wchar_t *&start, const wchar_t *&end)
{
   while (start < end && qv::text::IsSpaceOrTab(*start))
      start++;
   while (end > start && qv::text::IsSpaceOrTab(end[-1]))
      end--;
}

/* The stored form of the text after "=": quotes removed, ${NAME} expanded when asked. */
wchar_t *ParseValue(const wchar_t *v, size_t length, bool expand)
{
   std::wstring text;
   wchar_t quote = 0;
   if (length > 0 && (v[0] == L'"' || v[0] == L'\''))
   {
      quote = v[0];
      text.reserve(length);
      for (size_t i = 1; i < length; i++)
      {
         if (v[i] != quote)
            text.push_back(v[i]);
         else if (i + 1 < length && v[i + 1] == quote)
            text.push_back(v[i++]);
         // A lone quote closes (or opens again) and is dropped.
      }
      v = text.data();
      length = text.size();
   }
   if (expand && quote != L'\'')
   {
      std::wstring expanded;
      qv::config::ExpandEnvironment(v, length, expanded);
      return qv::text::CopyOfLength(expanded.data(), expanded.size());
   }
   return qv::text::CopyOfLength(v, length);
}

}  // namespace

namespace qv {
namespace config {

/* Characters of a variable name that are used. */
constexpr size_t MAX_VARIABLE_NAME = 255;

void ExpandEnvironment(const wchar_t *text, size_t length, std::wstring &out)
{
   if (wmemchr(text, L'$', length) == nullptr)
   {
      out.append(text, length);
      return;
   }
   for (size_t i = 0; i < length; i++)
   {
      if (text[i] != L'$' || i + 1 >= length || text[i + 1] != L'{')
      {
         out.push_back(text[i]);
         continue;
      }
      size_t close = i + 2;
      while (close < length && text[close] != L'}')
         close++;
      if (close >= length)
         return;  // no closing brace: the value ends here
      size_t nameLength = close - (i + 2);
      if (nameLength > MAX_VARIABLE_NAME)
         nameLength = MAX_VARIABLE_NAME;
      std::wstring name(text + i + 2, nameLength);
      char *bytes = MBStringFromWideString(name.c_str());
      const char *value = (bytes != nullptr) ? getenv(bytes) : nullptr;
      if (value != nullptr && *value != 0)
      {
         wchar_t *wide = WideStringFromMBString(value);
         if (wide != nullptr)
         {
            out.append(wide);
            free(wide);
         }
      }
      free(bytes);
      i = close;
   }
}

char *FileNameBytes(const wchar_t *name)
{
   return MBStringFromWideString(name);
}

}  // namespace config
}  // namespace qv

bool Config::loadIniConfig(const wchar_t *file, const wchar_t *defaultIniSection, bool ignoreErrors)
{
   Loader::Depth depth(this);
   if (file != nullptr)
      Loader::remember(this, ConfigSource{ConfigSource::INI_FILE, file,
                                          (defaultIniSection != nullptr) ? defaultIniSection : L"", ignoreErrors, false,
                                          std::string(), std::string(), true});
   const wchar_t *fileName = (file != nullptr) ? file : qv::config::NULL_TEXT;
   char *bytes = (file != nullptr) ? qv::config::FileNameBytes(file) : nullptr;
   FILE *f = (bytes != nullptr) ? qv::platform::FileOpen(bytes, "r") : nullptr;
   free(bytes);
   if (f == nullptr)
   {
      Loader::report(this, fileName, 0, L"Cannot open file %s", fileName);
      return false;
   }

   // Without a default section, keys before the first header go to the root.
   ConfigEntry *section = &m_root;
   if (defaultIniSection != nullptr && *defaultIniSection != 0)
      section = Loader::child(&m_root, defaultIniSection, wcslen(defaultIniSection), fileName, 0);

   bool syntaxOk = true;
   int32_t lineNumber = 0;
   char buffer[LINE_READ_SIZE];
   std::wstring line;
   while (fgets(buffer, LINE_READ_SIZE, f) != nullptr)
   {
      lineNumber++;
      WidenLine(buffer, strlen(buffer), line);
      const wchar_t *start = line.data();
      if (lineNumber == 1 && !line.empty() && line[0] == BYTE_ORDER_MARK)
         start++;
      const wchar_t *end = start + line.size();

      // The line ends at its line feed (a carriage return before it goes too), and at the
      // first "#" outside double quotes.
      bool inQuotes = false;
      for (const wchar_t *p = start; p < end; p++)
      {
         if (*p == L'\n' || (*p == L'#' && !inQuotes))
         {
            end = p;
            break;
         }
         if (*p == L'"')
            inQuotes = !inQuotes;
      }
      if (end > start && end[-1] == L'\r' && (end == line.data() + line.size() || *end == L'\n'))
         end--;
      Strip(start, end);
      if (start == end)
         continue;

      if (*start == L'[' || *start == L'*')
      {
         const wchar_t *nameStart = start + 1;
         const wchar_t *nameEnd = end;
         if (*start == L'[')
         {
            for (const wchar_t *p = nameStart; p < end; p++)
            {
               if (*p == L']')
               {
                  nameEnd = p;
                  break;
               }
            }
         }
         // The name is a path below the root.
         ConfigEntry *entry = &m_root;
         const wchar_t *p = nameStart;
         while (true)
         {
            const wchar_t *slash = p;
            while (slash < nameEnd && *slash != L'/')
               slash++;
            entry = Loader::child(entry, p, static_cast<size_t>(slash - p), fileName, lineNumber);
            if (slash == nameEnd)
               break;
            p = slash + 1;
         }
         section = entry;
         continue;
      }

      const wchar_t *equals = start;
      while (equals < end && *equals != L'=')
         equals++;
      if (equals == end)
      {
         Loader::report(this, fileName, lineNumber, L"Syntax error in configuration file %s at line %d", fileName,
                        lineNumber);
         syntaxOk = false;
         continue;
      }
      const wchar_t *keyStart = start, *keyEnd = equals;
      const wchar_t *valueStart = equals + 1, *valueEnd = end;
      Strip(keyStart, keyEnd);
      Strip(valueStart, valueEnd);
      ConfigEntry *entry =
          Loader::child(section, keyStart, static_cast<size_t>(keyEnd - keyStart), fileName, lineNumber);
      entry->addValuePreallocated(
          ParseValue(valueStart, static_cast<size_t>(valueEnd - valueStart), m_expandEnvironment));
   }
   bool readOk = !ferror(f);
   fclose(f);
   if (!readOk)
   {
      Loader::report(this, fileName, lineNumber, L"Cannot open file %s", fileName);
      return false;
   }
   return syntaxOk || ignoreErrors;
}
