/* SocketConnection: a TCP client for line- and prompt-oriented dialogues. */
#include <qv_net.h>

#include "net/text_connection_io.h"
#include "platform/socket.h"

#include <string.h>

using namespace qv::platform;

namespace qv {
namespace net {

int ReceiveText(SOCKET s, char *buffer, int size, uint32_t timeout)
{
   if (s == INVALID_SOCKET)
   {
      SocketSetLastError(SocketErrorKind::BAD_SOCKET);
      return -1;
   }
   if (buffer == nullptr || size < 1)
   {
      SocketSetLastError(SocketErrorKind::INVALID_ARG);
      return -1;
   }
   if (timeout != 0)
   {
      bool ready;
      int rc = SocketWait(&s, &ready, 1, false, timeout);
      if (rc == 0)
      {
         SocketSetLastError(SocketErrorKind::TIMED_OUT);
         return -2;
      }
      if (rc < 0)
         return -1;
   }
   ptrdiff_t n = SocketRecvNow(s, buffer, static_cast<size_t>(size));
   if (n < 0 && SocketLastErrorIs(SocketErrorKind::WOULD_BLOCK))
      return -2;
   return static_cast<int>(n);
}

}  // namespace net
}  // namespace qv

namespace {

/* Lines up to this length go out with their CR LF in one send. */
constexpr size_t JOINED_LINE_MAX = 1022;

const char LINE_END[] = "\r\n";
constexpr size_t LINE_END_SIZE = 2;

}  // namespace

SocketConnection::SocketConnection() : m_socket(INVALID_SOCKET), m_dataLength(0)
{
   m_data[0] = 0;
}

SocketConnection::~SocketConnection()
{
   if (m_socket != INVALID_SOCKET)
      SocketClose(m_socket);
}

SocketConnection *SocketConnection::createTCPConnection(const wchar_t *host, uint16_t port, uint32_t timeout)
{
   SocketConnection *connection = new SocketConnection();
   return qv::net::KeepIfConnected(connection, connection->connectTCP(host, port, timeout));
}

bool SocketConnection::connectTCP(const wchar_t *host, uint16_t port, uint32_t timeout)
{
   InetAddress addr = InetAddress::resolveHostName(host);
   if (!addr.isValidUnicast())
      return false;
   return connectTCP(addr, port, timeout);
}

bool SocketConnection::connectTCP(const InetAddress &addr, uint16_t port, uint32_t timeout)
{
   // A connection made again replaces the old one instead of leaking its socket.
   if (m_socket != INVALID_SOCKET)
      disconnect();
   m_socket = ConnectToHost(addr, port, (timeout == 0) ? qv::net::DEFAULT_CONNECT_TIMEOUT_MS : timeout);
   return m_socket != INVALID_SOCKET;
}

bool SocketConnection::canRead(uint32_t timeout)
{
   if (m_socket == INVALID_SOCKET)
      return false;
   bool ready;
   return SocketWait(&m_socket, &ready, 1, false, timeout) > 0;
}

int SocketConnection::read(char *buffer, int size, uint32_t timeout)
{
   return qv::net::ReceiveText(m_socket, buffer, size, timeout);
}

int SocketConnection::write(const char *data, int size)
{
   if (size < 0 || (data == nullptr && size > 0))
   {
      SocketSetLastError(SocketErrorKind::INVALID_ARG);
      return -1;
   }
   return SendEx(m_socket, data, static_cast<size_t>(size), 0, nullptr);
}

bool SocketConnection::writeLine(const char *line)
{
   if (line == nullptr)
      return false;
   size_t length = strlen(line);
   if (length <= JOINED_LINE_MAX)
   {
      char joined[JOINED_LINE_MAX + LINE_END_SIZE];
      memcpy(joined, line, length);
      memcpy(joined + length, LINE_END, LINE_END_SIZE);
      size_t total = length + LINE_END_SIZE;
      return SendEx(m_socket, joined, total, 0, nullptr) == static_cast<int>(total);
   }
   if (SendEx(m_socket, line, length, 0, nullptr) <= 0)
      return false;
   return SendEx(m_socket, LINE_END, LINE_END_SIZE, 0, nullptr) > 0;
}

void SocketConnection::disconnect()
{
   if (m_socket != INVALID_SOCKET)
   {
      SocketShutdown(m_socket);
      SocketClose(m_socket);
      m_socket = INVALID_SOCKET;
   }
   m_dataLength = 0;
   m_data[0] = 0;
}

bool SocketConnection::waitForText(const char *text, uint32_t timeout)
{
   if (text == nullptr)
      return false;
   size_t n = strlen(text);
   // The text must fit in the buffer beside at least one new byte, or no read could ever
   // complete it.
   if (n > static_cast<size_t>(TEXT_BUFFER_SIZE - 1))
      return false;

   for (;;)
   {
      size_t held = static_cast<size_t>(m_dataLength);
      const char *found = static_cast<const char *>(memmem(m_data, held, text, n));
      if (found != nullptr)
      {
         size_t rest = held - static_cast<size_t>(found - m_data) - n;
         memmove(m_data, found + n, rest);
         m_dataLength = static_cast<int32_t>(rest);
         m_data[rest] = 0;
         return true;
      }
      // Only the last n - 1 bytes can be the start of the text.
      if (n > 0 && held > n - 1)
      {
         memmove(m_data, m_data + held - (n - 1), n - 1);
         held = n - 1;
         m_dataLength = static_cast<int32_t>(held);
         m_data[held] = 0;
      }

      // Take what is there first; wait only when nothing is.
      int room = TEXT_BUFFER_SIZE - 1 - static_cast<int>(held);
      int rc = read(m_data + held, room, 0);
      if (rc > 0)
      {
         held += static_cast<size_t>(rc);
         m_dataLength = static_cast<int32_t>(held);
         m_data[held] = 0;
         continue;
      }
      // A closed connection ends the wait at once, whatever the last error says.
      if (rc == 0)
         return false;
      if (rc == RECV_TIMEOUT || (rc == -1 && (SocketLastErrorIs(SocketErrorKind::WOULD_BLOCK) ||
                                              SocketLastErrorIs(SocketErrorKind::IN_PROGRESS))))
      {
         if (!canRead(timeout))
            return false;
         continue;
      }
      return false;
   }
}
