/* qvtool send-file and receive-file: one file from one machine to another over QVCP.
 *
 * The sender connects, asks the receiver for its protocol version, announces the file in
 * a CMD_UPLOAD_FILE message (its name and size), sends it with SendFileOverQVCP and waits
 * for CMD_REQUEST_COMPLETED. The receiver accepts one connection, answers the version
 * probe, writes the CMD_FILE_DATA messages (restoring stream-compressed frames) into its
 * directory under the announced name, and answers with the result. Both draw a progress
 * bar on a terminal. */
#include "qvtool.h"

#include <netinet/in.h>
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

/* Characters of the progress bar, and the least time between two redraws. */
constexpr int BAR_WIDTH = 40;
constexpr int64_t REDRAW_MS = 100;

constexpr double MIB = 1024.0 * 1024.0;
constexpr double MS_PER_SECOND = 1000.0;

/* A bar on standard error when it is a terminal; otherwise only the final line. Without
 * a total (a compressed stream, whose size is known only at its end) it counts bytes. */
class ProgressBar
{
   const char *m_label;
   int64_t m_total;
   int64_t m_start;
   int64_t m_lastDraw = 0;
   bool m_terminal;

public:
   ProgressBar(const char *label, int64_t total)
       : m_label(label), m_total(total), m_start(GetCurrentTimeMs()), m_terminal(isatty(STDERR_FILENO) != 0)
   {}

   void update(int64_t done, bool force = false)
   {
      int64_t now = GetCurrentTimeMs();
      if (!m_terminal || (!force && now - m_lastDraw < REDRAW_MS))
         return;
      m_lastDraw = now;
      if (m_total <= 0)
      {
         fprintf(stderr, "\r%s %.1f MiB", m_label, double(done) / MIB);
      }
      else
      {
         double fraction = double(done) / double(m_total);
         fraction = (fraction > 1.0) ? 1.0 : fraction;
         int filled = int(fraction * BAR_WIDTH);
         fprintf(stderr, "\r%s [%.*s%*s] %3d%% %.1f MiB", m_label, filled, "########################################",
                 BAR_WIDTH - filled, "", int(fraction * 100), double(done) / MIB);
      }
      fflush(stderr);
   }

   /* Ends the bar and prints what moved: the file's bytes and those on the wire. */
   void finish(int64_t fileBytes, int64_t wireBytes)
   {
      if (m_terminal)
      {
         update((m_total > 0) ? m_total : wireBytes, true);
         fputc('\n', stderr);
      }
      double seconds = double(GetCurrentTimeMs() - m_start) / MS_PER_SECOND;
      printf("%s %lld bytes (%lld on the wire, ratio %.2f) in %.2f s, %.1f MiB/s\n", m_label, (long long)fileBytes,
             (long long)wireBytes, (wireBytes > 0) ? double(fileBytes) / double(wireBytes) : 1.0, seconds,
             (seconds > 0) ? double(fileBytes) / MIB / seconds : 0.0);
   }
};

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

struct SendProgressState
{
   ProgressBar bar;
   int64_t wireBytes = 0;
};

void RecordSendProgress(int64_t bytesSent, void *arg)
{
   SendProgressState *state = static_cast<SendProgressState *>(arg);
   state->wireBytes = bytesSent;
   state->bar.update(bytesSent);
}

const CommandOption SEND_OPTIONS[] = {
    {"compress", required_argument, 'c', "METHOD", "compress the data stream with lz4 or deflate"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SEND_SYNTAX = {
    "send-file", "HOST:PORT FILE [--compress lz4|deflate]", "send a file over QVCP", SEND_OPTIONS, false, nullptr};

const CommandSyntax RECEIVE_SYNTAX = {"receive-file",
                                      "PORT DIR  (PORT 0: any free port)",
                                      "receive one file sent with send-file into DIR",
                                      nullptr,
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
   // With compression the callback counts compressed bytes, which the file size cannot
   // measure.
   SendProgressState progress = {ProgressBar((method == STREAM_COMPRESSION_NONE) ? "sent" : "sent, compressed,",
                                             (method == STREAM_COMPRESSION_NONE) ? fileSize : 0)};
   bool sent = SendFileOverQVCP(c.s, TRANSFER_ID, path, nullptr, 0, RecordSendProgress, &progress, nullptr, method);
   free(path);
   free(name);
   if (!sent)
   {
      fprintf(stderr, "\nqvtool send-file: the transfer failed\n");
      return 1;
   }
   progress.bar.finish(fileSize, progress.wireBytes);

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

/* The file being received: where it goes, how much came, and the decompressor of its
 * stream when it is compressed. */
struct IncomingFile
{
   std::string path;
   FILE *out = nullptr;
   int64_t size = 0;
   int64_t written = 0;
   int64_t wireBytes = 0;
   StreamCompressor *decompressor = nullptr;

   ~IncomingFile()
   {
      delete decompressor;
      if (out != nullptr)
      {
         fclose(out);
         remove(path.c_str());  // only an unfinished file is still open here
      }
   }

   /* Writes the data of one CMD_FILE_DATA message; false when it cannot be restored or
    * written. */
   bool write(const uint8_t *raw)
   {
      uint16_t flags = uint16_t(raw[2] << 8 | raw[3]);
      size_t length = size_t(raw[12]) << 24 | size_t(raw[13]) << 16 | size_t(raw[14]) << 8 | raw[15];
      const uint8_t *data = raw + QVCP_HEADER_SIZE;
      wireBytes += int64_t(length);
      if ((flags & QVCP_MF_COMPRESSED) != 0)
      {
         if (length < QVCP_FILE_FRAME_HEADER_SIZE)
            return false;
         if (decompressor == nullptr)
            decompressor = StreamCompressor::create(QVCPStreamCompressionMethod(data[0]), false, QVCP_FILE_CHUNK_SIZE);
         const uint8_t *block = nullptr;
         size_t restored = (decompressor != nullptr)
                               ? decompressor->decompress(data + QVCP_FILE_FRAME_HEADER_SIZE,
                                                          length - QVCP_FILE_FRAME_HEADER_SIZE, &block)
                               : 0;
         if (block == nullptr || restored != size_t(data[2] << 8 | data[3]))
            return false;
         data = block;
         length = restored;
      }
      written += int64_t(length);
      return length == 0 || fwrite(data, 1, length, out) == length;
   }
};

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

/* The announced name when it is a plain file name (no directory part, not "." or ".."). */
bool SafeName(const std::string &name)
{
   return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int Reply(Connection *c, uint32_t result)
{
   QVCPMessage reply(CMD_REQUEST_COMPLETED, TRANSFER_ID);
   reply.setField(FIELD_RESULT, result);
   c->send(reply);
   return (result == RESULT_OK) ? 0 : 1;
}

/* Takes the announcement in c's buffer: the file to create in dir. */
bool Announced(Connection *c, const char *dir, IncomingFile *file)
{
   QVCPMessage *m = QVCPMessage::deserialize(c->msg, c->size, QVCP_DEFAULT_VERSION);
   char *name = (m != nullptr) ? m->getFieldAsUtf8String(FIELD_FILE_NAME) : nullptr;
   bool ok = name != nullptr && SafeName(name);
   if (ok)
   {
      file->size = m->getFieldAsInt64(FIELD_FILE_SIZE);
      file->path = std::string(dir) + "/" + name;
      file->out = fopen(file->path.c_str(), "wb");
      ok = file->out != nullptr;
      if (ok)
         printf("receiving %s (%lld bytes)\n", name, (long long)file->size);
      else
         fprintf(stderr, "qvtool receive-file: %s: cannot create the file\n", file->path.c_str());
   }
   else
   {
      fprintf(stderr, "qvtool receive-file: the sender announced no usable file name\n");
   }
   free(name);
   delete m;
   return ok;
}

}  // namespace

int CommandReceiveFile(int argc, char **argv)
{
   CommandLine args(RECEIVE_SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   argv = args.operands();
   int port = (args.operandCount() == 2) ? atoi(argv[0]) : -1;
   if (port < 0 || port > 65535)
      return args.usage();
   int bound = 0;
   SOCKET listener = Listen(port, &bound);
   if (listener == INVALID_SOCKET)
   {
      fprintf(stderr, "qvtool receive-file: cannot listen on port %d\n", port);
      return 1;
   }
   printf("listening on port %d\n", bound);
   fflush(stdout);
   Connection c;
   c.s = accept(listener, nullptr, nullptr);
   close(listener);
   if (c.s == INVALID_SOCKET)
   {
      fprintf(stderr, "qvtool receive-file: accept failed\n");
      return 1;
   }

   IncomingFile file;
   ProgressBar *bar = nullptr;
   int result = 1;
   for (;;)
   {
      int rc = c.receive();
      if (rc < int(QVCP_HEADER_SIZE))
      {
         fprintf(stderr, "\nqvtool receive-file: %s\n", ReceiveFailure(rc));
         break;
      }
      uint16_t code = c.code();
      const uint8_t *raw = reinterpret_cast<const uint8_t *>(c.msg);
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
         SendEx(c.s, caps, sizeof(caps), 0, nullptr);
      }
      else if (code == CMD_UPLOAD_FILE && file.out == nullptr)
      {
         if (!Announced(&c, argv[1], &file))
         {
            result = Reply(&c, RESULT_FAILED);
            break;
         }
         bar = new ProgressBar("received", file.size);
      }
      else if (code == CMD_FILE_DATA && file.out != nullptr)
      {
         if (!file.write(raw))
         {
            fprintf(stderr, "\nqvtool receive-file: broken file data\n");
            result = Reply(&c, RESULT_FAILED);
            break;
         }
         bar->update(file.written);
         if ((raw[3] & QVCP_MF_END_OF_FILE) != 0)
         {
            bool closed = fclose(file.out) == 0;
            file.out = nullptr;
            bar->finish(file.written, file.wireBytes);
            printf("stored %s\n", file.path.c_str());
            result = Reply(&c, closed ? RESULT_OK : RESULT_FAILED);
            break;
         }
      }
      else if (code == CMD_ABORT_FILE_TRANSFER)
      {
         fprintf(stderr, "\nqvtool receive-file: the sender aborted the transfer\n");
         break;
      }
   }
   delete bar;
   return result;
}
