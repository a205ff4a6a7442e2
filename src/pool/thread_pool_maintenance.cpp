/* Thread pool: the maintenance thread (load averages, resize decisions, moving due
 * requests into the work queue), the resize parameters and scheduled execution. */
#include "pool/thread_pool.h"

#include <qv_log.h>

using namespace qv::pool;
using qv::platform::EventSet;
using qv::platform::EventWait;
using qv::platform::MonotonicMs;

namespace {

/* Accepted range of the responsiveness. */
constexpr int32_t MIN_RESPONSIVENESS = 1;
constexpr int32_t MAX_RESPONSIVENESS = 24;

/* Weights of the old load (of FP_ONE) per tick: one-, five- and fifteen-minute averages
 * for a 5-second tick. */
constexpr int64_t LOAD_DECAY[3] = {1884, 2014, 2037};

/* Weight of the old wait average per tick while no request is pending (as the one-minute
 * load): without it an idle pool would keep the wait of its last busy spell for ever,
 * never shrink and, above the high watermark, grow. */
constexpr int64_t IDLE_WAIT_DECAY = 1884;

constexpr int32_t LEVEL_FAILURE = 1;
constexpr int32_t LEVEL_RESIZE = 3;
constexpr int32_t LEVEL_IDLE_TIMEOUT = 4;

std::atomic<int32_t> s_responsiveness{THREAD_POOL_DEFAULT_RESPONSIVENESS};
std::atomic<uint32_t> s_waitHighWatermark{THREAD_POOL_DEFAULT_WAIT_HIGH_WATERMARK};
std::atomic<uint32_t> s_waitLowWatermark{THREAD_POOL_DEFAULT_WAIT_LOW_WATERMARK};
std::atomic<int32_t> s_timeScale{1};

void UpdateAverages(ThreadPool *pool)
{
   int64_t pending = pool->pendingRequests.load(std::memory_order_relaxed);
   for (int i = 0; i < 3; i++)
   {
      int64_t load = pool->loadAverages[i].load(std::memory_order_relaxed);
      load = (load * LOAD_DECAY[i] + pending * FP_ONE * (FP_ONE - LOAD_DECAY[i])) >> FP_SHIFT;
      pool->loadAverages[i].store(load, std::memory_order_relaxed);
   }
   if (pending != 0)
      return;
   int64_t average = pool->waitTimeAverage.load(std::memory_order_relaxed);
   while (!pool->waitTimeAverage.compare_exchange_weak(average, (average * IDLE_WAIT_DECAY) >> FP_SHIFT,
                                                       std::memory_order_relaxed))
   {}
}

/* Grows the pool when requests wait too long (or wait with no worker at all), otherwise
 * shortens the idle time-out when they hardly wait and there are more workers than the
 * minimum. */
void ResizePool(ThreadPool *pool)
{
   int32_t started = 0;
   bool startFailed = false;
   const wchar_t *idleMessage = nullptr;
   uint32_t idleTimeout;
   {
      LockHold hold(&pool->poolLock);
      int32_t workers = pool->workers.size();
      int64_t wait = pool->waitTimeAverage.load(std::memory_order_relaxed) / FP_ONE;
      int32_t pending = pool->pendingRequests.load(std::memory_order_relaxed);
      idleTimeout = pool->idleTimeout.load(std::memory_order_relaxed);
      if ((wait > WaitHighWatermark() && workers < pool->maxWorkers) || (workers == 0 && pending > 0))
      {
         int32_t count = (pending - workers) / 2;
         if (count < 1)
            count = 1;
         if (count > pool->maxWorkers - workers)
            count = pool->maxWorkers - workers;
         for (; started < count; started++)
         {
            if (!StartWorker(pool))
            {
               startFailed = true;
               break;
            }
            pool->workersStarted++;
         }
         if (idleTimeout < pool->idleTimeoutGrowthLimit)
         {
            idleTimeout *= 2;
            idleMessage = L"Worker idle timeout increased to %d milliseconds for thread pool %s";
         }
      }
      else if (wait < WaitLowWatermark() && workers > pool->minWorkers && idleTimeout > pool->minIdleTimeout)
      {
         idleTimeout /= 2;
         idleMessage = L"Worker idle timeout decreased to %d milliseconds for thread pool %s";
      }
      pool->idleTimeout.store(idleTimeout, std::memory_order_relaxed);
   }
   if (started > 1)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_RESIZE, L"%d new threads started in thread pool %s", started, pool->poolName);
   else if (started == 1)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_RESIZE, L"New thread started in thread pool %s", pool->poolName);
   if (startFailed)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_FAILURE, L"Cannot create worker thread in pool %s", pool->poolName);
   if (idleMessage != nullptr)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_IDLE_TIMEOUT, idleMessage, static_cast<int32_t>(idleTimeout), pool->poolName);
}

/* Moves the due requests of one list (due by now) into the work queue; returns sleepTime
 * lowered to the time until the next one is due. */
uint32_t MoveDue(ThreadPool *pool, ObjectArray<WorkRequest> *list, int64_t now, int64_t queueTime, uint32_t sleepTime)
{
   while (!list->isEmpty())
   {
      WorkRequest *request = list->last();
      if (request->runTime > now)
      {
         if (request->runTime - now < static_cast<int64_t>(sleepTime))
            sleepTime = static_cast<uint32_t>(request->runTime - now);
         break;
      }
      list->_unlink(list->size() - 1);
      pool->pendingRequests.fetch_add(1, std::memory_order_relaxed);
      request->queueTime = queueTime;
      QueueRequest(pool, request);
   }
   return sleepTime;
}

uint32_t MoveDueRequests(ThreadPool *pool, uint32_t sleepTime)
{
   LockHold hold(&pool->timedRequestLock);
   int64_t queueTime = WaitClockMs();
   sleepTime = MoveDue(pool, &pool->timedRequests, GetCurrentTimeMs(), queueTime, sleepTime);
   return MoveDue(pool, &pool->delayedRequests, static_cast<int64_t>(MonotonicMs()), queueTime, sleepTime);
}

/* Adds a request due at runTime to the wall-clock or the monotonic list. */
void Schedule(ThreadPool *pool, bool monotonic, int64_t runTime, ThreadPoolWorkerFunction function, void *arg)
{
   if (pool == nullptr || function == nullptr)
      return;
   WorkRequest *request = AllocRequest(function, arg);
   if (request == nullptr)
      return;
   request->runTime = runTime;
   bool added;
   {
      LockHold hold(&pool->timedRequestLock);
      ObjectArray<WorkRequest> *list = monotonic ? &pool->delayedRequests : &pool->timedRequests;
      // Latest first, and a new request before those due at the same time, so that
      // requests due together leave the list's end in the order they were scheduled.
      int low = 0, high = list->size();
      while (low < high)
      {
         int middle = low + (high - low) / 2;
         if (list->get(middle)->runTime > runTime)
            low = middle + 1;
         else
            high = middle;
      }
      int before = list->size();
      list->insert(low, request);
      added = list->size() > before;
   }
   if (added)
      EventSet(pool->maintenanceWakeup);
   else
      FreeRequest(request);
}

}  // namespace

namespace qv {
namespace pool {

int32_t Responsiveness()
{
   return s_responsiveness.load(std::memory_order_relaxed);
}

int32_t TimeScale()
{
   return s_timeScale.load(std::memory_order_relaxed);
}

uint32_t WaitHighWatermark()
{
   return s_waitHighWatermark.load(std::memory_order_relaxed);
}

uint32_t WaitLowWatermark()
{
   return s_waitLowWatermark.load(std::memory_order_relaxed);
}

void MaintenanceThread(void *arg)
{
   ThreadPool *pool = static_cast<ThreadPool *>(arg);
   ThreadSetName(nullptr, pool->maintenanceThreadName);
   uint32_t elapsed = 0;
   int32_t tick = 0;
   uint32_t sleepTime = pool->tickMs;
   for (;;)
   {
      uint64_t start = MonotonicMs();
      EventWait(pool->maintenanceWakeup, sleepTime);
      if (pool->stopping.load(std::memory_order_acquire))
         break;
      JoinFinishedWorkers(pool);
      elapsed += static_cast<uint32_t>(MonotonicMs() - start);
      if (elapsed >= pool->tickMs)
      {
         UpdateAverages(pool);
         SweepIdleQueues(pool);
         elapsed = 0;
         // At or past, so that lowering the responsiveness cannot skip the decision.
         if (++tick >= Responsiveness())
         {
            ResizePool(pool);
            tick = 0;
         }
      }
      sleepTime = MoveDueRequests(pool, pool->tickMs - elapsed);
      uint32_t watchdogSleep = CheckStuckTasks(pool);
      if (watchdogSleep < sleepTime)
         sleepTime = watchdogSleep;
   }
   qvlog_debug_tag(DEBUG_TAG, LEVEL_RESIZE, L"Maintenance thread for thread pool %s stopped", pool->poolName);
}

}  // namespace pool
}  // namespace qv

QV_API void ThreadPoolSetResizeParameters(int32_t responsiveness, uint32_t highWatermark, uint32_t lowWatermark)
{
   if (responsiveness >= MIN_RESPONSIVENESS && responsiveness <= MAX_RESPONSIVENESS)
      s_responsiveness.store(responsiveness, std::memory_order_relaxed);
   if (highWatermark != 0)
      s_waitHighWatermark.store(highWatermark, std::memory_order_relaxed);
   if (lowWatermark != 0)
      s_waitLowWatermark.store(lowWatermark, std::memory_order_relaxed);
}

QV_API void ThreadPoolSetTimeScale(int32_t divisor)
{
   if (divisor >= 1 && divisor <= MAX_TIME_SCALE)
      s_timeScale.store(divisor, std::memory_order_relaxed);
}

QV_API void ThreadPoolScheduleAbsoluteMs(ThreadPool *pool, int64_t runTime, ThreadPoolWorkerFunction function,
                                         void *arg)
{
   Schedule(pool, false, runTime, function, arg);
}

QV_API void ThreadPoolScheduleAbsolute(ThreadPool *pool, int64_t runTime, ThreadPoolWorkerFunction function, void *arg)
{
   constexpr int64_t MS_PER_SECOND = 1000;
   // Times beyond the range of milliseconds stay at its ends.
   int64_t ms = (runTime > INT64_MAX / MS_PER_SECOND)   ? INT64_MAX
                : (runTime < INT64_MIN / MS_PER_SECOND) ? INT64_MIN
                                                        : runTime * MS_PER_SECOND;
   Schedule(pool, false, ms, function, arg);
}

QV_API void ThreadPoolScheduleRelative(ThreadPool *pool, uint32_t delay, ThreadPoolWorkerFunction function, void *arg)
{
   if (delay == 0)
   {
      ThreadPoolExecute(pool, function, arg);
      return;
   }
   // One millisecond more: part of the current one has passed already, and the request
   // must not run before the whole delay has.
   Schedule(pool, true, static_cast<int64_t>(MonotonicMs()) + delay + 1, function, arg);
}
