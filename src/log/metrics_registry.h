/* The registry of the library's own figures: sources of the layers above enter and leave
 * it through these calls, and hand their figures to a sink when the registry reads them.
 * The log writer and the debug output are built-in sources of the registry itself. */
#ifndef QORVEL_LOG_METRICS_REGISTRY_H
#define QORVEL_LOG_METRICS_REGISTRY_H

#include <qv_metrics.h>

#include <atomic>

namespace qv::log {

/* The kinds of sources, in the order they are read. */
enum MetricsKind
{
   METRICS_THREAD_POOL,
   METRICS_WAIT_QUEUE,
   METRICS_RECEIVER,
   METRICS_LOG_WRITER,
   METRICS_DEBUG_OUTPUT,
   METRICS_KIND_COUNT
};

/* Takes the figures of one source, in the order the source gives them. */
class MetricsSink
{
public:
   virtual void add(const char *figure, int64_t value) = 0;
   virtual void add(const char *figure, double value) = 0;

protected:
   ~MetricsSink() = default;
};

/* Hands object's figures to sink. Runs under the registry's lock: it may take locks of its
 * own object (never one under which its object registers or unregisters), must not
 * register or unregister anything, and should not write debug output. */
using MetricsReader = void (*)(const void *object, MetricsSink *sink);

/* One source, embedded in its object: filled by the object, linked by the registry. */
struct MetricsSource
{
   MetricsKind kind;
   MetricsReader read;
   const void *object;
   wchar_t name[64];  // cut to 63 characters; set before registration, never changed while registered
   uint64_t id;       // set by the registry
   MetricsSource *prev;
   MetricsSource *next;
};

/* Fills source and enters it in the registry (name null: an empty name). */
void MetricsRegister(MetricsSource *source, MetricsKind kind, const wchar_t *name, MetricsReader read,
                     const void *object);

/* Renames a registered source (name cut as at registration). */
void MetricsRename(MetricsSource *source, const wchar_t *name);

/* Removes source; once it returns no read uses the source or its object any more. A
 * source never registered (id 0) is ignored. */
void MetricsUnregister(MetricsSource *source);

/* Counters of the built-in sources, updated by the log writer and the debug output. */
void MetricsCountLogLine();
void MetricsCountLogDrops(uint64_t lines);
void MetricsCountLogRotation();
void MetricsCountDebugLine();
void MetricsCountDebugSuppressed(uint64_t lines);

/* Relaxed increment of a counter that only one thread writes: a plain load and store,
 * without a locked instruction, so that readers on other threads see a value it had. */
template <typename Atomic> inline void SingleWriterIncrement(Atomic &counter, uint64_t by = 1)
{
   counter.store(counter.load(std::memory_order_relaxed) + by, std::memory_order_relaxed);
}

}  // namespace qv::log

#endif
