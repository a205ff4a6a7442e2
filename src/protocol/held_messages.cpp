/* The held messages of a wait queue: element array, free list, per-key chains and their
 * index. */
#include "protocol/held_messages.h"

#include "platform/random.h"

#include <stdlib.h>
#include <string.h>

namespace qv {
namespace protocol {

namespace {

/* Slots of a new index; the index doubles before it is half full, so that probes stay
 * short. */
constexpr uint32_t INITIAL_SLOTS = 32;

/* Kind bit of an index key, above the 16-bit code and the 32-bit id. */
constexpr uint64_t RAW_KEY_BIT = uint64_t(1) << 48;

/* Seed of the index hash, drawn once per process, so that a peer that chooses the ids of
 * its replies cannot choose ids that all land in one run of slots. */
uint64_t HashSeed()
{
   static const uint64_t seed = [] {
      uint64_t value = 0;
      if (!qv::platform::RandomBytes(&value, sizeof(value)))
         value = reinterpret_cast<uintptr_t>(&value);
      return value;
   }();
   return seed;
}

/* The final mix of MurmurHash3: every input bit moves every output bit. */
inline uint64_t Mix(uint64_t x)
{
   x ^= x >> 33;
   x *= 0xff51afd7ed558ccdULL;
   x ^= x >> 33;
   x *= 0xc4ceb9fe1a85ec53ULL;
   x ^= x >> 33;
   return x;
}

}  // namespace

void HeldMessages::release(void *msg, bool raw)
{
   if (raw)
      free(msg);
   else
      delete static_cast<QVCPMessage *>(msg);
}

uint32_t HeldMessages::home(uint16_t code, uint32_t id, bool raw) const
{
   uint64_t key = uint64_t(code) << 32 | id | (raw ? RAW_KEY_BIT : 0);
   return static_cast<uint32_t>(Mix(key ^ HashSeed())) & m_indexMask;
}

int32_t HeldMessages::findSlot(uint16_t code, uint32_t id, bool raw) const
{
   if (m_index == nullptr)
      return EMPTY;
   const uint16_t kind = raw ? 1 : 0;
   for (uint32_t slot = home(code, id, raw); m_index[slot].element != EMPTY; slot = (slot + 1) & m_indexMask)
   {
      const Slot &s = m_index[slot];
      if (s.id == id && s.code == code && s.raw == kind)
         return static_cast<int32_t>(slot);
   }
   return EMPTY;
}

/* Doubles the array (INITIAL_ELEMENTS at first); the new elements are taken in order
 * before any free one is, so they are not touched here. */
bool HeldMessages::growElements()
{
   if (m_allocated == INT32_MAX)
      return false;
   int32_t count = (m_allocated == 0) ? INITIAL_ELEMENTS : (m_allocated > INT32_MAX / 2) ? INT32_MAX : m_allocated * 2;
   Element *grown = static_cast<Element *>(realloc(m_elements, sizeof(Element) * static_cast<size_t>(count)));
   if (grown == nullptr)
      return false;
   m_elements = grown;
   m_allocated = count;
   return true;
}

/* Doubles the index (INITIAL_SLOTS at first) and places every key anew. */
bool HeldMessages::growIndex()
{
   uint32_t slots = (m_index == nullptr) ? INITIAL_SLOTS : (m_indexMask + 1) * 2;
   if (slots == 0)
      return false;
   Slot *index = static_cast<Slot *>(malloc(sizeof(Slot) * slots));
   if (index == nullptr)
      return false;
   for (uint32_t i = 0; i < slots; i++)
      index[i].element = EMPTY;
   Slot *old = m_index;
   uint32_t oldSlots = (old == nullptr) ? 0 : m_indexMask + 1;
   m_index = index;
   m_indexMask = slots - 1;
   m_keys = 0;
   for (uint32_t i = 0; i < oldSlots; i++)
   {
      if (old[i].element != EMPTY)
         placeInIndex(old[i]);
   }
   free(old);
   return true;
}

/* Puts the key into the first free slot from its home. The index has room. */
void HeldMessages::placeInIndex(const Slot &key)
{
   uint32_t slot = home(key.code, key.id, key.raw != 0);
   while (m_index[slot].element != EMPTY)
      slot = (slot + 1) & m_indexMask;
   m_index[slot] = key;
   m_keys++;
}

/* Empties the slot and moves back the keys after it that would no longer be found from
 * their home, so that no marker of a removed key is needed. */
void HeldMessages::removeSlot(uint32_t slot)
{
   m_index[slot].element = EMPTY;
   m_keys--;
   for (uint32_t next = (slot + 1) & m_indexMask; m_index[next].element != EMPTY; next = (next + 1) & m_indexMask)
   {
      const Slot &s = m_index[next];
      uint32_t h = home(s.code, s.id, s.raw != 0);
      // The key at next stays when its home lies cyclically in (slot, next].
      bool stays = (slot <= next) ? (h > slot && h <= next) : (h > slot || h <= next);
      if (!stays)
      {
         m_index[slot] = s;
         m_index[next].element = EMPTY;
         slot = next;
      }
   }
}

/* Takes element out of its key's chain, and the key out of the index with its last
 * message. slot is the key's slot when the caller knows it, else EMPTY. */
void HeldMessages::unlink(int32_t element, int32_t slot)
{
   Element &e = m_elements[element];
   bool oldest = e.prev == EMPTY, newest = e.next == EMPTY;
   if ((oldest || newest) && slot == EMPTY)
      slot = findSlot(e.code, e.id, e.raw != 0);
   if (oldest && newest)
   {
      removeSlot(static_cast<uint32_t>(slot));
      return;
   }
   if (oldest)
   {
      Element &successor = m_elements[e.next];
      successor.prev = EMPTY;
      successor.newest = e.newest;
      m_index[slot].element = e.next;
      return;
   }
   m_elements[e.prev].next = e.next;
   if (newest)
      m_elements[m_index[slot].element].newest = e.prev;  // the oldest records the newest
   else
      m_elements[e.next].prev = e.prev;
}

void HeldMessages::makeFree(int32_t element)
{
   m_elements[element].msg = nullptr;
   m_elements[element].next = m_free;
   m_free = element;
}

bool HeldMessages::add(void *msg, uint16_t code, uint32_t id, bool raw, uint32_t ttl, uint64_t putTime)
{
   if (m_free == EMPTY && m_unused == m_allocated && !growElements())
      return false;
   if ((m_keys + 1) * 2 > ((m_index == nullptr) ? 0 : m_indexMask + 1) && !growIndex())
      return false;
   int32_t i;
   if (m_free != EMPTY)
   {
      i = m_free;
      m_free = m_elements[i].next;
   }
   else
   {
      i = m_unused++;
   }
   Element &e = m_elements[i];
   e.msg = msg;
   e.expires = putTime + ttl;
   e.id = id;
   e.code = code;
   e.raw = raw ? 1 : 0;
   e.next = EMPTY;
   int32_t slot = findSlot(code, id, raw);
   if (slot == EMPTY)
   {
      e.prev = EMPTY;
      e.newest = i;
      placeInIndex(Slot{id, code, e.raw, i});
   }
   else
   {
      Element &oldest = m_elements[m_index[slot].element];
      m_elements[oldest.newest].next = i;
      e.prev = oldest.newest;
      oldest.newest = i;
   }
   m_size++;
   return true;
}

void *HeldMessages::takeOldest(uint16_t code, uint32_t id, bool raw)
{
   int32_t slot = findSlot(code, id, raw);
   if (slot == EMPTY)
      return nullptr;
   int32_t i = m_index[slot].element;
   void *msg = m_elements[i].msg;
   unlink(i, slot);
   makeFree(i);
   m_size--;
   return msg;
}

int32_t HeldMessages::discardExpired(uint64_t now)
{
   if (m_size == 0)
      return 0;
   int32_t discarded = 0;
   for (int32_t i = 0; i < m_unused; i++)
   {
      Element &e = m_elements[i];
      if (e.msg == nullptr || now < e.expires)
         continue;
      void *msg = e.msg;
      bool raw = e.raw != 0;
      unlink(i, EMPTY);
      makeFree(i);
      m_size--;
      discarded++;
      release(msg, raw);
   }
   if (m_size == 0 && m_allocated > INITIAL_ELEMENTS)
      resetStorage(INITIAL_ELEMENTS);
   return discarded;
}

/* Drops all storage (the caller has released the messages) and starts again with an
 * array of elements free ones, or none when that cannot be had. */
void HeldMessages::resetStorage(int32_t elements)
{
   free(m_elements);
   free(m_index);
   m_elements = nullptr;
   m_index = nullptr;
   m_indexMask = 0;
   m_keys = 0;
   m_allocated = 0;
   m_size = 0;
   m_free = EMPTY;
   m_unused = 0;
   if (elements > 0)
      growElements();
}

void HeldMessages::clear()
{
   for (int32_t i = 0; i < m_unused; i++)
   {
      if (m_elements[i].msg != nullptr)
         release(m_elements[i].msg, m_elements[i].raw != 0);
   }
   resetStorage(0);
}

}  // namespace protocol
}  // namespace qv
