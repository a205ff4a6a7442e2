/* Thread pool internals shared by its source files: the request record, the pool itself,
 * the fixed-point constants and the helpers the files call in one another. */
#ifndef QORVEL_POOL_THREAD_POOL_H
#define QORVEL_POOL_THREAD_POOL_H

#include <qv_containers.h>
#include <qv_threads.h>

#include "log/metrics_registry.h"
#include "platform/coarse_clock.h"
#include "platform/sync.h"

#include <atomic>

namespace qv {
namespace pool {

using platform::QvEvent;
using platform::QvLock;

/* Debug tag of every message of the pool. */
constexpr wchar_t DEBUG_TAG[] = L"threads.pool";

/* Fraction bits of the fixed-point averages, and 1.0 in that form. */
constexpr int FP_SHIFT = 11;
constexpr int64_t FP_ONE = int64_t(1) << FP_SHIFT;

/* Idle time-out of a new pool's workers; the maintenance thread halves it no lower. */
constexpr uint32_t MIN_IDLE_TIMEOUT = 10000;

/* Growth doubles the idle time-out while it is below this. */
constexpr uint32_t IDLE_TIMEOUT_GROWTH_LIMIT = 600000;

/* Largest divisor of the pool's periods that ThreadPoolSetTimeScale accepts: a 50 ms
 * tick and a 100 ms idle time-out. */
constexpr int32_t MAX_TIME_SCALE = 100;

/* Bytes of a cache line, for keeping fields that different threads write apart. */
constexpr size_t CACHE_LINE = 64;

/* Length of one maintenance tick in milliseconds. */
constexpr uint32_t TICK_MS = 5000;

/* One unit of work. Freed through FreeRequest once it has run (or was dropped). */
struct WorkRequest
{
   ThreadPoolWorkerFunction function;  // null in a stop request
   void *arg;
   int64_t queueTime;                     // WaitClockMs() when it entered the work queue
   int64_t runTime;                       // scheduled requests: when due (wall clock or monotonic, by list)
   WorkRequest *next;                     // link in the free list of records
   std::atomic<WorkRequest *> queueNext;  // link in a RequestQueue
};

/* Clock of queue times and waits: cheap, monotonic, a few milliseconds coarse. */
inline int64_t WaitClockMs()
{
   return static_cast<int64_t>(platform::MonotonicCoarseMs());
}

/* A record for function(arg), or null when out of memory. */
WorkRequest *AllocRequest(ThreadPoolWorkerFunction function, void *arg);
void FreeRequest(WorkRequest *request);

/* First-in-first-out list of requests with one lock for putting and another for taking,
 * so that submitters and workers do not wait for one another. The first record is a
 * spare whose successor is the oldest request: take() copies that request into the
 * spare, hands the spare out and keeps the request's record as the new spare. So the
 * record taken is not the one put, only its contents; records are interchangeable. */
class RequestQueue
{
   alignas(CACHE_LINE) QvLock m_headLock;
   WorkRequest *m_head;  // the spare
   alignas(CACHE_LINE) QvLock m_tailLock;
   WorkRequest *m_tail;
   std::atomic<int32_t> m_count;

public:
   RequestQueue();
   /* Frees the spare and every request still queued. */
   ~RequestQueue();
   RequestQueue(const RequestQueue &) = delete;
   RequestQueue &operator=(const RequestQueue &) = delete;

   /* False when the spare could not be allocated; the queue must not be used then. */
   bool valid() const { return m_head != nullptr; }

   /* Appends the request. The link is stored sequentially consistent: a submitter that
    * reads the idle workers afterwards cannot miss a worker that listed itself before it
    * found the queue empty. */
   void put(WorkRequest *request);
   /* The oldest request (in another record), or null when there is none. */
   WorkRequest *take();
   /* Requests queued; exact only while nobody puts or takes. */
   int32_t size() const { return m_count.load(std::memory_order_relaxed); }
};

/* Process-wide resize parameters, and the divisor of the periods of new pools. */
int32_t Responsiveness();
int32_t TimeScale();
uint32_t WaitHighWatermark();
uint32_t WaitLowWatermark();

using platform::LockHold;

/* The task a worker runs now, for the stuck-work watchdog: written by the worker alone,
 * three plain stores per task, read by the maintenance thread. A task is told by its start,
 * which the reader takes before and after the function: equal and not 0, the pair belongs
 * together (a task that started in the same millisecond as the one before it has the same
 * start, and so the reported time is right for it too). */
struct RunningTask
{
   std::atomic<ThreadPoolWorkerFunction> function{nullptr};
   std::atomic<int64_t> start{0};  // WaitClockMs() when the task started; 0 while none runs
   int64_t reported = 0;           // start of the last task reported; maintenance thread only
};

/* Marks function as running since now (the coarse clock is never 0). Worker thread only.
 * The function is stored with release, so that a reader that sees it also sees the 0
 * stored when the previous task ended. */
inline void TaskBegin(RunningTask *task, ThreadPoolWorkerFunction function, int64_t now)
{
   task->function.store(function, std::memory_order_release);
   task->start.store(now, std::memory_order_release);
}

inline void TaskEnd(RunningTask *task)
{
   task->start.store(0, std::memory_order_relaxed);
}

/* The running task of the worker that runs the calling code; null outside workers. */
RunningTask *CurrentTask();

/* One worker thread; its address is its key in the pool's worker map. */
struct WorkerThreadInfo
{
   ThreadPool *pool;
   qorvel_thread_t *thread;
   QvEvent *wakeup;                       // automatic reset; set by the submitter that picks it when idle
   WorkerThreadInfo *nextFinished;        // link in the list of workers that ended for inactivity
   WorkRequest *stopRequest;              // the worker's own, until ThreadPoolDestroy queues it
   std::atomic<int32_t> pendingSets;      // submitters that took it off the idle list and still set wakeup
   alignas(CACHE_LINE) RunningTask task;  // written by the worker on every request
};

/* A key's queue of serialized requests, the argument of the key's runner. pending counts
 * the requests queued and the one running: submitters put and count under keyQueueLock,
 * and the one that finds no request pending starts a runner. The runner takes without the
 * lock and ends when its count drops to zero, never touching the queue afterwards, so a
 * busy key never waits for the lock. An idle queue stays in the map until the maintenance
 * thread removes it (under keyQueueLock, where no count can rise); deleting a queue frees
 * the requests still in it. */
struct SerializationQueue
{
   RequestQueue requests;
   std::atomic<int32_t> pending;       // queued or running
   std::atomic<WorkRequest *> first;   // the request that started the runner, until it runs
   std::atomic<uint32_t> longestWait;  // milliseconds since the runner started; written by it
   ThreadPool *pool;
   wchar_t *key;  // own copy

   SerializationQueue(ThreadPool *owner, wchar_t *keyCopy);
   ~SerializationQueue();
   SerializationQueue(const SerializationQueue &) = delete;
   SerializationQueue &operator=(const SerializationQueue &) = delete;
};

}  // namespace pool
}  // namespace qv

struct ThreadPool
{
   int32_t minWorkers;
   int32_t maxWorkers;
   int32_t workerStackSize;
   std::atomic<uint32_t> idleTimeout;  // written under poolLock

   // Periods in milliseconds, fixed at creation: the maintenance tick and the bounds of
   // idleTimeout (the defaults divided by the time scale).
   uint32_t tickMs;
   uint32_t minIdleTimeout;
   uint32_t idleTimeoutGrowthLimit;

   // Each group that different threads write on every request has a cache line of its own.
   alignas(qv::pool::CACHE_LINE) std::atomic<int32_t> pendingRequests;
   std::atomic<uint64_t> requestsSubmitted;
   alignas(qv::pool::CACHE_LINE) std::atomic<int64_t> waitTimeAverage;  // milliseconds, fixed point
   std::atomic<int64_t> longestWait;                                    // milliseconds
   alignas(qv::pool::CACHE_LINE) qv::pool::RequestQueue workQueue;

   // Workers waiting for work, the latest to go idle last. A submitter takes one off and
   // sets its event, so every idle spell is ended by one set at most and idle workers are
   // woken latest first (those idle longest are left to time out).
   alignas(qv::pool::CACHE_LINE) qv::platform::QvLock idleLock;
   qv::pool::WorkerThreadInfo **idleWorkers;  // room for maxWorkers
   int32_t idleCount;                         // under idleLock
   std::atomic<int32_t> idleHint;             // idleCount, readable without the lock

   alignas(qv::pool::CACHE_LINE)
       qv::platform::QvLock poolLock;  // guards workers, finishedWorkers, the start and stop counts, stopping
   HashMap<uint64_t, qv::pool::WorkerThreadInfo> workers;
   qv::pool::WorkerThreadInfo *finishedWorkers;  // ended for inactivity, to be joined
   uint64_t workersStarted;
   uint64_t workersStopped;
   std::atomic<bool> stopping;

   qorvel_thread_t *maintenanceThread;
   qv::platform::QvEvent *maintenanceWakeup;  // automatic reset
   std::atomic<int64_t> loadAverages[3];

   qv::platform::QvLock keyQueueLock;  // guards keyQueues and the queues in it
   StringObjectMap<qv::pool::SerializationQueue> keyQueues;

   qv::platform::QvLock timedRequestLock;  // guards both lists of scheduled requests
   // Sorted by run time, latest first, so that the next due request is the last one.
   ObjectArray<qv::pool::WorkRequest> timedRequests;    // wall clock, milliseconds since 1970
   ObjectArray<qv::pool::WorkRequest> delayedRequests;  // monotonic milliseconds

   std::atomic<uint32_t> stuckTaskThreshold;  // milliseconds; 0: the watchdog is off
   std::atomic<uint64_t> stuckTasks;          // tasks the watchdog reported
   qv::log::MetricsSource metrics;

   wchar_t *poolName;
   char workerThreadName[16];
   char maintenanceThreadName[16];

   ThreadPool();
   ~ThreadPool();
   ThreadPool(const ThreadPool &) = delete;
   ThreadPool &operator=(const ThreadPool &) = delete;
};

namespace qv {
namespace pool {

/* Starts one worker and adds it to the pool's map; false when the thread cannot be
 * started. The caller holds poolLock. */
bool StartWorker(ThreadPool *pool);

/* Puts a request into the work queue and wakes an idle worker, if there is one. */
void QueueRequest(ThreadPool *pool, WorkRequest *request);

/* Releases a worker's record once its thread has ended (or never started). */
void DeleteWorker(WorkerThreadInfo *worker);

/* Joins and releases the workers that ended for inactivity. Takes poolLock itself. */
void JoinFinishedWorkers(ThreadPool *pool);

/* Body of the maintenance thread. */
void MaintenanceThread(void *arg);

/* Runner of a key's serialized requests (its argument is the SerializationQueue). */
void SerializedRunner(void *arg);
/* Removes the key queues that have nothing pending. */
void SweepIdleQueues(ThreadPool *pool);

/* The request's wait folded into the pool's average and its longest wait. */
void AddWaitTime(ThreadPool *pool, int64_t waitTime);

/* The stuck-work watchdog's pass: reports, once each, the tasks that have run longer than
 * the pool's threshold. Returns the longest the maintenance thread may sleep before the
 * next pass (INFINITE while the watchdog is off). Maintenance thread only. */
uint32_t CheckStuckTasks(ThreadPool *pool);

/* Hands the pool's figures to the registry (a MetricsReader). */
void ReadPoolFigures(const void *pool, qv::log::MetricsSink *sink);

}  // namespace pool
}  // namespace qv

#endif
