/* Byte streams: records of mixed values (integers of every width in big-endian order, a
 * double and a length-prefixed string) written into a ByteStream, against the same bytes
 * appended with memcpy to a growing std::vector<uint8_t>. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <string.h>

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

template <typename T> void Append(std::vector<uint8_t> &v, T value)
{
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(&value);
   v.insert(v.end(), bytes, bytes + sizeof(T));
}

void BM_ByteStream_MixedRecords(benchmark::State &state)
{
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
   size_t bytes = 0;
   for (auto _ : state)
   {
      std::vector<uint8_t> v;
      for (int i = 0; i < RECORDS; i++)
      {
         Append(v, BigEndian(static_cast<uint32_t>(i)));
         Append(v, BigEndian(static_cast<uint16_t>(i * 3)));
         Append(v, static_cast<uint8_t>(i & 0x7F));
         Append(v, BigEndian(static_cast<uint64_t>(static_cast<int64_t>(i) * -1000003)));
         double d = i * 0.5;
         uint64_t bits;
         memcpy(&bits, &d, sizeof(bits));
         Append(v, BigEndian(bits));
         Append(v, BigEndian(NAME_LENGTH));
         v.insert(v.end(), NAME, NAME + NAME_LENGTH);
      }
      bytes = v.size();
      benchmark::DoNotOptimize(v.data());
   }
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Vector_MixedRecords);

}  // namespace
