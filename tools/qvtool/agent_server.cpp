/* The agent's server: a socket listener that filters peers, one reader thread per
 * connection that agrees the session key and reads requests with a message receiver, and
 * the requests themselves, run on the pool "AGENT" one at a time per connection. */
#include "agent_server.h"

#include "agent_protocol.h"

#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <wctype.h>

#include <chrono>
#include <thread>

namespace agent {

namespace {

/* Debug tag of the agent's own messages. */
const wchar_t DEBUG_TAG[] = L"agent";

/* Name of the worker pool; the pool statistics are found under it. */
const wchar_t POOL_NAME[] = L"AGENT";

/* Milliseconds a ping waits for its answer, and its payload bytes. */
constexpr uint32_t PING_TIMEOUT_MS = 1000;
constexpr uint32_t PING_PAYLOAD = 56;

/* How far ahead the next run of a schedule is looked for, in minutes (one year). */
constexpr time_t SCHEDULE_HORIZON_MINUTES = 366 * 24 * 60;
constexpr time_t SECONDS_PER_MINUTE = 60;

/* Attempts at finding a port free on both families when the configuration says 0. */
constexpr int FREE_PORT_ATTEMPTS = 20;

constexpr double MS_PER_SECOND = 1000.0;

std::wstring PeerText(const InetAddress &peer)
{
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   return peer.toString(text);
}

/* ---- settings ---------------------------------------------------------------------- */

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
      if (entry != nullptr)
         where = Utf8(entry->getFile()) + ":" + std::to_string(entry->getLine());
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
         fail(e, std::string(name) + (units ? " must be a byte count such as 512K or 10M" : " must be a whole number") +
                     " from " + std::to_string(min) + " to " + std::to_string(max) + ", not \"" + Utf8(text) + "\"");
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

/* ---- sessions ---------------------------------------------------------------------- */

/* One connection: its channel, receiver and session key. The reader thread holds one
 * reference and every queued request another; the last release deletes the session. */
struct Session
{
   AgentServer *server;
   SocketCommChannel *channel;
   CommChannelMessageReceiver *receiver;
   QVCPEncryptionContext *context = nullptr;
   Mutex sendMutex;
   std::atomic<int32_t> refs{1};
   volatile int32_t cancelled = 0;  // above 0 once the reader has ended: a transfer stops
   wchar_t key[32];
   InetAddress peer;
   qorvel_thread_t *reader = nullptr;
   // The open put-file transfer; touched only by requests, which run one at a time.
   QVCPFileReceiver *upload = nullptr;

   Session(AgentServer *owner, SOCKET s, const InetAddress &from, uint32_t number)
       : server(owner), channel(new SocketCommChannel(s, true)),
         receiver(new CommChannelMessageReceiver(channel, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE)), peer(from)
   {
      swprintf(key, sizeof(key) / sizeof(key[0]), L"agent-session-%u", number);
   }
   ~Session()
   {
      delete upload;
      delete receiver;
      channel->decRefCount();
      if (context != nullptr)
         context->decRefCount();
   }
   void addRef() { refs.fetch_add(1); }
   void release()
   {
      if (refs.fetch_sub(1) == 1)
         delete this;
   }
   bool send(const QVCPMessage &msg) { return SendMessage(channel, context, &sendMutex, msg); }

   static void readerEntry(void *arg);
   void run();
   bool agreeSessionKey();
};

/* A request waiting for its turn on the pool. */
struct Request
{
   Session *session;
   QVCPMessage *msg;
};

/* The accept loop with the agent's peer filter. */
class AgentListener : public SocketListener
{
public:
   AgentListener(AgentServer *server, uint16_t port) : SocketListener(port), m_server(server) {}

   static void loopEntry(void *arg) { static_cast<AgentListener *>(arg)->mainLoop(); }

protected:
   bool isConnectionAllowed(const InetAddress &peer) override { return m_server->isPeerAllowed(peer); }
   ConnectionProcessingResult processConnection(SOCKET s, const InetAddress &peer) override
   {
      m_server->startSession(s, peer);
      return CPR_BACKGROUND;
   }

private:
   AgentServer *m_server;
};

namespace {

QVCPMessage *NewReply(const QVCPMessage *request, uint32_t rcc)
{
   QVCPMessage *reply = new QVCPMessage(CMD_REQUEST_COMPLETED, request->getId());
   reply->setField(FIELD_RCC, rcc);
   return reply;
}

void SendFailure(Session *session, const QVCPMessage *request, uint32_t rcc, const std::wstring &why)
{
   QVCPMessage *reply = NewReply(request, rcc);
   reply->setField(FIELD_ERROR_TEXT, why.c_str());
   session->send(*reply);
   delete reply;
}

/* ---- info, metrics and schedules as tables ---- */

void AddRow(Table *table, const wchar_t *name, const wchar_t *value)
{
   table->addRow();
   table->set(0, name);
   table->set(1, (value != nullptr) ? value : L"(unknown)");
}

void AddRow(Table *table, const wchar_t *name, int64_t value)
{
   table->addRow();
   table->set(0, name);
   table->set(1, value);
}

Table *InfoTable(AgentServer *server)
{
   constexpr size_t TEXT_CHARS = 512;
   Table *table = new Table();
   table->setTitle(L"agent information");
   table->addColumn(L"NAME", 0, L"Name", true);
   table->addColumn(L"VALUE", 0, L"Value");
   wchar_t text[TEXT_CHARS];
   AddRow(table, L"system", GetWindowsVersionString(text, TEXT_CHARS) ? text : nullptr);
   GetOSVersionString(text, static_cast<int32_t>(TEXT_CHARS));
   AddRow(table, L"os version", text);
   AddRow(table, L"host name", GetLocalHostName(text, TEXT_CHARS, false));
   AddRow(table, L"process id", static_cast<int64_t>(getpid()));
   AddRow(table, L"resident memory", static_cast<int64_t>(GetProcessRSS()));
   AddRow(table, L"heap allocated", GetAllocatedHeapMemory());
   AgentCounters c = server->counters();
   AddRow(table, L"requests served", static_cast<int64_t>(c.requests));
   AddRow(table, L"sessions", static_cast<int64_t>(c.sessions));
   AddRow(table, L"active sessions", static_cast<int64_t>(c.activeSessions));
   AddRow(table, L"accepted connections", static_cast<int64_t>(c.acceptedConnections));
   AddRow(table, L"rejected connections", static_cast<int64_t>(c.rejectedConnections));
   AddRow(table, L"failed key exchanges", static_cast<int64_t>(c.failedHandshakes));
   ThreadPoolInfo pool;
   if (ThreadPoolGetInfo(POOL_NAME, &pool))
   {
      AddRow(table, L"workers", static_cast<int64_t>(pool.currentThreads));
      AddRow(table, L"maximum workers", static_cast<int64_t>(pool.maximumThreads));
      AddRow(table, L"pool requests", static_cast<int64_t>(pool.totalRequestCount));
   }
   return table;
}

/* The next local time at or after from (to the minute) that the schedule matches, or -1
 * within the horizon. */
time_t NextRun(const wchar_t *schedule, time_t from)
{
   std::wstring copy = schedule;  // MatchSchedule may not be handed a text it could keep
   time_t t = (from / SECONDS_PER_MINUTE + 1) * SECONDS_PER_MINUTE;
   for (time_t i = 0; i < SCHEDULE_HORIZON_MINUTES; i++, t += SECONDS_PER_MINUTE)
   {
      struct tm local;
      localtime_r(&t, &local);
      if (MatchSchedule(copy.c_str(), &local, t))
         return t;
   }
   return -1;
}

Table *ScheduleTable(const AgentSettings &settings)
{
   Table *table = new Table();
   table->setTitle(L"schedules");
   table->addColumn(L"NAME", 0, L"Name", true);
   table->addColumn(L"SCHEDULE", 0, L"Schedule");
   table->addColumn(L"NEXT_RUN", 0, L"Next run");
   time_t now = time(nullptr);
   for (const ScheduleSetting &s : settings.schedules)
   {
      table->addRow();
      table->set(0, s.name.c_str());
      table->set(1, s.schedule.c_str());
      time_t next = NextRun(s.schedule.c_str(), now);
      char text[64] = "none within a year";
      if (next >= 0)
      {
         struct tm local;
         localtime_r(&next, &local);
         strftime(text, sizeof(text), "%Y-%m-%d %H:%M %a", &local);
      }
      table->set(2, Wide(text).c_str());
   }
   return table;
}

void HandleTable(Session *session, const QVCPMessage *request)
{
   wchar_t name[32];
   if (request->getFieldAsString(FIELD_TABLE_NAME, name, 32) == nullptr)
   {
      SendFailure(session, request, RCC_BAD_REQUEST, L"the request names no table");
      return;
   }
   Table *table = nullptr;
   if (!wcscmp(name, L"info"))
      table = InfoTable(session->server);
   else if (!wcscmp(name, L"schedule"))
      table = ScheduleTable(*session->server->settings());
   else if (!wcscmp(name, L"metrics"))
      table = LibraryMetricsTable();
   else
   {
      SendFailure(session, request, RCC_BAD_REQUEST, std::wstring(L"no table is called ") + name);
      return;
   }
   if (table == nullptr)
   {
      SendFailure(session, request, RCC_FAILED, L"the library's figures cannot be read");
      return;
   }
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   table->fillMessage(*reply, 0, -1);
   table->decRefCount();
   if (!wcscmp(name, L"metrics"))
   {
      // The registry's own JSON keeps the figures' types and grouping for --json.
      std::string json = LibraryMetricsJson();
      if (!json.empty())
         reply->setField(FIELD_JSON, Wide(json.c_str()).c_str());
   }
   session->send(*reply);
   delete reply;
}

/* ---- echo, ping, debug ---- */

void HandleEcho(Session *session, const QVCPMessage *request)
{
   size_t size = 0;
   const uint8_t *payload = request->getBinaryFieldPtr(FIELD_PAYLOAD, &size);
   QVCPMessage reply(CMD_REQUEST_COMPLETED, request->getId());
   reply.setField(FIELD_RCC, RCC_SUCCESS);
   reply.setField(FIELD_PAYLOAD, payload, size);
   session->send(reply);
}

void HandlePing(Session *session, const QVCPMessage *request)
{
   wchar_t *target = request->getFieldAsString(FIELD_ARGUMENT);
   if (target == nullptr)
   {
      SendFailure(session, request, RCC_BAD_REQUEST, L"the request names no target");
      return;
   }
   InetAddress addr = InetAddress::resolveHostName(target);
   if (!addr.isValid())
   {
      SendFailure(session, request, RCC_FAILED, std::wstring(L"the agent cannot resolve ") + target);
      free(target);
      return;
   }
   free(target);
   uint32_t rtt = 0;
   uint32_t result = IcmpPing(addr, 1, PING_TIMEOUT_MS, &rtt, PING_PAYLOAD, false);
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   reply->setField(FIELD_PING_RESULT, result);
   reply->setField(FIELD_PING_RTT, rtt);
   reply->setField(FIELD_PING_ADDRESS, addr.toString(text));
   session->send(*reply);
   delete reply;
}

void HandleSetDebug(Session *session, const QVCPMessage *request)
{
   wchar_t *tag = request->getFieldAsString(FIELD_DEBUG_TAG);
   int32_t level = request->getFieldAsInt32(FIELD_DEBUG_LEVEL);
   uint32_t seconds = request->getFieldAsUInt32(FIELD_DEBUG_SECONDS);
   if (tag == nullptr || tag[0] == 0 || level < 0 || level > QVLOG_DEBUG_LEVEL_MAX)
   {
      free(tag);
      SendFailure(session, request, RCC_BAD_REQUEST, L"a debug change needs a tag and a level from 0 to 9");
      return;
   }
   int32_t previous = qvlog_get_debug_level_tag(tag);
   SetDebugLevelFor(tag, level, seconds);
   qvlog_debug_tag(DEBUG_TAG, 2, L"debug level of %s set to %d by a client (%u seconds)", tag, level, seconds);
   free(tag);
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   reply->setField(FIELD_PREVIOUS_LEVEL, previous);
   session->send(*reply);
   delete reply;
}

/* ---- exec ---- */

/* Streams the command's output to the client as CMD_COMMAND_OUTPUT messages; a send that
 * fails (the client has gone) stops the command. */
class StreamingExecutor : public ProcessExecutor
{
public:
   StreamingExecutor(const wchar_t *command, Session *session, uint32_t id)
       : ProcessExecutor(command), m_session(session), m_id(id)
   {
      m_sendOutput = true;
   }
   ~StreamingExecutor() override { stopAndWait(); }

protected:
   void onOutput(const char *text) override
   {
      if (text[0] == 0)  // a sign of life during silence
         return;
      QVCPMessage msg(CMD_COMMAND_OUTPUT, m_id);
      // The bytes go as they came; the client writes them out unchanged.
      msg.setField(FIELD_OUTPUT, reinterpret_cast<const uint8_t *>(text), strlen(text));
      if (!m_session->send(msg))
         stop();
   }

private:
   Session *m_session;
   uint32_t m_id;
};

void HandleExec(Session *session, const QVCPMessage *request)
{
   if (!session->server->settings()->allowExec)
   {
      SendFailure(session, request, RCC_NOT_ALLOWED, L"the agent's configuration does not allow commands (AllowExec)");
      return;
   }
   wchar_t *command = request->getFieldAsString(FIELD_ARGUMENT);
   if (command == nullptr || command[0] == 0)
   {
      free(command);
      SendFailure(session, request, RCC_BAD_REQUEST, L"the request holds no command");
      return;
   }
   qvlog_debug_tag(DEBUG_TAG, 3, L"executing \"%s\" for a client", command);
   StreamingExecutor executor(command, session, request->getId());
   free(command);
   if (!executor.execute())
   {
      SendFailure(session, request, RCC_FAILED, L"the command cannot be started");
      return;
   }
   executor.waitForCompletion(INFINITE);
   int32_t code = executor.getExitCode();
   executor.stopAndWait();  // every chunk is sent before the reply
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   reply->setField(FIELD_EXIT_CODE, code);
   session->send(*reply);
   delete reply;
}

/* ---- file transfer ---- */

/* The path below the file root that a client's relative path names; empty when the path
 * is absolute, empty or climbs out with "..". */
std::wstring PathBelowRoot(const std::wstring &root, const wchar_t *path)
{
   if (root.empty() || path == nullptr || path[0] == 0 || path[0] == L'/')
      return std::wstring();
   std::wstring p = path;
   size_t start = 0;
   while (start <= p.size())
   {
      size_t end = p.find(L'/', start);
      if (end == std::wstring::npos)
         end = p.size();
      if (p.compare(start, end - start, L"..") == 0)
         return std::wstring();
      start = end + 1;
   }
   return root + L"/" + p;
}

struct SendPacing
{
   Session *session;
   uint64_t rate;  // bytes per second; 0: no limit
   int64_t start;
};

/* Keeps a transfer to the configured rate by pausing after a message that got ahead. */
void PaceTransfer(int64_t bytesSent, void *arg)
{
   SendPacing *pacing = static_cast<SendPacing *>(arg);
   if (pacing->rate == 0 || pacing->session->cancelled > 0)
      return;
   int64_t due = pacing->start + static_cast<int64_t>(double(bytesSent) * MS_PER_SECOND / double(pacing->rate));
   int64_t ahead = due - GetCurrentTimeMs();
   if (ahead > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(ahead));
}

void HandleGetFile(Session *session, const QVCPMessage *request)
{
   std::shared_ptr<const AgentSettings> settings = session->server->settings();
   wchar_t *path = request->getFieldAsString(FIELD_ARGUMENT);
   std::wstring full = PathBelowRoot(settings->fileRoot, path);
   std::wstring shown = (path != nullptr) ? path : L"";
   free(path);
   if (settings->fileRoot.empty())
   {
      SendFailure(session, request, RCC_NOT_ALLOWED, L"the agent's configuration names no FileRoot for transfers");
      return;
   }
   if (full.empty())
   {
      SendFailure(session, request, RCC_BAD_REQUEST, L"the path must be relative to the agent's FileRoot, without ..");
      return;
   }
   std::string utf8 = Utf8(full.c_str());
   struct stat st;
   if (stat(utf8.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
   {
      SendFailure(session, request, RCC_FAILED, L"no such file below the agent's FileRoot: " + shown);
      return;
   }
   size_t slash = full.rfind(L'/');
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   reply->setField(FIELD_FILE_NAME, full.c_str() + slash + 1);
   reply->setField(FIELD_FILE_SIZE, static_cast<int64_t>(st.st_size));
   bool announced = session->send(*reply);
   delete reply;
   if (!announced)
      return;
   SendPacing pacing = {session, settings->maxTransferRate, GetCurrentTimeMs()};
   bool sent = SendFileOverQVCP(session->channel, request->getId(), full.c_str(), session->context, 0, PaceTransfer,
                                &pacing, &session->sendMutex, STREAM_COMPRESSION_LZ4, &session->cancelled);
   qvlog_debug_tag(DEBUG_TAG, 3, L"file %s %s", full.c_str(), sent ? L"sent" : L"not sent completely");
}

void HandlePutFile(Session *session, const QVCPMessage *request)
{
   std::shared_ptr<const AgentSettings> settings = session->server->settings();
   if (settings->fileRoot.empty())
   {
      SendFailure(session, request, RCC_NOT_ALLOWED, L"the agent's configuration names no FileRoot for transfers");
      return;
   }
   wchar_t *name = request->getFieldAsString(FIELD_FILE_NAME);
   int64_t size = request->getFieldAsInt64(FIELD_FILE_SIZE);
   delete session->upload;  // an earlier transfer that never ended
   session->upload = new QVCPFileReceiver(request->getId(), QVCP_FILE_OVERWRITE);
   QVCPFileReceiveResult result =
       (name != nullptr) ? session->upload->open(settings->fileRoot.c_str(), name, size) : FILERECV_BAD_NAME;
   free(name);
   if (result != FILERECV_MORE_DATA)
   {
      SendFailure(session, request, RCC_FAILED, QVCPFileReceiver::resultToDescription(result));
      delete session->upload;
      session->upload = nullptr;
      return;
   }
   QVCPMessage *reply = NewReply(request, RCC_SUCCESS);
   session->send(*reply);
   delete reply;
}

/* A data or abort message of the open put-file transfer; the final answer once it ends. */
void HandleUploadData(Session *session, const QVCPMessage *msg)
{
   QVCPFileReceiver *upload = session->upload;
   if (upload == nullptr || msg->getId() != upload->getId())
      return;  // nothing open under that id: a late message of an ended transfer
   QVCPFileReceiveResult result = upload->writeMessage(msg);
   if (result == FILERECV_MORE_DATA)
      return;
   QVCPMessage *reply = NewReply(msg, (result == FILERECV_SUCCESS) ? RCC_SUCCESS : RCC_FAILED);
   if (result != FILERECV_SUCCESS)
      reply->setField(FIELD_ERROR_TEXT, QVCPFileReceiver::resultToDescription(result));
   reply->setField(FIELD_FILE_SIZE, upload->getBytesWritten());
   reply->setField(FIELD_WIRE_BYTES, upload->getWireBytes());
   session->send(*reply);
   delete reply;
   delete upload;
   session->upload = nullptr;
}

void RunRequest(void *arg)
{
   Request *request = static_cast<Request *>(arg);
   Session *session = request->session;
   QVCPMessage *msg = request->msg;
   delete request;
   session->server->countRequest();
   switch (msg->getCode())
   {
      case CMD_AGENT_ECHO: HandleEcho(session, msg); break;
      case CMD_GET_TABLE_REQUEST: HandleTable(session, msg); break;
      case CMD_AGENT_PING: HandlePing(session, msg); break;
      case CMD_AGENT_SET_DEBUG: HandleSetDebug(session, msg); break;
      case CMD_EXEC_REQUEST: HandleExec(session, msg); break;
      case CMD_GET_FILE_REQUEST: HandleGetFile(session, msg); break;
      case CMD_PUT_FILE_REQUEST: HandlePutFile(session, msg); break;
      case CMD_FILE_DATA:
      case CMD_ABORT_FILE_TRANSFER: HandleUploadData(session, msg); break;
      case CMD_KEEPALIVE: break;
      default:
         wchar_t name[QVCP_CODE_NAME_BUFFER_SIZE];
         SendFailure(session, msg, RCC_UNKNOWN_COMMAND,
                     std::wstring(L"the agent does not serve ") + QVCPMessageCodeName(msg->getCode(), name));
         break;
   }
   delete msg;
   session->release();
}

}  // namespace

/* ---- the session's reader ---- */

void Session::readerEntry(void *arg)
{
   Session *session = static_cast<Session *>(arg);
   ThreadSetName(nullptr, "agent-reader");
   session->run();
}

bool Session::agreeSessionKey()
{
   QVCPMessage request(CMD_REQUEST_SESSION_KEY, 0);
   PrepareKeyRequestMsg(&request, server->m_key, false);
   request.disableEncryption();
   if (!send(request))
      return false;
   MessageReceiverResult result;
   QVCPMessage *reply = receiver->readMessage(KEY_EXCHANGE_TIMEOUT, &result);
   if (reply == nullptr)
   {
      qvlog_debug_tag(DEBUG_TAG, 4, L"no session key from %s (%s)", PeerText(peer).c_str(),
                      AbstractMessageReceiver::resultToText(result));
      return false;
   }
   QVCPMessage *answer = nullptr;
   uint32_t rcc = SetupEncryptionContext(reply, &context, &answer, server->m_key, QVCP_DEFAULT_VERSION);
   delete answer;
   delete reply;
   if (rcc != 0)
   {
      qvlog_debug_tag(DEBUG_TAG, 4, L"key exchange with %s failed (%u)", PeerText(peer).c_str(), rcc);
      return false;
   }
   receiver->setEncryptionContext(context);
   return true;
}

void Session::run()
{
   if (agreeSessionKey())
   {
      server->m_sessionCount.fetch_add(1, std::memory_order_relaxed);
      qvlog_debug_tag(DEBUG_TAG, 4, L"session with %s set up", PeerText(peer).c_str());
      while (true)
      {
         MessageReceiverResult result;
         QVCPMessage *msg = receiver->readMessage(READ_WAIT_MS, &result);
         if (msg == nullptr)
         {
            // A message that fails decryption is lost alone; the stream stays aligned.
            if (result == MSGRECV_DECRYPTION_FAILURE || result == MSGRECV_TIMEOUT)
               continue;
            qvlog_debug_tag(DEBUG_TAG, 4, L"session with %s ended (%s)", PeerText(peer).c_str(),
                            AbstractMessageReceiver::resultToText(result));
            break;
         }
         addRef();
         ThreadPoolExecuteSerialized(server->m_pool, key, RunRequest, new Request{this, msg});
      }
   }
   else
   {
      server->m_failedHandshakes.fetch_add(1, std::memory_order_relaxed);
   }
   __atomic_store_n(&cancelled, 1, __ATOMIC_RELEASE);
   channel->shutdown();
   server->sessionEnded(this);
   release();
}

/* ---- the server ---- */

AgentServer::AgentServer() = default;

AgentServer::~AgentServer()
{
   stop();
}

namespace {

/* A port that both families can bind on the address (loopback and every address alike),
 * found by binding port 0; 0 when none was found. Another program may still take it
 * before the listener binds, which the listener then reports. */
uint16_t FindFreePort()
{
   for (int attempt = 0; attempt < FREE_PORT_ATTEMPTS; attempt++)
   {
      int v4 = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a4 = {};
      a4.sin_family = AF_INET;
      socklen_t len = sizeof(a4);
      uint16_t port = 0;
      if (v4 >= 0 && bind(v4, reinterpret_cast<sockaddr *>(&a4), sizeof(a4)) == 0 &&
          getsockname(v4, reinterpret_cast<sockaddr *>(&a4), &len) == 0)
         port = ntohs(a4.sin_port);
      int v6 = socket(AF_INET6, SOCK_STREAM, 0);
      bool free6 = true;
      if (v6 >= 0 && port != 0)
      {
         int one = 1;
         setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
         sockaddr_in6 a6 = {};
         a6.sin6_family = AF_INET6;
         a6.sin6_port = htons(port);
         free6 = bind(v6, reinterpret_cast<sockaddr *>(&a6), sizeof(a6)) == 0 || errno == EAFNOSUPPORT;
      }
      if (v4 >= 0)
         close(v4);
      if (v6 >= 0)
         close(v6);
      if (port != 0 && free6)
         return port;
   }
   return 0;
}

}  // namespace

bool AgentServer::start(const AgentSettings &settings, RSA_KEY key, std::string *error)
{
   RegisterCodeNames();
   m_key = key;
   m_startTime = GetCurrentTimeMs();
   {
      std::lock_guard<std::mutex> guard(m_lock);
      m_settings = std::make_shared<const AgentSettings>(settings);
   }
   m_port = (settings.port != 0) ? settings.port : FindFreePort();
   if (m_port == 0)
   {
      *error = "no free port was found";
      return false;
   }
   m_pool = ThreadPoolCreate(POOL_NAME, settings.minWorkers, settings.maxWorkers, 0);
   if (m_pool == nullptr)
   {
      *error = "the worker pool cannot be made";
      return false;
   }
   ApplyLibraryLimits(settings, m_pool);
   m_listener = new AgentListener(this, m_port);
   m_listener->setName(L"agent");
   if (!settings.listenAddress.empty())
      m_listener->setListenAddress(settings.listenAddress.c_str());
   if (!m_listener->initialize())
   {
      *error = "port " + std::to_string(m_port) + " cannot be bound (is another program using it?)";
      delete m_listener;
      m_listener = nullptr;
      ThreadPoolDestroy(m_pool);
      m_pool = nullptr;
      return false;
   }
   m_listenerThread = ThreadStart(AgentListener::loopEntry, 0, m_listener);
   if (m_listenerThread == nullptr)
   {
      *error = "the listener thread cannot be started";
      delete m_listener;
      m_listener = nullptr;
      ThreadPoolDestroy(m_pool);
      m_pool = nullptr;
      return false;
   }
   return true;
}

void AgentServer::updateSettings(const AgentSettings &settings)
{
   std::shared_ptr<const AgentSettings> old = this->settings();
   if (old->port != settings.port || old->listenAddress != settings.listenAddress ||
       old->minWorkers != settings.minWorkers || old->maxWorkers != settings.maxWorkers)
      qvlog_write_generic(EVENTLOG_WARNING_TYPE,
                          L"the port, the listen address and the worker limits change at the agent's next start");
   {
      std::lock_guard<std::mutex> guard(m_lock);
      m_settings = std::make_shared<const AgentSettings>(settings);
   }
   ApplyLibraryLimits(settings, m_pool);
}

std::shared_ptr<const AgentSettings> AgentServer::settings() const
{
   std::lock_guard<std::mutex> guard(m_lock);
   return m_settings;
}

bool AgentServer::isPeerAllowed(const InetAddress &peer)
{
   std::shared_ptr<const AgentSettings> s = settings();
   if (s->allowEveryPeer)
      return true;
   if (s->allowedPeers.empty())
      return peer.isLoopback();
   for (const InetAddress &subnet : s->allowedPeers)
   {
      if (subnet.contain(peer))
         return true;
   }
   return false;
}

void AgentServer::startSession(SOCKET s, const InetAddress &peer)
{
   reapEndedReaders();
   std::lock_guard<std::mutex> guard(m_lock);
   Session *session = new Session(this, s, peer, ++m_nextSession);
   m_sessions.push_back(session);
   session->reader = ThreadStart(Session::readerEntry, 0, session);
   if (session->reader == nullptr)
   {
      m_sessions.pop_back();
      session->release();
   }
}

void AgentServer::sessionEnded(Session *session)
{
   std::lock_guard<std::mutex> guard(m_lock);
   for (size_t i = 0; i < m_sessions.size(); i++)
   {
      if (m_sessions[i] == session)
      {
         m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(i));
         break;
      }
   }
   m_endedReaders.push_back(session->reader);
   m_sessionsChanged.notify_all();
}

void AgentServer::reapEndedReaders()
{
   std::vector<qorvel_thread_t *> ended;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      ended.swap(m_endedReaders);
   }
   for (qorvel_thread_t *t : ended)
      ThreadWaitForExit(t);
}

void AgentServer::stop()
{
   if (m_listener == nullptr)
      return;
   m_listener->shutdown();
   ThreadWaitForExit(m_listenerThread);
   m_listenerThread = nullptr;
   // Closing the channels wakes every reader; each one then leaves the list by itself.
   {
      std::lock_guard<std::mutex> guard(m_lock);
      for (Session *session : m_sessions)
         session->channel->close();
   }
   {
      std::unique_lock<std::mutex> guard(m_lock);
      m_sessionsChanged.wait(guard, [this] { return m_sessions.empty(); });
   }
   reapEndedReaders();
   ThreadPoolDestroy(m_pool);  // runs what is queued; the closed channels make it quick
   m_pool = nullptr;
   delete m_listener;
   m_listener = nullptr;
}

AgentCounters AgentServer::counters() const
{
   AgentCounters c = {};
   c.requests = m_requests.load(std::memory_order_relaxed);
   c.sessions = m_sessionCount.load(std::memory_order_relaxed);
   c.failedHandshakes = m_failedHandshakes.load(std::memory_order_relaxed);
   {
      std::lock_guard<std::mutex> guard(m_lock);
      c.activeSessions = static_cast<uint32_t>(m_sessions.size());
   }
   if (m_listener != nullptr)
   {
      c.acceptedConnections = m_listener->getAcceptedConnections();
      c.rejectedConnections = m_listener->getRejectedConnections();
   }
   return c;
}

}  // namespace agent
