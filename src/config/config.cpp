/* Config: paths and aliases over the entry tree, typed access by path, error reporting. */
#include "config/config_internal.h"

#include <stdlib.h>
#include <string.h>

using qv::config::ConfigState;

namespace {

/* Characters of a formatted error message, terminator included. */
constexpr size_t ERROR_MESSAGE_SIZE = 4096;

/* Characters of a number's text, terminator included; "%f" of the largest double has 316. */
constexpr size_t NUMBER_TEXT_SIZE = 400;

/* A number's text by the library's wide format rules. */
struct NumberText
{
   wchar_t text[NUMBER_TEXT_SIZE];

   template <typename T> NumberText(const wchar_t *format, T value)
   {
      qv_snwprintf(text, NUMBER_TEXT_SIZE, format, value);
   }
};

/* Formats an error message, cut to ERROR_MESSAGE_SIZE - 1 characters. */
void FormatErrorMessage(wchar_t *message, const wchar_t *format, va_list args)
{
   if (qv_vsnwprintf(message, ERROR_MESSAGE_SIZE, format, args) < 0)
      message[0] = 0;
}

}  // namespace

Config::Config(bool expandEnvironment)
    : m_root(L"[root]", nullptr, this, nullptr, 0, 0), m_errorCount(0), m_expandEnvironment(expandEnvironment),
      m_state(new ConfigState())
{}

Config::~Config()
{
   delete m_state;
}

int32_t Config::getErrorRecordCount() const
{
   return static_cast<int32_t>(m_state->errors.size());
}

const ConfigError *Config::getErrorRecord(int32_t index) const
{
   if (index < 0 || static_cast<size_t>(index) >= m_state->errors.size())
      return nullptr;
   return &m_state->errors[static_cast<size_t>(index)];
}

void Config::setTopLevelTag(const wchar_t *name)
{
   m_root.setName(name);
}

void Config::setAlias(const wchar_t *name, const wchar_t *value)
{
   if (name == nullptr)
      return;
   if (value == nullptr)
      m_aliases.remove(name);
   else
      m_aliases.set(name, value);
}

/* A name "%alias" stands for the alias's value, or for the name without "%" when there is
 * no such alias. */
void Config::resolveName(const wchar_t **name, size_t *length) const
{
   if (*length == 0 || (*name)[0] != L'%')
      return;
   const wchar_t *value = m_aliases.get(*name + 1, *length - 1);
   if (value != nullptr)
   {
      *name = value;
      *length = wcslen(value);
   }
   else
   {
      (*name)++;
      (*length)--;
   }
}

ConfigEntry *Config::walkPath(const wchar_t *path, bool create)
{
   if (path == nullptr || path[0] != L'/')
      return nullptr;
   ConfigEntry *entry = &m_root;
   const wchar_t *p = path + 1;
   if (*p == 0)
      return entry;
   while (true)
   {
      const wchar_t *end = wcschr(p, L'/');
      size_t length = (end != nullptr) ? static_cast<size_t>(end - p) : wcslen(p);
      ConfigEntry *child;
      if (create)
      {
         child = entry->findOrCreateChild(p, length, qv::config::MEMORY_FILE, 0);
      }
      else
      {
         const wchar_t *name = p;
         size_t n = length;
         resolveName(&name, &n);
         child = entry->findChild(name, n);
      }
      if (child == nullptr)
         return nullptr;
      entry = child;
      if (end == nullptr)
         return entry;
      p = end + 1;
   }
}

ConfigEntry *Config::getEntry(const wchar_t *path) const
{
   // Only the create form changes the tree.
   return const_cast<Config *>(this)->walkPath(path, false);
}

ConfigEntry *Config::createEntry(const wchar_t *path)
{
   return walkPath(path, true);
}

void Config::deleteEntry(const wchar_t *path)
{
   ConfigEntry *entry = getEntry(path);
   if (entry == nullptr || entry == &m_root)
      return;
   entry->getParent()->unlinkEntry(entry);
   delete entry;
}

const wchar_t *Config::getValue(const wchar_t *path, const wchar_t *defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   const wchar_t *v = (e != nullptr) ? e->getValue(0) : nullptr;
   return (v != nullptr) ? v : defaultValue;
}

int32_t Config::getValueAsInt(const wchar_t *path, int32_t defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsInt(0, defaultValue) : defaultValue;
}

uint32_t Config::getValueAsUInt(const wchar_t *path, uint32_t defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsUInt(0, defaultValue) : defaultValue;
}

int64_t Config::getValueAsInt64(const wchar_t *path, int64_t defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsInt64(0, defaultValue) : defaultValue;
}

uint64_t Config::getValueAsUInt64(const wchar_t *path, uint64_t defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsUInt64(0, defaultValue) : defaultValue;
}

bool Config::getValueAsBoolean(const wchar_t *path, bool defaultValue) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsBoolean(0, defaultValue) : defaultValue;
}

uuid Config::getValueAsUUID(const wchar_t *path) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getValueAsUUID(0) : uuid::NULL_UUID;
}

ObjectArray<ConfigEntry> *Config::getSubEntries(const wchar_t *path, const wchar_t *mask) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getSubEntries(mask) : nullptr;
}

ObjectArray<ConfigEntry> *Config::getOrderedSubEntries(const wchar_t *path, const wchar_t *mask) const
{
   ConfigEntry *e = getEntry(path);
   return (e != nullptr) ? e->getOrderedSubEntries(mask) : nullptr;
}

bool Config::setValue(const wchar_t *path, const wchar_t *value)
{
   ConfigEntry *e = createEntry(path);
   if (e == nullptr)
      return false;
   e->setValue(value);
   return true;
}

bool Config::setValue(const wchar_t *path, int32_t value)
{
   return setValue(path, NumberText(L"%d", value).text);
}

bool Config::setValue(const wchar_t *path, uint32_t value)
{
   return setValue(path, NumberText(L"%u", value).text);
}

bool Config::setValue(const wchar_t *path, int64_t value)
{
   return setValue(path, NumberText(L"%I64d", value).text);
}

bool Config::setValue(const wchar_t *path, uint64_t value)
{
   return setValue(path, NumberText(L"%I64u", value).text);
}

bool Config::setValue(const wchar_t *path, double value)
{
   return setValue(path, NumberText(L"%f", value).text);
}

bool Config::setValue(const wchar_t *path, const uuid &value)
{
   wchar_t text[QV_UUID_TEXT_LENGTH + 1];
   value.toString(text);
   return setValue(path, text);
}

void Config::onError(const wchar_t *message)
{
   qvlog_debug(1, L"Configuration loading error: %s", message);
}

void Config::error(const wchar_t *format, ...)
{
   m_errorCount++;
   wchar_t message[ERROR_MESSAGE_SIZE];
   va_list args;
   va_start(args, format);
   FormatErrorMessage(message, format, args);
   va_end(args);
   if (m_state->errors.size() < qv::config::MAX_ERROR_RECORDS)
   {
      const wchar_t *file = (m_state->errorFile != nullptr) ? m_state->errorFile : L"";
      m_state->errors.push_back(ConfigError{String(file), m_state->errorLine, String(message)});
   }
   onError(message);
}

namespace qv {
namespace config {

void Loader::report(Config *config, const wchar_t *file, int32_t line, const wchar_t *format, ...)
{
   wchar_t message[ERROR_MESSAGE_SIZE];
   va_list args;
   va_start(args, format);
   FormatErrorMessage(message, format, args);
   va_end(args);
   ConfigState &state = *config->m_state;
   state.errorFile = file;
   state.errorLine = line;
   config->error(L"%s", message);
   state.errorFile = nullptr;
   state.errorLine = 0;
}

void Loader::remember(Config *config, const ConfigSource &source)
{
   ConfigState &state = *config->m_state;
   if (state.loadDepth == 1)
      state.sources.push_back(source);
}

}  // namespace config
}  // namespace qv
