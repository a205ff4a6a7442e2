/* Region allocator: blocks are cut from large C-heap regions chained newest first, and
 * released all at once. */
#include <qv_containers.h>

#include <stdlib.h>
#include <string.h>

namespace {

/* Block alignment; every size is rounded up to a multiple of it. */
constexpr size_t BLOCK_ALIGNMENT = 8;

/* Offset standing for "no current region", so that every request starts a new one. */
constexpr size_t NO_REGION = SIZE_MAX;

inline void *&ChainPointer(void *region)
{
   return *static_cast<void **>(region);
}

/* Frees region and every region before it in the chain. */
void FreeChain(void *region)
{
   while (region != nullptr)
   {
      void *previous = ChainPointer(region);
      free(region);
      region = previous;
   }
}

}  // namespace

MemoryPool::MemoryPool(size_t regionSize)
    : m_currentRegion(nullptr), m_headerSize(HEADER_SIZE),
      m_regionSize((regionSize > HEADER_SIZE) ? regionSize : MIN_REGION_SIZE), m_allocated(NO_REGION)
{
   m_currentRegion = malloc(m_regionSize);
   if (m_currentRegion != nullptr)
   {
      ChainPointer(m_currentRegion) = nullptr;
      m_allocated = m_headerSize;
   }
}

MemoryPool::~MemoryPool()
{
   FreeChain(m_currentRegion);
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
   void *region = malloc(regionBytes);
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
   FreeChain(ChainPointer(m_currentRegion));
   ChainPointer(m_currentRegion) = nullptr;
   m_allocated = m_headerSize;
}
