/* qvtool config: loads configuration files and directories as a host program does and
 * prints the merged tree, writes it as XML, or only checks it for errors. */
#include "qvtool.h"

#include "json_output.h"
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
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "config",
    "[--xml|--json] [--check] [--section NAME] FILE|DIR...",
    "load configuration files (INI or XML, told apart by their first character) and the "
    "files of directories in name order, and print the merged tree",
    OPTIONS,
    false,
    "Errors are printed to standard error as FILE:LINE: MESSAGE.\n"
    "JSON fields: sources (the files and directories given), errorCount, errors (array of\n"
    "  file, line (0 when none), message; the first ones recorded), entries (the root's\n"
    "  children, in order; each with name, values (array of texts), file, line and entries).\n"
    "  With --check, no entries.\n"
    "Exit code 1 with --check when there was an error.\n"};

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

/* The children of entry as a JSON array of objects, each with its own children. */
json_t *EntriesJson(const ConfigEntry *entry)
{
   json_t *array = json_array();
   ObjectArray<ConfigEntry> *children = entry->getSubEntries(nullptr);
   for (int i = 0; children != nullptr && i < children->size(); i++)
   {
      const ConfigEntry *child = children->get(i);
      json_t *values = json_array();
      for (int32_t v = 0; v < child->getValueCount(); v++)
         json_array_append_new(values, JsonString(child->getValue(v)));
      json_array_append_new(array, json_pack("{s:o, s:o, s:o, s:i, s:o}", "name", JsonString(child->getName()),
                                             "values", values, "file", JsonString(child->getFile()), "line",
                                             child->getLine(), "entries", EntriesJson(child)));
   }
   delete children;
   return array;
}

json_t *ConfigJson(const Config &config, const CommandLine &args, bool withEntries)
{
   json_t *sources = json_array();
   for (int i = 0; i < args.operandCount(); i++)
      json_array_append_new(sources, JsonText(args.operand(i)));
   json_t *errors = json_array();
   for (int32_t i = 0; i < config.getErrorRecordCount(); i++)
   {
      const ConfigError *e = config.getErrorRecord(i);
      json_array_append_new(errors, json_pack("{s:o, s:i, s:o}", "file", JsonString(e->file), "line", e->line,
                                              "message", JsonString(e->message)));
   }
   json_t *document =
       json_pack("{s:o, s:i, s:o}", "sources", sources, "errorCount", config.getErrorCount(), "errors", errors);
   if (withEntries && document != nullptr)
      json_object_set_new(document, "entries", EntriesJson(config.getEntry(L"/")));
   return document;
}

}  // namespace

int CommandConfig(int argc, char **argv)
{
   bool xml = false, check = false, json = false;
   std::wstring section = L"main";
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      switch (args.key())
      {
         case XML_KEY: xml = true; break;
         case CHECK_KEY: check = true; break;
         case SECTION_KEY: section = Wide(args.value()); break;
         case JSON_OPTION_KEY: json = true; break;
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() < 1)
      return args.fail("no file or directory given");
   if (xml && json)
      return args.fail("--xml and --json exclude each other; choose one");

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

   if (json)
   {
      int printed = PrintJson(ConfigJson(config, args, !check), "config");
      if (printed != 0)
         return printed;
   }
   if (check)
      return (config.getErrorCount() > 0) ? ERRORS_FOUND : OK;
   if (json)
      return OK;
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
