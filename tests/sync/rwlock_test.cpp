#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

using namespace qvtest;

namespace {

/* A thread that takes the lock (shared or exclusive) without limit, records in which
 * turn it got it, and holds it until told to release. */
class Holder
{
public:
   Flag acquired;
   Flag release;
   int turn = 0;
   int result = -1;

   Holder(__rwlock_data *rw, bool exclusive, std::atomic<int> &turns, uint32_t timeout = INFINITE)
   {
      m_thread.reset(new Worker([=, &turns] {
         m_requesting.set();
         result = exclusive ? RWLockWriteLock(rw, timeout) : RWLockReadLock(rw, timeout);
         if (result != 1)
            return;
         turn = ++turns;
         acquired.set();
         release.wait();
         RWLockUnlock(rw);
      }));
   }

   ~Holder() { release.set(); }

   /* Returns once the request sleeps in the lock. */
   bool blocked() { return m_requesting.wait() && WaitUntilBlocked(m_thread->id()); }

   bool finish()
   {
      release.set();
      return m_thread->join();
   }

private:
   Flag m_requesting;
   std::unique_ptr<Worker> m_thread;
};

/* True once a writer waits for rw while readers hold it: from then on a new reader (that
 * holds nothing yet) is turned away at once. */
bool WriterWaits(__rwlock_data *rw)
{
   Clock::time_point start = Clock::now();
   while (Clock::now() - start < GENEROUS)
   {
      if (RWLockReadLock(rw, 0) == 0)
         return true;
      RWLockUnlock(rw);
      std::this_thread::yield();
   }
   return false;
}

/* A lock request from another thread; a successful one is undone at once. */
int LockElsewhere(__rwlock_data *rw, bool exclusive, uint32_t timeout)
{
   int result = -1;
   Worker probe([&] {
      result = exclusive ? RWLockWriteLock(rw, timeout) : RWLockReadLock(rw, timeout);
      if (result == 1)
         RWLockUnlock(rw);
   });
   probe.join();
   return result;
}

int ReadLockElsewhere(__rwlock_data *rw, uint32_t timeout)
{
   return LockElsewhere(rw, false, timeout);
}

int WriteLockElsewhere(__rwlock_data *rw, uint32_t timeout)
{
   return LockElsewhere(rw, true, timeout);
}

struct RWLockTest : public ::testing::Test
{
   __rwlock_data *rw = nullptr;
   std::atomic<int> turns{0};

   void SetUp() override
   {
      rw = RWLockCreate();
      ASSERT_NE(rw, nullptr);
   }
   void TearDown() override { RWLockDestroy(rw); }
};

}  // namespace

TEST(RWLockApi, NullRecordIsRefused)
{
   EXPECT_EQ(RWLockReadLock(nullptr, INFINITE), 0);
   EXPECT_EQ(RWLockWriteLock(nullptr, INFINITE), 0);
   RWLockUnlock(nullptr);
   RWLockDestroy(nullptr);
}

TEST_F(RWLockTest, ReadersShareWritersExcludeAndTimeOutsExpire)
{
   constexpr uint32_t TIMEOUT_MS = 150;
   Holder first(rw, false, turns);
   Holder second(rw, false, turns);
   ASSERT_TRUE(first.acquired.wait());
   ASSERT_TRUE(second.acquired.wait());  // both hold it at once
   EXPECT_EQ(WriteLockElsewhere(rw, 0), 0);
   Clock::time_point start = Clock::now();
   EXPECT_EQ(WriteLockElsewhere(rw, TIMEOUT_MS), 0);
   EXPECT_GE(MsSince(start), static_cast<long long>(TIMEOUT_MS) - 1);
   EXPECT_TRUE(first.finish());
   EXPECT_TRUE(second.finish());

   Holder writer(rw, true, turns);
   ASSERT_TRUE(writer.acquired.wait());
   EXPECT_EQ(WriteLockElsewhere(rw, 0), 0);
   start = Clock::now();
   EXPECT_EQ(ReadLockElsewhere(rw, TIMEOUT_MS), 0);
   long long elapsed = MsSince(start);
   EXPECT_GE(elapsed, static_cast<long long>(TIMEOUT_MS) - 1);
   EXPECT_LT(elapsed, GENEROUS.count());
   EXPECT_TRUE(writer.finish());
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 1);
}

TEST_F(RWLockTest, WaitingWriterHoldsBackNewReadersAndGoesFirst)
{
   Holder reader(rw, false, turns);
   ASSERT_TRUE(reader.acquired.wait());
   Holder writer(rw, true, turns);
   ASSERT_TRUE(WriterWaits(rw));
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 0);
   Holder lateReader(rw, false, turns);
   ASSERT_TRUE(lateReader.blocked());

   // The last reader's release hands the lock to the writer, not to the waiting reader.
   EXPECT_TRUE(reader.finish());
   ASSERT_TRUE(writer.acquired.wait());
   EXPECT_EQ(writer.turn, 2);
   EXPECT_FALSE(lateReader.acquired.isSet());

   // With no other writer waiting, readers go on after the writer.
   EXPECT_TRUE(writer.finish());
   ASSERT_TRUE(lateReader.acquired.wait());
   EXPECT_EQ(lateReader.turn, 3);
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 1);
   EXPECT_TRUE(lateReader.finish());
}

TEST_F(RWLockTest, WriterReleaseWakesOneWriterAndNoReader)
{
   Holder first(rw, true, turns);
   ASSERT_TRUE(first.acquired.wait());
   Holder reader(rw, false, turns);
   ASSERT_TRUE(reader.blocked());
   Holder second(rw, true, turns);
   ASSERT_TRUE(second.blocked());
   Holder third(rw, true, turns);
   ASSERT_TRUE(third.blocked());

   EXPECT_TRUE(first.finish());
   // Exactly one of the two writers gets it; the reader stays behind both.
   Holder *next = nullptr;
   Clock::time_point start = Clock::now();
   while (next == nullptr && Clock::now() - start < GENEROUS)
   {
      if (second.acquired.isSet())
         next = &second;
      else if (third.acquired.isSet())
         next = &third;
      else
         std::this_thread::yield();
   }
   ASSERT_NE(next, nullptr);
   Holder *last = (next == &second) ? &third : &second;
   EXPECT_EQ(next->turn, 2);
   EXPECT_TRUE(last->blocked());
   EXPECT_TRUE(reader.blocked());

   EXPECT_TRUE(next->finish());
   ASSERT_TRUE(last->acquired.wait());
   EXPECT_EQ(last->turn, 3);
   EXPECT_FALSE(reader.acquired.isSet());
   EXPECT_TRUE(last->finish());
   ASSERT_TRUE(reader.acquired.wait());
   EXPECT_EQ(reader.turn, 4);
   EXPECT_TRUE(reader.finish());
}

TEST_F(RWLockTest, ReaderMayReenterWhileWriterWaits)
{
   Flag holding, readAgain, done;
   std::atomic<int> again{-1};
   std::atomic<long long> againMs{-1};
   Worker reader([&] {
      ASSERT_EQ(RWLockReadLock(rw, INFINITE), 1);
      holding.set();
      readAgain.wait();
      Clock::time_point start = Clock::now();
      again = RWLockReadLock(rw, GENEROUS.count());
      againMs = MsSince(start);
      done.wait();
      RWLockUnlock(rw);
      RWLockUnlock(rw);
   });
   ASSERT_TRUE(holding.wait());
   Holder writer(rw, true, turns);
   ASSERT_TRUE(WriterWaits(rw));
   readAgain.set();
   // Without re-entry the reader would wait for the writer, which waits for the reader.
   Clock::time_point start = Clock::now();
   while (again == -1 && Clock::now() - start < 2 * GENEROUS)
      std::this_thread::yield();
   EXPECT_EQ(again.load(), 1);
   EXPECT_LT(againMs.load(), GENEROUS.count() / 2);
   EXPECT_FALSE(writer.acquired.isSet());
   done.set();
   EXPECT_TRUE(reader.join());
   EXPECT_TRUE(writer.acquired.wait());
   EXPECT_TRUE(writer.finish());
}

TEST_F(RWLockTest, WriterMayReenterForWritingAndReading)
{
   ASSERT_EQ(RWLockWriteLock(rw, 0), 1);
   EXPECT_EQ(RWLockWriteLock(rw, 0), 1);
   EXPECT_EQ(RWLockReadLock(rw, 0), 1);
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 0);
   RWLockUnlock(rw);
   RWLockUnlock(rw);
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 0);
   RWLockUnlock(rw);
   EXPECT_EQ(ReadLockElsewhere(rw, 0), 1);
   EXPECT_EQ(WriteLockElsewhere(rw, 0), 1);
}

TEST_F(RWLockTest, WriterThatGivesUpLetsHeldBackReadersGo)
{
   constexpr uint32_t WRITER_TIMEOUT_MS = 300;
   Holder reader(rw, false, turns);
   ASSERT_TRUE(reader.acquired.wait());
   Holder writer(rw, true, turns, WRITER_TIMEOUT_MS);
   ASSERT_TRUE(WriterWaits(rw));
   Holder heldBack(rw, false, turns);
   ASSERT_TRUE(heldBack.blocked());
   // The writer's time-out alone lets the held-back reader in; the first reader still
   // holds the lock.
   EXPECT_TRUE(heldBack.acquired.wait());
   EXPECT_TRUE(writer.finish());
   EXPECT_EQ(writer.result, 0);
   EXPECT_TRUE(heldBack.finish());
   EXPECT_TRUE(reader.finish());
}

TEST_F(RWLockTest, DestroyLeavesALockInUse)
{
   ASSERT_EQ(RWLockReadLock(rw, 0), 1);
   RWLockDestroy(rw);  // held: stays
   RWLockUnlock(rw);
   EXPECT_EQ(WriteLockElsewhere(rw, 0), 1);

   // A waiter that was just released but has not taken the lock yet still uses it. The
   // window is short, so the release and destroy are tried many times.
   constexpr int ROUNDS = 200;
   for (int i = 0; i < ROUNDS; i++)
   {
      __rwlock_data *lock = RWLockCreate();
      ASSERT_EQ(RWLockWriteLock(lock, 0), 1);
      Holder reader(lock, false, turns);
      ASSERT_TRUE(reader.blocked());
      RWLockUnlock(lock);
      RWLockDestroy(lock);
      ASSERT_TRUE(reader.acquired.wait());
      EXPECT_TRUE(reader.finish());
      EXPECT_EQ(WriteLockElsewhere(lock, 0), 1);
      RWLockDestroy(lock);
   }
}

TEST_F(RWLockTest, ContendedReadersAndWritersKeepExclusion)
{
   constexpr int READERS = 3;
   constexpr int WRITERS = 2;
   constexpr int ROUNDS = 2000;
   std::atomic<int> readersInside{0};
   std::atomic<int> writersInside{0};
   std::atomic<bool> violated{false};
   long counter = 0;
   std::vector<std::unique_ptr<Worker>> workers;
   for (int w = 0; w < WRITERS; w++)
      workers.emplace_back(new Worker([&] {
         for (int i = 0; i < ROUNDS; i++)
         {
            ASSERT_EQ(RWLockWriteLock(rw, INFINITE), 1);
            if (writersInside.fetch_add(1) != 0 || readersInside.load() != 0)
               violated = true;
            counter++;
            writersInside--;
            RWLockUnlock(rw);
         }
      }));
   for (int r = 0; r < READERS; r++)
      workers.emplace_back(new Worker([&] {
         for (int i = 0; i < ROUNDS; i++)
         {
            ASSERT_EQ(RWLockReadLock(rw, INFINITE), 1);
            readersInside++;
            if (writersInside.load() != 0)
               violated = true;
            volatile long seen = counter;
            (void)seen;
            readersInside--;
            RWLockUnlock(rw);
         }
      }));
   for (auto &worker : workers)
      EXPECT_TRUE(worker->join());
   EXPECT_FALSE(violated.load());
   EXPECT_EQ(counter, static_cast<long>(WRITERS) * ROUNDS);
}

TEST(RWLockClass, CopiesShareOneLock)
{
   RWLock original;
   RWLock copy(original);
   RWLock assigned;
   assigned = copy;
   original.writeLock();
   Flag ready, acquired;
   Worker reader([&] {
      ready.set();
      assigned.readLock(INFINITE);
      acquired.set();
      assigned.unlock();
   });
   ASSERT_TRUE(ready.wait());
   ASSERT_TRUE(WaitUntilBlocked(reader.id()));
   EXPECT_FALSE(acquired.isSet());
   copy.unlock();
   EXPECT_TRUE(acquired.wait());
   EXPECT_TRUE(reader.join());
}
