/* Thread pool: request records and the queue they wait in. Records are recycled instead
 * of going back to the heap after every request. Workers return records to a shared lock-free stack; a submitting
 * thread takes the whole stack at once into a cache of its own and hands records out of it without any atomic
 * operation. Pushing and taking everything are both safe against reuse of a record between a read and the swap, so the
 * stack needs no counters or tags. */
#include "pool/thread_pool.h"

#include <stdlib.h>

namespace qv {
namespace pool {
namespace {

/* Records the shared stack keeps at most (about; the count is a bound, not a tally);
 * beyond it returned records go back to the heap. Enough for a burst of tens of
 * thousands of requests to be served without the heap, at most about 4 MiB kept. */
constexpr int32_t SHARED_RECORD_LIMIT = 65536;

struct alignas(64) SharedRecords
{
   std::atomic<WorkRequest *> top{nullptr};
   std::atomic<int32_t> count{0};
};

SharedRecords s_shared;

/* A thread's own records; released when the thread ends. */
struct RecordCache
{
   WorkRequest *first = nullptr;

   ~RecordCache()
   {
      while (first != nullptr)
      {
         WorkRequest *next = first->next;
         free(first);
         first = next;
      }
   }
};

thread_local RecordCache t_cache;

}  // namespace

WorkRequest *AllocRequest(ThreadPoolWorkerFunction function, void *arg)
{
   RecordCache &cache = t_cache;
   if (cache.first == nullptr && s_shared.count.load(std::memory_order_relaxed) > 0)
   {
      cache.first = s_shared.top.exchange(nullptr, std::memory_order_acquire);
      s_shared.count.store(0, std::memory_order_relaxed);
   }
   WorkRequest *request = cache.first;
   if (request != nullptr)
      cache.first = request->next;
   else if ((request = static_cast<WorkRequest *>(malloc(sizeof(WorkRequest)))) == nullptr)
      return nullptr;
   request->function = function;
   request->arg = arg;
   request->queueTime = 0;
   request->runTime = 0;
   request->next = nullptr;
   request->queueNext.store(nullptr, std::memory_order_relaxed);
   return request;
}

void FreeRequest(WorkRequest *request)
{
   if (s_shared.count.load(std::memory_order_relaxed) >= SHARED_RECORD_LIMIT)
   {
      free(request);
      return;
   }
   WorkRequest *top = s_shared.top.load(std::memory_order_relaxed);
   do
      request->next = top;
   while (!s_shared.top.compare_exchange_weak(top, request, std::memory_order_release, std::memory_order_relaxed));
   s_shared.count.fetch_add(1, std::memory_order_relaxed);
}

RequestQueue::RequestQueue() : m_head(AllocRequest(nullptr, nullptr)), m_tail(m_head), m_count(0)
{
   platform::LockInit(&m_headLock);
   platform::LockInit(&m_tailLock);
}

RequestQueue::~RequestQueue()
{
   WorkRequest *request = m_head;
   while (request != nullptr)
   {
      WorkRequest *next = request->queueNext.load(std::memory_order_relaxed);
      FreeRequest(request);
      request = next;
   }
}

void RequestQueue::put(WorkRequest *request)
{
   request->queueNext.store(nullptr, std::memory_order_relaxed);
   m_count.fetch_add(1, std::memory_order_relaxed);
   LockHold hold(&m_tailLock);
   // Publishes the request's contents to the taker that reads the link.
   m_tail->queueNext.store(request, std::memory_order_seq_cst);
   m_tail = request;
}

WorkRequest *RequestQueue::take()
{
   LockHold hold(&m_headLock);
   WorkRequest *spare = m_head;
   WorkRequest *first = spare->queueNext.load(std::memory_order_seq_cst);
   if (first == nullptr)
      return nullptr;
   // Only the link of the last record is written by submitters; the contents of first
   // are settled once it is linked.
   spare->function = first->function;
   spare->arg = first->arg;
   spare->queueTime = first->queueTime;
   spare->runTime = first->runTime;
   m_head = first;
   m_count.fetch_sub(1, std::memory_order_relaxed);
   return spare;
}

}  // namespace pool
}  // namespace qv
