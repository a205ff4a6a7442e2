/* Crash settings, the exception filter, exception names, and the bridge from the
 * platform's fatal-signal frame to the filter. */
#include "system/crash.h"

#include "platform/crash_dump.h"
#include "platform/crash_frame.h"
#include "platform/stack_walk.h"

#include <qv_log.h>

#include <string.h>

using namespace qv::platform;
using namespace qv::system;

namespace {

/* Version texts of this build; the build system gives the tag. */
#ifndef QORVEL_VERSION_TEXT
#define QORVEL_VERSION_TEXT "0.0.0"
#endif
#ifndef QORVEL_BUILD_TAG
#define QORVEL_BUILD_TAG "unknown"
#endif

CrashSettings g_settings = {nullptr, nullptr, L"/tmp", L"qorvel", 0, 0, 0, L""};

const struct
{
   DWORD code;
   const wchar_t *name;
} EXCEPTION_NAMES[] = {
    {EXCEPTION_ACCESS_VIOLATION, L"Access violation"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, L"Array bounds exceeded"},
    {EXCEPTION_BREAKPOINT, L"Breakpoint"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, L"Alignment error"},
    {EXCEPTION_FLT_DENORMAL_OPERAND, L"FLT_DENORMAL_OPERAND"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, L"FLT_DIVIDE_BY_ZERO"},
    {EXCEPTION_FLT_INEXACT_RESULT, L"FLT_INEXACT_RESULT"},
    {EXCEPTION_FLT_INVALID_OPERATION, L"FLT_INVALID_OPERATION"},
    {EXCEPTION_FLT_OVERFLOW, L"Floating point overflow"},
    {EXCEPTION_FLT_STACK_CHECK, L"FLT_STACK_CHECK"},
    {EXCEPTION_FLT_UNDERFLOW, L"Floating point underflow"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, L"Illegal instruction"},
    {EXCEPTION_IN_PAGE_ERROR, L"Page error"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, L"Divide by zero"},
    {EXCEPTION_INT_OVERFLOW, L"Integer overflow"},
    {EXCEPTION_INVALID_DISPOSITION, L"Invalid disposition"},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, L"Non-continuable exception"},
    {EXCEPTION_PRIV_INSTRUCTION, L"Priveledged instruction"},
    {EXCEPTION_SINGLE_STEP, L"Single step"},
    {EXCEPTION_STACK_OVERFLOW, L"Stack overflow"},
    {EXCEPTION_FATAL_APP_EXIT, L"Abort"},
};

/* The platform's fatal-signal frame calls this on the crashing thread. */
int OnFatalSignal(const CrashEvent *event)
{
   EXCEPTION_RECORD record;
   memset(&record, 0, sizeof(record));
   record.ExceptionCode = event->exceptionCode;
   record.ExceptionAddress = event->instructionAddress;
   if (event->faultAddress != nullptr || event->exceptionCode == EXCEPTION_ACCESS_VIOLATION)
   {
      record.NumberParameters = 2;
      record.ExceptionInformation[1] = reinterpret_cast<uintptr_t>(event->faultAddress);
   }
   CONTEXT context;
   memset(&context, 0, sizeof(context));
   context.Rip = reinterpret_cast<uintptr_t>(event->instructionAddress);
   context.SignalNumber = event->signal;
   context.SignalCode = event->signalCode;
   context.ThreadId = event->threadId;
   context.PlatformContext = event->context;
   context.PlatformSignalInfo = event->signalInfo;
   EXCEPTION_POINTERS pointers = {&record, &context};
   return ___ExceptionHandler(&pointers);
}

}  // namespace

namespace qv {
namespace system {

CrashSettings &Crash()
{
   return g_settings;
}

const char *CrashVersionText()
{
   return QORVEL_VERSION_TEXT;
}

const char *CrashBuildTag()
{
   return QORVEL_BUILD_TAG;
}

}  // namespace system
}  // namespace qv

QV_API void SetExceptionHandler(int (*handler)(EXCEPTION_POINTERS *), void (*writer)(const wchar_t *),
                                const wchar_t *dumpDir, const wchar_t *baseProcessName, DWORD logMessageCode,
                                int writeFullDump, int printToScreen)
{
   CrashSettings &s = g_settings;
   s.handler = handler;
   s.writer = writer;
   if (dumpDir != nullptr)
   {
      // A directory that does not fit is refused rather than cut into another one.
      if (wcslen(dumpDir) < CRASH_DUMP_DIR_CHARS)
         wcslcpy(s.dumpDir, dumpDir, CRASH_DUMP_DIR_CHARS);
      else
         qvlog_debug_tag(L"crash", 1, L"SetExceptionHandler: dump directory too long, \"%s\" kept", s.dumpDir);
   }
   if (baseProcessName != nullptr)
      wcslcpy(s.baseName, baseProcessName, CRASH_BASE_NAME_CHARS);
   s.logMessageCode = logMessageCode;
   s.fullDump = writeFullDump;
   s.printToScreen = printToScreen;
   if (handler != nullptr)
   {
      // Everything the crash path needs that it may not do itself.
      if (!GetWindowsVersionString(s.osVersion, CRASH_OS_VERSION_CHARS))
         s.osVersion[0] = 0;
      CrashLocalTimePrepare();
      StackWalkPrepare();
   }
   CrashHandlingSet((handler != nullptr) ? OnFatalSignal : nullptr);
}

QV_API int ___ExceptionHandler(EXCEPTION_POINTERS *pInfo)
{
   int (*handler)(EXCEPTION_POINTERS *) = g_settings.handler;
   if (handler == nullptr || pInfo == nullptr || pInfo->ExceptionRecord == nullptr)
      return EXCEPTION_CONTINUE_SEARCH;
   DWORD code = pInfo->ExceptionRecord->ExceptionCode;
   if (code == EXCEPTION_BREAKPOINT || code == EXCEPTION_SINGLE_STEP)
      return EXCEPTION_CONTINUE_SEARCH;
   CrashLockAcquire();
   return (handler(pInfo) != 0) ? EXCEPTION_EXECUTE_HANDLER : EXCEPTION_CONTINUE_SEARCH;
}

QV_API const wchar_t *SEHExceptionName(DWORD code)
{
   for (const auto &entry : EXCEPTION_NAMES)
   {
      if (entry.code == code)
         return entry.name;
   }
   return L"Unknown";
}
