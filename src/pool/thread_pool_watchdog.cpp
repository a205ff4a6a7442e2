/* Thread pool: the stuck-work watchdog, run by the maintenance thread, and the pool's
 * figures for the registry of the library's figures. */
#include "pool/thread_pool.h"

#include <qv_log.h>

using namespace qv::pool;
using qv::platform::EventSet;

namespace {

/* Reports of one pass at most; further stuck tasks are reported by the next pass. */
constexpr int MAX_REPORTS_PER_PASS = 32;

/* The watchdog looks at least this often (milliseconds), and at least twice per
 * threshold. */
constexpr uint32_t MIN_CHECK_INTERVAL = 10;

/* Debug level of the report: a stuck task is worth a line whatever the levels, as the
 * host asked for the watchdog. */
constexpr int32_t LEVEL_STUCK = 0;

struct StuckReport
{
   ThreadPoolWorkerFunction function;
   int64_t runningMs;
};

struct StuckPass
{
   int64_t now;
   int64_t threshold;
   StuckReport reports[MAX_REPORTS_PER_PASS];
   int count;
};

/* Looks at one worker's running task; poolLock held, so the record stays. */
EnumerationCallbackResult CheckWorker(const void *, const void *value, void *context)
{
   auto *pass = static_cast<StuckPass *>(context);
   if (pass->count == MAX_REPORTS_PER_PASS)
      return STOP_ENUMERATION;
   RunningTask &task = const_cast<WorkerThreadInfo *>(static_cast<const WorkerThreadInfo *>(value))->task;
   int64_t start = task.start.load(std::memory_order_acquire);
   if (start == 0 || start == task.reported || pass->now - start <= pass->threshold)
      return CONTINUE_ENUMERATION;
   ThreadPoolWorkerFunction function = task.function.load(std::memory_order_acquire);
   if (task.start.load(std::memory_order_relaxed) != start || function == nullptr)
      return CONTINUE_ENUMERATION;
   int64_t running = pass->now - start;
   // A later task of this worker starts after this report, so its start differs.
   task.reported = start;
   pass->reports[pass->count++] = StuckReport{function, running};
   return CONTINUE_ENUMERATION;
}

}  // namespace

namespace qv {
namespace pool {

uint32_t CheckStuckTasks(ThreadPool *pool)
{
   uint32_t threshold = pool->stuckTaskThreshold.load(std::memory_order_relaxed);
   if (threshold == 0)
      return INFINITE;
   StuckPass pass;
   pass.now = WaitClockMs();
   pass.threshold = threshold;
   pass.count = 0;
   {
      LockHold hold(&pool->poolLock);
      pool->workers.forEach(CheckWorker, &pass);
   }
   if (pass.count > 0)
      pool->stuckTasks.fetch_add(static_cast<uint64_t>(pass.count), std::memory_order_relaxed);
   for (int i = 0; i < pass.count; i++)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_STUCK, L"Thread pool %s: task %p has been running for %I64d ms", pool->poolName,
                      reinterpret_cast<void *>(pass.reports[i].function), pass.reports[i].runningMs);
   uint32_t interval = threshold / 2;
   return (interval < MIN_CHECK_INTERVAL) ? MIN_CHECK_INTERVAL : interval;
}

void ReadPoolFigures(const void *object, qv::log::MetricsSink *sink)
{
   ThreadPool *pool = const_cast<ThreadPool *>(static_cast<const ThreadPool *>(object));
   ThreadPoolInfo info;
   ThreadPoolGetInfo(pool, &info);
   sink->add("workers", static_cast<int64_t>(info.currentThreads));
   sink->add("min_workers", static_cast<int64_t>(info.minimumThreads));
   sink->add("max_workers", static_cast<int64_t>(info.maximumThreads));
   sink->add("active", static_cast<int64_t>(info.activeRequestCount));
   sink->add("queued", static_cast<int64_t>(pool->workQueue.size()));
   sink->add("scheduled", static_cast<int64_t>(info.scheduledRequestCount));
   sink->add("requests", static_cast<int64_t>(info.totalRequestCount));
   sink->add("load_1m", info.loadAverageValues[0]);
   sink->add("load_5m", info.loadAverageValues[1]);
   sink->add("load_15m", info.loadAverageValues[2]);
   sink->add("average_wait_ms", static_cast<int64_t>(info.averageWaitTimeMs));
   sink->add("longest_wait_ms", pool->longestWait.load(std::memory_order_relaxed));
   sink->add("stuck_tasks", static_cast<int64_t>(pool->stuckTasks.load(std::memory_order_relaxed)));
}

}  // namespace pool
}  // namespace qv

QV_API void ThreadPoolSetStuckTaskThreshold(ThreadPool *pool, uint32_t milliseconds)
{
   if (pool == nullptr)
      return;
   pool->stuckTaskThreshold.store(milliseconds, std::memory_order_relaxed);
   EventSet(pool->maintenanceWakeup);
}
