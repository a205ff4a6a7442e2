/* The installation's directories, the host's name and figures of the running process. */
#include <qv_platform.h>

#include "platform/process_info.h"

#include <stdlib.h>
#include <string.h>

using namespace qv::platform;

namespace {

/* Environment variable that names the installation directory. */
const char *const HOME_VARIABLE = "QORVEL_HOME";

/* Installation directory when neither the variable nor the program's path tells. */
const wchar_t DEFAULT_INSTALLATION[] = L"/opt/qorvel";

/* Directories below the installation directory, by directory type. */
const wchar_t *const SUBDIRECTORIES[] = {L"bin", L"var", L"etc", L"lib", L"share"};

/* Room for the program's path (UTF-8) and for a host name. */
constexpr size_t PROGRAM_PATH_BYTES = 4096;
constexpr size_t HOST_NAME_BYTES = 256;

/* Text of GetHeapInfo where the allocator gives no report. */
const wchar_t NO_HEAP_INFO[] = L"No heap information API available";

/* Figure of the heap functions where the allocator gives none. */
constexpr int64_t FIGURE_NOT_AVAILABLE = -1;

/* Drops trailing separators, keeping a lone "/". */
void TrimSeparators(wchar_t *path)
{
   size_t length = wcslen(path);
   while (length > 1 && path[length - 1] == L'/')
      path[--length] = 0;
}

/* The installation directory from the program's path: the path without its file name
 * and its last directory. False when the path cannot be read or has fewer than two
 * separators. */
bool InstallationFromProgram(wchar_t *out, size_t size)
{
   char path[PROGRAM_PATH_BYTES];
   if (!ProgramPath(path, sizeof(path)))
      return false;
   for (int level = 0; level < 2; level++)
   {
      char *separator = strrchr(path, DIRECTORY_SEPARATOR);
      if (separator == nullptr)
         return false;
      *separator = 0;
   }
   // A program two levels below the root gives the root itself.
   if (path[0] == 0)
      strlcpy(path, "/", sizeof(path));
   return utf8_to_wchar(path, -1, out, static_cast<int>(size)) > 0;
}

int64_t Figure(uint64_t value)
{
   return (value > static_cast<uint64_t>(INT64_MAX)) ? INT64_MAX : static_cast<int64_t>(value);
}

}  // namespace

QV_API void GetQorvelDirectory(int type, wchar_t *buffer)
{
   if (buffer == nullptr)
      return;
   wchar_t home[QV_MAX_PATH];
   home[0] = 0;
   const char *variable = getenv(HOME_VARIABLE);
   if (variable != nullptr && variable[0] != 0)
      mb_to_wchar(variable, -1, home, QV_MAX_PATH);
   if (home[0] == 0 && !InstallationFromProgram(home, QV_MAX_PATH))
      wcslcpy(home, DEFAULT_INSTALLATION, QV_MAX_PATH);
   TrimSeparators(home);

   if (type < QV_DIR_BIN || type > QV_DIR_SHARE)
   {
      wcslcpy(buffer, home, QV_MAX_PATH);
      return;
   }
   // The root as installation directory takes no second separator.
   const wchar_t *base = (wcscmp(home, L"/") == 0) ? L"" : home;
   qv_snwprintf(buffer, QV_MAX_PATH, L"%s/%s", base, SUBDIRECTORIES[type]);
}

QV_API wchar_t *GetLocalHostName(wchar_t *buffer, size_t size, bool fullyQualified)
{
   if (buffer == nullptr || size == 0)
      return nullptr;
   buffer[0] = 0;
   char name[HOST_NAME_BYTES];
   if (!HostName(name, sizeof(name), fullyQualified))
      return nullptr;
   int limit = (size > static_cast<size_t>(INT32_MAX)) ? INT32_MAX : static_cast<int>(size);
   utf8_to_wchar(name, -1, buffer, limit);
   return buffer;
}

QV_API uint64_t GetProcessRSS(void)
{
   return ResidentSetBytes();
}

QV_API wchar_t *GetHeapInfo(void)
{
   char *report = HeapReport();
   wchar_t *text = (report != nullptr) ? WideStringFromUTF8String(report) : nullptr;
   free(report);
   return (text != nullptr) ? text : qv_wcsdup(NO_HEAP_INFO);
}

QV_API int64_t GetActiveHeapMemory(void)
{
   HeapFigures figures;
   if (!HeapStatistics(&figures))
      return FIGURE_NOT_AVAILABLE;
   return Figure((figures.retained > figures.releasable) ? figures.retained - figures.releasable : 0);
}

QV_API int64_t GetAllocatedHeapMemory(void)
{
   HeapFigures figures;
   return HeapStatistics(&figures) ? Figure(figures.inUse) : FIGURE_NOT_AVAILABLE;
}

QV_API int64_t GetMappedHeapMemory(void)
{
   HeapFigures figures;
   return HeapStatistics(&figures) ? Figure(figures.retained) : FIGURE_NOT_AVAILABLE;
}
