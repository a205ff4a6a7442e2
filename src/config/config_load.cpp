/* Loading by file type and by directory, and reloading the remembered sources into a tree
 * that replaces the current one only when it loaded cleanly. */
#include "config/config_internal.h"
#include "platform/files.h"
#include "sync/lock_guard.h"

#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>

using qv::config::ConfigSource;
using qv::config::ConfigState;
using qv::config::Loader;
namespace {

/* The UTF-8 byte order mark, which some editors put before the first character. */
const char BYTE_ORDER_MARK[] = "\xEF\xBB\xBF";

/* The first character of the file that is not white space (after a byte order mark), or
 * EOF. */
int FirstSignificantChar(FILE *f)
{
   int ch = fgetc(f);
   if (ch == static_cast<unsigned char>(BYTE_ORDER_MARK[0]))
   {
      if (fgetc(f) == static_cast<unsigned char>(BYTE_ORDER_MARK[1]) &&
          fgetc(f) == static_cast<unsigned char>(BYTE_ORDER_MARK[2]))
         ch = fgetc(f);
      else
         return ch;
   }
   while (ch != EOF && isspace(ch))
      ch = fgetc(f);
   return ch;
}

/* A configuration that loads aside for reload(): its errors are only recorded, and
 * reported through the real configuration when the attempt fails. */
class AsideConfig : public Config
{
public:
   explicit AsideConfig(bool expandEnvironment) : Config(expandEnvironment) {}

protected:
   void onError(const wchar_t *) override {}
};

bool Replay(Config &config, const ConfigSource &s)
{
   const char *tag = s.hasTag ? s.tag.c_str() : nullptr;
   switch (s.kind)
   {
      case ConfigSource::ANY_FILE: return config.loadConfig(s.path.c_str(), s.section.c_str(), s.ignoreErrors);
      case ConfigSource::INI_FILE: return config.loadIniConfig(s.path.c_str(), s.section.c_str(), s.ignoreErrors);
      case ConfigSource::XML_FILE: return config.loadXmlConfig(s.path.c_str(), tag);
      case ConfigSource::XML_MEMORY:
         return config.loadXmlConfigFromMemory(s.xml.data(), static_cast<int32_t>(s.xml.size()), s.path.c_str(), tag,
                                               s.merge);
      case ConfigSource::DIRECTORY:
         return config.loadConfigDirectory(s.path.c_str(), s.section.c_str(), s.ignoreErrors);
   }
   return false;
}

}  // namespace

bool Config::loadConfig(const wchar_t *file, const wchar_t *defaultIniSection, bool ignoreErrors)
{
   Loader::Depth depth(this);
   if (file != nullptr)
      Loader::remember(this, ConfigSource{ConfigSource::ANY_FILE, file,
                                          (defaultIniSection != nullptr) ? defaultIniSection : L"", ignoreErrors, false,
                                          std::string(), std::string(), true});
   const wchar_t *fileName = (file != nullptr) ? file : qv::config::NULL_TEXT;
   char *bytes = (file != nullptr) ? qv::config::FileNameBytes(file) : nullptr;
   qv::platform::FileStatus status;
   int error = 0;
   if (bytes == nullptr || !qv::platform::FileGetStatus(bytes, true, &status, &error))
   {
      free(bytes);
      Loader::report(this, fileName, 0, L"Could not process \"%s\"!", fileName);
      return false;
   }
   if (!status.isRegular)
   {
      free(bytes);
      Loader::report(this, fileName, 0, L"\"%s\" is not a file!", fileName);
      return false;
   }
   FILE *f = qv::platform::FileOpen(bytes, "r");
   free(bytes);
   if (f == nullptr)
   {
      Loader::report(this, fileName, 0, L"Cannot open file %s", fileName);
      return false;
   }
   int ch = FirstSignificantChar(f);
   fclose(f);
   if (ch == '<')
      return loadXmlConfig(file, nullptr);
   return loadIniConfig(file, defaultIniSection, ignoreErrors);
}

bool Config::loadConfigDirectory(const wchar_t *path, const wchar_t *defaultIniSection, bool ignoreErrors)
{
   Loader::Depth depth(this);
   if (path != nullptr)
      Loader::remember(this, ConfigSource{ConfigSource::DIRECTORY, path,
                                          (defaultIniSection != nullptr) ? defaultIniSection : L"", ignoreErrors, false,
                                          std::string(), std::string(), true});
   const wchar_t *dirName = (path != nullptr) ? path : qv::config::NULL_TEXT;
   char *bytes = (path != nullptr) ? qv::config::FileNameBytes(path) : nullptr;
   int error = 0;
   qv::platform::DirListing *listing = (bytes != nullptr) ? qv::platform::DirOpen(bytes, &error) : nullptr;
   free(bytes);
   if (listing == nullptr)
   {
      Loader::report(this, dirName, 0, L"Cannot open file %s", dirName);
      return false;
   }
   std::vector<std::string> names;
   const char *entry;
   bool isDirectory;
   while (qv::platform::DirNext(listing, &entry, &isDirectory))
   {
      if (strcmp(entry, ".") != 0 && strcmp(entry, "..") != 0)
         names.push_back(entry);
   }
   qv::platform::DirClose(listing);
   // A fixed order, so that merged values and repeated keys come out the same every time.
   std::sort(names.begin(), names.end());

   std::wstring base(dirName);
   if (!base.empty() && base.back() != L'/')
      base.push_back(L'/');
   bool ok = true;
   const ConfigState &state = Loader::state(this);
   const int32_t count = int32_t(names.size());
   int32_t done = 0;
   if (state.progress != nullptr)
      state.progress(nullptr, 0, count, state.progressArg);
   for (const std::string &name : names)
   {
      done++;
      // A name that does not convert is skipped, but still counted as done.
      wchar_t *wideName = WideStringFromMBString(name.c_str());
      std::wstring file = base + ((wideName != nullptr) ? wideName : L"");
      if (wideName != nullptr && !loadConfig(file.c_str(), defaultIniSection, ignoreErrors))
         ok = false;
      free(wideName);
      if (state.progress != nullptr)
         state.progress(file.c_str(), done, count, state.progressArg);
   }
   return ok;
}

void Config::setLoadProgress(ConfigLoadProgress callback, void *arg)
{
   Loader::state(this).progress = callback;
   Loader::state(this).progressArg = arg;
}

void Loader::swapTrees(Config *config, Config *fresh)
{
   ConfigEntry &now = config->m_root;
   ConfigEntry &next = fresh->m_root;
   // The new tree is not visible to anybody yet: it is made the configuration's own
   // outside the lock.
   for (ConfigEntry *c = next.m_first; c != nullptr; c = c->m_next)
   {
      c->setOwnerInTree(config);
      c->m_parent = &now;
   }
   StringMap attributes(next.m_attributes);
   {
      qv::sync::LockGuard guard(config->m_lock);
      std::swap(now.m_first, next.m_first);
      std::swap(now.m_last, next.m_last);
      std::swap(now.m_childCount, next.m_childCount);
      std::swap(now.m_childIndex, next.m_childIndex);
      now.exchangeValues(&next);
      now.m_attributes = attributes;
   }
   // The old tree goes with the aside configuration.
   for (ConfigEntry *c = next.m_first; c != nullptr; c = c->m_next)
      c->m_parent = &next;
}

bool Config::reload()
{
   if (m_state->sources.empty())
      return true;
   AsideConfig aside(m_expandEnvironment);
   Config &fresh = aside;
   fresh.m_aliases = m_aliases;
   fresh.m_root.setName(m_root.getName());
   bool ok = true;
   for (const ConfigSource &source : m_state->sources)
   {
      if (!Replay(fresh, source))
         ok = false;
   }
   if (ok && fresh.m_errorCount == 0)
   {
      Loader::swapTrees(this, &fresh);
      return true;
   }
   for (const ConfigError &e : fresh.m_state->errors)
      Loader::report(this, e.file, e.line, L"%s", static_cast<const wchar_t *>(e.message));
   return false;
}
