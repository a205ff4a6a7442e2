/* The operating system's name and version for reports and host programs. */
#include <qv_platform.h>

#include "platform/system_info.h"

#include <stdlib.h>
#include <string.h>

using namespace qv::platform;

namespace {

/* Room for each text uname gives and for the distribution's name. */
constexpr size_t SYSTEM_TEXT_BYTES = 256;

}  // namespace

QV_API int32_t GetOSVersionString(wchar_t *buffer, int32_t size)
{
   if (buffer == nullptr || size < 1)
      return 0;
   char name[SYSTEM_TEXT_BYTES];
   char release[SYSTEM_TEXT_BYTES];
   char version[SYSTEM_TEXT_BYTES];
   int major = 0;
   int minor = 0;
   if (KernelVersion(name, release, version, SYSTEM_TEXT_BYTES))
   {
      char *end;
      major = static_cast<int>(strtol(release, &end, 10));
      if (*end == '.')
         minor = static_cast<int>(strtol(end + 1, nullptr, 10));
   }
   int written = qv_snwprintf(buffer, static_cast<size_t>(size), L"Linux %d.%d", major, minor);
   if (written < 0)
      return 0;
   return (written < size) ? written : size - 1;
}

QV_API bool GetWindowsVersionString(wchar_t *buffer, size_t size)
{
   if (buffer == nullptr || size == 0)
      return false;
   buffer[0] = 0;
   char name[SYSTEM_TEXT_BYTES];
   char release[SYSTEM_TEXT_BYTES];
   char version[SYSTEM_TEXT_BYTES];
   if (!KernelVersion(name, release, version, SYSTEM_TEXT_BYTES))
      return false;
   char distribution[SYSTEM_TEXT_BYTES];
   if (!DistributionName(distribution, sizeof(distribution)))
      strlcpy(distribution, "(unknown distribution)", sizeof(distribution));
   qv_snwprintf(buffer, size, L"%hs %hs Build %hs %hs", name, distribution, release, version);
   size_t length = wcslen(buffer);
   while (length > 0 && (buffer[length - 1] == L' ' || buffer[length - 1] == L'\t'))
      buffer[--length] = 0;
   return true;
}
