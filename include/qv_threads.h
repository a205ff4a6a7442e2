/* libqorvel Threads: mutexes, reader-writer locks, conditions, thread start and naming, thread pools. */
#ifndef QORVEL_QV_THREADS_H
#define QORVEL_QV_THREADS_H

#include <qv_base.h>

/* ---------------------------------------------------------------------------------------
 * Synchronisation primitives and threads
 *
 * Mutex, RWLock and Condition are value classes over one shared platform object: a copy
 * is a second name for the same lock or event, and the last copy destroys it. Copies may
 * be made and dropped on any thread; assigning to an object while another thread copies
 * that same object is not supported. Time-outs are unsigned 32-bit milliseconds measured
 * on a monotonic clock; INFINITE means no limit.
 * ------------------------------------------------------------------------------------- */

/* Reader/writer lock record behind RWLock and the RWLock* functions; private. */
typedef struct __rwlock_data __rwlock_data;

/* RWLockCreate returns a new free lock, or null when out of memory. RWLockDestroy releases
 * it unless it is still in use (held, or a thread is waiting on it): such a record is
 * left untouched. Null records are accepted everywhere: lock requests return 0, the
 * other calls do nothing. */
QV_API __rwlock_data *RWLockCreate(void);
QV_API void RWLockDestroy(__rwlock_data *rwlock);

/* Take the lock shared (many readers) or exclusive (one writer), waiting up to timeout
 * milliseconds; 1 when taken, 0 on time-out. Writers go first: while a writer waits, new
 * readers wait too, except a thread that already holds the lock shared, which is let in
 * again at once. The thread that holds the lock exclusive may lock it again (shared or
 * exclusive) at once; every hold needs its own RWLockUnlock. A thread that holds the lock
 * shared and asks for it exclusive waits for itself, so it gets 0 after its time-out. */
QV_API int RWLockReadLock(__rwlock_data *rwlock, uint32_t timeout);
QV_API int RWLockWriteLock(__rwlock_data *rwlock, uint32_t timeout);

/* Releases one shared hold or one exclusive hold. A released exclusive lock goes to one
 * waiting writer if any waits, otherwise to every waiting reader. */
QV_API void RWLockUnlock(__rwlock_data *rwlock);

/* A started thread: the platform handle (a pthread_t here) and the kernel thread id. */
typedef struct qorvel_thread_t
{
   uintptr_t handle;
   uint32_t id;
} qorvel_thread_t;

/* Body of a thread started by ThreadStart. */
typedef void (*ThreadEntry)(void *arg);

/* Starts a thread that runs entry(arg) with stackSize bytes of stack (0 or less: the
 * platform default; other sizes are rounded up to what the platform accepts). The body
 * runs inside the crash handler's frame. Returns the thread's record, which
 * ThreadWaitForExit releases, or null when the thread could not be started. */
QV_API qorvel_thread_t *ThreadStart(ThreadEntry entry, int stackSize, void *arg);

/* Waits without limit for the thread to end, then releases the record and the platform
 * handle. true when the thread ended; false for a null record, and for the calling
 * thread's own record (released too, without waiting). */
QV_API bool ThreadWaitForExit(qorvel_thread_t *thread);

/* Names the thread (the calling thread when thread is null) for debuggers and the
 * process list. name is 8-bit text in the system code page, UTF-8 here; the platform
 * keeps 15 bytes of it, so longer names are cut at a character boundary. A null name
 * does nothing. */
QV_API void ThreadSetName(qorvel_thread_t *thread, const char *name);

#ifdef __cplusplus

/* Platform objects behind the classes; private to the library. */
namespace qv {
namespace platform {
struct QvLock;
struct QvEvent;
}  // namespace platform
}  // namespace qv

/* Re-entrant lock: the owning thread may lock it again and must unlock it as often. A
 * thread that finds it owned spins 4000 times before it blocks. */
class QV_EXPORT Mutex
{
private:
   qv::platform::QvLock *m_mutex;
   int32_t *m_refCount;

public:
   Mutex();
   Mutex(const Mutex &src);
   ~Mutex();
   Mutex &operator=(const Mutex &src);

   void lock();

   /* Takes the lock only if that is possible at once (re-entry included). */
   bool tryLock();

   /* Drops one hold of the calling thread; a thread that does not own the lock changes
    * nothing. */
   void unlock();
};

/* Reader/writer lock with writer preference over an RWLockCreate record. readLock and
 * writeLock drop the time-out result; a caller that must know it uses RWLockReadLock and
 * RWLockWriteLock. The last copy releases the record as RWLockDestroy does. */
class QV_EXPORT RWLock
{
private:
   __rwlock_data *m_rwlock;
   int32_t *m_refCount;

public:
   RWLock();
   RWLock(const RWLock &src);
   ~RWLock();
   RWLock &operator=(const RWLock &src);

   void readLock(uint32_t timeout = INFINITE);
   void writeLock(uint32_t timeout = INFINITE);
   void unlock();
};

/* Event, not signalled at first. A broadcast condition resets manually: set releases every
 * waiter and it stays set until reset. Otherwise it resets itself: a set releases exactly
 * one waiter, or is kept for the next thread that waits. */
class QV_EXPORT Condition
{
private:
   qv::platform::QvEvent *m_event;
   int32_t *m_refCount;

public:
   explicit Condition(bool broadcast);
   Condition(const Condition &src);
   ~Condition();
   Condition &operator=(const Condition &src);

   void set();

   /* Releases the threads that wait at this moment (all of them for a broadcast
    * condition, the longest-waiting one otherwise) and leaves the condition not set. */
   void pulse();
   void reset();

   /* Waits up to timeout milliseconds; true when the condition released this thread,
    * false on time-out or when the condition could not be created. */
   bool wait(uint32_t timeout = INFINITE);
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Thread pool
 *
 * Named pools of worker threads that run callbacks at once (ThreadPoolExecute), one at a
 * time per key (ThreadPoolExecuteSerialized) or when a time has come (the ThreadPoolSchedule*
 * functions). A maintenance thread per pool keeps load averages of the requests waiting or
 * running and an average of how long requests wait for a worker; from these it starts more
 * workers when requests wait too long and shortens the idle time-out after which surplus
 * workers end. While no request is pending the wait average fades at every tick, so that
 * a pool left idle after a burst shrinks back to its minimum. Every pool is registered under its name (names compared
 * without regard to case; a later pool of the same name hides the earlier one) so that its statistics can be read by
 * name. Diagnostics go to the debug tag "threads.pool".
 *
 * Every function may be called from any thread, a pool's own requests included, except
 * that ThreadPoolDestroy must not run on one of the pool's own workers. The submit
 * functions have no result; a null pool or function is ignored. No lock is held while a
 * request runs. Wait times and relative delays are measured on the monotonic clock, so a
 * change of the wall clock moves only ThreadPoolScheduleAbsolute and
 * ThreadPoolScheduleAbsoluteMs requests.
 * ------------------------------------------------------------------------------------- */

/* A pool; opaque to callers. */
typedef struct ThreadPool ThreadPool;

/* Work run by a pool: called with the argument given when it was submitted. */
typedef void (*ThreadPoolWorkerFunction)(void *arg);

/* Process-wide resize parameters at load (see ThreadPoolSetResizeParameters). */
#define THREAD_POOL_DEFAULT_RESPONSIVENESS 12
#define THREAD_POOL_DEFAULT_WAIT_HIGH_WATERMARK 200
#define THREAD_POOL_DEFAULT_WAIT_LOW_WATERMARK 100

/* Statistics of a pool, filled by ThreadPoolGetInfo. */
typedef struct ThreadPoolInfo
{
   const wchar_t *poolName;  // the pool's own name, valid while the pool exists
   int32_t minimumThreads;
   int32_t maximumThreads;
   int32_t currentThreads;         // live workers
   int32_t activeRequestCount;     // requests in the work queue or running
   int32_t scheduledRequestCount;  // requests waiting for their time
   uint64_t totalRequestCount;     // ThreadPoolExecute calls: a key's runner counts, scheduled requests do not
   uint64_t threadStartCount;      // workers started by the pool as it grew
   uint64_t threadStopCount;       // workers that ended for inactivity
   int32_t threadUsagePercent;     // currentThreads * 100 / maximumThreads
   int32_t loadPercent;            // activeRequestCount * 100 / currentThreads, 0 without workers
   double loadAverageValues[3];    // one-, five- and fifteen-minute averages of activeRequestCount
   uint32_t averageWaitTimeMs;     // average time a request waits for a worker
} ThreadPoolInfo;

/* Creates and registers a pool (a null name becomes "NONAME") with minThreads workers at
 * once; it grows up to maxThreads. stackSize is the workers' stack in bytes, 0 for the
 * platform default. Returns null when maxThreads is below 1, minThreads is negative or
 * above maxThreads, or the maintenance thread cannot be started. Workers that cannot be
 * started are logged and left out. Release the pool with ThreadPoolDestroy. */
QV_API ThreadPool *ThreadPoolCreate(const wchar_t *name, int32_t minThreads, int32_t maxThreads, int32_t stackSize);

/* Unregisters the pool, runs every request already in its work queue, waits for its
 * threads to end and frees it. Scheduled requests that are not due yet are dropped, as
 * are requests that the pool's own work submits once the workers have been told to stop;
 * callers must not submit from elsewhere once this has been called. Null does nothing. */
QV_API void ThreadPoolDestroy(ThreadPool *pool);

/* Queues function(arg) to run on the next free worker. */
QV_API void ThreadPoolExecute(ThreadPool *pool, ThreadPoolWorkerFunction function, void *arg);

/* Queues function(arg) behind the requests of the same key (case-sensitive; a null key
 * is ignored): requests of one key run one at a time in the order submitted, requests of
 * different keys in parallel. */
QV_API void ThreadPoolExecuteSerialized(ThreadPool *pool, const wchar_t *key, ThreadPoolWorkerFunction function,
                                        void *arg);

/* Run function(arg) once the wall clock has reached runTime, in seconds or milliseconds
 * since 1970-01-01 00:00:00 UTC; a time already past runs at once. Requests due at the
 * same time run in the order scheduled. */
QV_API void ThreadPoolScheduleAbsolute(ThreadPool *pool, int64_t runTime, ThreadPoolWorkerFunction function, void *arg);
QV_API void ThreadPoolScheduleAbsoluteMs(ThreadPool *pool, int64_t runTime, ThreadPoolWorkerFunction function,
                                         void *arg);

/* Runs function(arg) no sooner than delay milliseconds from now on the monotonic clock;
 * a delay of 0 is ThreadPoolExecute. */
QV_API void ThreadPoolScheduleRelative(ThreadPool *pool, uint32_t delay, ThreadPoolWorkerFunction function, void *arg);

/* Fills info with the pool's statistics; a null pool or info does nothing. */
QV_API void ThreadPoolGetInfo(ThreadPool *pool, ThreadPoolInfo *info);

/* Requests waiting in the key's queue (the one running not counted), and the longest time
 * one of that queue's requests waited before it ran, in milliseconds. 0 when the key has
 * no work queued or running. */
QV_API int32_t ThreadPoolGetSerializedRequestCount(ThreadPool *pool, const wchar_t *key);
QV_API uint32_t ThreadPoolGetSerializedRequestMaxWaitTime(ThreadPool *pool, const wchar_t *key);

/* Sets the resize parameters of every pool: a resize decision every responsiveness-th
 * 5-second tick (1 to 24), growth while the average wait is above highWatermark
 * milliseconds, shrinking while it is below lowWatermark. A responsiveness outside 1 to
 * 24 or a watermark of 0 keeps the old value. */
QV_API void ThreadPoolSetResizeParameters(int32_t responsiveness, uint32_t highWatermark, uint32_t lowWatermark);

/* Stuck-work watchdog: a task of pool (a request, or one serialized request) that has run
 * for more than milliseconds is reported once in the log, as a debug message of level 0
 * with the tag "threads.pool": "Thread pool NAME: task ADDRESS has been running for N ms",
 * ADDRESS being the address of the task's function. The pool's maintenance thread looks at the running tasks every half
 * threshold (but not more often than every 10 ms), so a report comes between the threshold and about one and a half
 * times it. Reports are counted in the pool's "stuck_tasks" figure (qv_metrics.h). 0 (the default) turns the watchdog
 * off. May be called at any time. */
QV_API void ThreadPoolSetStuckTaskThreshold(ThreadPool *pool, uint32_t milliseconds);

#ifdef __cplusplus

class StringList;

/* The statistics of the registered pool called name (without regard to case); false,
 * with info untouched, when there is none. The pool cannot be destroyed meanwhile, but
 * info->poolName is valid only while it exists. */
QV_EXPORT bool ThreadPoolGetInfo(const wchar_t *name, ThreadPoolInfo *info);

/* A new list (the caller deletes it) of the names of all registered pools. */
QV_API StringList *ThreadPoolGetAllPools(void);

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Testing
 *
 * Hooks for tests, benchmarks and replays; host programs have no need of them.
 * ------------------------------------------------------------------------------------- */

/* Divides the periods of pools created afterwards by divisor (1 to 100; other values keep
 * the old one; 1 at load): the 5-second maintenance tick and the idle time-out, which
 * starts at 10 seconds and grows to about 10 minutes. With a large divisor a test or a
 * demonstration sees a pool resize within seconds. The load averages keep their factors
 * per tick and the watermarks stay in milliseconds. */
QV_API void ThreadPoolSetTimeScale(int32_t divisor);

#endif
