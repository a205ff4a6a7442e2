/* Reader/writer lock with time-outs and writer preference, built on the platform lock and
 * two events, and the RWLock value class over it. */
#include <qv_threads.h>

#include "platform/sync.h"
#include "sync/shared_handle.h"

#include <new>
#include <stdlib.h>

using namespace qv::sync;
using namespace qv::platform;

namespace {

/* lockState of a lock held exclusive. */
constexpr int32_t WRITE_HELD = -1;

/* Growth step of the list of shared holders. */
constexpr uint32_t READER_LIST_STEP = 8;

/* Shared holds of one thread. */
struct ReaderHold
{
   uint32_t threadId;
   uint32_t count;
};

}  // namespace

/* Every field is read and written only under guard, and no thread waits on an event while
 * it holds guard. readerEvent (manual reset) lets all waiting readers go; writerEvent
 * (automatic reset) lets one waiting writer go. readerEvent is signalled only while no
 * writer waits or holds the lock: every write request resets it first. */
struct __rwlock_data
{
   QvLock guard;
   QvEvent *readerEvent;
   QvEvent *writerEvent;
   uint32_t waitingReaders;
   uint32_t waitingWriters;
   int32_t lockState;        // 0 free, n > 0 held by n shared holds, WRITE_HELD
   uint32_t writerThreadId;  // kernel id of the writer while WRITE_HELD, 0 otherwise
   uint32_t writerNested;    // holds of the writer beyond the first (its re-entries)

   // Which threads hold the lock shared, so that a holder is let in again while a writer
   // waits instead of waiting for a writer that waits for it. The counts add up to
   // lockState; holds that could not be listed (out of memory, or released by another
   // thread than the one that took them) are in unlistedHolds.
   ReaderHold *holders;
   uint32_t holderCount;
   uint32_t holderCapacity;
   uint32_t unlistedHolds;
};

namespace {

ReaderHold *FindHolder(__rwlock_data *rw, uint32_t threadId)
{
   for (uint32_t i = 0; i < rw->holderCount; i++)
      if (rw->holders[i].threadId == threadId)
         return &rw->holders[i];
   return nullptr;
}

void AddHold(__rwlock_data *rw, uint32_t threadId)
{
   ReaderHold *hold = FindHolder(rw, threadId);
   if (hold != nullptr)
   {
      hold->count++;
      return;
   }
   if (rw->holderCount == rw->holderCapacity)
   {
      uint32_t capacity = rw->holderCapacity + READER_LIST_STEP;
      ReaderHold *grown = static_cast<ReaderHold *>(realloc(rw->holders, capacity * sizeof(ReaderHold)));
      if (grown == nullptr)
      {
         rw->unlistedHolds++;
         return;
      }
      rw->holders = grown;
      rw->holderCapacity = capacity;
   }
   rw->holders[rw->holderCount].threadId = threadId;
   rw->holders[rw->holderCount].count = 1;
   rw->holderCount++;
}

void DropHold(__rwlock_data *rw, uint32_t threadId)
{
   if (rw->lockState == 0)
   {
      rw->holderCount = 0;
      rw->unlistedHolds = 0;
      return;
   }
   ReaderHold *hold = FindHolder(rw, threadId);
   if (hold == nullptr && rw->unlistedHolds > 0)
   {
      rw->unlistedHolds--;
      return;
   }
   if (hold == nullptr && rw->holderCount > 0)
      hold = &rw->holders[0];  // released by another thread: keep the counts adding up
   if (hold != nullptr && --hold->count == 0)
      *hold = rw->holders[--rw->holderCount];
}

/* Milliseconds left of a request made at start; INFINITE is never reduced, and the rest
 * never goes below 0. Measured from the start each time, so the waits cannot add up to
 * more than the time-out however often a waiter is woken for nothing. */
uint32_t Remaining(uint32_t timeout, uint64_t start)
{
   if (timeout == INFINITE)
      return INFINITE;
   uint64_t elapsed = MonotonicMs() - start;
   return (elapsed >= timeout) ? 0 : timeout - static_cast<uint32_t>(elapsed);
}

/* Waits on event for what is left of the request with guard released; false when the
 * time ran out. The caller has counted itself in *waiting. */
bool WaitUnguarded(__rwlock_data *rw, QvEvent *event, uint32_t *waiting, uint32_t timeout, uint64_t start)
{
   (*waiting)++;
   LockRelease(&rw->guard);
   bool released = EventWait(event, Remaining(timeout, start));
   LockAcquire(&rw->guard);
   (*waiting)--;
   return released;
}

/* Takes guard for a request of thread self. A request of the writer that holds the lock
 * is granted at once as a nested hold: true, and guard is released again. */
bool GuardOrNest(__rwlock_data *rw, uint32_t self)
{
   LockAcquire(&rw->guard);
   if (rw->lockState != WRITE_HELD || rw->writerThreadId != self)
      return false;
   rw->writerNested++;
   LockRelease(&rw->guard);
   return true;
}

void DestroyRecord(__rwlock_data *rw)
{
   EventDestroy(rw->readerEvent);
   EventDestroy(rw->writerEvent);
   free(rw->holders);
   rw->~__rwlock_data();
   free(rw);
}

}  // namespace

QV_API __rwlock_data *RWLockCreate(void)
{
   __rwlock_data *rw = static_cast<__rwlock_data *>(malloc(sizeof(__rwlock_data)));
   if (rw == nullptr)
      return nullptr;
   new (rw) __rwlock_data;
   LockInit(&rw->guard);
   rw->readerEvent = EventCreate(true);
   rw->writerEvent = EventCreate(false);
   rw->waitingReaders = 0;
   rw->waitingWriters = 0;
   rw->lockState = 0;
   rw->writerThreadId = 0;
   rw->writerNested = 0;
   rw->holders = nullptr;
   rw->holderCount = 0;
   rw->holderCapacity = 0;
   rw->unlistedHolds = 0;
   if (rw->readerEvent == nullptr || rw->writerEvent == nullptr)
   {
      DestroyRecord(rw);
      return nullptr;
   }
   return rw;
}

QV_API void RWLockDestroy(__rwlock_data *rwlock)
{
   if (rwlock == nullptr)
      return;
   // A lock in use stays: held, or with a waiter that has yet to take guard again.
   LockAcquire(&rwlock->guard);
   bool inUse = rwlock->lockState != 0 || rwlock->waitingReaders != 0 || rwlock->waitingWriters != 0;
   LockRelease(&rwlock->guard);
   if (!inUse)
      DestroyRecord(rwlock);
}

QV_API int RWLockReadLock(__rwlock_data *rwlock, uint32_t timeout)
{
   if (rwlock == nullptr)
      return 0;
   uint32_t self = CurrentThreadId();
   if (GuardOrNest(rwlock, self))
      return 1;
   // A thread that holds the lock shared already is not held back by waiting writers:
   // they wait for it, so it would wait for itself.
   if (rwlock->lockState <= 0 || FindHolder(rwlock, self) == nullptr)
   {
      uint64_t start = MonotonicMs();
      while (rwlock->lockState == WRITE_HELD || rwlock->waitingWriters > 0)
      {
         if (!WaitUnguarded(rwlock, rwlock->readerEvent, &rwlock->waitingReaders, timeout, start))
         {
            LockRelease(&rwlock->guard);
            return 0;
         }
      }
   }
   rwlock->lockState++;
   AddHold(rwlock, self);
   LockRelease(&rwlock->guard);
   return 1;
}

QV_API int RWLockWriteLock(__rwlock_data *rwlock, uint32_t timeout)
{
   if (rwlock == nullptr)
      return 0;
   uint32_t self = CurrentThreadId();
   if (GuardOrNest(rwlock, self))
      return 1;
   // Readers released from now on look at the state again and wait behind this writer.
   EventReset(rwlock->readerEvent);
   uint64_t start = MonotonicMs();
   while (rwlock->lockState != 0)
   {
      if (!WaitUnguarded(rwlock, rwlock->writerEvent, &rwlock->waitingWriters, timeout, start))
      {
         // Readers that waited only because of this writer need not wait for the next
         // release: let them go now unless another writer still waits or holds.
         if (rwlock->waitingWriters == 0 && rwlock->lockState != WRITE_HELD && rwlock->waitingReaders > 0)
            EventSet(rwlock->readerEvent);
         LockRelease(&rwlock->guard);
         return 0;
      }
   }
   rwlock->lockState = WRITE_HELD;
   rwlock->writerThreadId = self;
   rwlock->writerNested = 0;
   LockRelease(&rwlock->guard);
   return 1;
}

QV_API void RWLockUnlock(__rwlock_data *rwlock)
{
   if (rwlock == nullptr)
      return;
   LockAcquire(&rwlock->guard);
   if (rwlock->lockState > 0)
   {
      rwlock->lockState--;
      DropHold(rwlock, CurrentThreadId());
   }
   else if (rwlock->lockState == WRITE_HELD)
   {
      if (rwlock->writerNested > 0)
      {
         rwlock->writerNested--;
         LockRelease(&rwlock->guard);
         return;
      }
      rwlock->lockState = 0;
      rwlock->writerThreadId = 0;
   }

   if (rwlock->waitingWriters > 0)
   {
      if (rwlock->lockState == 0)
         EventSet(rwlock->writerEvent);
   }
   else if (rwlock->waitingReaders > 0)
   {
      EventSet(rwlock->readerEvent);
   }
   LockRelease(&rwlock->guard);
}

RWLock::RWLock()
{
   HandleInit(m_rwlock, m_refCount, RWLockCreate(), RWLockDestroy);
}

QV_SHARED_HANDLE_COPIES(RWLock, m_rwlock, RWLockDestroy)

void RWLock::readLock(uint32_t timeout)
{
   RWLockReadLock(m_rwlock, timeout);
}

void RWLock::writeLock(uint32_t timeout)
{
   RWLockWriteLock(m_rwlock, timeout);
}

void RWLock::unlock()
{
   RWLockUnlock(m_rwlock);
}
