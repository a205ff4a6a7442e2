/* qvtool's commands: each takes the arguments after its name and returns the exit code. */
#ifndef QVTOOL_QVTOOL_H
#define QVTOOL_QVTOOL_H

#include <qorvel.h>

#include "command_line.h"

#include <jansson.h>

#include <stdio.h>

#include <string>
#include <vector>

struct QvtoolCommand
{
   const char *name;
   const char *args;
   const char *help;
   int (*run)(int argc, char **argv);
};

/* The global debug options: --debug LEVEL sets the library's default debug level,
 * --debug-tag TAG=LEVEL the level of a tag. False, after printing why, for a bad value. */
bool SetDebugLevelOption(const char *value);
bool SetDebugTagOption(const char *value);
/* After the global options: shows the library's debug output on standard error, and
 * tells how many debug options there were. */
void ShowDebugOutput(int settings);

int CommandText(int argc, char **argv);
int CommandAddr(int argc, char **argv);
int CommandHash(int argc, char **argv);
int CommandPassword(int argc, char **argv);
int CommandMsg(int argc, char **argv);
int CommandSendFile(int argc, char **argv);
int CommandReceiveFile(int argc, char **argv);
int CommandKeygen(int argc, char **argv);
int CommandPoolStress(int argc, char **argv);
int CommandPing(int argc, char **argv);
int CommandDiff(int argc, char **argv);
int CommandSchedule(int argc, char **argv);
int CommandMac(int argc, char **argv);
int CommandGeo(int argc, char **argv);
int CommandTable(int argc, char **argv);
int CommandCrashTest(int argc, char **argv);
int CommandExec(int argc, char **argv);
int CommandInfo(int argc, char **argv);
int CommandConfig(int argc, char **argv);
int CommandAgent(int argc, char **argv);
int CommandCall(int argc, char **argv);

/* The name of an IcmpPing result ("PING_OK" ...), "unknown" for other values. */
const char *PingResultName(uint32_t result);

/* The table as lines of aligned columns: the display names (an instance column marked
 * with '*'), with rule a line of dashes under them, then the rows. Control characters are
 * shown escaped, so that every cell stays on its line. */
std::vector<std::string> AlignedTableLines(const Table *table, bool rule);
/* Prints the table's title, source and format, then its cells as aligned columns under
 * the display names (an instance column marked with '*'), and the row and column counts. */
void PrintTable(const Table *table, FILE *out);
/* The same facts as a new JSON object (caller json_decrefs it): title, source, format,
 * columns (name, displayName, dataType, instance) and rows (arrays of cell texts). */
json_t *TableJson(const Table *table);

#endif
