/* Internal thread layer: starting and joining platform threads and naming them. No OS header
 * appears here; the POSIX side is thread_posix.cpp. */
#ifndef QORVEL_PLATFORM_THREAD_START_H
#define QORVEL_PLATFORM_THREAD_START_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Start routine of a platform thread; its result is not used. */
typedef unsigned int (*ThreadRoutine)(void *arg);

/* Longest thread name the platform keeps, in bytes without the terminator. */
constexpr size_t THREAD_NAME_MAX_BYTES = 15;

/* Starts a thread that runs routine(arg) with stackSize bytes of stack (0: the platform's
 * default; other sizes are rounded up to what the platform accepts). On success stores the
 * thread's handle and kernel id and returns true; returns false when the platform refuses. */
bool ThreadCreate(ThreadRoutine routine, void *arg, size_t stackSize, uintptr_t *handle, uint32_t *id);

/* Waits without limit for the thread to end and releases its handle; true when it ended,
 * false when it cannot be waited for (the calling thread itself). */
bool ThreadJoin(uintptr_t handle);

/* Names the thread (the calling one when self is true, handle is then ignored). name is
 * UTF-8; longer names than THREAD_NAME_MAX_BYTES are cut at a character boundary. */
void ThreadNameSet(uintptr_t handle, bool self, const char *name);

/* Length of the longest prefix of the UTF-8 text name that fits in maxBytes without
 * splitting a character. */
size_t ThreadNameFit(const char *name, size_t maxBytes);

/* Registers handlers run around a fork of the process: prepare in the forking thread before
 * the copy, parent in it afterwards, child in the only thread of the new process. State that
 * names threads or holds locks of the parent uses them to start over in the child. Where the
 * platform cannot fork this does nothing. */
void ForkHandlersAdd(void (*prepare)(), void (*parent)(), void (*child)());

}  // namespace platform
}  // namespace qv

#endif
