/* Running a piece of a test inside network namespaces of its own: a forked child enters a
 * new network namespace (the test process and the other tests stay where they are), runs
 * a shell script that sets the namespace up (ip, sysctl), runs the body and hands its
 * text back through a pipe. With a peer, the child first forks a second process into a
 * namespace of its own, which the script reaches as $PEER (for veth pairs and nsenter);
 * the peer ends with the child. Needs the rights to make namespaces (root, as in CI). */
#ifndef QORVEL_TESTS_NET_NET_NAMESPACE_H
#define QORVEL_TESTS_NET_NET_NAMESPACE_H

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace qvtest {

struct NamespaceRun
{
   enum State
   {
      DONE,          // the body ran; output holds its text
      CANNOT_MAKE,   // no namespace could be made here (why says why)
      SETUP_FAILED,  // the setup script failed (why holds its output)
      CHILD_FAILED   // the child did not end normally
   } state;
   std::string output;
   std::string why;
};

namespace detail {

/* Exit codes of the child. */
constexpr int NS_EXIT_CANNOT_MAKE = 77;
constexpr int NS_EXIT_SETUP_FAILED = 78;

inline void WriteAll(int fd, const std::string &text)
{
   size_t done = 0;
   while (done < text.size())
   {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return;
      done += static_cast<size_t>(n);
   }
}

inline std::string ReadAll(int fd)
{
   std::string text;
   char chunk[4096];
   for (;;)
   {
      ssize_t n = read(fd, chunk, sizeof(chunk));
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return text;
      text.append(chunk, static_cast<size_t>(n));
   }
}

/* Runs the script with /bin/sh; its output into *output. True when it exited with 0. */
inline bool RunScript(const std::string &script, std::string *output)
{
   FILE *pipe = popen(("exec 2>&1\nset -e\n" + script).c_str(), "r");
   if (pipe == nullptr)
      return false;
   char chunk[512];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
      output->append(chunk, n);
   int status = pclose(pipe);
   return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

/* Forks the peer into a namespace of its own; it lives until the child ends. Its pid, or
 * -1 (why set). */
inline pid_t StartPeer(std::string *why)
{
   int ready[2];
   if (pipe(ready) != 0)
      return -1;
   pid_t parent = getpid();
   pid_t peer = fork();
   if (peer == 0)
   {
      close(ready[0]);
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent)
         _exit(0);
      char ok = (unshare(CLONE_NEWNET) == 0) ? 1 : 0;
      WriteAll(ready[1], std::string(1, ok));
      close(ready[1]);
      for (;;)
         pause();
   }
   close(ready[1]);
   std::string answer = ReadAll(ready[0]);
   close(ready[0]);
   if (peer < 0 || answer != std::string(1, 1))
   {
      *why = "the peer namespace could not be made";
      if (peer > 0)
      {
         kill(peer, SIGKILL);
         waitpid(peer, nullptr, 0);
      }
      return -1;
   }
   return peer;
}

}  // namespace detail

/* Runs body in a forked child inside a new network namespace set up by setup (a shell
 * script run with set -e; $PEER is the peer's pid when withPeer is true). */
inline NamespaceRun RunInNetworkNamespace(const std::string &setup, bool withPeer,
                                          const std::function<std::string()> &body)
{
   NamespaceRun run = {NamespaceRun::CHILD_FAILED, std::string(), std::string()};
   int out[2];
   if (pipe(out) != 0)
   {
      run.why = "pipe failed";
      return run;
   }
   fflush(nullptr);
   pid_t child = fork();
   if (child == 0)
   {
      close(out[0]);
      if (unshare(CLONE_NEWNET) != 0)
      {
         detail::WriteAll(out[1], std::string("unshare(CLONE_NEWNET): ") + strerror(errno));
         _exit(detail::NS_EXIT_CANNOT_MAKE);
      }
      std::string script = setup;
      pid_t peer = -1;
      if (withPeer)
      {
         std::string why;
         peer = detail::StartPeer(&why);
         if (peer < 0)
         {
            detail::WriteAll(out[1], why);
            _exit(detail::NS_EXIT_CANNOT_MAKE);
         }
         script = "PEER=" + std::to_string(peer) + "\n" + script;
      }
      std::string log;
      int code = 0;
      if (!detail::RunScript(script, &log))
      {
         detail::WriteAll(out[1], log);
         code = detail::NS_EXIT_SETUP_FAILED;
      }
      else
      {
         detail::WriteAll(out[1], body());
      }
      if (peer > 0)
      {
         kill(peer, SIGKILL);
         waitpid(peer, nullptr, 0);
      }
      _exit(code);
   }
   close(out[1]);
   if (child < 0)
   {
      close(out[0]);
      run.why = "fork failed";
      return run;
   }
   std::string text = detail::ReadAll(out[0]);
   close(out[0]);
   int status = 0;
   while (waitpid(child, &status, 0) < 0 && errno == EINTR)
   {}
   if (!WIFEXITED(status))
   {
      run.why = "the namespace child did not exit normally";
      return run;
   }
   switch (WEXITSTATUS(status))
   {
      case 0:
         run.state = NamespaceRun::DONE;
         run.output = text;
         break;
      case detail::NS_EXIT_CANNOT_MAKE:
         run.state = NamespaceRun::CANNOT_MAKE;
         run.why = text;
         break;
      case detail::NS_EXIT_SETUP_FAILED:
         run.state = NamespaceRun::SETUP_FAILED;
         run.why = text;
         break;
      default: run.why = "the namespace child exited with " + std::to_string(WEXITSTATUS(status)); break;
   }
   return run;
}

}  // namespace qvtest

#endif
