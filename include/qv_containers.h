/* libqorvel Containers: memory pool, arrays, string lists, maps and sets, hash maps, the blocking queue,
 * ring buffer and byte stream. */
#ifndef QORVEL_QV_CONTAINERS_H
#define QORVEL_QV_CONTAINERS_H

#include <qv_strings.h>

/* ---------------------------------------------------------------------------------------
 * Memory pool
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

/* Region allocator: many small blocks are taken from large C-heap regions and released
 * all together by clear() or destruction; there is no release of a single block. Blocks
 * are aligned to 8 bytes, never move, and stay valid until clear() or destruction. A
 * request larger than a region minus its header gets a region of its own. The pool owns
 * its regions and is not copied. Not synchronised: one thread at a time. */
class QV_EXPORT MemoryPool
{
private:
   void *m_currentRegion;   // newest region; its first 8 bytes point to the one before
   size_t m_headerSize;     // offset of the first usable byte in every region
   size_t m_regionSize;     // size in bytes of a normal region
   size_t m_allocated;      // offset of the next free byte in the current region

public:
   /* Region size of a pool constructed without one, in bytes. */
   static constexpr size_t DEFAULT_REGION_SIZE = 8192;

   /* Region header: the chain pointer, padded so the first block is on 16 bytes. */
   static constexpr size_t HEADER_SIZE = 16;

   /* Region size used instead of one that leaves no room behind the header. */
   static constexpr size_t MIN_REGION_SIZE = 64;

   /* Allocates the first region at once. A region size not larger than the header would
    * leave no room for any block (and a size below 8 no room for the chain pointer): such
    * sizes are raised to MIN_REGION_SIZE. */
   explicit MemoryPool(size_t regionSize = DEFAULT_REGION_SIZE);
   ~MemoryPool();

   MemoryPool(const MemoryPool &) = delete;
   MemoryPool &operator=(const MemoryPool &) = delete;

   /* A block of at least size bytes, aligned to 8. Size 0 gives the current position
    * without advancing it. Null when the size cannot be rounded up or given a region
    * without overflow, or when the heap is exhausted. */
   void *allocate(size_t size);

   /* A copy of text and its terminator in a block of the pool; null for a null text or
    * when allocation fails. */
   wchar_t *copyString(const wchar_t *text);

   /* Releases every block at once. The current region (whatever its size) is kept for
    * reuse; all older regions are freed. */
   void clear();

   /* Size of a normal region in bytes (after raising a too small one). */
   size_t regionSize() const { return m_regionSize; }
};

#endif /* __cplusplus */


/* ---------------------------------------------------------------------------------------
 * Arrays and iterators
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * String list
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * String maps
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * String set
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * Hash map and hash set
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * Queue
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * Ring buffer and byte stream
 * ------------------------------------------------------------------------------------- */



#endif
