/* Named pipes on Unix-domain sequenced-packet sockets at /tmp/qvpipe.<name>. A server
 * holds an exclusive lock on "<socket>.lock" for as long as it owns the name, so a
 * second server finds the name taken without touching the live socket, and a socket
 * whose lock is free was left by a server that ended and may be replaced. The socket is
 * open to every local user; the access rule is the peer's user id (SO_PEERCRED), checked
 * by the server, which answers each accepted client with a one-byte record: accepted or
 * refused. Its backlog of one makes further clients wait, as for a busy pipe. */
#include "platform/named_pipe.h"

#include "platform/sleep.h"
#include "platform/sync.h"

#include <stdio.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

/* The server's answer to an accepted client. */
constexpr unsigned char PIPE_ACCEPTED = 0x06;
constexpr unsigned char PIPE_REFUSED = 0x15;

/* The socket is open to everyone; the access rule is the server's check. */
constexpr mode_t PIPE_SOCKET_MODE = 0666;
constexpr mode_t PIPE_LOCK_MODE = 0600;

/* Connections waiting beyond the one being served: the pipe's one instance. */
constexpr int PIPE_BACKLOG = 0;

/* Pause between connect attempts while the server is busy. */
constexpr uint32_t BUSY_RETRY_PAUSE_MS = 10;

const char LOCK_SUFFIX[] = ".lock";

/* Room for the user database's record texts. */
constexpr size_t PASSWD_BUFFER_BYTES = 16384;

/* poll's time-out value for no limit. */
constexpr int POLL_NO_LIMIT = -1;

/* Builds the socket's path for the name; false with errno set when the name is unusable. */
bool PipePath(const char *name, struct sockaddr_un *addr)
{
   memset(addr, 0, sizeof(*addr));
   addr->sun_family = AF_UNIX;
   if (name == nullptr || name[0] == 0 || strchr(name, '/') != nullptr)
   {
      errno = EINVAL;
      return false;
   }
   // The lock file's name is longer still, but only the socket's has a limit.
   if (strlen(qv::platform::PIPE_PATH_PREFIX) + strlen(name) >= sizeof(addr->sun_path))
   {
      errno = ENAMETOOLONG;
      return false;
   }
   snprintf(addr->sun_path, sizeof(addr->sun_path), "%s%s", qv::platform::PIPE_PATH_PREFIX, name);
   return true;
}

/* Takes the name's lock: the open lock file, or -1 with errno set (EADDRINUSE when a
 * live server holds it). */
int TakeNameLock(const char *lockPath)
{
   for (;;)
   {
      int fd = open(lockPath, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, PIPE_LOCK_MODE);
      if (fd < 0)
         return -1;
      int rc;
      do
         rc = flock(fd, LOCK_EX | LOCK_NB);
      while (rc != 0 && errno == EINTR);
      if (rc != 0)
      {
         int error = (errno == EWOULDBLOCK) ? EADDRINUSE : errno;
         close(fd);
         errno = error;
         return -1;
      }
      // A server that ended removes the lock file while it holds the lock; the file
      // locked here must still be the one of that name.
      struct stat held;
      struct stat named;
      if (fstat(fd, &held) == 0 && stat(lockPath, &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino)
         return fd;
      close(fd);
   }
}

int PollOne(int fd, int timeoutMs)
{
   struct pollfd entry = {fd, POLLIN, 0};
   int rc;
   do
      rc = ::poll(&entry, 1, timeoutMs);
   while (rc < 0 && errno == EINTR);
   return rc;
}

int PollMs(uint64_t deadline, bool limited)
{
   if (!limited)
      return POLL_NO_LIMIT;
   uint64_t now = qv::platform::MonotonicMs();
   uint64_t left = (now < deadline) ? deadline - now : 0;
   return (left > static_cast<uint64_t>(INT_MAX)) ? INT_MAX : static_cast<int>(left);
}

bool SendAnswer(int fd, unsigned char answer)
{
   ssize_t rc;
   do
      rc = send(fd, &answer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
   while (rc < 0 && errno == EINTR);
   return rc == 1;
}

}  // namespace

struct QvPipeServer
{
   int listener;
   int lock;
   int wake;  // eventfd: readable while a wake-up is pending
   uint32_t allowedUid;
   struct sockaddr_un address;
   char lockPath[sizeof(sockaddr_un::sun_path) + sizeof(LOCK_SUFFIX)];
};

namespace qv::platform {

bool UserIdOf(const char *name, uint32_t *uid, int *error)
{
   struct passwd entry;
   struct passwd *found = nullptr;
   char *buffer = static_cast<char *>(malloc(PASSWD_BUFFER_BYTES));
   if (buffer == nullptr)
   {
      *error = ENOMEM;
      return false;
   }
   int rc = getpwnam_r(name, &entry, buffer, PASSWD_BUFFER_BYTES, &found);
   if (found != nullptr)
      *uid = static_cast<uint32_t>(found->pw_uid);
   free(buffer);
   if (found == nullptr)
   {
      *error = rc;  // 0: no such user
      return false;
   }
   return true;
}

bool UserNameOf(uint32_t uid, char *out, size_t size)
{
   struct passwd entry;
   struct passwd *found = nullptr;
   char *buffer = static_cast<char *>(malloc(PASSWD_BUFFER_BYTES));
   if (buffer == nullptr || size == 0)
   {
      free(buffer);
      return false;
   }
   getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, PASSWD_BUFFER_BYTES, &found);
   if (found != nullptr)
      snprintf(out, size, "%s", found->pw_name);
   free(buffer);
   return found != nullptr;
}

QvPipeServer *PipeServerCreate(const char *name, uint32_t allowedUid, int *error)
{
   QvPipeServer *server = static_cast<QvPipeServer *>(calloc(1, sizeof(QvPipeServer)));
   if (server == nullptr)
   {
      *error = ENOMEM;
      return nullptr;
   }
   server->listener = -1;
   server->wake = -1;
   server->allowedUid = allowedUid;
   if (!PipePath(name, &server->address))
   {
      *error = errno;
      free(server);
      return nullptr;
   }
   snprintf(server->lockPath, sizeof(server->lockPath), "%s%s", server->address.sun_path, LOCK_SUFFIX);
   server->lock = TakeNameLock(server->lockPath);
   if (server->lock < 0)
   {
      *error = errno;
      free(server);
      return nullptr;
   }

   // The name is ours now: a socket file still there was left by a server that ended.
   const char *path = server->address.sun_path;
   struct stat existing;
   if (lstat(path, &existing) == 0)
   {
      if (!S_ISSOCK(existing.st_mode) || unlink(path) != 0)
      {
         *error = S_ISSOCK(existing.st_mode) ? errno : EADDRINUSE;
         unlink(server->lockPath);
         close(server->lock);
         free(server);
         return nullptr;
      }
   }
   server->listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
   bool ready =
       server->listener >= 0 &&
       bind(server->listener, reinterpret_cast<struct sockaddr *>(&server->address), sizeof(server->address)) == 0 &&
       chmod(path, PIPE_SOCKET_MODE) == 0 && listen(server->listener, PIPE_BACKLOG) == 0;
   if (ready)
   {
      server->wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      ready = server->wake >= 0;
   }
   if (!ready)
   {
      *error = errno;
      PipeServerDestroy(server);
      return nullptr;
   }
   return server;
}

void PipeServerDestroy(QvPipeServer *server)
{
   if (server == nullptr)
      return;
   if (server->listener >= 0)
   {
      // Only a bound socket has a file; the lock says it is this server's.
      struct sockaddr_un bound;
      socklen_t length = sizeof(bound);
      if (getsockname(server->listener, reinterpret_cast<struct sockaddr *>(&bound), &length) == 0 &&
          length > offsetof(struct sockaddr_un, sun_path) && bound.sun_path[0] != 0)
         unlink(server->address.sun_path);
      close(server->listener);
   }
   if (server->wake >= 0)
      close(server->wake);
   // The lock file goes while the lock is held, so a server that opened it meanwhile
   // sees that it no longer names the lock and tries again.
   unlink(server->lockPath);
   close(server->lock);
   free(server);
}

PipeAcceptResult PipeServerAccept(QvPipeServer *server, HPIPE *client, int *error)
{
   struct pollfd entries[2] = {{server->listener, POLLIN, 0}, {server->wake, POLLIN, 0}};
   int rc;
   do
      rc = ::poll(entries, 2, POLL_NO_LIMIT);
   while (rc < 0 && errno == EINTR);
   if (rc < 0)
   {
      *error = errno;
      return PipeAcceptResult::FAILED;
   }
   if (entries[1].revents != 0)
      return PipeAcceptResult::STOPPED;

   // Without SOCK_NONBLOCK the client's end blocks, so the callback's writes wait for room.
   int fd = accept4(server->listener, nullptr, nullptr, SOCK_CLOEXEC);
   if (fd < 0)
   {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
         return PipeAcceptResult::GONE;
      *error = errno;
      return PipeAcceptResult::FAILED;
   }
   uint32_t uid;
   if (!PipePeerUserId(fd, &uid))
   {
      close(fd);
      return PipeAcceptResult::GONE;
   }
   if (server->allowedUid != PIPE_ANY_USER && uid != server->allowedUid)
   {
      SendAnswer(fd, PIPE_REFUSED);
      close(fd);
      return PipeAcceptResult::REFUSED;
   }
   if (!SendAnswer(fd, PIPE_ACCEPTED))
   {
      close(fd);
      return PipeAcceptResult::GONE;
   }
   *client = fd;
   return PipeAcceptResult::CLIENT;
}

bool PipeServerWaitWake(QvPipeServer *server, uint32_t timeout)
{
   int wait = (timeout == INFINITE) ? POLL_NO_LIMIT
                                    : static_cast<int>((timeout > static_cast<uint32_t>(INT_MAX)) ? INT_MAX : timeout);
   return PollOne(server->wake, wait) > 0;
}

void PipeServerWake(QvPipeServer *server)
{
   eventfd_write(server->wake, 1);
}

void PipeServerClearWake(QvPipeServer *server)
{
   eventfd_t value;
   eventfd_read(server->wake, &value);
}

HPIPE PipeConnect(const char *name, uint32_t timeout, uint32_t confirmWaitMs, int *error)
{
   struct sockaddr_un addr;
   if (!PipePath(name, &addr))
   {
      *error = errno;
      return INVALID_PIPE_HANDLE;
   }
   int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
   if (fd < 0)
   {
      *error = errno;
      return INVALID_PIPE_HANDLE;
   }
   bool limited = timeout != INFINITE;
   uint64_t start = MonotonicMs();
   uint64_t deadline = start + (limited ? timeout : 0);
   for (;;)
   {
      if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) == 0)
         break;
      // A full queue is the busy pipe: wait for the server to take its client.
      bool busy = (errno == EAGAIN || errno == EINTR);
      if (!busy || (limited && MonotonicMs() >= deadline))
      {
         *error = busy ? ETIMEDOUT : errno;
         close(fd);
         return INVALID_PIPE_HANDLE;
      }
      SleepMs(BUSY_RETRY_PAUSE_MS);
   }

   // The connection waits in the server's queue until the server takes it and answers.
   uint64_t confirmDeadline = MonotonicMs() + confirmWaitMs;
   if (confirmDeadline > deadline)
      deadline = confirmDeadline;
   unsigned char answer = 0;
   ssize_t n = -1;
   for (;;)
   {
      int rc = PollOne(fd, PollMs(deadline, limited));
      if (rc == 0)
      {
         *error = ETIMEDOUT;
         break;
      }
      if (rc < 0)
      {
         *error = errno;
         break;
      }
      n = recv(fd, &answer, 1, MSG_DONTWAIT);
      if (n < 0 && (errno == EAGAIN || errno == EINTR))
         continue;
      if (n < 0)
         *error = errno;
      break;
   }
   if (n == 1 && answer == PIPE_ACCEPTED)
      return fd;
   if (n == 1)
      *error = (answer == PIPE_REFUSED) ? EACCES : EPROTO;
   else if (n == 0)
      *error = ECONNREFUSED;  // the server closed without an answer: it is going away
   close(fd);
   return INVALID_PIPE_HANDLE;
}

bool PipePeerUserId(HPIPE pipe, uint32_t *uid)
{
   struct ucred credentials;
   socklen_t length = sizeof(credentials);
   if (getsockopt(pipe, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || length != sizeof(credentials))
      return false;
   *uid = static_cast<uint32_t>(credentials.uid);
   return true;
}

void PipeDisconnect(HPIPE pipe)
{
   if (pipe == INVALID_PIPE_HANDLE)
      return;
   shutdown(pipe, SHUT_RDWR);
}

}  // namespace qv::platform
