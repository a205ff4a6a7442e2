/* Stack walks with the compiler's unwinder and libbacktrace (symbols and debug lines
 * without the heap), module names from the process's mappings, and a small demangler for
 * the names of the report. */
#include "platform/stack_walk.h"
#include "platform/crash_frame.h"
#include "platform/memory_map.h"
#include "platform/safe_text.h"

#include <backtrace.h>

#include <atomic>
#include <ucontext.h>

namespace {

using namespace qv::platform;

std::atomic<backtrace_state *> g_state{nullptr};
std::atomic<bool> g_prepared{false};

void IgnoreError(void *, const char *, int) {}

/* Longest demangled or symbol name kept for one frame. */
constexpr size_t NAME_BYTES = 1024;

struct WalkState
{
   uintptr_t startPc;  // the frame to start at: the crash address or the caller's
   bool started;
   int passed;
   int maxFrames;
   StackFrameSink sink;
   void *data;
   bool mapRead;
};

struct SymbolResult
{
   const char *name;
};

void KeepSymbol(void *data, uintptr_t, const char *symname, uintptr_t, uintptr_t)
{
   static_cast<SymbolResult *>(data)->name = symname;
}

void EmitFrame(WalkState *walk, uintptr_t pc, const char *file, int line, const char *function)
{
   if (!walk->mapRead)
   {
      MemoryMapRead();
      walk->mapRead = true;
   }
   backtrace_state *state = g_state.load(std::memory_order_acquire);
   if (function == nullptr && state != nullptr)
   {
      SymbolResult symbol = {nullptr};
      backtrace_syminfo(state, pc, KeepSymbol, IgnoreError, &symbol);
      function = symbol.name;
   }
   char demangled[NAME_BYTES];
   if (function != nullptr && DemangleName(function, demangled, sizeof(demangled)))
      function = demangled;
   const Mapping *mapping = MemoryMapFind(pc);
   StackFrame frame;
   frame.address = reinterpret_cast<const void *>(pc);
   frame.module = (mapping != nullptr && mapping->path[0] != 0) ? MemoryMapBaseName(mapping->path) : nullptr;
   frame.file = file;
   frame.line = line;
   frame.function = function;
   walk->sink(walk->data, &frame);
   walk->passed++;
}

int OnFrame(void *data, uintptr_t pc, const char *file, int line, const char *function)
{
   WalkState *walk = static_cast<WalkState *>(data);
   if (!walk->started)
   {
      if (pc != walk->startPc)
         return 0;
      walk->started = true;
   }
   // The unwinder reports the end of the stack as address 0, less one.
   if (pc == 0 || pc == UINTPTR_MAX)
      return 1;
   EmitFrame(walk, pc, file, line, function);
   return (walk->passed >= walk->maxFrames) ? 1 : 0;
}

void WalkBody(void *arg)
{
   backtrace_state *state = g_state.load(std::memory_order_acquire);
   if (state != nullptr)
      backtrace_full(state, 0, OnFrame, IgnoreError, arg);
}

const struct
{
   char code[3];
   const char *text;
} OPERATORS[] = {{"nw", " new"}, {"na", " new[]"}, {"dl", " delete"}, {"da", " delete[]"}, {"cl", "()"}, {"ix", "[]"},
                 {"aS", "="},    {"eq", "=="},     {"ne", "!="},      {"lt", "<"},         {"gt", ">"},  {"le", "<="},
                 {"ge", ">="},   {"pl", "+"},      {"mi", "-"},       {"ml", "*"},         {"dv", "/"},  {"rm", "%"},
                 {"ls", "<<"},   {"rs", ">>"},     {"pL", "+="},      {"mI", "-="},        {"nt", "!"},  {"co", "~"},
                 {"pt", "->"},   {"pp", "++"},     {"mm", "--"},      {"aa", "&&"},        {"oo", "||"}};

/* Skips one balanced group of template arguments starting after its 'I', up to and
 * including the matching 'E'. Lengths of source names are honoured, so letters inside
 * names are not taken for openers. False when the text ends first. */
bool SkipTemplateArgs(const char *&p)
{
   int depth = 1;
   while (*p != 0 && depth > 0)
   {
      char c = *p;
      if (c >= '0' && c <= '9')
      {
         size_t length = 0;
         while (*p >= '0' && *p <= '9')
            length = length * 10 + static_cast<size_t>(*p++ - '0');
         for (size_t i = 0; i < length; i++)
         {
            if (*p++ == 0)
               return false;
         }
         continue;
      }
      if (c == 'I' || c == 'N' || c == 'X' || c == 'L' || c == 'F' || c == 'J')
         depth++;
      else if (c == 'E')
         depth--;
      p++;
   }
   return depth == 0;
}

}  // namespace

namespace qv {
namespace platform {

bool StackWalkPrepare()
{
   bool expected = false;
   if (!g_prepared.compare_exchange_strong(expected, true))
      return g_state.load(std::memory_order_acquire) != nullptr;
   backtrace_state *state = backtrace_create_state(nullptr, 1, IgnoreError, nullptr);
   if (state == nullptr)
      return false;
   // One look-up reads the symbols and debug information of every module loaded now;
   // later look-ups then need neither the loader's lock nor new memory maps of them.
   SymbolResult symbol = {nullptr};
   backtrace_pcinfo(
       state, reinterpret_cast<uintptr_t>(&StackWalkPrepare),
       [](void *, uintptr_t, const char *, int, const char *) { return 0; }, IgnoreError, nullptr);
   backtrace_syminfo(state, reinterpret_cast<uintptr_t>(&StackWalkPrepare), KeepSymbol, IgnoreError, &symbol);
   g_state.store(state, std::memory_order_release);
   return true;
}

int StackWalk(const void *context, const void *returnAddress, StackFrameSink sink, void *data, int maxFrames)
{
   WalkState walk;
   // Without a context the walk starts at the frame returnAddress returns into; the
   // unwinder reports a return address less one, inside the call instruction.
   walk.startPc = reinterpret_cast<uintptr_t>(returnAddress) - 1;
   walk.started = false;
   walk.passed = 0;
   walk.maxFrames = maxFrames;
   walk.sink = sink;
   walk.data = data;
   walk.mapRead = false;
   const ucontext_t *uc = static_cast<const ucontext_t *>(context);
   if (uc != nullptr)
   {
#if defined(__x86_64__)
      walk.startPc = static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
      walk.startPc = static_cast<uintptr_t>(uc->uc_mcontext.pc);
#endif
   }
   if (g_state.load(std::memory_order_acquire) == nullptr)
      return -1;
   bool completed = CrashRunGuarded(WalkBody, &walk);
   // The unwinder may not find the crash frame (a damaged stack): the crash address alone
   // is still worth a line.
   if (walk.passed == 0 && uc != nullptr)
   {
      WalkState single = walk;
      single.started = true;
      EmitFrame(&single, walk.startPc, nullptr, 0, nullptr);
      return 1;
   }
   return (completed || walk.passed > 0) ? walk.passed : -1;
}

bool DemangleName(const char *mangled, char *out, size_t size)
{
   SafeText text(out, size);
   const char *p = mangled;
   if (p[0] != '_' || p[1] != 'Z')
      return false;
   p += 2;
   if (*p == 'L')
      p++;
   bool nested = (*p == 'N');
   if (nested)
   {
      p++;
      while (*p == 'r' || *p == 'V' || *p == 'K' || *p == 'R' || *p == 'O')
         p++;
   }
   const char *last = nullptr;  // the last source name, for constructors and destructors
   size_t lastLength = 0;
   bool first = true;
   for (;;)
   {
      if (*p == 'S' && p[1] == 't')
      {
         text.append(first ? "std" : "::std");
         p += 2;
         first = false;
         continue;
      }
      if (*p == 'L')
      {
         p++;
         continue;
      }
      if (*p == 'I')
      {
         p++;
         if (!SkipTemplateArgs(p))
            return false;
         text.append("<...>");
         if (!nested)
            break;
         continue;
      }
      if (!first && !nested)
         break;
      if (nested && *p == 'E')
      {
         p++;
         break;
      }
      if (!first)
         text.append("::");
      first = false;
      if (*p >= '1' && *p <= '9')
      {
         size_t length = 0;
         while (*p >= '0' && *p <= '9')
            length = length * 10 + static_cast<size_t>(*p++ - '0');
         for (size_t i = 0; i < length; i++)
         {
            if (p[i] == 0)
               return false;
         }
         static const char ANONYMOUS[] = "_GLOBAL__N";
         bool anonymous = length >= sizeof(ANONYMOUS) - 1;
         for (size_t i = 0; anonymous && i < sizeof(ANONYMOUS) - 1; i++)
            anonymous = p[i] == ANONYMOUS[i];
         if (anonymous)
            text.append("(anonymous namespace)");
         else
            text.append(p, length);
         last = p;
         lastLength = length;
         p += length;
      }
      else if (*p == 'C' && (p[1] >= '1' && p[1] <= '5') && last != nullptr)
      {
         text.append(last, lastLength);
         p += 2;
      }
      else if (*p == 'D' && (p[1] >= '0' && p[1] <= '5') && last != nullptr)
      {
         text.append('~').append(last, lastLength);
         p += 2;
      }
      else
      {
         bool found = false;
         for (const auto &op : OPERATORS)
         {
            if (p[0] == op.code[0] && p[1] == op.code[1])
            {
               text.append("operator").append(op.text);
               p += 2;
               found = true;
               break;
            }
         }
         if (!found)
            return false;
      }
   }
   return text.length() > 0;
}

}  // namespace platform
}  // namespace qv
