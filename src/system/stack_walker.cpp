/* Stack walker classes of the crash reports and SEHShowCallStack. Everything here runs in
 * the crash path: lines are built in fixed buffers and written with system calls. */
#include "system/crash.h"

#include "log/log_ring.h"
#include "platform/crash_frame.h"
#include "platform/memory_map.h"
#include "platform/safe_text.h"
#include "platform/stack_walk.h"

#include <stdlib.h>

using namespace qv::log;
using namespace qv::platform;
using namespace qv::system;

namespace {

/* Room for one line of the call stack. */
constexpr size_t LINE_BYTES = 2048;

/* Room for the wide form of a line handed to the writer. */
constexpr size_t WIDE_LINE_CHARS = LINE_BYTES + 2;

/* The options a walker reports as its symbol options. */
constexpr uint32_t SYMBOL_OPTIONS = 0x3F;

/* Decodes UTF-8 into wide text; out holds size characters. */
void Utf8ToWide(const char *in, wchar_t *out, size_t size)
{
   size_t n = 0;
   const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
   size_t remaining = SafeLength(in);
   while (remaining > 0 && n + 1 < size)
   {
      UCS4CHAR cp;
      size_t used = qv::text::Utf8DecodeOne(p, remaining, &cp);
      p += used;
      remaining -= used;
      out[n++] = static_cast<wchar_t>(cp);
   }
   out[n] = 0;
}

}  // namespace

StackWalker::StackWalker(int options) : m_options(options) {}

StackWalker::~StackWalker() {}

namespace {

/* The walk reports through protected virtual operations; the platform's frame sink and
 * showCallstack reach them through this class, which may name them. */
class StackWalkerAccess : public StackWalker
{
public:
   static void Frame(void *data, const StackFrame *frame)
   {
      StackWalkerFrame f;
      f.address = frame->address;
      f.moduleName = frame->module;
      f.fileName = frame->file;
      f.lineNumber = frame->line;
      f.functionName = frame->function;
      StackWalker *walker = static_cast<StackWalker *>(data);
      if (f.address != nullptr)
         (walker->*(&StackWalkerAccess::reportFrame))(&f);
   }
   static void Setup(StackWalker *walker, const char *path, uint32_t options, const char *user)
   {
      (walker->*(&StackWalkerAccess::reportSymbolSetup))(path, options, user);
   }
   static void Module(StackWalker *walker, const char *image, const char *module, uint64_t base, uint64_t size)
   {
      (walker->*(&StackWalkerAccess::reportModule))(image, module, base, size);
   }
   static void Error(StackWalker *walker, const char *function, uint32_t error, uint64_t address)
   {
      (walker->*(&StackWalkerAccess::reportHelperError))(function, error, address);
   }
};

}  // namespace

namespace {

/* The walk of showCallstack and SEHShowCallStack; without a context it starts in the
 * frame that returnAddress returns into (the caller of the public function). */
bool ShowCallstack(StackWalker *walker, const CONTEXT *context, const void *returnAddress)
{
   if (!StackWalkPrepare())
   {
      StackWalkerAccess::Error(walker, "Error while initializing the symbol reader", 0, 0);
      return false;
   }
   const char *user = getenv("USER");
   StackWalkerAccess::Setup(walker, "/proc/self/maps", SYMBOL_OPTIONS, (user != nullptr) ? user : "");
   // Modules: the first mapping of each file.
   size_t count = MemoryMapRead();
   for (size_t i = 0; i < count; i++)
   {
      const Mapping &m = MemoryMapEntry(i);
      if (m.path[0] != '/' || m.offset != 0)
         continue;
      uintptr_t end = m.end;
      for (size_t k = i + 1; k < count && MemoryMapEntry(k).inode == m.inode; k++)
         end = MemoryMapEntry(k).end;
      StackWalkerAccess::Module(walker, m.path, MemoryMapBaseName(m.path), m.start, end - m.start);
   }
   const void *platformContext = (context != nullptr) ? context->PlatformContext : nullptr;
   int frames = StackWalk(platformContext, returnAddress, StackWalkerAccess::Frame, walker, STACK_WALK_MAX_FRAMES);
   if (frames < 0)
   {
      StackWalkerAccess::Error(walker, "StackWalk", 0, (context != nullptr) ? context->Rip : 0);
      return false;
   }
   return true;
}

}  // namespace

__attribute__((noinline)) bool StackWalker::showCallstack(const CONTEXT *context)
{
   return ShowCallstack(this, context, __builtin_return_address(0));
}

void StackWalker::reportSymbolSetup(const char *searchPath, uint32_t symbolOptions, const char *userName)
{
   char buffer[LINE_BYTES];
   SafeText line(buffer, sizeof(buffer));
   line.append("Symbols: search path \"").append(searchPath).append("\", options 0x").appendHex(symbolOptions, 0);
   line.append(", user \"").append(userName).append("\"\n");
   writeLine(line.text());
   line.clear();
   line.append("OS version: ");
   AppendWide(line, Crash().osVersion[0] != 0 ? Crash().osVersion : L"unknown").append('\n');
   writeLine(line.text());
}

void StackWalker::reportModule(const char *, const char *, uint64_t, uint64_t) {}

void StackWalker::reportFrame(const StackWalkerFrame *frame)
{
   char buffer[LINE_BYTES];
   SafeText line(buffer, sizeof(buffer));
   const char *function = (frame->functionName != nullptr) ? frame->functionName : "(function-name not available)";
   const char *module = (frame->moduleName != nullptr) ? frame->moduleName : "(module-name not available)";
   if (frame->fileName != nullptr)
   {
      line.append('[').append(module).append(':').append(frame->fileName).append(':');
      line.appendSigned(frame->lineNumber).append("]: ").append(function).append('\n');
   }
   else
   {
      line.append('[').append(module).append(':').appendPointer(frame->address).append("]: ").append(function);
      line.append('\n');
   }
   writeLine(line.text());
}

void StackWalker::reportHelperError(const char *function, uint32_t error, uint64_t address)
{
   char buffer[LINE_BYTES];
   SafeText line(buffer, sizeof(buffer));
   line.append("ERROR: ").append(function).append(", error ").appendUnsigned(error).append(" (address ");
   line.appendPointer(reinterpret_cast<const void *>(static_cast<uintptr_t>(address))).append(")\n");
   writeLine(line.text());
}

void StackWalker::writeLine(const char *line)
{
   CrashWriteStderr(line, SafeLength(line));
}

QvStackWalker::~QvStackWalker() {}

void QvStackWalker::reportSymbolSetup(const char *, uint32_t, const char *) {}

void QvStackWalker::reportHelperError(const char *, uint32_t, uint64_t) {}

void QvStackWalker::writeLine(const char *line)
{
   void (*writer)(const wchar_t *) = Crash().writer;
   if (writer == nullptr)
   {
      CrashWriteStdout("  ", 2);
      CrashWriteStdout(line, SafeLength(line));
      return;
   }
   wchar_t wide[WIDE_LINE_CHARS];
   wide[0] = L' ';
   wide[1] = L' ';
   Utf8ToWide(line, wide + 2, WIDE_LINE_CHARS - 2);
   writer(wide);
}

QV_API __attribute__((noinline)) void SEHShowCallStack(CONTEXT *context)
{
   QvStackWalker walker;
   ShowCallstack(&walker, context, __builtin_return_address(0));
}
