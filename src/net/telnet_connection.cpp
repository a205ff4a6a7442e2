/* TelnetConnection: a SocketConnection that refuses the server's option negotiation and
 * removes Telnet commands from what it reads. */
#include <qv_net.h>

#include "net/telnet_filter.h"
#include "net/text_connection_io.h"

namespace {

using namespace qv::net;

/* Sent after connecting: the client will not echo. */
const uint8_t WONT_ECHO[TELNET_NEGOTIATION_SIZE] = {TELNET_IAC, TELNET_WONT, TELNET_OPTION_ECHO};

/* Largest chunk filtered at once; a larger read is made in several. */
constexpr int CHUNK_MAX = 16384;

/* Tells the server that the client will not echo. The connection stands even when this
 * could not be sent. */
bool Announce(TelnetConnection *connection)
{
   connection->write(reinterpret_cast<const char *>(WONT_ECHO), TELNET_NEGOTIATION_SIZE);
   return true;
}

}  // namespace

TelnetConnection::TelnetConnection() {}

TelnetConnection *TelnetConnection::createConnection(const wchar_t *host, uint16_t port, uint32_t timeout)
{
   TelnetConnection *connection = new TelnetConnection();
   return KeepIfConnected(connection, connection->connect(host, port, timeout));
}

TelnetConnection *TelnetConnection::createConnection(const InetAddress &addr, uint16_t port, uint32_t timeout)
{
   TelnetConnection *connection = new TelnetConnection();
   return KeepIfConnected(connection, connection->connect(addr, port, timeout));
}

bool TelnetConnection::connect(const wchar_t *host, uint16_t port, uint32_t timeout)
{
   return connectTCP(host, port, timeout) && Announce(this);
}

bool TelnetConnection::connect(const InetAddress &addr, uint16_t port, uint32_t timeout)
{
   return connectTCP(addr, port, timeout) && Announce(this);
}

int TelnetConnection::read(char *buffer, int size, uint32_t timeout)
{
   if (size > CHUNK_MAX)
      size = CHUNK_MAX;
   for (;;)
   {
      int rc = ReceiveText(m_socket, buffer, size, timeout);
      if (rc <= 0)
         return rc;
      uint8_t replies[CHUNK_MAX];
      int replySize = 0;
      int count = FilterTelnetChunk(reinterpret_cast<uint8_t *>(buffer), rc, replies, &replySize);
      if (replySize > 0)
         write(reinterpret_cast<const char *>(replies), replySize);
      if (count > 0)
         return count;
      // Nothing but commands came: read on (a time-out of 0 takes only what is there).
   }
}

int TelnetConnection::readLine(char *buffer, int size, uint32_t timeout)
{
   if (buffer == nullptr || size < 1)
      return -1;
   int stored = 0;
   while (stored < size - 1)
   {
      char ch;
      if (read(&ch, 1, timeout) <= 0)
         break;
      if (ch == '\r' || ch == '\n')
      {
         if (stored == 0)
            continue;
         break;
      }
      buffer[stored++] = ch;
   }
   buffer[stored] = 0;
   return stored;
}
