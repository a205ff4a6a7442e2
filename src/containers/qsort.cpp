/* QSortEx: in-place sort with a caller context. Quicksort without recursion (explicit stack
 * of pending ranges, pseudo-median-of-nine pivots) leaves short ranges unsorted, and one
 * straight insertion pass over the whole array finishes them. */
#include <qv_containers.h>

#include <stdlib.h>
#include <string.h>

namespace {

typedef int (*CompareFunction)(const void *a, const void *b, void *context);

// Arrays of fewer elements skip the quick phase (first and last must be more than 12 apart).
const size_t QUICK_PHASE_MIN_COUNT = 14;

// Ranges of at most this many elements are left to the insertion pass.
const size_t SMALL_RANGE_COUNT = 12;

// Ranges whose ends are more than this many elements apart take the median of nine.
const size_t MEDIAN_OF_NINE_SPAN = 40;

// The smallest element is looked for among this many leading elements before the
// insertion pass.
const size_t LEADING_MINIMUM_COUNT = 13;

// The larger part is pushed and the smaller one sorted next, so each pending range is at
// most half of the one below it: one entry per bit of a count is always enough.
const size_t MAX_PENDING_RANGES = sizeof(size_t) * 8;

// The temporary element lives on the stack up to this size, on the C heap beyond it.
const size_t LOCAL_TEMP_SIZE = 256;

/* Element moves for a size known when compiling; memcpy of a constant size becomes plain
 * word loads and stores, which are safe at any alignment. */
template <size_t N> struct FixedSizeElements
{
   size_t size() const { return N; }

   void copy(char *dst, const char *src) const { memcpy(dst, src, N); }

   void exchange(char *a, char *b) const
   {
      unsigned char t[N];
      memcpy(t, a, N);
      memcpy(a, b, N);
      memcpy(b, t, N);
   }
};

/* Element moves for any other size: 64-bit words while they fit, then 32-bit, then bytes. */
struct AnySizeElements
{
   size_t n;

   size_t size() const { return n; }

   void copy(char *dst, const char *src) const { memcpy(dst, src, n); }

   void exchange(char *a, char *b) const
   {
      size_t left = n;
      for (; left >= sizeof(uint64_t); left -= sizeof(uint64_t), a += sizeof(uint64_t), b += sizeof(uint64_t))
      {
         uint64_t x, y;
         memcpy(&x, a, sizeof(x));
         memcpy(&y, b, sizeof(y));
         memcpy(a, &y, sizeof(y));
         memcpy(b, &x, sizeof(x));
      }
      if (left >= sizeof(uint32_t))
      {
         uint32_t x, y;
         memcpy(&x, a, sizeof(x));
         memcpy(&y, b, sizeof(y));
         memcpy(a, &y, sizeof(y));
         memcpy(b, &x, sizeof(x));
         left -= sizeof(uint32_t);
         a += sizeof(uint32_t);
         b += sizeof(uint32_t);
      }
      for (; left > 0; left--, a++, b++)
      {
         char t = *a;
         *a = *b;
         *b = t;
      }
   }
};

template <class Elements> class Sorter
{
private:
   Elements m_elements;
   CompareFunction m_compare;
   void *m_context;
   char *m_temp;

   int compare(const char *a, const char *b) const { return m_compare(a, b, m_context); }

   /* Median of three without moving anything. */
   char *medianOfThree(char *a, char *b, char *c) const
   {
      char *larger = a;
      char *smaller = b;
      if (compare(a, b) < 0)
      {
         larger = b;
         smaller = a;
      }
      if (compare(larger, c) < 0)
         return larger;
      return (compare(smaller, c) < 0) ? c : smaller;
   }

   bool isSorted(const char *lo, const char *hi) const
   {
      const size_t es = m_elements.size();
      for (const char *p = lo; p < hi; p += es)
         if (compare(p, p + es) > 0)
            return false;
      return true;
   }

public:
   Sorter(Elements elements, CompareFunction compare, void *context, char *temp)
       : m_elements(elements), m_compare(compare), m_context(context), m_temp(temp)
   {}

   void quickPhase(char *base, size_t count);
   void insertionPass(char *base, size_t count);
};

/* Partitions ranges until every one left is short (or sorted), each range given by its
 * first and last element. The scans are bounded by the range, so that a comparator that
 * is not a consistent order cannot take them outside it. */
template <class Elements> void Sorter<Elements>::quickPhase(char *base, size_t count)
{
   const size_t es = m_elements.size();
   struct Range
   {
      char *lo;
      char *hi;
   } pending[MAX_PENDING_RANGES];
   size_t depth = 0;

   char *lo = base;
   char *hi = base + (count - 1) * es;
   for (;;)
   {
      size_t span = static_cast<size_t>(hi - lo) / es;
      char *mid = lo + (span / 2) * es;
      char *first, *last, *pivot;
      if (span > MEDIAN_OF_NINE_SPAN)
      {
         size_t d = (span / 8) * es;
         char *m1 = medianOfThree(lo, lo + d, lo + 2 * d);
         char *m2 = medianOfThree(mid - d, mid, mid + d);
         char *m3 = medianOfThree(hi - 2 * d, hi - d, hi);
         pivot = medianOfThree(m1, m2, m3);
         first = lo;
         last = hi;
      }
      else
      {
         if (compare(lo, mid) > 0)
            m_elements.exchange(lo, mid);
         if (compare(mid, hi) > 0)
         {
            m_elements.exchange(mid, hi);
            if (compare(lo, mid) > 0)
               m_elements.exchange(lo, mid);
         }
         pivot = mid;
         first = lo + es;
         last = hi - es;
      }
      m_elements.copy(m_temp, pivot);

      char *left = first;
      char *right = last;
      bool exchanged = false;
      char *leftEnd;     // the lower part is [lo, leftEnd)
      char *rightBegin;  // the upper part is [rightBegin, hi]
      for (;;)
      {
         while ((left < last) && (compare(left, m_temp) < 0))
            left += es;
         while ((right > first) && (compare(m_temp, right) < 0))
            right -= es;
         if (left < right)
         {
            m_elements.exchange(left, right);
            exchanged = true;
            left += es;
            right -= es;
            if (left <= right)
               continue;
            leftEnd = left;
            rightBegin = left;
         }
         else if (left == right)
         {
            leftEnd = right;
            rightBegin = left + es;
         }
         else
         {
            leftEnd = right + es;
            rightBegin = left;
         }
         break;
      }

      // A range that needed no exchange may be sorted already: then the insertion pass
      // finishes it in linear time. Otherwise it is split like any other, so that input
      // built to avoid exchanges cannot make the insertion pass quadratic.
      size_t lowerCount = static_cast<size_t>(leftEnd - lo) / es;
      size_t upperCount = static_cast<size_t>(hi + es - rightBegin) / es;
      bool lowerSmall = lowerCount <= SMALL_RANGE_COUNT;
      bool upperSmall = upperCount <= SMALL_RANGE_COUNT;
      if ((!exchanged && isSorted(lo, hi)) || (lowerSmall && upperSmall))
      {
         if (depth == 0)
            return;
         depth--;
         lo = pending[depth].lo;
         hi = pending[depth].hi;
      }
      else if (lowerSmall)
      {
         lo = rightBegin;
      }
      else if (upperSmall)
      {
         hi = leftEnd - es;
      }
      else if (lowerCount >= upperCount)
      {
         pending[depth].lo = lo;
         pending[depth].hi = leftEnd - es;
         depth++;
         lo = rightBegin;
      }
      else
      {
         pending[depth].lo = rightBegin;
         pending[depth].hi = hi;
         depth++;
         hi = leftEnd - es;
      }
   }
}

/* Moves the smallest of the leading elements to the front, then sorts by straight
 * insertion. The insertion point is bounded by the first element, so the result is sorted
 * whatever the quick phase left behind. */
template <class Elements> void Sorter<Elements>::insertionPass(char *base, size_t count)
{
   const size_t es = m_elements.size();
   size_t leading = (count < LEADING_MINIMUM_COUNT) ? count : LEADING_MINIMUM_COUNT;
   char *candidate = base;
   for (char *p = base + (leading - 1) * es; p > base; p -= es)
      if (compare(candidate, p) > 0)
         candidate = p;
   if (candidate != base)
      m_elements.exchange(candidate, base);

   char *end = base + count * es;
   for (char *p = base + es; p < end; p += es)
   {
      if (compare(p - es, p) <= 0)
         continue;
      m_elements.copy(m_temp, p);
      char *q = p;
      do
      {
         m_elements.copy(q, q - es);
         q -= es;
      } while ((q > base) && (compare(q - es, m_temp) > 0));
      m_elements.copy(q, m_temp);
   }
}

template <class Elements>
void Sort(Elements elements, char *base, size_t count, void *context, CompareFunction compare, char *temp)
{
   Sorter<Elements> sorter(elements, compare, context, temp);
   if (count >= QUICK_PHASE_MIN_COUNT)
      sorter.quickPhase(base, count);
   sorter.insertionPass(base, count);
}

template <size_t N> void SortFixed(char *base, size_t count, void *context, CompareFunction compare, char *temp)
{
   Sort(FixedSizeElements<N>(), base, count, context, compare, temp);
}

}  // namespace

void QSortEx(void *base, size_t count, size_t elementSize, void *context,
             int (*compare)(const void *a, const void *b, void *context))
{
   if ((count <= 1) || (base == nullptr) || (elementSize == 0) || (compare == nullptr))
      return;

   char local[LOCAL_TEMP_SIZE];
   char *temp = local;
   if (elementSize > sizeof(local))
   {
      temp = static_cast<char *>(malloc(elementSize));
      if (temp == nullptr)
         return;
   }

   char *elements = static_cast<char *>(base);
   switch (elementSize)
   {
      case 1: SortFixed<1>(elements, count, context, compare, temp); break;
      case 2: SortFixed<2>(elements, count, context, compare, temp); break;
      case 4: SortFixed<4>(elements, count, context, compare, temp); break;
      case 8: SortFixed<8>(elements, count, context, compare, temp); break;
      case 12: SortFixed<12>(elements, count, context, compare, temp); break;
      case 16: SortFixed<16>(elements, count, context, compare, temp); break;
      case 24: SortFixed<24>(elements, count, context, compare, temp); break;
      case 32: SortFixed<32>(elements, count, context, compare, temp); break;
      default: Sort(AnySizeElements{elementSize}, elements, count, context, compare, temp); break;
   }

   if (temp != local)
      free(temp);
}
