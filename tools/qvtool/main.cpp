/* qvtool: the command-line companion of the library. Each command lives in its own file
 * and is listed in the table below. */
#include "qvtool.h"

#include <stdio.h>
#include <string.h>

namespace {

const QvtoolCommand COMMANDS[] = {
    {"text", "TEXT", "print the code points, UTF-16 units and UTF-8 bytes of a text", CommandText},
    {"addr", "ADDRESS[/BITS]", "print the family, text, subnet and classes of an address", CommandAddr},
    {"hash", "[--ALGORITHM] FILE...", "print CRC-32, MD5, SHA-1 or SHA-256 (default) of files", CommandHash},
    {"password", "[de|en]crypt LOGIN TEXT", "decrypt a stored password or make its encrypted form", CommandPassword},
    {"msg", "dump|build ARGS...", "describe wire messages of a file, or build one from fields", CommandMsg},
    {"send-file", "HOST:PORT FILE", "send a file over QVCP [--compress lz4|deflate]", CommandSendFile},
    {"receive-file", "PORT DIR", "receive one file sent with send-file into DIR", CommandReceiveFile},
    {"keygen", "FILE", "write a new RSA key pair to a key file", CommandKeygen},
    {"pool-stress", "[--workers N] [--tasks N]...", "run a thread pool under load and watch it resize",
     CommandPoolStress},
    {"crash-test", "[--thread] [--kind K] DIR", "crash on purpose (segv, fpe, overflow, abort) into DIR",
     CommandCrashTest},
    {"exec", "[--] COMMAND [ARGS...]", "run a shell command and stream its output; exits with its code", CommandExec},
    {"info", "[--heap-report]", "print the system, host, installation directories and memory figures", CommandInfo},
};

void Usage()
{
   fprintf(stderr, "usage: qvtool [--debug LEVEL] [--debug-tag TAG=LEVEL]... COMMAND [ARGS...]\n\ncommands:\n");
   for (const QvtoolCommand &c : COMMANDS)
      fprintf(stderr, "  %-10s %-24s %s\n", c.name, c.args, c.help);
}

}  // namespace

int main(int argc, char **argv)
{
   // After the debug options, argv[1] is the command name.
   int first = TakeDebugOptions(argc, argv);
   if (first < 0)
      return 2;
   argc -= first - 1;
   argv += first - 1;
   if (argc < 2 || !strcmp(argv[1], "--help") || !strcmp(argv[1], "-h"))
   {
      Usage();
      return (argc < 2) ? 2 : 0;
   }
   for (const QvtoolCommand &c : COMMANDS)
   {
      if (!strcmp(argv[1], c.name))
         return c.run(argc - 2, argv + 2);
   }
   fprintf(stderr, "qvtool: unknown command \"%s\"\n", argv[1]);
   Usage();
   return 2;
}
