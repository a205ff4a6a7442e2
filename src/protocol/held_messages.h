/* The messages a wait queue holds, found by code, id and kind in constant time: an element
 * array that grows by doubling, a free list through its empty elements, and an open
 * addressing index from each code, id and kind to the oldest of its messages, which are
 * chained in the order they were put. Not synchronised: the queue's lock guards it. */
#ifndef QORVEL_PROTOCOL_HELD_MESSAGES_H
#define QORVEL_PROTOCOL_HELD_MESSAGES_H

#include <qv_protocol.h>

namespace qv {
namespace protocol {

class HeldMessages
{
public:
   /* Elements of a new array, and what the array shrinks back to once a housekeeping
    * pass leaves it empty. */
   static constexpr int32_t INITIAL_ELEMENTS = 16;

   HeldMessages() = default;
   HeldMessages(const HeldMessages &) = delete;
   HeldMessages &operator=(const HeldMessages &) = delete;
   /* Releases every message held. */
   ~HeldMessages() { clear(); }

   /* Holds msg (owned from now on) under its code, id and kind (raw: a malloc'ed
    * QVCP_MESSAGE, else a QVCPMessage) with a time to live in milliseconds from putTime;
    * false, holding nothing, when memory runs out. */
   bool add(void *msg, uint16_t code, uint32_t id, bool raw, uint32_t ttl, uint64_t putTime);

   /* Removes and returns the oldest message held under code, id and kind; null when none. */
   void *takeOldest(uint16_t code, uint32_t id, bool raw);

   /* Releases every message whose time to live has passed at now (monotonic
    * milliseconds); when none is left, the array shrinks back to INITIAL_ELEMENTS. */
   int32_t discardExpired(uint64_t now);

   /* Releases every message and all storage. */
   void clear();

   int32_t size() const { return m_size; }
   int32_t allocated() const { return m_allocated; }

   /* Releases a held message of its kind: free for raw, delete otherwise. */
   static void release(void *msg, bool raw);

private:
   struct Element
   {
      void *msg;         // null while the element is free
      uint64_t expires;  // monotonic milliseconds at which the time to live has passed
      uint32_t id;
      uint16_t code;
      uint16_t raw;    // 1: QVCP_MESSAGE, 0: QVCPMessage
      int32_t next;    // the next newer message of the key, or the next free element; -1: none
      int32_t prev;    // the next older message of the key; -1 at the oldest
      int32_t newest;  // at the oldest message of a key: the newest one
   };

   /* One key of the index, kept beside its element so that a probe reads the index only. */
   struct Slot
   {
      uint32_t id;
      uint16_t code;
      uint16_t raw;
      int32_t element;  // the oldest message of the key; EMPTY: a free slot
   };

   Element *m_elements = nullptr;
   int32_t m_allocated = 0;
   int32_t m_size = 0;
   int32_t m_free = -1;       // first free element that held a message before
   int32_t m_unused = 0;      // elements from here on never held one
   Slot *m_index = nullptr;   // open addressing with linear probing
   uint32_t m_indexMask = 0;  // slots - 1 (slots are a power of two); 0 while there is no index
   uint32_t m_keys = 0;       // slots in use

   static constexpr int32_t EMPTY = -1;

   uint32_t home(uint16_t code, uint32_t id, bool raw) const;
   int32_t findSlot(uint16_t code, uint32_t id, bool raw) const;
   bool growElements();
   bool growIndex();
   void placeInIndex(const Slot &key);
   void removeSlot(uint32_t slot);
   void unlink(int32_t element, int32_t slot);
   void makeFree(int32_t element);
   void resetStorage(int32_t elements);
};

}  // namespace protocol
}  // namespace qv

#endif
