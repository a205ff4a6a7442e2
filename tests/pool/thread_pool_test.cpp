/* Thread pools: many producers, serialized keys, scheduled requests, growth and shrinking,
 * pools without minimum workers, destruction, creation limits and the registry. Pools run
 * with their periods divided by 100 (a 50 ms tick) and a resize decision every tick. */
#include "support/debug_capture.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string.h>
#include <unistd.h>
#include <vector>

using namespace qvtest;

namespace {

constexpr wchar_t POOL_TAG[] = L"threads.pool";

/* Divisor of the pools' periods, and the watermarks in milliseconds, used by the tests. */
constexpr int32_t TEST_TIME_SCALE = 100;
constexpr uint32_t TEST_HIGH_WATERMARK = 20;
constexpr uint32_t TEST_LOW_WATERMARK = 10;

/* The pool's debug lines, kept while a test runs so that it can wait for them. */
DebugLineWatch *g_watch = nullptr;

/* True once the pool has written text as a whole line. */
bool WaitForLine(const std::wstring &text)
{
   return g_watch->waitFor(DebugLineWatch::Is(text));
}

bool HasLine(const std::wstring &text)
{
   return g_watch->count(DebugLineWatch::Is(text)) > 0;
}

/* Lines of sweeps of the pool called poolName that removed idle key queues. */
DebugLineWatch::Match SweepOf(const std::wstring &poolName)
{
   return DebugLineWatch::EndsWith(L" idle serialization queues removed from thread pool " + poolName);
}

size_t CountSweeps(const std::wstring &poolName)
{
   return g_watch->count(SweepOf(poolName));
}

/* True once the maintenance thread of poolName has removed idle key queues more than
 * seenBefore times. */
bool WaitForSweep(const std::wstring &poolName, size_t seenBefore)
{
   return g_watch->waitFor(SweepOf(poolName), seenBefore);
}

/* Polls the pool's statistics (yielding) until done(info) holds; false after GENEROUS. */
template <typename Predicate> bool WaitForInfo(ThreadPool *pool, Predicate done, ThreadPoolInfo *info)
{
   Clock::time_point start = Clock::now();
   do
   {
      ThreadPoolGetInfo(pool, info);
      if (done(*info))
         return true;
      std::this_thread::yield();
   } while (Clock::now() - start < GENEROUS);
   return false;
}

/* Counts runs per item and sets done after the expected total. */
struct Tally
{
   explicit Tally(int items, int runsExpected = 0)
       : runs(static_cast<size_t>(items)), expected((runsExpected > 0) ? runsExpected : items)
   {}
   std::vector<std::atomic<int>> runs;
   std::atomic<int> total{0};
   int expected;
   Flag done;

   void addRun()
   {
      if (total.fetch_add(1) + 1 == expected)
         done.set();
   }
};

struct Item
{
   Tally *tally;
   int index;
};

void CountRun(void *arg)
{
   Item *item = static_cast<Item *>(arg);
   item->tally->runs[static_cast<size_t>(item->index)].fetch_add(1);
   item->tally->addRun();
}

std::vector<Item> ItemsOf(Tally *tally)
{
   std::vector<Item> items;
   for (int i = 0; i < tally->expected; i++)
      items.push_back(Item{tally, i});
   return items;
}

void SetFlag(void *arg)
{
   static_cast<Flag *>(arg)->set();
}

/* A request that holds its worker: says it started, then waits for release. */
struct Blocker
{
   Flag started;
   Flag release;
   std::atomic<uint32_t> tid{0};
};

void Block(void *arg)
{
   Blocker *blocker = static_cast<Blocker *>(arg);
   blocker->tid.store(static_cast<uint32_t>(gettid()));
   blocker->started.set();
   blocker->release.wait();
}

class PoolTest : public ::testing::Test
{
protected:
   void SetUp() override
   {
      g_watch = new DebugLineWatch(POOL_TAG);
      ThreadPoolSetTimeScale(TEST_TIME_SCALE);
      ThreadPoolSetResizeParameters(1, TEST_HIGH_WATERMARK, TEST_LOW_WATERMARK);
   }

   void TearDown() override
   {
      ThreadPoolSetTimeScale(1);
      ThreadPoolSetResizeParameters(THREAD_POOL_DEFAULT_RESPONSIVENESS, THREAD_POOL_DEFAULT_WAIT_HIGH_WATERMARK,
                                    THREAD_POOL_DEFAULT_WAIT_LOW_WATERMARK);
      delete g_watch;
      g_watch = nullptr;
   }
};

TEST_F(PoolTest, ProducersLoseNoRequestAndRunNoneTwice)
{
   constexpr int PRODUCERS = 4;
   constexpr int PER_PRODUCER = 5000;
   ThreadPool *pool = ThreadPoolCreate(L"producers", 2, 4, 0);
   ASSERT_NE(pool, nullptr);
   Tally tally(PRODUCERS * PER_PRODUCER);
   std::vector<Item> items = ItemsOf(&tally);
   {
      std::vector<std::unique_ptr<Worker>> producers;
      for (int p = 0; p < PRODUCERS; p++)
         producers.emplace_back(new Worker([&, p] {
            for (int i = 0; i < PER_PRODUCER; i++)
            {
               Item *item = &items[static_cast<size_t>(p * PER_PRODUCER + i)];
               // A relative delay of 0 is plain execution.
               if (p == 0)
                  ThreadPoolScheduleRelative(pool, 0, CountRun, item);
               else
                  ThreadPoolExecute(pool, CountRun, item);
            }
         }));
   }
   ASSERT_TRUE(tally.done.wait());
   ThreadPoolInfo info;
   EXPECT_TRUE(WaitForInfo(
       pool, [](const ThreadPoolInfo &i) { return i.activeRequestCount == 0; }, &info));
   EXPECT_EQ(info.totalRequestCount, static_cast<uint64_t>(PRODUCERS * PER_PRODUCER));
   EXPECT_EQ(info.scheduledRequestCount, 0);
   ThreadPoolDestroy(pool);
   int wrong = 0;
   for (const std::atomic<int> &runs : tally.runs)
      wrong += (runs.load() != 1) ? 1 : 0;
   EXPECT_EQ(wrong, 0) << "requests not run exactly once";
}

/* Two requests that can only finish together: each waits until both have started. */
struct Pair
{
   std::atomic<int> started{0};
   Flag both;
   std::atomic<int> finished{0};
   Flag done;
};

void RunPaired(void *arg)
{
   Pair *pair = static_cast<Pair *>(arg);
   if (pair->started.fetch_add(1) + 1 == 2)
      pair->both.set();
   if (pair->both.wait() && pair->finished.fetch_add(1) + 1 == 2)
      pair->done.set();
}

TEST_F(PoolTest, IdleWorkersJoinInForABurst)
{
   constexpr int ROUNDS = 50;
   ThreadPool *pool = ThreadPoolCreate(L"burst", 2, 2, 0);
   ASSERT_NE(pool, nullptr);
   // Right after a request, two that need both workers at once: the second one must be
   // woken, or find the request while it still looks for work.
   for (int round = 0; round < ROUNDS; round++)
   {
      Flag warmUp;
      Pair pair;
      ThreadPoolExecute(pool, SetFlag, &warmUp);
      ASSERT_TRUE(warmUp.wait());
      ThreadPoolExecute(pool, RunPaired, &pair);
      ThreadPoolExecute(pool, RunPaired, &pair);
      ASSERT_TRUE(pair.done.wait()) << "round " << round << ": only one worker ran";
   }
   ThreadPoolDestroy(pool);
}

/* A serialized request: notes overlapping runs of its key and its place in the order. */
struct KeyLog
{
   std::atomic<int> inFlight{0};
   std::atomic<int> overlaps{0};
   std::mutex mutex;
   std::vector<int> order[2];  // sequence numbers per producer
};

struct SerialItem
{
   KeyLog *log;
   int producer;
   int sequence;
   Tally *tally;
};

void RunSerial(void *arg)
{
   SerialItem *item = static_cast<SerialItem *>(arg);
   if (item->log->inFlight.fetch_add(1) != 0)
      item->log->overlaps.fetch_add(1);
   {
      std::lock_guard<std::mutex> guard(item->log->mutex);
      item->log->order[item->producer].push_back(item->sequence);
   }
   std::this_thread::yield();  // room for an overlap, were there one
   item->log->inFlight.fetch_sub(1);
   item->tally->addRun();
}

/* Two producers submit to eight keys; every pauseEvery submits (0: never) a producer
 * waits until the maintenance thread has swept away the queues of keys that ran dry, so
 * that keys come back after a sweep while the other producer goes on. Every key's requests
 * run one at a time and in each producer's order. */
void CheckSerialOrder(int pauseEvery)
{
   constexpr int PRODUCERS = 2;
   constexpr int KEYS = 8;
   constexpr int PER_KEY = 300;
   ThreadPool *pool = ThreadPoolCreate(L"serial", 4, 4, 0);
   ASSERT_NE(pool, nullptr);
   Tally tally(0, PRODUCERS * KEYS * PER_KEY);
   std::vector<KeyLog> logs(KEYS);
   std::vector<SerialItem> items;
   for (int p = 0; p < PRODUCERS; p++)
      for (int s = 0; s < PER_KEY; s++)
         for (int k = 0; k < KEYS; k++)
            items.push_back(SerialItem{&logs[static_cast<size_t>(k)], p, s, &tally});
   {
      std::vector<std::unique_ptr<Worker>> producers;
      for (int p = 0; p < PRODUCERS; p++)
         producers.emplace_back(new Worker([&, p] {
            for (int i = 0; i < KEYS * PER_KEY; i++)
            {
               SerialItem *item = &items[static_cast<size_t>(p * KEYS * PER_KEY + i)];
               std::wstring key = L"key" + std::to_wstring(i % KEYS);
               ThreadPoolExecuteSerialized(pool, key.c_str(), RunSerial, item);
               if (pauseEvery > 0 && i % pauseEvery == pauseEvery - 1)
               {
                  ASSERT_TRUE(WaitForSweep(L"serial", CountSweeps(L"serial")));
               }
            }
         }));
   }
   ASSERT_TRUE(tally.done.wait());
   ThreadPoolDestroy(pool);
   for (KeyLog &log : logs)
   {
      EXPECT_EQ(log.overlaps.load(), 0);
      for (const std::vector<int> &order : log.order)
      {
         ASSERT_EQ(order.size(), static_cast<size_t>(PER_KEY));
         for (int s = 0; s < PER_KEY; s++)
            ASSERT_EQ(order[static_cast<size_t>(s)], s);
      }
   }
}

TEST_F(PoolTest, SerializedRequestsRunOneAtATimeInOrderPerKey)
{
   CheckSerialOrder(0);
}

TEST_F(PoolTest, SerializedOrderHoldsWhileIdleKeyQueuesAreSweptAndComeBack)
{
   // Sweeps fall both into idle spells and into busy ones.
   CheckSerialOrder(400);
   EXPECT_GE(CountSweeps(L"serial"), 1u);
}

TEST_F(PoolTest, SerializedCountIncludesTheRequestWaitingForItsRunner)
{
   ThreadPool *pool = ThreadPoolCreate(L"count", 1, 1, 0);
   ASSERT_NE(pool, nullptr);
   Blocker blocker;
   ThreadPoolExecute(pool, Block, &blocker);
   ASSERT_TRUE(blocker.started.wait());
   Tally tally(2);
   std::vector<Item> items = ItemsOf(&tally);
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &items[0]);
   EXPECT_EQ(ThreadPoolGetSerializedRequestCount(pool, L"key"), 1);
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &items[1]);
   EXPECT_EQ(ThreadPoolGetSerializedRequestCount(pool, L"key"), 2);
   blocker.release.set();
   ASSERT_TRUE(tally.done.wait());
   EXPECT_EQ(ThreadPoolGetSerializedRequestCount(pool, L"key"), 0);
   // A key that ran dry takes new work at once, before and after its queue is swept.
   Tally again(2);
   std::vector<Item> more = ItemsOf(&again);
   size_t sweeps = CountSweeps(L"count");
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &more[0]);
   ASSERT_TRUE(WaitForSweep(L"count", sweeps));
   EXPECT_EQ(again.runs[0].load(), 1);
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &more[1]);
   EXPECT_TRUE(again.done.wait());
   ThreadPoolDestroy(pool);
}

struct WaitProbe
{
   ThreadPool *pool = nullptr;
   std::atomic<uint32_t> longestWait{0};
   Flag done;
};

void ReadLongestWait(void *arg)
{
   WaitProbe *probe = static_cast<WaitProbe *>(arg);
   probe->longestWait.store(ThreadPoolGetSerializedRequestMaxWaitTime(probe->pool, L"key"));
   probe->done.set();
}

TEST_F(PoolTest, KeysThatDifferInCaseHaveQueuesOfTheirOwn)
{
   constexpr long long HELD_MS = 60;
   // Coarse clock steps of a few milliseconds may shorten a measured wait.
   constexpr uint32_t CLOCK_SLACK_MS = 20;
   ThreadPool *pool = ThreadPoolCreate(L"cases", 2, 2, 0);
   ASSERT_NE(pool, nullptr);
   Blocker blocker;
   ThreadPoolExecuteSerialized(pool, L"key", Block, &blocker);
   ASSERT_TRUE(blocker.started.wait());

   Flag otherCase;
   ThreadPoolExecuteSerialized(pool, L"KEY", SetFlag, &otherCase);
   EXPECT_TRUE(otherCase.wait()) << "\"KEY\" waited behind \"key\"";

   Tally tally(2);
   std::vector<Item> items = ItemsOf(&tally);
   WaitProbe probe;
   probe.pool = pool;
   Clock::time_point queued = Clock::now();
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &items[0]);
   ThreadPoolExecuteSerialized(pool, L"key", CountRun, &items[1]);
   ThreadPoolExecuteSerialized(pool, L"key", ReadLongestWait, &probe);
   EXPECT_EQ(ThreadPoolGetSerializedRequestCount(pool, L"key"), 3);
   EXPECT_EQ(ThreadPoolGetSerializedRequestCount(pool, L"Key"), 0);
   EXPECT_EQ(ThreadPoolGetSerializedRequestMaxWaitTime(pool, L"Key"), 0u);

   // Let the queued requests wait a known time before the key's first request ends.
   blocker.release.wait(std::chrono::milliseconds(HELD_MS));
   long long held = MsSince(queued);
   blocker.release.set();
   ASSERT_TRUE(probe.done.wait());
   EXPECT_TRUE(tally.done.isSet());
   EXPECT_GE(probe.longestWait.load() + CLOCK_SLACK_MS, static_cast<uint32_t>(held));

   ThreadPoolInfo info;
   EXPECT_TRUE(WaitForInfo(
       pool, [](const ThreadPoolInfo &i) { return i.activeRequestCount == 0; }, &info));
   // The queue went with its last request.
   EXPECT_EQ(ThreadPoolGetSerializedRequestMaxWaitTime(pool, L"key"), 0u);
   ThreadPoolDestroy(pool);
}

/* A scheduled request: its earliest allowed run time on the wall clock and on the
 * monotonic clock, what it saw when it ran, and its place among the runs. */
struct Timed
{
   int64_t dueWallMs;
   Clock::time_point dueSteady;
   std::atomic<int64_t> ranWallMs{0};
   std::atomic<bool> ranEarlySteady{false};
   std::atomic<int> position{-1};
   std::atomic<int> *runs;
   Tally *tally;
};

void RunTimed(void *arg)
{
   Timed *timed = static_cast<Timed *>(arg);
   timed->ranEarlySteady.store(Clock::now() < timed->dueSteady);
   timed->ranWallMs.store(GetCurrentTimeMs());
   timed->position.store(timed->runs->fetch_add(1));
   timed->tally->addRun();
}

TEST_F(PoolTest, ScheduledRequestsRunWhenDueAndNeverEarly)
{
   constexpr uint32_t DELAY_MS = 300;
   constexpr int64_t ABSOLUTE_MS = 200;
   constexpr int64_t SAME_TIME_MS = 400;
   constexpr int SAME_TIME = 5;
   // One worker, so that requests due together run one after another.
   ThreadPool *pool = ThreadPoolCreate(L"timer", 1, 1, 0);
   ASSERT_NE(pool, nullptr);
   std::atomic<int> runs{0};
   Tally tally(3 + SAME_TIME);
   std::vector<Timed> timed(static_cast<size_t>(3 + SAME_TIME));
   int64_t now = GetCurrentTimeMs();
   Clock::time_point steadyNow = Clock::now();
   for (Timed &t : timed)
   {
      t.dueWallMs = INT64_MIN;
      t.dueSteady = steadyNow;
      t.runs = &runs;
      t.tally = &tally;
   }
   timed[0].dueSteady = steadyNow + std::chrono::milliseconds(DELAY_MS);
   ThreadPoolScheduleRelative(pool, DELAY_MS, RunTimed, &timed[0]);
   timed[1].dueWallMs = now + ABSOLUTE_MS;
   ThreadPoolScheduleAbsoluteMs(pool, timed[1].dueWallMs, RunTimed, &timed[1]);
   for (int i = 0; i < SAME_TIME; i++)
   {
      timed[static_cast<size_t>(3 + i)].dueWallMs = now + SAME_TIME_MS;
      ThreadPoolScheduleAbsoluteMs(pool, now + SAME_TIME_MS, RunTimed, &timed[static_cast<size_t>(3 + i)]);
   }
   ThreadPoolInfo info;
   ThreadPoolGetInfo(pool, &info);
   EXPECT_EQ(info.scheduledRequestCount, 2 + SAME_TIME);
   // A time in the past (in seconds) runs at once, before everything else.
   ThreadPoolScheduleAbsolute(pool, now / 1000 - 1, RunTimed, &timed[2]);

   ASSERT_TRUE(tally.done.wait());
   EXPECT_EQ(timed[2].position.load(), 0);
   for (const Timed &t : timed)
   {
      EXPECT_FALSE(t.ranEarlySteady.load());
      EXPECT_GE(t.ranWallMs.load(), t.dueWallMs);
   }
   for (int i = 0; i < SAME_TIME; i++)
      EXPECT_EQ(timed[static_cast<size_t>(3 + i)].position.load(), 3 + i) << "same-time request " << i;
   ThreadPoolGetInfo(pool, &info);
   EXPECT_EQ(info.scheduledRequestCount, 0);
   EXPECT_EQ(info.totalRequestCount, 0u);  // scheduling is not ThreadPoolExecute
   ThreadPoolDestroy(pool);
}

/* Holds its worker for a while, so that the requests behind it wait. */
void HoldWorker(void *arg)
{
   constexpr std::chrono::milliseconds HOLD{200};
   static_cast<Flag *>(arg)->wait(HOLD);
}

TEST_F(PoolTest, GrowsWhenRequestsWaitAndShrinksBackOnceIdle)
{
   constexpr int QUEUED = 40;
   ThreadPool *pool = ThreadPoolCreate(L"elastic", 1, 4, 0);
   ASSERT_NE(pool, nullptr);
   Flag never;
   ThreadPoolExecute(pool, HoldWorker, &never);
   Tally tally(QUEUED);
   std::vector<Item> items = ItemsOf(&tally);
   for (Item &item : items)
      ThreadPoolExecute(pool, CountRun, &item);
   ASSERT_TRUE(tally.done.wait());

   ThreadPoolInfo info;
   ASSERT_TRUE(WaitForInfo(
       pool, [](const ThreadPoolInfo &i) { return i.threadStartCount > 0; }, &info));
   EXPECT_TRUE(WaitForLine(L"Worker idle timeout increased to 200 milliseconds for thread pool elastic"));
   EXPECT_LE(info.currentThreads, 4);

   // Idle: the wait average fades, and the added workers end, down to the minimum.
   ASSERT_TRUE(WaitForInfo(
       pool,
       [](const ThreadPoolInfo &i) {
          return i.currentThreads == 1 && i.threadStopCount == i.threadStartCount &&
                 i.averageWaitTimeMs < TEST_LOW_WATERMARK;
       },
       &info))
       << "workers " << info.currentThreads << ", started " << info.threadStartCount << ", stopped "
       << info.threadStopCount << ", wait " << info.averageWaitTimeMs;
   EXPECT_TRUE(WaitForLine(L"Stopping worker thread in thread pool elastic due to inactivity"));
   ThreadPoolDestroy(pool);
}

TEST_F(PoolTest, PoolWithoutMinimumStartsWorkersForWorkAndStaysEmptyWhenIdle)
{
   constexpr uint32_t LATER_MS = 500;
   ThreadPool *pool = ThreadPoolCreate(L"ondemand", 0, 2, 0);
   ASSERT_NE(pool, nullptr);
   ThreadPoolInfo info;
   ThreadPoolGetInfo(pool, &info);
   EXPECT_EQ(info.currentThreads, 0);
   EXPECT_EQ(info.loadPercent, 0);

   Flag ran;
   ThreadPoolExecute(pool, SetFlag, &ran);
   ASSERT_TRUE(ran.wait());
   ASSERT_TRUE(WaitForInfo(
       pool, [](const ThreadPoolInfo &i) { return i.currentThreads == 0 && i.threadStopCount == 1; }, &info));
   // The ended worker left nothing behind that would call for a new one.
   EXPECT_EQ(info.activeRequestCount, 0);
   EXPECT_EQ(info.threadStartCount, 1u);

   // Many resize decisions later, work arrives again: exactly one more start.
   Flag ranLater;
   ThreadPoolScheduleRelative(pool, LATER_MS, SetFlag, &ranLater);
   ASSERT_TRUE(ranLater.wait());
   ThreadPoolGetInfo(pool, &info);
   EXPECT_EQ(info.threadStartCount, 2u);
   EXPECT_EQ(info.threadStopCount, 1u);
   ThreadPoolDestroy(pool);
}

/* Runs on the pool's only worker while the pool is destroyed: once the stop request is
 * queued it submits more work, which the pool must drop (and free). */
struct LateWork
{
   ThreadPool *pool;
   Flag started;
   Item *items;
};

void SubmitLate(void *arg)
{
   LateWork *late = static_cast<LateWork *>(arg);
   late->started.set();
   if (!WaitForLine(L"Waiting for 1 worker threads of thread pool closing to stop"))
      return;
   ThreadPoolExecute(late->pool, CountRun, &late->items[0]);
   ThreadPoolExecuteSerialized(late->pool, L"late", CountRun, &late->items[1]);
   ThreadPoolExecuteSerialized(late->pool, L"late", CountRun, &late->items[2]);
}

TEST_F(PoolTest, DestroyRunsQueuedWorkAndDropsScheduledAndLateWork)
{
   constexpr int QUEUED = 20;
   ThreadPool *pool = ThreadPoolCreate(L"closing", 1, 1, 0);
   ASSERT_NE(pool, nullptr);
   Tally late(3);
   std::vector<Item> lateItems = ItemsOf(&late);
   LateWork lateWork{pool, {}, lateItems.data()};
   ThreadPoolExecute(pool, SubmitLate, &lateWork);
   ASSERT_TRUE(lateWork.started.wait());

   Tally queued(QUEUED);
   std::vector<Item> queuedItems = ItemsOf(&queued);
   for (Item &item : queuedItems)
      ThreadPoolExecute(pool, CountRun, &item);
   Tally scheduled(2);
   std::vector<Item> scheduledItems = ItemsOf(&scheduled);
   ThreadPoolScheduleRelative(pool, 3600000, CountRun, &scheduledItems[0]);
   ThreadPoolScheduleAbsolute(pool, GetCurrentTimeMs() / 1000 + 3600, CountRun, &scheduledItems[1]);

   ThreadPoolDestroy(pool);
   EXPECT_EQ(queued.total.load(), QUEUED);
   EXPECT_EQ(scheduled.total.load(), 0);
   EXPECT_EQ(late.total.load(), 0);
   EXPECT_TRUE(HasLine(L"Thread pool closing dropped 3 requests submitted while it was stopping"));
   EXPECT_TRUE(HasLine(L"Thread pool closing destroyed"));
   ThreadPoolInfo info;
   EXPECT_FALSE(ThreadPoolGetInfo(L"closing", &info));
}

TEST_F(PoolTest, CreateRefusesLimitsItCannotServe)
{
   const struct
   {
      int32_t minimum, maximum;
   } cases[] = {{0, 0}, {1, 0}, {-1, 2}, {3, 2}};
   for (const auto &c : cases)
   {
      EXPECT_EQ(ThreadPoolCreate(L"refused", c.minimum, c.maximum, 0), nullptr) << c.minimum << ".." << c.maximum;
      ThreadPoolInfo info;
      EXPECT_FALSE(ThreadPoolGetInfo(L"refused", &info));
   }
}

TEST_F(PoolTest, RegistryDescribesPoolsByNameWithoutRegardToCase)
{
   ThreadPool *named = ThreadPoolCreate(L"AlphaBetaGamma", 1, 4, 0);
   ThreadPool *unnamed = ThreadPoolCreate(nullptr, 0, 2, 0);
   ASSERT_NE(named, nullptr);
   ASSERT_NE(unnamed, nullptr);
   std::unique_ptr<StringList> names(ThreadPoolGetAllPools());
   ASSERT_NE(names, nullptr);
   EXPECT_TRUE(names->contains(L"AlphaBetaGamma"));
   EXPECT_TRUE(names->contains(L"NONAME"));

   // One worker busy and two requests behind it.
   Blocker blocker;
   ThreadPoolExecute(named, Block, &blocker);
   ASSERT_TRUE(blocker.started.wait());
   Flag first, second;
   ThreadPoolExecute(named, SetFlag, &first);
   ThreadPoolExecute(named, SetFlag, &second);
   EXPECT_EQ(ThreadNameOf(blocker.tid.load()), "$AlphaBetaG/WRK");

   ThreadPoolInfo info;
   ASSERT_TRUE(ThreadPoolGetInfo(L"ALPHABETAGAMMA", &info));
   EXPECT_STREQ(info.poolName, L"AlphaBetaGamma");
   EXPECT_EQ(info.minimumThreads, 1);
   EXPECT_EQ(info.maximumThreads, 4);
   EXPECT_EQ(info.currentThreads, 1);
   EXPECT_EQ(info.threadUsagePercent, 25);
   EXPECT_EQ(info.activeRequestCount, 3);
   EXPECT_EQ(info.loadPercent, 300);
   EXPECT_EQ(info.totalRequestCount, 3u);
   blocker.release.set();
   EXPECT_TRUE(second.wait());

   ThreadPoolInfo untouched;
   memset(&untouched, 0x5A, sizeof(untouched));
   memcpy(&info, &untouched, sizeof(info));
   EXPECT_FALSE(ThreadPoolGetInfo(L"Gamma", &info));
   EXPECT_EQ(memcmp(&info, &untouched, sizeof(info)), 0);

   // A later pool of a name that differs only in case hides the earlier one, and the
   // earlier one going away leaves it registered.
   ThreadPool *twin = ThreadPoolCreate(L"ALPHABETAGAMMA", 0, 5, 0);
   ASSERT_NE(twin, nullptr);
   ThreadPoolDestroy(named);
   ASSERT_TRUE(ThreadPoolGetInfo(L"alphabetagamma", &info));
   EXPECT_EQ(info.maximumThreads, 5);
   ThreadPoolDestroy(twin);
   EXPECT_FALSE(ThreadPoolGetInfo(L"alphabetagamma", &info));
   names.reset(ThreadPoolGetAllPools());
   EXPECT_FALSE(names->contains(L"AlphaBetaGamma"));
   EXPECT_TRUE(names->contains(L"NONAME"));
   ThreadPoolDestroy(unnamed);
}

}  // namespace
