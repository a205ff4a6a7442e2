/* libqorvel The library's own figures: what its thread pools, message wait queues, message
 * receivers, log writer and debug output have done, read in one call. */
#ifndef QORVEL_QV_METRICS_H
#define QORVEL_QV_METRICS_H

#include <qv_base.h>

/* ---------------------------------------------------------------------------------------
 * Figures of the library
 *
 * Every thread pool, message wait queue and message receiver enters itself in one
 * registry when it is created and leaves it when it is destroyed; the log writer and the
 * debug output are always there. The sources count on their own paths with relaxed
 * atomic counters or with fields they update under the lock they take anyway; the
 * registry reads them only when asked. A read may run on any thread, at the same time as
 * sources come and go: a source being destroyed waits until a read that has begun with
 * it is done with it. Counters start at 0 when their source is created and count from
 * then on; the figures of one source are read together, those of different sources one
 * after another, not as one snapshot.
 *
 * Sources, in this order, each kind in the order its sources were created:
 *
 *   kind "thread_pool", one per pool, named by the pool's name:
 *     workers           worker threads now
 *     min_workers       the pool's minimum
 *     max_workers       the pool's maximum
 *     active            requests queued or running
 *     queued            requests in the work queue, waiting for a worker
 *     scheduled         requests scheduled for later
 *     requests          requests submitted since creation
 *     load_1m, load_5m, load_15m
 *                       load averages (a real number: requests queued or running)
 *     average_wait_ms   average wait of a request for a worker, milliseconds
 *     longest_wait_ms   longest wait of any request for a worker since creation
 *     stuck_tasks       tasks reported by the stuck-work watchdog
 *
 *   kind "wait_queue", one per MsgWaitQueue, named by its address ("0x..."):
 *     held              messages held now
 *     waiters           threads waiting now
 *     hold_time_ms      the hold time of messages put now
 *     expired           messages discarded by the housekeeper, nobody having collected them
 *     late_replies      messages put after the waiter for their code and id gave up
 *
 *   kind "receiver", one per message receiver, named by its transport ("socket",
 *   "channel", "tls", "pipe", or "receiver" for other subclasses):
 *     messages          messages returned
 *     bytes             bytes received
 *     decryption_failures
 *                       encrypted messages that could not be decrypted, or arrived with
 *                       no encryption context, and were dropped
 *
 *   kind "log_writer", one, named "log":
 *     lines_written     lines taken for writing (file, system log or background writer)
 *     lines_dropped     lines lost: refused by the file (a full disk) or written while the
 *                       background writer could not take them
 *     rotations         rotations of the file, explicit and automatic
 *
 *   kind "debug_output", one, named "debug":
 *     lines             debug lines that passed their level and were written
 *     suppressed        debug lines cut by the flood control (qvlog_set_debug_rate_limit)
 *
 * Every source also has an id: a number given at registration, unique in the process,
 * which tells apart sources of the same name.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus
class Table;

/* A new table (reference count 1; the caller releases it with decRefCount) of every
 * figure of every registered source, one row per figure, titled "Library metrics", with
 * the columns:
 *   0 "SOURCE"  the kind of the source ("thread_pool", "wait_queue", ...)
 *   1 "ID"      the source's id
 *   2 "NAME"    the source's name
 *   3 "FIGURE"  the figure's name ("workers", "late_replies", ...)
 *   4 "VALUE"   the value: integers in decimal, real numbers with six decimals
 * Rows come source by source in the order above, each source's figures in the order
 * listed. Null when out of memory. */
QV_API Table *GetLibraryMetrics(void);
#endif

/* The same figures as a new JSON object (the caller releases it with json_decref): one
 * member per kind, always present and in the order above, each an array with one object
 * per source, which holds "id" (integer), "name" (string) and one member per figure
 * (integers, or reals for the load averages):
 *   {"thread_pool": [{"id": 3, "name": "workers", "workers": 4, ..., "load_1m": 0.5, ...}],
 *    "wait_queue": [...], "receiver": [...], "log_writer": [{...}], "debug_output": [{...}]}
 * Null when out of memory. */
QV_API json_t *GetLibraryMetricsAsJson(void);

#endif
