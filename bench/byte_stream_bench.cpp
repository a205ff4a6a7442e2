/* Byte streams: records of mixed values (integers of every width in big-endian order, a
 * double and a length-prefixed string) written into a ByteStream, against the same bytes
 * appended with memcpy to a growing std::vector<uint8_t>. */
#include <qorvel.h>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string.h>

#include <algorithm>
#include <vector>

namespace {

constexpr int RECORDS = 10000;

/* The short string of every record. */
const char NAME[] = "interface";
constexpr uint16_t NAME_LENGTH = sizeof(NAME) - 1;

template <typename T> T BigEndian(T value)
{
   if constexpr (sizeof(T) == 2)
      return static_cast<T>(__builtin_bswap16(value));
   else if constexpr (sizeof(T) == 4)
      return static_cast<T>(__builtin_bswap32(value));
   else
      return static_cast<T>(__builtin_bswap64(value));
}

/* Malloc keeps freed memory instead of giving it back to the kernel, for both sides:
 * otherwise page faults on fresh memory dominate whichever side happens to free a large
 * block. */
void KeepFreedMemory()
{
   static bool done = [] {
      mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
      mallopt(M_MMAP_THRESHOLD, 64 * 1024 * 1024);
      return true;
   }();
   (void)done;
}

/* A vector grown by doubling, with the bytes put behind the used part by memcpy; the
 * vector is cut to the used part at the end. */
struct GrowingVector
{
   std::vector<uint8_t> bytes;
   size_t used = 0;

   void append(const void *data, size_t size)
   {
      if (size > bytes.size() - used)
         bytes.resize(std::max(bytes.size() * 2, used + size));
      memcpy(bytes.data() + used, data, size);
      used += size;
   }
   template <typename T> void append(T value) { append(&value, sizeof(T)); }
};

void BM_ByteStream_MixedRecords(benchmark::State &state)
{
   KeepFreedMemory();
   size_t bytes = 0;
   for (auto _ : state)
   {
      ByteStream s;
      for (int i = 0; i < RECORDS; i++)
      {
         s.write(static_cast<uint32_t>(i));
         s.write(static_cast<uint16_t>(i * 3));
         s.write(static_cast<unsigned char>(i & 0x7F));
         s.write(static_cast<int64_t>(i) * -1000003);
         s.write(i * 0.5);
         s.writeStringUtf8(NAME);
      }
      bytes = s.size();
      benchmark::DoNotOptimize(s.buffer(nullptr));
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_ByteStream_MixedRecords);

void BM_Vector_MixedRecords(benchmark::State &state)
{
   KeepFreedMemory();
   size_t bytes = 0;
   for (auto _ : state)
   {
      GrowingVector v;
      for (int i = 0; i < RECORDS; i++)
      {
         v.append(BigEndian(static_cast<uint32_t>(i)));
         v.append(BigEndian(static_cast<uint16_t>(i * 3)));
         v.append(static_cast<uint8_t>(i & 0x7F));
         v.append(BigEndian(static_cast<uint64_t>(static_cast<int64_t>(i) * -1000003)));
         double d = i * 0.5;
         uint64_t bits;
         memcpy(&bits, &d, sizeof(bits));
         v.append(BigEndian(bits));
         v.append(BigEndian(NAME_LENGTH));
         v.append(NAME, NAME_LENGTH);
      }
      v.bytes.resize(v.used);
      bytes = v.used;
      benchmark::DoNotOptimize(v.bytes.data());
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Vector_MixedRecords);

}  // namespace
