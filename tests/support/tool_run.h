/* Running the built qvtool from the tool tests: the binary is found through
 * QV_TEST_TOOLS_DIR, which ctest sets. */
#ifndef QORVEL_TESTS_SUPPORT_TOOL_RUN_H
#define QORVEL_TESTS_SUPPORT_TOOL_RUN_H

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>

struct ToolRun
{
   int status;          // exit code, or -1 when the program did not exit normally
   std::string output;  // standard output and standard error together
};

inline std::string ToolPath()
{
   const char *dir = getenv("QV_TEST_TOOLS_DIR");
   if (dir == nullptr)
      return std::string();
   std::string path = std::string(dir) + "/qvtool";
   struct stat st;
   return (stat(path.c_str(), &st) == 0) ? path : std::string();
}

/* Runs a shell command line; its output (standard error too) and exit code. */
inline ToolRun RunShell(const std::string &command)
{
   ToolRun run = {-1, std::string()};
   FILE *pipe = popen((command + " 2>&1").c_str(), "r");
   if (pipe == nullptr)
      return run;
   char chunk[512];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0)
      run.output.append(chunk, n);
   int status = pclose(pipe);
   run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   return run;
}

/* Runs qvtool with the arguments (each put in single quotes, so none may hold one). */
inline ToolRun RunTool(const std::string &arguments)
{
   return RunShell("'" + ToolPath() + "' " + arguments);
}

#endif
