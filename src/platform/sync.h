/* Internal lock and event layer under the library's synchronisation classes: a re-entrant
 * spinning lock (the library's critical section), an event with manual or automatic reset,
 * the monotonic clock for time-outs and the current thread's id. No OS header appears here;
 * the blocking parts live in sync_posix.cpp. */
#ifndef QORVEL_PLATFORM_SYNC_H
#define QORVEL_PLATFORM_SYNC_H

#include <qv_base.h>

#include <atomic>

/* The C library's flag for a process that has one thread only. */
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
#define QV_HAVE_SINGLE_THREADED_FLAG 1
extern "C" char __libc_single_threaded;
#endif

namespace qv {
namespace platform {

/* Re-entrant lock. The lock word says 0: free, 1: held, 2: held and a thread may sleep on
 * it. Only the owner touches recursion; owner is read by other threads only to learn
 * that they are not the owner. */
struct QvLock
{
   std::atomic<uint32_t> state;
   std::atomic<uintptr_t> owner;
   uint32_t recursion;
   uint32_t spinCount;
};

/* Event with manual or automatic reset (definition in sync_posix.cpp). */
struct QvEvent;

/* Every critical section of the library spins this many times before it blocks. */
constexpr uint32_t LOCK_SPIN_COUNT = 4000;

constexpr uint32_t LOCK_FREE = 0;
constexpr uint32_t LOCK_HELD = 1;
constexpr uint32_t LOCK_CONTENDED = 2;

/* Token of the calling thread, never 0 and distinct among live threads: the thread pointer
 * is one load on the platforms that have it. */
#if defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
#define QV_HAVE_THREAD_POINTER 1
#endif
#endif
#ifdef QV_HAVE_THREAD_POINTER
inline uintptr_t CurrentThreadToken()
{
   return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
}
#else
uintptr_t CurrentThreadToken();
#endif

/* True while the process certainly has one thread only: the lock word then needs no
 * atomic read-modify-write, as no other thread can race for it (thread creation orders
 * everything before it). The C library keeps this flag for its own locks. */
inline bool SingleThreaded()
{
#ifdef QV_HAVE_SINGLE_THREADED_FLAG
   return __libc_single_threaded != 0;
#else
   return false;
#endif
}

/* New free lock (spin count LOCK_SPIN_COUNT) or null when out of memory; LockDestroy
 * releases it (null: nothing). */
QvLock *LockCreate();
void LockDestroy(QvLock *lock);
void LockInit(QvLock *lock);

/* Contended part of LockAcquire: spins, then sleeps until the lock word can be taken. */
void LockAcquireSlow(QvLock *lock);

/* Wakes one thread sleeping on the lock word. */
void LockWakeOne(QvLock *lock);

/* Sleeps while *word holds expected (may also return early: callers check the word again)
 * and wakes up to count threads sleeping on word. */
void WordWait(std::atomic<uint32_t> *word, uint32_t expected);
void WordWake(std::atomic<uint32_t> *word, int count);

/* Takes the lock, blocking; re-entry by the owner counts one more hold. */
inline void LockAcquire(QvLock *lock)
{
   uintptr_t self = CurrentThreadToken();
   if (lock->owner.load(std::memory_order_relaxed) == self)
   {
      lock->recursion++;
      return;
   }
   uint32_t expected = LOCK_FREE;
   if (SingleThreaded() && lock->state.load(std::memory_order_relaxed) == LOCK_FREE)
      lock->state.store(LOCK_HELD, std::memory_order_relaxed);
   else if (!lock->state.compare_exchange_strong(expected, LOCK_HELD, std::memory_order_acquire,
                                                 std::memory_order_relaxed))
      LockAcquireSlow(lock);
   lock->owner.store(self, std::memory_order_relaxed);
   lock->recursion = 1;
}

/* Takes the lock only if that is possible at once; true also on re-entry. */
inline bool LockTryAcquire(QvLock *lock)
{
   uintptr_t self = CurrentThreadToken();
   if (lock->owner.load(std::memory_order_relaxed) == self)
   {
      lock->recursion++;
      return true;
   }
   uint32_t expected = LOCK_FREE;
   if (!lock->state.compare_exchange_strong(expected, LOCK_HELD, std::memory_order_acquire, std::memory_order_relaxed))
      return false;
   lock->owner.store(self, std::memory_order_relaxed);
   lock->recursion = 1;
   return true;
}

/* Drops one hold; the last one frees the lock. A call from a thread that does not own
 * the lock changes nothing, so a stray unlock cannot free a lock another thread holds. */
inline void LockRelease(QvLock *lock)
{
   if (lock->owner.load(std::memory_order_relaxed) != CurrentThreadToken())
      return;
   if (--lock->recursion != 0)
      return;
   lock->owner.store(0, std::memory_order_relaxed);
   if (SingleThreaded())
      lock->state.store(LOCK_FREE, std::memory_order_relaxed);
   else if (lock->state.exchange(LOCK_FREE, std::memory_order_release) == LOCK_CONTENDED)
      LockWakeOne(lock);
}

/* Holds a platform lock for the scope, or until release(). For the library's own locks
 * that are embedded in hot structures; a Mutex is held with qv::sync::LockGuard. */
class LockHold
{
   QvLock *m_lock;

public:
   explicit LockHold(QvLock *lock) : m_lock(lock) { LockAcquire(lock); }
   ~LockHold() { release(); }
   void release()
   {
      if (m_lock != nullptr)
         LockRelease(m_lock);
      m_lock = nullptr;
   }
   LockHold(const LockHold &) = delete;
   LockHold &operator=(const LockHold &) = delete;
};

/* New event, not signalled, or null when out of memory. A manual-reset event stays
 * signalled until EventReset and releases every waiter; an automatic-reset event releases
 * one waiter per set, or keeps the set for the next thread that waits. */
QvEvent *EventCreate(bool manualReset);
void EventDestroy(QvEvent *event);
void EventSet(QvEvent *event);

/* Releases the threads waiting at this moment (all of them for a manual-reset event, the
 * longest-waiting one otherwise) and leaves the event not signalled. */
void EventPulse(QvEvent *event);
void EventReset(QvEvent *event);

/* Waits up to timeout milliseconds (INFINITE: no limit) on the monotonic clock; true when
 * the event released this thread, false when the time ran out. */
bool EventWait(QvEvent *event, uint32_t timeout);

/* Milliseconds of the monotonic clock (unaffected by changes of the wall clock). */
uint64_t MonotonicMs();

/* Kernel id of the calling thread. */
uint32_t CurrentThreadId();

}  // namespace platform
}  // namespace qv

#endif
