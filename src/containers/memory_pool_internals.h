/* The regions behind MemoryPool for the library's own code: a heap block taken from or
 * given back to the calling thread's region cache, and a heap block handed to a pool as
 * one of its regions, so that bytes already in it become pool memory without a copy. */
#ifndef QORVEL_CONTAINERS_MEMORY_POOL_INTERNALS_H
#define QORVEL_CONTAINERS_MEMORY_POOL_INTERNALS_H

#include <qv_containers.h>

namespace qv::containers {

struct MemoryPoolInternals
{
   /* A heap block of bytes bytes (free or realloc may release it), from the cache when it
    * holds one of that size; null when the heap has no room. */
   static void *acquireRegion(size_t bytes);

   /* Makes the heap block region of bytes bytes one of pool's regions, released with
    * them; its first MemoryPool::HEADER_SIZE bytes become the region's header and are
    * overwritten, the rest stays as it is. The pool's current region stays current for
    * further blocks. False, with nothing changed, for a pool without a region (its first
    * one could not be allocated). */
   static bool adoptRegion(MemoryPool &pool, void *region, size_t bytes);
};

}  // namespace qv::containers

#endif
