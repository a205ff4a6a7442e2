/* libqorvel Containers: memory pool, arrays, string lists, maps and sets, hash maps, the blocking queue,
 * ring buffer and byte stream. */
#ifndef QORVEL_QV_CONTAINERS_H
#define QORVEL_QV_CONTAINERS_H

#include <qv_strings.h>

/* ---------------------------------------------------------------------------------------
 * Memory pool
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

namespace qv {
namespace containers {
struct HashMapInternals;
struct MemoryPoolInternals;
struct QueueInternals;
struct StringListInternals;
struct StringMapInternals;
}  // namespace containers
}  // namespace qv

/* Region allocator: many small blocks are taken from large C-heap regions and released
 * all together by clear() or destruction; there is no release of a single block. Blocks
 * are aligned to 8 bytes, never move, and stay valid until clear() or destruction. A
 * request larger than a region minus its header gets a region of its own. The pool owns
 * its regions and is not copied. Not synchronised: one thread at a time. */
class QV_EXPORT MemoryPool
{
private:
   friend struct qv::containers::MemoryPoolInternals;  // the library's own region hand-over

   void *m_currentRegion;  // newest region; its first 8 bytes point to the one before
   size_t m_headerSize;    // offset of the first usable byte in every region
   size_t m_regionSize;    // size in bytes of a normal region
   size_t m_allocated;     // offset of the next free byte in the current region

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
 *
 * Array is the growable array under every array type of the interface. In pointer mode
 * each slot holds a pointer, and an owning array releases the objects it drops (removal,
 * replacement, clear, destruction) through its destroy function (free by default). In
 * element mode each slot holds a copy of a fixed-size value and nothing is owned. Arrays
 * are not synchronised: their owner serialises access.
 *
 * Capacity grows linearly: add, and insert before the end, grow by one grow step when the
 * array is full; set and insert beyond the capacity round it up to the old capacity plus
 * the fewest whole grow steps that take in the index. Only clear shrinks the storage, and
 * only down to one grow step. Out-of-range indexes are ignored (get returns null).
 * ------------------------------------------------------------------------------------- */

/* Sorts count elements of elementSize bytes at base into ascending order of compare
 * (negative: a before b), passing context unchanged to every comparison. Not stable, not
 * recursive, needs one element of extra memory; base needs no particular alignment.
 * Reentrant. A comparator that is not a consistent order gives an unspecified order but
 * never makes the sort touch memory outside the elements. */
QV_API void QSortEx(void *base, size_t count, size_t elementSize, void *context,
                    int (*compare)(const void *a, const void *b, void *context));

/* Element of StructArray<KeyValuePair> handed out by the string maps; both members point
 * into the map that made the array. */
struct KeyValuePair
{
   const wchar_t *key;
   void *value;
};

#ifdef __cplusplus

/* Iteration over arrays, hash maps and string sets. next() returns null past the end;
 * remove() removes the element last returned by next() and may be called once per next(). */
class QV_EXPORT AbstractIterator
{
public:
   virtual ~AbstractIterator();
   virtual bool hasNext() = 0;
   virtual void *next() = 0;
   virtual void remove() = 0;
};

class QV_EXPORT Array
{
private:
   int m_size;
   int m_allocated;
   int m_grow;
   size_t m_elementSize;
   void *m_data;
   bool m_owner;
   bool m_storePointers;
   void (*m_objectDestructor)(void *object);

   void *slot(int index) const { return static_cast<char *>(m_data) + static_cast<size_t>(index) * m_elementSize; }
   size_t storedBytes() const { return m_storePointers ? 0 : static_cast<size_t>(m_size) * m_elementSize; }
   bool reallocate(int capacity);
   bool growByStep();
   bool makeRoomFor(int index);
   void storeElement(int index, const void *element);
   void releaseObject(void *object) const;
   void destroyObjects();
   void removeAt(int index, bool destroy);

protected:
   /* Element mode: slots of elementSize bytes; when data is not null the first initial
    * elements are copied from it. The storage is allocated even for a capacity of 0. */
   Array(void *data, int initial, int grow, size_t elementSize);

   /* Copy of src's settings and storage. Objects of an owning pointer-mode source are not
    * shared: with copyObject each non-null object is copied through it and the copy owns
    * the copies; without copyObject the copy holds the same pointers but does not own
    * them (src keeps releasing them, so the copy must not outlive src's objects). */
   Array(const Array *src, void *(*copyObject)(const void *object) = nullptr);

   void *__getBuffer() const { return m_data; }

   /* Replaces the function that releases owned objects (ObjectArray deletes them). */
   void setObjectDestructor(void (*destructor)(void *object)) { m_objectDestructor = destructor; }

public:
   /* Pointer mode. initial < 0 means 16 slots, grow <= 0 a grow step of 16. */
   Array(int initial = 0, int grow = 16, bool owner = false);
   virtual ~Array();

   /* Copying goes through the templates, which know their elements. */
   Array(const Array &) = delete;
   Array &operator=(const Array &) = delete;

   int size() const { return m_size; }
   bool isEmpty() const { return m_size == 0; }
   /* Slots the storage has room for. */
   int capacity() const { return m_allocated; }

   /* Pointer mode: the stored pointer; element mode: the element's address inside the
    * storage, valid until the next change of the array. Null for an index out of range. */
   void *get(int index) const;
   void *first() const { return get(0); }
   void *last() const { return get(m_size - 1); }

   /* Lowest index holding element (pointer mode: the same pointer; element mode: equal
    * bytes), or -1. */
   int indexOf(void *element) const;

   /* In element mode the element's bytes are copied from the pointer given (which may
    * point into this array); a null element stores zero bytes. */

   /* Appends; returns the new index, or -1 when the storage cannot grow. */
   int add(void *element);
   /* Stores at index. Within the size an owning array releases the old object first
    * (unless it is the one stored again); beyond it the gap is zero-filled and nothing is
    * released. Negative indexes are ignored. */
   void set(int index, void *element);
   /* As set, but only for an existing index. */
   void replace(int index, void *element);
   /* Inserts before index, shifting the rest up; at or beyond the size it acts as set. */
   void insert(int index, void *element);
   /* Removes and, when owning, releases the object; later elements move down. */
   void remove(int index);
   void remove(void *element) { removeAt(indexOf(element), true); }
   /* As remove, but the object is never released. */
   void _unlink(int index) { removeAt(index, false); }
   void _unlink(void *element) { removeAt(indexOf(element), false); }
   /* Removes everything (releasing owned objects in index order) and shrinks the storage
    * to one grow step. */
   void clear();

   /* Ownership applies to pointer mode only; an element-mode array never owns. */
   void setOwner(bool owner) { m_owner = owner && m_storePointers; }
   bool isOwner() const { return m_owner; }

   /* C library qsort of the slots; the comparator receives the addresses of two slots
    * (in pointer mode: addresses of the stored pointers). Not stable. */
   void sort(int (*compare)(const void *, const void *));
   /* Binary search of a sorted array; the comparator receives key and a slot address.
    * Returns the matching slot's address (pointer mode: address of the stored pointer)
    * or null. */
   void *find(const void *key, int (*compare)(const void *, const void *)) const;
};

/* Iterator over an Array (not owned). remove() releases the current element as
 * Array::remove does, and the following next() returns the element after it. */
class QV_EXPORT ArrayIterator : public AbstractIterator
{
private:
   Array *m_array;
   int m_position;
   bool m_removable;

public:
   ArrayIterator(Array *array);
   virtual ~ArrayIterator();

   virtual bool hasNext() override;
   virtual void *next() override;
   virtual void remove() override;
};

/* Typed handle over one iterator worker, which it owns and deletes. */
template <class T> class Iterator
{
private:
   AbstractIterator *m_worker;

public:
   explicit Iterator(AbstractIterator *worker) : m_worker(worker) {}
   ~Iterator() { delete m_worker; }
   Iterator(const Iterator &) = delete;
   Iterator &operator=(const Iterator &) = delete;

   bool hasNext() { return m_worker->hasNext(); }
   T *next() { return static_cast<T *>(m_worker->next()); }
   void remove() { m_worker->remove(); }
};

/* Pointer-mode array of T; an owning one deletes its objects. A copy of an owning array
 * owns copies of the objects (made with T's copy constructor); a copy of a non-owning
 * array shares the pointers. sort and find are Array's: they see addresses of slots,
 * that is T**. */
template <class T> class ObjectArray : public Array
{
private:
   static void destroyObject(void *object) { delete static_cast<T *>(object); }
   static void *copyObject(const void *object) { return new T(*static_cast<const T *>(object)); }

public:
   ObjectArray(int initial = 0, int grow = 16, bool owner = false) : Array(initial, grow, owner)
   {
      setObjectDestructor(destroyObject);
   }
   ObjectArray(const ObjectArray &src) : Array(&src, copyObject) {}
   ObjectArray &operator=(const ObjectArray &) = delete;

   int add(T *object) { return Array::add(object); }
   T *get(int index) const { return static_cast<T *>(Array::get(index)); }
   T *first() const { return static_cast<T *>(Array::first()); }
   T *last() const { return static_cast<T *>(Array::last()); }
   int indexOf(T *object) const { return Array::indexOf(object); }
   void set(int index, T *object) { Array::set(index, object); }
   void replace(int index, T *object) { Array::replace(index, object); }
   void insert(int index, T *object) { Array::insert(index, object); }
   void remove(int index) { Array::remove(index); }
   void remove(T *object) { Array::remove(static_cast<void *>(object)); }
   void _unlink(int index) { Array::_unlink(index); }
   void _unlink(T *object) { Array::_unlink(static_cast<void *>(object)); }

   /* New iterator handle over this array; the caller deletes it. */
   Iterator<T> *iterator() { return new Iterator<T>(new ArrayIterator(this)); }
};

/* Element-mode array of structures copied in place; never an owner. get returns the
 * element's address inside the storage. */
template <class T> class StructArray : public Array
{
public:
   StructArray(int initial = 0, int grow = 16) : Array(nullptr, initial, grow, sizeof(T)) {}
   /* Starts with copies of the first count elements of data. */
   StructArray(const T *data, int count, int grow = 16) : Array(const_cast<T *>(data), count, grow, sizeof(T)) {}
   StructArray(const StructArray &src) : Array(&src) {}
   StructArray &operator=(const StructArray &) = delete;

   int add(const T *element) { return Array::add(const_cast<T *>(element)); }
   T *get(int index) const { return static_cast<T *>(Array::get(index)); }
   T *first() const { return static_cast<T *>(Array::first()); }
   T *last() const { return static_cast<T *>(Array::last()); }
   int indexOf(const T *element) const { return Array::indexOf(const_cast<T *>(element)); }
   void set(int index, const T *element) { Array::set(index, const_cast<T *>(element)); }
   void replace(int index, const T *element) { Array::replace(index, const_cast<T *>(element)); }
   void insert(int index, const T *element) { Array::insert(index, const_cast<T *>(element)); }
   void remove(int index) { Array::remove(index); }
   T *find(const T *key, int (*compare)(const void *, const void *)) const
   {
      return static_cast<T *>(Array::find(key, compare));
   }
   /* The storage: a C array of size() elements. */
   T *getBuffer() const { return static_cast<T *>(__getBuffer()); }

   Iterator<T> *iterator() { return new Iterator<T>(new ArrayIterator(this)); }
};

/* Element-mode array of integers stored in place; never an owner. The storage is a plain
 * C array of size() values. */
template <class T> class IntegerArray : public Array
{
public:
   IntegerArray(int initial = 0, int grow = 16) : Array(nullptr, initial, grow, sizeof(T)) {}
   /* Starts with copies of the first count values of data. */
   IntegerArray(const T *data, int count, int grow = 16) : Array(const_cast<T *>(data), count, grow, sizeof(T)) {}
   IntegerArray(const IntegerArray &src) : Array(&src) {}
   IntegerArray &operator=(const IntegerArray &) = delete;

   int add(T value) { return Array::add(&value); }
   /* The value at index; 0 for an index out of range. */
   T get(int index) const
   {
      const T *element = static_cast<const T *>(Array::get(index));
      return (element != nullptr) ? *element : 0;
   }
   int indexOf(T value) const { return Array::indexOf(&value); }
   void set(int index, T value) { Array::set(index, &value); }
   void replace(int index, T value) { Array::replace(index, &value); }
   void insert(int index, T value) { Array::insert(index, &value); }
   void remove(int index) { Array::remove(index); }
   /* The storage: a C array of size() values. */
   T *getBuffer() const { return static_cast<T *>(__getBuffer()); }
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * String list
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

class QVCPMessage;

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
   friend struct qv::containers::StringListInternals;  // the library's own code of the list

private:
   MemoryPool m_pool;    // every string and the slot array
   int32_t m_count;      // entries in use
   int32_t m_allocated;  // slots in m_values
   wchar_t **m_values;   // slot array in the pool

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
   /* The list a message carries: the count from field countId (an INT32 field; 0 when
    * missing), never more entries than the message has fields; entry i is a copy of the
    * text of the STRING field baseId + i, or null when that field is missing or of
    * another type. The slot array has exactly as many slots as entries. */
   StringList(const QVCPMessage *msg, uint32_t baseId, uint32_t countId);
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
   const wchar_t *get(int32_t index) const { return (index >= 0 && index < m_count) ? m_values[index] : nullptr; }

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

   /* Sets field countId to the entry count (INT32), then field baseId + i to entry i
    * (STRING; a null entry as the empty text). */
   void fillMessage(QVCPMessage *msg, uint32_t baseId, uint32_t countId) const;
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * String maps
 *
 * StringMapBase maps wide-character keys to untyped values on a hash table and keeps its
 * entries in insertion order, which every enumeration, copy and conversion follows. The
 * map copies every key it is given and frees the copies itself. By default it ignores
 * the case of keys: it hashes and compares an upper-cased copy and reports each key as
 * the caller spelled it in the latest set of that key (upper case as qv_wcsupr makes it:
 * ASCII always, other characters by the character type locale, which must not change
 * while a map holds keys it would fold differently). An owning map releases values
 * through its destroy function (free by default) when they are replaced or removed and
 * when the map is cleared or destroyed; null values are never released. Values and keys
 * handed out stay valid until their entry is replaced or removed. A failed allocation
 * inside the hash table ends the process with exit code -1. Not synchronised: the owner
 * serialises access.
 * ------------------------------------------------------------------------------------- */

/* Result of enumeration callbacks and of forEach. */
enum EnumerationCallbackResult
{
   STOP_ENUMERATION = 0,     // stop now
   CONTINUE_ENUMERATION = 1  // go on; from forEach: the enumeration ran to the end
};

#ifdef __cplusplus

#include <new>

struct StringMapEntry;

class QV_EXPORT StringMapBase
{
   friend struct qv::containers::StringMapInternals;  // the library's own code of the map

private:
   StringMapEntry *m_objects;  // hash table head: first entry in insertion order, null when empty
   bool m_objectOwner;
   bool m_ignoreCase;
   void (*m_objectDestructor)(void *object, StringMapBase *map);

protected:
   /* The value, or null when key is null or not found (first length characters of key,
    * no terminator needed). */
   void *getObject(const wchar_t *key) const;
   void *getObject(const wchar_t *key, size_t length) const;
   /* As getObject, but tells a missing key (false, value untouched) from a null value. */
   bool findObject(const wchar_t *key, void **value) const;

   /* Inserts or replaces. With keyPreallocated the map takes over key (a malloc'ed
    * block), otherwise it copies it. A replaced entry keeps its place and, in an
    * ignore-case map, reports the new spelling. An owning map releases the old value
    * unless it is the one stored again. A null key stores nothing and an owning map
    * releases value; so does a failed allocation. */
   void setObject(wchar_t *key, void *value, bool keyPreallocated);

   /* Appends every value in insertion order to target with the array's add rule. */
   void fillValues(Array *target) const;

   /* Calls the destroy function for a non-null value. */
   void destroyObject(void *value);

   /* Replaces the function that releases owned values. */
   void setObjectDestructor(void (*destructor)(void *object, StringMapBase *map)) { m_objectDestructor = destructor; }

   /* Sets every reported key and value of src, in src's order, in this map. An owning
    * map stores copyValue's copy of each non-null value (an entry whose copy fails is
    * left out); a map that does not own its values shares src's pointers. Nothing when
    * src is this map. */
   void addEntriesFrom(const StringMapBase &src, void *(*copyValue)(const void *value));
   /* Clears this map, takes src's owner flag, ignore-case flag and destroy function, then
    * addEntriesFrom(src, copyValue). Nothing when src is this map. */
   void copyFrom(const StringMapBase &src, void *(*copyValue)(const void *value));

   /* Grow step of the arrays that toArray and the typed value collections return. */
   static constexpr int ARRAY_GROW_STEP = 16;

public:
   /* Empty; ignores case; releases owned values with free. */
   explicit StringMapBase(bool owner);
   /* Clears the map. */
   virtual ~StringMapBase();

   StringMapBase(const StringMapBase &) = delete;
   StringMapBase &operator=(const StringMapBase &) = delete;

   int size() const;
   bool isEmpty() const { return m_objects == nullptr; }

   /* False for a null key. The length form looks up the first length characters of key
    * (no terminator needed). */
   bool contains(const wchar_t *key) const;
   bool contains(const wchar_t *key, size_t length) const;

   /* Removes the matching entry, if any (a null key matches none): frees its keys and,
    * in an owning map, releases its non-null value. */
   void remove(const wchar_t *key);
   /* Removes every entry in insertion order as remove does. */
   void clear();

   /* Takes effect for later releases only. */
   void setOwner(bool owner) { m_objectOwner = owner; }
   bool isOwner() const { return m_objectOwner; }

   /* Switches case handling; the table is rebuilt with insertion order kept. Keys that
    * differ only in case stay separate entries after a switch to ignoring case (a lookup
    * then finds one of them); after a switch to exact case each entry keeps the spelling
    * it reported. */
   void setIgnoreCase(bool ignore);
   bool isIgnoreCase() const { return m_ignoreCase; }

   /* Calls callback for every entry in insertion order with the reported key, the value
    * and context, until it returns STOP_ENUMERATION; returns that, or
    * CONTINUE_ENUMERATION when every entry was visited. The callback must not change
    * the map. */
   EnumerationCallbackResult forEach(EnumerationCallbackResult (*callback)(const wchar_t *key, const void *value,
                                                                           void *context),
                                     void *context) const;
   /* The value of the first entry, in insertion order, for which comparator is true;
    * null if none. */
   const void *findElement(bool (*comparator)(const wchar_t *key, const void *value, void *context),
                           void *context) const;
   /* Removes, as remove does, every entry for which filter is false. */
   void filterElements(bool (*filter)(const wchar_t *key, const void *value, void *context), void *context);

   /* A new array (caller deletes it) of (reported key, value) pairs in insertion order;
    * the pairs point into the map. Null only when out of memory. */
   StructArray<KeyValuePair> *toArray() const;
   /* A new list (caller deletes it) of copies of the reported keys in insertion order.
    * Null only when out of memory. */
   StringList *keys() const;
};

/* Map of wide strings it owns (heap blocks released with free), with typed setters and
 * parsing getters. */
class QV_EXPORT StringMap : public StringMapBase
{
public:
   /* Empty, owning, ignoring case. */
   StringMap();
   /* Takes src's settings and its entries in src's order; an owning copy holds heap
    * copies of the values, a copy of a map that does not own its values shares them. */
   StringMap(const StringMap &src);
   virtual ~StringMap();
   /* Replaces the entries and settings with those of src as the copy constructor does;
    * assigning a map to itself changes nothing. */
   StringMap &operator=(const StringMap &src);

   /* Stores a heap copy of value (null stays null); a null key stores nothing. */
   void set(const wchar_t *key, const wchar_t *value);
   /* Takes over both malloc'ed blocks; with a null key an owning map frees value. */
   void setPreallocated(wchar_t *key, wchar_t *value);
   /* Store the decimal text of the value ("%d", "%u", "%I64d", "%I64u"). */
   void set(const wchar_t *key, int32_t value);
   void set(const wchar_t *key, uint32_t value);
   void set(const wchar_t *key, int64_t value);
   void set(const wchar_t *key, uint64_t value);

   /* The value, or null when the key is null or not found. */
   const wchar_t *get(const wchar_t *key) const { return static_cast<const wchar_t *>(getObject(key)); }
   const wchar_t *get(const wchar_t *key, size_t length) const
   {
      return static_cast<const wchar_t *>(getObject(key, length));
   }

   /* defaultValue when the key is null or not found or its value null; otherwise the
    * value parsed with base 0 (blanks skipped, optional sign, "0x" hexadecimal, a leading
    * 0 octal). Text that does not parse gives 0; out-of-range text saturates at the
    * type's limits (the 32-bit forms at the 32-bit limits). getUInt32 of a negative text
    * gives its value modulo 2^32. */
   int32_t getInt32(const wchar_t *key, int32_t defaultValue) const;
   uint32_t getUInt32(const wchar_t *key, uint32_t defaultValue) const;
   int64_t getInt64(const wchar_t *key, int64_t defaultValue) const;
   uint64_t getUInt64(const wchar_t *key, uint64_t defaultValue) const;
   double getDouble(const wchar_t *key, double defaultValue) const;
   /* defaultValue as above; "true" and "false" in any case; otherwise whether the value
    * parsed as getUInt32 does is not 0 (so other words are false). */
   bool getBoolean(const wchar_t *key, bool defaultValue) const;

   /* Sets every entry of other, in its order, under its reported key (existing keys are
    * replaced); values are copied as the copy constructor copies them. Null or this map
    * itself does nothing. */
   void addAll(const StringMap *other);

   /* A new JSON array (caller owns it: json_decref) of [key, value] arrays in insertion
    * order, texts as UTF-8 strings (an unpaired surrogate becomes U+FFFD), a null value
    * as JSON null. Null when out of memory. */
   json_t *toJson() const;

   /* Sets field sizeFieldId to the entry count (INT32), then for the i-th entry in
    * insertion order field baseFieldId + 2i to the reported key and baseFieldId + 2i + 1
    * to the value (STRING fields); a null value leaves its field unset. */
   void fillMessage(QVCPMessage *msg, uint32_t sizeFieldId, uint32_t baseFieldId) const;
   /* Adds the entries a message carries, as fillMessage writes them, as setPreallocated
    * does (present keys are replaced; the map is not cleared first). The count comes from
    * field sizeFieldId as a signed number; nothing is loaded unless it is positive, and
    * never more entries than the message has fields. A missing value field gives a null
    * value; an entry whose key field is missing is skipped. */
   void loadMessage(const QVCPMessage *msg, uint32_t sizeFieldId, uint32_t baseFieldId);
};

/* Map of objects of type T; an owning map deletes them as T. */
template <class T> class StringObjectMap : public StringMapBase
{
private:
   static void destroyValue(void *object, StringMapBase *) { delete static_cast<T *>(object); }

public:
   explicit StringObjectMap(bool owner) : StringMapBase(owner) { setObjectDestructor(destroyValue); }

   /* Copies key; a null key stores nothing (an owning map deletes object). */
   void set(const wchar_t *key, T *object) { setObject(const_cast<wchar_t *>(key), object, false); }
   /* Takes over the malloc'ed key. */
   void setPreallocated(wchar_t *key, T *object) { setObject(key, object, true); }
   T *get(const wchar_t *key) const { return static_cast<T *>(getObject(key)); }
   T *get(const wchar_t *key, size_t length) const { return static_cast<T *>(getObject(key, length)); }

   /* A new array (caller deletes it) of the objects in insertion order; it does not own
    * them. Null only when out of memory. */
   ObjectArray<T> *values() const
   {
      ObjectArray<T> *array = new (std::nothrow) ObjectArray<T>(size(), ARRAY_GROW_STEP, false);
      if (array != nullptr)
         fillValues(array);
      return array;
   }
};

/* Map of integers of type T (at most pointer-sized) kept in the value slots; never owns. */
template <class T> class StringIntMap : public StringMapBase
{
   static_assert(sizeof(T) <= sizeof(void *), "StringIntMap keeps each value in a pointer slot");

public:
   StringIntMap() : StringMapBase(false) {}

   /* Copies key; a null key stores nothing. */
   void set(const wchar_t *key, T value)
   {
      setObject(const_cast<wchar_t *>(key), reinterpret_cast<void *>(static_cast<intptr_t>(value)), false);
   }
   /* The value, or defaultValue when the key is null or not found. */
   T get(const wchar_t *key, T defaultValue = 0) const
   {
      void *value;
      return findObject(key, &value) ? static_cast<T>(reinterpret_cast<intptr_t>(value)) : defaultValue;
   }
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * String set
 *
 * StringSet is a set of wide-character strings with exact (case-sensitive) membership,
 * kept in insertion order, on a hash table. It owns heap copies (malloc) of its members,
 * which are never null. A failed allocation inside the hash table ends the process with
 * exit code -1. Not synchronised: the owner serialises access, iteration included.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

struct StringSetEntry;

class QV_EXPORT StringSet
{
   friend class StringSetIterator;

private:
   StringSetEntry *m_data;  // hash table head: first entry in insertion order, null when empty

   QV_INTERNAL StringSetEntry *find(const wchar_t *text, size_t length, unsigned *hash) const;
   QV_INTERNAL void removeEntry(StringSetEntry *entry);
   /* Adds text (a malloc'ed block the set takes over) unless an equal member exists, in
    * which case the block is freed. */
   QV_INTERNAL void addTaken(wchar_t *text);

public:
   StringSet();
   /* Clears the set. */
   ~StringSet();

   StringSet(const StringSet &) = delete;
   StringSet &operator=(const StringSet &) = delete;

   /* Adds a heap copy of text at the end unless an equal member exists. text must not be
    * null (null does nothing). */
   void add(const wchar_t *text);
   /* Takes over the malloc'ed block text: it becomes the member, or is freed at once when
    * an equal member exists (null does nothing). */
   void addPreallocated(wchar_t *text);
   /* Removes the member equal to text, if any, and frees it. */
   void remove(const wchar_t *text);
   /* Removes every member. */
   void clear();

   /* Exact match of every character; false for null. */
   bool contains(const wchar_t *text) const;
   int size() const;
   bool isEmpty() const { return m_data == nullptr; }
   /* True when other has as many members and holds every member of this set. A null
    * other is never equal. */
   bool equals(const StringSet *other) const;

   /* Calls callback with every member in insertion order until it returns false. The
    * callback must not change the set. */
   void forEach(bool (*callback)(const wchar_t *member, void *context), void *context) const;

   /* An empty or null separator adds text as one member; otherwise every piece of text
    * between occurrences of separator (left to right, without overlap) and the rest after
    * the last one are added, empty pieces included. A null text adds nothing. */
   void splitAndAdd(const wchar_t *text, const wchar_t *separator);
   /* add of every member of other in its order; null or this set itself does nothing. */
   void addAll(const StringSet *other);
   /* add of each non-null text of the count texts. */
   void addAll(wchar_t **texts, int count);
   /* addPreallocated of each non-null text: the set takes over every block. */
   void addAllPreallocated(wchar_t **texts, int count);

   /* Sets field baseId + i to the i-th member in insertion order (STRING), then field
    * countId to the number of members (INT32). */
   void fillMessage(QVCPMessage *msg, uint32_t baseId, uint32_t countId) const;
   /* Clears the set first when clearFirst, then adds the texts of fields baseId + i for i
    * below the count in field countId (an INT32 field taken as a signed number; nothing
    * unless positive, and never more entries than the message has fields), upper-cased
    * when toUppercase. Missing or non-STRING fields are skipped. */
   void addAllFromMessage(const QVCPMessage *msg, uint32_t baseId, uint32_t countId, bool clearFirst, bool toUppercase);

   /* The members in insertion order, separator put before a member only when separator
    * is not null and the text built so far is not empty. */
   String join(const wchar_t *separator) const;

   /* New iterator handle over the members in insertion order; the caller deletes it. */
   Iterator<const wchar_t> *iterator();
};

/* Walk over a set's members in insertion order (the set is not owned). next() returns
 * the next member, or null at the end. remove() removes the member last returned by
 * next() and does nothing before the first next() or when called again before the next
 * one; the walk goes on with the member after it. The iterator stays valid while the set
 * exists and no member other than the current one is removed through the set. */
class QV_EXPORT StringSetIterator : public AbstractIterator
{
private:
   StringSet *m_set;
   StringSetEntry *m_curr;  // member last returned by next(); null before that and after remove()
   StringSetEntry *m_next;  // the entry after m_curr, saved so that removing m_curr keeps the place
   bool m_started;

public:
   StringSetIterator(StringSet *set);
   virtual ~StringSetIterator();

   virtual bool hasNext() override;
   virtual void *next() override;
   virtual void remove() override;
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Hash map and hash set
 *
 * HashMapBase maps binary keys of one fixed length (set at construction) to untyped
 * values; HashSetBase holds such keys alone. Both copy every key they are given: a key of
 * up to 16 bytes is kept inside its entry, a longer one in a heap block of its own. Entries
 * stay in insertion order, which every enumeration and iteration follows; a key that is
 * set again keeps its place. An owning map releases values through its destroy function
 * (free by default) when they are replaced or removed and when the map is cleared or
 * destroyed; null values are never released. Keys are compared as bytes, so a key type
 * must have no padding. A failed allocation inside the hash table ends the process with
 * exit code -1. Not synchronised: the owner serialises access, iteration included.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

#include <type_traits>

struct HashMapEntry;
struct HashSetEntry;

class QV_EXPORT HashMapBase
{
   friend class HashMapIterator;
   friend struct qv::containers::HashMapInternals;  // the library's own code of the map

private:
   HashMapEntry *m_data;  // hash table head: first entry in insertion order, null when empty
   bool m_objectOwner;
   unsigned int m_keylen;
   void (*m_objectDestructor)(void *object, HashMapBase *map);

protected:
   /* Empty; releases owned values with free. keyLength bytes make every key. */
   HashMapBase(bool owner, unsigned int keyLength);

   /* Inserts at the end of insertion order or replaces the value of an equal key in
    * place; an owning map releases the old value unless it is the one stored again. A
    * null key does nothing (value is not released). */
   void _set(const void *key, void *value);
   /* The value, or null when the key is null or not found. */
   void *_get(const void *key) const;
   bool _contains(const void *key) const;
   /* Removes the matching entry, if any (a null key matches none), releasing its
    * non-null value in an owning map. */
   void _remove(const void *key);

   /* Replaces the function that releases owned values. */
   void setObjectDestructor(void (*destructor)(void *object, HashMapBase *map)) { m_objectDestructor = destructor; }

public:
   /* Clears the map. */
   virtual ~HashMapBase();

   HashMapBase(const HashMapBase &) = delete;
   HashMapBase &operator=(const HashMapBase &) = delete;

   /* Removes every entry in insertion order as _remove does. */
   void clear();
   int size() const;
   bool isEmpty() const { return m_data == nullptr; }
   /* Takes effect for later releases only. */
   void setOwner(bool owner) { m_objectOwner = owner; }
   bool isOwner() const { return m_objectOwner; }

   /* Calls callback for every entry in insertion order with the address of its key bytes,
    * its value and context, until it returns STOP_ENUMERATION; returns that, or
    * CONTINUE_ENUMERATION when every entry was visited. The callback must not change the
    * map. */
   EnumerationCallbackResult forEach(EnumerationCallbackResult (*callback)(const void *key, const void *value,
                                                                           void *context),
                                     void *context) const;
   /* The value of the first entry, in insertion order, for which comparator is true;
    * null if none. */
   const void *findElement(bool (*comparator)(const void *key, const void *value, void *context), void *context) const;
};

/* Map from keys of type K (copied as their bytes) to objects of type V; an owning map
 * deletes them as V. */
template <class K, class V> class HashMap : public HashMapBase
{
   static_assert(std::has_unique_object_representations<K>::value, "keys are hashed and compared as their bytes");

private:
   static void destroyValue(void *object, HashMapBase *) { delete static_cast<V *>(object); }

public:
   explicit HashMap(bool owner = false) : HashMapBase(owner, sizeof(K)) { setObjectDestructor(destroyValue); }

   void set(const K &key, V *value) { _set(&key, value); }
   /* The object, or null when the key is not found. */
   V *get(const K &key) const { return static_cast<V *>(_get(&key)); }
   bool contains(const K &key) const { return _contains(&key); }
   void remove(const K &key) { _remove(&key); }

   /* New iterator handle over the values in insertion order; the caller deletes it. */
   Iterator<V> *iterator();
};

class QV_EXPORT HashSetBase
{
private:
   HashSetEntry *m_data;  // hash table head: first entry in insertion order, null when empty
   unsigned int m_keylen;

protected:
   /* Empty; keyLength bytes make every key. */
   explicit HashSetBase(unsigned int keyLength);

   /* Adds a copy of key at the end of insertion order; nothing for a null key or one
    * already present. */
   void _put(const void *key);
   /* False for a null key. */
   bool _contains(const void *key) const;
   /* Removes the key when present; a null key does nothing. */
   void _remove(const void *key);

public:
   /* Clears the set. */
   virtual ~HashSetBase();

   HashSetBase(const HashSetBase &) = delete;
   HashSetBase &operator=(const HashSetBase &) = delete;

   void clear();
   int size() const;
   bool isEmpty() const { return m_data == nullptr; }

   /* Calls callback with the address of every key's bytes in insertion order until it
    * returns STOP_ENUMERATION; returns that, or CONTINUE_ENUMERATION at the end. The
    * callback must not change the set. */
   EnumerationCallbackResult forEach(EnumerationCallbackResult (*callback)(const void *key, void *context),
                                     void *context) const;
};

/* Set of keys of type K, copied as their bytes. */
template <class K> class HashSet : public HashSetBase
{
   static_assert(std::has_unique_object_representations<K>::value, "keys are hashed and compared as their bytes");

public:
   HashSet() : HashSetBase(sizeof(K)) {}

   void put(const K &key) { _put(&key); }
   bool contains(const K &key) const { return _contains(&key); }
   void remove(const K &key) { _remove(&key); }
};

/* Walk over a map's values in insertion order (the map is not owned). next() returns the
 * next value, or null at the end, which a stored null value looks like too: hasNext()
 * tells them apart. remove() removes the entry last returned by next() as _remove does
 * and the walk goes on with the entry after it. The iterator stays valid while the map
 * exists and no entry other than the current one is removed through the map. */
class QV_EXPORT HashMapIterator : public AbstractIterator
{
private:
   HashMapBase *m_map;
   HashMapEntry *m_curr;  // entry last returned by next(); null before that and after remove()
   HashMapEntry *m_next;  // the entry after m_curr, saved so that removing m_curr keeps the place
   bool m_started;

public:
   HashMapIterator(HashMapBase *map);
   virtual ~HashMapIterator();

   virtual bool hasNext() override;
   virtual void *next() override;
   virtual void remove() override;
};

template <class K, class V> Iterator<V> *HashMap<K, V>::iterator()
{
   return new Iterator<V>(new HashMapIterator(this));
}

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Queue
 *
 * Queue is the thread-safe first-in-first-out queue of untyped pointers between producer
 * and consumer threads. It never owns its elements: it neither copies nor destroys them.
 * The storage is a ring that grows by a fixed increment when full and shrinks back to its
 * initial size once it has drained to half of that. remove() withdraws an element in place
 * and leaves a hole (a null slot) that reads skip and size() still counts; a stored null
 * is a hole too. After setShutdownMode() every read returns QUEUE_SHUTDOWN_MARKER at once
 * and takes nothing, while put, insert, find, remove and clear go on working. Every
 * operation holds the queue's re-entrant mutex for its whole body; getOrBlock waits outside
 * it.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

#include <qv_threads.h>

/* What reads return in shutdown mode: the all-ones pointer. */
#define QUEUE_SHUTDOWN_MARKER (reinterpret_cast<void *>(static_cast<intptr_t>(-1)))

class QV_EXPORT Queue
{
   friend struct qv::containers::QueueInternals;  // the library's own code of the queue

private:
   mutable Mutex m_mutex;
   Condition m_condition;  // auto-reset: wakes one reader blocked in getOrBlock
   void **m_elements;
   uint32_t m_numElements;  // occupied slots, holes included
   uint32_t m_bufferSize;
   uint32_t m_initialSize;
   uint32_t m_first;  // oldest occupied slot
   uint32_t m_last;   // slot the next put fills
   uint32_t m_bufferIncrement;
   bool m_shutdownFlag;
   uint32_t m_waitingReaders;  // readers inside getOrBlock's wait; puts signal only when there are any

   /* The slot after slot in ring order. */
   uint32_t nextSlot(uint32_t slot) const { return (slot + 1 == m_bufferSize) ? 0 : slot + 1; }

public:
   /* Slots of a queue constructed without sizes, and slots added at each growth. */
   static constexpr uint32_t DEFAULT_INITIAL_SIZE = 256;
   static constexpr uint32_t DEFAULT_BUFFER_INCREMENT = 32;

   Queue();
   /* An increment of 0 is taken as 1, so that a full queue can always grow. */
   Queue(unsigned int initialSize, unsigned int bufferIncrement);
   /* Frees the storage; the elements are not touched. */
   ~Queue();

   Queue(const Queue &) = delete;
   Queue &operator=(const Queue &) = delete;

   /* Appends element (null leaves a hole) and wakes one blocked reader. When the storage
    * cannot grow (out of memory) the element is not queued. */
   void put(void *element);
   /* Puts element at the head, so it is the next one read, and wakes one blocked reader;
    * out of memory as put. */
   void insert(void *element);

   /* The oldest element, skipping holes; null when there is none. QUEUE_SHUTDOWN_MARKER
    * in shutdown mode. Never waits. */
   void *get();
   /* As get(), but waits up to timeout milliseconds (INFINITE: no limit) for an element;
    * null when the time ran out. The limit holds however often the thread is woken for an
    * element that another reader takes first. */
   void *getOrBlock(unsigned int timeout = INFINITE);

   /* Drops every element without touching it. */
   void clear();

   /* Switches to shutdown mode for good and releases every blocked reader, each of which
    * returns QUEUE_SHUTDOWN_MARKER. */
   void setShutdownMode();

   /* The first queued element (holes and QUEUE_SHUTDOWN_MARKER skipped) for which
    * comparator(key, element) is true, left in the queue; null if none. The comparator
    * runs under the queue's mutex and must not use this queue. */
   void *find(void *key, bool (*comparator)(const void *key, const void *element));
   /* Withdraws the first element (holes skipped) for which comparator is true, leaving a
    * hole; true when one was found. The element is not destroyed. */
   bool remove(void *key, bool (*comparator)(const void *key, const void *element));

   /* Occupied slots, holes included. */
   int size() const;
   /* Slots of the storage. */
   int allocated() const;
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Ring buffer and byte stream
 *
 * RingBuffer is a growable circular byte queue: writers append at the tail, readers take
 * from the head, and a reader can save its position and roll back to it while it waits
 * for a whole record. ByteStream is a growable byte array with one read/write position
 * for building and parsing binary records: integers and doubles in big-endian (network)
 * byte order and length-prefixed UTF-8 strings; it can be saved to a file descriptor and
 * loaded from a file. Blocks are C-heap blocks. A write whose growth cannot be allocated
 * is dropped. Neither class is synchronised.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

class QV_EXPORT RingBuffer
{
private:
   uint8_t *m_data;
   size_t m_size;  // bytes stored
   size_t m_allocated;
   size_t m_allocationStep;
   size_t m_readPos;   // index of the next byte to read
   size_t m_writePos;  // index where the next byte is written
   size_t m_savedPos;
   size_t m_savedSize;

   QV_INTERNAL bool grow(size_t length);

public:
   /* Allocates initialSize bytes; the storage grows by at least allocationStep bytes
    * when a write does not fit. */
   RingBuffer(size_t initialSize = 8192, size_t allocationStep = 8192);
   ~RingBuffer();

   RingBuffer(const RingBuffer &) = delete;
   RingBuffer &operator=(const RingBuffer &) = delete;

   /* Appends length bytes; when they do not fit the storage grows (stored bytes that
    * wrap are moved to the start of the new block). */
   void write(const uint8_t *data, size_t length);
   /* Copies min(length, size()) bytes from the head into buffer, removes them and
    * returns their count (0 when empty). */
   size_t read(uint8_t *buffer, size_t length);
   /* The head byte, removed; 0 when empty. */
   uint8_t readByte();

   /* Remembers the read position and size; restorePos goes back to them, so that bytes
    * read since are readable again. Valid only while no write has happened since
    * savePos (a write may move the stored bytes). */
   void savePos();
   void restorePos();

   /* Drops everything stored; the capacity stays. */
   void clear();

   size_t size() const { return m_size; }
   bool isEmpty() const { return m_size == 0; }
   /* Bytes of the storage. */
   size_t capacity() const { return m_allocated; }
};

class QV_EXPORT ByteStream
{
private:
   uint8_t *m_data;  // null while nothing is allocated
   size_t m_size;    // bytes of content
   size_t m_allocated;
   size_t m_pos;  // read/write position, never beyond m_size
   size_t m_allocationStep;

   QV_INTERNAL bool reserve(size_t length);
   /* The writes of whole values: room is made, the bytes copied at the position. */
   void writeBytes(const void *data, size_t length);
   void writeBytesSlow(const void *data, size_t length);
   /* A value between host and big-endian byte order (the same swap both ways). */
   template <typename T> static T bigEndian(T value);
   template <typename T> void writeBE(T value);
   void writeLongStringUtf8(const char *text, size_t length);
   template <typename T> T readBE();
   QV_INTERNAL bool readStringPrefix(size_t *length);

public:
   /* Allocation step of a new stream, in bytes. */
   static constexpr size_t DEFAULT_ALLOCATION_STEP = 4096;
   /* Longest string whose length prefix is 16 bits; longer ones get 32 bits with the
    * highest bit set, up to MAX_STRING_LENGTH bytes. */
   static constexpr size_t MAX_SHORT_STRING_LENGTH = 0x7FFF;
   static constexpr size_t MAX_STRING_LENGTH = 0x7FFFFFFF;
   /* Largest file load() reads: its size must fit 32 bits. */
   static constexpr uint64_t MAX_LOAD_SIZE = 0xFFFFFFFF;

   /* Allocates initialSize bytes (nothing for 0). */
   explicit ByteStream(size_t initialSize = 8192);
   /* A copy of size bytes of data (no block for 0), positioned at the start. */
   ByteStream(const void *data, size_t size);
   virtual ~ByteStream();

   ByteStream(const ByteStream &) = delete;
   ByteStream &operator=(const ByteStream &) = delete;

   /* Writes length bytes at the position, overwriting content there and extending the
    * size where they go past it; the position moves past them. When the storage has no
    * room it grows by max(allocation step, length). */
   void write(const void *data, size_t length) { writeBytes(data, length); }
   /* 8-bit values as they are; wider integers big-endian; a double as its IEEE 754 bytes
    * in big-endian order. */
   void write(char value) { writeBytes(&value, 1); }
   void write(signed char value) { writeBytes(&value, 1); }
   void write(unsigned char value) { writeBytes(&value, 1); }
   void write(int16_t value) { writeBE(static_cast<uint16_t>(value)); }
   void write(uint16_t value) { writeBE(value); }
   void write(int32_t value) { writeBE(static_cast<uint32_t>(value)); }
   void write(uint32_t value) { writeBE(value); }
   void write(int64_t value) { writeBE(static_cast<uint64_t>(value)); }
   void write(uint64_t value) { writeBE(value); }
   void write(double value)
   {
      uint64_t bits;
      memcpy(&bits, &value, sizeof(bits));
      writeBE(bits);
   }

   /* The UTF-8 form of text, written as writeStringUtf8 writes it (null: an empty
    * string). */
   void writeString(const wchar_t *text);
   /* The length n in bytes, as 16 bits big-endian when n <= MAX_SHORT_STRING_LENGTH,
    * otherwise as 32 bits big-endian with the highest bit set, then the n bytes. A null
    * text is written as an empty string; a text above MAX_STRING_LENGTH bytes, whose
    * length the prefix cannot hold, writes nothing. */
   void writeStringUtf8(const char *text);

   /* Copies min(length, size() - pos()) bytes from the position and advances it; returns
    * the count. */
   size_t read(void *buffer, size_t length);
   /* The byte at the position, advancing it; 0 at the end. */
   uint8_t readByte();
   char readChar() { return static_cast<char>(readByte()); }
   /* A big-endian value of 2, 4 or 8 bytes, advancing the position; when fewer bytes are
    * left, the position moves to the end and 0 is returned. */
   uint16_t readUInt16();
   int16_t readInt16() { return static_cast<int16_t>(readUInt16()); }
   uint32_t readUInt32();
   int32_t readInt32() { return static_cast<int32_t>(readUInt32()); }
   uint64_t readUInt64();
   int64_t readInt64() { return static_cast<int64_t>(readUInt64()); }
   double readDouble();

   /* A string written by writeStringUtf8, as a new malloc'ed terminated block (caller
    * frees it). Null, consuming nothing, when the length prefix is not all there; null
    * with the prefix consumed when fewer bytes than it announces remain. */
   char *readStringUtf8();
   /* The same string converted from UTF-8 (invalid sequences become '?') into a new
    * malloc'ed wide text; null as readStringUtf8. */
   wchar_t *readString();

   /* Moves the position there when it is not beyond the size; otherwise nothing. */
   void seek(size_t position)
   {
      if (position <= m_size)
         m_pos = position;
   }
   size_t pos() const { return m_pos; }
   size_t size() const { return m_size; }
   bool eos() const { return m_pos == m_size; }
   /* The content (inside the stream, valid until the next write) and its size in *size
    * (size may be null). */
   const uint8_t *buffer(size_t *size) const
   {
      if (size != nullptr)
         *size = m_size;
      return m_data;
   }
   /* A step of 0 is taken as 1. */
   void setAllocationStep(size_t step) { m_allocationStep = (step > 0) ? step : 1; }

   /* Writes the whole content to the file descriptor (repeating short writes); true when
    * every byte was written. */
   bool save(int fd);
   /* A new stream (the caller deletes it) holding the whole file, positioned at the
    * start; the content is followed by a 0 byte that does not count. A file that comes
    * up short gives the bytes actually read. Null when the file cannot be opened or read,
    * or is larger than MAX_LOAD_SIZE. */
   static ByteStream *load(const wchar_t *fileName);
};

/* The common writes are inline: a value that fits is stored without a call. */

inline void ByteStream::writeBytes(const void *data, size_t length)
{
   if (length == 0)
      return;
   if (length <= m_allocated - m_pos)
   {
      memcpy(m_data + m_pos, data, length);
      m_pos += length;
      if (m_pos > m_size)
         m_size = m_pos;
      return;
   }
   writeBytesSlow(data, length);
}

inline void ByteStream::writeStringUtf8(const char *text)
{
   size_t length = (text != nullptr) ? strlen(text) : 0;
   if (length > MAX_SHORT_STRING_LENGTH)
   {
      writeLongStringUtf8(text, length);
      return;
   }
   writeBE(static_cast<uint16_t>(length));
   writeBytes(text, length);
}

template <typename T> inline T ByteStream::bigEndian(T value)
{
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
   if constexpr (sizeof(T) == 2)
      return static_cast<T>(__builtin_bswap16(value));
   else if constexpr (sizeof(T) == 4)
      return static_cast<T>(__builtin_bswap32(value));
   else
      return static_cast<T>(__builtin_bswap64(value));
#else
   return value;
#endif
}

template <typename T> inline void ByteStream::writeBE(T value)
{
   value = bigEndian(value);
   writeBytes(&value, sizeof(T));
}

#endif /* __cplusplus */

#endif
