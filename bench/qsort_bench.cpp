/* QSortEx against the C library's qsort on the same data in the same run: one million
 * 4-byte integers and one million 24-byte records, random and presorted. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <random>
#include <stdlib.h>
#include <string.h>
#include <vector>

namespace {

// Elements sorted per run.
const size_t ELEMENT_COUNT = 1000000;

// Seed of the generated data, the same for both sorts.
const unsigned DATA_SEED = 20240611;

struct Record
{
   uint64_t key;
   uint64_t payload[2];
};
static_assert(sizeof(Record) == 24, "24-byte records");

int CompareUInt32(const void *a, const void *b)
{
   uint32_t x = *static_cast<const uint32_t *>(a);
   uint32_t y = *static_cast<const uint32_t *>(b);
   return (x < y) ? -1 : ((x > y) ? 1 : 0);
}

int CompareUInt32Ex(const void *a, const void *b, void *)
{
   return CompareUInt32(a, b);
}

int CompareRecord(const void *a, const void *b)
{
   uint64_t x = static_cast<const Record *>(a)->key;
   uint64_t y = static_cast<const Record *>(b)->key;
   return (x < y) ? -1 : ((x > y) ? 1 : 0);
}

int CompareRecordEx(const void *a, const void *b, void *)
{
   return CompareRecord(a, b);
}

enum class Order
{
   Random,
   Sorted
};

template <class T> const std::vector<T> &Source(Order order)
{
   static std::vector<T> data[2];
   std::vector<T> &v = data[static_cast<int>(order)];
   if (v.empty())
   {
      std::mt19937_64 random(DATA_SEED);
      v.resize(ELEMENT_COUNT);
      for (size_t i = 0; i < ELEMENT_COUNT; i++)
      {
         T element;
         memset(&element, 0, sizeof(element));
         uint64_t key = (order == Order::Random) ? random() : i;
         memcpy(&element, &key, (sizeof(T) < sizeof(key)) ? sizeof(T) : sizeof(key));
         v[i] = element;
      }
   }
   return v;
}

template <class T, bool Ours>
void SortBench(benchmark::State &state, Order order, int (*cmp)(const void *, const void *),
               int (*cmpEx)(const void *, const void *, void *))
{
   const std::vector<T> &source = Source<T>(order);
   std::vector<T> work(source.size());
   for (auto _ : state)
   {
      state.PauseTiming();
      memcpy(work.data(), source.data(), source.size() * sizeof(T));
      state.ResumeTiming();
      if (Ours)
         QSortEx(work.data(), work.size(), sizeof(T), nullptr, cmpEx);
      else
         qsort(work.data(), work.size(), sizeof(T), cmp);
      benchmark::DoNotOptimize(work.data());
   }
   state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(source.size()));
}

void BM_QSortEx_4Byte_Random(benchmark::State &s)
{
   SortBench<uint32_t, true>(s, Order::Random, CompareUInt32, CompareUInt32Ex);
}
void BM_qsort_4Byte_Random(benchmark::State &s)
{
   SortBench<uint32_t, false>(s, Order::Random, CompareUInt32, CompareUInt32Ex);
}
void BM_QSortEx_24Byte_Random(benchmark::State &s)
{
   SortBench<Record, true>(s, Order::Random, CompareRecord, CompareRecordEx);
}
void BM_qsort_24Byte_Random(benchmark::State &s)
{
   SortBench<Record, false>(s, Order::Random, CompareRecord, CompareRecordEx);
}
void BM_QSortEx_4Byte_Sorted(benchmark::State &s)
{
   SortBench<uint32_t, true>(s, Order::Sorted, CompareUInt32, CompareUInt32Ex);
}
void BM_qsort_4Byte_Sorted(benchmark::State &s)
{
   SortBench<uint32_t, false>(s, Order::Sorted, CompareUInt32, CompareUInt32Ex);
}
void BM_QSortEx_24Byte_Sorted(benchmark::State &s)
{
   SortBench<Record, true>(s, Order::Sorted, CompareRecord, CompareRecordEx);
}
void BM_qsort_24Byte_Sorted(benchmark::State &s)
{
   SortBench<Record, false>(s, Order::Sorted, CompareRecord, CompareRecordEx);
}

}  // namespace

BENCHMARK(BM_QSortEx_4Byte_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_qsort_4Byte_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QSortEx_24Byte_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_qsort_24Byte_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QSortEx_4Byte_Sorted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_qsort_4Byte_Sorted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QSortEx_24Byte_Sorted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_qsort_24Byte_Sorted)->Unit(benchmark::kMillisecond);
