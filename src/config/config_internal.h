/* Private parts of the configuration layer: name folding and hashing, the child index of
 * entries with many children, the configuration's record of sources and errors, and the
 * loaders' access to the classes' private members. */
#ifndef QORVEL_CONFIG_CONFIG_INTERNAL_H
#define QORVEL_CONFIG_CONFIG_INTERNAL_H

#include <qv_config.h>
#include <qv_log.h>

#include <wctype.h>

#include <string>
#include <vector>

namespace qv {
namespace config {

/* Debug tag of the configuration layer's own diagnostics. */
constexpr const wchar_t *DEBUG_TAG = L"config";

/* Name given to entries created in code, and to null names and files. */
constexpr const wchar_t *MEMORY_FILE = L"<memory>";
constexpr const wchar_t *NULL_TEXT = L"(null)";

/* Names are compared as lower case; ASCII without a call. */
inline wchar_t FoldName(wchar_t ch)
{
   if (static_cast<uint32_t>(ch) < 0x80)
      return (ch >= 'A' && ch <= 'Z') ? static_cast<wchar_t>(ch + ('a' - 'A')) : ch;
   return static_cast<wchar_t>(towlower(static_cast<wint_t>(ch)));
}

/* FNV-1a over the folded characters: names equal without regard to case hash alike. */
inline uint32_t NameHash(const wchar_t *name, size_t length)
{
   constexpr uint32_t FNV_OFFSET = 2166136261u;
   constexpr uint32_t FNV_PRIME = 16777619u;
   uint32_t hash = FNV_OFFSET;
   for (size_t i = 0; i < length; i++)
   {
      hash ^= static_cast<uint32_t>(FoldName(name[i]));
      hash *= FNV_PRIME;
   }
   return hash;
}

inline bool NamesEqual(const wchar_t *a, const wchar_t *b, size_t length)
{
   for (size_t i = 0; i < length; i++)
   {
      if (a[i] != b[i] && FoldName(a[i]) != FoldName(b[i]))
         return false;
   }
   return true;
}

/* Open-addressing table (linear probing, at most half full) from a name to the first
 * child of that name, kept by entries whose children outgrow a short list. */
struct ChildIndex
{
   struct Slot
   {
      ConfigEntry *entry;  // null: free
      uint32_t hash;
   };
   std::vector<Slot> slots;  // size is a power of two
   size_t used = 0;

   /* Adds child unless a child of the same name is indexed already (the first wins). */
   void insert(ConfigEntry *child);
   ConfigEntry *find(const wchar_t *name, size_t length, uint32_t hash) const;
   /* Indexes the children of parent afresh, in child order. */
   void rebuild(const ConfigEntry *parent);
};

/* Children a list may hold before its entry builds an index. */
constexpr int32_t CHILD_INDEX_THRESHOLD = 8;

/* One load call, remembered so that reload() can repeat it. */
struct ConfigSource
{
   enum Kind
   {
      ANY_FILE,
      INI_FILE,
      XML_FILE,
      XML_MEMORY,
      DIRECTORY
   };
   Kind kind;
   std::wstring path;
   std::wstring section;
   bool ignoreErrors;
   bool hasTag;
   std::string tag;
   std::string xml;  // XML_MEMORY: the document
   bool merge;
};

/* Error records kept per configuration. */
constexpr size_t MAX_ERROR_RECORDS = 1000;

struct ConfigState
{
   std::vector<ConfigSource> sources;
   std::vector<ConfigError> errors;
   int loadDepth = 0;                   // nested load calls (directories); only the outermost is a source
   const wchar_t *errorFile = nullptr;  // where the loader is, for error records
   int32_t errorLine = 0;
   ConfigLoadProgress progress = nullptr;  // of directory loads
   void *progressArg = nullptr;
};

/* The loaders, with access to the private members of Config and ConfigEntry. */
class Loader
{
public:
   static ConfigState &state(Config *config) { return *config->m_state; }
   static bool expandEnvironment(const Config *config) { return config->m_expandEnvironment; }
   static ConfigEntry *root(Config *config) { return &config->m_root; }

   /* Reports an error found at file and line. */
   static void report(Config *config, const wchar_t *file, int32_t line, const wchar_t *format, ...);

   /* The child of that name under parent (a "%" name resolved), created with the file and
    * line when missing. */
   static ConfigEntry *child(ConfigEntry *parent, const wchar_t *name, size_t length, const wchar_t *file, int32_t line)
   {
      return parent->findOrCreateChild(name, length, file, line);
   }

   /* The existing child of that name (a "%" name resolved), or null. */
   static ConfigEntry *child(ConfigEntry *parent, const wchar_t *name, size_t length)
   {
      if (parent->m_owner != nullptr)
         parent->m_owner->resolveName(&name, &length);
      return parent->findChild(name, length);
   }

   /* Remembers a top-level load call; false inside another load (a directory's files). */
   static void remember(Config *config, const ConfigSource &source);

   /* Marks a load call in progress (directories load files through loadConfig). */
   struct Depth
   {
      ConfigState &state;
      explicit Depth(Config *config) : state(*config->m_state) { state.loadDepth++; }
      ~Depth() { state.loadDepth--; }
      bool outermost() const { return state.loadDepth == 1; }
   };

   static bool loadXml(Config *config, const char *xml, size_t length, const wchar_t *file, const char *tag,
                       bool merge);
   static void swapTrees(Config *config, Config *fresh);
};

/* Replaces ${NAME} in text by the environment variable NAME (at most 255 characters of the
 * name are used; unset or empty gives nothing); "$" not followed by "{" stays; "${"
 * without "}" ends the text there. Appends the result to out. */
void ExpandEnvironment(const wchar_t *text, size_t length, std::wstring &out);

/* The path of a file name in the platform's 8-bit form (malloc; caller frees). */
char *FileNameBytes(const wchar_t *name);

}  // namespace config
}  // namespace qv

#endif
