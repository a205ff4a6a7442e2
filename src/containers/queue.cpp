/* Queue: a ring of untyped pointers under one re-entrant mutex, with an auto-reset event
 * that wakes blocked readers. */
#include <qv_containers.h>

#include <stdlib.h>
#include <string.h>

#include "platform/sync.h"
#include "sync/lock_guard.h"

using qv::platform::MonotonicMs;
using qv::sync::LockGuard;

Queue::Queue() : Queue(DEFAULT_INITIAL_SIZE, DEFAULT_BUFFER_INCREMENT) {}

Queue::Queue(unsigned int initialSize, unsigned int bufferIncrement)
    : m_condition(false), m_elements(nullptr), m_numElements(0), m_bufferSize(0), m_initialSize(initialSize),
      m_first(0), m_last(0), m_bufferIncrement((bufferIncrement > 0) ? bufferIncrement : 1), m_shutdownFlag(false),
      m_waitingReaders(0)
{
   resize(initialSize);
}

Queue::~Queue()
{
   free(m_elements);
}

/* Reallocates the storage to slots (a queue of no slots keeps one, so that the block is
 * never of size 0). False, with the storage unchanged, when that fails. */
bool Queue::resize(uint32_t slots)
{
   size_t bytes = ((slots > 0) ? slots : 1) * sizeof(void *);
   void **elements = static_cast<void **>(realloc(m_elements, bytes));
   if (elements == nullptr)
      return false;
   m_elements = elements;
   m_bufferSize = slots;
   return true;
}

/* Makes room for one more element; false when the storage cannot grow. */
bool Queue::growIfFull()
{
   if (m_numElements < m_bufferSize)
      return true;
   uint32_t oldSize = m_bufferSize;
   if (m_bufferIncrement > UINT32_MAX - oldSize || !resize(oldSize + m_bufferIncrement))
      return false;
   if (m_first == 0)
   {
      // The ring fills slots 0 to oldSize - 1 in order: the new slots follow it.
      m_last = oldSize;
   }
   else
   {
      // The part from first to the old end moves to the end, opening the gap after last.
      memmove(&m_elements[m_first + m_bufferIncrement], &m_elements[m_first], (oldSize - m_first) * sizeof(void *));
      m_first += m_bufferIncrement;
   }
   return true;
}

/* Returns to the initial size once no more than half of it is occupied and the occupied
 * slots do not wrap. */
void Queue::shrink()
{
   if (m_bufferSize == m_initialSize || m_numElements > m_initialSize / 2)
      return;
   if (m_numElements == 0)
   {
      // The positions may lie beyond the smaller buffer (always possible when half the
      // initial size is 0): an empty ring starts again at slot 0.
      m_first = 0;
      m_last = 0;
   }
   else
   {
      if (m_last < m_first)
         return;
      if (m_first != 0)
      {
         memmove(m_elements, &m_elements[m_first], m_numElements * sizeof(void *));
         m_last -= m_first;
         m_first = 0;
      }
   }
   resize(m_initialSize);
}

/* The body of get(); the caller holds the mutex. */
void *Queue::take()
{
   if (m_shutdownFlag)
      return QUEUE_SHUTDOWN_MARKER;
   void *element = nullptr;
   while (element == nullptr && m_numElements > 0)
   {
      element = m_elements[m_first];
      m_numElements--;
      m_first = nextSlot(m_first);
   }
   shrink();
   return element;
}

/* Whether a put, or a reader leaving the wait, must signal the event: only a reader in
 * getOrBlock's wait needs it. The event keeps one signal however many puts came before a
 * reader waited, and the shutdown signals it once, so a reader that leaves elements or
 * shutdown behind signals it again for the next one. The caller holds the mutex. */
bool Queue::signalNeeded() const
{
   return m_waitingReaders > 0 && (m_shutdownFlag || m_numElements > 0);
}

void Queue::put(void *element)
{
   LockGuard lock(m_mutex);
   bool stored = growIfFull();
   if (stored)
   {
      m_elements[m_last] = element;
      m_last = nextSlot(m_last);
      m_numElements++;
   }
   bool signal = stored && signalNeeded();
   lock.release();
   // Signalled outside the lock, so that the woken reader does not run into it.
   if (signal)
      m_condition.set();
}

void Queue::insert(void *element)
{
   LockGuard lock(m_mutex);
   bool stored = growIfFull();
   if (stored)
   {
      m_first = (m_first == 0) ? m_bufferSize - 1 : m_first - 1;
      m_elements[m_first] = element;
      m_numElements++;
   }
   bool signal = stored && signalNeeded();
   lock.release();
   if (signal)
      m_condition.set();
}

void *Queue::get()
{
   LockGuard lock(m_mutex);
   return take();
}

void *Queue::getOrBlock(unsigned int timeout)
{
   LockGuard lock(m_mutex);
   void *element = take();
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
      element = take();
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
   bool signal = signalNeeded();
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
   shrink();
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
bool Queue::findSlot(const void *key, bool (*comparator)(const void *key, const void *element), bool skipMarker,
                     uint32_t *slot) const
{
   for (uint32_t i = 0, pos = m_first; i < m_numElements; i++, pos = nextSlot(pos))
   {
      const void *element = m_elements[pos];
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
   return findSlot(key, comparator, true, &slot) ? m_elements[slot] : nullptr;
}

bool Queue::remove(void *key, bool (*comparator)(const void *key, const void *element))
{
   LockGuard lock(m_mutex);
   uint32_t slot;
   bool removed = findSlot(key, comparator, false, &slot);
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
