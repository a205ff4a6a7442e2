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

// The command's words are operands: options end at the first of them.
const CommandSyntax SYNTAX = {"exec",
                              "[--] COMMAND [ARGS...]",
                              "run a shell command and stream its standard output and standard error to standard "
                              "output",
                              nullptr,
                              true,
                              "Exit code: the command's own; 126 when it cannot be started; 2 without a command.\n"
                              "Put \"--\" before a command that starts with \"-\".\n"};

}  // namespace

int CommandExec(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() < 1)
      return args.usage();
   // The words make one shell command line, as the shell would have joined them.
   std::string command;
   for (int i = 0; i < args.operandCount(); i++)
   {
      if (i > 0)
         command += ' ';
      command += args.operand(i);
   }
   wchar_t *wide = WideStringFromMBString(command.c_str());
   if (wide == nullptr)
   {
      fprintf(stderr, "qvtool exec: the command is not text of this locale; check its characters\n");
      return START_FAILED;
   }
   StreamingExecutor executor(wide);
   free(wide);
   if (!executor.execute())
   {
      fprintf(stderr, "qvtool exec: cannot start \"%s\"; check the command and the shell\n", command.c_str());
      return START_FAILED;
   }
   executor.waitForCompletion(INFINITE);
   int code = executor.getExitCode();
   // What the command wrote is all delivered once the reader has ended; background jobs
   // it left behind end with it.
   executor.stopAndWait();
   return (code >= 0) ? code : START_FAILED;
}
