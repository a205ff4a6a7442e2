/* Reading and checking the agent's settings. */
#include "agent_settings.h"

#include "agent_protocol.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

namespace agent {

namespace {

class SettingsReader
{
public:
   SettingsReader(const Config &config, const char *fileName, std::vector<std::string> *errors)
       : m_config(config), m_fileName(fileName), m_errors(errors)
   {}

   bool ok() const { return m_ok; }

   /* Reports a problem of the entry (or of the file when the entry is missing). */
   void fail(const ConfigEntry *entry, const std::string &what)
   {
      std::string where = m_fileName;
      // A section's own entry has no line of its own: its file is named alone.
      if (entry != nullptr)
         where = Utf8(entry->getFile()) + ((entry->getLine() > 0) ? ":" + std::to_string(entry->getLine()) : "");
      m_errors->push_back(where + ": " + what);
      m_ok = false;
   }

   const ConfigEntry *entry(const wchar_t *path) const { return m_config.getEntry(path); }

   /* The last value of the entry at path (a repeated key keeps its last), with the entry
    * in *e; null when there is none. */
   const wchar_t *last(const wchar_t *path, const ConfigEntry **e) const
   {
      *e = entry(path);
      return (*e != nullptr && (*e)->getValueCount() > 0) ? (*e)->getValue((*e)->getValueCount() - 1) : nullptr;
   }

   /* A whole number from min to max, with a K, M or G (powers of 1024) after it when
    * units is true; *value untouched when the entry is missing. */
   void number(const wchar_t *path, const char *name, uint64_t min, uint64_t max, uint64_t *value, bool units = false)
   {
      const ConfigEntry *e;
      const wchar_t *text = last(path, &e);
      if (text == nullptr)
         return;
      wchar_t *end;
      errno = 0;
      unsigned long long v = wcstoull(text, &end, 10);
      uint64_t unit = 1;
      const wchar_t *suffix = units ? wcschr(L"KkMmGg", *end) : nullptr;
      if (*end != 0 && suffix != nullptr)
      {
         unit = uint64_t(1) << (10 * (1 + (suffix - L"KkMmGg") / 2));
         end++;
      }
      if (end == text || *end != 0 || errno != 0 || text[0] == L'-' || v > UINT64_MAX / unit || v * unit < min ||
          v * unit > max)
      {
         std::string range = (max == UINT64_MAX) ? "" : " from " + std::to_string(min) + " to " + std::to_string(max);
         fail(e, std::string(name) + (units ? " must be a byte count such as 512K or 10M" : " must be a whole number") +
                     range + ", not \"" + Utf8(text) + "\"");
         return;
      }
      *value = v * unit;
   }

   void boolean(const wchar_t *path, const char *name, bool *value)
   {
      const ConfigEntry *e;
      const wchar_t *text = last(path, &e);
      if (text == nullptr)
         return;
      static const wchar_t *const WORDS[] = {L"yes", L"no", L"true", L"false", L"on", L"off", L"1", L"0"};
      for (size_t i = 0; i < sizeof(WORDS) / sizeof(WORDS[0]); i++)
      {
         if (!wcscasecmp(text, WORDS[i]))
         {
            *value = (i % 2) == 0;
            return;
         }
      }
      fail(e, std::string(name) + " must be yes or no, not \"" + Utf8(text) + "\"");
   }

   void text(const wchar_t *path, std::wstring *value)
   {
      const ConfigEntry *e;
      if (const wchar_t *text = last(path, &e))
         *value = text;
   }

private:
   const Config &m_config;
   std::string m_fileName;
   std::vector<std::string> *m_errors;
   bool m_ok = true;
};

/* "ADDRESS", "ADDRESS/BITS" or "*". */
bool ParsePeer(const wchar_t *text, InetAddress *subnet, bool *everyone)
{
   if (!wcscmp(text, L"*"))
   {
      *everyone = true;
      return true;
   }
   std::wstring address = text;
   int bits = -1;
   size_t slash = address.find(L'/');
   if (slash != std::wstring::npos)
   {
      wchar_t *end;
      const wchar_t *start = address.c_str() + slash + 1;
      long b = wcstol(start, &end, 10);
      if (end == start || *end != 0 || b < 0)
         return false;
      bits = static_cast<int>(b);
      address.resize(slash);
   }
   InetAddress addr = InetAddress::parse(address.c_str());
   if (!addr.isValid())
      return false;
   int full = (addr.getFamily() == AF_INET) ? 32 : 128;
   if (bits > full)
      return false;
   addr.setMaskBits((bits < 0) ? full : bits);
   *subnet = addr.getSubnetAddress();
   return true;
}

/* A schedule has one to five fields of digits and the characters of ranges, lists and
 * steps. */
bool IsScheduleText(const wchar_t *text)
{
   int fields = 0;
   bool inField = false;
   for (const wchar_t *p = text; *p != 0; p++)
   {
      if (*p == L' ' || *p == L'\t')
      {
         inField = false;
         continue;
      }
      if (!iswdigit(*p) && wcschr(L"*,-/LW#", *p) == nullptr)
         return false;
      if (!inField)
         fields++;
      inField = true;
   }
   return fields >= 1 && fields <= 5;
}

}  // namespace

bool ReadAgentSettings(const Config &config, const char *fileName, AgentSettings *settings,
                       std::vector<std::string> *errors)
{
   SettingsReader r(config, fileName, errors);
   AgentSettings s;
   uint64_t value = s.port;
   r.number(L"/agent/Port", "Port", 0, 65535, &value);
   s.port = static_cast<uint16_t>(value);
   r.text(L"/agent/ListenAddress", &s.listenAddress);
   r.text(L"/agent/KeyFile", &s.keyFile);
   if (s.keyFile.empty())
      r.fail(r.entry(L"/agent"), "KeyFile is missing: name the key file made with qvtool keygen");

   if (const ConfigEntry *peers = r.entry(L"/agent/AllowedPeer"))
   {
      for (int32_t i = 0; i < peers->getValueCount(); i++)
      {
         InetAddress subnet;
         if (ParsePeer(peers->getValue(i), &subnet, &s.allowEveryPeer))
         {
            if (subnet.isValid())
               s.allowedPeers.push_back(subnet);
         }
         else
         {
            r.fail(peers,
                   "AllowedPeer must be an address, ADDRESS/BITS or *, not \"" + Utf8(peers->getValue(i)) + "\"");
         }
      }
   }

   r.text(L"/agent/LogFile", &s.logFile);
   std::wstring rotation;
   r.text(L"/agent/LogRotation", &rotation);
   if (rotation.empty() || !wcscasecmp(rotation.c_str(), L"never"))
      s.logRotation = QVLOG_ROTATE_NEVER;
   else if (!wcscasecmp(rotation.c_str(), L"daily"))
      s.logRotation = QVLOG_ROTATE_DAILY;
   else if (!wcscasecmp(rotation.c_str(), L"size"))
      s.logRotation = QVLOG_ROTATE_BY_SIZE;
   else
      r.fail(r.entry(L"/agent/LogRotation"),
             "LogRotation must be never, daily or size, not \"" + Utf8(rotation.c_str()) + "\"");
   r.number(L"/agent/LogMaxSize", "LogMaxSize", 0, UINT64_MAX, &s.logMaxSize, true);
   value = static_cast<uint64_t>(s.logHistory);
   r.number(L"/agent/LogHistory", "LogHistory", 0, QVLOG_MAX_HISTORY_SIZE, &value);
   s.logHistory = static_cast<int32_t>(value);

   if (const ConfigEntry *tags = r.entry(L"/agent/DebugTag"))
   {
      for (int32_t i = 0; i < tags->getValueCount(); i++)
      {
         std::wstring setting = tags->getValue(i);
         size_t equals = setting.rfind(L'=');
         wchar_t *end = nullptr;
         long level = (equals != std::wstring::npos) ? wcstol(setting.c_str() + equals + 1, &end, 10) : -1;
         if (equals == std::wstring::npos || equals == 0 || end == setting.c_str() + equals + 1 || *end != 0 ||
             level < 0 || level > QVLOG_DEBUG_LEVEL_MAX)
         {
            r.fail(tags, "DebugTag must be TAG=LEVEL with a level from 0 to 9, not \"" + Utf8(setting.c_str()) + "\"");
            continue;
         }
         s.debugTags.emplace_back(setting.substr(0, equals), static_cast<int32_t>(level));
      }
   }

   uint64_t minWorkers = static_cast<uint64_t>(s.minWorkers), maxWorkers = static_cast<uint64_t>(s.maxWorkers);
   r.number(L"/agent/MinWorkers", "MinWorkers", 0, 1024, &minWorkers);
   r.number(L"/agent/MaxWorkers", "MaxWorkers", 1, 1024, &maxWorkers);
   if (minWorkers > maxWorkers)
      r.fail(r.entry(L"/agent/MinWorkers"), "MinWorkers must not exceed MaxWorkers");
   s.minWorkers = static_cast<int32_t>(minWorkers);
   s.maxWorkers = static_cast<int32_t>(maxWorkers);

   value = s.maxSessions;
   r.number(L"/agent/MaxSessions", "MaxSessions", 1, 65536, &value);
   s.maxSessions = static_cast<uint32_t>(value);

   r.boolean(L"/agent/AllowExec", "AllowExec", &s.allowExec);
   r.text(L"/agent/FileRoot", &s.fileRoot);
   r.number(L"/agent/MaxTransferRate", "MaxTransferRate", 0, UINT64_MAX, &s.maxTransferRate, true);
   value = s.debugRateLimit;
   r.number(L"/agent/DebugRateLimit", "DebugRateLimit", 0, UINT32_MAX, &value);
   s.debugRateLimit = static_cast<uint32_t>(value);
   value = s.stuckTaskMs;
   r.number(L"/agent/StuckTaskThreshold", "StuckTaskThreshold", 0, UINT32_MAX, &value);
   s.stuckTaskMs = static_cast<uint32_t>(value);

   if (ObjectArray<ConfigEntry> *schedules = config.getSubEntries(L"/schedules", nullptr))
   {
      for (int i = 0; i < schedules->size(); i++)
      {
         const ConfigEntry *e = schedules->get(i);
         const wchar_t *text = e->getValue(0);
         if (text == nullptr || !IsScheduleText(text))
         {
            r.fail(e, "schedule " + Utf8(e->getName()) + " must be up to five fields (minute hour day month weekday)");
            continue;
         }
         s.schedules.push_back(ScheduleSetting{e->getName(), text});
      }
      delete schedules;
   }

   if (r.ok())
      *settings = s;
   return r.ok();
}

}  // namespace agent
