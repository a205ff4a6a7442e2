/* qvtool send-file and receive-file: one file from one machine to another over QVCP.
 *
 * The sender connects, asks the receiver for its protocol version, announces the file in
 * a CMD_UPLOAD_FILE message (its name and size), sends it with SendFileOverQVCP and waits
 * for CMD_REQUEST_COMPLETED. The receiver accepts a connection, answers the version
 * probe, takes the file with the library's file receiver (exactly the announced size,
 * stored under the announced name only when complete, an existing name refused unless
 * --overwrite) and answers with the result; with --keep it serves the next sender after
 * a failed one. Names are printed escaped. Both show a progress line on a terminal. */
#include "qvtool.h"

#include "progress.h"

#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

/* Fields of the announcement and of the reply. */
constexpr uint32_t FIELD_FILE_NAME = 1;
constexpr uint32_t FIELD_FILE_SIZE = 2;
constexpr uint32_t FIELD_RESULT = 3;

/* Results in the reply. */
constexpr uint32_t RESULT_OK = 0;
constexpr uint32_t RESULT_FAILED = 1;

/* Request id of the transfer. */
constexpr uint32_t TRANSFER_ID = 1;

/* Milliseconds to connect, and to wait for each piece of a message. */
constexpr uint32_t CONNECT_TIMEOUT = 10000;
constexpr uint32_t RECEIVE_TIMEOUT = 60000;

/* Largest message the tools accept, beyond any data message of a transfer. */
constexpr uint32_t MAX_MESSAGE_SIZE = 1 << 20;

constexpr double MIB = 1024.0 * 1024.0;

/* "sent 700001 bytes (312345 on the wire, ratio 2.24) in 0.05 s, 13.4 MiB/s": what a
 * finished transfer moved, for the summary line. */
std::string TransferSummary(const char *verb, int64_t fileBytes, int64_t wireBytes, double seconds)
{
   char text[256];
   snprintf(text, sizeof(text), "%s %lld bytes (%lld on the wire, ratio %.2f) in %.2f s, %.1f MiB/s", verb,
            static_cast<long long>(fileBytes), static_cast<long long>(wireBytes),
            (wireBytes > 0) ? double(fileBytes) / double(wireBytes) : 1.0, seconds,
            (seconds > 0) ? double(fileBytes) / MIB / seconds : 0.0);
   return text;
}

/* Receive state of one connection. */
struct Connection
{
   SOCKET s = INVALID_SOCKET;
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   uint32_t size = QVCP_HEADER_SIZE;
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(malloc(QVCP_HEADER_SIZE));

   Connection() { QVCPInitBuffer(buffer); }
   ~Connection()
   {
      free(buffer);
      free(msg);
      if (s != INVALID_SOCKET)
         close(s);
   }
   /* The next message's size, or the receive result below 16. */
   int receive()
   {
      return RecvQVCPMessageEx(s, &msg, buffer, &size, nullptr, nullptr, RECEIVE_TIMEOUT, MAX_MESSAGE_SIZE);
   }
   bool send(const QVCPMessage &m)
   {
      QVCP_MESSAGE *raw = m.serialize();
      bool ok = raw != nullptr && SendEx(s, raw, WireSize(raw), 0, nullptr) > 0;
      free(raw);
      return ok;
   }
   static uint32_t WireSize(const QVCP_MESSAGE *raw)
   {
      const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
      return uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7];
   }
   uint16_t code() const
   {
      const uint8_t *p = reinterpret_cast<const uint8_t *>(msg);
      return uint16_t(p[0] << 8 | p[1]);
   }
};

const char *ReceiveFailure(int rc)
{
   switch (rc)
   {
      case QVCP_RECV_CLOSED: return "the peer closed the connection";
      case QVCP_RECV_TIMEOUT: return "the peer did not send in time";
      case QVCP_RECV_TOO_LARGE: return "a message was too large";
      case QVCP_RECV_DECRYPTION_FAILED: return "an encrypted message came";
      default: return "the connection failed";
   }
}

/* The sender's line counts file bytes read, so that a compressed transfer shows its share
 * of the file; the summary tells the wire bytes as well. */
struct SendProgressState
{
   ProgressLine line;
   int64_t fileBytes = 0;
   int64_t wireBytes = 0;
};

void RecordSendProgress(int64_t fileBytesSent, int64_t, int64_t wireBytesSent, void *arg)
{
   SendProgressState *state = static_cast<SendProgressState *>(arg);
   state->fileBytes = fileBytesSent;
   state->wireBytes = wireBytesSent;
   state->line.update(fileBytesSent);
}

const CommandOption SEND_OPTIONS[] = {
    {"compress", required_argument, 'c', "METHOD", "compress the data stream with lz4 or deflate"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SEND_SYNTAX = {
    "send-file", "HOST:PORT FILE [--compress lz4|deflate]", "send a file over QVCP", SEND_OPTIONS, false, nullptr};

enum ReceiveKey
{
   OVERWRITE_KEY = LONG_OPTION_KEY,
   KEEP_KEY,
   DEADLINE_KEY,
};

const CommandOption RECEIVE_OPTIONS[] = {
    {"overwrite", no_argument, OVERWRITE_KEY, nullptr, "replace a file of the same name in DIR"},
    {"keep", no_argument, KEEP_KEY, nullptr, "after a failed transfer, wait for the next sender"},
    {"deadline", required_argument, DEADLINE_KEY, "SECONDS", "give up on a transfer after this long (3600)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax RECEIVE_SYNTAX = {"receive-file",
                                      "[--overwrite] [--keep] [--deadline SECONDS] PORT DIR  (PORT 0: any free port)",
                                      "receive one file sent with send-file into DIR",
                                      RECEIVE_OPTIONS,
                                      false,
                                      nullptr};

}  // namespace

int CommandSendFile(int argc, char **argv)
{
   QVCPStreamCompressionMethod method = STREAM_COMPRESSION_NONE;
   CommandLine args(SEND_SYNTAX, argc, argv);
   while (args.next())
   {
      if (args.key() == 'c' && !strcmp(args.value(), "lz4"))
         method = STREAM_COMPRESSION_LZ4;
      else if (args.key() == 'c' && !strcmp(args.value(), "deflate"))
         method = STREAM_COMPRESSION_DEFLATE;
      else
         return args.usage();
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 2)
      return args.usage();
   argv = args.operands();

   std::string target = argv[0];
   size_t colon = target.rfind(':');
   int port = (colon != std::string::npos) ? atoi(target.c_str() + colon + 1) : 0;
   if (colon == std::string::npos || port <= 0 || port > 65535)
      return args.usage();
   std::string host = target.substr(0, colon);
   if (host.size() > 2 && host.front() == '[' && host.back() == ']')
      host = host.substr(1, host.size() - 2);
   InetAddress addr = InetAddress::resolveHostName(host.c_str());
   FILE *file = fopen(argv[1], "rb");
   if (file == nullptr)
   {
      fprintf(stderr, "qvtool send-file: %s: cannot open the file\n", argv[1]);
      return 1;
   }
   fseek(file, 0, SEEK_END);
   int64_t fileSize = ftell(file);
   fclose(file);
   if (!addr.isValid())
   {
      fprintf(stderr, "qvtool send-file: cannot resolve \"%s\"\n", host.c_str());
      return 1;
   }

   Connection c;
   c.s = ConnectToHost(addr, uint16_t(port), CONNECT_TIMEOUT);
   if (c.s == INVALID_SOCKET)
   {
      fprintf(stderr, "qvtool send-file: cannot connect to %s\n", argv[0]);
      return 1;
   }
   int version = 0;
   if (!QVCPGetPeerProtocolVersion(c.s, &version, nullptr))
   {
      fprintf(stderr, "qvtool send-file: the receiver does not answer\n");
      return 1;
   }
   printf("receiver speaks protocol version %d\n", version);

   const char *base = strrchr(argv[1], '/');
   QVCPMessage announce(CMD_UPLOAD_FILE, TRANSFER_ID);
   wchar_t *name = WideStringFromUTF8String((base != nullptr) ? base + 1 : argv[1]);
   announce.setField(FIELD_FILE_NAME, name);
   announce.setField(FIELD_FILE_SIZE, fileSize);
   if (!c.send(announce))
   {
      free(name);
      fprintf(stderr, "qvtool send-file: cannot announce the file\n");
      return 1;
   }
   wchar_t *path = WideStringFromUTF8String(argv[1]);
   SendProgressState progress = {ProgressLine("send-file", fileSize)};
   bool sent = SendFileOverQVCPEx(c.s, TRANSFER_ID, path, nullptr, 0, RecordSendProgress, &progress, nullptr, method);
   free(path);
   free(name);
   if (!sent)
   {
      progress.line.fail();
      fprintf(stderr, "qvtool send-file: the transfer failed; check the receiver's messages and send again\n");
      return 1;
   }
   progress.line.finish(
       TransferSummary("sent", progress.fileBytes, progress.wireBytes, progress.line.elapsedSeconds()).c_str());

   int rc = c.receive();
   if (rc < int(QVCP_HEADER_SIZE) || c.code() != CMD_REQUEST_COMPLETED)
   {
      fprintf(stderr, "qvtool send-file: no answer from the receiver: %s\n",
              (rc < int(QVCP_HEADER_SIZE)) ? ReceiveFailure(rc) : "unexpected message");
      return 1;
   }
   QVCPMessage *reply = QVCPMessage::deserialize(c.msg, c.size, QVCP_DEFAULT_VERSION);
   uint32_t result = (reply != nullptr) ? reply->getFieldAsUInt32(FIELD_RESULT) : RESULT_FAILED;
   delete reply;
   if (result != RESULT_OK)
   {
      fprintf(stderr, "qvtool send-file: the receiver could not store the file\n");
      return 1;
   }
   printf("the receiver stored the file\n");
   return 0;
}

namespace {

/* How long a finished receiver keeps reading what the sender still sends, so that the
 * sender reads the reply instead of a reset connection; and at most how much it reads. */
constexpr int LINGER_MS = 2000;
constexpr size_t LINGER_MAX_BYTES = 4 * 1024 * 1024;

constexpr int MS_PER_SECOND_INT = 1000;

/* Longest --deadline, in seconds, that fits the library's millisecond limit. */
constexpr long MAX_DEADLINE_SECONDS = 4000000;

static_assert(QVCP_FILE_RECEIVE_DEADLINE == 3600 * MS_PER_SECOND_INT, "the help of --deadline tells the default");

/* Code points above the control ranges that still change how a terminal shows the text
 * around them (zero-width and direction marks, embeddings, isolates, the byte order mark). */
bool IsInvisibleFormat(wchar_t c)
{
   return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

/* The name as UTF-8 that a terminal shows as it is: a backslash is doubled, control
 * characters become \xHH, invisible format characters, surrogates and values beyond
 * Unicode \uHHHH or \UHHHHHHHH; everything else stays. */
std::string Escaped(const wchar_t *name)
{
   std::string out;
   if (name == nullptr)
      return out;
   for (const wchar_t *p = name; *p != 0; p++)
   {
      uint32_t c = static_cast<uint32_t>(*p);
      char piece[16];
      if (c == '\\')
         out += "\\\\";
      else if (c < 0x20 || (c >= 0x7F && c <= 0x9F))
         snprintf(piece, sizeof(piece), "\\x%02X", c), out += piece;
      else if (IsInvisibleFormat(wchar_t(c)) || (c >= 0xD800 && c <= 0xDFFF))
         snprintf(piece, sizeof(piece), "\\u%04X", c), out += piece;
      else if (c > 0x10FFFF)
         snprintf(piece, sizeof(piece), "\\U%08X", c), out += piece;
      else
      {
         wchar_t one[2] = {wchar_t(c), 0};
         char *utf8 = UTF8StringFromWideString(one);
         out += (utf8 != nullptr) ? utf8 : "?";
         free(utf8);
      }
   }
   return out;
}

/* A socket listening on every address (IPv6 and IPv4 where the system allows both) at
 * port, or INVALID_SOCKET; *bound gets the port in use (the system's choice for 0). */
SOCKET Listen(int port, int *bound)
{
   SOCKET s = socket(AF_INET6, SOCK_STREAM, 0);
   bool v6 = s != INVALID_SOCKET;
   if (!v6)
      s = socket(AF_INET, SOCK_STREAM, 0);
   if (s == INVALID_SOCKET)
      return INVALID_SOCKET;
   int on = 1, off = 0;
   setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
   if (v6)
      setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
   sockaddr_storage addr = {};
   socklen_t len;
   if (v6)
   {
      sockaddr_in6 *a = reinterpret_cast<sockaddr_in6 *>(&addr);
      a->sin6_family = AF_INET6;
      a->sin6_port = htons(uint16_t(port));
      len = sizeof(*a);
   }
   else
   {
      sockaddr_in *a = reinterpret_cast<sockaddr_in *>(&addr);
      a->sin_family = AF_INET;
      a->sin_port = htons(uint16_t(port));
      len = sizeof(*a);
   }
   if (bind(s, reinterpret_cast<sockaddr *>(&addr), len) != 0 || listen(s, 1) != 0 ||
       getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
   {
      close(s);
      return INVALID_SOCKET;
   }
   *bound = ntohs(v6 ? reinterpret_cast<sockaddr_in6 *>(&addr)->sin6_port
                     : reinterpret_cast<sockaddr_in *>(&addr)->sin_port);
   return s;
}

void Reply(Connection *c, uint32_t result)
{
   QVCPMessage reply(CMD_REQUEST_COMPLETED, TRANSFER_ID);
   reply.setField(FIELD_RESULT, result);
   c->send(reply);
}

/* Ends the sending side and reads on until the sender closes, for a while at most: a
 * close with unread bytes would reset the connection and could take the reply with it. */
void Linger(SOCKET s)
{
   shutdown(s, SHUT_WR);
   int64_t until = GetCurrentTimeMs() + LINGER_MS;
   char chunk[4096];
   size_t drained = 0;
   for (int64_t now = GetCurrentTimeMs(); now < until && drained < LINGER_MAX_BYTES; now = GetCurrentTimeMs())
   {
      pollfd p = {s, POLLIN, 0};
      if (poll(&p, 1, int(until - now)) != 1)
         break;
      ssize_t n = recv(s, chunk, sizeof(chunk), 0);
      if (n <= 0)
         break;
      drained += size_t(n);
   }
}

/* What the handler of one sender's connection needs. */
struct Session
{
   Connection *c = nullptr;
   const wchar_t *dir = nullptr;
   std::string name;  // escaped, once announced
   ProgressLine *line = nullptr;
};

/* Messages besides the file's data: version probes are answered, the first announcement
 * opens the receiver; anything else counts against the cap of messages without data. */
QVCPFileReceiveResult Handle(QVCPFileReceiver *receiver, const QVCP_MESSAGE *msg, uint32_t size, void *arg)
{
   Session *session = static_cast<Session *>(arg);
   const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
   uint16_t code = uint16_t(raw[0] << 8 | raw[1]);
   if (code == CMD_GET_QVCP_CAPS)
   {
      uint8_t caps[QVCP_HEADER_SIZE] = {0,
                                        uint8_t(CMD_QVCP_CAPS),
                                        0,
                                        QVCP_MF_CONTROL,
                                        0,
                                        0,
                                        0,
                                        QVCP_HEADER_SIZE,
                                        0,
                                        0,
                                        0,
                                        0,
                                        uint8_t(QVCP_DEFAULT_VERSION),
                                        0,
                                        0,
                                        0};
      SendEx(session->c->s, caps, sizeof(caps), 0, nullptr);
      return FILERECV_MORE_DATA;
   }
   if (code != CMD_UPLOAD_FILE || receiver->getResult() != FILERECV_INVALID_STATE)
      return FILERECV_MORE_DATA;
   QVCPMessage *m = QVCPMessage::deserialize(msg, size, QVCP_DEFAULT_VERSION);
   wchar_t *name = (m != nullptr) ? m->getFieldAsString(FIELD_FILE_NAME) : nullptr;
   int64_t fileSize = (m != nullptr) ? m->getFieldAsInt64(FIELD_FILE_SIZE) : 0;
   delete m;
   session->name = Escaped(name);
   printf("receiving %s (%lld bytes)\n", session->name.c_str(), (long long)fileSize);
   fflush(stdout);
   QVCPFileReceiveResult result = receiver->open(session->dir, name, fileSize);
   free(name);
   if (result == FILERECV_MORE_DATA)
      session->line = new ProgressLine("receive-file", fileSize);
   return result;
}

void RecordReceiveProgress(int64_t bytesWritten, void *arg)
{
   ProgressLine *line = static_cast<Session *>(arg)->line;
   if (line != nullptr)
      line->update(bytesWritten);
}

/* Serves one sender on s: true when its file was stored. */
bool ServeSender(SOCKET s, const wchar_t *dir, const char *dirText, uint32_t flags, uint32_t deadline)
{
   Connection c;
   c.s = s;
   QVCPFileReceiver receiver(TRANSFER_ID, flags);
   receiver.setLimits(RECEIVE_TIMEOUT, deadline, QVCP_FILE_MAX_IDLE_MESSAGES);
   Session session;
   session.c = &c;
   session.dir = dir;
   QVCPFileReceiveResult result =
       ReceiveFileOverQVCP(c.s, c.buffer, &receiver, nullptr, Handle, &session, RecordReceiveProgress, &session);
   if (result == FILERECV_SUCCESS)
   {
      session.line->finish(TransferSummary("received", receiver.getBytesWritten(), receiver.getWireBytes(),
                                           session.line->elapsedSeconds())
                               .c_str());
      printf("stored %s/%s\n", dirText, session.name.c_str());
   }
   else
   {
      if (session.line != nullptr)
         session.line->fail();
      char *why = UTF8StringFromWideString(QVCPFileReceiver::resultToDescription(result));
      fprintf(stderr, "qvtool receive-file: %s%s%s\n", session.name.c_str(), session.name.empty() ? "" : ": ",
              (why != nullptr) ? why : "failed");
      free(why);
   }
   delete session.line;
   if (result != FILERECV_CLOSED && result != FILERECV_COMM_FAILURE)
   {
      Reply(&c, (result == FILERECV_SUCCESS) ? RESULT_OK : RESULT_FAILED);
      fflush(stdout);
      Linger(c.s);
   }
   return result == FILERECV_SUCCESS;
}

}  // namespace

int CommandReceiveFile(int argc, char **argv)
{
   uint32_t flags = 0;
   bool keep = false;
   long deadlineSeconds = QVCP_FILE_RECEIVE_DEADLINE / MS_PER_SECOND_INT;
   CommandLine args(RECEIVE_SYNTAX, argc, argv);
   while (args.next())
   {
      switch (args.key())
      {
         case OVERWRITE_KEY: flags |= QVCP_FILE_OVERWRITE; break;
         case KEEP_KEY: keep = true; break;
         case DEADLINE_KEY:
         {
            char *end = nullptr;
            deadlineSeconds = strtol(args.value(), &end, 10);
            if (*args.value() == 0 || *end != 0 || deadlineSeconds <= 0 || deadlineSeconds > MAX_DEADLINE_SECONDS)
               return args.fail("%s needs a number of seconds from 1 to %ld", args.optionText(), MAX_DEADLINE_SECONDS);
            break;
         }
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   char *end = nullptr;
   long port = (args.operandCount() == 2) ? strtol(args.operand(0), &end, 10) : -1;
   if (port < 0 || port > 65535 || end == nullptr || *end != 0 || *args.operand(0) == 0)
      return args.usage();
   const char *dirText = args.operand(1);
   int bound = 0;
   SOCKET listener = Listen(int(port), &bound);
   if (listener == INVALID_SOCKET)
   {
      fprintf(stderr, "qvtool receive-file: cannot listen on port %ld\n", port);
      return 1;
   }
   printf("listening on port %d\n", bound);
   fflush(stdout);
   wchar_t *dir = WideStringFromUTF8String(dirText);
   bool stored = false;
   do
   {
      SOCKET s = accept(listener, nullptr, nullptr);
      if (s == INVALID_SOCKET)
      {
         fprintf(stderr, "qvtool receive-file: accept failed\n");
         break;
      }
      stored = ServeSender(s, dir, dirText, flags, uint32_t(deadlineSeconds * MS_PER_SECOND_INT));
      fflush(stdout);
   } while (!stored && keep);
   free(dir);
   close(listener);
   return stored ? 0 : 1;
}
