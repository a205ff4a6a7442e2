/* Put-to-wake latency of a thread asleep in MsgWaitQueue::waitForMessage, against a bare
 * std::mutex + std::condition_variable hand-off of one pointer. Each iteration hands one
 * message to a waiter that has had time to fall asleep; the time from just before the put
 * to the waiter's return is the iteration's time, and the median and 99th percentile of
 * those times are reported as counters (microseconds).
 *
 * Then many held messages: N raw messages put (two per id) and all taken again by code
 * and id in an order far from the put order, against a std::unordered_map of FIFO lists
 * under a std::mutex, as a program would write it with the standard library. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
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

/* Messages held at once in the put-and-take runs: the goal, and a tenth of it (which a
 * queue that scans for each message can still finish). */
constexpr int64_t HELD_MESSAGES = 1000000;
constexpr int64_t FEWER_HELD_MESSAGES = HELD_MESSAGES / 10;

/* A prime step through the ids, so that takes come far from the put order. */
constexpr uint32_t TAKE_STRIDE = 7919;

QVCP_MESSAGE *RawReply(uint32_t id)
{
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(calloc(1, sizeof(QVCP_MESSAGE)));
   msg->code = REPLY_CODE;
   msg->id = id;
   return msg;
}

/* The peer: raw messages in FIFO lists under their code and id. */
class StdHeldMessages
{
   std::mutex m_mutex;
   std::unordered_map<uint64_t, std::vector<QVCP_MESSAGE *>> m_held;

public:
   void put(QVCP_MESSAGE *msg)
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_held[uint64_t(msg->code) << 32 | msg->id].push_back(msg);
   }
   QVCP_MESSAGE *take(uint16_t code, uint32_t id)
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      auto it = m_held.find(uint64_t(code) << 32 | id);
      if (it == m_held.end())
         return nullptr;
      QVCP_MESSAGE *msg = it->second.front();
      it->second.erase(it->second.begin());
      if (it->second.empty())
         m_held.erase(it);
      return msg;
   }
};

class WaitQueueHeldMessages
{
   MsgWaitQueue m_queue;

public:
   void put(QVCP_MESSAGE *msg) { m_queue.put(msg); }
   QVCP_MESSAGE *take(uint16_t code, uint32_t id) { return m_queue.waitForRawMessage(code, id, 0); }
};

template <typename H> void BM_PutAndTakeHeld(benchmark::State &state)
{
   const uint32_t held = static_cast<uint32_t>(state.range(0));
   const uint32_t ids = held / 2;
   bool lost = false;
   for (auto _ : state)
   {
      H queue;
      for (uint32_t i = 0; i < held; i++)
         queue.put(RawReply(i / 2));
      for (uint32_t k = 0, id = 0; k < ids; k++, id = (id + TAKE_STRIDE) % ids)
      {
         for (int twice = 0; twice < 2; twice++)
         {
            QVCP_MESSAGE *msg = queue.take(REPLY_CODE, id);
            lost |= (msg == nullptr);
            free(msg);
         }
      }
   }
   if (lost)
      state.SkipWithError("a held message was not found");
   state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(held));
}

BENCHMARK_TEMPLATE(BM_PutAndTakeHeld, StdHeldMessages)
    ->Arg(FEWER_HELD_MESSAGES)
    ->Arg(HELD_MESSAGES)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_PutAndTakeHeld, WaitQueueHeldMessages)
    ->Arg(FEWER_HELD_MESSAGES)
    ->Arg(HELD_MESSAGES)
    ->Unit(benchmark::kMillisecond);

}  // namespace
