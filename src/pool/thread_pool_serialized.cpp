/* Thread pool: serialized execution. Each key with work has a queue of its own and one
 * runner in the work queue that works through it; an idle queue waits in the key map for
 * the key's next request or the maintenance thread's sweep. */
#include "pool/thread_pool.h"

#include <qv_log.h>
#include <qv_strings.h>

#include <new>
#include <stdlib.h>

#include <thread>

using namespace qv::pool;

qv::pool::SerializationQueue::SerializationQueue(ThreadPool *owner, wchar_t *keyCopy)
    : pending(0), first(nullptr), longestWait(0), pool(owner), key(keyCopy)
{}

/* The request queue frees what is left in it (a pool being destroyed drops it), and so
 * does the start request of a runner that never ran. */
qv::pool::SerializationQueue::~SerializationQueue()
{
   WorkRequest *start = first.load(std::memory_order_relaxed);
   if (start != nullptr)
      FreeRequest(start);
   free(key);
}

void qv::pool::SerializedRunner(void *arg)
{
   SerializationQueue *queue = static_cast<SerializationQueue *>(arg);
   // The oldest request came with the start; the others are in the queue behind it.
   WorkRequest *request = queue->first.exchange(nullptr, std::memory_order_relaxed);
   // The watchdog sees each request of the key as a task of its own.
   RunningTask *task = CurrentTask();
   for (;; request = nullptr)
   {
      // Each count was raised after its request was put, so a counted request is there.
      if (request == nullptr)
         request = queue->requests.take();
      if (request == nullptr)
      {
         std::this_thread::yield();
         continue;
      }
      int64_t now = WaitClockMs();
      int64_t wait = now - request->queueTime;
      if (wait > static_cast<int64_t>(queue->longestWait.load(std::memory_order_relaxed)))
         queue->longestWait.store(static_cast<uint32_t>(wait), std::memory_order_relaxed);
      if (task != nullptr)
         TaskBegin(task, request->function, now);
      request->function(request->arg);
      if (task != nullptr)
         TaskEnd(task);
      FreeRequest(request);
      // The last pending request: the queue may be swept away from here on.
      if (queue->pending.fetch_sub(1, std::memory_order_acq_rel) == 1)
         return;
   }
}

namespace {

/* Debug level of the sweep's report. */
constexpr int32_t LEVEL_SWEEP = 7;

/* Keeps a queue with work pending and counts the others, which go. */
bool KeepBusyQueue(const wchar_t *, const void *value, void *context)
{
   if (static_cast<const SerializationQueue *>(value)->pending.load(std::memory_order_acquire) > 0)
      return true;
   (*static_cast<int32_t *>(context))++;
   return false;
}

}  // namespace

void qv::pool::SweepIdleQueues(ThreadPool *pool)
{
   int32_t removed = 0;
   LockHold hold(&pool->keyQueueLock);
   pool->keyQueues.filterElements(KeepBusyQueue, &removed);
   hold.release();
   if (removed > 0)
      qvlog_debug_tag(DEBUG_TAG, LEVEL_SWEEP, L"%d idle serialization queues removed from thread pool %s", removed,
                      pool->poolName);
}

QV_API void ThreadPoolExecuteSerialized(ThreadPool *pool, const wchar_t *key, ThreadPoolWorkerFunction function,
                                        void *arg)
{
   if (pool == nullptr || key == nullptr || function == nullptr)
      return;
   WorkRequest *request = AllocRequest(function, arg);
   if (request == nullptr)
      return;
   request->queueTime = WaitClockMs();
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   if (queue == nullptr)
   {
      wchar_t *keyCopy = qv_wcsdup(key);
      queue = (keyCopy != nullptr) ? new (std::nothrow) SerializationQueue(pool, keyCopy) : nullptr;
      if (queue == nullptr || !queue->requests.valid())
      {
         if (queue != nullptr)
            delete queue;  // frees the key copy
         else
            free(keyCopy);
         FreeRequest(request);
         return;
      }
      pool->keyQueues.set(key, queue);
   }
   if (queue->pending.load(std::memory_order_acquire) == 0)
   {
      // Nothing pending, so no runner: the request goes with a new one. The count can only
      // rise under the lock, which is held.
      queue->first.store(request, std::memory_order_relaxed);
      queue->pending.store(1, std::memory_order_relaxed);
      queue->longestWait.store(0, std::memory_order_relaxed);
      ThreadPoolExecute(pool, SerializedRunner, queue);
      return;
   }
   queue->requests.put(request);
   if (queue->pending.fetch_add(1, std::memory_order_acq_rel) == 0)
   {
      queue->longestWait.store(0, std::memory_order_relaxed);
      ThreadPoolExecute(pool, SerializedRunner, queue);
   }
}

QV_API int32_t ThreadPoolGetSerializedRequestCount(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   if (queue == nullptr)
      return 0;
   return queue->requests.size() + ((queue->first.load(std::memory_order_relaxed) != nullptr) ? 1 : 0);
}

QV_API uint32_t ThreadPoolGetSerializedRequestMaxWaitTime(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   return (queue != nullptr && queue->pending.load(std::memory_order_relaxed) > 0)
              ? queue->longestWait.load(std::memory_order_relaxed)
              : 0;
}
