/* Running a program on a pseudo-terminal, for output that a program gives only to a
 * terminal (progress lines): what it wrote there and its exit code. */
#ifndef QORVEL_TESTS_SUPPORT_PTY_RUN_H
#define QORVEL_TESTS_SUPPORT_PTY_RUN_H

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace qvtest {

struct PtyRun
{
   int status = -1;        // exit code, or -1 when the program did not exit normally
   std::string output;     // everything written to the terminal, byte for byte
   bool finished = false;  // false when the program was killed for taking too long
};

/* A program started on a new pseudo-terminal in raw mode (no "\r" added to line ends), its
 * standard input, output and error all on the terminal unless stderrFile is given, which
 * then receives standard error instead. read() collects what it writes; wait() reads to the
 * end and reaps it. The program is killed when the object goes before it has ended. */
class PtyProcess
{
public:
   PtyProcess(const std::vector<std::string> &argv, const std::string &stderrFile = std::string())
   {
      struct termios raw;
      cfmakeraw(&raw);
      m_pid = forkpty(&m_master, nullptr, &raw, nullptr);
      if (m_pid == 0)
      {
         if (!stderrFile.empty())
         {
            int fd = open(stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || dup2(fd, STDERR_FILENO) < 0)
               _exit(127);
            close(fd);
         }
         std::vector<char *> args;
         for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
         args.push_back(nullptr);
         execv(args[0], args.data());
         _exit(127);
      }
   }
   ~PtyProcess()
   {
      if (m_pid > 0 && !m_reaped)
      {
         kill(m_pid, SIGKILL);
         waitpid(m_pid, nullptr, 0);
      }
      if (m_master >= 0)
         close(m_master);
   }
   PtyProcess(const PtyProcess &) = delete;
   PtyProcess &operator=(const PtyProcess &) = delete;

   bool started() const { return m_pid > 0; }
   const std::string &output() const { return m_run.output; }

   /* Reads until the output holds text or the terminal closes; false when it does not come
    * within limitSeconds (a limit against hanging, not a measure of speed). */
   bool readUntil(const std::string &text, int limitSeconds = 60)
   {
      auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
      while (m_run.output.find(text) == std::string::npos)
      {
         if (m_closed || std::chrono::steady_clock::now() > limit || !readSome(limit))
            return m_run.output.find(text) != std::string::npos;
      }
      return true;
   }

   /* Reads to the end of the output and reaps the program; killed when it does not end
    * within limitSeconds. */
   PtyRun wait(int limitSeconds = 120)
   {
      auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(limitSeconds);
      while (!m_closed && std::chrono::steady_clock::now() < limit)
         readSome(limit);
      if (!m_closed)
         kill(m_pid, SIGKILL);
      int status = 0;
      if (m_pid > 0 && waitpid(m_pid, &status, 0) == m_pid)
      {
         m_reaped = true;
         m_run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      m_run.finished = m_closed;
      return m_run;
   }

private:
   pid_t m_pid = -1;
   int m_master = -1;
   bool m_closed = false;
   bool m_reaped = false;
   PtyRun m_run;

   /* One read, waiting for output up to the limit; false once the terminal is closed (the
    * program and all that shared its terminal have ended: EIO) or nothing came. */
   bool readSome(std::chrono::steady_clock::time_point limit)
   {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
      pollfd p = {m_master, POLLIN, 0};
      int ready = poll(&p, 1, (left.count() > 0) ? static_cast<int>(left.count()) : 0);
      if (ready < 0 && errno == EINTR)
         return true;
      if (ready <= 0)
         return false;
      char chunk[4096];
      ssize_t n = ::read(m_master, chunk, sizeof(chunk));
      if (n <= 0)
      {
         m_closed = true;
         return false;
      }
      m_run.output.append(chunk, static_cast<size_t>(n));
      return true;
   }
};

}  // namespace qvtest

#endif
