/* POSIX side of the lock and event layer: the lock's spin-then-sleep path on a futex,
 * events on a mutex and one condition variable per waiter, the monotonic clock. */
#include "platform/sync.h"

#include <errno.h>
#include <linux/futex.h>
#include <new>
#include <pthread.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int64_t MS_PER_SECOND = 1000;
constexpr int64_t NS_PER_MS = 1000000;
constexpr long NS_PER_SECOND = 1000000000L;

/* Most pauses between two looks at a contended lock word; the pauses double up to it. */
constexpr uint32_t LOCK_MAX_BACKOFF = 64;

/* Looks in a row that find the lock held by the same thread, after which a waiter sleeps. */
constexpr uint32_t LOCK_STALLED_LOOKS = 6;

inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
   __builtin_ia32_pause();
#elif defined(__aarch64__)
   __asm__ __volatile__("yield");
#endif
}

/* One blocked thread of an event, on the waiter's own stack; linked into the event's FIFO
 * while it waits. released is set (under the event's mutex) when a set or pulse picks it. */
struct EventWaiter
{
   pthread_cond_t cond;
   EventWaiter *next;
   EventWaiter *prev;
   bool released;
};

/* Condition variables of the waiters run on the monotonic clock. */
pthread_condattr_t *MonotonicCondAttr()
{
   static pthread_condattr_t attr;
   static pthread_once_t once = PTHREAD_ONCE_INIT;
   pthread_once(&once, [] {
      pthread_condattr_init(&attr);
      pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
   });
   return &attr;
}

void AbsoluteDeadline(uint32_t timeout, struct timespec *deadline)
{
   clock_gettime(CLOCK_MONOTONIC, deadline);
   deadline->tv_sec += static_cast<time_t>(timeout / MS_PER_SECOND);
   deadline->tv_nsec += static_cast<long>(timeout % MS_PER_SECOND) * NS_PER_MS;
   if (deadline->tv_nsec >= NS_PER_SECOND)
   {
      deadline->tv_sec++;
      deadline->tv_nsec -= NS_PER_SECOND;
   }
}

#ifndef QV_HAVE_THREAD_POINTER
__thread char t_threadToken __attribute__((tls_model("initial-exec")));
#endif

__thread uint32_t t_threadId __attribute__((tls_model("initial-exec")));

}  // namespace

namespace qv {
namespace platform {

/* The event: signalled is the kept state; waiters are the threads blocked in EventWait, the
 * longest-waiting first. Every field is guarded by mutex. */
struct QvEvent
{
   pthread_mutex_t mutex;
   EventWaiter *first;
   EventWaiter *last;
   bool manualReset;
   bool signalled;
};

#ifndef QV_HAVE_THREAD_POINTER
uintptr_t CurrentThreadToken()
{
   return reinterpret_cast<uintptr_t>(&t_threadToken);
}
#endif

void LockInit(QvLock *lock)
{
   lock->state.store(LOCK_FREE, std::memory_order_relaxed);
   lock->owner.store(0, std::memory_order_relaxed);
   lock->recursion = 0;
   lock->spinCount = LOCK_SPIN_COUNT;
}

QvLock *LockCreate()
{
   QvLock *lock = static_cast<QvLock *>(malloc(sizeof(QvLock)));
   if (lock != nullptr)
   {
      new (lock) QvLock;
      LockInit(lock);
   }
   return lock;
}

void LockDestroy(QvLock *lock)
{
   if (lock == nullptr)
      return;
   lock->~QvLock();
   free(lock);
}

void LockAcquireSlow(QvLock *lock)
{
   // Spins with growing pauses between looks at the lock word: a waiter that keeps reading
   // the word takes its cache line from the holder on every look, which slows the holder's
   // own release and re-acquisition. While the same holder keeps the word held look after
   // look, it is most likely not running (or in a long section): the waiter stops spinning
   // and sleeps instead of burning the processor the holder may need.
   uint32_t budget = lock->spinCount;
   uint32_t delay = 1;
   uint32_t stalls = 0;
   uintptr_t holder = lock->owner.load(std::memory_order_relaxed);
   while (budget > 0 && stalls < LOCK_STALLED_LOOKS)
   {
      uint32_t state = lock->state.load(std::memory_order_relaxed);
      if (state == LOCK_FREE &&
          lock->state.compare_exchange_weak(state, LOCK_HELD, std::memory_order_acquire, std::memory_order_relaxed))
         return;
      uintptr_t now = lock->owner.load(std::memory_order_relaxed);
      stalls = (state != LOCK_FREE && now == holder) ? stalls + 1 : 0;
      holder = now;
      for (uint32_t i = 0; i < delay; i++)
         CpuRelax();
      budget = (budget > delay) ? budget - delay : 0;
      if (delay < LOCK_MAX_BACKOFF)
         delay *= 2;
   }
   // Marking the word contended makes the releasing thread wake a sleeper; a thread that
   // wins it this way keeps the mark, which costs at most one needless wake.
   while (lock->state.exchange(LOCK_CONTENDED, std::memory_order_acquire) != LOCK_FREE)
      WordWait(&lock->state, LOCK_CONTENDED);
}

void LockWakeOne(QvLock *lock)
{
   WordWake(&lock->state, 1);
}

void WordWait(std::atomic<uint32_t> *word, uint32_t expected)
{
   // Returns at once when the word no longer holds expected; EINTR and spurious returns
   // are fine because every caller checks the word again.
   syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}

void WordWake(std::atomic<uint32_t> *word, int count)
{
   syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, count, nullptr, nullptr, 0);
}

QvEvent *EventCreate(bool manualReset)
{
   QvEvent *event = static_cast<QvEvent *>(malloc(sizeof(QvEvent)));
   if (event == nullptr)
      return nullptr;
   pthread_mutex_init(&event->mutex, nullptr);
   event->first = nullptr;
   event->last = nullptr;
   event->manualReset = manualReset;
   event->signalled = false;
   return event;
}

void EventDestroy(QvEvent *event)
{
   if (event == nullptr)
      return;
   pthread_mutex_destroy(&event->mutex);
   free(event);
}

static void Unlink(QvEvent *event, EventWaiter *waiter)
{
   if (waiter->prev != nullptr)
      waiter->prev->next = waiter->next;
   else
      event->first = waiter->next;
   if (waiter->next != nullptr)
      waiter->next->prev = waiter->prev;
   else
      event->last = waiter->prev;
}

/* Releases the longest-waiting thread, or all of them; false when none waits. The caller
 * holds the event's mutex, so a released waiter's condition cannot go away before the
 * signal. */
static bool ReleaseWaiters(QvEvent *event, bool all)
{
   if (event->first == nullptr)
      return false;
   do
   {
      EventWaiter *waiter = event->first;
      Unlink(event, waiter);
      waiter->released = true;
      pthread_cond_signal(&waiter->cond);
   } while (all && event->first != nullptr);
   return true;
}

void EventSet(QvEvent *event)
{
   pthread_mutex_lock(&event->mutex);
   if (event->manualReset)
   {
      event->signalled = true;
      ReleaseWaiters(event, true);
   }
   else if (!ReleaseWaiters(event, false))
   {
      event->signalled = true;
   }
   pthread_mutex_unlock(&event->mutex);
}

void EventPulse(QvEvent *event)
{
   pthread_mutex_lock(&event->mutex);
   ReleaseWaiters(event, event->manualReset);
   event->signalled = false;
   pthread_mutex_unlock(&event->mutex);
}

void EventReset(QvEvent *event)
{
   pthread_mutex_lock(&event->mutex);
   event->signalled = false;
   pthread_mutex_unlock(&event->mutex);
}

bool EventWait(QvEvent *event, uint32_t timeout)
{
   pthread_mutex_lock(&event->mutex);
   if (event->signalled)
   {
      if (!event->manualReset)
         event->signalled = false;
      pthread_mutex_unlock(&event->mutex);
      return true;
   }
   if (timeout == 0)
   {
      pthread_mutex_unlock(&event->mutex);
      return false;
   }

   EventWaiter waiter;
   pthread_cond_init(&waiter.cond, MonotonicCondAttr());
   waiter.released = false;
   waiter.next = nullptr;
   waiter.prev = event->last;
   if (event->last != nullptr)
      event->last->next = &waiter;
   else
      event->first = &waiter;
   event->last = &waiter;

   // The deadline is fixed once, so spurious wake-ups cannot stretch the wait.
   struct timespec deadline;
   if (timeout != INFINITE)
      AbsoluteDeadline(timeout, &deadline);
   while (!waiter.released)
   {
      int rc = (timeout == INFINITE) ? pthread_cond_wait(&waiter.cond, &event->mutex)
                                     : pthread_cond_timedwait(&waiter.cond, &event->mutex, &deadline);
      if (rc == ETIMEDOUT && !waiter.released)
      {
         Unlink(event, &waiter);
         break;
      }
   }
   bool released = waiter.released;
   pthread_mutex_unlock(&event->mutex);
   pthread_cond_destroy(&waiter.cond);
   return released;
}

uint64_t MonotonicMs()
{
   struct timespec now;
   clock_gettime(CLOCK_MONOTONIC, &now);
   return static_cast<uint64_t>(now.tv_sec) * MS_PER_SECOND + static_cast<uint64_t>(now.tv_nsec / NS_PER_MS);
}

uint32_t CurrentThreadId()
{
   if (t_threadId == 0)
      t_threadId = static_cast<uint32_t>(syscall(SYS_gettid));
   return t_threadId;
}

}  // namespace platform
}  // namespace qv
