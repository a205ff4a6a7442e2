/* Flood control of the debug output. Each tag has a window of one second that starts with
 * its first line after the previous window ended; within it the first lines up to the
 * limit pass and the rest are counted. A window that ended with lines cut gets its summary
 * line from the next line that comes through here, of any tag. */
#include "log/debug_flood.h"
#include "log/log_state.h"
#include "log/metrics_registry.h"

#include "platform/sync.h"

#include <qv_containers.h>
#include <qv_strings.h>

#include <new>

using namespace qv::log;
using qv::platform::LOCK_FREE;
using qv::platform::LOCK_SPIN_COUNT;
using qv::platform::LockHold;
using qv::platform::QvLock;

namespace {

constexpr int64_t WINDOW_MS = 1000;

/* Tags tracked at most; when one more comes, the pending summaries are written and the
 * tracking starts over (object tags can be many). */
constexpr int32_t MAX_TRACKED_TAGS = 4096;

/* Summaries written by one call at most; the rest follow with the next lines. */
constexpr int MAX_SUMMARIES_PER_CALL = 16;

/* No window with lines cut is waiting for its summary. */
constexpr int64_t NO_SUMMARY = INT64_MAX;

struct FloodWindow
{
   int64_t start = 0;
   uint32_t lines = 0;       // lines passed in the window
   uint32_t suppressed = 0;  // lines cut in the window, not yet summarised
   bool open = false;        // start is valid
};

/* A summary to be written once the lock is released. */
struct Summary
{
   wchar_t *tag;  // own copy; null for untagged lines
   uint32_t count;
};

/* All under g_floodLock. Never released: debug calls may come during process exit. */
QvLock g_floodLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};
StringObjectMap<FloodWindow> *g_tags = nullptr;  // tags compared without regard to case
FloodWindow g_untagged;
int64_t g_nextSummary = NO_SUMMARY;

struct SummaryList
{
   Summary items[MAX_SUMMARIES_PER_CALL];
   int count = 0;
   bool full = false;  // some were left for later

   /* Takes the window's summary when it is due (or always, with force). */
   void collect(const wchar_t *tag, FloodWindow *window, int64_t now, bool force)
   {
      if (window->suppressed == 0 || (!force && now < window->start + WINDOW_MS))
         return;
      if (count == MAX_SUMMARIES_PER_CALL)
      {
         full = true;
         return;
      }
      wchar_t *copy = (tag != nullptr) ? qv_wcsdup(tag) : nullptr;
      if (tag != nullptr && copy == nullptr)
         return;  // left for a later call
      items[count++] = Summary{copy, window->suppressed};
      window->suppressed = 0;
      window->open = false;
   }

   /* Writes the summaries; no lock held. */
   void write()
   {
      for (int i = 0; i < count; i++)
      {
         wchar_t text[LOG_MESSAGE_BUFFER_CHARS];
         if (items[i].tag != nullptr)
            qv_snwprintf(text, LOG_MESSAGE_BUFFER_CHARS, L"Debug tag %s: %u lines suppressed", items[i].tag,
                         items[i].count);
         else
            qv_snwprintf(text, LOG_MESSAGE_BUFFER_CHARS, L"Untagged debug output: %u lines suppressed", items[i].count);
         LogWriteDebugMessage(items[i].tag, text);
         MetricsCountDebugLine();
         free(items[i].tag);
      }
      count = 0;
   }
};

struct CollectContext
{
   SummaryList *list;
   int64_t now;
   bool force;
   int64_t next;  // the earliest end of a window still waiting for its summary
};

EnumerationCallbackResult CollectDue(const wchar_t *tag, const void *value, void *context)
{
   auto *c = static_cast<CollectContext *>(context);
   auto *window = const_cast<FloodWindow *>(static_cast<const FloodWindow *>(value));
   c->list->collect(tag, window, c->now, c->force);
   if (window->suppressed > 0 && window->start + WINDOW_MS < c->next)
      c->next = window->start + WINDOW_MS;
   return CONTINUE_ENUMERATION;
}

/* Collects the summaries due at now (all pending ones, with force). Flood lock held. */
void CollectSummaries(SummaryList *list, int64_t now, bool force)
{
   CollectContext context{list, now, force, NO_SUMMARY};
   CollectDue(nullptr, &g_untagged, &context);
   if (g_tags != nullptr)
      g_tags->forEach(CollectDue, &context);
   g_nextSummary = context.next;
}

/* The window of tag, made when it has none; null when it cannot be tracked. Flood lock
 * held. */
FloodWindow *WindowOf(const wchar_t *tag, SummaryList *list, int64_t now)
{
   if (tag == nullptr)
      return &g_untagged;
   if (g_tags == nullptr)
   {
      g_tags = new (std::nothrow) StringObjectMap<FloodWindow>(true);
      if (g_tags == nullptr)
         return nullptr;
   }
   FloodWindow *window = g_tags->get(tag);
   if (window != nullptr)
      return window;
   if (g_tags->size() >= MAX_TRACKED_TAGS)
   {
      CollectSummaries(list, now, true);
      if (list->full)
         return nullptr;  // the tracking starts over once every summary is out
      g_tags->clear();
   }
   window = new (std::nothrow) FloodWindow();
   if (window == nullptr)
      return nullptr;
   g_tags->set(tag, window);
   return g_tags->get(tag);  // null when the map could not take it (and deleted it)
}

}  // namespace

namespace qv::log {

std::atomic<uint32_t> g_debugRateLimit{0};

bool DebugFloodAdmit(const wchar_t *tag)
{
   uint32_t limit = g_debugRateLimit.load(std::memory_order_relaxed);
   if (limit == 0)
      return true;
   int64_t now = DebugClockMs();
   SummaryList summaries;
   bool admit = true;
   {
      LockHold hold(&g_floodLock);
      if (now >= g_nextSummary)
         CollectSummaries(&summaries, now, false);
      FloodWindow *window = WindowOf(tag, &summaries, now);
      if (window != nullptr)
      {
         if (!window->open || now >= window->start + WINDOW_MS)
         {
            // A window that ended with lines cut had its summary collected above, or
            // keeps its count for the next call when the list was full.
            if (window->suppressed == 0)
            {
               window->start = now;
               window->lines = 0;
               window->open = true;
            }
         }
         if (window->lines < limit)
            window->lines++;
         else
         {
            admit = false;
            window->suppressed++;
            if (window->start + WINDOW_MS < g_nextSummary)
               g_nextSummary = window->start + WINDOW_MS;
         }
      }
   }
   summaries.write();
   if (!admit)
      MetricsCountDebugSuppressed(1);
   return admit;
}

}  // namespace qv::log

QV_API void qvlog_set_debug_rate_limit(uint32_t linesPerSecond)
{
   SummaryList summaries;
   do
   {
      summaries.write();
      summaries.full = false;
      LockHold hold(&g_floodLock);
      g_debugRateLimit.store(linesPerSecond, std::memory_order_relaxed);
      CollectSummaries(&summaries, 0, true);
      if (!summaries.full && g_tags != nullptr)
      {
         g_tags->clear();
         g_untagged = FloodWindow();
      }
   } while (summaries.full);
   summaries.write();
}
