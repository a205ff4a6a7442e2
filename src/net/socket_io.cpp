/* Timed socket helpers: SendEx, RecvEx, RecvAll, ConnectEx and ConnectToHost, on the
 * platform's socket calls. */
#include <qv_net.h>
#include <qv_threads.h>

#include "platform/socket.h"
#include "sync/lock_guard.h"

#include <limits.h>

using namespace qv::platform;

namespace {

/* Longest wait for a full send buffer of a non-blocking socket to take bytes again. */
constexpr uint32_t SEND_WRITABLE_WAIT_MS = 60000;

/* Waits for one socket: 1 ready, 0 time-out (last error set to it), -1 failure. */
int WaitForSocket(SOCKET s, bool write, uint32_t timeout)
{
   bool ready;
   int rc = SocketWait(&s, &ready, 1, write, timeout);
   if (rc == 0)
      SocketSetLastError(SocketErrorKind::TIMED_OUT);
   return rc;
}

}  // namespace

int SendEx(SOCKET s, const void *data, size_t size, int flags, Mutex *mutex)
{
   if (size == 0)
      return 0;
   if (s == INVALID_SOCKET)
   {
      SocketSetLastError(SocketErrorKind::BAD_SOCKET);
      return -1;
   }
   // The result reports the whole size, so a larger buffer cannot be sent honestly.
   if (size > static_cast<size_t>(INT_MAX))
   {
      SocketSetLastError(SocketErrorKind::INVALID_ARG);
      return -1;
   }

   qv::sync::LockGuard lock(mutex);
   const char *next = static_cast<const char *>(data);
   size_t remaining = size;
   while (remaining > 0)
   {
      ptrdiff_t sent = SocketSend(s, next, remaining, flags);
      if (sent > 0)
      {
         next += sent;
         remaining -= static_cast<size_t>(sent);
         continue;
      }
      // A send that takes nothing without an error cannot make progress either.
      if (sent < 0 && SocketLastErrorIs(SocketErrorKind::WOULD_BLOCK))
      {
         int rc = WaitForSocket(s, true, SEND_WRITABLE_WAIT_MS);
         if (rc > 0)
            continue;
         return rc;
      }
      return -1;
   }
   return static_cast<int>(size);
}

int RecvEx(SOCKET s, void *buffer, size_t size, int flags, uint32_t timeout)
{
   if (s == INVALID_SOCKET)
   {
      SocketSetLastError(SocketErrorKind::BAD_SOCKET);
      return -1;
   }
   if (timeout != INFINITE && WaitForSocket(s, false, timeout) <= 0)
      return RECV_TIMEOUT;
   // One receive reports its count as an int, so it asks for no more than that holds.
   size_t request = (size > static_cast<size_t>(INT_MAX)) ? static_cast<size_t>(INT_MAX) : size;
   return static_cast<int>(SocketRecv(s, buffer, request, flags));
}

bool RecvAll(SOCKET s, void *buffer, size_t size, uint32_t timeout)
{
   if (s == INVALID_SOCKET)
   {
      SocketSetLastError(SocketErrorKind::BAD_SOCKET);
      return false;
   }
   char *next = static_cast<char *>(buffer);
   size_t remaining = size;
   while (remaining > 0)
   {
      // 0 (the peer closed), -1 and -2 all end the read: nothing more can arrive.
      int rc = RecvEx(s, next, remaining, 0, timeout);
      if (rc <= 0)
         return false;
      next += rc;
      remaining -= static_cast<size_t>(rc);
   }
   return true;
}

int ConnectEx(SOCKET s, struct sockaddr *addr, int addrLen, uint32_t timeout)
{
   if (!SocketSetNonBlocking(s))
      return -1;
   if (SocketConnect(s, addr, addrLen) != -1)
      return 0;
   if (!SocketLastErrorIs(SocketErrorKind::WOULD_BLOCK) && !SocketLastErrorIs(SocketErrorKind::IN_PROGRESS))
      return -1;

   // The connect ends by making the socket writable, with its outcome in the socket's
   // pending error.
   int rc = WaitForSocket(s, true, timeout);
   if (rc == 0)
      return -1;
   if (rc < 0)
      return rc;
   int error = 0;
   if (!SocketPendingError(s, &error))
      return -1;
   if (error != 0)
   {
      SocketSetLastErrorCode(error);
      return -1;
   }
   return 0;
}

SOCKET ConnectToHost(const InetAddress &addr, uint16_t port, uint32_t timeout)
{
   SockAddrBuffer buffer;
   struct sockaddr *sa = addr.fillSockAddr(&buffer, port);
   if (sa == nullptr)
   {
      SocketSetLastError(SocketErrorKind::INVALID_ARG);
      return INVALID_SOCKET;
   }
   SOCKET s = SocketCreateStream(addr.getFamily());
   if (s == INVALID_SOCKET)
      return INVALID_SOCKET;
   if (ConnectEx(s, sa, SockaddrLength(addr.getFamily()), timeout) < 0)
   {
      SocketClose(s);
      return INVALID_SOCKET;
   }
   return s;
}
