/* The socket calls on POSIX descriptors: send/recv with MSG_NOSIGNAL, waits on poll(2)
 * (any descriptor number, no set size limit) with the time left after a signal measured
 * on the monotonic clock, and errno as the last socket error. */
#include "platform/socket.h"

#include "platform/resolver.h"
#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::platform {

static_assert(QV_AF_INET == AF_INET, "family code of the platform");

namespace {

/* Largest wait that one poll call takes (its time-out is an int). */
constexpr uint64_t POLL_MAX_WAIT_MS = INT_MAX;

/* poll's time-out value for no limit. */
constexpr int POLL_NO_LIMIT = -1;

/* Events that end a wait besides the one asked for: an error or a hang-up is reported by
 * the next call on the socket. */
constexpr short POLL_END_EVENTS = POLLERR | POLLHUP;

int ErrorCode(SocketErrorKind kind)
{
   switch (kind)
   {
      case SocketErrorKind::WOULD_BLOCK: return EWOULDBLOCK;
      case SocketErrorKind::IN_PROGRESS: return EINPROGRESS;
      case SocketErrorKind::TIMED_OUT: return ETIMEDOUT;
      case SocketErrorKind::BAD_SOCKET: return EBADF;
      case SocketErrorKind::INVALID_ARG: return EINVAL;
      case SocketErrorKind::INTERRUPTED: return EINTR;
   }
   return EINVAL;
}

}  // namespace

ptrdiff_t SocketSend(SOCKET s, const void *data, size_t size, int flags)
{
   ssize_t rc;
   do
      rc = ::send(s, data, size, flags | MSG_NOSIGNAL);
   while (rc < 0 && errno == EINTR);
   return rc;
}

ptrdiff_t SocketRecv(SOCKET s, void *buffer, size_t size, int flags)
{
   ssize_t rc;
   do
      rc = ::recv(s, buffer, size, flags);
   while (rc < 0 && errno == EINTR);
   return rc;
}

ptrdiff_t SocketRecvNow(SOCKET s, void *buffer, size_t size)
{
   return SocketRecv(s, buffer, size, MSG_DONTWAIT);
}

int SocketWait(const SOCKET *sockets, bool *ready, int count, bool write, uint32_t timeout)
{
   if (count <= 0 || count > QV_SOCKET_WAIT_MAX)
   {
      errno = EINVAL;
      return -1;
   }
   struct pollfd entries[QV_SOCKET_WAIT_MAX];
   short wanted = write ? POLLOUT : POLLIN;
   for (int i = 0; i < count; i++)
   {
      entries[i].fd = sockets[i];
      entries[i].events = wanted;
      entries[i].revents = 0;
      ready[i] = false;
   }

   uint64_t deadline = (timeout == INFINITE) ? 0 : qv::platform::MonotonicMs() + timeout;
   int rc;
   for (;;)
   {
      int wait = POLL_NO_LIMIT;
      if (timeout != INFINITE)
      {
         uint64_t now = qv::platform::MonotonicMs();
         uint64_t left = (now < deadline) ? deadline - now : 0;
         wait = static_cast<int>((left > POLL_MAX_WAIT_MS) ? POLL_MAX_WAIT_MS : left);
      }
      rc = ::poll(entries, static_cast<nfds_t>(count), wait);
      if (rc < 0 && errno == EINTR)
         continue;
      // A time-out of the largest single wait is not the end while time is left.
      if (rc == 0 && timeout != INFINITE && qv::platform::MonotonicMs() < deadline)
         continue;
      break;
   }
   if (rc <= 0)
      return rc;

   int readyCount = 0;
   for (int i = 0; i < count; i++)
   {
      if (entries[i].revents & POLLNVAL)
      {
         errno = EBADF;
         return -1;
      }
      if (entries[i].revents & (wanted | POLL_END_EVENTS))
      {
         ready[i] = true;
         readyCount++;
      }
   }
   return readyCount;
}

bool SocketSetNonBlocking(SOCKET s)
{
   bool wasNonBlocking;
   return SocketSetNonBlockingMode(s, true, &wasNonBlocking);
}

bool SocketSetNonBlockingMode(SOCKET s, bool nonBlocking, bool *wasNonBlocking)
{
   int flags = fcntl(s, F_GETFL);
   if (flags < 0)
      return false;
   *wasNonBlocking = (flags & O_NONBLOCK) != 0;
   if (*wasNonBlocking == nonBlocking)
      return true;
   return fcntl(s, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

int SocketConnect(SOCKET s, const struct sockaddr *addr, int addrLen)
{
   if (addrLen < 0)
   {
      errno = EINVAL;
      return -1;
   }
   if (::connect(s, addr, static_cast<socklen_t>(addrLen)) == 0)
      return 0;
   // An interrupted connect goes on in the background, as one that would block does.
   if (errno == EINTR)
      errno = EINPROGRESS;
   return -1;
}

bool SocketPendingError(SOCKET s, int *error)
{
   int value = 0;
   socklen_t length = sizeof(value);
   if (getsockopt(s, SOL_SOCKET, SO_ERROR, &value, &length) != 0)
      return false;
   *error = value;
   return true;
}

SOCKET SocketCreateStream(int family)
{
   return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

int SockaddrLength(int family)
{
   return (family == AF_INET) ? static_cast<int>(sizeof(sockaddr_in)) : static_cast<int>(sizeof(sockaddr_in6));
}

int SocketShutdown(SOCKET s)
{
   return ::shutdown(s, SHUT_RDWR);
}

void SocketClose(SOCKET s)
{
   int saved = errno;
   // The descriptor is released even when close reports EINTR; closing it again could
   // hit a descriptor that another thread has opened meanwhile.
   ::close(s);
   errno = saved;
}

SOCKET SocketCreateListener(int family)
{
   return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
}

void SocketSetReuseAddress(SOCKET s)
{
   int on = 1;
   setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
}

void SocketSetIPv6Only(SOCKET s)
{
   int on = 1;
   setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
}

int SocketBind(SOCKET s, const struct sockaddr *addr, int addrLen)
{
   if (addr == nullptr || addrLen < 0)
   {
      errno = EINVAL;
      return -1;
   }
   return ::bind(s, addr, static_cast<socklen_t>(addrLen));
}

int SocketListen(SOCKET s)
{
   return ::listen(s, SOMAXCONN);
}

SOCKET SocketAccept(SOCKET s, void *address, int *length)
{
   socklen_t size = (*length > 0) ? static_cast<socklen_t>(*length) : 0;
   // No SOCK_NONBLOCK: the new socket blocks, whatever the listener's mode.
   int fd = ::accept4(s, static_cast<struct sockaddr *>(address), &size, SOCK_CLOEXEC);
   *length = (fd >= 0) ? static_cast<int>(size) : 0;
   return fd;
}

bool SocketLastErrorIs(SocketErrorKind kind)
{
   int code = errno;
   switch (kind)
   {
      case SocketErrorKind::WOULD_BLOCK: return code == EWOULDBLOCK || code == EAGAIN;
      default: return code == ErrorCode(kind);
   }
}

int SocketLastErrorCode()
{
   return errno;
}

void SocketSetLastError(SocketErrorKind kind)
{
   errno = ErrorCode(kind);
}

void SocketSetLastErrorCode(int code)
{
   errno = code;
}

}  // namespace qv::platform
