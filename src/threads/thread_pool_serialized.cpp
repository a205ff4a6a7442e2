/* Thread pool: serialized execution. Each key with work has a queue of its own and one
 * runner in the work queue that works through it; the queue goes away with its last
 * request. */
#include "threads/thread_pool.h"

#include <qv_strings.h>

#include <new>
#include <stdlib.h>

using namespace qv::pool;

namespace {

/* Initial slots of a key's queue and its growth step. */
constexpr unsigned int KEY_QUEUE_SIZE = 8;
constexpr unsigned int KEY_QUEUE_GROWTH = 8;

}  // namespace

SerializationQueue::SerializationQueue(ThreadPool *owner, wchar_t *keyCopy)
    : requests(KEY_QUEUE_SIZE, KEY_QUEUE_GROWTH), longestWait(0), pool(owner), key(keyCopy)
{}

/* A queue deleted with requests in it belongs to a pool being destroyed: they are
 * dropped. */
SerializationQueue::~SerializationQueue()
{
   void *request;
   while ((request = requests.get()) != nullptr)
      FreeRequest(static_cast<WorkRequest *>(request));
   free(key);
}

void qv::pool::SerializedRunner(void *arg)
{
   SerializationQueue *queue = static_cast<SerializationQueue *>(arg);
   ThreadPool *pool = queue->pool;
   for (;;)
   {
      platform::LockAcquire(&pool->keyQueueLock);
      WorkRequest *request = static_cast<WorkRequest *>(queue->requests.get());
      if (request == nullptr)
      {
         // Emptiness and removal under the lock that submitters take: a request that
         // comes later finds no queue and starts a new one with its own runner.
         wchar_t *key = queue->key;
         queue->key = nullptr;
         pool->keyQueues.remove(key);
         platform::LockRelease(&pool->keyQueueLock);
         free(key);
         return;
      }
      int64_t wait = WaitClockMs() - request->queueTime;
      if (wait > static_cast<int64_t>(queue->longestWait))
         queue->longestWait = static_cast<uint32_t>(wait);
      platform::LockRelease(&pool->keyQueueLock);
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
   return (queue != nullptr) ? queue->longestWait : 0;
}
