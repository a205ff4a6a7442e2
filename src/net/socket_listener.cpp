/* SocketListener: the TCP accept loop over one IPv4 and one IPv6 socket. */
#include <qv_net.h>
#include <qv_log.h>
#include <qv_platform.h>

#include "platform/resolver.h"
#include "platform/sleep.h"
#include "platform/socket.h"

#include <stdlib.h>

using namespace qv::platform;

namespace {

/* Longest wait for a connection before the stop flag is looked at again. */
constexpr uint32_t WAIT_MS = 1000;

/* Pauses after a failed accept and after a failed wait. */
constexpr uint32_t ACCEPT_ERROR_PAUSE_MS = 500;
constexpr uint32_t WAIT_ERROR_PAUSE_MS = 100;

/* Failed accepts in a row after which the series is reported and starts over. */
constexpr uint32_t ACCEPT_ERROR_SERIES_LIMIT = 1000;

/* Room for the peer's socket address. */
constexpr int PEER_ADDRESS_BYTES = 128;

/* Room for the text of a socket error. */
constexpr size_t ERROR_TEXT_CHARS = 256;

/* A listen address that stands for every local address. */
bool IsAnyAddress(const wchar_t *address)
{
   return address == nullptr || address[0] == 0 || (address[0] == L'*' && address[1] == 0);
}

/* The IPv6 loopback address ::1. */
InetAddress IPv6Loopback()
{
   static const uint8_t bytes[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
   return InetAddress(bytes, 128);
}

void CloseConnection(SOCKET s)
{
   SocketShutdown(s);
   SocketClose(s);
}

}  // namespace

SocketListener::SocketListener(uint16_t port, bool allowV4, bool allowV6)
    : m_socketV4(INVALID_SOCKET), m_socketV6(INVALID_SOCKET), m_port(port), m_listenAddress(nullptr),
      m_allowV4(allowV4), m_allowV6(allowV6), m_stop(false), m_name{0}, m_acceptErrors(0), m_acceptedConnections(0),
      m_rejectedConnections(0)
{}

SocketListener::~SocketListener()
{
   __atomic_store_n(&m_stop, true, __ATOMIC_RELEASE);
   if (m_socketV4 != INVALID_SOCKET)
      SocketClose(m_socketV4);
   if (m_socketV6 != INVALID_SOCKET)
      SocketClose(m_socketV6);
   free(m_listenAddress);
}

bool SocketListener::isConnectionAllowed(const InetAddress &peer)
{
   return true;
}

ConnectionProcessingResult SocketListener::processConnection(SOCKET s, const InetAddress &peer)
{
   return CPR_COMPLETED;
}

bool SocketListener::isStopConditionReached()
{
   return false;
}

void SocketListener::setName(const wchar_t *name)
{
   wcslcpy(m_name, (name != nullptr) ? name : L"", NAME_LENGTH + 1);
}

void SocketListener::setListenAddress(const wchar_t *address)
{
   free(m_listenAddress);
   m_listenAddress = qv_wcsdup(address);
}

void SocketListener::shutdown()
{
   __atomic_store_n(&m_stop, true, __ATOMIC_RELEASE);
}

bool SocketListener::stopRequested()
{
   return __atomic_load_n(&m_stop, __ATOMIC_ACQUIRE) || isStopConditionReached();
}

bool SocketListener::bindSocket(SOCKET s, int family, const InetAddress &address)
{
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   address.toString(text);
   if (family == QV_AF_INET)
      qvlog_debug(1, L"SocketListener/%s: Trying to bind on %s:%d", m_name, text, static_cast<int>(m_port));
   else
      qvlog_debug(1, L"SocketListener/%s: Trying to bind on [%s]:%d", m_name, text, static_cast<int>(m_port));
   SockAddrBuffer buffer;
   struct sockaddr *sa = address.fillSockAddr(&buffer, m_port);
   if (SocketBind(s, sa, SockaddrLength(family)) == 0)
      return true;
   wchar_t errorText[ERROR_TEXT_CHARS];
   qvlog_write_generic(EVENTLOG_ERROR_TYPE, L"SocketListener/%s: cannot bind %s socket (%s)", m_name,
                       (family == QV_AF_INET) ? L"IPv4" : L"IPv6", GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
   return false;
}

bool SocketListener::initialize()
{
   wchar_t errorText[ERROR_TEXT_CHARS];
   int errorV4 = 0;
   int errorV6 = 0;
   if (m_allowV4 && m_socketV4 == INVALID_SOCKET)
   {
      m_socketV4 = SocketCreateListener(QV_AF_INET);
      errorV4 = SocketLastErrorCode();
   }
   if (m_allowV6 && m_socketV6 == INVALID_SOCKET)
   {
      m_socketV6 = SocketCreateListener(QV_AF_INET6);
      errorV6 = SocketLastErrorCode();
   }
   // No socket at all is the caller's failure to handle, not a reason to end its process.
   bool noV4 = !m_allowV4 || m_socketV4 == INVALID_SOCKET;
   bool noV6 = !m_allowV6 || m_socketV6 == INVALID_SOCKET;
   if ((m_allowV4 || m_allowV6) && noV4 && noV6)
   {
      SocketSetLastErrorCode(m_allowV6 ? errorV6 : errorV4);
      qvlog_write_generic(EVENTLOG_ERROR_TYPE, L"SocketListener/%s: socket() call failed (%s)", m_name,
                          GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
      return false;
   }

   if (m_socketV4 != INVALID_SOCKET)
      SocketSetReuseAddress(m_socketV4);
   if (m_socketV6 != INVALID_SOCKET)
   {
      SocketSetReuseAddress(m_socketV6);
      SocketSetIPv6Only(m_socketV6);
   }

   InetAddress addressV4 = InetAddress::NONE;
   InetAddress addressV6 = InetAddress(static_cast<const uint8_t *>(nullptr), 128);
   if (!IsAnyAddress(m_listenAddress))
   {
      InetAddress answer = InetAddress::resolveHostName(m_listenAddress, QV_AF_INET);
      addressV4 = (answer.getFamily() == QV_AF_INET) ? answer : InetAddress::LOOPBACK;
      answer = InetAddress::resolveHostName(m_listenAddress, QV_AF_INET6);
      addressV6 = (answer.getFamily() == QV_AF_INET6) ? answer : IPv6Loopback();
   }

   bool boundV4 = false;
   bool boundV6 = false;
   if (m_allowV4 && m_socketV4 == INVALID_SOCKET)
   {
      SocketSetLastErrorCode(errorV4);
      qvlog_write_generic(EVENTLOG_ERROR_TYPE, L"SocketListener/%s: cannot bind IPv4 socket (%s)", m_name,
                          GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
   }
   else if (m_allowV4)
   {
      boundV4 = bindSocket(m_socketV4, QV_AF_INET, addressV4);
   }
   if (m_allowV6 && m_socketV6 == INVALID_SOCKET)
   {
      SocketSetLastErrorCode(errorV6);
      qvlog_write_generic(EVENTLOG_ERROR_TYPE, L"SocketListener/%s: cannot bind IPv6 socket (%s)", m_name,
                          GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
   }
   else if (m_allowV6)
   {
      boundV6 = bindSocket(m_socketV6, QV_AF_INET6, addressV6);
   }
   if (!boundV4 && !boundV6)
      return false;

   // A socket that is not bound is not listened on: listen would bind it to a port of
   // the system's choosing.
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   if (boundV4 && SocketListen(m_socketV4) == 0)
   {
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"SocketListener/%s: listening on %s:%d", m_name,
                          addressV4.toString(text), static_cast<int>(m_port));
   }
   else if (m_socketV4 != INVALID_SOCKET)
   {
      SocketClose(m_socketV4);
      m_socketV4 = INVALID_SOCKET;
   }
   if (boundV6 && SocketListen(m_socketV6) == 0)
   {
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"SocketListener/%s: listening on [%s]:%d", m_name,
                          addressV6.toString(text), static_cast<int>(m_port));
   }
   else if (m_socketV6 != INVALID_SOCKET)
   {
      SocketClose(m_socketV6);
      m_socketV6 = INVALID_SOCKET;
   }
   return true;
}

void SocketListener::mainLoop()
{
   wchar_t errorText[ERROR_TEXT_CHARS];
   uint32_t errorSeries = 0;
   bool preferV6 = false;  // which family goes first when both have connections waiting
   SocketPoller poller;
   while (!stopRequested())
   {
      poller.reset();
      if (m_socketV4 != INVALID_SOCKET)
         poller.add(m_socketV4);
      if (m_socketV6 != INVALID_SOCKET)
         poller.add(m_socketV6);
      int rc = -1;
      if (m_socketV4 == INVALID_SOCKET && m_socketV6 == INVALID_SOCKET)
         SocketSetLastError(SocketErrorKind::BAD_SOCKET);  // nothing to wait on
      else
         rc = poller.poll(WAIT_MS);
      if (rc == 0)
         continue;
      if (rc < 0)
      {
         if (SocketLastErrorIs(SocketErrorKind::INTERRUPTED))
            continue;
         qvlog_write_generic(EVENTLOG_ERROR_TYPE, L"SocketListener/%s: select() call failed (%s)", m_name,
                             GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
         qv::platform::SleepMs(WAIT_ERROR_PAUSE_MS);
         continue;
      }
      if (stopRequested())
         break;
      bool readyV4 = m_socketV4 != INVALID_SOCKET && poller.isSet(m_socketV4);
      bool readyV6 = m_socketV6 != INVALID_SOCKET && poller.isSet(m_socketV6);
      // The families take turns while both have connections waiting, so a flood on one
      // cannot starve the other.
      bool useV6 = readyV6 && (!readyV4 || preferV6);
      preferV6 = !useV6;
      acceptConnection(useV6 ? m_socketV6 : m_socketV4, &errorSeries);
   }
}

void SocketListener::acceptConnection(SOCKET listener, uint32_t *errorSeries)
{
   wchar_t errorText[ERROR_TEXT_CHARS];
   union
   {
      uint8_t bytes[PEER_ADDRESS_BYTES];
      uint64_t alignment;
   } peerAddress;
   int length = PEER_ADDRESS_BYTES;
   SOCKET s = SocketAccept(listener, peerAddress.bytes, &length);
   if (s == INVALID_SOCKET)
   {
      // The connection went away between the wait and the accept: nothing failed.
      if (SocketLastErrorIs(SocketErrorKind::WOULD_BLOCK))
         return;
      if (!SocketLastErrorIs(SocketErrorKind::INTERRUPTED))
      {
         if (*errorSeries == 0)
            qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"SocketListener/%s: accept() call failed (%s)", m_name,
                                GetLastSocketErrorText(errorText, ERROR_TEXT_CHARS));
         (*errorSeries)++;
      }
      __atomic_add_fetch(&m_acceptErrors, 1, __ATOMIC_RELAXED);
      if (*errorSeries > ACCEPT_ERROR_SERIES_LIMIT)
      {
         qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"SocketListener/%s: multiple consecutive accept() errors", m_name);
         *errorSeries = 0;
      }
      qv::platform::SleepMs(ACCEPT_ERROR_PAUSE_MS);
      return;
   }
   *errorSeries = 0;

   InetAddress peer = InetAddress::createFromSockaddr(reinterpret_cast<struct sockaddr *>(peerAddress.bytes));
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   peer.toString(text);
   qvlog_debug(5, L"SocketListener/%s: Incoming connection from %s", m_name, text);
   if (isConnectionAllowed(peer))
   {
      __atomic_add_fetch(&m_acceptedConnections, 1, __ATOMIC_RELAXED);
      qvlog_debug(5, L"SocketListener/%s: Connection from %s accepted", m_name, text);
      if (processConnection(s, peer) == CPR_COMPLETED)
         CloseConnection(s);
   }
   else
   {
      __atomic_add_fetch(&m_rejectedConnections, 1, __ATOMIC_RELAXED);
      CloseConnection(s);
      qvlog_debug(5, L"SocketListener/%s: Connection from %s rejected", m_name, text);
   }
}
