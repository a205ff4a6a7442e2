/* Internal state shared by the crash handling units: the settings and the texts prepared
 * for the crash path. */
#ifndef QORVEL_SYSTEM_CRASH_H
#define QORVEL_SYSTEM_CRASH_H

#include <qv_platform.h>

namespace qv {
namespace system {

/* Room for the dump directory (a path the system accepts) and the base name. */
constexpr size_t CRASH_DUMP_DIR_CHARS = 4096;
constexpr size_t CRASH_BASE_NAME_CHARS = 64;

/* Room for the operating system's description. */
constexpr size_t CRASH_OS_VERSION_CHARS = 512;

struct CrashSettings
{
   int (*handler)(EXCEPTION_POINTERS *);
   void (*writer)(const wchar_t *);
   wchar_t dumpDir[CRASH_DUMP_DIR_CHARS];
   wchar_t baseName[CRASH_BASE_NAME_CHARS];
   DWORD logMessageCode;
   int fullDump;
   int printToScreen;
   wchar_t osVersion[CRASH_OS_VERSION_CHARS];  // empty when it could not be had
};

/* The settings; written by SetExceptionHandler at start, read in the crash path. */
CrashSettings &Crash();

/* The library's version and build tag texts. */
const char *CrashVersionText();
const char *CrashBuildTag();

}  // namespace system
}  // namespace qv

#endif
