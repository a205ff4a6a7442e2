/* Thread start, wait and naming. */
#include <qv_threads.h>

#include "platform/crash_frame.h"
#include "platform/thread_start.h"

#include <qv_strings.h>

#include <stdlib.h>
#include <string.h>

using namespace qv::platform;

namespace {

/* Most UTF-8 bytes one byte of code page text can become (a single-byte code page maps
 * each byte to a character of at most 3 UTF-8 bytes; multibyte ones need no more). */
constexpr size_t MAX_UTF8_PER_MB_BYTE = 3;

/* Carries a thread's start parameters into the new thread, which frees it. */
struct ThreadStartBlock
{
   ThreadEntry entry;
   void *arg;
};

/* Start routine of every thread the library starts: the body runs inside the crash
 * handler's frame, and the block is released when it returns. */
unsigned int SEHThreadStarter(void *param)
{
   ThreadStartBlock *block = static_cast<ThreadStartBlock *>(param);
   RunInCrashFrame(block->entry, block->arg);
   free(block);
   return 0;
}

}  // namespace

QV_API qorvel_thread_t *ThreadStart(ThreadEntry entry, int stackSize, void *arg)
{
   qorvel_thread_t *thread = static_cast<qorvel_thread_t *>(malloc(sizeof(qorvel_thread_t)));
   ThreadStartBlock *block = static_cast<ThreadStartBlock *>(malloc(sizeof(ThreadStartBlock)));
   if (thread == nullptr || block == nullptr || entry == nullptr)
   {
      free(thread);
      free(block);
      return nullptr;
   }
   block->entry = entry;
   block->arg = arg;
   size_t stack = (stackSize > 0) ? static_cast<size_t>(stackSize) : 0;
   if (!ThreadCreate(SEHThreadStarter, block, stack, &thread->handle, &thread->id))
   {
      free(thread);
      free(block);
      return nullptr;
   }
   return thread;
}

QV_API bool ThreadWaitForExit(qorvel_thread_t *thread)
{
   if (thread == nullptr)
      return false;
   bool ended = ThreadJoin(thread->handle);
   free(thread);
   return ended;
}

QV_API void ThreadSetName(qorvel_thread_t *thread, const char *name)
{
   if (name == nullptr)
      return;
   // The platform keeps names as UTF-8 and cuts them by bytes, so the code page text is
   // converted first; text the code page cannot take is passed on as it is.
   size_t length = strlen(name);
   char *utf8 = static_cast<char *>(malloc(length * MAX_UTF8_PER_MB_BYTE + 1));
   if (utf8 != nullptr && mb_to_utf8(name, -1, utf8, static_cast<int>(length * MAX_UTF8_PER_MB_BYTE + 1)) == 0)
   {
      free(utf8);
      utf8 = nullptr;
   }
   const char *text = (utf8 != nullptr) ? utf8 : name;
   if (thread == nullptr)
      ThreadNameSet(0, true, text);
   else
      ThreadNameSet(thread->handle, false, text);
   free(utf8);
}
