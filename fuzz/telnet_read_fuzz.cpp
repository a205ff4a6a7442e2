/* Fuzz target for the Telnet client's reader: random server bytes in random splits, read
 * through a TelnetConnection over a socket pair with read, readLine and waitForText
 * (never waiting: every time-out is 0). The input is a list of chunks, each a control
 * byte (its low five bits: chunk length - 1; the next two bits: which call reads it; the
 * top bit: a small read size) and the chunk's bytes. Checks: results within the sizes
 * asked for, no zero byte ever returned as data, and every answer the client sends is a
 * whole negotiation reply (IAC, verb, option). */
#include <qorvel.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

volatile int g_sink;

/* Reads of one chunk are repeated until nothing is left, at most this often. */
constexpr int MAX_READS_PER_CHUNK = 64;

void Check(bool condition)
{
   if (!condition)
      abort();
}

/* A Telnet connection on a socket the harness made. */
class PairedTelnet : public TelnetConnection
{
public:
   explicit PairedTelnet(SOCKET s) { m_socket = s; }
};

/* Reads what the client sent back; every answer is IAC, a verb, an option. *received
 * counts the answer bytes of the input so far. */
void CheckAnswers(int server, size_t *received)
{
   unsigned char answers[4096];
   ssize_t n;
   while ((n = recv(server, answers, sizeof(answers), MSG_DONTWAIT)) > 0)
   {
      for (ssize_t i = 0; i < n; i++, ++*received)
      {
         size_t at = *received % 3;
         if (at == 0)
            Check(answers[i] == 255);
         else if (at == 1)
            Check(answers[i] >= 251 && answers[i] <= 254);
      }
   }
   g_sink = static_cast<int>(*received);
}

void CheckData(const char *data, int count, int size)
{
   Check(count <= size);
   for (int i = 0; i < count; i++)
      Check(data[i] != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   int pair[2];
   if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
      return 0;
   fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
   PairedTelnet *telnet = new PairedTelnet(pair[0]);
   int server = pair[1];

   size_t received = 0;
   size_t pos = 0;
   while (pos < size)
   {
      uint8_t control = data[pos++];
      size_t length = (control & 0x1F) + 1u;
      if (length > size - pos)
         length = size - pos;
      if (length > 0 && send(server, data + pos, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length))
         break;
      pos += length;

      int readSize = (control & 0x80) ? 2 : 64;
      char buffer[64];
      for (int i = 0; i < MAX_READS_PER_CHUNK; i++)
      {
         int rc;
         switch ((control >> 5) & 3)
         {
            case 0:
            case 1:
               rc = telnet->read(buffer, readSize, 0);
               Check(rc == -2 || rc > 0);
               if (rc > 0)
                  CheckData(buffer, rc, readSize);
               break;
            case 2:
               rc = telnet->readLine(buffer, readSize, 0);
               Check(rc >= 0 && rc < readSize && buffer[rc] == 0);
               CheckData(buffer, rc, readSize - 1);
               break;
            default: rc = telnet->waitForText("ogin:", 0) ? 1 : -2; break;
         }
         CheckAnswers(server, &received);
         g_sink = rc;
         if (rc == -2 || rc == 0)
            break;
      }
   }
   // Answers go out whole.
   CheckAnswers(server, &received);
   Check(received % 3 == 0);
   delete telnet;  // closes pair[0]
   close(server);
   return 0;
}
