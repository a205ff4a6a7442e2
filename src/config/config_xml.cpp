/* The XML loader: elements below a top-level element become entries (name#id for elements
 * with a numeric id), their attributes the entries' attributes and their texts values. */
#include "config/config_internal.h"
#include "platform/file_io.h"
#include "text/parse_number.h"
#include "text/text_chars.h"

#include <expat.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

using qv::config::ConfigSource;
using qv::config::Loader;

namespace {

/* Open elements kept: the top-level one and 255 levels below it; deeper elements and their
 * texts are ignored. */
constexpr size_t MAX_LEVELS = 256;

/* Largest piece handed to the parser at once. */
constexpr size_t PARSE_CHUNK = 1u << 30;

struct Level
{
   ConfigEntry *entry;
   size_t textStart;  // where the element's text starts in XmlLoad::texts
   bool trim;
};

struct XmlLoad
{
   Config *config;
   XML_Parser parser;
   const wchar_t *file;
   const char *tag;
   bool merge;
   bool expand;
   std::vector<Level> levels;
   size_t skipped = 0;  // open elements below the depth limit
   bool started = false;
   bool ignoreAll = false;  // wrong top-level element
   bool finished = false;   // the top-level element has ended
   std::wstring name;       // buffers reused for every element
   std::wstring text;
   std::string texts;  // UTF-8 texts of the open elements, innermost last
};

wchar_t *Wide(const char *utf8)
{
   wchar_t *w = WideStringFromUTF8String(utf8);
   return (w != nullptr) ? w : qv_wcsdup(L"");
}

/* The UTF-8 text as wide characters in out (ASCII directly). */
void Widen(const char *utf8, size_t length, std::wstring &out)
{
   out.resize(length);
   size_t i = 0;
   while (i < length && static_cast<unsigned char>(utf8[i]) < 0x80)
   {
      out[i] = static_cast<wchar_t>(utf8[i]);
      i++;
   }
   if (i == length)
      return;
   // Each byte gives at most one character.
   int count = utf8_to_wchar(utf8 + i, static_cast<int>(length - i), &out[i], static_cast<int>(length - i));
   out.resize(i + static_cast<size_t>((count > 0) ? count : 0));
}

void StoreAttributes(ConfigEntry *entry, const char **attrs)
{
   for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2)
      entry->setAttributePreallocated(Wide(attrs[i]), Wide(attrs[i + 1]));
}

void XMLCALL StartElement(void *userData, const char *name, const char **attrs)
{
   XmlLoad *load = static_cast<XmlLoad *>(userData);
   if (load->ignoreAll || load->finished)
      return;
   if (load->skipped > 0 || load->levels.size() >= MAX_LEVELS)
   {
      load->skipped++;
      return;
   }
   if (!load->started)
   {
      load->started = true;
      if (qv_stricmp(name, load->tag) != 0)
      {
         load->ignoreAll = true;
         return;
      }
      ConfigEntry *root = Loader::root(load->config);
      StoreAttributes(root, attrs);
      load->levels.push_back(Level{root, load->texts.size(), XMLGetAttrBoolean(attrs, "trim", true)});
      return;
   }

   ConfigEntry *parent = load->levels.back().entry;
   std::wstring &entryName = load->name;
   Widen(name, strlen(name), entryName);
   const char *idText = (attrs[0] != nullptr) ? XMLGetAttr(attrs, "id") : nullptr;
   uint32_t id = (idText != nullptr) ? qv::text::ParseUInt32<char>(idText, nullptr) : 0;
   if (id != 0)
   {
      entryName.push_back(L'#');
      entryName.append(std::to_wstring(id));
   }

   ConfigEntry *entry = nullptr;
   bool merge = (attrs[0] != nullptr) ? XMLGetAttrBoolean(attrs, "merge", load->merge) : load->merge;
   if (merge)
      entry = Loader::child(parent, entryName.data(), entryName.size());
   if (entry == nullptr)
   {
      int32_t line = static_cast<int32_t>(XML_GetCurrentLineNumber(load->parser));
      entry = new ConfigEntry(entryName.c_str(), parent, load->config, load->file, line, static_cast<int32_t>(id));
      StoreAttributes(entry, attrs);
   }
   bool trim = (attrs[0] != nullptr) ? XMLGetAttrBoolean(attrs, "trim", true) : true;
   load->levels.push_back(Level{entry, load->texts.size(), trim});
}

void XMLCALL EndElement(void *userData, const char *name)
{
   XmlLoad *load = static_cast<XmlLoad *>(userData);
   if (load->ignoreAll || load->finished)
      return;
   if (load->skipped > 0)
   {
      load->skipped--;
      return;
   }
   Level &level = load->levels.back();
   std::wstring &text = load->text;
   Widen(load->texts.data() + level.textStart, load->texts.size() - level.textStart, text);
   load->texts.resize(level.textStart);
   size_t start = 0, end = text.size();
   if (level.trim)
   {
      while (start < end && iswspace(static_cast<wint_t>(text[start])))
         start++;
      while (end > start && iswspace(static_cast<wint_t>(text[end - 1])))
         end--;
   }
   wchar_t *value;
   if (load->expand)
   {
      std::wstring expanded;
      qv::config::ExpandEnvironment(text.data() + start, end - start, expanded);
      value = qv::text::CopyOfLength(expanded.data(), expanded.size());
   }
   else
   {
      value = qv::text::CopyOfLength(text.data() + start, end - start);
   }
   level.entry->addValuePreallocated(value);
   load->levels.pop_back();
   if (load->levels.empty())
      load->finished = true;
}

void XMLCALL CharacterData(void *userData, const char *s, int length)
{
   XmlLoad *load = static_cast<XmlLoad *>(userData);
   if (load->ignoreAll || load->finished || load->skipped > 0 || load->levels.empty())
      return;
   // A child's text is taken off the end when the child ends, so the innermost open
   // element's text is always the tail.
   load->texts.append(s, static_cast<size_t>(length));
}

}  // namespace

bool Loader::loadXml(Config *config, const char *xml, size_t length, const wchar_t *file, const char *tag, bool merge)
{
   XML_Parser parser = XML_ParserCreate(nullptr);
   if (parser == nullptr)
   {
      report(config, file, 0, L"%hs at line %d", "out of memory", 0);
      return false;
   }
   XmlLoad load;
   load.config = config;
   load.parser = parser;
   load.file = file;
   load.tag = (tag != nullptr) ? tag : "config";
   load.merge = merge;
   load.expand = config->m_expandEnvironment;
   XML_SetUserData(parser, &load);
   XML_SetElementHandler(parser, StartElement, EndElement);
   XML_SetCharacterDataHandler(parser, CharacterData);

   bool ok = true;
   size_t offset = 0;
   do
   {
      size_t piece = (length - offset > PARSE_CHUNK) ? PARSE_CHUNK : length - offset;
      bool last = (offset + piece == length);
      if (XML_Parse(parser, xml + offset, static_cast<int>(piece), last) == XML_STATUS_ERROR)
      {
         int32_t line = static_cast<int32_t>(XML_GetCurrentLineNumber(parser));
         report(config, file, line, L"%hs at line %d", XML_ErrorString(XML_GetErrorCode(parser)), line);
         ok = false;
         break;
      }
      offset += piece;
   } while (offset < length);
   XML_ParserFree(parser);
   return ok;
}

bool Config::loadXmlConfigFromMemory(const char *xml, int32_t length, const wchar_t *fileName, const char *topLevelTag,
                                     bool merge)
{
   Loader::Depth depth(this);
   const wchar_t *file = (fileName != nullptr) ? fileName : L"<mem>";
   size_t size = (xml == nullptr) ? 0 : (length < 0) ? strlen(xml) : static_cast<size_t>(length);
   if (xml != nullptr)
      Loader::remember(this, ConfigSource{ConfigSource::XML_MEMORY, file, std::wstring(), false, topLevelTag != nullptr,
                                          (topLevelTag != nullptr) ? topLevelTag : "", std::string(xml, size), merge});
   if (xml == nullptr)
   {
      Loader::report(this, file, 0, L"%hs at line %d", "no element found", 0);
      return false;
   }
   return Loader::loadXml(this, xml, size, file, topLevelTag, merge);
}

bool Config::loadXmlConfig(const wchar_t *file, const char *topLevelTag)
{
   Loader::Depth depth(this);
   if (file != nullptr)
      Loader::remember(this, ConfigSource{ConfigSource::XML_FILE, file, std::wstring(), false, topLevelTag != nullptr,
                                          (topLevelTag != nullptr) ? topLevelTag : "", std::string(), true});
   const wchar_t *fileName = (file != nullptr) ? file : qv::config::NULL_TEXT;
   // The whole document in one block, at most as large as the memory form accepts.
   char *bytes = (file != nullptr) ? qv::config::FileNameBytes(file) : nullptr;
   size_t size = 0;
   uint8_t *text = (bytes != nullptr) ? qv::platform::FileLoad(bytes, INT32_MAX, &size) : nullptr;
   free(bytes);
   if (text == nullptr)
   {
      Loader::report(this, fileName, 0, L"Cannot open file %s", fileName);
      return false;
   }
   bool loaded = Loader::loadXml(this, reinterpret_cast<const char *>(text), size, fileName, topLevelTag, true);
   free(text);
   return loaded;
}
