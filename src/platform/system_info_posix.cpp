/* System information from uname(2) and /etc/os-release. */
#include "platform/system_info.h"
#include "platform/files.h"

#include <stdio.h>
#include <string.h>
#include <sys/utsname.h>

namespace {

/* Longest line of os-release read. */
constexpr size_t OS_RELEASE_LINE_BYTES = 512;

/* Copies the value of a line "KEY=value" or KEY="value" into out. */
void CopyValue(const char *value, char *out, size_t size)
{
   size_t length = strcspn(value, "\r\n");
   if (length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0])
   {
      value++;
      length -= 2;
   }
   if (length >= size)
      length = size - 1;
   memcpy(out, value, length);
   out[length] = 0;
}

}  // namespace

namespace qv {
namespace platform {

bool KernelVersion(char *name, char *release, char *version, size_t size)
{
   struct utsname info;
   if (size == 0 || uname(&info) != 0)
      return false;
   snprintf(name, size, "%s", info.sysname);
   snprintf(release, size, "%s", info.release);
   snprintf(version, size, "%s", info.version);
   return true;
}

bool DistributionName(char *out, size_t size)
{
   if (size == 0)
      return false;
   out[0] = 0;
   FILE *file = FileOpen("/etc/os-release", "r");
   if (file == nullptr)
      file = FileOpen("/usr/lib/os-release", "r");
   if (file == nullptr)
      return false;
   char line[OS_RELEASE_LINE_BYTES];
   bool pretty = false;
   while (fgets(line, sizeof(line), file) != nullptr)
   {
      if (!strncmp(line, "PRETTY_NAME=", 12))
      {
         CopyValue(line + 12, out, size);
         pretty = true;
      }
      else if (!pretty && !strncmp(line, "NAME=", 5))
      {
         CopyValue(line + 5, out, size);
      }
   }
   fclose(file);
   return out[0] != 0;
}

}  // namespace platform
}  // namespace qv
