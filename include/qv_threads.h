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

/* Platform objects behind the classes; private to the library. */
struct QvLock;
struct QvEvent;

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

/* Re-entrant lock: the owning thread may lock it again and must unlock it as often. A
 * thread that finds it owned spins 4000 times before it blocks. */
class QV_EXPORT Mutex
{
private:
   QvLock *m_mutex;
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
   QvEvent *m_event;
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
 * ------------------------------------------------------------------------------------- */

#endif
