/* The growable array in pointer and element mode, and its iterator. */
#include <qv_containers.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Grow step used when the caller gives none (or one below 1).
const int DEFAULT_GROW_STEP = 16;

// Capacity used when the caller gives a negative initial capacity.
const int DEFAULT_CAPACITY = 16;

// Elements up to this size that must be staged (see StagedElement) are kept on the stack.
const size_t STAGE_ON_STACK_SIZE = 256;

int EffectiveGrowStep(int grow)
{
   return (grow > 0) ? grow : DEFAULT_GROW_STEP;
}

int EffectiveCapacity(int initial)
{
   return (initial >= 0) ? initial : DEFAULT_CAPACITY;
}

/* An element-mode argument may point into the array's own storage (a.add(a.get(0))). When
 * the storage is about to move or shift, such an element is copied aside first; any other
 * argument is used where it is. */
class StagedElement
{
private:
   unsigned char m_local[STAGE_ON_STACK_SIZE];
   void *m_heap;
   const void *m_element;
   bool m_valid;

public:
   StagedElement(const void *element, const void *storage, size_t storageBytes, size_t elementSize)
       : m_heap(nullptr), m_element(element), m_valid(true)
   {
      uintptr_t e = reinterpret_cast<uintptr_t>(element);
      uintptr_t s = reinterpret_cast<uintptr_t>(storage);
      if ((element == nullptr) || (storageBytes == 0) || (e >= s + storageBytes) || (e + elementSize <= s))
         return;
      void *copy = m_local;
      if (elementSize > sizeof(m_local))
      {
         m_heap = malloc(elementSize);
         copy = m_heap;
      }
      if (copy != nullptr)
         memcpy(copy, element, elementSize);
      else
         m_valid = false;
      m_element = copy;
   }

   ~StagedElement() { free(m_heap); }

   StagedElement(const StagedElement &) = delete;
   StagedElement &operator=(const StagedElement &) = delete;

   bool isValid() const { return m_valid; }
   const void *get() const { return m_element; }
};

}  // namespace

AbstractIterator::~AbstractIterator() {}

Array::Array(int initial, int grow, bool owner)
{
   m_size = 0;
   m_allocated = EffectiveCapacity(initial);
   m_grow = EffectiveGrowStep(grow);
   m_elementSize = sizeof(void *);
   m_data = nullptr;
   m_owner = owner;
   m_storePointers = true;
   m_objectDestructor = free;
   if (m_allocated > 0)
   {
      m_data = malloc(static_cast<size_t>(m_allocated) * m_elementSize);
      if (m_data == nullptr)
         m_allocated = 0;
   }
}

Array::Array(void *data, int initial, int grow, size_t elementSize)
{
   m_size = 0;
   m_allocated = EffectiveCapacity(initial);
   m_grow = EffectiveGrowStep(grow);
   m_elementSize = elementSize;
   m_owner = false;
   m_storePointers = false;
   m_objectDestructor = free;

   size_t bytes;
   if (__builtin_mul_overflow(static_cast<size_t>(m_allocated), elementSize, &bytes))
   {
      m_allocated = 0;
      bytes = 0;
   }
   m_data = malloc(bytes);  // also for a capacity of 0, so that the buffer is never null
   if ((m_data == nullptr) && (bytes > 0))
      m_allocated = 0;

   // A negative count comes with no elements (the capacity is then the default one).
   if ((data != nullptr) && (initial > 0) && (m_allocated >= initial))
   {
      memcpy(m_data, data, static_cast<size_t>(initial) * elementSize);
      m_size = initial;
   }
}

Array::Array(const Array *src, void *(*copyObject)(const void *object))
{
   m_size = src->m_size;
   m_allocated = src->m_allocated;
   m_grow = src->m_grow;
   m_elementSize = src->m_elementSize;
   m_data = nullptr;
   m_owner = src->m_owner;
   m_storePointers = src->m_storePointers;
   m_objectDestructor = src->m_objectDestructor;

   if (src->m_data != nullptr)
   {
      size_t bytes = static_cast<size_t>(m_allocated) * m_elementSize;
      m_data = malloc(bytes);
      if (m_data != nullptr)
      {
         if (bytes > 0)
            memcpy(m_data, src->m_data, bytes);
      }
      else if (bytes > 0)
      {
         m_size = 0;
         m_allocated = 0;
      }
   }

   // Two owners of one object would release it twice: copy the objects or do not own.
   if (m_owner)
   {
      if (copyObject != nullptr)
      {
         void **slots = static_cast<void **>(m_data);
         for (int i = 0; i < m_size; i++)
            if (slots[i] != nullptr)
               slots[i] = copyObject(slots[i]);
      }
      else
      {
         m_owner = false;
      }
   }
}

Array::~Array()
{
   destroyObjects();
   free(m_data);
}

void Array::releaseObject(void *object) const
{
   if ((object != nullptr) && (m_objectDestructor != nullptr))
      m_objectDestructor(object);
}

void Array::destroyObjects()
{
   if (!m_owner || !m_storePointers)
      return;
   void **slots = static_cast<void **>(m_data);
   for (int i = 0; i < m_size; i++)
      releaseObject(slots[i]);
}

bool Array::reallocate(int capacity)
{
   size_t bytes;
   if (__builtin_mul_overflow(static_cast<size_t>(capacity), m_elementSize, &bytes) || (bytes == 0))
      return false;
   void *data = realloc(m_data, bytes);
   if (data == nullptr)
      return false;
   m_data = data;
   m_allocated = capacity;
   return true;
}

/* Room for a store at index >= size: the capacity grows to the old one plus the fewest
 * whole grow steps that exceed index. */
bool Array::makeRoomFor(int index)
{
   if (index < m_allocated)
      return true;
   int64_t capacity = static_cast<int64_t>(index) + m_grow - (static_cast<int64_t>(index) - m_allocated) % m_grow;
   if (capacity > INT_MAX)
      return false;
   return reallocate(static_cast<int>(capacity));
}

void Array::storeElement(int index, const void *element)
{
   if (m_storePointers)
      static_cast<void **>(m_data)[index] = const_cast<void *>(element);
   else if (element != nullptr)
      memmove(slot(index), element, m_elementSize);  // may be another slot of this array
   else
      memset(slot(index), 0, m_elementSize);
}

void *Array::get(int index) const
{
   if ((index < 0) || (index >= m_size))
      return nullptr;
   return m_storePointers ? static_cast<void **>(m_data)[index] : slot(index);
}

int Array::indexOf(void *element) const
{
   if (m_storePointers)
   {
      void **slots = static_cast<void **>(m_data);
      for (int i = 0; i < m_size; i++)
         if (slots[i] == element)
            return i;
   }
   else if (element != nullptr)
   {
      for (int i = 0; i < m_size; i++)
         if (memcmp(slot(i), element, m_elementSize) == 0)
            return i;
   }
   return -1;
}

bool Array::growByStep()
{
   return (m_grow <= INT_MAX - m_allocated) && reallocate(m_allocated + m_grow);
}

int Array::add(void *element)
{
   StagedElement staged(element, m_data, storedBytes(), m_elementSize);
   if (!staged.isValid() || ((m_size == m_allocated) && !growByStep()))
      return -1;
   storeElement(m_size, staged.get());
   return m_size++;
}

void Array::set(int index, void *element)
{
   if (index < 0)
      return;
   if (index < m_size)
   {
      replace(index, element);
      return;
   }
   StagedElement staged(element, m_data, storedBytes(), m_elementSize);
   if (!staged.isValid() || !makeRoomFor(index))
      return;
   memset(slot(m_size), 0, static_cast<size_t>(index - m_size) * m_elementSize);
   storeElement(index, staged.get());
   m_size = index + 1;
}

void Array::replace(int index, void *element)
{
   if ((index < 0) || (index >= m_size))
      return;
   if (m_storePointers)
   {
      void *old = static_cast<void **>(m_data)[index];
      static_cast<void **>(m_data)[index] = element;
      // Storing the same object again must not release it.
      if (m_owner && (old != element))
         releaseObject(old);
   }
   else
   {
      storeElement(index, element);
   }
}

void Array::insert(int index, void *element)
{
   if (index < 0)
      return;
   if (index >= m_size)
   {
      set(index, element);
      return;
   }
   StagedElement staged(element, m_data, storedBytes(), m_elementSize);
   if (!staged.isValid() || ((m_size == m_allocated) && !growByStep()))
      return;
   memmove(slot(index + 1), slot(index), static_cast<size_t>(m_size - index) * m_elementSize);
   m_size++;
   storeElement(index, staged.get());
}

void Array::removeAt(int index, bool destroy)
{
   if ((index < 0) || (index >= m_size))
      return;
   void *object = m_storePointers ? static_cast<void **>(m_data)[index] : nullptr;
   memmove(slot(index), slot(index + 1), static_cast<size_t>(m_size - index - 1) * m_elementSize);
   m_size--;
   if (destroy && m_owner)
      releaseObject(object);
}

void Array::remove(int index)
{
   removeAt(index, true);
}

void Array::clear()
{
   destroyObjects();
   m_size = 0;
   if (m_allocated > m_grow)
      reallocate(m_grow);  // on failure the larger block simply stays
}

void Array::sort(int (*compare)(const void *, const void *))
{
   if (m_size > 1)
      qsort(m_data, static_cast<size_t>(m_size), m_elementSize, compare);
}

void *Array::find(const void *key, int (*compare)(const void *, const void *)) const
{
   if ((m_size == 0) || (key == nullptr))
      return nullptr;
   return bsearch(key, m_data, static_cast<size_t>(m_size), m_elementSize, compare);
}

ArrayIterator::ArrayIterator(Array *array) : m_array(array), m_position(-1), m_removable(false) {}

ArrayIterator::~ArrayIterator() {}

bool ArrayIterator::hasNext()
{
   return m_position + 1 < m_array->size();
}

void *ArrayIterator::next()
{
   if (m_position + 1 >= m_array->size())
      return nullptr;
   m_position++;
   m_removable = true;
   return m_array->get(m_position);
}

/* Removes the element last returned by next(), the last one of the array included; a
 * second call without next() in between does nothing. */
void ArrayIterator::remove()
{
   if (!m_removable || (m_position < 0) || (m_position >= m_array->size()))
      return;
   m_array->remove(m_position);
   m_position--;
   m_removable = false;
}
