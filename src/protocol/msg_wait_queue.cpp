/* Message wait queue: held messages (held_messages.h) under the queue's own lock, waiters
 * sleeping on per-slot events, and the one housekeeper thread that discards messages
 * nobody collected, for every queue of the process. */
#include <qv_protocol.h>
#include <qv_log.h>

#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>
#include <chrono>
#include <thread>

#include "platform/sync.h"
#include "platform/thread_start.h"
#include "protocol/held_messages.h"
#include "protocol/protocol_figures.h"
#include "sync/lock_guard.h"

using namespace qv::platform;
using qv::protocol::HeldMessages;
using qv::protocol::WaitQueueFigures;
using qv::sync::LockGuard;

namespace qv::protocol {

/* The one friend of MsgWaitQueue: the queue's own operations, each on the queue it is
 * given. */
struct WaitQueueInternals
{
   /* Holds msg under code and id and wakes the waiters. */
   static void insert(MsgWaitQueue *q, void *msg, uint16_t code, uint32_t id, bool raw);
   /* The oldest held message of the kind with this code and id, waiting up to timeout. */
   static void *wait(MsgWaitQueue *q, uint16_t code, uint32_t id, uint32_t timeout, bool raw);
   static void *take(MsgWaitQueue *q, uint16_t code, uint32_t id, bool raw);
   static int acquireWaitSlot(MsgWaitQueue *q);
   static void releaseWaitSlot(MsgWaitQueue *q, int slot);
   /* Discards the messages held past their hold time; returns how many. */
   static int32_t discardExpired(MsgWaitQueue *q, uint64_t now);
   static void housekeeperThread(void *arg);
   /* Hands the queue's figures to the registry (a MetricsReader). */
   static void readFigures(const void *queue, qv::log::MetricsSink *sink);
};

}  // namespace qv::protocol

using qv::protocol::WaitQueueInternals;

namespace {

/* A waiter without a wait slot looks again after this many milliseconds. */
constexpr uint32_t SLOTLESS_POLL_INTERVAL = 50;

/* Shortest interval between housekeeper passes, so that the thread never spins. */
constexpr uint32_t MIN_HOUSEKEEPER_INTERVAL = 10;

const wchar_t *const DEBUG_TAG = L"msgwq";

/* Debug level of the housekeeper's report of the messages it discarded. */
constexpr int DISCARD_DEBUG_LEVEL = 7;

/* Debug level of the report of a reply put after its waiter gave up. */
constexpr int LATE_REPLY_DEBUG_LEVEL = 5;

/* Characters of a queue's name in the figures ("0x" and its address). */
constexpr size_t QUEUE_NAME_CHARS = 24;

/* State shared by every queue. It is never destroyed, so that a queue destroyed late in
 * process exit still finds its lock. */
struct Housekeeper
{
   Mutex lock;              // taken before any queue's own lock
   Condition wakeup{true};  // manual reset: set by shutdown and by an interval change
   HashMap<uint64_t, MsgWaitQueue> *activeQueues = new HashMap<uint64_t, MsgWaitQueue>(false);  // null after shutdown
   qorvel_thread_t *thread = nullptr;
   bool shutDown = false;       // shutdown() was called: no new housekeeper, no registration
   bool exitHookAdded = false;  // shutdown is registered to run at process exit
   std::atomic<bool> stopping{false};
   std::atomic<uint32_t> interval{MsgWaitQueue::DEFAULT_HOUSEKEEPER_INTERVAL};
   std::atomic<bool> restartPending{false};  // a forked child holds queues but no housekeeper yet
};

void ForkPrepare();
void ForkParent();
void ForkChild();

Housekeeper *&State()
{
   static Housekeeper *state = [] {
      ForkHandlersAdd(ForkPrepare, ForkParent, ForkChild);
      return new Housekeeper();
   }();
   return state;
}

Housekeeper &Shared()
{
   return *State();
}

/* The registry is taken across a fork so that the child's copy is consistent. */
void ForkPrepare()
{
   Shared().lock.lock();
}

void ForkParent()
{
   Shared().lock.unlock();
}

/* The child has none of the parent's threads: its lock (held by the prepare handler), its
 * wake-up condition (which may record the parent's sleeping housekeeper) and its thread
 * record all belong to the parent. The child starts over with state of its own that keeps
 * the registered queues and settings; the housekeeper is started again by the next queue
 * built or used. The old state is kept reachable and never touched again. */
void ForkChild()
{
   [[maybe_unused]] static Housekeeper *abandoned = nullptr;
   Housekeeper *old = State();
   Housekeeper *fresh = new Housekeeper();
   delete fresh->activeQueues;
   fresh->activeQueues = old->activeQueues;
   fresh->shutDown = old->shutDown;
   fresh->exitHookAdded = old->exitHookAdded;
   fresh->interval.store(old->interval.load());
   fresh->restartPending.store(old->thread != nullptr && !old->shutDown);
   old->activeQueues = nullptr;
   abandoned = old;
   State() = fresh;
}

void ShutdownAtExit()
{
   MsgWaitQueue::shutdown();
}

/* Starts the housekeeper unless it runs or the queues were shut down; called with the lock
 * held. */
void StartHousekeeper(Housekeeper &hk, ThreadEntry routine)
{
   hk.restartPending.store(false);
   if (hk.thread != nullptr || hk.shutDown)
      return;
   hk.thread = ThreadStart(routine, 0, nullptr);
   if (hk.thread == nullptr)
      qvlog_debug_tag(DEBUG_TAG, 1, L"MsgWaitQueue: cannot start the housekeeper thread");
   else if (!hk.exitHookAdded)
      hk.exitHookAdded = (atexit(ShutdownAtExit) == 0);
}

/* Built as the library loads, before any caller can construct a queue. */
[[maybe_unused]] const bool g_loadTimeState = (State() != nullptr);

inline uint64_t RegistryKey(const MsgWaitQueue *queue)
{
   return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(queue));
}

}  // namespace

MsgWaitQueue::MsgWaitQueue()
    : m_lock(LockCreate()), m_holdTime(DEFAULT_HOLD_TIME), m_held(new HeldMessages()),
      m_figures(new (std::nothrow) WaitQueueFigures())
{
   memset(m_waitEvents, 0, sizeof(m_waitEvents));
   memset(m_waitSlots, 0, sizeof(m_waitSlots));
   m_waitEvents[0] = EventCreate(false);
   if (m_figures != nullptr)
   {
      wchar_t name[QUEUE_NAME_CHARS];
      qv_snwprintf(name, QUEUE_NAME_CHARS, L"0x%I64X", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this)));
      qv::log::MetricsRegister(&m_figures->source, qv::log::METRICS_WAIT_QUEUE, name, WaitQueueInternals::readFigures,
                               this);
   }

   Housekeeper &hk = Shared();
   LockGuard lock(hk.lock);
   if (hk.activeQueues != nullptr)
      hk.activeQueues->set(RegistryKey(this), this);
   StartHousekeeper(hk, WaitQueueInternals::housekeeperThread);
}

MsgWaitQueue::~MsgWaitQueue()
{
   if (m_figures != nullptr)
      qv::log::MetricsUnregister(&m_figures->source);
   Housekeeper &hk = Shared();
   LockGuard lock(hk.lock);
   if (hk.activeQueues != nullptr)
      hk.activeQueues->remove(RegistryKey(this));
   lock.release();

   clear();
   delete m_held;
   delete m_figures;
   LockDestroy(m_lock);
   for (QvEvent *event : m_waitEvents)
   {
      if (event != nullptr)
         EventDestroy(event);
   }
}

void MsgWaitQueue::put(QVCPMessage *msg)
{
   if (msg != nullptr)
      WaitQueueInternals::insert(this, msg, msg->getCode(), msg->getId(), false);
}

void MsgWaitQueue::put(QVCP_MESSAGE *msg)
{
   if (msg != nullptr)
      WaitQueueInternals::insert(this, msg, msg->code, msg->id, true);
}

void WaitQueueInternals::insert(MsgWaitQueue *q, void *msg, uint16_t code, uint32_t id, bool raw)
{
   Housekeeper &hk = Shared();
   if (hk.restartPending.load(std::memory_order_relaxed))
   {
      LockGuard lock(hk.lock);
      StartHousekeeper(hk, WaitQueueInternals::housekeeperThread);
   }
   LockAcquire(q->m_lock);
   // A reply for a wait that gave up is held all the same: its thread may ask again.
   bool late = q->m_figures != nullptr && q->m_figures->gaveUpCount > 0 && q->m_figures->forget(code, id, raw);
   if (late)
      q->m_figures->lateReplies++;
   if (!q->m_held->add(msg, code, id, raw, q->m_holdTime, MonotonicMs()))
   {
      LockRelease(q->m_lock);
      qvlog_debug_tag(DEBUG_TAG, 1, L"MsgWaitQueue: no room for message %d (id %u), discarded", code, id);
      HeldMessages::release(msg, raw);
      return;
   }

   // Every waiter looks again; only the one whose code and id match takes the message.
   // The events are set after the lock is released, so that a woken waiter does not run
   // straight into the lock still held. A slot changing hands meanwhile costs at most one
   // extra look to its new owner.
   QvEvent *wake[MsgWaitQueue::MAX_WAIT_SLOTS];
   int count = 0;
   for (int i = 0; i < MsgWaitQueue::MAX_WAIT_SLOTS; i++)
   {
      if (q->m_waitSlots[i] != 0)
         wake[count++] = q->m_waitEvents[i];
   }
   LockRelease(q->m_lock);
   for (int i = 0; i < count; i++)
      EventSet(wake[i]);
   if (late)
      qvlog_debug_tag(DEBUG_TAG, LATE_REPLY_DEBUG_LEVEL,
                      L"MsgWaitQueue: late reply: message %d (id %u) put after its waiter gave up", code, id);
}

QVCPMessage *MsgWaitQueue::waitForMessage(uint16_t code, uint32_t id, uint32_t timeout)
{
   return static_cast<QVCPMessage *>(WaitQueueInternals::wait(this, code, id, timeout, false));
}

QVCP_MESSAGE *MsgWaitQueue::waitForRawMessage(uint16_t code, uint32_t id, uint32_t timeout)
{
   return static_cast<QVCP_MESSAGE *>(WaitQueueInternals::wait(this, code, id, timeout, true));
}

/* Removes and returns the oldest held message of the kind with this code and id; null
 * when none is held. Called under the queue's lock. */
void *WaitQueueInternals::take(MsgWaitQueue *q, uint16_t code, uint32_t id, bool raw)
{
   return q->m_held->takeOldest(code, id, raw);
}

/* Takes the first free wait slot, creating its event when it has none; -1 when every slot
 * is taken (or the event cannot be created). Called under the queue's lock. */
int WaitQueueInternals::acquireWaitSlot(MsgWaitQueue *q)
{
   for (int i = 0; i < MsgWaitQueue::MAX_WAIT_SLOTS; i++)
   {
      if (q->m_waitSlots[i] != 0)
         continue;
      if (q->m_waitEvents[i] == nullptr)
         q->m_waitEvents[i] = EventCreate(false);
      if (q->m_waitEvents[i] == nullptr)
         return -1;
      q->m_waitSlots[i] = 1;
      return i;
   }
   return -1;
}

/* Frees the slot. A set that its waiter did not consume is cleared, so that the next
 * owner does not wake for nothing. Called under the queue's lock. */
void WaitQueueInternals::releaseWaitSlot(MsgWaitQueue *q, int slot)
{
   q->m_waitSlots[slot] = 0;
   EventReset(q->m_waitEvents[slot]);
}

void *WaitQueueInternals::wait(MsgWaitQueue *q, uint16_t code, uint32_t id, uint32_t timeout, bool raw)
{
   int slot = -1;
   uint32_t remaining = timeout;
   bool counted = false;  // in the queue's waiters
   WaitQueueFigures *figures = q->m_figures;
   LockAcquire(q->m_lock);
   // A wait for a code and id that gave up before waits for it again: its reply is not late.
   if (figures != nullptr && figures->gaveUpCount > 0)
      figures->forget(code, id, raw);
   void *msg;
   // The queue is scanned once more after the last sleep, so that a message put just at
   // the deadline is not left behind.
   while ((msg = take(q, code, id, raw)) == nullptr && remaining > 0)
   {
      uint64_t start = MonotonicMs();
      if (!counted && figures != nullptr)
      {
         figures->waiters++;
         counted = true;
      }
      if (slot < 0)
         slot = acquireWaitSlot(q);
      QvEvent *event = (slot >= 0) ? q->m_waitEvents[slot] : nullptr;
      LockRelease(q->m_lock);
      if (event != nullptr)
         EventWait(event, remaining);
      else
         std::this_thread::sleep_for(
             std::chrono::milliseconds((remaining < SLOTLESS_POLL_INTERVAL) ? remaining : SLOTLESS_POLL_INTERVAL));
      LockAcquire(q->m_lock);
      if (remaining != INFINITE)
      {
         uint64_t elapsed = MonotonicMs() - start;
         remaining -= (elapsed < remaining) ? static_cast<uint32_t>(elapsed) : remaining;
      }
   }
   if (slot >= 0)
      releaseWaitSlot(q, slot);
   if (counted)
   {
      figures->waiters--;
      // Only a wait that waited gives up: one that looked once (timeout 0) did not.
      if (msg == nullptr)
         figures->remember(code, id, raw);
   }
   LockRelease(q->m_lock);
   return msg;
}

void MsgWaitQueue::setHoldTime(uint32_t holdTime)
{
   LockAcquire(m_lock);
   m_holdTime = holdTime;
   LockRelease(m_lock);
}

void MsgWaitQueue::clear()
{
   LockAcquire(m_lock);
   m_held->clear();
   LockRelease(m_lock);
}

/* One housekeeper pass over this queue: discards the messages held for their hold time
 * and, when that leaves the queue empty, shrinks its storage back; returns how many
 * were discarded. */
int32_t WaitQueueInternals::discardExpired(MsgWaitQueue *q, uint64_t now)
{
   LockAcquire(q->m_lock);
   int32_t discarded = q->m_held->discardExpired(now);
   if (q->m_figures != nullptr)
      q->m_figures->expired += static_cast<uint64_t>(discarded);
   LockRelease(q->m_lock);
   return discarded;
}

void WaitQueueInternals::readFigures(const void *object, qv::log::MetricsSink *sink)
{
   MsgWaitQueue *q = const_cast<MsgWaitQueue *>(static_cast<const MsgWaitQueue *>(object));
   LockAcquire(q->m_lock);
   int64_t held = q->m_held->size();
   int64_t waiters = q->m_figures->waiters;
   int64_t holdTime = q->m_holdTime;
   int64_t expired = static_cast<int64_t>(q->m_figures->expired);
   int64_t late = static_cast<int64_t>(q->m_figures->lateReplies);
   LockRelease(q->m_lock);
   sink->add("held", held);
   sink->add("waiters", waiters);
   sink->add("hold_time_ms", holdTime);
   sink->add("expired", expired);
   sink->add("late_replies", late);
}

void WaitQueueInternals::housekeeperThread(void *)
{
   ThreadSetName(nullptr, "MsgWaitQueue");
   Housekeeper &hk = Shared();
   while (true)
   {
      hk.wakeup.wait(hk.interval.load());
      // Reset before looking at the stop flag: a shutdown that sets the condition after
      // this point is seen at the next wait at the latest.
      hk.wakeup.reset();
      if (hk.stopping.load())
         break;

      LockGuard lock(hk.lock);
      if (hk.activeQueues == nullptr)
         continue;
      struct Pass
      {
         uint64_t now;
         int32_t discarded;
      } pass = {MonotonicMs(), 0};
      hk.activeQueues->forEach(
          [](const void *, const void *value, void *context) {
             Pass *p = static_cast<Pass *>(context);
             p->discarded +=
                 discardExpired(const_cast<MsgWaitQueue *>(static_cast<const MsgWaitQueue *>(value)), p->now);
             return CONTINUE_ENUMERATION;
          },
          &pass);
      lock.release();
      if (pass.discarded > 0)
         qvlog_debug_tag(DEBUG_TAG, DISCARD_DEBUG_LEVEL, L"MsgWaitQueue: %d unclaimed messages discarded",
                         pass.discarded);
   }
}

void MsgWaitQueue::shutdown()
{
   Housekeeper &hk = Shared();
   // The record is taken under the lock, so that of two concurrent calls only one waits
   // for the thread and releases it.
   LockGuard lock(hk.lock);
   hk.shutDown = true;
   qorvel_thread_t *thread = hk.thread;
   hk.thread = nullptr;
   lock.release();

   hk.stopping.store(true);
   hk.wakeup.set();
   if (thread != nullptr)
      ThreadWaitForExit(thread);

   lock.relock();
   delete hk.activeQueues;
   hk.activeQueues = nullptr;
}

void MsgWaitQueue::setHousekeeperInterval(uint32_t interval)
{
   Housekeeper &hk = Shared();
   hk.interval.store((interval < MIN_HOUSEKEEPER_INTERVAL) ? MIN_HOUSEKEEPER_INTERVAL : interval);
   hk.wakeup.set();
}

String MsgWaitQueue::getDiagInfo()
{
   Housekeeper &hk = Shared();
   String text;
   LockGuard lock(hk.lock);
   int32_t count = (hk.activeQueues != nullptr) ? hk.activeQueues->size() : 0;
   text.append(count);
   text += L" active queues\nHousekeeper thread state is ";
   text += (hk.thread != nullptr) ? L"RUNNING\n" : L"STOPPED\n";
   if (count > 0)
   {
      text += L"Active queues:\n";
      hk.activeQueues->forEach(
          [](const void *, const void *value, void *context) {
             MsgWaitQueue *queue = const_cast<MsgWaitQueue *>(static_cast<const MsgWaitQueue *>(value));
             LockAcquire(queue->m_lock);
             static_cast<String *>(context)->appendFormattedString(
                 L"   %p size=%d holdTime=%d\n", queue, queue->m_held->size(), static_cast<int32_t>(queue->m_holdTime));
             LockRelease(queue->m_lock);
             return CONTINUE_ENUMERATION;
          },
          &text);
   }
   return text;
}
