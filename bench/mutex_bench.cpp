/* Mutex against std::recursive_mutex: uncontended lock/unlock (before and after the process
 * has had a second thread), re-entry, and two threads taking turns on one lock. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

namespace {

long g_counter = 0;

template <typename Lock> Lock &SharedLock()
{
   static Lock lock;
   return lock;
}

/* Once a second thread has existed, the C library takes the atomic paths of its locks. */
void MakeMultiThreaded()
{
   std::thread([] {}).join();
}

template <typename Lock> void BM_Uncontended(benchmark::State &state)
{
   Lock lock;
   for (auto _ : state)
   {
      lock.lock();
      benchmark::ClobberMemory();
      lock.unlock();
   }
}

template <typename Lock> void BM_Reentry(benchmark::State &state)
{
   Lock lock;
   for (auto _ : state)
   {
      lock.lock();
      lock.lock();
      benchmark::ClobberMemory();
      lock.unlock();
      lock.unlock();
   }
}

template <typename Lock> void BM_Contended(benchmark::State &state)
{
   Lock &lock = SharedLock<Lock>();
   for (auto _ : state)
   {
      lock.lock();
      g_counter++;
      lock.unlock();
   }
}

template <typename Lock> void BM_UncontendedMultiThreaded(benchmark::State &state)
{
   MakeMultiThreaded();
   BM_Uncontended<Lock>(state);
}

}  // namespace

// Registration order is run order: the single-threaded cases come first.
BENCHMARK_TEMPLATE(BM_Uncontended, Mutex);
BENCHMARK_TEMPLATE(BM_Uncontended, std::recursive_mutex);
BENCHMARK_TEMPLATE(BM_Reentry, Mutex);
BENCHMARK_TEMPLATE(BM_Reentry, std::recursive_mutex);
BENCHMARK_TEMPLATE(BM_UncontendedMultiThreaded, Mutex);
BENCHMARK_TEMPLATE(BM_UncontendedMultiThreaded, std::recursive_mutex);
BENCHMARK_TEMPLATE(BM_Contended, Mutex)->Threads(2)->UseRealTime();
BENCHMARK_TEMPLATE(BM_Contended, std::recursive_mutex)->Threads(2)->UseRealTime();
