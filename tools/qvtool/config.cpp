/* qvtool config: loads configuration files and directories as a host program does and
 * prints the merged tree, writes it as XML, or only checks it for errors. */
#include "qvtool.h"

#include "progress.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

namespace {

constexpr int XML_KEY = LONG_OPTION_KEY;
constexpr int CHECK_KEY = LONG_OPTION_KEY + 1;
constexpr int SECTION_KEY = LONG_OPTION_KEY + 2;

const CommandOption OPTIONS[] = {
    {"xml", no_argument, XML_KEY, nullptr, "write the merged tree as XML instead of printing it"},
    {"check", no_argument, CHECK_KEY, nullptr, "only report errors; exit with 1 when there was one"},
    {"section", required_argument, SECTION_KEY, "NAME", "section of INI keys before any header (default: main)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"config",
                              "[--xml] [--check] [--section NAME] FILE|DIR...",
                              "load configuration files (INI or XML, told apart by their first character) and the "
                              "files of directories in name order, and print the merged tree",
                              OPTIONS,
                              false,
                              "Errors are printed to standard error as FILE:LINE: MESSAGE.\n"};

constexpr int OK = 0;
constexpr int ERRORS_FOUND = 1;

/* Keeps the library's debug line for errors out of the way: they are printed from the
 * error records instead. */
class ToolConfig : public Config
{
protected:
   void onError(const wchar_t *) override {}
};

std::wstring Wide(const char *text)
{
   wchar_t *w = WideStringFromMBString(text);
   std::wstring result = (w != nullptr) ? w : L"";
   free(w);
   return result;
}

void PrintError(const ConfigError &e)
{
   String line;
   line.append(e.file);
   if (e.line > 0)
   {
      line.append(L':');
      line.append(e.line);
   }
   line.append(L": ");
   line.append(e.message);
   // Some messages carry their own line end.
   if (line.length() > 0 && line.getBuffer()[line.length() - 1] == L'\n')
      line.shrink(1);
   char *bytes = MBStringFromWideString(line);
   if (bytes != nullptr)
   {
      fprintf(stderr, "%s\n", bytes);
      free(bytes);
   }
}

void ShowLoadProgress(const wchar_t *, int32_t filesDone, int32_t fileCount, void *arg)
{
   ProgressLine *line = static_cast<ProgressLine *>(arg);
   line->setTotal(fileCount);
   line->update(filesDone);
}

}  // namespace

int CommandConfig(int argc, char **argv)
{
   bool xml = false, check = false;
   std::wstring section = L"main";
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      switch (args.key())
      {
         case XML_KEY: xml = true; break;
         case CHECK_KEY: check = true; break;
         case SECTION_KEY: section = Wide(args.value()); break;
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() < 1)
      return args.fail("no file or directory given");

   ToolConfig config;
   for (int i = 0; i < args.operandCount(); i++)
   {
      std::wstring path = Wide(args.operand(i));
      struct stat st;
      if (stat(args.operand(i), &st) == 0 && S_ISDIR(st.st_mode))
      {
         // A large directory shows its progress in files; the tree printed is the result.
         ProgressLine line("config", -1, "files");
         config.setLoadProgress(ShowLoadProgress, &line);
         config.loadConfigDirectory(path.c_str(), section.c_str(), true);
         config.setLoadProgress(nullptr, nullptr);
         line.finish(nullptr);
      }
      else
         config.loadConfig(path.c_str(), section.c_str(), true);
   }
   for (int32_t i = 0; i < config.getErrorRecordCount(); i++)
      PrintError(*config.getErrorRecord(i));
   if (config.getErrorCount() > config.getErrorRecordCount())
      fprintf(stderr, "qvtool config: %d more errors\n",
              static_cast<int>(config.getErrorCount() - config.getErrorRecordCount()));

   if (check)
      return (config.getErrorCount() > 0) ? ERRORS_FOUND : OK;
   if (xml)
   {
      config.setTopLevelTag(L"config");
      char *text = UTF8StringFromWideString(config.createXml());
      if (text != nullptr)
      {
         fputs(text, stdout);
         free(text);
      }
   }
   else
   {
      config.print(stdout);
   }
   return OK;
}
