/* String beside std::wstring: building a text from short pieces and copying texts; and
 * MemoryPool beside malloc for many small blocks. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <stdlib.h>
#include <string>
#include <vector>

namespace {

/* One piece of the appended text: 8 characters. */
const wchar_t PIECE[] = L"abcdefgh";
constexpr size_t PIECE_LENGTH = 8;

/* Allocation step that callers building long texts set. */
constexpr size_t RAISED_STEP = 4096;

/* Builds texts of state.range(0) characters from 8-character pieces, make() giving each
 * new text and add(text) appending one piece. */
template <typename Make, typename Add> void AppendPieces(benchmark::State &state, Make make, Add add)
{
   const size_t pieces = static_cast<size_t>(state.range(0)) / PIECE_LENGTH;
   for (auto _ : state)
   {
      auto text = make();
      for (size_t i = 0; i < pieces; i++)
         add(text);
      benchmark::DoNotOptimize(text.data());
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * pieces));
}

/* String with a given allocation step, and data() for the loop above. */
struct StepString : String
{
   explicit StepString(size_t step) { setAllocationStep(step); }
   const wchar_t *data() const { return getBuffer(); }
};

void BM_StringAppend_RaisedStep(benchmark::State &state)
{
   AppendPieces(
       state, [] { return StepString(RAISED_STEP); }, [](StepString &s) { s.append(PIECE); });
}

void BM_StringAppend_DefaultStep(benchmark::State &state)
{
   AppendPieces(
       state, [] { return StepString(String::DEFAULT_ALLOCATION_STEP); }, [](StepString &s) { s.append(PIECE); });
}

void BM_StringAppendCounted_RaisedStep(benchmark::State &state)
{
   AppendPieces(
       state, [] { return StepString(RAISED_STEP); }, [](StepString &s) { s.append(PIECE, PIECE_LENGTH); });
}

void BM_WStringAppend(benchmark::State &state)
{
   AppendPieces(
       state, [] { return std::wstring(); }, [](std::wstring &s) { s += PIECE; });
}

void BM_WStringAppendCounted(benchmark::State &state)
{
   AppendPieces(
       state, [] { return std::wstring(); }, [](std::wstring &s) { s.append(PIECE, PIECE_LENGTH); });
}

void BM_StringCopy(benchmark::State &state)
{
   std::wstring text(static_cast<size_t>(state.range(0)), L'x');
   String src(text.c_str());
   for (auto _ : state)
   {
      String copy(src);
      benchmark::DoNotOptimize(copy.getBuffer());
   }
}

void BM_WStringCopy(benchmark::State &state)
{
   std::wstring src(static_cast<size_t>(state.range(0)), L'x');
   for (auto _ : state)
   {
      std::wstring copy(src);
      benchmark::DoNotOptimize(copy.data());
   }
}

/* Blocks taken per round, and their sizes in bytes (a message's or a list's elements). */
constexpr int POOL_BLOCKS = 1000;
constexpr size_t POOL_BLOCK_SIZES[] = {12, 24, 40, 64};

void BM_MemoryPoolAllocate(benchmark::State &state)
{
   MemoryPool pool;
   for (auto _ : state)
   {
      for (int i = 0; i < POOL_BLOCKS; i++)
         benchmark::DoNotOptimize(pool.allocate(POOL_BLOCK_SIZES[i & 3]));
      pool.clear();
   }
   state.SetItemsProcessed(state.iterations() * POOL_BLOCKS);
}

void BM_MallocFree(benchmark::State &state)
{
   std::vector<void *> blocks(POOL_BLOCKS);
   for (auto _ : state)
   {
      for (int i = 0; i < POOL_BLOCKS; i++)
      {
         blocks[i] = malloc(POOL_BLOCK_SIZES[i & 3]);
         benchmark::DoNotOptimize(blocks[i]);
      }
      for (int i = 0; i < POOL_BLOCKS; i++)
         free(blocks[i]);
   }
   state.SetItemsProcessed(state.iterations() * POOL_BLOCKS);
}

}  // namespace

// Text sizes in characters: 1 KiB of characters is 4 KiB of memory here.
BENCHMARK(BM_StringAppend_RaisedStep)->Arg(1024)->Arg(4096);
BENCHMARK(BM_WStringAppend)->Arg(1024)->Arg(4096);
BENCHMARK(BM_StringAppendCounted_RaisedStep)->Arg(1024)->Arg(4096);
BENCHMARK(BM_WStringAppendCounted)->Arg(1024)->Arg(4096);
BENCHMARK(BM_StringAppend_DefaultStep)->Arg(1024)->Arg(4096);
BENCHMARK(BM_StringCopy)->Arg(100)->Arg(1024)->Arg(4096);
BENCHMARK(BM_WStringCopy)->Arg(100)->Arg(1024)->Arg(4096);
BENCHMARK(BM_MemoryPoolAllocate);
BENCHMARK(BM_MallocFree);
