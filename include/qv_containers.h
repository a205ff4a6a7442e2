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

#ifdef __cplusplus

/* An ordered list of wide-character strings that owns copies of everything added to it.
 * Every string and the slot array itself live in the list's MemoryPool: adding costs one
 * pool block, nothing is released one by one, and clear() or destruction releases all at
 * once. Strings handed out by get() stay valid until then, even after remove or replace.
 *
 * Entries may be null (gaps left by addOrReplace). A null text given to add, replace or
 * addOrReplace stores a null entry; copies and addAll keep null entries where they are.
 * Indexes out of range are ignored. No operation reports errors: an allocation failure
 * leaves the list without the new entry. Not synchronised: one thread at a time. */
class QV_EXPORT StringList
{
private:
   MemoryPool m_pool;    // every string and the slot array
   int32_t m_count;      // entries in use
   int32_t m_allocated;  // slots in m_values
   wchar_t **m_values;   // slot array in the pool

   QV_INTERNAL void initSlots(int32_t slots);
   QV_INTERNAL bool reserveSlot();
   QV_INTERNAL void addChars(const wchar_t *text, size_t count);
   QV_INTERNAL void addFormatted(const wchar_t *format, ...);

public:
   /* Slots of a new or cleared list. The slot array doubles when full up to 4096 slots,
    * then grows by 4096 at a time. */
   static constexpr int32_t INITIAL_SLOTS = 256;

   /* Empty, with INITIAL_SLOTS slots. */
   StringList();
   /* A copy of src: as many slots as src has, then a copy of every entry in order (null
    * entries stay null). A null src gives an empty list. */
   StringList(const StringList *src);
   StringList(const StringList &src);
   /* An empty list filled by splitAndAdd(text, separator). */
   StringList(const wchar_t *text, const wchar_t *separator);
   ~StringList() = default;

   StringList &operator=(const StringList &) = delete;

   /* Appends a pool copy of text (null appends a null entry). */
   void add(const wchar_t *text);
   /* add(text), then free(text): text must come from malloc and is freed at once. */
   void addPreallocated(wchar_t *text);
   /* Appends the conversion of a multibyte text in the default code page (null appends a
    * null entry). */
   void addMBString(const char *text);
   /* Appends the decimal text of the value ("%d", "%u", "%I64d", "%I64u"). */
   void add(int32_t value);
   void add(uint32_t value);
   void add(int64_t value);
   void add(uint64_t value);
   /* Appends the value in fixed notation with six decimals (2.5 gives 2.500000), all of
    * its digits however large it is. */
   void add(double value);
   /* Appends every entry of other in order, null entries included; null does nothing.
    * other may be this list: its entries as they were before the call are appended. */
   void addAll(const StringList *other);
   /* Appends every non-null entry of other, in order, that the list does not yet hold
    * (entries added by this call count, so duplicates within other are added once).
    * Equality is exact with matchCase, otherwise without regard to case (qv_wcsicmp). */
   void merge(const StringList *other, bool matchCase);
   /* Appends the pieces of text between occurrences of separator (found as an exact
    * substring, left to right); empty pieces are kept, so "a,,b" gives a, "" and b and
    * "" gives one empty entry. An empty or null separator appends text whole; a null
    * text appends nothing. */
   void splitAndAdd(const wchar_t *text, const wchar_t *separator);

   /* For 0 <= index < size(), the entry becomes a new pool copy of text (null: a null
    * entry); otherwise nothing. The old copy stays valid. */
   void replace(int32_t index, const wchar_t *text);
   /* Negative index: nothing; index < size(): replace; otherwise null entries are
    * appended up to index and text is added there. */
   void addOrReplace(int32_t index, const wchar_t *text);
   /* addOrReplace(index, text), then free(text). */
   void addOrReplacePreallocated(int32_t index, wchar_t *text);
   /* For 0 <= index < size(), removes the entry and moves the later ones down; otherwise
    * nothing. */
   void remove(int32_t index);
   /* Removes every entry and releases every string; the pool keeps one region and the
    * list has INITIAL_SLOTS slots again. */
   void clear();

   int32_t size() const { return m_count; }
   bool isEmpty() const { return m_count == 0; }
   /* Slots in the current slot array. */
   int32_t capacity() const { return m_allocated; }
   /* The entry (possibly null), or null when index is out of range. */
   const wchar_t *get(int32_t index) const
   {
      return (index >= 0 && index < m_count) ? m_values[index] : nullptr;
   }

   /* Lowest index of a non-null entry equal to text (exactly, or without regard to case
    * by qv_wcsicmp), or -1; -1 for a null text. */
   int32_t indexOf(const wchar_t *text) const;
   int32_t indexOfIgnoreCase(const wchar_t *text) const;
   bool contains(const wchar_t *text) const { return indexOf(text) != -1; }
   bool containsIgnoreCase(const wchar_t *text) const { return indexOfIgnoreCase(text) != -1; }

   /* The entries in order with separator between neighbours (a null separator counts as
    * empty, a null entry as empty text), as a new block the caller frees with free(). An
    * empty list gives an empty text. Null only when out of memory. */
   wchar_t *join(const wchar_t *separator) const;
   /* Sorts in place (not stable). With matchCase characters compare as unsigned code
    * values, a prefix first; without, by qv_wcsicmp. Null entries come before every
    * string in ascending order and after them in descending order. */
   void sort(bool ascending, bool matchCase);
   /* A new JSON array (caller owns it: json_decref) with the UTF-8 form of every entry in
    * order; a null entry gives "", and an unpaired surrogate U+FFFD. Null when out of
    * memory. */
   json_t *toJson() const;
};

#endif /* __cplusplus */



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
