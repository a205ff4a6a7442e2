/* Running the built qvtool from the tool tests: the binary is found through
 * QV_TEST_TOOLS_DIR, which ctest sets. */
#ifndef QORVEL_TESTS_SUPPORT_TOOL_RUN_H
#define QORVEL_TESTS_SUPPORT_TOOL_RUN_H

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
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

/* Base of the tool tests that work with files: each test gets a directory of its own,
 * m_dir, removed with everything in it after the test; without a built qvtool the test is
 * skipped. */
class ToolDirTest : public ::testing::Test
{
protected:
   qvtest::TempDir m_temp;
   std::filesystem::path m_dir;

   void SetUp() override
   {
      if (ToolPath().empty())
         GTEST_SKIP() << "qvtool is not built (QV_TEST_TOOLS_DIR unset or without qvtool)";
      ASSERT_FALSE(m_temp.path().empty());
      m_dir = m_temp.path();
   }
   /* The path of the file name in the directory. */
   std::string path(const char *name) const { return (m_dir / name).string(); }
   /* Appends content (any bytes) to the file name in the directory and returns its path. */
   std::string writeFile(const char *name, const std::string &content)
   {
      std::string file = path(name);
      FILE *f = fopen(file.c_str(), "ab");
      EXPECT_NE(f, nullptr);
      if (f != nullptr)
      {
         fwrite(content.data(), 1, content.size(), f);
         fclose(f);
      }
      return file;
   }
};

#endif
