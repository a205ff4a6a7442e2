/* Queue: a ring of untyped pointers under one re-entrant mutex, with an auto-reset event
 * that wakes blocked readers. */
#include <qv_containers.h>

#include <stdlib.h>
#include <string.h>

#include "platform/sync.h"
#include "sync/lock_guard.h"

using qv::platform::MonotonicMs;
using qv::sync::LockGuard;

/* Matches a key against an element for find and remove. */
typedef bool (*QueueComparator)(const void *key, const void *element);

namespace qv::containers {

/* The one friend of Queue: its ring storage, each operation on the queue given. The
 * callers hold the queue's mutex. */
struct QueueInternals
{
   /* Reallocates the storage to slots; false, with the storage unchanged, on failure. */
   static bool resize(Queue *queue, uint32_t slots);
   static bool growIfFull(Queue *queue);
   static void shrink(Queue *queue);
   /* The oldest element that is not a hole, removed; null when none. */
   static void *take(Queue *queue);
   static bool signalNeeded(const Queue *queue);
   static bool findSlot(const Queue *queue, const void *key, QueueComparator comparator, bool skipMarker,
                        uint32_t *slot);
};

}  // namespace qv::containers

using qv::containers::QueueInternals;

Queue::Queue() : Queue(DEFAULT_INITIAL_SIZE, DEFAULT_BUFFER_INCREMENT) {}

Queue::Queue(unsigned int initialSize, unsigned int bufferIncrement)
    : m_condition(false), m_elements(nullptr), m_numElements(0), m_bufferSize(0), m_initialSize(initialSize),
      m_first(0), m_last(0), m_bufferIncrement((bufferIncrement > 0) ? bufferIncrement : 1), m_shutdownFlag(false),
      m_waitingReaders(0)
{
   QueueInternals::resize(this, initialSize);
}

Queue::~Queue()
{
   free(m_elements);
}

/* Reallocates the storage to slots (a queue of no slots keeps one, so that the block is
 * never of size 0). False, with the storage unchanged, when that fails. */
bool QueueInternals::resize(Queue *queue, uint32_t slots)
{
   size_t bytes = ((slots > 0) ? slots : 1) * sizeof(void *);
   void **elements = static_cast<void **>(realloc(queue->m_elements, bytes));
   if (elements == nullptr)
      return false;
   queue->m_elements = elements;
   queue->m_bufferSize = slots;
   return true;
}

/* Makes room for one more element; false when the storage cannot grow. */
bool QueueInternals::growIfFull(Queue *queue)
{
   if (queue->m_numElements < queue->m_bufferSize)
      return true;
   uint32_t oldSize = queue->m_bufferSize;
   if (queue->m_bufferIncrement > UINT32_MAX - oldSize || !resize(queue, oldSize + queue->m_bufferIncrement))
      return false;
   if (queue->m_first == 0)
   {
      // The ring fills slots 0 to oldSize - 1 in order: the new slots follow it.
      queue->m_last = oldSize;
   }
   else
   {
      // The part from first to the old end moves to the end, opening the gap after last.
      memmove(&queue->m_elements[queue->m_first + queue->m_bufferIncrement], &queue->m_elements[queue->m_first],
              (oldSize - queue->m_first) * sizeof(void *));
      queue->m_first += queue->m_bufferIncrement;
   }
   return true;
}

/* Returns to the initial size once no more than half of it is occupied and the occupied
 * slots do not wrap. */
void QueueInternals::shrink(Queue *queue)
{
   if (queue->m_bufferSize == queue->m_initialSize || queue->m_numElements > queue->m_initialSize / 2)
      return;
   if (queue->m_numElements == 0)
   {
      // The positions may lie beyond the smaller buffer (always possible when half the
      // initial size is 0): an empty ring starts again at slot 0.
      queue->m_first = 0;
      queue->m_last = 0;
   }
   else
   {
      if (queue->m_last < queue->m_first)
         return;
      if (queue->m_first != 0)
      {
         memmove(queue->m_elements, &queue->m_elements[queue->m_first], queue->m_numElements * sizeof(void *));
         queue->m_last -= queue->m_first;
         queue->m_first = 0;
      }
   }
   resize(queue, queue->m_initialSize);
}

/* The body of get(); the caller holds the mutex. */
void *QueueInternals::take(Queue *queue)
{
   if (queue->m_shutdownFlag)
      return QUEUE_SHUTDOWN_MARKER;
   void *element = nullptr;
   while (element == nullptr && queue->m_numElements > 0)
   {
      element = queue->m_elements[queue->m_first];
      queue->m_numElements--;
      queue->m_first = queue->nextSlot(queue->m_first);
   }
   shrink(queue);
   return element;
}

/* Whether a put, or a reader leaving the wait, must signal the event: only a reader in
 * getOrBlock's wait needs it. The event keeps one signal however many puts came before a
 * reader waited, and the shutdown signals it once, so a reader that leaves elements or
 * shutdown behind signals it again for the next one. The caller holds the mutex. */
bool QueueInternals::signalNeeded(const Queue *queue)
{
   return queue->m_waitingReaders > 0 && (queue->m_shutdownFlag || queue->m_numElements > 0);
}

void Queue::put(void *element)
{
   LockGuard lock(m_mutex);
   bool stored = QueueInternals::growIfFull(this);
   if (stored)
   {
      m_elements[m_last] = element;
      m_last = nextSlot(m_last);
      m_numElements++;
   }
   bool signal = stored && QueueInternals::signalNeeded(this);
   lock.release();
   // Signalled outside the lock, so that the woken reader does not run into it.
   if (signal)
      m_condition.set();
}

void Queue::insert(void *element)
{
   LockGuard lock(m_mutex);
   bool stored = QueueInternals::growIfFull(this);
   if (stored)
   {
      m_first = (m_first == 0) ? m_bufferSize - 1 : m_first - 1;
      m_elements[m_first] = element;
      m_numElements++;
   }
   bool signal = stored && QueueInternals::signalNeeded(this);
   lock.release();
   if (signal)
      m_condition.set();
}

void *Queue::get()
{
   LockGuard lock(m_mutex);
   return QueueInternals::take(this);
}

void *Queue::getOrBlock(unsigned int timeout)
{
   LockGuard lock(m_mutex);
   void *element = QueueInternals::take(this);
   if (element != nullptr)
      return element;
   uint64_t deadline = (timeout != INFINITE) ? MonotonicMs() + timeout : 0;
   uint32_t waitTime = timeout;
   m_waitingReaders++;
   for (;;)
   {
      lock.release();
      bool signalled = m_condition.wait(waitTime);
      lock.relock();
      if (!signalled)
         break;
      element = QueueInternals::take(this);
      if (element != nullptr)
         break;
      // Another reader took what the signal was for: wait again for the rest of the time.
      if (timeout != INFINITE)
      {
         uint64_t now = MonotonicMs();
         if (now >= deadline)
            break;
         waitTime = static_cast<uint32_t>(deadline - now);
      }
   }
   m_waitingReaders--;
   bool signal = QueueInternals::signalNeeded(this);
   lock.release();
   if (signal)
      m_condition.set();
   return element;
}

void Queue::clear()
{
   LockGuard lock(m_mutex);
   m_numElements = 0;
   m_first = 0;
   m_last = 0;
   QueueInternals::shrink(this);
}

void Queue::setShutdownMode()
{
   LockGuard lock(m_mutex);
   m_shutdownFlag = true;
   m_condition.set();
}

/* The first occupied slot, from first, whose element is not a hole (nor the shutdown
 * marker, with skipMarker) and satisfies comparator; false if none. The caller holds the
 * mutex. */
bool QueueInternals::findSlot(const Queue *queue, const void *key, QueueComparator comparator, bool skipMarker,
                              uint32_t *slot)
{
   for (uint32_t i = 0, pos = queue->m_first; i < queue->m_numElements; i++, pos = queue->nextSlot(pos))
   {
      const void *element = queue->m_elements[pos];
      if (element != nullptr && !(skipMarker && element == QUEUE_SHUTDOWN_MARKER) && comparator(key, element))
      {
         *slot = pos;
         return true;
      }
   }
   return false;
}

void *Queue::find(void *key, bool (*comparator)(const void *key, const void *element))
{
   LockGuard lock(m_mutex);
   uint32_t slot;
   return QueueInternals::findSlot(this, key, comparator, true, &slot) ? m_elements[slot] : nullptr;
}

bool Queue::remove(void *key, bool (*comparator)(const void *key, const void *element))
{
   LockGuard lock(m_mutex);
   uint32_t slot;
   bool removed = QueueInternals::findSlot(this, key, comparator, false, &slot);
   if (removed)
      m_elements[slot] = nullptr;
   return removed;
}

int Queue::size() const
{
   LockGuard lock(m_mutex);
   return static_cast<int>(m_numElements);
}

int Queue::allocated() const
{
   LockGuard lock(m_mutex);
   return static_cast<int>(m_bufferSize);
}
