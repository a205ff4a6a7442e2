/* Thread pool: the registry of pools, creating and destroying a pool, its workers, plain
 * execution and the statistics. */
#include "pool/thread_pool.h"

#include <qv_log.h>
#include <qv_strings.h>

#include <initializer_list>
#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <thread>

using namespace qv::pool;
using qv::platform::EventCreate;
using qv::platform::EventDestroy;
using qv::platform::EventSet;
using qv::platform::EventWait;
using qv::platform::LockInit;
using qv::platform::MonotonicMs;

namespace {

/* Name of a pool created without one. */
const wchar_t DEFAULT_POOL_NAME[] = L"NONAME";

/* Stack of the maintenance thread in bytes. */
constexpr int MAINTENANCE_STACK_SIZE = 0x40000;

/* Most characters (and code page bytes) of the pool name in its threads' names. */
constexpr size_t THREAD_NAME_POOL_PART = 10;

/* Weight of the old wait average per request (of FP_ONE); the new wait gets the rest. */
constexpr int64_t WAIT_AVERAGE_DECAY = 2037;
constexpr int64_t WAIT_SAMPLE_WEIGHT = (FP_ONE - WAIT_AVERAGE_DECAY) * FP_ONE;

/* Times an idle worker yields, looking for work, before it sleeps. */
constexpr int IDLE_SPINS = 16;

/* Scale of the percentages in ThreadPoolInfo. */
constexpr int64_t PERCENT = 100;

/* Debug levels of the pool's messages. */
constexpr int32_t LEVEL_LIFECYCLE = 1;
constexpr int32_t LEVEL_STOPPING = 3;
constexpr int32_t LEVEL_WORKER_END = 5;
constexpr int32_t LEVEL_DETAIL = 6;

/* Pools by name, not owned; names compared without regard to case. Built in static
 * storage on first use and never destroyed, so that pools may still be destroyed while
 * the process exits. */
struct PoolRegistry
{
   Mutex lock;
   StringObjectMap<ThreadPool> pools;

   PoolRegistry() : pools(false) {}
};

PoolRegistry &Registry()
{
   alignas(PoolRegistry) static unsigned char storage[sizeof(PoolRegistry)];
   static PoolRegistry *registry = new (storage) PoolRegistry();
   return *registry;
}

/* "$", the pool name in the code page (at most THREAD_NAME_POOL_PART characters and
 * bytes), then suffix. */
void MakeThreadName(char *buffer, size_t size, const wchar_t *poolName, const char *suffix)
{
   char part[THREAD_NAME_POOL_PART + 1] = "";
   size_t chars = wcslen(poolName);
   if (chars > THREAD_NAME_POOL_PART)
      chars = THREAD_NAME_POOL_PART;
   for (; chars > 0; chars--)
   {
      int bytes = wchar_to_mb(poolName, static_cast<int>(chars), part, static_cast<int>(THREAD_NAME_POOL_PART));
      if (bytes > 0)
      {
         part[bytes] = 0;
         break;
      }
   }
   snprintf(buffer, size, "$%s%s", part, suffix);
}

uint64_t WorkerKey(const WorkerThreadInfo *worker)
{
   return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(worker));
}

/* After an idle time-out: leaves the pool when it has more workers than its minimum and
 * requests do not wait long, handing the thread to the maintenance thread to be joined.
 * True when the worker is to end. */
bool EndForInactivity(WorkerThreadInfo *self)
{
   ThreadPool *pool = self->pool;
   bool end;
   {
      LockHold hold(&pool->poolLock);
      end = !pool->stopping.load(std::memory_order_relaxed) && pool->workers.size() > pool->minWorkers &&
            pool->waitTimeAverage.load(std::memory_order_relaxed) / FP_ONE <= WaitLowWatermark();
      if (end)
      {
         pool->workers.remove(WorkerKey(self));
         pool->workersStopped++;
         self->nextFinished = pool->finishedWorkers;
         pool->finishedWorkers = self;
      }
   }
   if (end)
   {
      qvlog_debug_tag(DEBUG_TAG, LEVEL_WORKER_END, L"Stopping worker thread in thread pool %s due to inactivity",
                      pool->poolName);
      EventSet(pool->maintenanceWakeup);
   }
   return end;
}

/* Takes self off the idle list; false when a submitter has taken it off already (its set
 * may still be on the way). */
bool LeaveIdleList(WorkerThreadInfo *self)
{
   ThreadPool *pool = self->pool;
   LockHold hold(&pool->idleLock);
   for (int32_t i = 0; i < pool->idleCount; i++)
   {
      if (pool->idleWorkers[i] == self)
      {
         memmove(&pool->idleWorkers[i], &pool->idleWorkers[i + 1],
                 static_cast<size_t>(pool->idleCount - i - 1) * sizeof(WorkerThreadInfo *));
         pool->idleCount--;
         pool->idleHint.store(pool->idleCount, std::memory_order_relaxed);
         return true;
      }
   }
   return false;
}

/* The next request of the work queue, waiting up to timeout milliseconds; null when none
 * came. Not on the idle list when it returns. */
WorkRequest *NextRequest(WorkerThreadInfo *self, uint32_t timeout)
{
   ThreadPool *pool = self->pool;
   bool waited = false;
   uint64_t start = 0;  // of the wait, once the queue was found empty
   WorkRequest *request = pool->workQueue.take();
   // Under a steady stream the next request is usually a moment away: giving the
   // processor to the submitters a few times is cheaper than going to sleep and being
   // woken.
   for (int spin = 0; request == nullptr && spin < IDLE_SPINS; spin++)
   {
      std::this_thread::yield();
      if (pool->workQueue.size() > 0)
         request = pool->workQueue.take();
   }
   if (request != nullptr)
      return request;
   for (;;)
   {
      request = pool->workQueue.take();
      if (request != nullptr)
         return request;
      {
         LockHold hold(&pool->idleLock);
         pool->idleWorkers[pool->idleCount++] = self;
         // Sequentially consistent, as the queue's link: either this worker finds a
         // request put meanwhile, or its submitter finds this worker listed.
         pool->idleHint.store(pool->idleCount, std::memory_order_seq_cst);
      }
      request = pool->workQueue.take();
      if (request != nullptr)
      {
         // If a submitter picked this worker meanwhile, its set is kept and the next wait
         // merely returns at once.
         LeaveIdleList(self);
         return request;
      }
      if (!waited)
      {
         waited = true;
         start = MonotonicMs();
      }
      uint64_t elapsed = MonotonicMs() - start;
      bool woken = elapsed < timeout && EventWait(self->wakeup, timeout - static_cast<uint32_t>(elapsed));
      // A wake by a set kept from an earlier spell leaves this worker listed.
      bool listed = LeaveIdleList(self);
      if (!woken && listed)
         return pool->workQueue.take();
      // Woken, or picked just as the time ran out: look again.
   }
}

/* Before a worker ends: waits for the sets of submitters that took it off the idle list,
 * since its record goes once the thread has ended. */
void WaitForPendingSets(WorkerThreadInfo *self)
{
   while (self->pendingSets.load(std::memory_order_acquire) != 0)
      std::this_thread::yield();
}

/* The running task of the worker on this thread, for the serialized runner. */
thread_local RunningTask *t_task = nullptr;

void WorkerThread(void *arg)
{
   WorkerThreadInfo *self = static_cast<WorkerThreadInfo *>(arg);
   ThreadPool *pool = self->pool;
   ThreadSetName(nullptr, pool->workerThreadName);
   t_task = &self->task;
   for (;;)
   {
      WorkRequest *request = NextRequest(self, pool->idleTimeout.load(std::memory_order_relaxed));
      if (request == nullptr)
      {
         if (EndForInactivity(self))
         {
            WaitForPendingSets(self);
            return;
         }
         continue;
      }
      if (request->function == nullptr)
      {
         FreeRequest(request);  // stop request
         WaitForPendingSets(self);
         return;
      }
      int64_t now = WaitClockMs();
      AddWaitTime(pool, now - request->queueTime);
      TaskBegin(&self->task, request->function, now);
      request->function(request->arg);
      TaskEnd(&self->task);
      FreeRequest(request);
      pool->pendingRequests.fetch_sub(1, std::memory_order_relaxed);
   }
}

EnumerationCallbackResult CollectWorker(const void *, const void *value, void *context)
{
   static_cast<ObjectArray<WorkerThreadInfo> *>(context)->add(
       static_cast<WorkerThreadInfo *>(const_cast<void *>(value)));
   return CONTINUE_ENUMERATION;
}

EnumerationCallbackResult CountQueued(const wchar_t *, const void *value, void *context)
{
   const SerializationQueue *queue = static_cast<const SerializationQueue *>(value);
   *static_cast<int32_t *>(context) +=
       queue->requests.size() + ((queue->first.load(std::memory_order_relaxed) != nullptr) ? 1 : 0);
   return CONTINUE_ENUMERATION;
}

/* Frees what is left in the work queue once the workers have ended (work submitted after
 * the stop requests) and counts it with the serialized requests still queued, which the
 * pool's destructor frees. */
int32_t DropLeftovers(ThreadPool *pool)
{
   int32_t dropped = 0;
   WorkRequest *request;
   while ((request = pool->workQueue.take()) != nullptr)
   {
      // A runner's argument is its key's queue, which the key map owns.
      if (request->function != nullptr && request->function != SerializedRunner)
         dropped++;
      FreeRequest(request);
   }
   pool->keyQueues.forEach(CountQueued, &dropped);
   return dropped;
}

}  // namespace

ThreadPool::ThreadPool()
    : minWorkers(0), maxWorkers(0), workerStackSize(0), idleTimeout(MIN_IDLE_TIMEOUT), tickMs(TICK_MS),
      minIdleTimeout(MIN_IDLE_TIMEOUT), idleTimeoutGrowthLimit(IDLE_TIMEOUT_GROWTH_LIMIT), pendingRequests(0),
      requestsSubmitted(0), waitTimeAverage(0), longestWait(0), idleWorkers(nullptr), idleCount(0), idleHint(0),
      workers(false), finishedWorkers(nullptr), workersStarted(0), workersStopped(0), stopping(false),
      maintenanceThread(nullptr), maintenanceWakeup(nullptr), loadAverages{{0}, {0}, {0}}, keyQueues(true),
      timedRequests(16, 16, false), delayedRequests(16, 16, false), stuckTaskThreshold(0), stuckTasks(0), metrics(),
      poolName(nullptr), workerThreadName(), maintenanceThreadName()
{
   LockInit(&poolLock);
   LockInit(&idleLock);
   LockInit(&keyQueueLock);
   LockInit(&timedRequestLock);
   keyQueues.setIgnoreCase(false);
}

/* Runs once every thread of the pool has ended and the worker records are released. */
ThreadPool::~ThreadPool()
{
   for (ObjectArray<WorkRequest> *list : {&timedRequests, &delayedRequests})
      for (int i = 0; i < list->size(); i++)
         FreeRequest(list->get(i));
   free(poolName);
   free(idleWorkers);
   EventDestroy(maintenanceWakeup);
}

namespace qv {
namespace pool {

void DeleteWorker(WorkerThreadInfo *worker)
{
   if (worker->stopRequest != nullptr)
      FreeRequest(worker->stopRequest);
   EventDestroy(worker->wakeup);
   delete worker;
}

void QueueRequest(ThreadPool *pool, WorkRequest *request)
{
   pool->workQueue.put(request);
   // Sequentially consistent after the put's link: a worker that listed itself before
   // it found the queue empty is seen here.
   if (pool->idleHint.load(std::memory_order_seq_cst) == 0)
      return;
   WorkerThreadInfo *worker = nullptr;
   LockHold hold(&pool->idleLock);
   if (pool->idleCount > 0)
   {
      worker = pool->idleWorkers[--pool->idleCount];
      pool->idleHint.store(pool->idleCount, std::memory_order_relaxed);
      worker->pendingSets.fetch_add(1, std::memory_order_relaxed);
   }
   hold.release();
   // Set outside the lock, so that the woken worker does not run into it; the worker
   // does not end (and lose its event) while the set is pending.
   if (worker != nullptr)
   {
      EventSet(worker->wakeup);
      worker->pendingSets.fetch_sub(1, std::memory_order_release);
   }
}

bool StartWorker(ThreadPool *pool)
{
   WorkerThreadInfo *worker = new (std::nothrow)
       WorkerThreadInfo{pool, nullptr, EventCreate(false), nullptr, AllocRequest(nullptr, nullptr), 0, {}};
   if (worker == nullptr)
      return false;
   if (worker->wakeup == nullptr || worker->stopRequest == nullptr)
   {
      DeleteWorker(worker);
      return false;
   }
   // The worker reads its own record only under poolLock, which the caller holds until
   // the handle is stored.
   worker->thread = ThreadStart(WorkerThread, pool->workerStackSize, worker);
   if (worker->thread == nullptr)
   {
      DeleteWorker(worker);
      return false;
   }
   pool->workers.set(WorkerKey(worker), worker);
   return true;
}

void JoinFinishedWorkers(ThreadPool *pool)
{
   WorkerThreadInfo *finished;
   {
      LockHold hold(&pool->poolLock);
      finished = pool->finishedWorkers;
      pool->finishedWorkers = nullptr;
   }
   while (finished != nullptr)
   {
      WorkerThreadInfo *next = finished->nextFinished;
      ThreadWaitForExit(finished->thread);
      DeleteWorker(finished);
      finished = next;
   }
}

RunningTask *CurrentTask()
{
   return t_task;
}

void AddWaitTime(ThreadPool *pool, int64_t waitTime)
{
   if (waitTime < 0)
      waitTime = 0;
   // Nearly always a load only: a new longest wait is rare.
   int64_t longest = pool->longestWait.load(std::memory_order_relaxed);
   while (waitTime > longest && !pool->longestWait.compare_exchange_weak(longest, waitTime, std::memory_order_relaxed))
   {}
   int64_t average = pool->waitTimeAverage.load(std::memory_order_relaxed);
   while (!pool->waitTimeAverage.compare_exchange_weak(
       average, (average * WAIT_AVERAGE_DECAY + waitTime * WAIT_SAMPLE_WEIGHT) >> FP_SHIFT, std::memory_order_relaxed))
   {}
}

}  // namespace pool
}  // namespace qv

QV_API ThreadPool *ThreadPoolCreate(const wchar_t *name, int32_t minThreads, int32_t maxThreads, int32_t stackSize)
{
   const wchar_t *poolName = (name != nullptr) ? name : DEFAULT_POOL_NAME;
   if (maxThreads < 1 || minThreads < 0 || minThreads > maxThreads)
   {
      qvlog_debug_tag(DEBUG_TAG, LEVEL_LIFECYCLE, L"Cannot create thread pool %s: invalid limits (min=%d, max=%d)",
                      poolName, minThreads, maxThreads);
      return nullptr;
   }
   ThreadPool *pool = new (std::nothrow) ThreadPool();
   if (pool == nullptr)
      return nullptr;
   pool->minWorkers = minThreads;
   pool->maxWorkers = maxThreads;
   pool->workerStackSize = stackSize;
   uint32_t scale = static_cast<uint32_t>(TimeScale());
   pool->tickMs = TICK_MS / scale;
   pool->minIdleTimeout = MIN_IDLE_TIMEOUT / scale;
   pool->idleTimeoutGrowthLimit = IDLE_TIMEOUT_GROWTH_LIMIT / scale;
   pool->idleTimeout.store(pool->minIdleTimeout, std::memory_order_relaxed);
   pool->poolName = qv_wcsdup(poolName);
   pool->maintenanceWakeup = EventCreate(false);
   pool->idleWorkers =
       static_cast<WorkerThreadInfo **>(malloc(static_cast<size_t>(maxThreads) * sizeof(WorkerThreadInfo *)));
   if (pool->poolName == nullptr || pool->maintenanceWakeup == nullptr || pool->idleWorkers == nullptr ||
       !pool->workQueue.valid())
   {
      delete pool;
      return nullptr;
   }
   MakeThreadName(pool->workerThreadName, sizeof(pool->workerThreadName), poolName, "/WRK");
   MakeThreadName(pool->maintenanceThreadName, sizeof(pool->maintenanceThreadName), poolName, "/MNT");

   pool->maintenanceThread = ThreadStart(MaintenanceThread, MAINTENANCE_STACK_SIZE, pool);
   if (pool->maintenanceThread == nullptr)
   {
      qvlog_debug_tag(DEBUG_TAG, LEVEL_LIFECYCLE, L"Cannot create maintenance thread in pool %s", poolName);
      delete pool;
      return nullptr;
   }
   {
      LockHold hold(&pool->poolLock);
      for (int32_t i = 0; i < minThreads; i++)
         if (!StartWorker(pool))
            qvlog_debug_tag(DEBUG_TAG, LEVEL_LIFECYCLE, L"Cannot create worker thread in pool %s", poolName);
   }

   PoolRegistry &registry = Registry();
   registry.lock.lock();
   registry.pools.set(pool->poolName, pool);
   registry.lock.unlock();
   qv::log::MetricsRegister(&pool->metrics, qv::log::METRICS_THREAD_POOL, pool->poolName, ReadPoolFigures, pool);

   qvlog_debug_tag(DEBUG_TAG, LEVEL_LIFECYCLE, L"Thread pool %s initialized (min=%d, max=%d)", poolName, minThreads,
                   maxThreads);
   return pool;
}

QV_API void ThreadPoolDestroy(ThreadPool *pool)
{
   if (pool == nullptr)
      return;
   qvlog_debug_tag(DEBUG_TAG, LEVEL_STOPPING, L"Stopping threads in thread pool %s", pool->poolName);

   qv::log::MetricsUnregister(&pool->metrics);

   // A later pool of the same name may have taken the entry: that one stays registered.
   PoolRegistry &registry = Registry();
   registry.lock.lock();
   if (registry.pools.get(pool->poolName) == pool)
      registry.pools.remove(pool->poolName);
   registry.lock.unlock();

   // From here on no worker ends for inactivity and the worker map stays as it is.
   {
      LockHold hold(&pool->poolLock);
      pool->stopping.store(true, std::memory_order_release);
   }
   EventSet(pool->maintenanceWakeup);
   ThreadWaitForExit(pool->maintenanceThread);

   ObjectArray<WorkerThreadInfo> workers(0, 16, false);
   {
      LockHold hold(&pool->poolLock);
      pool->workers.forEach(CollectWorker, &workers);
   }
   // Behind everything queued so far: the workers run that first.
   for (int i = 0; i < workers.size(); i++)
   {
      QueueRequest(pool, workers.get(i)->stopRequest);
      workers.get(i)->stopRequest = nullptr;
   }
   qvlog_debug_tag(DEBUG_TAG, LEVEL_DETAIL, L"Waiting for %d worker threads of thread pool %s to stop", workers.size(),
                   pool->poolName);
   for (int i = 0; i < workers.size(); i++)
   {
      ThreadWaitForExit(workers.get(i)->thread);
      DeleteWorker(workers.get(i));
   }
   pool->workers.clear();
   JoinFinishedWorkers(pool);

   int32_t dropped = DropLeftovers(pool);
   if (dropped > 0)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_STOPPING, L"Thread pool %s dropped %d requests submitted while it was stopping",
                      pool->poolName, dropped);
   qvlog_debug_tag(DEBUG_TAG, LEVEL_LIFECYCLE, L"Thread pool %s destroyed", pool->poolName);
   delete pool;
}

QV_API void ThreadPoolExecute(ThreadPool *pool, ThreadPoolWorkerFunction function, void *arg)
{
   if (pool == nullptr || function == nullptr)
      return;
   WorkRequest *request = AllocRequest(function, arg);
   if (request == nullptr)
      return;
   pool->pendingRequests.fetch_add(1, std::memory_order_relaxed);
   pool->requestsSubmitted.fetch_add(1, std::memory_order_relaxed);
   request->queueTime = WaitClockMs();
   QueueRequest(pool, request);
}

QV_API void ThreadPoolGetInfo(ThreadPool *pool, ThreadPoolInfo *info)
{
   if (pool == nullptr || info == nullptr)
      return;
   {
      LockHold hold(&pool->poolLock);
      info->poolName = pool->poolName;
      info->minimumThreads = pool->minWorkers;
      info->maximumThreads = pool->maxWorkers;
      info->currentThreads = pool->workers.size();
      info->activeRequestCount = pool->pendingRequests.load(std::memory_order_relaxed);
      info->totalRequestCount = pool->requestsSubmitted.load(std::memory_order_relaxed);
      info->threadStartCount = pool->workersStarted;
      info->threadStopCount = pool->workersStopped;
      for (int i = 0; i < 3; i++)
         info->loadAverageValues[i] =
             static_cast<double>(pool->loadAverages[i].load(std::memory_order_relaxed)) / static_cast<double>(FP_ONE);
      info->averageWaitTimeMs = static_cast<uint32_t>(pool->waitTimeAverage.load(std::memory_order_relaxed) / FP_ONE);
   }
   {
      LockHold hold(&pool->timedRequestLock);
      info->scheduledRequestCount = pool->timedRequests.size() + pool->delayedRequests.size();
   }
   info->threadUsagePercent = static_cast<int32_t>(info->currentThreads * PERCENT / info->maximumThreads);
   info->loadPercent =
       (info->currentThreads > 0) ? static_cast<int32_t>(info->activeRequestCount * PERCENT / info->currentThreads) : 0;
}

QV_EXPORT bool ThreadPoolGetInfo(const wchar_t *name, ThreadPoolInfo *info)
{
   if (name == nullptr || info == nullptr)
      return false;
   PoolRegistry &registry = Registry();
   registry.lock.lock();
   ThreadPool *pool = registry.pools.get(name);
   if (pool != nullptr)
      ThreadPoolGetInfo(pool, info);
   registry.lock.unlock();
   return pool != nullptr;
}

QV_API StringList *ThreadPoolGetAllPools(void)
{
   PoolRegistry &registry = Registry();
   registry.lock.lock();
   StringList *names = registry.pools.keys();
   registry.lock.unlock();
   return (names != nullptr) ? names : new (std::nothrow) StringList();
}
