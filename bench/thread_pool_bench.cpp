/* Thread pool throughput: a million tiny tasks on two workers through ThreadPoolExecute,
 * boost::asio::thread_pool and POCO's ThreadPool (two pooled threads draining a
 * NotificationQueue, the way POCO hands work to its pool: ThreadPool::start needs an idle
 * thread per task), and ThreadPoolExecuteSerialized over 100 keys against plain execution. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>

#include <Poco/AutoPtr.h>
#include <Poco/Notification.h>
#include <Poco/NotificationQueue.h>
#include <Poco/Runnable.h>
#include <Poco/ThreadPool.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

/* Tasks per iteration, workers of every pool, keys of the serialized run. */
constexpr int TASKS = 1000000;
constexpr int WORKERS = 2;
constexpr int KEYS = 100;

/* Counts finished tasks and wakes the benchmark thread after the last one. */
class Completion
{
   std::atomic<int> m_done{0};
   int m_target = 0;
   std::mutex m_mutex;
   std::condition_variable m_cv;
   bool m_finished = false;

public:
   void reset(int target)
   {
      m_done.store(0);
      m_target = target;
      m_finished = false;
   }

   void taskDone()
   {
      if (m_done.fetch_add(1, std::memory_order_acq_rel) + 1 == m_target)
      {
         std::lock_guard<std::mutex> guard(m_mutex);
         m_finished = true;
         m_cv.notify_one();
      }
   }

   void wait()
   {
      std::unique_lock<std::mutex> guard(m_mutex);
      m_cv.wait(guard, [this] { return m_finished; });
   }
};

Completion g_completion;

void TinyTask(void *)
{
   g_completion.taskDone();
}

void BM_QorvelExecute(benchmark::State &state)
{
   ThreadPool *pool = ThreadPoolCreate(L"bench", WORKERS, WORKERS, 0);
   for (auto _ : state)
   {
      g_completion.reset(TASKS);
      for (int i = 0; i < TASKS; i++)
         ThreadPoolExecute(pool, TinyTask, nullptr);
      g_completion.wait();
   }
   ThreadPoolDestroy(pool);
   state.SetItemsProcessed(state.iterations() * TASKS);
}

void BM_QorvelExecuteSerialized(benchmark::State &state)
{
   std::vector<std::wstring> keys;
   for (int k = 0; k < KEYS; k++)
      keys.push_back(L"key-" + std::to_wstring(k));
   ThreadPool *pool = ThreadPoolCreate(L"bench", WORKERS, WORKERS, 0);
   for (auto _ : state)
   {
      g_completion.reset(TASKS);
      for (int i = 0; i < TASKS; i++)
         ThreadPoolExecuteSerialized(pool, keys[i % KEYS].c_str(), TinyTask, nullptr);
      g_completion.wait();
   }
   // Each runner is one ThreadPoolExecute: how often a key's queue drained and started again.
   ThreadPoolInfo info;
   ThreadPoolGetInfo(pool, &info);
   state.counters["runners_per_task"] =
       static_cast<double>(info.totalRequestCount) / static_cast<double>(state.iterations() * TASKS);
   ThreadPoolDestroy(pool);
   state.SetItemsProcessed(state.iterations() * TASKS);
}

void BM_BoostAsioPost(benchmark::State &state)
{
   boost::asio::thread_pool pool(WORKERS);
   for (auto _ : state)
   {
      g_completion.reset(TASKS);
      for (int i = 0; i < TASKS; i++)
         boost::asio::post(pool, [] { g_completion.taskDone(); });
      g_completion.wait();
   }
   pool.join();
   state.SetItemsProcessed(state.iterations() * TASKS);
}

/* One task for the POCO workers; a null function ends a worker. */
class TaskNotification : public Poco::Notification
{
public:
   explicit TaskNotification(void (*function)()) : m_function(function) {}
   void (*m_function)();
};

class PocoWorker : public Poco::Runnable
{
   Poco::NotificationQueue &m_queue;

public:
   explicit PocoWorker(Poco::NotificationQueue &queue) : m_queue(queue) {}

   void run() override
   {
      for (;;)
      {
         Poco::AutoPtr<Poco::Notification> notification(m_queue.waitDequeueNotification());
         TaskNotification *task = dynamic_cast<TaskNotification *>(notification.get());
         if (task == nullptr || task->m_function == nullptr)
            return;
         task->m_function();
      }
   }
};

void PocoTask()
{
   g_completion.taskDone();
}

void BM_PocoThreadPool(benchmark::State &state)
{
   Poco::ThreadPool pool(WORKERS, WORKERS);
   Poco::NotificationQueue queue;
   PocoWorker worker(queue);
   for (int i = 0; i < WORKERS; i++)
      pool.start(worker);
   for (auto _ : state)
   {
      g_completion.reset(TASKS);
      for (int i = 0; i < TASKS; i++)
         queue.enqueueNotification(new TaskNotification(PocoTask));
      g_completion.wait();
   }
   for (int i = 0; i < WORKERS; i++)
      queue.enqueueNotification(new TaskNotification(nullptr));
   pool.joinAll();
   state.SetItemsProcessed(state.iterations() * TASKS);
}

}  // namespace

BENCHMARK(BM_QorvelExecute)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_BoostAsioPost)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PocoThreadPool)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_QorvelExecuteSerialized)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
