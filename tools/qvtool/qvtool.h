/* qvtool's commands: each takes the arguments after its name and returns the exit code. */
#ifndef QVTOOL_QVTOOL_H
#define QVTOOL_QVTOOL_H

#include <qorvel.h>

struct QvtoolCommand
{
   const char *name;
   const char *args;
   const char *help;
   int (*run)(int argc, char **argv);
};

/* Takes the global options --debug LEVEL and --debug-tag TAG=LEVEL (each repeatable) that
 * follow argv[0]: sets the library's debug levels and, when there was any, shows the
 * library's debug output on standard error. Returns the index of the first argument after
 * them, or -1 after printing why an option is wrong. */
int TakeDebugOptions(int argc, char **argv);

int CommandText(int argc, char **argv);
int CommandAddr(int argc, char **argv);
int CommandHash(int argc, char **argv);
int CommandPassword(int argc, char **argv);
int CommandMsg(int argc, char **argv);
int CommandSendFile(int argc, char **argv);
int CommandReceiveFile(int argc, char **argv);
int CommandKeygen(int argc, char **argv);
int CommandPoolStress(int argc, char **argv);
int CommandCrashTest(int argc, char **argv);
int CommandExec(int argc, char **argv);
int CommandInfo(int argc, char **argv);

#endif
