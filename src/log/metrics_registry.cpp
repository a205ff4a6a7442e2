/* The registry of the library's own figures: one list of sources per kind under one lock,
 * read into a Table or a JSON document. The lock is held for a whole read, so a source
 * that unregisters waits until no read uses it any more. */
#include "log/metrics_registry.h"

#include "platform/sync.h"
#include "platform/thread_start.h"

#include <qv_data.h>
#include <qv_strings.h>

#include <jansson.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <atomic>
#include <new>

using namespace qv::log;
using qv::platform::LOCK_FREE;
using qv::platform::LOCK_SPIN_COUNT;
using qv::platform::LockHold;
using qv::platform::QvLock;

namespace {

/* Names of the kinds, in MetricsKind order: the SOURCE column and the JSON members. */
const char *const KIND_NAMES[METRICS_KIND_COUNT] = {"thread_pool", "wait_queue", "receiver", "log_writer",
                                                    "debug_output"};

/* Ids of the built-in sources; registered sources are numbered after them. */
constexpr uint64_t LOG_WRITER_ID = 1;
constexpr uint64_t DEBUG_OUTPUT_ID = 2;
constexpr uint64_t FIRST_SOURCE_ID = 3;

/* Columns of the table. */
enum MetricsColumn
{
   COLUMN_SOURCE,
   COLUMN_ID,
   COLUMN_NAME,
   COLUMN_FIGURE,
   COLUMN_VALUE
};

/* Characters of a source name, terminator included (MetricsSource::name). */
constexpr size_t NAME_CHARS = sizeof(MetricsSource::name) / sizeof(wchar_t);

QvLock g_registryLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};
MetricsSource *g_first[METRICS_KIND_COUNT];  // under g_registryLock
MetricsSource *g_last[METRICS_KIND_COUNT];
uint64_t g_nextId = FIRST_SOURCE_ID;

// Counters of the built-in sources, written by any thread.
std::atomic<uint64_t> g_logLines{0};
std::atomic<uint64_t> g_logDrops{0};
std::atomic<uint64_t> g_logRotations{0};
std::atomic<uint64_t> g_debugLines{0};
std::atomic<uint64_t> g_debugSuppressed{0};

int64_t Figure(const std::atomic<uint64_t> &counter)
{
   return static_cast<int64_t>(counter.load(std::memory_order_relaxed));
}

void ReadLogWriter(const void *, MetricsSink *sink)
{
   sink->add("lines_written", Figure(g_logLines));
   sink->add("lines_dropped", Figure(g_logDrops));
   sink->add("rotations", Figure(g_logRotations));
}

void ReadDebugOutput(const void *, MetricsSink *sink)
{
   sink->add("lines", Figure(g_debugLines));
   sink->add("suppressed", Figure(g_debugSuppressed));
}

/* Receives the sources one by one, then their figures. */
class SourceVisitor : public MetricsSink
{
public:
   virtual void beginSource(MetricsKind kind, uint64_t id, const wchar_t *name) = 0;

protected:
   ~SourceVisitor() = default;
};

/* Walks every source, kind by kind, under the registry's lock. */
void VisitSources(SourceVisitor *visitor)
{
   LockHold hold(&g_registryLock);
   for (int kind = 0; kind < METRICS_KIND_COUNT; kind++)
   {
      if (kind == METRICS_LOG_WRITER)
      {
         visitor->beginSource(METRICS_LOG_WRITER, LOG_WRITER_ID, L"log");
         ReadLogWriter(nullptr, visitor);
      }
      else if (kind == METRICS_DEBUG_OUTPUT)
      {
         visitor->beginSource(METRICS_DEBUG_OUTPUT, DEBUG_OUTPUT_ID, L"debug");
         ReadDebugOutput(nullptr, visitor);
      }
      for (MetricsSource *source = g_first[kind]; source != nullptr; source = source->next)
      {
         visitor->beginSource(source->kind, source->id, source->name);
         source->read(source->object, visitor);
      }
   }
}

/* One row per figure. */
class TableVisitor final : public SourceVisitor
{
   Table *m_table;
   MetricsKind m_kind = METRICS_THREAD_POOL;
   int64_t m_id = 0;
   const wchar_t *m_name = L"";

   void addRow(const char *figure)
   {
      m_table->addRow();
      m_table->set(COLUMN_SOURCE, KIND_NAMES[m_kind]);
      m_table->set(COLUMN_ID, m_id);
      m_table->set(COLUMN_NAME, m_name);
      m_table->set(COLUMN_FIGURE, figure);
   }

public:
   explicit TableVisitor(Table *table) : m_table(table) {}

   void beginSource(MetricsKind kind, uint64_t id, const wchar_t *name) override
   {
      m_kind = kind;
      m_id = static_cast<int64_t>(id);
      m_name = name;
   }
   void add(const char *figure, int64_t value) override
   {
      addRow(figure);
      m_table->set(COLUMN_VALUE, value);
   }
   void add(const char *figure, double value) override
   {
      addRow(figure);
      m_table->set(COLUMN_VALUE, value);
   }
};

/* One object per source in the array of its kind. A failed allocation leaves the figure
 * or the source out and marks the document as failed. */
class JsonVisitor final : public SourceVisitor
{
   json_t *m_root;
   json_t *m_source = nullptr;  // borrowed from its array
   bool m_failed = false;

   void put(const char *figure, json_t *value)
   {
      if (m_source == nullptr || json_object_set_new(m_source, figure, value) != 0)
         m_failed = true;
   }

public:
   explicit JsonVisitor(json_t *root) : m_root(root) {}
   bool failed() const { return m_failed; }

   void beginSource(MetricsKind kind, uint64_t id, const wchar_t *name) override
   {
      m_source = nullptr;
      json_t *source = json_object();
      json_t *array = json_object_get(m_root, KIND_NAMES[kind]);
      if (source == nullptr || array == nullptr || json_array_append_new(array, source) != 0)
      {
         m_failed = true;
         return;
      }
      m_source = source;
      put("id", json_integer(static_cast<json_int_t>(id)));
      char *utf8 = UTF8StringFromWideString(name);
      put("name", (utf8 != nullptr) ? json_string(utf8) : nullptr);
      free(utf8);
   }
   void add(const char *figure, int64_t value) override { put(figure, json_integer(value)); }
   void add(const char *figure, double value) override { put(figure, json_real(value)); }
};

/* The registry's lock is held across a fork, so that the child's lists are whole; the
 * child, whose one thread does not own the copy, starts with a fresh lock. */
void ForkPrepare()
{
   qv::platform::LockAcquire(&g_registryLock);
}

void ForkParent()
{
   qv::platform::LockRelease(&g_registryLock);
}

void ForkChild()
{
   qv::platform::LockInit(&g_registryLock);
}

void AddForkHandlersOnce()
{
   static const bool added = (qv::platform::ForkHandlersAdd(ForkPrepare, ForkParent, ForkChild), true);
   (void)added;
}

void CopyName(MetricsSource *source, const wchar_t *name)
{
   size_t length = 0;
   for (; name != nullptr && name[length] != 0 && length < NAME_CHARS - 1; length++)
      source->name[length] = name[length];
   source->name[length] = 0;
}

}  // namespace

namespace qv::log {

void MetricsRegister(MetricsSource *source, MetricsKind kind, const wchar_t *name, MetricsReader read,
                     const void *object)
{
   source->kind = kind;
   source->read = read;
   source->object = object;
   CopyName(source, name);
   source->next = nullptr;
   AddForkHandlersOnce();
   LockHold hold(&g_registryLock);
   source->id = g_nextId++;
   source->prev = g_last[kind];
   if (g_last[kind] != nullptr)
      g_last[kind]->next = source;
   else
      g_first[kind] = source;
   g_last[kind] = source;
}

void MetricsRename(MetricsSource *source, const wchar_t *name)
{
   LockHold hold(&g_registryLock);
   CopyName(source, name);
}

void MetricsUnregister(MetricsSource *source)
{
   if (source->id == 0)
      return;
   LockHold hold(&g_registryLock);
   MetricsKind kind = source->kind;
   if (source->prev != nullptr)
      source->prev->next = source->next;
   else
      g_first[kind] = source->next;
   if (source->next != nullptr)
      source->next->prev = source->prev;
   else
      g_last[kind] = source->prev;
   source->id = 0;
   source->prev = source->next = nullptr;
}

void MetricsCountLogLine()
{
   g_logLines.fetch_add(1, std::memory_order_relaxed);
}

void MetricsCountLogDrops(uint64_t lines)
{
   g_logDrops.fetch_add(lines, std::memory_order_relaxed);
}

void MetricsCountLogRotation()
{
   g_logRotations.fetch_add(1, std::memory_order_relaxed);
}

void MetricsCountDebugLine()
{
   g_debugLines.fetch_add(1, std::memory_order_relaxed);
}

void MetricsCountDebugSuppressed(uint64_t lines)
{
   g_debugSuppressed.fetch_add(lines, std::memory_order_relaxed);
}

}  // namespace qv::log

QV_API Table *GetLibraryMetrics(void)
{
   Table *table = new (std::nothrow) Table();
   if (table == nullptr)
      return nullptr;
   table->setTitle(L"Library metrics");
   table->addColumn(L"SOURCE");
   table->addColumn(L"ID");
   table->addColumn(L"NAME");
   table->addColumn(L"FIGURE");
   table->addColumn(L"VALUE");
   TableVisitor visitor(table);
   VisitSources(&visitor);
   return table;
}

QV_API json_t *GetLibraryMetricsAsJson(void)
{
   json_t *root = json_object();
   if (root == nullptr)
      return nullptr;
   for (const char *kind : KIND_NAMES)
   {
      if (json_object_set_new(root, kind, json_array()) != 0)
      {
         json_decref(root);
         return nullptr;
      }
   }
   JsonVisitor visitor(root);
   VisitSources(&visitor);
   if (visitor.failed())
   {
      json_decref(root);
      return nullptr;
   }
   return root;
}
