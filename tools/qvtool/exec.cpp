/* qvtool exec: runs a command through the process executor and streams its standard
 * output and standard error to standard output as they come; the exit code is the
 * command's. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

/* Exit code when the command cannot be started. */
constexpr int START_FAILED = 126;

/* Passes every chunk of output straight on. */
class StreamingExecutor : public ProcessExecutor
{
public:
   explicit StreamingExecutor(const wchar_t *command) : ProcessExecutor(command) { m_sendOutput = true; }
   ~StreamingExecutor() override { stopAndWait(); }

protected:
   void onOutput(const char *text) override
   {
      // Empty chunks are the reader's signs of life during silence.
      if (text[0] == 0)
         return;
      fputs(text, stdout);
      fflush(stdout);
   }
};

int Usage()
{
   fprintf(stderr, "usage: qvtool exec [--] COMMAND [ARGS...]\n");
   return 2;
}

}  // namespace

int CommandExec(int argc, char **argv)
{
   int first = (argc > 0 && !strcmp(argv[0], "--")) ? 1 : 0;
   if (first >= argc)
      return Usage();
   // The words make one shell command line, as the shell would have joined them.
   std::string command;
   for (int i = first; i < argc; i++)
   {
      if (i > first)
         command += ' ';
      command += argv[i];
   }
   wchar_t *wide = WideStringFromMBString(command.c_str());
   if (wide == nullptr)
      return START_FAILED;
   StreamingExecutor executor(wide);
   free(wide);
   if (!executor.execute())
   {
      fprintf(stderr, "qvtool exec: cannot start \"%s\"\n", command.c_str());
      return START_FAILED;
   }
   executor.waitForCompletion(INFINITE);
   int code = executor.getExitCode();
   // What the command wrote is all delivered once the reader has ended; background jobs
   // it left behind end with it.
   executor.stopAndWait();
   return (code >= 0) ? code : START_FAILED;
}
