/* InitQorvelProcess, the first call of every program: it reaches every layer below, the
 * message wait queues included, so it sits above all of them. */
#include <qv_platform.h>
#include <qv_protocol.h>

#include "platform/process_info.h"

#include <stdlib.h>
#include <time.h>

#include <atomic>

namespace {

/* Set once the wait queues' shutdown is registered for process exit. */
std::atomic<bool> g_exitHandlerRegistered{false};

void ShutdownWaitQueues()
{
   MsgWaitQueue::shutdown();
}

}  // namespace

QV_API void InitQorvelProcess(void)
{
   qv::platform::SetNumericLocaleC();
   // Dialogs for critical errors do not exist here, and thread naming needs no lookup:
   // the platform's call is always present.
   srand(static_cast<unsigned int>(time(nullptr)));
   if (!g_exitHandlerRegistered.exchange(true))
      atexit(ShutdownWaitQueues);
}
