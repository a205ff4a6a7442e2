/* The agent's requests, each run on the pool for one session: tables (info, metrics,
 * schedules), echo, ping, debug changes, commands with their output streamed, and file
 * transfers in both directions. */
#include "agent_session.h"

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace agent {

namespace {

/* Milliseconds a ping waits for its answer, and its payload bytes. */
constexpr uint32_t PING_TIMEOUT_MS = 1000;
constexpr uint32_t PING_PAYLOAD = 56;

/* How far ahead the next run of a schedule is looked for, in minutes (one year). */
constexpr time_t SCHEDULE_HORIZON_MINUTES = 366 * 24 * 60;
constexpr time_t SECONDS_PER_MINUTE = 60;

constexpr double MS_PER_SECOND = 1000.0;

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
      // A client that has gone stops the command, also while it is silent (the reader
      // then passes an empty text every few seconds).
      if (__atomic_load_n(&m_session->cancelled, __ATOMIC_ACQUIRE) > 0)
      {
         stop();
         return;
      }
      if (text[0] == 0)
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

/* Whether path, with every link followed, is still below root: a link placed in the file
 * root must not hand out files from elsewhere. */
bool ResolvesBelow(const std::string &root, const std::string &path)
{
   char *realRoot = realpath(root.c_str(), nullptr);
   char *realPath = realpath(path.c_str(), nullptr);
   bool below = false;
   if (realRoot != nullptr && realPath != nullptr)
   {
      size_t length = strlen(realRoot);
      below = strncmp(realPath, realRoot, length) == 0 && (realPath[length] == '/' || strcmp(realRoot, "/") == 0);
   }
   free(realRoot);
   free(realPath);
   return below;
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
   if (stat(utf8.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !ResolvesBelow(Utf8(settings->fileRoot.c_str()), utf8))
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

}  // namespace

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

}  // namespace agent
