#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <vector>

#include "support/thread_test_util.h"

using qvtest::Clock;
using qvtest::Flag;
using qvtest::GENEROUS;
using qvtest::MsSince;
using qvtest::Worker;

namespace {

/* Elements are small numbers turned into pointers; 0 would be a hole. */
void *E(uintptr_t n)
{
   return reinterpret_cast<void *>(n);
}

uintptr_t N(void *element)
{
   return reinterpret_cast<uintptr_t>(element);
}

std::vector<uintptr_t> Drain(Queue &queue)
{
   std::vector<uintptr_t> out;
   for (void *element = queue.get(); element != nullptr; element = queue.get())
      out.push_back(N(element));
   return out;
}

using Ns = std::vector<uintptr_t>;

bool SameNumber(const void *key, const void *element)
{
   return key == element;
}

/* Generous limit in milliseconds for a getOrBlock that must be released by an event. */
const unsigned int LONG_WAIT = static_cast<unsigned int>(GENEROUS.count());

}  // namespace

TEST(Queue, FirstInFirstOutWithInsertAtTheHead)
{
   Queue queue;
   EXPECT_EQ(queue.get(), nullptr);
   EXPECT_EQ(queue.allocated(), 256);
   queue.put(E(1));
   queue.put(E(2));
   queue.put(E(3));
   EXPECT_EQ(N(queue.get()), 1u);
   queue.insert(E(4));
   EXPECT_EQ(Drain(queue), (Ns{4, 2, 3}));
   EXPECT_EQ(queue.size(), 0);
}

TEST(Queue, GrowsByTheIncrementAndShrinksToTheInitialSize)
{
   // Each case starts the ring at a different slot, so that growth and shrinking meet
   // wrapped and unwrapped rings.
   for (unsigned offset = 0; offset < 4; offset++)
   {
      SCOPED_TRACE(offset);
      Queue queue(4, 4);
      for (unsigned i = 0; i < offset; i++)
         queue.put(E(100));
      Drain(queue);
      for (uintptr_t n = 1; n <= 5; n++)
         queue.put(E(n));
      queue.insert(E(9));
      EXPECT_EQ(queue.allocated(), 8);
      EXPECT_EQ(Drain(queue), (Ns{9, 1, 2, 3, 4, 5}));
      EXPECT_EQ(queue.allocated(), 4);
   }

   // Half of an initial size of 1 is 0: the queue shrinks only when empty, and its
   // positions must come back inside the single slot (the address check sees a stray one).
   Queue one(1, 4);
   one.put(E(1));
   one.put(E(2));
   EXPECT_EQ(one.allocated(), 5);
   EXPECT_EQ(Drain(one), (Ns{1, 2}));
   EXPECT_EQ(one.allocated(), 1);
   one.put(E(3));
   one.insert(E(4));
   EXPECT_EQ(Drain(one), (Ns{4, 3}));

   Queue noIncrement(0, 0);  // still grows, one slot at a time
   noIncrement.put(E(1));
   noIncrement.put(E(2));
   EXPECT_EQ(noIncrement.allocated(), 2);
   noIncrement.clear();
   EXPECT_EQ(noIncrement.allocated(), 0);
   EXPECT_EQ(noIncrement.get(), nullptr);
}

TEST(Queue, RemoveLeavesHolesThatFindAndReadsSkip)
{
   Queue queue(4, 4);
   queue.put(E(1));
   queue.put(E(2));
   queue.put(E(3));
   EXPECT_TRUE(queue.remove(E(2), SameNumber));
   EXPECT_FALSE(queue.remove(E(2), SameNumber));
   EXPECT_EQ(queue.size(), 3);  // the hole still counts
   queue.put(QUEUE_SHUTDOWN_MARKER);

   static std::vector<const void *> seen;
   seen.clear();
   auto record = [](const void *, const void *element) {
      seen.push_back(element);
      return false;
   };
   EXPECT_EQ(queue.find(nullptr, record), nullptr);
   EXPECT_EQ(seen, (std::vector<const void *>{E(1), E(3)}));  // no hole, no marker
   seen.clear();
   EXPECT_FALSE(queue.remove(nullptr, record));
   EXPECT_EQ(seen, (std::vector<const void *>{E(1), E(3), QUEUE_SHUTDOWN_MARKER}));  // no hole
   EXPECT_EQ(queue.find(E(3), SameNumber), E(3));
   EXPECT_EQ(queue.size(), 4);

   EXPECT_EQ(N(queue.get()), 1u);
   EXPECT_EQ(N(queue.get()), 3u);
   EXPECT_EQ(queue.get(), QUEUE_SHUTDOWN_MARKER);
   EXPECT_EQ(queue.get(), nullptr);
   EXPECT_EQ(queue.size(), 0);

   queue.put(nullptr);  // only holes: nothing to read
   EXPECT_EQ(queue.get(), nullptr);
   EXPECT_EQ(queue.size(), 0);
}

TEST(Queue, ShutdownModeReturnsTheMarkerAndTakesNothing)
{
   Queue queue;
   queue.put(E(1));
   queue.setShutdownMode();
   queue.put(E(2));
   EXPECT_EQ(queue.get(), QUEUE_SHUTDOWN_MARKER);
   EXPECT_EQ(queue.getOrBlock(0), QUEUE_SHUTDOWN_MARKER);
   EXPECT_EQ(queue.getOrBlock(LONG_WAIT), QUEUE_SHUTDOWN_MARKER);
   EXPECT_EQ(queue.size(), 2);
   EXPECT_TRUE(queue.remove(E(2), SameNumber));
   queue.clear();
   EXPECT_EQ(queue.size(), 0);
   EXPECT_EQ(queue.get(), QUEUE_SHUTDOWN_MARKER);
}

TEST(QueueBlocking, TimeOutsExpire)
{
   Queue queue;
   Clock::time_point start = Clock::now();
   EXPECT_EQ(queue.getOrBlock(0), nullptr);
   EXPECT_EQ(queue.getOrBlock(100), nullptr);
   long long elapsed = MsSince(start);
   EXPECT_GE(elapsed, 95);
   EXPECT_LT(elapsed, GENEROUS.count());
}

TEST(QueueBlocking, TimeOutHoldsAcrossWakeUpsThatFindNothing)
{
   // Every hole put wakes the reader and gives it nothing; it must still give up when its
   // time is over instead of starting the full time-out again at every wake-up.
   constexpr unsigned int TIMEOUT = 300;
   Queue queue;
   Flag done;
   void *result = E(1);
   long long elapsed = 0;
   Worker reader([&] {
      Clock::time_point start = Clock::now();
      result = queue.getOrBlock(TIMEOUT);
      elapsed = MsSince(start);
      done.set();
   });
   Clock::time_point start = Clock::now();
   while (!done.isSet() && Clock::now() - start < GENEROUS)
      queue.put(nullptr);
   reader.join();
   EXPECT_EQ(result, nullptr);
   EXPECT_GE(elapsed, TIMEOUT - 5);
   EXPECT_LT(elapsed, GENEROUS.count());
}

TEST(QueueBlocking, BlockedReaderGetsAPutElement)
{
   Queue queue;
   void *result = nullptr;
   Worker reader([&] { result = queue.getOrBlock(INFINITE); });
   ASSERT_TRUE(qvtest::WaitUntilBlocked(reader.id()));
   queue.put(E(7));
   reader.join();
   EXPECT_EQ(N(result), 7u);
}

TEST(QueueBlocking, ShutdownReleasesEveryBlockedReader)
{
   constexpr int READERS = 4;
   Queue queue;
   void *results[READERS] = {};
   long long elapsed[READERS] = {};
   std::vector<std::unique_ptr<Worker>> readers;
   for (int i = 0; i < READERS; i++)
      readers.emplace_back(new Worker([&, i] {
         Clock::time_point start = Clock::now();
         results[i] = queue.getOrBlock(LONG_WAIT);
         elapsed[i] = MsSince(start);
      }));
   for (auto &reader : readers)
      ASSERT_TRUE(qvtest::WaitUntilBlocked(reader->id()));
   queue.setShutdownMode();
   readers.clear();  // joins
   for (int i = 0; i < READERS; i++)
   {
      EXPECT_EQ(results[i], QUEUE_SHUTDOWN_MARKER) << i;
      EXPECT_LT(elapsed[i], LONG_WAIT) << i;  // released, not timed out
   }
}

TEST(QueueBlocking, ProducersAndConsumersLoseAndRepeatNothing)
{
   // Producer p puts p * STRIDE + 1 ... p * STRIDE + PER_PRODUCER; one of them puts at the
   // head instead. A small ring grows and shrinks all the time.
   constexpr int PRODUCERS = 3, CONSUMERS = 3;
   constexpr uintptr_t PER_PRODUCER = 20000, STRIDE = 1000000;
   constexpr int TOTAL = PRODUCERS * static_cast<int>(PER_PRODUCER);
   Queue queue(4, 4);
   Flag start, allTaken;
   std::atomic<int> taken{0};
   std::vector<Ns> received(CONSUMERS);
   std::vector<std::unique_ptr<Worker>> threads;
   for (int c = 0; c < CONSUMERS; c++)
      threads.emplace_back(new Worker([&, c] {
         start.wait();
         for (;;)
         {
            void *element = queue.getOrBlock(LONG_WAIT);
            if (element == QUEUE_SHUTDOWN_MARKER || element == nullptr)
               break;
            received[c].push_back(N(element));
            if (taken.fetch_add(1) + 1 == TOTAL)
               allTaken.set();
         }
      }));
   for (int p = 0; p < PRODUCERS; p++)
      threads.emplace_back(new Worker([&, p] {
         start.wait();
         for (uintptr_t i = 1; i <= PER_PRODUCER; i++)
         {
            if (p == 0)
               queue.insert(E(p * STRIDE + i));
            else
               queue.put(E(p * STRIDE + i));
         }
      }));
   start.set();
   EXPECT_TRUE(allTaken.wait());
   queue.setShutdownMode();
   threads.clear();

   // Whatever one consumer took of a put-producer came in that producer's order.
   Ns all, expected, last(PRODUCERS, 0);
   for (const Ns &taken : received)
   {
      std::fill(last.begin(), last.end(), 0);
      for (uintptr_t n : taken)
      {
         uintptr_t p = n / STRIDE;
         EXPECT_TRUE(p == 0 || n > last[p]) << n;
         last[p] = n;
      }
      all.insert(all.end(), taken.begin(), taken.end());
   }
   std::sort(all.begin(), all.end());
   for (uintptr_t p = 0; p < PRODUCERS; p++)
      for (uintptr_t i = 1; i <= PER_PRODUCER; i++)
         expected.push_back(p * STRIDE + i);
   EXPECT_EQ(all, expected);
   EXPECT_EQ(queue.size(), 0);
   EXPECT_EQ(queue.allocated(), 4);
}
