/* qvtool call: one request to a running qvtool agent, its answer printed for people
 * (tables aligned, coloured on a terminal) or, with --json, as one JSON document. Exit
 * codes: 0 done, 1 the request failed (agent down, peer refused, time-out, not allowed,
 * the operation itself failed), 2 wrong usage. */
#include "agent_client.h"
#include "agent_protocol.h"
#include "json_output.h"
#include "progress.h"
#include "qvtool.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace agent;

namespace {

/* Default seconds to wait for the agent: to connect, and for each answer. */
constexpr long DEFAULT_TIMEOUT_S = 30;
constexpr long MAX_TIMEOUT_S = 86400;
constexpr uint32_t MS_PER_SECOND = 1000;

/* Longest pause between two looks at a stream of output or file data, in milliseconds. */
constexpr uint32_t STREAM_SLICE_MS = 50;

/* Longest expiry of a debug change, in seconds (a week). */
constexpr long MAX_DEBUG_SECONDS = 7 * 86400;

/* Colour sequences of the table header on a terminal. */
const char HEADER_COLOUR[] = "\033[1;36m";
const char RESET_COLOUR[] = "\033[0m";

enum Key
{
   TIMEOUT_KEY = LONG_OPTION_KEY,
   FOR_KEY,
   OUTPUT_KEY,
};

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {"timeout", required_argument, TIMEOUT_KEY, "SECONDS", "wait this long for the agent (default 30)"},
    {"for", required_argument, FOR_KEY, "SECONDS", "debug: the change expires after this long"},
    {"output", required_argument, OUTPUT_KEY, "DIR", "get-file: store the file in DIR (default: .)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const char NOTES[] = "commands:\n"
                     "  info                 the agent's process and system figures\n"
                     "  metrics              the library's own figures inside the agent\n"
                     "  schedule             the configured schedules and their next runs\n"
                     "  ping TARGET          ICMP echo from the agent to TARGET\n"
                     "  exec COMMAND...      run a shell command on the agent (AllowExec), output as it comes\n"
                     "  get-file PATH        fetch PATH below the agent's FileRoot into --output DIR\n"
                     "  put-file FILE        store FILE in the agent's FileRoot\n"
                     "  debug TAG=LEVEL      set a debug level on the agent (* for the default) [--for SECONDS]\n"
                     "  echo [TEXT]          send 64 bytes (TEXT padded) and check they come back\n"
                     "HOST:PORT: a name or address and the agent's port ([::1]:4700 for IPv6)\n"
                     "--json fields: info, schedule: title, rows [{COLUMN: value}]; metrics: the library's\n"
                     "  figures by kind (thread_pool, wait_queue, receiver, log_writer, debug_output);\n"
                     "  echo: bytes, milliseconds; ping: target, address, result, milliseconds;\n"
                     "  exec: command, exitCode, output; get-file, put-file: file, bytes, wireBytes, seconds;\n"
                     "  debug: tag, level, previousLevel, seconds\n"
                     "exit codes: 0 done, 1 the request failed, 2 wrong usage\n";

const CommandSyntax SYNTAX = {"call",
                              "[--json] [--timeout SECONDS] HOST:PORT COMMAND [ARGS...]",
                              "send one request to a qvtool agent",
                              OPTIONS,
                              false,
                              NOTES};

bool ParseDebugSetting(const char *setting, std::string *tag, long *level);

/* The state of one call. */
struct Call
{
   const char *target;
   std::string command;
   std::vector<const char *> args;
   bool json = false;
   uint32_t timeoutMs = DEFAULT_TIMEOUT_S * MS_PER_SECOND;
   long debugSeconds = 0;
   std::string outputDir = ".";
   AgentClient client;

   /* "qvtool call: what went wrong; what to do", exit code 1. */
   int fail(const std::string &what) const
   {
      fprintf(stderr, "qvtool call: %s\n", what.c_str());
      return 1;
   }

   /* The message of a wait that returned nothing. */
   int lost(const char *during) const
   {
      if (client.failure() == ClientFailure::TIMEOUT)
         return fail(std::string("the agent at ") + target + " did not answer " + during +
                     " in time; try a longer --timeout or check the agent");
      return fail(std::string("the connection to the agent at ") + target + " closed " + during +
                  "; check that the agent still runs");
   }

   /* The reply to request id, or null after the message; failed replies are reported
    * (the reply is null then too). */
   QVCPMessage *reply(uint32_t id, int *exitCode)
   {
      QVCPMessage *msg = client.wait(CMD_REQUEST_COMPLETED, id, timeoutMs);
      if (msg == nullptr)
      {
         *exitCode = lost("before answering");
         return nullptr;
      }
      return checked(msg, exitCode);
   }

   /* Sends the request and returns its successful reply, or null with the exit code in
    * *exitCode after the message. */
   QVCPMessage *ask(const QVCPMessage &request, int *exitCode)
   {
      if (!client.send(request))
      {
         *exitCode = lost("while sending the request");
         return nullptr;
      }
      return reply(request.getId(), exitCode);
   }

   /* msg when it reports success; otherwise null after the message (msg is deleted). */
   QVCPMessage *checked(QVCPMessage *msg, int *exitCode)
   {
      uint32_t rcc = msg->getFieldAsUInt32(FIELD_RCC);
      if (rcc == RCC_SUCCESS)
         return msg;
      wchar_t *why = msg->getFieldAsString(FIELD_ERROR_TEXT);
      std::string text = Utf8(why);
      free(why);
      delete msg;
      const char *advice = (rcc == RCC_NOT_ALLOWED)       ? "change the agent's configuration to allow it"
                           : (rcc == RCC_UNKNOWN_COMMAND) ? "update the agent"
                                                          : "check the request and the agent's log";
      *exitCode = fail(command + " failed: " + (text.empty() ? "the agent gives no reason" : text) + "; " + advice);
      return nullptr;
   }

   int run();
   int table(const wchar_t *name);
   int echo();
   int ping();
   int exec();
   int getFile();
   int putFile();
   int debug();
};

/* The table's columns aligned, their names coloured on a terminal. */
void PrintAligned(const Table &table)
{
   bool colour = isatty(STDOUT_FILENO) != 0;
   std::vector<std::string> lines = AlignedTableLines(&table, false);
   for (size_t i = 0; i < lines.size(); i++)
   {
      if (i == 0 && colour)
         printf("%s%s%s\n", HEADER_COLOUR, lines[i].c_str(), RESET_COLOUR);
      else
         printf("%s\n", lines[i].c_str());
   }
}

/* The table as its title and rows, each row an object of cell texts by column name. */
json_t *TableRowsJson(const Table &table)
{
   json_t *rows = json_array();
   for (int r = 0; r < table.getNumRows(); r++)
   {
      json_t *row = json_object();
      for (int c = 0; c < table.getNumColumns(); c++)
         json_object_set_new(row, Utf8(table.getColumnName(c)).c_str(), JsonString(table.getAsString(r, c, L"")));
      json_array_append_new(rows, row);
   }
   json_t *doc = json_object();
   json_object_set_new(doc, "title", JsonString(table.getTitle()));
   json_object_set_new(doc, "rows", rows);
   return doc;
}

int Call::table(const wchar_t *name)
{
   QVCPMessage request(CMD_GET_TABLE_REQUEST, client.nextId());
   request.setField(FIELD_TABLE_NAME, name);
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   Table *t = new Table(msg);
   wchar_t *jsonText = msg->getFieldAsString(FIELD_JSON);
   delete msg;
   json_t *document = nullptr;
   if (json && jsonText != nullptr)
      document = json_loads(Utf8(jsonText).c_str(), 0, nullptr);
   free(jsonText);
   if (json)
      code = PrintJson((document != nullptr) ? document : TableRowsJson(*t), "call");
   else if (t->getNumRows() == 0)
      printf("(nothing to show)\n");
   else
      PrintAligned(*t);
   t->decRefCount();
   return code;
}

int Call::echo()
{
   uint8_t payload[ECHO_PAYLOAD_SIZE];
   for (size_t i = 0; i < ECHO_PAYLOAD_SIZE; i++)
      payload[i] = static_cast<uint8_t>('a' + i % 26);
   if (!args.empty())
   {
      size_t n = std::min(strlen(args[0]), ECHO_PAYLOAD_SIZE);
      memcpy(payload, args[0], n);
      memset(payload + n, ' ', ECHO_PAYLOAD_SIZE - n);
   }
   QVCPMessage request(CMD_AGENT_ECHO, client.nextId());
   request.setField(FIELD_PAYLOAD, payload, ECHO_PAYLOAD_SIZE);
   int64_t start = GetCurrentTimeMs();
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   int64_t elapsed = GetCurrentTimeMs() - start;
   size_t size = 0;
   const uint8_t *back = msg->getBinaryFieldPtr(FIELD_PAYLOAD, &size);
   bool same = size == ECHO_PAYLOAD_SIZE && memcmp(back, payload, size) == 0;
   delete msg;
   if (!same)
      return fail("the agent's echo differs from the bytes sent; check the agent's version");
   if (json)
   {
      json_t *doc = json_object();
      json_object_set_new(doc, "bytes", json_integer(ECHO_PAYLOAD_SIZE));
      json_object_set_new(doc, "milliseconds", json_integer(elapsed));
      return PrintJson(doc, "call");
   }
   printf("%zu bytes echoed in %lld ms\n", ECHO_PAYLOAD_SIZE, static_cast<long long>(elapsed));
   return 0;
}

int Call::ping()
{
   if (args.size() != 1)
      return -1;
   QVCPMessage request(CMD_AGENT_PING, client.nextId());
   request.setField(FIELD_ARGUMENT, Wide(args[0]).c_str());
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   uint32_t result = msg->getFieldAsUInt32(FIELD_PING_RESULT);
   uint32_t rtt = msg->getFieldAsUInt32(FIELD_PING_RTT);
   wchar_t *address = msg->getFieldAsString(FIELD_PING_ADDRESS);
   std::string addr = Utf8(address);
   free(address);
   delete msg;
   if (json)
   {
      json_t *doc = json_object();
      json_object_set_new(doc, "target", json_string(args[0]));
      json_object_set_new(doc, "address", json_string(addr.c_str()));
      json_object_set_new(doc, "result", json_string(PingResultName(result)));
      json_object_set_new(doc, "milliseconds", (result == PING_OK) ? json_integer(rtt) : json_null());
      code = PrintJson(doc, "call");
   }
   else if (result == PING_OK)
   {
      printf("%s from %s: time=%u ms\n", PingResultName(result), addr.c_str(), rtt);
   }
   if (result != PING_OK)
      return fail(std::string("no answer from ") + addr + " (" + PingResultName(result) +
                  "); check the target and the agent's ICMP permissions");
   return code;
}

int Call::exec()
{
   if (args.empty())
      return -1;
   std::string line;
   for (const char *a : args)
      line += (line.empty() ? "" : " ") + std::string(a);
   QVCPMessage request(CMD_EXEC_REQUEST, client.nextId());
   request.setField(FIELD_ARGUMENT, Wide(line.c_str()).c_str());
   if (!client.send(request))
      return lost("while sending the request");
   uint32_t id = request.getId();
   std::string collected;
   auto deliver = [&](QVCPMessage *out) {
      size_t size = 0;
      const uint8_t *bytes = out->getBinaryFieldPtr(FIELD_OUTPUT, &size);
      if (json)
         collected.append(reinterpret_cast<const char *>(bytes), size);
      else if (size > 0)
         fwrite(bytes, 1, size, stdout), fflush(stdout);
      delete out;
   };
   // Output comes as the command writes it; the reply follows the last of it. The
   // command may run for long, so only a closed connection ends the wait.
   QVCPMessage *done = nullptr;
   while (done == nullptr)
   {
      if (QVCPMessage *out = client.wait(CMD_COMMAND_OUTPUT, id, STREAM_SLICE_MS))
      {
         deliver(out);
         continue;
      }
      done = client.poll(CMD_REQUEST_COMPLETED, id);
      if (done == nullptr && client.isClosed())
      {
         done = client.poll(CMD_REQUEST_COMPLETED, id);
         if (done == nullptr)
            return lost("while the command ran");
      }
   }
   while (QVCPMessage *out = client.poll(CMD_COMMAND_OUTPUT, id))
      deliver(out);
   int code = 0;
   QVCPMessage *msg = checked(done, &code);
   if (msg == nullptr)
      return code;
   int32_t exitCode = msg->getFieldAsInt32(FIELD_EXIT_CODE);
   delete msg;
   if (json)
   {
      json_t *doc = json_object();
      json_object_set_new(doc, "command", json_string(line.c_str()));
      json_object_set_new(doc, "exitCode", json_integer(exitCode));
      json_object_set_new(doc, "output", json_stringn(collected.data(), collected.size()));
      code = PrintJson(doc, "call");
   }
   if (exitCode != 0)
      return fail("the command exited with code " + std::to_string(exitCode) + " on the agent; see its output");
   return code;
}

/* The file bytes of a transfer, for the progress line of put-file. */
void ShowSendProgress(int64_t fileBytesSent, int64_t fileBytesTotal, int64_t wireBytesSent, void *arg)
{
   (void)fileBytesTotal;
   (void)wireBytesSent;
   static_cast<ProgressLine *>(arg)->update(fileBytesSent);
}

json_t *TransferJson(const std::string &file, int64_t bytes, int64_t wire, double seconds)
{
   json_t *doc = json_object();
   json_object_set_new(doc, "file", json_string(file.c_str()));
   json_object_set_new(doc, "bytes", json_integer(bytes));
   json_object_set_new(doc, "wireBytes", json_integer(wire));
   json_object_set_new(doc, "seconds", json_real(seconds));
   return doc;
}

std::string Summary(const char *verb, const std::string &name, int64_t bytes, int64_t wire, double seconds)
{
   char text[256];
   snprintf(text, sizeof(text), "%s %s: %lld bytes (%lld on the wire) in %.2f s", verb, name.c_str(),
            static_cast<long long>(bytes), static_cast<long long>(wire), seconds);
   return text;
}

int Call::getFile()
{
   if (args.size() != 1)
      return -1;
   QVCPMessage request(CMD_GET_FILE_REQUEST, client.nextId());
   request.setField(FIELD_ARGUMENT, Wide(args[0]).c_str());
   uint32_t id = request.getId();
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   wchar_t *name = msg->getFieldAsString(FIELD_FILE_NAME);
   int64_t size = msg->getFieldAsInt64(FIELD_FILE_SIZE);
   delete msg;
   std::string shownName = Utf8(name);

   // The file takes its name only once every byte has come: the receiver writes a
   // temporary file beside it and removes that when the transfer ends any other way.
   QVCPFileReceiver receiver(id);
   QVCPFileReceiveResult result = receiver.open(Wide(outputDir.c_str()).c_str(), (name != nullptr) ? name : L"", size);
   free(name);
   if (result != FILERECV_MORE_DATA)
   {
      return fail("cannot store " + shownName + " in " + outputDir + ": " +
                  Utf8(QVCPFileReceiver::resultToDescription(result)) + "; choose another --output directory");
   }
   ProgressLine progress("call get-file", size);
   int64_t lastData = GetCurrentTimeMs();
   while (receiver.isOpen())
   {
      if (QVCPMessage *data = client.wait(CMD_FILE_DATA, id, STREAM_SLICE_MS))
      {
         receiver.writeMessage(data);
         delete data;
         progress.update(receiver.getBytesWritten());
         lastData = GetCurrentTimeMs();
         continue;
      }
      if (QVCPMessage *abort = client.poll(CMD_ABORT_FILE_TRANSFER, id))
      {
         receiver.writeMessage(abort);
         delete abort;
      }
      else if (client.isClosed() && client.failure() == ClientFailure::CLOSED)
      {
         receiver.cancel(FILERECV_CLOSED);
      }
      else if (GetCurrentTimeMs() - lastData > static_cast<int64_t>(timeoutMs))
      {
         receiver.cancel(FILERECV_TIMEOUT);
      }
   }
   result = receiver.getResult();
   if (result != FILERECV_SUCCESS)
   {
      progress.fail();
      if (result == FILERECV_CLOSED)
         return fail("the connection to the agent closed during the transfer of " + shownName +
                     "; nothing was stored; check that the agent still runs and try again");
      return fail("the transfer of " + shownName + " failed: " + Utf8(QVCPFileReceiver::resultToDescription(result)) +
                  "; nothing was stored");
   }
   if (json)
   {
      progress.fail();
      return PrintJson(TransferJson(outputDir + "/" + shownName, receiver.getBytesWritten(), receiver.getWireBytes(),
                                    progress.elapsedSeconds()),
                       "call");
   }
   progress.finish(Summary("received", outputDir + "/" + shownName, receiver.getBytesWritten(), receiver.getWireBytes(),
                           progress.elapsedSeconds())
                       .c_str());
   return 0;
}

int Call::putFile()
{
   if (args.size() != 1)
      return -1;
   const char *path = args[0];
   struct stat st;
   if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
      return fail(std::string("cannot read ") + path + "; name a regular file");
   const char *slash = strrchr(path, '/');
   std::string name = (slash != nullptr) ? slash + 1 : path;
   QVCPMessage request(CMD_PUT_FILE_REQUEST, client.nextId());
   request.setField(FIELD_FILE_NAME, Wide(name.c_str()).c_str());
   request.setField(FIELD_FILE_SIZE, static_cast<int64_t>(st.st_size));
   uint32_t id = request.getId();
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   delete msg;
   ProgressLine progress("call put-file", st.st_size);
   bool sent = SendFileOverQVCPEx(client.channel(), id, Wide(path).c_str(), client.context(), 0, ShowSendProgress,
                                  &progress, client.sendMutex(), STREAM_COMPRESSION_LZ4);
   if (!sent)
   {
      progress.fail();
      if (client.isClosed() || client.poll(CMD_REQUEST_COMPLETED, id) == nullptr)
         return fail("the transfer of " + name +
                     " was cut; the agent keeps no partial file under that name; check that the agent runs and try "
                     "again");
   }
   msg = client.wait(CMD_REQUEST_COMPLETED, id, timeoutMs);
   if (msg == nullptr)
   {
      progress.fail();
      return lost("before confirming the file");
   }
   msg = checked(msg, &code);
   if (msg == nullptr)
   {
      progress.fail();
      return code;
   }
   int64_t bytes = msg->getFieldAsInt64(FIELD_FILE_SIZE);
   int64_t wire = msg->getFieldAsInt64(FIELD_WIRE_BYTES);
   delete msg;
   if (json)
   {
      progress.fail();
      return PrintJson(TransferJson(name, bytes, wire, progress.elapsedSeconds()), "call");
   }
   progress.finish(Summary("stored", name, bytes, wire, progress.elapsedSeconds()).c_str());
   return 0;
}

int Call::debug()
{
   if (args.size() != 1)
      return -1;
   std::string tag;
   long level = 0;
   if (!ParseDebugSetting(args[0], &tag, &level))
      return -1;
   QVCPMessage request(CMD_AGENT_SET_DEBUG, client.nextId());
   request.setField(FIELD_DEBUG_TAG, Wide(tag.c_str()).c_str());
   request.setField(FIELD_DEBUG_LEVEL, static_cast<int32_t>(level));
   request.setField(FIELD_DEBUG_SECONDS, static_cast<uint32_t>(debugSeconds));
   int code = 0;
   QVCPMessage *msg = ask(request, &code);
   if (msg == nullptr)
      return code;
   int32_t previous = msg->getFieldAsInt32(FIELD_PREVIOUS_LEVEL);
   delete msg;
   if (json)
   {
      json_t *doc = json_object();
      json_object_set_new(doc, "tag", json_string(tag.c_str()));
      json_object_set_new(doc, "level", json_integer(level));
      json_object_set_new(doc, "previousLevel", json_integer(previous));
      json_object_set_new(doc, "seconds", (debugSeconds > 0) ? json_integer(debugSeconds) : json_null());
      return PrintJson(doc, "call");
   }
   if (debugSeconds > 0)
      printf("debug level of %s: %ld (was %d) for %ld s, then %d again\n", tag.c_str(), level, previous, debugSeconds,
             previous);
   else
      printf("debug level of %s: %ld (was %d)\n", tag.c_str(), level, previous);
   return 0;
}

/* "HOST:PORT" or "[IPV6]:PORT"; false when it is neither. */
bool ParseTarget(const char *target, std::string *host, uint16_t *port)
{
   std::string t = target;
   size_t colon = t.rfind(':');
   if (colon == std::string::npos || colon == 0)
      return false;
   char *end;
   errno = 0;
   long p = strtol(t.c_str() + colon + 1, &end, 10);
   if (end == t.c_str() + colon + 1 || *end != 0 || errno != 0 || p < 1 || p > 65535)
      return false;
   *host = t.substr(0, colon);
   if (host->size() > 2 && host->front() == '[' && host->back() == ']')
      *host = host->substr(1, host->size() - 2);
   *port = static_cast<uint16_t>(p);
   return !host->empty();
}

/* Whether the command exists and has the right number of arguments. */
bool ArgumentsFit(const std::string &command, size_t count)
{
   static const struct
   {
      const char *name;
      size_t min, max;
   } COMMANDS[] = {{"info", 0, 0},        {"metrics", 0, 0},  {"schedule", 0, 0}, {"echo", 0, 1}, {"ping", 1, 1},
                   {"exec", 1, SIZE_MAX}, {"get-file", 1, 1}, {"put-file", 1, 1}, {"debug", 1, 1}};
   for (const auto &c : COMMANDS)
   {
      if (command == c.name)
         return count >= c.min && count <= c.max;
   }
   return false;
}

/* "TAG=LEVEL" with a level from 0 to 9. */
bool ParseDebugSetting(const char *setting, std::string *tag, long *level)
{
   const char *equals = strrchr(setting, '=');
   char *end = nullptr;
   *level = (equals != nullptr) ? strtol(equals + 1, &end, 10) : -1;
   if (equals == nullptr || equals == setting || end == equals + 1 || *end != 0 || *level < 0 ||
       *level > QVLOG_DEBUG_LEVEL_MAX)
      return false;
   tag->assign(setting, static_cast<size_t>(equals - setting));
   return true;
}

int Call::run()
{
   std::string host;
   uint16_t port = 0;
   if (!ParseTarget(target, &host, &port))
      return -1;
   InetAddress addr = InetAddress::resolveHostName(host.c_str());
   if (!addr.isValid())
      return fail("cannot resolve \"" + host + "\"; check the host name");
   InitCryptoLib(QVCP_ALL_CIPHERS);
   std::string error;
   if (!client.connect(addr, port, timeoutMs, &error))
      return fail(std::string("cannot talk to the agent at ") + target + ": " + error);
   if (command == "info")
      return args.empty() ? table(L"info") : -1;
   if (command == "metrics")
      return args.empty() ? table(L"metrics") : -1;
   if (command == "schedule")
      return args.empty() ? table(L"schedule") : -1;
   if (command == "echo")
      return (args.size() <= 1) ? echo() : -1;
   if (command == "ping")
      return ping();
   if (command == "exec")
      return exec();
   if (command == "get-file")
      return getFile();
   if (command == "put-file")
      return putFile();
   if (command == "debug")
      return debug();
   return -2;
}

}  // namespace

int CommandCall(int argc, char **argv)
{
   Call call;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      char *end = nullptr;
      long value = 0;
      switch (args.key())
      {
         case JSON_OPTION_KEY: call.json = true; break;
         case TIMEOUT_KEY:
            value = strtol(args.value(), &end, 10);
            if (*end != 0 || value < 1 || value > MAX_TIMEOUT_S)
               return args.fail("--timeout needs seconds from 1 to %ld", MAX_TIMEOUT_S);
            call.timeoutMs = static_cast<uint32_t>(value) * MS_PER_SECOND;
            break;
         case FOR_KEY:
            value = strtol(args.value(), &end, 10);
            if (*end != 0 || value < 1 || value > MAX_DEBUG_SECONDS)
               return args.fail("--for needs seconds from 1 to %ld", MAX_DEBUG_SECONDS);
            call.debugSeconds = value;
            break;
         case OUTPUT_KEY: call.outputDir = args.value(); break;
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() < 2)
      return args.usage();
   call.target = args.operand(0);
   call.command = args.operand(1);
   for (int i = 2; i < args.operandCount(); i++)
      call.args.push_back(args.operand(i));
   if (call.debugSeconds > 0 && call.command != "debug")
      return args.fail("--for belongs to the debug command");
   std::string host, tag;
   uint16_t port = 0;
   long level = 0;
   if (!ParseTarget(call.target, &host, &port))
      return args.fail("\"%s\" is not HOST:PORT", call.target);
   if (!ArgumentsFit(call.command, call.args.size()))
      return args.fail("unknown command \"%s\" or wrong number of arguments", call.command.c_str());
   if (call.command == "debug" && !ParseDebugSetting(call.args[0], &tag, &level))
      return args.fail("debug needs TAG=LEVEL with a level from 0 to 9");
   int code = call.run();
   if (code == -1)
      return args.fail("wrong arguments for %s (or HOST:PORT)", call.command.c_str());
   if (code == -2)
      return args.fail("unknown command \"%s\"", call.command.c_str());
   return code;
}
