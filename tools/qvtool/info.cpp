/* qvtool info: the system's name and version, the host's name, the installation's
 * directories and the memory figures of this process. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Room for the texts printed. */
constexpr size_t TEXT_CHARS = 512;

void PrintText(const char *label, const wchar_t *text)
{
   char *utf8 = (text != nullptr) ? UTF8StringFromWideString(text) : nullptr;
   printf("%-22s %s\n", label, (utf8 != nullptr) ? utf8 : "(unknown)");
   free(utf8);
}

void PrintFigure(const char *label, int64_t value)
{
   if (value < 0)
      printf("%-22s (not available)\n", label);
   else
      printf("%-22s %lld\n", label, static_cast<long long>(value));
}

constexpr int HEAP_REPORT_KEY = LONG_OPTION_KEY;

const CommandOption OPTIONS[] = {
    {"heap-report", no_argument, HEAP_REPORT_KEY, nullptr, "add the C library's report of the heap"},
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "info",
    "[--heap-report] [--json]",
    "print the system, host, installation directories and memory figures",
    OPTIONS,
    false,
    "JSON fields: system, osVersion, hostName, fullHostName (null when unknown), directories\n"
    "  (installation, bin, var, etc, lib, share), memory (residentBytes, heapAllocatedBytes,\n"
    "  heapActiveBytes, heapMappedBytes; null when not available), heapReport (with --heap-report).\n"};

/* The directories, with their labels and JSON names. */
const struct
{
   const char *label;
   const char *key;
   int type;
} DIRECTORIES[] = {{"installation:", "installation", QV_DIR_INSTALLATION},
                   {"bin directory:", "bin", QV_DIR_BIN},
                   {"var directory:", "var", QV_DIR_VAR},
                   {"etc directory:", "etc", QV_DIR_ETC},
                   {"lib directory:", "lib", QV_DIR_LIB},
                   {"share directory:", "share", QV_DIR_SHARE}};

/* A figure, or JSON null when below 0 (not available). */
json_t *Figure(int64_t value)
{
   return (value < 0) ? json_null() : json_integer(static_cast<json_int_t>(value));
}

json_t *InfoJson(bool heapReport)
{
   wchar_t text[TEXT_CHARS];
   json_t *document = json_object();
   json_object_set_new(document, "system", JsonString(GetWindowsVersionString(text, TEXT_CHARS) ? text : nullptr));
   GetOSVersionString(text, static_cast<int32_t>(TEXT_CHARS));
   json_object_set_new(document, "osVersion", JsonString(text));
   json_object_set_new(document, "hostName", JsonString(GetLocalHostName(text, TEXT_CHARS, false)));
   json_object_set_new(document, "fullHostName", JsonString(GetLocalHostName(text, TEXT_CHARS, true)));
   json_t *directories = json_object();
   for (const auto &d : DIRECTORIES)
   {
      wchar_t path[QV_MAX_PATH];
      GetQorvelDirectory(d.type, path);
      json_object_set_new(directories, d.key, JsonString(path));
   }
   json_object_set_new(document, "directories", directories);
   uint64_t rss = GetProcessRSS();
   json_t *memory = json_object();
   json_object_set_new(memory, "residentBytes", Figure((rss > 0) ? static_cast<int64_t>(rss) : -1));
   json_object_set_new(memory, "heapAllocatedBytes", Figure(GetAllocatedHeapMemory()));
   json_object_set_new(memory, "heapActiveBytes", Figure(GetActiveHeapMemory()));
   json_object_set_new(memory, "heapMappedBytes", Figure(GetMappedHeapMemory()));
   json_object_set_new(document, "memory", memory);
   if (heapReport)
   {
      wchar_t *report = GetHeapInfo();
      json_object_set_new(document, "heapReport", JsonString(report));
      free(report);
   }
   return document;
}

}  // namespace

int CommandInfo(int argc, char **argv)
{
   bool heapReport = false, json = false;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      switch (args.key())
      {
         case HEAP_REPORT_KEY: heapReport = true; break;
         case JSON_OPTION_KEY: json = true; break;
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 0)
      return args.usage();
   if (json)
      return PrintJson(InfoJson(heapReport), "info");

   wchar_t text[TEXT_CHARS];
   PrintText("system:", GetWindowsVersionString(text, TEXT_CHARS) ? text : nullptr);
   GetOSVersionString(text, static_cast<int32_t>(TEXT_CHARS));
   PrintText("os version:", text);
   PrintText("host name:", GetLocalHostName(text, TEXT_CHARS, false));
   PrintText("full host name:", GetLocalHostName(text, TEXT_CHARS, true));

   for (const auto &d : DIRECTORIES)
   {
      wchar_t path[QV_MAX_PATH];
      GetQorvelDirectory(d.type, path);
      PrintText(d.label, path);
   }

   uint64_t rss = GetProcessRSS();
   PrintFigure("resident memory:", (rss > 0) ? static_cast<int64_t>(rss) : -1);
   PrintFigure("heap allocated:", GetAllocatedHeapMemory());
   PrintFigure("heap active:", GetActiveHeapMemory());
   PrintFigure("heap mapped:", GetMappedHeapMemory());
   if (heapReport)
   {
      wchar_t *report = GetHeapInfo();
      PrintText("heap report:", report);
      free(report);
   }
   return 0;
}
