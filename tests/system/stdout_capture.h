/* Captures what the code under test writes to standard output (descriptor 1 and stdout),
 * through a pipe or a pseudo-terminal put in its place for the capture's lifetime. */
#ifndef QV_TESTS_SYSTEM_STDOUT_CAPTURE_H
#define QV_TESTS_SYSTEM_STDOUT_CAPTURE_H

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

#include <string>

/* Reads fd until marker has come (an empty marker: until every writer is gone, which a
 * pipe tells with 0 and a terminal's master with EIO). The poll's bound only keeps a
 * broken peer from hanging the test. */
inline std::string ReadFrom(int fd, const std::string &marker = std::string())
{
   constexpr int READ_BOUND_MS = 10000;
   std::string text;
   char chunk[4096];
   while (marker.empty() || text.find(marker) == std::string::npos)
   {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, READ_BOUND_MS) <= 0)
         break;
      ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n <= 0)
         break;
      text.append(chunk, static_cast<size_t>(n));
   }
   return text;
}

class StdoutCapture
{
public:
   enum Kind
   {
      PIPE,
      TERMINAL
   };

   explicit StdoutCapture(Kind kind)
   {
      fflush(stdout);
      m_saved = dup(STDOUT_FILENO);
      int target = -1;
      if (kind == PIPE)
      {
         int fds[2];
         if (pipe(fds) != 0)
            return;
         m_read = fds[0];
         target = fds[1];
      }
      else
      {
         // A raw terminal, so that the bytes arrive as written (no "\n" to "\r\n").
         struct termios mode;
         cfmakeraw(&mode);
         if (openpty(&m_read, &target, nullptr, &mode, nullptr) != 0)
            return;
      }
      dup2(target, STDOUT_FILENO);
      close(target);
      m_ok = true;
   }

   ~StdoutCapture()
   {
      restore();
      if (m_read >= 0)
         close(m_read);
   }

   bool ok() const { return m_ok; }

   /* Puts standard output back and returns everything written meanwhile. */
   std::string finish()
   {
      restore();
      return ReadFrom(m_read);
   }

private:
   int m_saved = -1;
   int m_read = -1;
   bool m_ok = false;

   void restore()
   {
      if (m_saved < 0)
         return;
      fflush(stdout);
      dup2(m_saved, STDOUT_FILENO);
      close(m_saved);
      m_saved = -1;
   }
};

#endif
