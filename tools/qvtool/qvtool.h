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

int CommandText(int argc, char **argv);
int CommandAddr(int argc, char **argv);
int CommandHash(int argc, char **argv);
int CommandPassword(int argc, char **argv);

#endif
