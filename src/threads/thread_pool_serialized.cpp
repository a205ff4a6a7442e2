/* Thread pool: serialized execution. Each key with work has a queue of its own and one
 * runner in the work queue that works through it; the queue goes away with its last
 * request. */
#include "threads/thread_pool.h"

#include <qv_strings.h>

#include <new>
#include <stdlib.h>

using namespace qv::pool;

SerializationQueue::SerializationQueue(ThreadPool *owner, wchar_t *keyCopy)
    : head(nullptr), tail(nullptr), count(0), longestWait(0), pool(owner), key(keyCopy)
{
   qv::platform::LockInit(&lock);
}

/* A queue deleted with requests in it belongs to a pool being destroyed: they are
 * dropped. */
SerializationQueue::~SerializationQueue()
{
   while (head != nullptr)
   {
      WorkRequest *next = head->next;
      FreeRequest(head);
      head = next;
   }
   free(key);
}

void SerializationQueue::put(WorkRequest *request)
{
   LockHold hold(&lock);
   request->next = nullptr;
   if (tail != nullptr)
      tail->next = request;
   else
      head = request;
   tail = request;
   count++;
}

WorkRequest *SerializationQueue::take()
{
   LockHold hold(&lock);
   WorkRequest *request = head;
   if (request != nullptr)
   {
      head = request->next;
      if (head == nullptr)
         tail = nullptr;
      count--;
   }
   return request;
}

void qv::pool::SerializedRunner(void *arg)
{
   SerializationQueue *queue = static_cast<SerializationQueue *>(arg);
   ThreadPool *pool = queue->pool;
   for (;;)
   {
      WorkRequest *request = queue->take();
      if (request == nullptr)
      {
         // Submitters put under keyQueueLock: with it held, an empty queue stays empty,
         // and a request that comes later finds no queue and starts a new one with its
         // own runner.
         platform::LockAcquire(&pool->keyQueueLock);
         request = queue->take();
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
      if (queue == nullptr)
      {
         free(keyCopy);
         FreeRequest(request);
         return;
      }
      pool->keyQueues.set(key, queue);
      ThreadPoolExecute(pool, SerializedRunner, queue);
   }
   queue->put(request);
}

QV_API int32_t ThreadPoolGetSerializedRequestCount(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   if (queue == nullptr)
      return 0;
   LockHold queueHold(&queue->lock);
   return queue->count;
}

QV_API uint32_t ThreadPoolGetSerializedRequestMaxWaitTime(ThreadPool *pool, const wchar_t *key)
{
   if (pool == nullptr || key == nullptr)
      return 0;
   LockHold hold(&pool->keyQueueLock);
   SerializationQueue *queue = pool->keyQueues.get(key);
   return (queue != nullptr) ? queue->longestWait.load(std::memory_order_relaxed) : 0;
}
