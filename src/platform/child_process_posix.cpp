/* Child processes on Linux: posix_spawn of the shell in a process group of its own, a
 * process descriptor (pidfd) to wait on the child's end together with its output pipe,
 * and waitid without reaping, so that the group id stays the child's until release. */
#include "platform/child_process.h"

#include "platform/sync.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <new>

extern char **environ;

namespace {

const char *const SHELL = "/bin/sh";
const char *const NULL_DEVICE = "/dev/null";

/* Exit code of a child ended by a signal: 128 plus the signal, as the shell reports it. */
constexpr int32_t SIGNAL_EXIT_BASE = 128;

/* Exit code while unknown. */
constexpr int32_t NO_EXIT_CODE = -1;

/* Where process descriptors are missing (old kernels, filters), waits look at the child
 * this often. */
constexpr uint32_t STATE_POLL_MS = 50;

/* poll's time-out value for no limit. */
constexpr int POLL_NO_LIMIT = -1;

int PidfdOpen(pid_t pid)
{
#ifdef SYS_pidfd_open
   int fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
   if (fd >= 0)
      fcntl(fd, F_SETFD, FD_CLOEXEC);
   return fd;
#else
   (void)pid;
   return -1;
#endif
}

/* A poll time-out in milliseconds from a 32-bit one. */
int PollTimeout(uint32_t timeout)
{
   if (timeout == INFINITE)
      return POLL_NO_LIMIT;
   return (timeout > static_cast<uint32_t>(INT_MAX)) ? INT_MAX : static_cast<int>(timeout);
}

/* Spawn attributes and file actions that release themselves. */
struct SpawnSetup
{
   posix_spawnattr_t attributes;
   posix_spawn_file_actions_t actions;
   bool ready = false;

   SpawnSetup()
   {
      if (posix_spawnattr_init(&attributes) != 0)
         return;
      if (posix_spawn_file_actions_init(&actions) != 0)
      {
         posix_spawnattr_destroy(&attributes);
         return;
      }
      ready = true;
   }
   ~SpawnSetup()
   {
      if (ready)
      {
         posix_spawn_file_actions_destroy(&actions);
         posix_spawnattr_destroy(&attributes);
      }
   }
   SpawnSetup(const SpawnSetup &) = delete;
   SpawnSetup &operator=(const SpawnSetup &) = delete;
};

}  // namespace

struct QvChildProcess
{
   pid_t pid;
   int pidfd;  // -1 where the kernel gives none
   std::mutex lock;
   bool ended;   // the child's exit has been seen (it is not reaped before release)
   bool gone;    // someone else reaped it: its id may belong to another process now
   bool killed;  // ChildKillGroup killed it while it ran
   int32_t stoppedCode;
   int32_t exitCode;
};

namespace qv::platform {

namespace {

/* Looks whether the child has ended, without reaping it. Called with the lock held. */
void CheckState(QvChildProcess *child)
{
   if (child->ended)
      return;
   siginfo_t info;
   memset(&info, 0, sizeof(info));
   int rc;
   do
      rc = waitid(P_PID, static_cast<id_t>(child->pid), &info, WEXITED | WNOHANG | WNOWAIT);
   while (rc < 0 && errno == EINTR);
   if (rc < 0)
   {
      // Reaped elsewhere (a SIGCHLD handler of the host) or never ours: it has ended,
      // and its code is unknown.
      child->ended = true;
      child->gone = true;
      return;
   }
   if (info.si_pid == 0)
      return;
   child->ended = true;
   if (info.si_code == CLD_EXITED)
      child->exitCode = info.si_status;
   else if (child->killed && info.si_status == SIGKILL)
      child->exitCode = child->stoppedCode;
   else
      child->exitCode = SIGNAL_EXIT_BASE + info.si_status;
}

bool PollChildEnd(QvChildProcess *child, int timeoutMs)
{
   struct pollfd entry = {child->pidfd, POLLIN, 0};
   int rc = ::poll(&entry, 1, timeoutMs);
   return rc > 0;
}

}  // namespace

bool OutputPipeCreate(int *readEnd, int *writeEnd, int *error)
{
   int ends[2];
   if (pipe2(ends, O_CLOEXEC) != 0)
   {
      *error = errno;
      return false;
   }
   fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) | O_NONBLOCK);
   *readEnd = ends[0];
   *writeEnd = ends[1];
   return true;
}

QvChildProcess *ChildStart(const char *command, int output, int *error)
{
   SpawnSetup setup;
   sigset_t signals;
   int rc = setup.ready ? 0 : ENOMEM;
   // The child starts its own process group (so stop can end everything it started),
   // with no blocked signal and every signal at its default, whatever the host set.
   if (rc == 0)
      rc = posix_spawnattr_setflags(&setup.attributes,
                                    POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
   if (rc == 0)
      rc = posix_spawnattr_setpgroup(&setup.attributes, 0);
   if (rc == 0)
   {
      sigemptyset(&signals);
      rc = posix_spawnattr_setsigmask(&setup.attributes, &signals);
   }
   if (rc == 0)
   {
      sigfillset(&signals);
      sigdelset(&signals, SIGKILL);
      sigdelset(&signals, SIGSTOP);
      rc = posix_spawnattr_setsigdefault(&setup.attributes, &signals);
   }
   if (rc == 0)
      rc = posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, NULL_DEVICE, O_RDONLY, 0);
   if (rc == 0 && output >= 0)
   {
      rc = posix_spawn_file_actions_adddup2(&setup.actions, output, STDOUT_FILENO);
      if (rc == 0)
         rc = posix_spawn_file_actions_adddup2(&setup.actions, output, STDERR_FILENO);
   }
   else if (rc == 0)
   {
      rc = posix_spawn_file_actions_addopen(&setup.actions, STDOUT_FILENO, NULL_DEVICE, O_WRONLY, 0);
      if (rc == 0)
         rc = posix_spawn_file_actions_adddup2(&setup.actions, STDOUT_FILENO, STDERR_FILENO);
   }

   pid_t pid = -1;
   if (rc == 0)
   {
      char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"), const_cast<char *>(command), nullptr};
      rc = posix_spawn(&pid, SHELL, &setup.actions, &setup.attributes, argv, environ);
   }
   QvChildProcess *child = (rc == 0) ? new (std::nothrow) QvChildProcess() : nullptr;
   if (child == nullptr)
   {
      if (rc == 0)
      {
         // Out of memory after the start: the child cannot be followed, so it goes.
         kill(-pid, SIGKILL);
         while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR)
         {}
         rc = ENOMEM;
      }
      *error = rc;
      return nullptr;
   }
   child->pid = pid;
   child->pidfd = PidfdOpen(pid);
   child->ended = false;
   child->gone = false;
   child->killed = false;
   child->stoppedCode = NO_EXIT_CODE;
   child->exitCode = NO_EXIT_CODE;
   return child;
}

int32_t ChildId(const QvChildProcess *child)
{
   return static_cast<int32_t>(child->pid);
}

bool ChildRunning(QvChildProcess *child)
{
   std::lock_guard<std::mutex> guard(child->lock);
   CheckState(child);
   return !child->ended;
}

bool ChildWaitEnd(QvChildProcess *child, uint32_t timeout)
{
   if (!ChildRunning(child))
      return true;
   if (child->pidfd >= 0)
   {
      uint64_t deadline = (timeout == INFINITE) ? 0 : MonotonicMs() + timeout;
      for (;;)
      {
         uint32_t left = INFINITE;
         if (timeout != INFINITE)
         {
            uint64_t now = MonotonicMs();
            left = (now < deadline) ? static_cast<uint32_t>(deadline - now) : 0;
         }
         if (PollChildEnd(child, PollTimeout(left)) || left == 0)
            break;
      }
      return !ChildRunning(child);
   }
   uint64_t start = MonotonicMs();
   while (ChildRunning(child))
   {
      uint64_t waited = MonotonicMs() - start;
      if (timeout != INFINITE && waited >= timeout)
         return false;
      uint32_t pause = STATE_POLL_MS;
      if (timeout != INFINITE && timeout - waited < pause)
         pause = static_cast<uint32_t>(timeout - waited);
      struct timespec rest = {0, static_cast<long>(pause) * 1000000L};
      while (nanosleep(&rest, &rest) != 0 && errno == EINTR)
      {}
   }
   return true;
}

void ChildKillGroup(QvChildProcess *child, int32_t stoppedCode)
{
   std::lock_guard<std::mutex> guard(child->lock);
   CheckState(child);
   if (child->gone)
      return;
   if (!child->ended)
   {
      child->killed = true;
      child->stoppedCode = stoppedCode;
   }
   // The child is not reaped yet, so its id still names its group. Members that outlive
   // an ended leader (background jobs) go too.
   kill(-child->pid, SIGKILL);
}

int32_t ChildExitCode(QvChildProcess *child)
{
   std::lock_guard<std::mutex> guard(child->lock);
   CheckState(child);
   return child->exitCode;
}

void ChildRelease(QvChildProcess *child)
{
   if (child == nullptr)
      return;
   {
      std::lock_guard<std::mutex> guard(child->lock);
      CheckState(child);
      if (!child->ended)
      {
         child->killed = true;
         kill(-child->pid, SIGKILL);
      }
      if (!child->gone)
      {
         while (waitpid(child->pid, nullptr, 0) < 0 && errno == EINTR)
         {}
      }
   }
   if (child->pidfd >= 0)
      close(child->pidfd);
   delete child;
}

OutputEvent ChildWaitOutput(QvChildProcess *child, int output, uint32_t timeout)
{
   if (child->pidfd < 0)
   {
      // Without a process descriptor the pipe is watched in short slices, looking at the
      // child between them.
      uint64_t start = MonotonicMs();
      for (;;)
      {
         uint64_t waited = MonotonicMs() - start;
         if (timeout != INFINITE && waited >= timeout)
            return OutputEvent::TIMEOUT;
         uint32_t slice = STATE_POLL_MS;
         if (timeout != INFINITE && timeout - waited < slice)
            slice = static_cast<uint32_t>(timeout - waited);
         struct pollfd entry = {output, POLLIN, 0};
         int rc = ::poll(&entry, 1, static_cast<int>(slice));
         if (rc > 0)
            return OutputEvent::DATA;
         if (rc < 0 && errno != EINTR)
            return OutputEvent::FAILED;
         if (!ChildRunning(child))
            return OutputEvent::ENDED;
      }
   }
   struct pollfd entries[2] = {{output, POLLIN, 0}, {child->pidfd, POLLIN, 0}};
   uint64_t deadline = (timeout == INFINITE) ? 0 : MonotonicMs() + timeout;
   for (;;)
   {
      int wait = POLL_NO_LIMIT;
      if (timeout != INFINITE)
      {
         uint64_t now = MonotonicMs();
         wait = PollTimeout((now < deadline) ? static_cast<uint32_t>(deadline - now) : 0);
      }
      int rc = ::poll(entries, 2, wait);
      if (rc < 0 && errno == EINTR)
         continue;
      if (rc < 0)
         return OutputEvent::FAILED;
      if (rc == 0)
         return OutputEvent::TIMEOUT;
      // Output that arrived before the end is read before the end is acted on.
      if (entries[0].revents != 0)
         return OutputEvent::DATA;
      return OutputEvent::ENDED;
   }
}

ptrdiff_t OutputRead(int output, void *buffer, size_t size)
{
   ssize_t n;
   do
      n = read(output, buffer, size);
   while (n < 0 && errno == EINTR);
   if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return -2;
   return n;
}

size_t OutputPending(int output)
{
   int count = 0;
   if (ioctl(output, FIONREAD, &count) != 0 || count < 0)
      return 0;
   return static_cast<size_t>(count);
}

void PipeEndClose(int end)
{
   if (end >= 0)
      close(end);
}

}  // namespace qv::platform
