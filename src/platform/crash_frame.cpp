/* POSIX crash frame: sigaction handlers for the fatal signals on a per-thread alternate
 * stack, the crash lock, fault recovery inside the crash path, and passing signals on. */
#include "platform/crash_frame.h"

#include <atomic>
#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

namespace {

using namespace qv::platform;

/* The signals that mean a thread cannot go on. */
constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int FATAL_SIGNAL_COUNT = sizeof(FATAL_SIGNALS) / sizeof(FATAL_SIGNALS[0]);

/* Exit code of a process that a handled crash ended. */
constexpr int CRASH_EXIT_CODE = 99;

/* A memory fault this close to the stack pointer, or just below a thread's known stack,
 * is taken as a stack overflow. */
constexpr uintptr_t STACK_OVERFLOW_REACH = 64 * 1024;
constexpr uintptr_t STACK_OVERFLOW_SLACK = 256;

/* Per-thread crash state; initial-exec TLS, so the signal handler reads it without the
 * dynamic loader. */
struct CrashThreadState
{
   bool inCrash;          // this thread is running the crash handler
   sigjmp_buf *recovery;  // where a fault inside CrashRunGuarded goes
   uintptr_t stackLow;    // lowest address of the thread's stack, 0 when unknown
   bool ownAltStack;      // the thread has an alternate stack that lives as long as it
};

__attribute__((tls_model("initial-exec"))) thread_local CrashThreadState t_state;

std::atomic<CrashCallback> g_callback{nullptr};
std::atomic<bool> g_installed{false};
std::atomic<uint32_t> g_lockOwner{0};

/* The actions in place before ours, restored when a signal is passed on. */
struct sigaction g_previous[FATAL_SIGNAL_COUNT];

uint32_t ThreadId()
{
   return static_cast<uint32_t>(syscall(SYS_gettid));
}

size_t PageSize()
{
   return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

void WriteAll(int fd, const char *bytes, size_t count)
{
   while (count > 0)
   {
      ssize_t n = write(fd, bytes, count);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return;
      bytes += n;
      count -= static_cast<size_t>(n);
   }
}

/* An alternate stack with a guard page below it; null when it cannot be mapped. The
 * stack_t to install is filled. */
void *MapAltStack(stack_t *stack)
{
   size_t page = PageSize();
   size_t size = CRASH_ALT_STACK_BYTES + page;
   void *base = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
   if (base == MAP_FAILED)
      return nullptr;
   mprotect(base, page, PROT_NONE);
   stack->ss_sp = static_cast<char *>(base) + page;
   stack->ss_size = CRASH_ALT_STACK_BYTES;
   stack->ss_flags = 0;
   return base;
}

void UnmapAltStack(void *base)
{
   munmap(base, CRASH_ALT_STACK_BYTES + PageSize());
}

uintptr_t StackPointerOf(const ucontext_t *uc)
{
#if defined(__x86_64__)
   return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
   return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
   (void)uc;
   return 0;
#endif
}

void *InstructionPointerOf(const ucontext_t *uc)
{
#if defined(__x86_64__)
   return reinterpret_cast<void *>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
   return reinterpret_cast<void *>(uc->uc_mcontext.pc);
#else
   (void)uc;
   return nullptr;
#endif
}

bool IsStackOverflow(uintptr_t fault, uintptr_t sp)
{
   uintptr_t low = t_state.stackLow;
   if (low != 0 && fault < low + PageSize() && fault + STACK_OVERFLOW_REACH * 16 >= low)
      return true;
   return sp != 0 && fault <= sp + STACK_OVERFLOW_SLACK && fault + STACK_OVERFLOW_REACH >= sp;
}

uint32_t ExceptionCodeOf(int sig, const siginfo_t *info, const ucontext_t *uc)
{
   int code = info->si_code;
   switch (sig)
   {
      case SIGSEGV:
         return IsStackOverflow(reinterpret_cast<uintptr_t>(info->si_addr), StackPointerOf(uc))
                    ? CRASH_STACK_OVERFLOW
                    : CRASH_ACCESS_VIOLATION;
      case SIGBUS: return (code == BUS_ADRALN) ? CRASH_ALIGNMENT_ERROR : CRASH_PAGE_ERROR;
      case SIGILL:
         return (code == ILL_PRVOPC || code == ILL_PRVREG) ? CRASH_PRIVILEGED_INSTRUCTION : CRASH_ILLEGAL_INSTRUCTION;
      case SIGFPE:
         switch (code)
         {
            case FPE_INTOVF: return CRASH_INT_OVERFLOW;
            case FPE_FLTDIV: return CRASH_FLT_DIVIDE_BY_ZERO;
            case FPE_FLTOVF: return CRASH_FLT_OVERFLOW;
            case FPE_FLTUND: return CRASH_FLT_UNDERFLOW;
            case FPE_FLTRES: return CRASH_FLT_INEXACT_RESULT;
            case FPE_FLTINV: return CRASH_FLT_INVALID_OPERATION;
            case FPE_FLTSUB: return CRASH_ARRAY_BOUNDS_EXCEEDED;
            default: return CRASH_INT_DIVIDE_BY_ZERO;
         }
      case SIGTRAP: return (code == TRAP_BRKPT) ? CRASH_BREAKPOINT : CRASH_SINGLE_STEP;
      default: return CRASH_ABORT;
   }
}

int IndexOf(int sig)
{
   for (int i = 0; i < FATAL_SIGNAL_COUNT; i++)
   {
      if (FATAL_SIGNALS[i] == sig)
         return i;
   }
   return -1;
}

/* Hands the signal to what handled it before: that action is put back, and a signal that
 * no instruction will raise again (sent by a process or by abort) is raised once more. */
void PassOn(int sig, const siginfo_t *info)
{
   int index = IndexOf(sig);
   if (index >= 0)
      sigaction(sig, &g_previous[index], nullptr);
   if (info->si_code <= 0 || sig == SIGABRT)
      syscall(SYS_tgkill, getpid(), ThreadId(), sig);
}

void CrashSignalHandler(int sig, siginfo_t *info, void *context)
{
   int savedErrno = errno;
   if (t_state.inCrash)
   {
      sigjmp_buf *recovery = t_state.recovery;
      if (recovery != nullptr)
      {
         t_state.recovery = nullptr;
         siglongjmp(*recovery, 1);
      }
      // A fault in the crash path outside a guarded part: end here instead of handling
      // it again.
      static const char message[] = "\nFault inside the crash handler, process terminated\n";
      WriteAll(STDERR_FILENO, message, sizeof(message) - 1);
      _exit(CRASH_EXIT_CODE);
   }
   CrashCallback callback = g_callback.load(std::memory_order_acquire);
   if (callback != nullptr)
   {
      ucontext_t *uc = static_cast<ucontext_t *>(context);
      CrashEvent event;
      event.signal = sig;
      event.signalCode = info->si_code;
      event.exceptionCode = ExceptionCodeOf(sig, info, uc);
      event.instructionAddress = InstructionPointerOf(uc);
      event.faultAddress = (sig == SIGSEGV || sig == SIGBUS) ? info->si_addr : nullptr;
      event.threadId = ThreadId();
      event.context = uc;
      event.signalInfo = info;
      t_state.inCrash = true;
      if (callback(&event) != 0)
         _exit(CRASH_EXIT_CODE);
      t_state.inCrash = false;
   }
   PassOn(sig, info);
   errno = savedErrno;
}

void InstallHandlers()
{
   bool expected = false;
   if (!g_installed.compare_exchange_strong(expected, true))
      return;
   struct sigaction action;
   memset(&action, 0, sizeof(action));
   action.sa_sigaction = CrashSignalHandler;
   // SA_NODEFER: a fault inside the crash path is delivered at once, to be recovered from
   // or to end the process, instead of killing it without a word.
   action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
   sigemptyset(&action.sa_mask);
   for (int i = 0; i < FATAL_SIGNAL_COUNT; i++)
      sigaction(FATAL_SIGNALS[i], &action, &g_previous[i]);
}

uintptr_t CurrentStackLow()
{
   pthread_attr_t attr;
   uintptr_t low = 0;
   if (pthread_getattr_np(pthread_self(), &attr) == 0)
   {
      void *address = nullptr;
      size_t size = 0;
      if (pthread_attr_getstack(&attr, &address, &size) == 0)
         low = reinterpret_cast<uintptr_t>(address);
      pthread_attr_destroy(&attr);
   }
   return low;
}

}  // namespace

namespace qv {
namespace platform {

void CrashHandlingSet(CrashCallback callback)
{
   g_callback.store(callback, std::memory_order_release);
   if (callback != nullptr)
   {
      InstallHandlers();
      CrashAltStackEnsure();
   }
}

void CrashAltStackEnsure()
{
   if (t_state.ownAltStack)
      return;
   stack_t current;
   if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0 &&
       current.ss_size >= CRASH_ALT_STACK_BYTES)
   {
      t_state.ownAltStack = true;
      return;
   }
   stack_t stack;
   // Kept for the rest of the thread's life (this is for threads the library did not
   // start, the main thread above all).
   if (MapAltStack(&stack) != nullptr && sigaltstack(&stack, nullptr) == 0)
      t_state.ownAltStack = true;
}

void RunInCrashFrame(void (*entry)(void *arg), void *arg)
{
   t_state.stackLow = CurrentStackLow();
   stack_t stack;
   stack_t previous;
   void *base = MapAltStack(&stack);
   bool installed = base != nullptr && sigaltstack(&stack, &previous) == 0;
   if (installed)
      t_state.ownAltStack = true;
   entry(arg);
   if (installed)
   {
      // The previous stack (a sanitizer's, or none) is put back before ours goes, so
      // nothing is left pointing at unmapped memory.
      sigaltstack(&previous, nullptr);
      t_state.ownAltStack = false;
   }
   if (base != nullptr)
      UnmapAltStack(base);
}

void CrashLockAcquire()
{
   uint32_t self = ThreadId();
   uint32_t expected = 0;
   if (g_lockOwner.compare_exchange_strong(expected, self, std::memory_order_acq_rel) || expected == self)
      return;
   // Another thread is reporting its crash and will end the process.
   for (;;)
      pause();
}

bool CrashRunGuarded(void (*body)(void *arg), void *arg)
{
   sigjmp_buf recovery;
   sigjmp_buf *saved = t_state.recovery;
   bool wasInCrash = t_state.inCrash;
   if (sigsetjmp(recovery, 1) != 0)
   {
      t_state.recovery = saved;
      t_state.inCrash = wasInCrash;
      return false;
   }
   t_state.recovery = &recovery;
   t_state.inCrash = true;
   body(arg);
   t_state.recovery = saved;
   t_state.inCrash = wasInCrash;
   return true;
}

void CrashExitProcess()
{
   _exit(CRASH_EXIT_CODE);
}

void CrashWriteStdout(const char *bytes, size_t count)
{
   WriteAll(STDOUT_FILENO, bytes, count);
}

void CrashWriteStderr(const char *bytes, size_t count)
{
   WriteAll(STDERR_FILENO, bytes, count);
}

}  // namespace platform
}  // namespace qv
