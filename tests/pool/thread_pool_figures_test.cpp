/* Thread pools in the registry of the library's figures, and the stuck-work watchdog: tasks
 * that block on a flag until the watchdog's report has been seen. */
#include "support/debug_capture.h"
#include "support/metrics_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr wchar_t POOL_TAG[] = L"threads.pool";

/* Threshold of the watchdog in the tests, in milliseconds. */
constexpr uint32_t STUCK_THRESHOLD = 20;

struct Blocker
{
   Flag started;
   Flag release;
};

void Block(void *arg)
{
   Blocker *blocker = static_cast<Blocker *>(arg);
   blocker->started.set();
   blocker->release.wait();
}

/* The same work under another address, to tell the reports apart. */
void BlockElsewhere(void *arg)
{
   Block(arg);
}

void Count(void *arg)
{
   static_cast<std::atomic<int> *>(arg)->fetch_add(1);
}

/* The watchdog's lines about function in the pool called poolName, with the time it had
 * run in *runningMs (of the last one). */
DebugLineWatch::Match StuckLineOf(const std::wstring &poolName, ThreadPoolWorkerFunction function,
                                  long *runningMs = nullptr)
{
   wchar_t address[64];
   qv_snwprintf(address, 64, L"%p", reinterpret_cast<void *>(function));
   std::wstring prefix = L"Thread pool " + poolName + L": task " + address + L" has been running for ";
   return [prefix, runningMs](const std::wstring &line) {
      if (line.compare(0, prefix.size(), prefix) != 0 || line.size() < prefix.size() + 4 ||
          line.compare(line.size() - 3, 3, L" ms") != 0)
         return false;
      if (runningMs != nullptr)
         *runningMs = std::stol(line.substr(prefix.size()));
      return true;
   };
}

class PoolFiguresTest : public ::testing::Test
{
protected:
   DebugLineWatch *m_watch = nullptr;

   void SetUp() override { m_watch = new DebugLineWatch(POOL_TAG); }
   void TearDown() override
   {
      delete m_watch;
      m_watch = nullptr;
   }
};

TEST_F(PoolFiguresTest, WatchdogReportsEachStuckTaskOnceWithItsFunctionAndTime)
{
   ThreadPool *pool = ThreadPoolCreate(L"stuck", 2, 2, 0);
   ASSERT_NE(nullptr, pool);
   ThreadPoolSetStuckTaskThreshold(pool, STUCK_THRESHOLD);
   Blocker first, second;
   ThreadPoolExecute(pool, Block, &first);
   ASSERT_TRUE(first.started.wait());
   long running = 0;
   ASSERT_TRUE(m_watch->waitFor(StuckLineOf(L"stuck", Block, &running)));
   EXPECT_GT(running, static_cast<long>(STUCK_THRESHOLD));

   // A second stuck task is reported after several more passes of the watchdog, while the
   // first is still stuck: the first was reported once.
   ThreadPoolExecute(pool, BlockElsewhere, &second);
   ASSERT_TRUE(m_watch->waitFor(StuckLineOf(L"stuck", BlockElsewhere)));
   EXPECT_EQ(1u, m_watch->count(StuckLineOf(L"stuck", Block)));
   EXPECT_EQ(2, LibraryFigure("thread_pool", "stuck", "stuck_tasks"));

   first.release.set();
   second.release.set();
   ThreadPoolDestroy(pool);
   EXPECT_EQ(1u, m_watch->count(StuckLineOf(L"stuck", Block)));
}

TEST_F(PoolFiguresTest, WatchdogNamesTheSerializedRequestNotItsRunner)
{
   ThreadPool *pool = ThreadPoolCreate(L"serial", 1, 1, 0);
   ASSERT_NE(nullptr, pool);
   Blocker blocker;
   ThreadPoolExecuteSerialized(pool, L"key", BlockElsewhere, &blocker);
   ASSERT_TRUE(blocker.started.wait());
   // Turned on while the task already runs: the next pass sees it.
   ThreadPoolSetStuckTaskThreshold(pool, STUCK_THRESHOLD);
   ASSERT_TRUE(m_watch->waitFor(StuckLineOf(L"serial", BlockElsewhere)));
   blocker.release.set();
   ThreadPoolDestroy(pool);
}

TEST_F(PoolFiguresTest, FiguresFollowTheWorkDone)
{
   ThreadPool *pool = ThreadPoolCreate(L"figures", 1, 1, 0);
   ASSERT_NE(nullptr, pool);
   EXPECT_EQ(1, LibraryFigure("thread_pool", "figures", "workers"));
   EXPECT_EQ(1, LibraryFigure("thread_pool", "figures", "min_workers"));
   EXPECT_EQ(1, LibraryFigure("thread_pool", "figures", "max_workers"));

   // With the one worker held, what comes after waits in the work queue.
   Blocker blocker;
   ThreadPoolExecute(pool, Block, &blocker);
   ASSERT_TRUE(blocker.started.wait());
   std::atomic<int> runs{0};
   for (int i = 0; i < 3; i++)
      ThreadPoolExecute(pool, Count, &runs);
   ThreadPoolScheduleRelative(pool, 3600000, Count, &runs);
   EXPECT_EQ(3, LibraryFigure("thread_pool", "figures", "queued"));
   EXPECT_EQ(4, LibraryFigure("thread_pool", "figures", "active"));
   EXPECT_EQ(1, LibraryFigure("thread_pool", "figures", "scheduled"));
   EXPECT_EQ(4, LibraryFigure("thread_pool", "figures", "requests"));
   EXPECT_EQ(0, LibraryFigure("thread_pool", "figures", "stuck_tasks"));
   blocker.release.set();

   ThreadPoolInfo info;
   Clock::time_point start = Clock::now();
   do
      ThreadPoolGetInfo(pool, &info);
   while (info.activeRequestCount != 0 && Clock::now() - start < GENEROUS);
   EXPECT_EQ(3, runs.load());
   EXPECT_EQ(0, LibraryFigure("thread_pool", "figures", "queued"));
   EXPECT_EQ(0, LibraryFigure("thread_pool", "figures", "active"));
   EXPECT_GE(LibraryFigure("thread_pool", "figures", "longest_wait_ms"),
             LibraryFigure("thread_pool", "figures", "average_wait_ms"));

   ThreadPoolDestroy(pool);
   EXPECT_EQ(-1, LibraryFigure("thread_pool", "figures", "workers"));
}

/* Pools come and go while other threads read the registry: every read is whole and
 * consistent, and no read touches a destroyed pool (the sanitizer builds watch that). */
TEST_F(PoolFiguresTest, ReadsRaceWithPoolsComingAndGoing)
{
   constexpr int POOLS = 40;
   std::atomic<bool> done{false};
   std::atomic<int> reads{0};
   auto reader = [&] {
      while (!done.load())
      {
         json_t *root = GetLibraryMetricsAsJson();
         ASSERT_NE(nullptr, root);
         json_t *pools = json_object_get(root, "thread_pool");
         for (size_t i = 0; i < json_array_size(pools); i++)
            EXPECT_TRUE(json_is_integer(json_object_get(json_array_get(pools, i), "stuck_tasks")));
         json_decref(root);
         Table *table = GetLibraryMetrics();
         ASSERT_NE(nullptr, table);
         table->decRefCount();
         reads.fetch_add(1);
      }
   };
   Worker readerOne(reader), readerTwo(reader);
   std::atomic<int> runs{0};
   for (int i = 0; i < POOLS; i++)
   {
      std::wstring name = L"churn" + std::to_wstring(i);
      ThreadPool *pool = ThreadPoolCreate(name.c_str(), 1, 2, 0);
      ASSERT_NE(nullptr, pool);
      ThreadPoolSetStuckTaskThreshold(pool, STUCK_THRESHOLD);
      ThreadPoolExecute(pool, Count, &runs);
      // Let the readers see some of the pools.
      int seen = reads.load();
      while (i % 8 == 0 && reads.load() < seen + 2)
         std::this_thread::yield();
      ThreadPoolDestroy(pool);
   }
   done.store(true);
   readerOne.join();
   readerTwo.join();
   EXPECT_EQ(POOLS, runs.load());
   EXPECT_EQ(-1, LibraryFigure("thread_pool", "churn0", "workers"));
}

}  // namespace
