/* qvtool crash-test: crashes on purpose under the service handler, so that an operator can
 * see what a crash leaves behind (report, dump, log event). */
#include "qvtool.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

/* Message codes of the tool's log. */
constexpr uint32_t MSG_GENERIC = 1;
constexpr uint32_t MSG_CRASH = 2;

const QVLOG_MESSAGE_TEXT MESSAGES[] = {
    {MSG_GENERIC, L"%1"},
    {MSG_CRASH, L"Process crashed: exception %1 (%2) at %3, report %4, dump %5"},
};

enum CrashKind
{
   KIND_SEGV,
   KIND_FPE,
   KIND_OVERFLOW,
   KIND_ABORT
};

/* Room on the stack each level of the runaway recursion takes. */
constexpr size_t OVERFLOW_FRAME_BYTES = 4096;

volatile int g_sink = 0;

/* The crashes are real faults of the processor, also in sanitizer builds: the checkers
 * that would stop them first stay out of these functions. */
#define QV_REAL_FAULT __attribute__((noinline, no_sanitize("undefined", "thread")))

QV_REAL_FAULT void CrashNullDereference()
{
   volatile int *volatile p = nullptr;
   *p = 1;
}

QV_REAL_FAULT void CrashDivideByZero()
{
   volatile int numerator = 7;
   volatile int zero = 0;
   g_sink = numerator / zero;
}

/* Recurses until the stack runs out; the limit is only there to tell the compiler that
 * the recursion can end. */
__attribute__((noinline)) int CrashStackOverflow(int depth)
{
   volatile char frame[OVERFLOW_FRAME_BYTES];
   frame[0] = static_cast<char>(depth);
   if (depth == INT32_MAX)
      return frame[0];
   return CrashStackOverflow(depth + 1) + frame[0];
}

__attribute__((noinline)) void CrashAbort()
{
   abort();
}

void Crash(CrashKind kind)
{
   qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"crash-test: crashing now");
   switch (kind)
   {
      case KIND_SEGV: CrashNullDereference(); break;
      case KIND_FPE: CrashDivideByZero(); break;
      case KIND_OVERFLOW: g_sink = CrashStackOverflow(0); break;
      case KIND_ABORT: CrashAbort(); break;
   }
}

enum Key
{
   THREAD_KEY = LONG_OPTION_KEY,
   KIND_KEY,
};

const CommandOption OPTIONS[] = {
    {"thread", no_argument, THREAD_KEY, nullptr, "crash on a thread the library started"},
    {"kind", required_argument, KIND_KEY, "K", "segv (the default), fpe, overflow or abort"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"crash-test",
                              "[--thread] [--kind segv|fpe|overflow|abort] DIR",
                              "crash on purpose; the report, the dump and the log go to DIR",
                              OPTIONS,
                              false,
                              nullptr};

void CrashThread(void *arg)
{
   Crash(*static_cast<CrashKind *>(arg));
}

}  // namespace

int CommandCrashTest(int argc, char **argv)
{
   bool onThread = false;
   CrashKind kind = KIND_SEGV;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      switch (args.key())
      {
         case THREAD_KEY: onThread = true; break;
         case KIND_KEY:
         {
            const char *name = args.value();
            if (!strcmp(name, "segv"))
               kind = KIND_SEGV;
            else if (!strcmp(name, "fpe"))
               kind = KIND_FPE;
            else if (!strcmp(name, "overflow"))
               kind = KIND_OVERFLOW;
            else if (!strcmp(name, "abort"))
               kind = KIND_ABORT;
            else
               return args.fail("unknown kind \"%s\" (segv, fpe, overflow, abort)", name);
            break;
         }
         default: return args.usage();
      }
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *dir = args.operand(0);
   wchar_t *wideDir = WideStringFromMBString(dir);
   String logName(wideDir);
   logName.append(L"/qvtool-crash-test.log");
   qvlog_register_message_table(MESSAGES, sizeof(MESSAGES) / sizeof(MESSAGES[0]));
   qvlog_open(logName.getBuffer(), 0, L"qvtool", 0, nullptr, MSG_GENERIC, MSG_GENERIC, MSG_GENERIC);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"crash-test: process %d started", static_cast<int>(getpid()));
   SetExceptionHandler(SEHServiceExceptionHandler, SEHServiceExceptionDataWriter, wideDir, L"qvtool", MSG_CRASH, 0, 1);
   free(wideDir);
   printf("crash-test: process %d crashes now; the report, the dump and the log go to %s\n", static_cast<int>(getpid()),
          dir);
   fflush(stdout);
   if (onThread)
   {
      qorvel_thread_t *thread = ThreadStart(CrashThread, 0, &kind);
      if (thread == nullptr)
      {
         fprintf(stderr, "qvtool crash-test: cannot start a thread; try again without --thread\n");
         return 1;
      }
      ThreadWaitForExit(thread);
   }
   else
   {
      Crash(kind);
   }
   fprintf(stderr, "qvtool crash-test: still alive after the crash; check whether a debugger or handler caught it\n");
   return 1;
}
