/* Queue against a plain std::mutex + std::condition_variable + std::deque queue: two
 * producers and two consumers hand over a fixed number of pointers per iteration. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace {

/* Elements handed over in one iteration, and the threads on each side. */
constexpr int ELEMENTS = 200000;
constexpr int PRODUCERS = 2;
constexpr int CONSUMERS = 2;

/* Put after the last element, once per consumer, to end it. */
void *const STOP = reinterpret_cast<void *>(static_cast<uintptr_t>(1));

/* The peer: the queue most programs would write with the standard library. */
class StdQueue
{
   std::mutex m_mutex;
   std::condition_variable m_cv;
   std::deque<void *> m_items;

public:
   void put(void *element)
   {
      {
         std::lock_guard<std::mutex> guard(m_mutex);
         m_items.push_back(element);
      }
      m_cv.notify_one();
   }

   void *getOrBlock(unsigned int)
   {
      std::unique_lock<std::mutex> guard(m_mutex);
      m_cv.wait(guard, [this] { return !m_items.empty(); });
      void *element = m_items.front();
      m_items.pop_front();
      return element;
   }
};

template <typename Q> void BM_TwoProducersTwoConsumers(benchmark::State &state)
{
   std::atomic<uintptr_t> checksum{0};
   for (auto _ : state)
   {
      Q queue;
      std::thread consumers[CONSUMERS];
      for (auto &consumer : consumers)
         consumer = std::thread([&] {
            uintptr_t sum = 0;
            for (void *element = queue.getOrBlock(INFINITE); element != STOP; element = queue.getOrBlock(INFINITE))
               sum += reinterpret_cast<uintptr_t>(element);
            checksum += sum;
         });
      std::thread producers[PRODUCERS];
      for (int p = 0; p < PRODUCERS; p++)
         producers[p] = std::thread([&queue, p] {
            // Elements start above STOP: 2, 3, ...
            for (int i = p; i < ELEMENTS; i += PRODUCERS)
               queue.put(reinterpret_cast<void *>(static_cast<uintptr_t>(i) + 2));
         });
      for (auto &producer : producers)
         producer.join();
      for (int c = 0; c < CONSUMERS; c++)
         queue.put(STOP);
      for (auto &consumer : consumers)
         consumer.join();
   }
   const uintptr_t perIteration = static_cast<uintptr_t>(ELEMENTS) * (ELEMENTS - 1) / 2 + 2u * ELEMENTS;
   if (checksum.load() != perIteration * static_cast<uintptr_t>(state.iterations()))
      state.SkipWithError("elements lost or repeated");
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * ELEMENTS);
}

}  // namespace

BENCHMARK_TEMPLATE(BM_TwoProducersTwoConsumers, Queue)->Name("Queue/2x2")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_TwoProducersTwoConsumers, StdQueue)
    ->Name("StdMutexDeque/2x2")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
