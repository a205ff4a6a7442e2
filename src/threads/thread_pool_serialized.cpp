/* Thread pool: serialized execution. Each key with work has a queue of its own and one
 * runner in the work queue that works through it; the queue goes away with its last
 * request. */
#include "threads/thread_pool.h"

#include <qv_strings.h>

#include <new>
#include <stdlib.h>

using namespace qv::pool;

SerializationQueue::SerializationQueue(ThreadPool *owner, wchar_t *keyCopy) : longestWait(0), pool(owner), key(keyCopy)
{}

/* The request queue frees what is left in it (a pool being destroyed drops it). */
SerializationQueue::~SerializationQueue()
{
   free(key);
}

void qv::pool::SerializedRunner(void *arg)
{
   SerializationQueue *queue = static_cast<SerializationQueue *>(arg);
   ThreadPool *pool = queue->pool;
   for (;;)
   {
      WorkRequest *request = queue->requests.take();
      if (request == nullptr)
      {
         // Submitters put under keyQueueLock: with it held, an empty queue stays empty,
         // and a request that comes later finds no queue and starts a new one with its
         // own runner.
         platform::LockAcquire(&pool->keyQueueLock);
         request = queue->requests.take();
         if (request == nullptr)
         {
            wchar_t *key = queue->key;
            queue->key = nullptr;
            pool->keyQueues.remove(key);
            platform::LockRelease(&pool->keyQueueLock);
            free(key);
            return;
         }
         platform::LockRelease(&pool->keyQueueLock);
      }
      int64_t wait = WaitClockMs() - request->queueTime;
      if (wait > static_cast<int64_t>(queue->longestWait.load(std::memory_order_relaxed)))
         queue->longestWait.store(static_cast<uint32_t>(wait), std::memory_order_relaxed);
      request->function(request->arg);
      FreeRequest(request);
   }
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
      ThreadPoolExecute(pool, SerializedRunner, queue);
   }
   queue->requests.put(request);
}

QV_API int32_t ThreadPoolGetSerializedRequestCount(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   return (queue != nullptr) ? queue->requests.size() : 0;
}

QV_API uint32_t ThreadPoolGetSerializedRequestMaxWaitTime(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   return (queue != nullptr) ? queue->longestWait.load(std::memory_order_relaxed) : 0;
}
