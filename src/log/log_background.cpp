/* The log's background writer: lines are appended to a buffer in memory, and a thread of
 * its own writes them to the file in blocks, once a second or sooner when the buffer grows
 * large, rotating the file when it must. */
#include "log/log_state.h"
#include "log/metrics_registry.h"

#include <stdlib.h>

using namespace qv::platform;

namespace qv::log {

namespace {

/* The background writer makes one pass per second when nothing wakes it. */
constexpr uint32_t WRITER_PASS_MS = 1000;

/* Buffered characters at which a writer wakes the background writer before its second is
 * up, so that a burst does not pile up a second's worth of lines in memory. */
constexpr size_t WRITER_WAKE_CHARS = 1 << 20;

/* Allocation step of the background buffers, in characters: the wake-up size, so that a
 * busy log reaches it in one allocation instead of copying its buffer on the way there
 * (the storage is kept from pass to pass, and pages are only touched as lines arrive). */
constexpr size_t BUFFER_ALLOCATION_STEP = WRITER_WAKE_CHARS;

/* The background writer converts and writes its block in pieces of this many characters. */
constexpr size_t WRITE_CHUNK_CHARS = 65536;

/* Room for the background writer's trace line. */
constexpr size_t TRACE_LINE_BYTES = 96;

/* Guards the buffers and g_accepting only (see g_logLock). */
QvLock g_bufferLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};

/* The buffers and the flag are under the buffer lock; the writer swaps g_buffer with
 * g_standby, which it then writes without a lock. */
String *g_buffer = nullptr;
String *g_standby = nullptr;
bool g_accepting = false;
QvEvent *g_wake = nullptr;
std::atomic<bool> g_stop{false};
qorvel_thread_t *g_writer = nullptr;

/* One block of the background writer: to the console writer, then to the file in
 * pieces, then the size check. */
void WriteBlock(const String &block, uint32_t flags, char *chunk)
{
   if ((flags & QVLOG_CONSOLE) != 0)
      g_consoleWriter.load(std::memory_order_acquire)(L"%s", block.getBuffer());
   const wchar_t *text = block.getBuffer();
   size_t length = block.length();
   LockAcquire(&g_logLock);
   if (g_file != nullptr)
   {
      if ((flags & QVLOG_TRACE_WRITES) != 0)
      {
         char trace[TRACE_LINE_BYTES];
         int64_t bytes = wchar_utf8len(text, static_cast<int>(length)) - 1;
         int n =
             qv_snprintf(trace, sizeof(trace), "##(%I64d)%I64d @%I64d\n", static_cast<int64_t>(length), bytes, NowMs());
         WriteFileLines(trace, static_cast<size_t>(n));
      }
      size_t done = 0;
      while (done < length)
      {
         // Pieces of whole lines, so that a full disk cuts between lines.
         size_t count = (length - done < WRITE_CHUNK_CHARS) ? length - done : WRITE_CHUNK_CHARS;
         size_t end = count;
         while (done + count < length && end > 0 && text[done + end - 1] != L'\n')
            end--;
         count = (end > 0) ? end : count;
         WriteFileLines(chunk, ToUtf8(text + done, count, chunk));
         done += count;
      }
      RotateIfFull();
   }
   LockRelease(&g_logLock);
}

/* The background writer: one pass per second, or sooner when woken; the pass after the
 * stop request writes whatever is left. */
void BackgroundWriter(void *)
{
   char *chunk = static_cast<char *>(malloc(WRITE_CHUNK_CHARS * UTF8_MAX_BYTES));
   bool stop = false;
   while (!stop)
   {
      EventWait(g_wake, WRITER_PASS_MS);
      stop = g_stop.load(std::memory_order_acquire);

      LockAcquire(&g_logLock);
      RotateIfDayEnded(NowMs());
      LockRelease(&g_logLock);

      String *block = nullptr;
      LockAcquire(&g_bufferLock);
      if (!g_buffer->isEmpty())
      {
         block = g_buffer;
         g_buffer = g_standby;
         g_standby = block;
      }
      LockRelease(&g_bufferLock);

      if (block != nullptr)
      {
         if (chunk != nullptr)
            WriteBlock(*block, g_flags.load(std::memory_order_acquire), chunk);
         block->clear();
      }
   }
   free(chunk);
}

}  // namespace

bool StartBackgroundWriter()
{
   g_buffer = new String();
   g_standby = new String();
   g_buffer->setAllocationStep(BUFFER_ALLOCATION_STEP);
   g_standby->setAllocationStep(BUFFER_ALLOCATION_STEP);
   g_wake = EventCreate(false);
   g_stop.store(false, std::memory_order_release);
   if (g_wake != nullptr)
      g_writer = ThreadStart(BackgroundWriter, 0, nullptr);
   if (g_writer == nullptr)
   {
      EventDestroy(g_wake);
      g_wake = nullptr;
      delete g_buffer;
      delete g_standby;
      g_buffer = g_standby = nullptr;
      return false;
   }
   ThreadSetName(g_writer, "LogWriter");
   LockAcquire(&g_bufferLock);
   g_accepting = true;
   LockRelease(&g_bufferLock);
   return true;
}

/* Writers are turned away under the buffer lock before the stop request, so the writer's
 * last pass sees every line that got into the buffer. */
void StopBackgroundWriter()
{
   if (g_writer == nullptr)
      return;
   LockAcquire(&g_bufferLock);
   g_accepting = false;
   LockRelease(&g_bufferLock);
   g_stop.store(true, std::memory_order_release);
   EventSet(g_wake);
   ThreadWaitForExit(g_writer);
   g_writer = nullptr;
   EventDestroy(g_wake);
   g_wake = nullptr;
   delete g_buffer;
   delete g_standby;
   g_buffer = g_standby = nullptr;
}

void BackgroundAppend(const wchar_t *prefix, size_t prefixLength, const wchar_t *text, size_t length)
{
   LockAcquire(&g_bufferLock);
   if (g_accepting)
   {
      size_t before = g_buffer->length();
      g_buffer->append(prefix, prefixLength);
      g_buffer->append(text, length);
      if (before < WRITER_WAKE_CHARS && g_buffer->length() >= WRITER_WAKE_CHARS)
         EventSet(g_wake);
   }
   bool dropped = !g_accepting;
   LockRelease(&g_bufferLock);
   if (dropped)
      MetricsCountLogDrops(1);
}

}  // namespace qv::log
