/* The ring of last log lines. Each slot has a sequence word: odd while a writer fills it,
 * even (2 * line number + 2) when line number n is complete. Readers copy a slot and
 * keep the copy only when the word was the same even value before and after. */
#include "log/log_ring.h"

#include "text/utf8_codec.h"

#include <atomic>

namespace {

using namespace qv::log;

struct Slot
{
   std::atomic<uint64_t> sequence;
   std::atomic<uint32_t> length;
   char bytes[LOG_RING_LINE_BYTES];
};

Slot g_slots[LOG_RING_LINES];
std::atomic<uint64_t> g_next{0};

/* Bytes are stored and read one atomic at a time: a writer and the crash reader may meet
 * on a slot, and the sequence word decides which copy counts. A byte stored with release
 * carries the odd word stored before it, so a reader that loads that byte with acquire
 * sees the word changed when it reads it again. */
inline void StoreByte(char *at, char value)
{
   __atomic_store_n(at, value, __ATOMIC_RELEASE);
}

inline char LoadByte(const char *at)
{
   return __atomic_load_n(at, __ATOMIC_ACQUIRE);
}

size_t Encode(const wchar_t *text, size_t count, char *out, size_t used)
{
   for (size_t i = 0; i < count && used < LOG_RING_LINE_BYTES; i++)
   {
      if (text[i] == L'\n' && i + 1 == count)
         break;
      char utf8[4];
      size_t n = qv::text::Utf8EncodeOne(static_cast<UCS4CHAR>(text[i]), utf8);
      if (used + n > LOG_RING_LINE_BYTES)
         break;
      for (size_t k = 0; k < n; k++)
         StoreByte(out + used + k, utf8[k]);
      used += n;
   }
   return used;
}

}  // namespace

namespace qv {
namespace log {

void LogRingAdd(const wchar_t *prefix, size_t prefixLength, const wchar_t *text, size_t textLength)
{
   uint64_t n = g_next.fetch_add(1, std::memory_order_relaxed);
   Slot &slot = g_slots[n % LOG_RING_LINES];
   uint64_t writing = 2 * n + 1;
   slot.sequence.store(writing, std::memory_order_relaxed);
   size_t used = 0;
   if (prefix != nullptr)
      used = Encode(prefix, prefixLength, slot.bytes, used);
   used = Encode(text, textLength, slot.bytes, used);
   slot.length.store(static_cast<uint32_t>(used), std::memory_order_release);
   // Only the writer that still owns the slot marks it complete; a later writer that took
   // it over meanwhile leaves it odd until it is done itself.
   slot.sequence.compare_exchange_strong(writing, 2 * n + 2, std::memory_order_release, std::memory_order_relaxed);
}

size_t LogRingRead(void (*sink)(void *data, const char *line, size_t length), void *data)
{
   uint64_t end = g_next.load(std::memory_order_acquire);
   uint64_t first = (end > LOG_RING_LINES) ? end - LOG_RING_LINES : 0;
   size_t passed = 0;
   char copy[LOG_RING_LINE_BYTES];
   for (uint64_t n = first; n < end; n++)
   {
      const Slot &slot = g_slots[n % LOG_RING_LINES];
      uint64_t complete = 2 * n + 2;
      if (slot.sequence.load(std::memory_order_acquire) != complete)
         continue;
      size_t length = slot.length.load(std::memory_order_acquire);
      if (length > LOG_RING_LINE_BYTES)
         continue;
      for (size_t i = 0; i < length; i++)
         copy[i] = LoadByte(slot.bytes + i);
      if (slot.sequence.load(std::memory_order_relaxed) != complete)
         continue;
      sink(data, copy, length);
      passed++;
   }
   return passed;
}

}  // namespace log
}  // namespace qv
