/* libqorvel Configuration: the configuration tree and its loading from INI-like and XML files. */
#ifndef QORVEL_QV_CONFIG_H
#define QORVEL_QV_CONFIG_H

#include <qv_containers.h>
#include <qv_data.h>
#include <qv_threads.h>

#include <stdio.h>

/* ---------------------------------------------------------------------------------------
 * Templates: tables that parseTemplate uses to copy settings into a program's variables.
 * ------------------------------------------------------------------------------------- */

#define CFG_TYPE_INT32 0          /* int32_t; automatic base, trailing text is an error */
#define CFG_TYPE_STRING 1         /* wchar_t[sizeOrMask], cut to sizeOrMask - 1 characters */
#define CFG_TYPE_STRING_LIST 2    /* wchar_t *: every value followed by listSeparator (malloc) */
#define CFG_TYPE_END 3            /* ends the table */
#define CFG_TYPE_FLAG32 4         /* uint32_t: the mask's bits set for yes/true/on/1, else cleared */
#define CFG_TYPE_UINT16 5         /* uint16_t; automatic base, trailing text is an error */
#define CFG_TYPE_IGNORED 6        /* nothing is done */
#define CFG_TYPE_MB_STRING 7      /* char[sizeOrMask] in the default code page */
#define CFG_TYPE_FLAG64 8         /* uint64_t, as CFG_TYPE_FLAG32 */
#define CFG_TYPE_BYTES 9          /* uint64_t: number with K, M, G or T (powers of 1024) */
#define CFG_TYPE_DECIMAL_UNITS 10 /* uint64_t: number with K, M, G or T (powers of 1000) */

/* Characters of a template key, terminator included (a key that fills them all is read
 * without one). */
#define QV_CFG_TEMPLATE_KEY_SIZE 64

/* One wanted setting. When presetMarker is not null the value is applied only while the
 * marker says "not set": -1 (int32_t) for CFG_TYPE_INT32, CFG_TYPE_BYTES and
 * CFG_TYPE_DECIMAL_UNITS, 0xFFFF (uint16_t) for CFG_TYPE_UINT16, an empty text for
 * CFG_TYPE_STRING (wide) and CFG_TYPE_MB_STRING (8-bit); other types ignore it. */
typedef struct QV_CFG_TEMPLATE
{
   wchar_t key[QV_CFG_TEMPLATE_KEY_SIZE];  // entry name within the section
   uint8_t valueType;                      // CFG_TYPE_*; unknown codes are ignored
   char listSeparator;                     // for CFG_TYPE_STRING_LIST
   uint64_t sizeOrMask;                    // buffer size (characters or bytes) or flag mask
   uint32_t reserved;                      // not used by the parser
   void *target;                           // where the value goes
   void *presetMarker;                     // may be null
} QV_CFG_TEMPLATE;

#ifdef __cplusplus

class Config;

namespace qv {
namespace config {
class Loader;
struct ChildIndex;
struct ConfigState;
}  // namespace config
}  // namespace qv

/* ---------------------------------------------------------------------------------------
 * ConfigEntry: one named node of a configuration tree, with a list of text values and a
 * map of text attributes. Names are compared without regard to case everywhere. A name
 * that starts with "%" is an alias: the rest is looked up in the owning configuration's
 * aliases and the alias's value is the name used; an unknown alias stands for the name
 * without its "%", so what is stored under a name is found again under the same name.
 *
 * An entry owns its children (destroying it destroys its subtree) and every text it
 * holds. Not synchronised: a tree shared between threads is guarded with Config::lock.
 * ------------------------------------------------------------------------------------- */
class QV_EXPORT ConfigEntry
{
   friend class Config;
   friend class qv::config::Loader;
   friend struct qv::config::ChildIndex;

private:
   wchar_t *m_name;
   ConfigEntry *m_parent;
   ConfigEntry *m_next;
   ConfigEntry *m_first;
   ConfigEntry *m_last;
   int32_t m_valueCount;
   wchar_t **m_values;
   wchar_t *m_file;
   int32_t m_line;
   int32_t m_id;
   StringMap m_attributes;
   Config *m_owner;

   // Lookup support: the name's length and case-folded hash, the number of children and,
   // for entries with many children, an index of the first child of every name.
   size_t m_nameLength;
   uint32_t m_nameHash;
   int32_t m_childCount;
   int32_t m_valueCapacity;
   qv::config::ChildIndex *m_childIndex;
   wchar_t *m_singleValue;  // storage of the value list while it holds one value

   QV_INTERNAL ConfigEntry(const wchar_t *name, size_t length, ConfigEntry *parent, Config *owner, const wchar_t *file,
                           int32_t line, int32_t id);
   QV_INTERNAL void init(const wchar_t *name, size_t length, ConfigEntry *parent, const wchar_t *file);
   QV_INTERNAL void storeName(const wchar_t *name, size_t length);
   QV_INTERNAL void appendChild(ConfigEntry *child);
   QV_INTERNAL ConfigEntry *findChild(const wchar_t *name, size_t length) const;
   QV_INTERNAL ConfigEntry *findOrCreateChild(const wchar_t *name, size_t length, const wchar_t *file, int32_t line);
   QV_INTERNAL bool reserveValues(int32_t count);
   QV_INTERNAL void clearValues();
   QV_INTERNAL void exchangeValues(ConfigEntry *other);
   QV_INTERNAL void setOwnerInTree(Config *owner);
   QV_INTERNAL void printTree(String &out, bool terminal, int depth, String &prefix) const;
   QV_INTERNAL void buildIndex();

public:
   /* Copies name and file (null gives "(null)"); with a parent, appends itself as the
    * parent's last child, which then owns it. */
   ConfigEntry(const wchar_t *name, ConfigEntry *parent, Config *owner, const wchar_t *file, int32_t line, int32_t id);
   /* Destroys the subtree (children first, in order) and everything the entry owns. It
    * does not unlink itself: a child is removed with unlinkEntry first. */
   ~ConfigEntry();

   ConfigEntry(const ConfigEntry &) = delete;
   ConfigEntry &operator=(const ConfigEntry &) = delete;

   const wchar_t *getName() const { return m_name; }
   /* Renames the entry (null: "(null)"). */
   void setName(const wchar_t *name);
   ConfigEntry *getParent() const { return m_parent; }
   ConfigEntry *getNext() const { return m_next; }
   const wchar_t *getFile() const { return m_file; }
   int32_t getLine() const { return m_line; }
   int32_t getId() const { return m_id; }
   int32_t getValueCount() const { return m_valueCount; }

   /* The first direct child of that name (a "%" name resolved through the aliases), or
    * null. */
   ConfigEntry *findEntry(const wchar_t *name) const;
   /* The first direct child of that name, appended (file "<memory>", line 0, id 0) when
    * there is none. Null for a null name. */
   ConfigEntry *createEntry(const wchar_t *name);
   /* Removes child from the children without destroying it; the caller owns it then. A
    * pointer that is not a child changes nothing. */
   void unlinkEntry(ConfigEntry *child);

   /* A new array (caller deletes it, not the entries) of the children whose names match
    * the wildcard mask without regard to case (null: all), in child order; the ordered
    * form sorts them by ascending id. Null only when out of memory. */
   ObjectArray<ConfigEntry> *getSubEntries(const wchar_t *mask) const;
   ObjectArray<ConfigEntry> *getOrderedSubEntries(const wchar_t *mask) const;

   /* The value at index, or null outside 0 ... count - 1. */
   const wchar_t *getValue(int32_t index) const;
   /* The value parsed with automatic base (decimal, 0x hexadecimal, leading 0 octal),
    * trailing text ignored, text that does not parse 0; the default outside the range. */
   int32_t getValueAsInt(int32_t index, int32_t defaultValue) const;
   uint32_t getValueAsUInt(int32_t index, uint32_t defaultValue) const;
   int64_t getValueAsInt64(int32_t index, int64_t defaultValue) const;
   uint64_t getValueAsUInt64(int32_t index, uint64_t defaultValue) const;
   /* True for "yes", "true" or "on" in any case and for texts that parse to a non-zero
    * number; false for anything else; the default outside the range. */
   bool getValueAsBoolean(int32_t index, bool defaultValue) const;
   /* The value as a UUID; the null UUID when it is missing or does not parse. */
   uuid getValueAsUUID(int32_t index) const;

   /* Replaces all values by a copy of text (null counts as empty). */
   void setValue(const wchar_t *text);
   /* Appends a copy of text / takes over the malloc'ed text; null is ignored. */
   void addValue(const wchar_t *text);
   void addValuePreallocated(wchar_t *text);
   /* Sum of the values' lengths plus the number of values: room for all of them joined
    * with one separator each and a terminator; 0 without values. */
   int32_t getConcatenatedValuesLength() const;

   /* The getters above on findEntry(name); the default (null UUID) when there is no such
    * child or value. */
   const wchar_t *getSubEntryValue(const wchar_t *name, int32_t index = 0, const wchar_t *defaultValue = nullptr) const;
   int32_t getSubEntryValueAsInt(const wchar_t *name, int32_t index = 0, int32_t defaultValue = 0) const;
   uint32_t getSubEntryValueAsUInt(const wchar_t *name, int32_t index = 0, uint32_t defaultValue = 0) const;
   int64_t getSubEntryValueAsInt64(const wchar_t *name, int32_t index = 0, int64_t defaultValue = 0) const;
   uint64_t getSubEntryValueAsUInt64(const wchar_t *name, int32_t index = 0, uint64_t defaultValue = 0) const;
   bool getSubEntryValueAsBoolean(const wchar_t *name, int32_t index = 0, bool defaultValue = false) const;
   uuid getSubEntryValueAsUUID(const wchar_t *name, int32_t index = 0) const;

   /* The attribute's text, or null. Names are compared without regard to case. */
   const wchar_t *getAttribute(const wchar_t *name) const;
   /* Parsed as the values are; the default when the attribute is missing. */
   int32_t getAttributeAsInt(const wchar_t *name, int32_t defaultValue) const;
   uint32_t getAttributeAsUInt(const wchar_t *name, uint32_t defaultValue) const;
   int64_t getAttributeAsInt64(const wchar_t *name, int64_t defaultValue) const;
   uint64_t getAttributeAsUInt64(const wchar_t *name, uint64_t defaultValue) const;
   bool getAttributeAsBoolean(const wchar_t *name, bool defaultValue) const;

   /* Stores a copy of text, the number's decimal text or "true"/"false"; a null name is
    * ignored. */
   void setAttribute(const wchar_t *name, const wchar_t *value);
   void setAttribute(const wchar_t *name, int32_t value);
   void setAttribute(const wchar_t *name, uint32_t value);
   void setAttribute(const wchar_t *name, int64_t value);
   void setAttribute(const wchar_t *name, uint64_t value);
   void setAttribute(const wchar_t *name, bool value);
   /* Takes over both malloc'ed texts (a null name frees value). */
   void setAttributePreallocated(wchar_t *name, wchar_t *value);

   /* Prints the subtree as an indented tree below prefix (the text that starts every
    * line; the tree lines of an entry at depth d take the prefix's characters from
    * d * 4 - 4 on). When stream is a terminal the names are green and the values bold,
    * written through WriteToTerminal; otherwise the plain text goes to stream in the
    * default code page. Any depth is printed. */
   void print(FILE *stream, int depth = 0, const wchar_t *prefix = L"") const;
   /* Appends the subtree as XML, indented by depth * 4 spaces (see Config::createXml). */
   void createXml(String &xml, int depth = 0) const;
};

/* A problem reported while loading: the file ("" when none), the line in it (0 when
 * unknown) and the message as Config::error formatted it. */
struct ConfigError
{
   String file;
   int32_t line;
   String message;
};

/* ---------------------------------------------------------------------------------------
 * Config: a configuration tree addressed by paths ("/" alone is the root, "/a/b" the
 * child b of the root's child a; components are compared without regard to case, and a
 * component "%name" is the alias name), filled by the loaders and read through typed
 * getters with defaults.
 *
 * Neither the tree nor the configuration synchronises itself. Threads that share a
 * configuration hold lock() around their reads; reload() replaces the tree only while
 * holding that lock, so such readers see the old tree or the new one, never a mixture.
 * ------------------------------------------------------------------------------------- */
/* Progress of a directory load: file is null in the first call, which tells fileCount. */
typedef void (*ConfigLoadProgress)(const wchar_t *file, int32_t filesDone, int32_t fileCount, void *arg);

class QV_EXPORT Config
{
   friend class ConfigEntry;
   friend class qv::config::Loader;

private:
   ConfigEntry m_root;
   int32_t m_errorCount;
   Mutex m_lock;
   StringMap m_aliases;
   bool m_expandEnvironment;
   qv::config::ConfigState *m_state;  // loaded sources and error records

   QV_INTERNAL void resolveName(const wchar_t **name, size_t *length) const;
   QV_INTERNAL ConfigEntry *walkPath(const wchar_t *path, bool create);

protected:
   /* The entry at path, created with every missing entry on the way (file "<memory>");
    * null when the path does not start with "/". */
   ConfigEntry *createEntry(const wchar_t *path);

   /* Called for every error with the formatted message; writes the debug line
    * "Configuration loading error: <message>" at level 1. */
   virtual void onError(const wchar_t *message);
   /* Counts an error, formats the message (library wide rules, at most 4095 characters),
    * records it with the file and line being loaded and passes it to onError. */
   void error(const wchar_t *format, ...);

public:
   /* Empty tree with the root "[root]". expandEnvironment lets the loaders replace ${NAME}
    * in values by the environment variable NAME. */
   Config(bool expandEnvironment = true);
   virtual ~Config();

   Config(const Config &) = delete;
   Config &operator=(const Config &) = delete;

   /* The configuration's re-entrant lock, for callers that share it between threads. */
   void lock() { m_lock.lock(); }
   void unlock() { m_lock.unlock(); }

   int32_t getErrorCount() const { return m_errorCount; }
   /* The errors reported so far with their file and line (the first 1000 are kept). */
   int32_t getErrorRecordCount() const;
   const ConfigError *getErrorRecord(int32_t index) const;

   /* Renames the root (null: "(null)"): the outermost element of createXml. */
   void setTopLevelTag(const wchar_t *name);
   /* Stores a copy of value as the alias name (null value: removes the alias). */
   void setAlias(const wchar_t *name, const wchar_t *value);
   const wchar_t *getAlias(const wchar_t *name) const { return m_aliases.get(name); }

   /* The entry at path, or null. */
   ConfigEntry *getEntry(const wchar_t *path) const;
   /* Destroys the entry at path with its subtree; the root and unknown paths are left. */
   void deleteEntry(const wchar_t *path);

   /* The first value of the entry at path, parsed as ConfigEntry's getters do; the
    * default when there is no such entry or value. */
   const wchar_t *getValue(const wchar_t *path, const wchar_t *defaultValue = nullptr) const;
   int32_t getValueAsInt(const wchar_t *path, int32_t defaultValue) const;
   uint32_t getValueAsUInt(const wchar_t *path, uint32_t defaultValue) const;
   int64_t getValueAsInt64(const wchar_t *path, int64_t defaultValue) const;
   uint64_t getValueAsUInt64(const wchar_t *path, uint64_t defaultValue) const;
   bool getValueAsBoolean(const wchar_t *path, bool defaultValue) const;
   uuid getValueAsUUID(const wchar_t *path) const;

   /* ConfigEntry's arrays for the entry at path; null when there is none. */
   ObjectArray<ConfigEntry> *getSubEntries(const wchar_t *path, const wchar_t *mask) const;
   ObjectArray<ConfigEntry> *getOrderedSubEntries(const wchar_t *path, const wchar_t *mask) const;

   /* Create the entry if needed and replace its values by the text (numbers as "%d",
    * "%u", "%I64d", "%I64u", "%f"; a UUID as its 36 characters); false only when the
    * path does not start with "/". */
   bool setValue(const wchar_t *path, const wchar_t *value);
   bool setValue(const wchar_t *path, int32_t value);
   bool setValue(const wchar_t *path, uint32_t value);
   bool setValue(const wchar_t *path, int64_t value);
   bool setValue(const wchar_t *path, uint64_t value);
   bool setValue(const wchar_t *path, double value);
   bool setValue(const wchar_t *path, const uuid &value);

   /* Prints the whole tree (see ConfigEntry::print). */
   void print(FILE *stream) const;
   /* The whole tree as XML, the root as the outermost element. Attribute values and texts
    * are escaped, so the text loads back into the same tree. */
   String createXml() const;

   /* Loading. Every problem is reported through error() and the loaders go on after it;
    * they return false when anything went wrong. Each call is remembered as a source for
    * reload(). */

   /* Loads a file as XML when its first non-blank character is "<", otherwise as INI. */
   bool loadConfig(const wchar_t *file, const wchar_t *defaultIniSection, bool ignoreErrors);
   /* Loads an INI-like file: "[section/path]" or "*section/path" headers, key = value
    * lines (a repeated key collects values), "#" comments, quoted values. True when the
    * file was read without syntax errors, or ignoreErrors was set and it was read. */
   bool loadIniConfig(const wchar_t *file, const wchar_t *defaultIniSection, bool ignoreErrors);
   /* Loads an XML file whose top-level element is topLevelTag (null: "config"), merging
    * elements into existing entries of the same name. */
   bool loadXmlConfig(const wchar_t *file, const char *topLevelTag = nullptr);
   /* Loads XML from memory (length < 0: up to the terminator); the entries get the file
    * name fileName (null: "<mem>"). True when the XML was well formed. */
   bool loadXmlConfigFromMemory(const char *xml, int32_t length, const wchar_t *fileName = nullptr,
                                const char *topLevelTag = nullptr, bool merge = true);
   /* Loads every file of a directory with loadConfig, in ascending order of their names;
    * false when the directory cannot be listed or any file failed (all are tried). */
   bool loadConfigDirectory(const wchar_t *path, const wchar_t *defaultIniSection, bool ignoreErrors);
   /* Progress of loadConfigDirectory on this object: the callback (null: none) gets the
    * directory's file count with filesDone 0 once the directory is listed, then the name of
    * each file loaded and the count so far. Called on the loading thread. */
   void setLoadProgress(ConfigLoadProgress callback, void *arg);

   /* Copies settings of the section into the caller's variables by the table, which ends
    * with a CFG_TYPE_END record; entries that are missing leave their targets as they
    * are. True when no error was reported during the call. */
   bool parseTemplate(const wchar_t *section, QV_CFG_TEMPLATE *cfgTemplate);

   /* Loads every source loaded so far again, in the same order, into a new tree aside.
    * Only when that succeeded without any error does the new tree replace the current
    * one, under lock(); otherwise the current tree stays and each error of the attempt is
    * reported through error() with its file and line. Entries set in code are not part of
    * the sources. True when the tree was replaced (or there was nothing to load). */
   bool reload();
};

#endif /* __cplusplus */

#endif
