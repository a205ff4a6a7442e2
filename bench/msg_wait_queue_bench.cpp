/* Put-to-wake latency of a thread asleep in MsgWaitQueue::waitForMessage, against a bare
 * std::mutex + std::condition_variable hand-off of one pointer. Each iteration hands one
 * message to a waiter that has had time to fall asleep; the time from just before the put
 * to the waiter's return is the iteration's time, and the median and 99th percentile of
 * those times are reported as counters (microseconds). */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

/* Hand-offs measured per run. */
constexpr int HANDOFFS = 2000;

/* Time the waiter gets to go back to sleep before the next hand-off. */
constexpr std::chrono::microseconds SETTLE{200};

constexpr uint16_t REPLY_CODE = 0x0102;

/* The peer: the hand-off most programs would write with the standard library. */
class StdHandOff
{
   std::mutex m_mutex;
   std::condition_variable m_cv;
   QVCPMessage *m_slot = nullptr;

public:
   void put(QVCPMessage *msg)
   {
      {
         std::lock_guard<std::mutex> guard(m_mutex);
         m_slot = msg;
      }
      m_cv.notify_one();
   }

   QVCPMessage *wait(uint32_t)
   {
      std::unique_lock<std::mutex> guard(m_mutex);
      m_cv.wait(guard, [this] { return m_slot != nullptr; });
      QVCPMessage *msg = m_slot;
      m_slot = nullptr;
      return msg;
   }
};

class WaitQueueHandOff
{
   MsgWaitQueue m_queue;

public:
   void put(QVCPMessage *msg) { m_queue.put(msg); }
   QVCPMessage *wait(uint32_t id) { return m_queue.waitForMessage(REPLY_CODE, id, INFINITE); }
};

template <typename H> void BM_PutToWake(benchmark::State &state)
{
   H handOff;
   std::vector<double> latencies;
   latencies.reserve(static_cast<size_t>(HANDOFFS));
   std::atomic<int64_t> putAt{0};   // steady clock nanoseconds just before the put
   std::atomic<int64_t> wokeAt{0};  // steady clock nanoseconds when the waiter returned
   std::atomic<uint32_t> served{0};
   bool lost = false;

   std::thread waiter([&] {
      for (uint32_t id = 1; id <= static_cast<uint32_t>(HANDOFFS); id++)
      {
         QVCPMessage *msg = handOff.wait(id);
         wokeAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
         if (msg == nullptr || msg->getId() != id)
            lost = true;
         delete msg;
         served.store(id, std::memory_order_release);
      }
   });

   uint32_t id = 0;
   for (auto _ : state)
   {
      id++;
      QVCPMessage *msg = new QVCPMessage(REPLY_CODE, id);
      std::this_thread::sleep_for(SETTLE);
      putAt.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
      handOff.put(msg);
      while (served.load(std::memory_order_acquire) != id)
         std::this_thread::yield();
      double seconds = static_cast<double>(wokeAt.load(std::memory_order_relaxed) - putAt.load()) * 1e-9;
      state.SetIterationTime(seconds);
      latencies.push_back(seconds);
   }
   waiter.join();
   if (lost)
      state.SkipWithError("a message went to the wrong waiter or was lost");

   std::sort(latencies.begin(), latencies.end());
   state.counters["median_us"] = latencies[latencies.size() / 2] * 1e6;
   state.counters["p99_us"] = latencies[latencies.size() * 99 / 100] * 1e6;
}

BENCHMARK_TEMPLATE(BM_PutToWake, StdHandOff)->Iterations(HANDOFFS)->UseManualTime();
BENCHMARK_TEMPLATE(BM_PutToWake, WaitQueueHandOff)->Iterations(HANDOFFS)->UseManualTime();

}  // namespace
