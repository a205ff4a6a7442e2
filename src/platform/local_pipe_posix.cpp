/* Local pipes on Unix-domain stream sockets, through the platform's socket calls. */
#include "platform/local_pipe.h"

#include "platform/socket.h"
#include "platform/sync.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace qv::platform {

namespace {

/* Pause between connect attempts while the server's queue is full. */
constexpr long CONNECT_RETRY_PAUSE_NS = 10 * 1000 * 1000;

void PauseBeforeRetry()
{
   struct timespec pause = {0, CONNECT_RETRY_PAUSE_NS};
   while (nanosleep(&pause, &pause) != 0 && errno == EINTR)
   {}
}

}  // namespace

HPIPE LocalPipeConnect(const char *path, uint32_t timeout)
{
   struct sockaddr_un addr;
   memset(&addr, 0, sizeof(addr));
   addr.sun_family = AF_UNIX;
   size_t length = strlen(path);
   if (length >= sizeof(addr.sun_path))
   {
      errno = ENAMETOOLONG;
      return INVALID_PIPE_HANDLE;
   }
   memcpy(addr.sun_path, path, length + 1);

   int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
   if (fd < 0)
      return INVALID_PIPE_HANDLE;
   uint64_t start = qv::platform::MonotonicMs();
   for (;;)
   {
      if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0)
         break;
      // A full queue is the busy pipe: wait for the server to take a client.
      bool busy = (errno == EAGAIN || errno == EINTR);
      if (!busy || (timeout != INFINITE && qv::platform::MonotonicMs() - start >= timeout))
      {
         int error = busy ? ETIMEDOUT : errno;
         close(fd);
         errno = error;
         return INVALID_PIPE_HANDLE;
      }
      PauseBeforeRetry();
   }
   return fd;
}

int LocalPipeRead(HPIPE pipe, void *buffer, size_t size, uint32_t timeout)
{
   if (pipe == INVALID_PIPE_HANDLE)
   {
      errno = EBADF;
      return -1;
   }
   bool ready;
   int rc = SocketWait(&pipe, &ready, 1, false, timeout);
   if (rc == 0)
      return RECV_TIMEOUT;
   if (rc < 0)
      return -1;
   // The count is reported as an int, so one read asks for no more than that holds.
   size_t request = (size > static_cast<size_t>(INT_MAX)) ? static_cast<size_t>(INT_MAX) : size;
   ptrdiff_t n;
   do
      n = SocketRecv(pipe, buffer, request, MSG_DONTWAIT);
   while (n < 0 && errno == EAGAIN && SocketWait(&pipe, &ready, 1, false, timeout) > 0);
   return (n < 0) ? -1 : static_cast<int>(n);
}

bool LocalPipeWrite(HPIPE pipe, const void *data, size_t size)
{
   const char *next = static_cast<const char *>(data);
   while (size > 0)
   {
      ptrdiff_t sent = SocketSend(pipe, next, size, 0);
      if (sent <= 0)
      {
         bool ready;
         if (sent < 0 && errno == EAGAIN && SocketWait(&pipe, &ready, 1, true, INFINITE) > 0)
            continue;
         return false;
      }
      next += sent;
      size -= static_cast<size_t>(sent);
   }
   return true;
}

void LocalPipeClose(HPIPE pipe)
{
   if (pipe != INVALID_PIPE_HANDLE)
      SocketClose(pipe);
}

}  // namespace qv::platform
