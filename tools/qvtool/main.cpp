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
    {"receive-file", "[OPTIONS] PORT DIR",
     "receive a file sent with send-file into DIR [--overwrite] [--keep] [--deadline SECONDS]", CommandReceiveFile},
    {"keygen", "FILE", "write a new RSA key pair to a key file", CommandKeygen},
    {"pool-stress", "[--workers N] [--tasks N]...", "run a thread pool under load and watch it resize",
     CommandPoolStress},
    {"diff", "FILE1 FILE2", "print the lines removed from FILE1 and added in FILE2", CommandDiff},
    {"schedule", "\"SCHEDULE\" [--from T] [--count N]", "print the next local times a schedule matches",
     CommandSchedule},
    {"mac", "ADDRESS", "print a MAC address in every notation, with its length and class", CommandMac},
    {"geo", "COORDINATE", "print a coordinate read as a latitude and as a longitude", CommandGeo},
    {"table", "FILE", "print a table in its XML or packed form as aligned columns", CommandTable},
    {"crash-test", "[--thread] [--kind K] DIR", "crash on purpose (segv, fpe, overflow, abort) into DIR",
     CommandCrashTest},
    {"ping", "HOST [--count N] [--size BYTES]...", "send ICMP echo requests and show the answers", CommandPing},
    {"exec", "[--] COMMAND [ARGS...]", "run a shell command and stream its output; exits with its code", CommandExec},
    {"info", "[--heap-report]", "print the system, host, installation directories and memory figures", CommandInfo},
    {"config", "FILE|DIR... [--xml]", "load configuration files and print the merged tree", CommandConfig},
    {"agent", "--config FILE", "serve qvtool call clients as the configuration says", CommandAgent},
    {"call", "HOST:PORT COMMAND [ARGS]", "send one request to an agent (info, exec, get-file...)", CommandCall},
};

constexpr int DEBUG_KEY = LONG_OPTION_KEY;
constexpr int DEBUG_TAG_KEY = LONG_OPTION_KEY + 1;

const CommandOption GLOBAL_OPTIONS[] = {
    {"debug", required_argument, DEBUG_KEY, "LEVEL", "debug level of the library, 0 to 9"},
    {"debug-tag", required_argument, DEBUG_TAG_KEY, "TAG=LEVEL", "debug level of a tag (repeatable)"},
    {"help", no_argument, 'h', nullptr, "show this help"},
    {nullptr, 0, 0, nullptr, nullptr},
};

/* After the list of commands in the help: the exit codes and the machine-readable output. */
const char HELP_NOTES[] =
    "\nexit codes:\n"
    "  0  success\n"
    "  1  the operation failed (a message on standard error says what went wrong and what to do)\n"
    "  2  wrong usage: an unknown option, a bad option value, missing or extra arguments\n"
    "  exec exits with its command's code (126 when it cannot start it); diff as diff does\n"
    "  (0 the same lines, 1 lines differ, 2 trouble).\n"
    "\nmachine-readable output:\n"
    "  --json on addr, config, diff, geo, hash, info, mac, msg dump, password, ping, schedule,\n"
    "  send-file, receive-file, table and text prints one JSON document on standard output and\n"
    "  nothing else there; each command's --help lists its fields.\n"
    "\nprogress:\n"
    "  send-file, receive-file, pool-stress and config (directories) show a progress line on\n"
    "  standard error when it is a terminal, replaced by a summary at the end.\n";

/* The list of commands, after the options in the help and the usage. */
std::string CommandList()
{
   std::string list = "commands:\n";
   char line[256];
   for (const QvtoolCommand &c : COMMANDS)
   {
      snprintf(line, sizeof(line), "  %-12s %-26s %s\n", c.name, c.args, c.help);
      list += line;
   }
   return list + "(qvtool COMMAND --help for a command's options)\n";
}

}  // namespace

int main(int argc, char **argv)
{
   static const std::string commands = CommandList();
   static const std::string notes = commands + HELP_NOTES;
   static const CommandSyntax GLOBAL = {"",
                                        "[--debug LEVEL] [--debug-tag TAG=LEVEL]... COMMAND [ARGS...]",
                                        "the command-line companion of libqorvel",
                                        GLOBAL_OPTIONS,
                                        true,
                                        notes.c_str()};

   // Global options come before the command's name; the command reads the rest.
   CommandLine args(GLOBAL, argc - 1, argv + 1);
   int settings = 0;
   while (args.next())
   {
      switch (args.key())
      {
         case 'h': return args.help();
         case DEBUG_KEY:
            if (!SetDebugLevelOption(args.value()))
               return args.usage();
            break;
         case DEBUG_TAG_KEY:
            if (!SetDebugTagOption(args.value()))
               return args.usage();
            break;
         default: return args.usage();
      }
      settings++;
   }
   if (args.stopped())
      return args.exitCode();
   if (settings > 0)
      ShowDebugOutput(settings);
   if (args.operandCount() < 1)
   {
      args.usage();
      fputs(commands.c_str(), stderr);
      return 2;
   }
   const char *name = args.operand(0);
   for (const QvtoolCommand &c : COMMANDS)
   {
      if (!strcmp(name, c.name))
         return c.run(args.operandCount() - 1, args.operands() + 1);
   }
   args.fail("unknown command \"%s\"", name);
   fputs(commands.c_str(), stderr);
   return 2;
}
