/* POSIX side of the thread layer: pthread start with a stack size, join, and naming. */
#include "platform/thread_start.h"
#include "platform/sync.h"

#include <limits.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

static_assert(sizeof(pthread_t) <= sizeof(uintptr_t), "a thread handle must hold a pthread_t");

namespace {

/* Lives on the starting thread's stack until the new thread has published its id; the new
 * thread must not touch it after that. */
struct StartHandshake
{
   qv::platform::ThreadRoutine routine;
   void *arg;
   std::atomic<uint32_t> id;
};

void *ThreadMain(void *param)
{
   StartHandshake *handshake = static_cast<StartHandshake *>(param);
   qv::platform::ThreadRoutine routine = handshake->routine;
   void *arg = handshake->arg;
   std::atomic<uint32_t> *published = &handshake->id;
   published->store(qv::platform::CurrentThreadId(), std::memory_order_release);
   // A wake on a word whose owner has already returned wakes nobody that matters: every
   // sleeper on a word checks it again.
   qv::platform::WordWake(published, 1);
   routine(arg);
   return nullptr;
}

size_t UsableStackSize(size_t requested)
{
   size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
   size_t minimum = static_cast<size_t>(PTHREAD_STACK_MIN);
   size_t size = (requested + page - 1) / page * page;
   return (size < minimum) ? minimum : size;
}

}  // namespace

namespace qv {
namespace platform {

bool ThreadCreate(ThreadRoutine routine, void *arg, size_t stackSize, uintptr_t *handle, uint32_t *id)
{
   pthread_attr_t attr;
   if (pthread_attr_init(&attr) != 0)
      return false;
   if (stackSize != 0 && pthread_attr_setstacksize(&attr, UsableStackSize(stackSize)) != 0)
   {
      pthread_attr_destroy(&attr);
      return false;
   }

   StartHandshake handshake;
   handshake.routine = routine;
   handshake.arg = arg;
   handshake.id.store(0, std::memory_order_relaxed);
   pthread_t thread;
   int rc = pthread_create(&thread, &attr, ThreadMain, &handshake);
   pthread_attr_destroy(&attr);
   if (rc != 0)
      return false;

   // The kernel id is known only inside the new thread; wait until it has told us.
   uint32_t tid;
   while ((tid = handshake.id.load(std::memory_order_acquire)) == 0)
      WordWait(&handshake.id, 0);
   *handle = static_cast<uintptr_t>(thread);
   *id = tid;
   return true;
}

bool ThreadJoin(uintptr_t handle)
{
   pthread_t thread = static_cast<pthread_t>(handle);
   if (pthread_equal(thread, pthread_self()))
   {
      // A thread that waits for itself would wait for ever; the handle is given up, so
      // the thread releases its resources when it ends.
      pthread_detach(thread);
      return false;
   }
   return pthread_join(thread, nullptr) == 0;
}

size_t ThreadNameFit(const char *name, size_t maxBytes)
{
   size_t len = strlen(name);
   if (len <= maxBytes)
      return len;
   // Back off over continuation bytes (10xxxxxx) so the cut falls before a lead byte.
   len = maxBytes;
   while (len > 0 && (static_cast<unsigned char>(name[len]) & 0xC0) == 0x80)
      len--;
   return len;
}

void ThreadNameSet(uintptr_t handle, bool self, const char *name)
{
   // Linux keeps at most 15 bytes of a thread name and refuses longer ones (ERANGE), so
   // the name is cut here to the longest prefix of whole UTF-8 characters that fits.
   char cut[THREAD_NAME_MAX_BYTES + 1];
   size_t len = ThreadNameFit(name, THREAD_NAME_MAX_BYTES);
   memcpy(cut, name, len);
   cut[len] = 0;
   pthread_setname_np(self ? pthread_self() : static_cast<pthread_t>(handle), cut);
}

void ForkHandlersAdd(void (*prepare)(), void (*parent)(), void (*child)())
{
   pthread_atfork(prepare, parent, child);
}

}  // namespace platform
}  // namespace qv
