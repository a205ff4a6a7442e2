#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include <spawn.h>
#include <stdlib.h>
#include <sys/single_threaded.h>
#include <sys/wait.h>

extern char **environ;

using namespace qvtest;

namespace {

/* tryLock from another thread; a successful one is undone at once. */
bool TryLockElsewhere(Mutex &mutex)
{
   bool taken = false;
   Worker probe([&] {
      taken = mutex.tryLock();
      if (taken)
         mutex.unlock();
   });
   EXPECT_TRUE(probe.join());
   return taken;
}

/* A thread that locks mutex without limit, reports when it got it and unlocks again. */
struct Locker
{
   Flag ready, acquired;
   Worker thread;

   explicit Locker(Mutex &mutex)
       : thread([this, &mutex] {
            ready.set();
            mutex.lock();
            acquired.set();
            mutex.unlock();
         })
   {}

   /* Returns once the thread sleeps in lock(), past the spin phase. */
   bool blocked() { return ready.wait() && WaitUntilBlocked(thread.id()); }
};

/* Counts the threads a condition released; each waiter waits once without limit. */
struct Waiters
{
   std::atomic<int> released{0};
   std::vector<std::unique_ptr<Worker>> threads;

   /* Starts one more waiter on its own copy of condition and returns once it sleeps in
    * the wait, so that the waiters are queued in start order. */
   void add(const Condition &condition)
   {
      auto ready = std::make_shared<Flag>();
      threads.emplace_back(new Worker([this, copy = condition, ready]() mutable {
         ready->set();
         if (copy.wait(INFINITE))
            released++;
      }));
      ASSERT_TRUE(ready->wait());
      ASSERT_TRUE(WaitUntilBlocked(threads.back()->id()));
   }

   bool waitReleased(int count)
   {
      Clock::time_point start = Clock::now();
      while (released.load() < count && Clock::now() - start < GENEROUS)
         std::this_thread::yield();
      return released.load() == count;
   }

   /* After a release, the waiters not released must be asleep again (or still). */
   bool othersAsleep(size_t from)
   {
      for (size_t i = from; i < threads.size(); i++)
         if (!WaitUntilBlocked(threads[i]->id()))
            return false;
      return true;
   }
};

}  // namespace

TEST(Mutex, ContendedCounterIsExact)
{
   constexpr int THREADS = 4;
   constexpr int ROUNDS = 50000;
   Mutex mutex;
   long counter = 0;
   std::vector<std::unique_ptr<Worker>> workers;
   for (int t = 0; t < THREADS; t++)
      workers.emplace_back(new Worker([&] {
         for (int i = 0; i < ROUNDS; i++)
         {
            mutex.lock();
            if (i % 2 == 0)
               mutex.lock();  // re-entry under contention
            counter++;
            if (i % 2 == 0)
               mutex.unlock();
            mutex.unlock();
         }
      }));
   for (auto &worker : workers)
      EXPECT_TRUE(worker->join());
   EXPECT_EQ(counter, static_cast<long>(THREADS) * ROUNDS);
}

TEST(Mutex, ReentryNeedsAsManyUnlocks)
{
   Mutex mutex;
   mutex.lock();
   EXPECT_TRUE(mutex.tryLock());
   EXPECT_FALSE(TryLockElsewhere(mutex));
   mutex.unlock();
   EXPECT_FALSE(TryLockElsewhere(mutex));
   mutex.unlock();
   EXPECT_TRUE(TryLockElsewhere(mutex));
}

TEST(Mutex, BlockedLockerGetsTheLockAfterRelease)
{
   Mutex mutex;
   mutex.lock();
   Locker locker(mutex);
   ASSERT_TRUE(locker.blocked());
   EXPECT_FALSE(locker.acquired.isSet());
   mutex.unlock();
   EXPECT_TRUE(locker.acquired.wait());
}

/* Runs in a fresh copy of this program, where no second thread has existed yet: a lock
 * taken then must still exclude the first thread started after it. */
TEST(Mutex, HeldFromBeforeTheFirstThreadStillExcludes)
{
   static const char ENV_INNER[] = "QV_TEST_FIRST_THREAD";
   if (getenv(ENV_INNER) == nullptr)
   {
      std::string filter =
          "--gtest_filter=" + std::string(::testing::UnitTest::GetInstance()->current_test_suite()->name()) + "." +
          ::testing::UnitTest::GetInstance()->current_test_info()->name();
      char self[] = "/proc/self/exe";
      char *argv[] = {self, &filter[0], nullptr};
      setenv(ENV_INNER, "1", 1);
      pid_t child;
      int rc = posix_spawn(&child, self, nullptr, nullptr, argv, environ);
      unsetenv(ENV_INNER);
      ASSERT_EQ(rc, 0);
      int status = 0;
      ASSERT_EQ(waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFEXITED(status));
      EXPECT_EQ(WEXITSTATUS(status), 0);
      return;
   }

   bool single = __libc_single_threaded != 0;  // false when a sanitizer runs threads of its own
   Mutex mutex;
   mutex.lock();
   mutex.lock();
   Locker locker(mutex);
   ASSERT_TRUE(locker.blocked());
   mutex.unlock();
   EXPECT_FALSE(locker.acquired.isSet());
   mutex.unlock();
   EXPECT_TRUE(locker.acquired.wait());
   EXPECT_TRUE(locker.thread.join());
   if (!single)
      GTEST_SKIP() << "the process had threads before the lock was taken";
}

TEST(Mutex, UnlockByAnotherThreadChangesNothing)
{
   Mutex mutex;
   mutex.lock();
   Worker stray([&] { mutex.unlock(); });
   EXPECT_TRUE(stray.join());
   EXPECT_FALSE(TryLockElsewhere(mutex));
   mutex.unlock();
   EXPECT_TRUE(TryLockElsewhere(mutex));
}

TEST(Mutex, CopiesShareOneLock)
{
   Mutex original;
   Mutex assigned;
   {
      Mutex copy(original);
      copy.lock();
      EXPECT_FALSE(TryLockElsewhere(original));
      copy.unlock();
   }
   // The copy is gone; the original still works.
   EXPECT_TRUE(TryLockElsewhere(original));

   assigned = original;
   Mutex &alias = assigned;
   assigned = alias;
   original.lock();
   EXPECT_FALSE(TryLockElsewhere(assigned));
   original.unlock();
   EXPECT_TRUE(TryLockElsewhere(assigned));
}

TEST(Mutex, CopiesMadeAndDroppedOnManyThreads)
{
   constexpr int THREADS = 4;
   constexpr int ROUNDS = 2000;
   Mutex shared;
   std::vector<std::unique_ptr<Worker>> workers;
   for (int t = 0; t < THREADS; t++)
      workers.emplace_back(new Worker([&] {
         for (int i = 0; i < ROUNDS; i++)
         {
            Mutex copy(shared);
            Mutex other;
            other = copy;
         }
      }));
   for (auto &worker : workers)
      worker->join();
   EXPECT_TRUE(shared.tryLock());
   shared.unlock();
}

TEST(Condition, AutoResetReleasesOneWaiterPerSet)
{
   Condition condition(false);
   Waiters waiters;
   for (int i = 0; i < 3; i++)
      waiters.add(condition);
   for (int i = 1; i <= 3; i++)
   {
      condition.set();
      ASSERT_TRUE(waiters.waitReleased(i));
      EXPECT_TRUE(waiters.othersAsleep(i));
      EXPECT_EQ(waiters.released.load(), i);
   }
   // Every set went to a waiter; none is left over.
   EXPECT_FALSE(condition.wait(0));
}

TEST(Condition, AutoResetBackToBackSetsReachTwoWaiters)
{
   Condition condition(false);
   Waiters waiters;
   waiters.add(condition);
   waiters.add(condition);
   condition.set();
   condition.set();
   EXPECT_TRUE(waiters.waitReleased(2));
   EXPECT_FALSE(condition.wait(0));
}

TEST(Condition, AutoResetKeepsOneSetForTheNextWaiter)
{
   Condition condition(false);
   condition.set();
   condition.set();  // a set on a signalled event adds nothing
   EXPECT_TRUE(condition.wait(0));
   EXPECT_FALSE(condition.wait(0));

   condition.set();
   condition.reset();
   EXPECT_FALSE(condition.wait(0));
}

TEST(Condition, ManualResetReleasesAllAndStaysSet)
{
   Condition condition(true);
   Waiters waiters;
   for (int i = 0; i < 3; i++)
      waiters.add(condition);
   condition.set();
   EXPECT_TRUE(waiters.waitReleased(3));
   EXPECT_TRUE(condition.wait(0));
   EXPECT_TRUE(condition.wait(INFINITE));
   condition.reset();
   EXPECT_FALSE(condition.wait(0));
}

TEST(Condition, PulseReleasesOnlyThreadsWaitingNow)
{
   Condition manual(true);
   manual.pulse();
   EXPECT_FALSE(manual.wait(0));  // nobody waited: nothing kept
   Waiters all;
   all.add(manual);
   all.add(manual);
   manual.pulse();
   EXPECT_TRUE(all.waitReleased(2));
   EXPECT_FALSE(manual.wait(0));

   Condition automatic(false);
   automatic.set();
   automatic.pulse();  // clears the kept set
   EXPECT_FALSE(automatic.wait(0));
   Waiters one;
   one.add(automatic);
   one.add(automatic);
   automatic.pulse();
   ASSERT_TRUE(one.waitReleased(1));
   EXPECT_TRUE(one.othersAsleep(1));
   EXPECT_EQ(one.released.load(), 1);
   EXPECT_FALSE(automatic.wait(0));
   automatic.set();
   EXPECT_TRUE(one.waitReleased(2));
}

TEST(Condition, TimedWaitExpires)
{
   constexpr uint32_t TIMEOUT_MS = 150;
   Condition automatic(false);
   Condition manual(true);

   Clock::time_point start = Clock::now();
   EXPECT_FALSE(automatic.wait(0));
   EXPECT_FALSE(manual.wait(0));
   EXPECT_LT(MsSince(start), GENEROUS.count());

   start = Clock::now();
   EXPECT_FALSE(automatic.wait(TIMEOUT_MS));
   long long elapsed = MsSince(start);
   EXPECT_GE(elapsed, static_cast<long long>(TIMEOUT_MS) - 1);
   EXPECT_LT(elapsed, GENEROUS.count());

   start = Clock::now();
   EXPECT_FALSE(manual.wait(TIMEOUT_MS));
   EXPECT_GE(MsSince(start), static_cast<long long>(TIMEOUT_MS) - 1);
}

TEST(Condition, CopiesSignalTheSameEvent)
{
   Condition original(false);
   Condition &alias = original;
   original = alias;
   original.set();
   EXPECT_TRUE(original.wait(0));

   Condition other(true);
   other = original;  // drops the manual-reset event, shares the automatic one
   original.set();
   EXPECT_TRUE(other.wait(0));
   EXPECT_FALSE(original.wait(0));

   Waiters waiters;
   {
      Condition copy(original);
      waiters.add(copy);
   }
   original.set();
   EXPECT_TRUE(waiters.waitReleased(1));
}
