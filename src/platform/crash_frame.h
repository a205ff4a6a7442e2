/* Internal crash frame: fatal signal handling on a per-thread alternate stack, the crash
 * lock, recovery from faults inside the crash path, and the hook through which the crash
 * handler above the log is called. No OS header appears here; the POSIX side is
 * crash_frame.cpp. Everything marked "crash path" is async-signal-safe: no heap, no
 * stdio, no lock that the crashing thread may hold. */
#ifndef QORVEL_PLATFORM_CRASH_FRAME_H
#define QORVEL_PLATFORM_CRASH_FRAME_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Smallest alternate signal stack: the crash path (stack walk, compression) needs more
 * than the platform's default, and a smaller one overflowed in practice. */
constexpr size_t CRASH_ALT_STACK_BYTES = 256 * 1024;

/* Exception codes a fatal signal maps onto. */
constexpr uint32_t CRASH_ACCESS_VIOLATION = 0xC0000005;
constexpr uint32_t CRASH_ARRAY_BOUNDS_EXCEEDED = 0xC000008C;
constexpr uint32_t CRASH_BREAKPOINT = 0x80000003;
constexpr uint32_t CRASH_ALIGNMENT_ERROR = 0x80000002;
constexpr uint32_t CRASH_FLT_DIVIDE_BY_ZERO = 0xC000008E;
constexpr uint32_t CRASH_FLT_INEXACT_RESULT = 0xC000008F;
constexpr uint32_t CRASH_FLT_INVALID_OPERATION = 0xC0000090;
constexpr uint32_t CRASH_FLT_OVERFLOW = 0xC0000091;
constexpr uint32_t CRASH_FLT_UNDERFLOW = 0xC0000093;
constexpr uint32_t CRASH_ILLEGAL_INSTRUCTION = 0xC000001D;
constexpr uint32_t CRASH_PAGE_ERROR = 0xC0000006;
constexpr uint32_t CRASH_INT_DIVIDE_BY_ZERO = 0xC0000094;
constexpr uint32_t CRASH_INT_OVERFLOW = 0xC0000095;
constexpr uint32_t CRASH_PRIVILEGED_INSTRUCTION = 0xC0000096;
constexpr uint32_t CRASH_SINGLE_STEP = 0x80000004;
constexpr uint32_t CRASH_STACK_OVERFLOW = 0xC00000FD;
/* abort(): the code of a fatal application exit. */
constexpr uint32_t CRASH_ABORT = 0x40000015;

/* One fatal signal as the crash handler sees it. */
struct CrashEvent
{
   int signal;
   int signalCode;            // the signal's si_code
   uint32_t exceptionCode;    // one of the CRASH_ codes
   void *instructionAddress;  // where it happened
   void *faultAddress;        // the address that faulted (memory faults), else 0
   uint32_t threadId;         // kernel id of the crashing thread
   void *context;             // the platform's machine context (ucontext_t)
   void *signalInfo;          // the platform's signal information (siginfo_t)
};

/* The crash handler: returns non-zero to end the process with exit code 99, zero to pass
 * the signal on to what handled it before (the default action when nothing did). Runs on
 * the crashing thread, on its alternate stack when it has one. Crash path. */
typedef int (*CrashCallback)(const CrashEvent *event);

/* Sets the crash handler (null: signals are passed on) and, the first time, installs the
 * fatal signal handlers (segmentation fault, bus error, illegal instruction, arithmetic
 * error, abort) and gives the calling thread an alternate stack. */
void CrashHandlingSet(CrashCallback callback);

/* Runs entry(arg) on the calling thread with an alternate signal stack of
 * CRASH_ALT_STACK_BYTES for the time of the call, so that a stack overflow on the thread
 * is handled too. A crash the handler accepts ends the process with exit code 99. */
void RunInCrashFrame(void (*entry)(void *arg), void *arg);

/* Gives the calling thread an alternate signal stack for the rest of its life unless it
 * has one. */
void CrashAltStackEnsure();

/* Takes the crash lock for good: the first caller owns it and never gives it back; any
 * other thread waits here until the process has ended. Crash path. */
void CrashLockAcquire();

/* Runs body(arg) and returns true; a fault inside it (a bad stack while unwinding, memory
 * that cannot be read) ends the body early and gives false. Only for the thread that is
 * handling a crash. Crash path. */
bool CrashRunGuarded(void (*body)(void *arg), void *arg);

/* Ends the process at once with exit code 99. Crash path. */
[[noreturn]] void CrashExitProcess();

/* Writes bytes to standard output or standard error. Crash path. */
void CrashWriteStdout(const char *bytes, size_t count);
void CrashWriteStderr(const char *bytes, size_t count);

}  // namespace platform
}  // namespace qv

#endif
