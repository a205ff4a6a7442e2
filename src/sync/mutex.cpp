/* Mutex and Condition: value classes over one shared platform lock or event. */
#include <qv_threads.h>

#include "platform/sync.h"
#include "sync/shared_handle.h"

using namespace qv::sync;
using namespace qv::platform;

Mutex::Mutex()
{
   HandleInit(m_mutex, m_refCount, LockCreate(), LockDestroy);
}

QV_SHARED_HANDLE_COPIES(Mutex, m_mutex, LockDestroy)

void Mutex::lock()
{
   if (m_mutex != nullptr)
      LockAcquire(m_mutex);
}

bool Mutex::tryLock()
{
   return (m_mutex != nullptr) && LockTryAcquire(m_mutex);
}

void Mutex::unlock()
{
   if (m_mutex != nullptr)
      LockRelease(m_mutex);
}

Condition::Condition(bool broadcast)
{
   HandleInit(m_event, m_refCount, EventCreate(broadcast), EventDestroy);
}

QV_SHARED_HANDLE_COPIES(Condition, m_event, EventDestroy)

void Condition::set()
{
   if (m_event != nullptr)
      EventSet(m_event);
}

void Condition::pulse()
{
   if (m_event != nullptr)
      EventPulse(m_event);
}

void Condition::reset()
{
   if (m_event != nullptr)
      EventReset(m_event);
}

bool Condition::wait(uint32_t timeout)
{
   return (m_event != nullptr) && EventWait(m_event, timeout);
}
