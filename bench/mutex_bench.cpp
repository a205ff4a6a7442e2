/* Mutex against std::recursive_mutex: uncontended lock/unlock, re-entry, and two threads
 * taking turns on one lock. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <mutex>
#include <thread>

namespace
{

Mutex g_mutex;
std::recursive_mutex g_recursive;
long g_counter = 0;

template <typename Lock> void LockUnlock(benchmark::State &state, Lock &lock)
{
   for (auto _ : state)
   {
      lock.lock();
      benchmark::ClobberMemory();
      lock.unlock();
   }
}

template <typename Lock> void Reenter(benchmark::State &state, Lock &lock)
{
   for (auto _ : state)
   {
      lock.lock();
      lock.lock();
      benchmark::ClobberMemory();
      lock.unlock();
      lock.unlock();
   }
}

template <typename Lock> void Contended(benchmark::State &state, Lock &lock)
{
   for (auto _ : state)
   {
      lock.lock();
      g_counter++;
      lock.unlock();
   }
}

void BM_Uncontended_Mutex(benchmark::State &state)
{
   Mutex mutex;
   LockUnlock(state, mutex);
}

void BM_Uncontended_StdRecursiveMutex(benchmark::State &state)
{
   std::recursive_mutex mutex;
   LockUnlock(state, mutex);
}

void BM_Reentry_Mutex(benchmark::State &state)
{
   Mutex mutex;
   Reenter(state, mutex);
}

void BM_Reentry_StdRecursiveMutex(benchmark::State &state)
{
   std::recursive_mutex mutex;
   Reenter(state, mutex);
}

void BM_Contended_Mutex(benchmark::State &state)
{
   Contended(state, g_mutex);
}

void BM_Contended_StdRecursiveMutex(benchmark::State &state)
{
   Contended(state, g_recursive);
}

} // namespace

BENCHMARK(BM_Uncontended_Mutex);
BENCHMARK(BM_Uncontended_StdRecursiveMutex);
BENCHMARK(BM_Reentry_Mutex);
BENCHMARK(BM_Reentry_StdRecursiveMutex);
BENCHMARK(BM_Contended_Mutex)->Threads(2)->UseRealTime();
BENCHMARK(BM_Contended_StdRecursiveMutex)->Threads(2)->UseRealTime();

namespace
{
/* Once a second thread has existed, the C library takes the atomic paths of its locks. */
void MakeMultiThreaded()
{
   std::thread([] {}).join();
}

void BM_UncontendedMT_Mutex(benchmark::State &state)
{
   MakeMultiThreaded();
   Mutex mutex;
   LockUnlock(state, mutex);
}

void BM_UncontendedMT_StdRecursiveMutex(benchmark::State &state)
{
   MakeMultiThreaded();
   std::recursive_mutex mutex;
   LockUnlock(state, mutex);
}
}
BENCHMARK(BM_UncontendedMT_Mutex);
BENCHMARK(BM_UncontendedMT_StdRecursiveMutex);
