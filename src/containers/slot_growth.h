/* Growth rule of the string list's slot array, kept apart so that it can be checked on
 * its own. */
#ifndef QORVEL_CONTAINERS_SLOT_GROWTH_H
#define QORVEL_CONTAINERS_SLOT_GROWTH_H

#include <qv_containers.h>

namespace qv::containers {

/* The array doubles up to this many slots, then grows by this many at a time. */
constexpr int32_t MAX_GROWTH_STEP = 4096;

/* Slots after one growth of an array of slots entries: slots + min(slots, 4096), or
 * INITIAL_SLOTS for an empty array (doubling nothing would give no room), capped at
 * INT32_MAX. Equal to slots only when it is INT32_MAX already. */
inline int32_t GrownSlotCount(int32_t slots)
{
   if (slots <= 0)
      return StringList::INITIAL_SLOTS;
   int32_t step = (slots < MAX_GROWTH_STEP) ? slots : MAX_GROWTH_STEP;
   return (step <= INT32_MAX - slots) ? slots + step : INT32_MAX;
}

}  // namespace qv::containers

#endif
