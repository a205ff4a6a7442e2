/* Internal stack walker of the crash path: frames of the crashing thread with module,
 * source file, line and function, from the unwinder and the modules' symbols and debug
 * information. No OS header appears here; the POSIX side is stack_walk_posix.cpp. */
#ifndef QORVEL_PLATFORM_STACK_WALK_H
#define QORVEL_PLATFORM_STACK_WALK_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Most frames a walk reports; a stack overflow would give tens of thousands. */
constexpr int STACK_WALK_MAX_FRAMES = 128;

/* One frame. Texts are valid during the sink call only; null where not known. function
 * is the name without its parameters, demangled where that is possible. */
struct StackFrame
{
   const void *address;
   const char *module;  // file name of the module without its directory
   const char *file;    // source file
   int line;            // source line, 0 when not known
   const char *function;
};

typedef void (*StackFrameSink)(void *data, const StackFrame *frame);

/* Sets up the symbol state and reads the symbol tables and debug information of the
 * modules loaded now, so that a walk in the crash path finds them without the dynamic
 * loader. Not for the crash path; later calls do nothing. False when no symbol state
 * could be had (walks then give addresses and modules only). */
bool StackWalkPrepare();

/* Walks the stack of the calling thread from the frame of the machine context (a
 * CrashEvent's context; null: from the frame that returnAddress returns into, the
 * caller's return address) outwards, passing at most maxFrames frames to sink. Returns the number of frames passed, or
 * -1 when the stack could not be walked at all. A fault while unwinding a damaged stack ends the walk. Crash path. */
int StackWalk(const void *context, const void *returnAddress, StackFrameSink sink, void *data, int maxFrames);

/* The name of a mangled C++ symbol without its parameters ("ns::Class::method"), or
 * false when the form is not one this reader knows (the raw name is then the best there
 * is). Crash path. */
bool DemangleName(const char *mangled, char *out, size_t size);

}  // namespace platform
}  // namespace qv

#endif
