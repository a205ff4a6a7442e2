/* Region allocator: blocks are cut from large C-heap regions chained newest first, and
 * released all at once. Released regions are kept in a small per-thread cache, so that
 * building and discarding pools (one or more per message) does not hand memory back to
 * the heap only to take it again: the heap would trim its top and the pages be faulted
 * in anew on every cycle. */
#include "containers/memory_pool_internals.h"

#include <stdlib.h>
#include <string.h>

namespace {

/* Block alignment; every size is rounded up to a multiple of it. */
constexpr size_t BLOCK_ALIGNMENT = 8;

/* Offset standing for "no current region", so that every request starts a new one. */
constexpr size_t NO_REGION = SIZE_MAX;

/* Regions and bytes the cache of one thread holds at most; regions beyond either bound
 * go back to the heap. Enough for a message of a thousand fields to be built, sent and
 * received again without the heap. */
constexpr size_t CACHE_MAX_REGIONS = 64;
constexpr size_t CACHE_MAX_BYTES = 512 * 1024;

/* Regions larger than this are never cached: the heap maps them on their own. */
constexpr size_t CACHE_MAX_REGION_BYTES = 128 * 1024;

/* A region's header: the chain pointer, then the region's size in bytes (the header has
 * room for both). */
static_assert(MemoryPool::HEADER_SIZE >= 2 * sizeof(void *), "region header holds two words");

inline void *&ChainPointer(void *region)
{
   return *static_cast<void **>(region);
}

inline size_t &RegionBytes(void *region)
{
   return *reinterpret_cast<size_t *>(static_cast<char *>(region) + sizeof(void *));
}

/* Released regions of one thread, most recent last. */
struct RegionCache
{
   void *regions[CACHE_MAX_REGIONS];
   size_t count;
   size_t bytes;
};

/* The thread's cache, made on its first release, and whether the thread is ending (its
 * regions then go straight back to the heap). Only these two words are thread-local, in
 * the static block, which takes one load to reach and leaves room for a library that is
 * loaded late. */
struct CacheSlot
{
   RegionCache *cache;
   bool closed;
};

__attribute__((tls_model("initial-exec"))) thread_local CacheSlot t_slot = {nullptr, false};

/* Empties and frees the cache when its thread ends. */
struct RegionCacheFlush
{
   ~RegionCacheFlush()
   {
      RegionCache *cache = t_slot.cache;
      t_slot.cache = nullptr;
      t_slot.closed = true;
      if (cache == nullptr)
         return;
      for (size_t i = 0; i < cache->count; i++)
         free(cache->regions[i]);
      free(cache);
   }
};

/* The cache of this thread, made when there is none yet; null once the thread is ending
 * or when the heap has no room for it. */
RegionCache *ThreadCache()
{
   CacheSlot &slot = t_slot;
   if (slot.cache != nullptr || slot.closed)
      return slot.cache;
   slot.cache = static_cast<RegionCache *>(malloc(sizeof(RegionCache)));
   if (slot.cache != nullptr)
   {
      slot.cache->count = 0;
      slot.cache->bytes = 0;
      thread_local RegionCacheFlush flush;  // constructed once per thread, run at its end
      (void)flush;
   }
   return slot.cache;
}

/* A region of exactly bytes bytes, from the cache when it has one, its size recorded. */
void *AcquireRegion(size_t bytes)
{
   RegionCache *cache = t_slot.cache;
   if (cache != nullptr)
   {
      for (size_t i = cache->count; i-- > 0;)
      {
         void *region = cache->regions[i];
         if (RegionBytes(region) == bytes)
         {
            cache->regions[i] = cache->regions[--cache->count];
            cache->bytes -= bytes;
            return region;
         }
      }
   }
   void *region = malloc(bytes);
   if (region != nullptr)
      RegionBytes(region) = bytes;
   return region;
}

/* Gives region back: to the cache while it has room, otherwise to the heap. */
void ReleaseRegion(void *region)
{
   size_t bytes = RegionBytes(region);
   RegionCache *cache = (bytes <= CACHE_MAX_REGION_BYTES) ? ThreadCache() : nullptr;
   if (cache == nullptr || cache->count == CACHE_MAX_REGIONS || cache->bytes + bytes > CACHE_MAX_BYTES)
   {
      free(region);
      return;
   }
   cache->regions[cache->count++] = region;
   cache->bytes += bytes;
}

/* Releases region and every region before it in the chain. */
void ReleaseChain(void *region)
{
   while (region != nullptr)
   {
      void *previous = ChainPointer(region);
      ReleaseRegion(region);
      region = previous;
   }
}

}  // namespace

MemoryPool::MemoryPool(size_t regionSize)
    : m_currentRegion(nullptr), m_headerSize(HEADER_SIZE),
      m_regionSize((regionSize > HEADER_SIZE) ? regionSize : MIN_REGION_SIZE), m_allocated(NO_REGION)
{
   m_currentRegion = AcquireRegion(m_regionSize);
   if (m_currentRegion != nullptr)
   {
      ChainPointer(m_currentRegion) = nullptr;
      m_allocated = m_headerSize;
   }
}

MemoryPool::~MemoryPool()
{
   ReleaseChain(m_currentRegion);
}

void *MemoryPool::allocate(size_t size)
{
   if (size > SIZE_MAX - (BLOCK_ALIGNMENT - 1))
      return nullptr;
   size = (size + BLOCK_ALIGNMENT - 1) & ~(BLOCK_ALIGNMENT - 1);

   // m_allocated passes the region size after an oversized region, and is NO_REGION when
   // there is no region at all; either way the request goes to a new region.
   if (m_allocated <= m_regionSize && size <= m_regionSize - m_allocated)
   {
      void *block = static_cast<char *>(m_currentRegion) + m_allocated;
      m_allocated += size;
      return block;
   }

   if (size > SIZE_MAX - m_headerSize)
      return nullptr;
   size_t regionBytes = (size + m_headerSize > m_regionSize) ? size + m_headerSize : m_regionSize;
   void *region = AcquireRegion(regionBytes);
   if (region == nullptr)
      return nullptr;
   ChainPointer(region) = m_currentRegion;
   m_currentRegion = region;
   m_allocated = m_headerSize + size;
   return static_cast<char *>(region) + m_headerSize;
}

wchar_t *MemoryPool::copyString(const wchar_t *text)
{
   if (text == nullptr)
      return nullptr;
   size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
   wchar_t *copy = static_cast<wchar_t *>(allocate(bytes));
   if (copy != nullptr)
      memcpy(copy, text, bytes);
   return copy;
}

void MemoryPool::clear()
{
   if (m_currentRegion == nullptr)
      return;
   ReleaseChain(ChainPointer(m_currentRegion));
   ChainPointer(m_currentRegion) = nullptr;
   m_allocated = m_headerSize;
}

namespace qv::containers {

void *MemoryPoolInternals::acquireRegion(size_t bytes)
{
   return AcquireRegion(bytes);
}

bool MemoryPoolInternals::adoptRegion(MemoryPool &pool, void *region, size_t bytes)
{
   if (pool.m_currentRegion == nullptr)
      return false;
   RegionBytes(region) = bytes;
   ChainPointer(region) = ChainPointer(pool.m_currentRegion);
   ChainPointer(pool.m_currentRegion) = region;
   return true;
}

}  // namespace qv::containers
