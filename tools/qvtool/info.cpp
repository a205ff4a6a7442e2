/* qvtool info: the system's name and version, the host's name, the installation's
 * directories and the memory figures of this process. */
#include "qvtool.h"

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

int Usage()
{
   fprintf(stderr, "usage: qvtool info [--heap-report]\n");
   return 2;
}

}  // namespace

int CommandInfo(int argc, char **argv)
{
   bool heapReport = false;
   for (int i = 0; i < argc; i++)
   {
      if (!strcmp(argv[i], "--heap-report"))
         heapReport = true;
      else
         return Usage();
   }
   wchar_t text[TEXT_CHARS];
   PrintText("system:", GetWindowsVersionString(text, TEXT_CHARS) ? text : nullptr);
   GetOSVersionString(text, static_cast<int32_t>(TEXT_CHARS));
   PrintText("os version:", text);
   PrintText("host name:", GetLocalHostName(text, TEXT_CHARS, false));
   PrintText("full host name:", GetLocalHostName(text, TEXT_CHARS, true));

   const struct
   {
      const char *label;
      int type;
   } directories[] = {{"installation:", QV_DIR_INSTALLATION}, {"bin directory:", QV_DIR_BIN},
                      {"var directory:", QV_DIR_VAR},         {"etc directory:", QV_DIR_ETC},
                      {"lib directory:", QV_DIR_LIB},         {"share directory:", QV_DIR_SHARE}};
   for (const auto &d : directories)
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
