/* The dynamic wide-character String: linear growth by a per-object allocation step, an
 * optional buffer for empty strings, and C-heap ownership of blocks handed in and out. */
#include <qv_strings.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

#include <algorithm>

namespace {

/* Largest capacity in characters that a buffer may have: malloc refuses blocks above
 * PTRDIFF_MAX bytes, and staying below it keeps every byte count free of overflow. */
constexpr size_t MAX_CAPACITY = PTRDIFF_MAX / sizeof(wchar_t);

/* Room for the decimal text of any 64-bit value, sign included. */
constexpr size_t DECIMAL_BUFFER = 24;

/* Capacity after one growth step from allocated: allocated + max(step, minimum), or
 * allocated + minimum when the step would pass MAX_CAPACITY; never below least (the
 * capacity the operation cannot do without). 0 when even least is out of reach. */
size_t GrownCapacity(size_t allocated, size_t step, size_t minimum, size_t least)
{
   if (least > MAX_CAPACITY || allocated > MAX_CAPACITY)
      return 0;
   size_t room = MAX_CAPACITY - allocated;
   size_t by = std::max(step, minimum);
   size_t target;
   if (by <= room)
      target = allocated + by;
   else if (minimum <= room)
      target = allocated + minimum;
   else
      target = least;
   return std::max(target, least);
}

inline size_t Bytes(size_t characters)
{
   return characters * sizeof(wchar_t);
}

/* A malloc'ed terminated copy of count characters of text; null when out of memory. */
wchar_t *DuplicateChars(const wchar_t *text, size_t count)
{
   wchar_t *copy = static_cast<wchar_t *>(malloc(Bytes(count + 1)));
   if (copy != nullptr)
   {
      memcpy(copy, text, Bytes(count));
      copy[count] = 0;
   }
   return copy;
}

/* Index of the first occurrence of pattern (length p > 0) in text[from, length), or
 * SIZE_MAX. Candidates are found by their first character. */
size_t NextMatch(const wchar_t *text, size_t length, size_t from, const wchar_t *pattern, size_t p)
{
   while (p <= length && from <= length - p)
   {
      const wchar_t *hit = wmemchr(text + from, pattern[0], length - p + 1 - from);
      if (hit == nullptr)
         return SIZE_MAX;
      size_t index = static_cast<size_t>(hit - text);
      if (wmemcmp(hit + 1, pattern + 1, p - 1) == 0)
         return index;
      from = index + 1;
   }
   return SIZE_MAX;
}

/* Writes src (length characters) into dst with every occurrence of from replaced by to,
 * left to right and without overlap, and terminates it. dst may be src itself when t is
 * not longer than f: the write position then never passes the read position. Returns the
 * new length. */
size_t ReplaceInto(wchar_t *dst, const wchar_t *src, size_t length, const wchar_t *from, size_t f, const wchar_t *to,
                   size_t t)
{
   size_t written = 0;
   size_t copied = 0;  // end of the part of src already written
   for (size_t hit = NextMatch(src, length, 0, from, f); hit != SIZE_MAX; hit = NextMatch(src, length, copied, from, f))
   {
      memmove(dst + written, src + copied, Bytes(hit - copied));
      written += hit - copied;
      memmove(dst + written, to, Bytes(t));
      written += t;
      copied = hit + f;
   }
   memmove(dst + written, src + copied, Bytes(length - copied));
   written += length - copied;
   dst[written] = 0;
   return written;
}

}  // namespace

namespace qv::text {

/* The one friend of String: its buffer management, each on the string it is given. */
struct StringInternals
{
   /* Makes room for count more characters and a terminator by the growth rule. */
   static bool grow(String *self, size_t count, size_t minimum);
   static void appendDecimal(String *self, uint64_t magnitude, bool negative);
   static bool assignCopy(String *self, const wchar_t *text, size_t count);
   static bool affixMatches(const String *self, const wchar_t *affix, size_t n, bool atEnd);
   static String select(const String *self, size_t start, size_t count);
};

}  // namespace qv::text

using qv::text::StringInternals;

String::String() : m_buffer(nullptr), m_length(0), m_allocated(0), m_allocationStep(DEFAULT_ALLOCATION_STEP) {}

String::String(const String &src)
    : m_buffer(nullptr), m_length(0), m_allocated(1), m_allocationStep(src.m_allocationStep)
{
   // The capacity recorded for an empty copy is 1 even though no block exists.
   if (src.m_length > 0)
   {
      m_buffer = DuplicateChars(src.m_buffer, src.m_length);
      if (m_buffer != nullptr)
      {
         m_length = src.m_length;
         m_allocated = m_length + 1;
      }
   }
}

String::String(String &&src) noexcept
    : m_buffer(src.m_buffer), m_length(src.m_length), m_allocated(src.m_allocated),
      m_allocationStep(src.m_allocationStep)
{
   src.m_buffer = nullptr;
   src.m_length = 0;
   src.m_allocated = 0;
}

String::String(const wchar_t *text)
    : m_buffer(nullptr), m_length(0), m_allocated(0), m_allocationStep(DEFAULT_ALLOCATION_STEP)
{
   *this = text;
}

String &String::operator=(const String &src)
{
   if (&src == this)
      return *this;
   if (src.m_buffer != nullptr && src.m_length > 0)
   {
      if (!StringInternals::assignCopy(this, src.m_buffer, src.m_length))
         return *this;
   }
   else
   {
      free(m_buffer);
      m_buffer = nullptr;
      m_length = 0;
   }
   m_allocated = m_length + 1;
   m_allocationStep = src.m_allocationStep;
   return *this;
}

String &String::operator=(String &&src) noexcept
{
   if (&src != this)
   {
      free(m_buffer);
      m_buffer = src.m_buffer;
      m_length = src.m_length;
      m_allocated = src.m_allocated;
      m_allocationStep = src.m_allocationStep;
      src.m_buffer = nullptr;
      src.m_length = 0;
      src.m_allocated = 0;
   }
   return *this;
}

String &String::operator=(const wchar_t *text)
{
   if (text == nullptr)
      text = L"";
   // The copy is made before the old buffer goes, so the string's own text may be assigned.
   StringInternals::assignCopy(this, text, textLength(text));
   return *this;
}

/* Replaces the buffer with an exact copy of count characters of text (which may lie in
 * the old buffer); false and no change when out of memory. */
bool StringInternals::assignCopy(String *self, const wchar_t *text, size_t count)
{
   wchar_t *copy = (count < MAX_CAPACITY) ? DuplicateChars(text, count) : nullptr;
   if (copy == nullptr)
      return false;
   if (self->m_buffer != nullptr)
      free(self->m_buffer);
   self->m_buffer = copy;
   self->m_length = count;
   self->m_allocated = count + 1;
   return true;
}

/* Length of a wide text argument; a pointer into this string's own buffer is measured no
 * further than the terminator at the length (0 beyond it). */
size_t String::textLength(const wchar_t *text) const
{
   if (!ownsPointer(text))
      return wcslen(text);
   size_t offset = static_cast<size_t>(text - m_buffer);
   return (offset < m_length) ? wcsnlen(text, m_length - offset) : 0;
}

/* Makes room for count more characters and a terminator by the growth rule. False, with
 * the string unchanged, when the size would overflow or the heap is exhausted. */
bool StringInternals::grow(String *self, size_t count, size_t minimum)
{
   if (count >= MAX_CAPACITY - self->m_length)
      return false;
   size_t least = self->m_length + count + 1;
   if (self->m_buffer != nullptr && least <= self->m_allocated)
      return true;
   size_t target = GrownCapacity(self->m_allocated, self->m_allocationStep, minimum, least);
   if (target == 0)
      return false;
   wchar_t *p = static_cast<wchar_t *>(realloc(self->m_buffer, Bytes(target)));
   if (p == nullptr)
   {
      // A large step may be what the heap cannot give: try with the bare minimum.
      size_t fallback = GrownCapacity(self->m_allocated, 0, minimum, least);
      if (fallback == 0 || fallback >= target)
         return false;
      target = fallback;
      p = static_cast<wchar_t *>(realloc(self->m_buffer, Bytes(target)));
      if (p == nullptr)
         return false;
   }
   self->m_buffer = p;
   self->m_allocated = target;
   return true;
}

/* Appends count characters (count may be 0: a string without a buffer then gets one).
 * Text inside the own buffer is re-found after growth and taken no further than the
 * terminator. */
void String::appendChars(const wchar_t *text, size_t count)
{
   if (ownsPointer(text))
   {
      size_t offset = static_cast<size_t>(text - m_buffer);
      count = std::min(count, (offset <= m_length) ? m_length + 1 - offset : 0);
      if (count >= m_allocated - m_length && !StringInternals::grow(this, count, count + 1))
         return;
      memmove(m_buffer + m_length, m_buffer + offset, Bytes(count));
   }
   else
   {
      if ((m_buffer == nullptr || count >= m_allocated - m_length) && !StringInternals::grow(this, count, count + 1))
         return;
      memcpy(m_buffer + m_length, text, Bytes(count));
   }
   m_length += count;
   m_buffer[m_length] = 0;
}

void String::appendCharGrowing(wchar_t ch)
{
   if (!StringInternals::grow(this, 1, 2))
      return;
   m_buffer[m_length++] = ch;
   m_buffer[m_length] = 0;
}

void StringInternals::appendDecimal(String *self, uint64_t magnitude, bool negative)
{
   wchar_t digits[DECIMAL_BUFFER];
   size_t pos = DECIMAL_BUFFER;
   do
   {
      digits[--pos] = static_cast<wchar_t>(L'0' + magnitude % 10);
      magnitude /= 10;
   } while (magnitude != 0);
   if (negative)
      digits[--pos] = L'-';
   self->appendChars(digits + pos, DECIMAL_BUFFER - pos);
}

void String::append(int32_t n)
{
   append(static_cast<int64_t>(n));
}

void String::append(uint32_t n)
{
   StringInternals::appendDecimal(this, n, false);
}

void String::append(int64_t n)
{
   // The magnitude is taken in unsigned arithmetic, so INT64_MIN needs no special case.
   uint64_t magnitude = (n < 0) ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
   StringInternals::appendDecimal(this, magnitude, n < 0);
}

void String::append(uint64_t n)
{
   StringInternals::appendDecimal(this, n, false);
}

void String::appendPreallocated(wchar_t *text)
{
   if (text == nullptr)
      return;
   if (ownsPointer(text))
   {
      // The block is this string's own buffer, not the caller's to hand over.
      append(text);
      return;
   }
   appendChars(text, wcslen(text));
   free(text);
}

void String::appendFormattedString(const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   appendFormattedStringV(format, args);
   va_end(args);
}

void String::appendFormattedStringV(const wchar_t *format, va_list args)
{
   if (format == nullptr)
      return;
   va_list measure;
   va_copy(measure, args);
   int length = qv_vsnwprintf(nullptr, 0, format, measure);
   va_end(measure);
   if (length < 0)
      return;
   size_t size = static_cast<size_t>(length) + 1;
   wchar_t *text = static_cast<wchar_t *>(malloc(Bytes(size)));
   if (text == nullptr)
      return;
   int written = qv_vsnwprintf(text, size, format, args);
   if (written == length)
      appendChars(text, static_cast<size_t>(length));
   free(text);
}

void String::appendMBString(const char *bytes, size_t byteCount, int codePage)
{
   if (bytes == nullptr || byteCount == 0 || byteCount > static_cast<size_t>(INT_MAX))
      return;
   char *copy = nullptr;
   if (ownsPointer(bytes) || ownsPointer(bytes + byteCount - 1))
   {
      // Bytes from the own buffer would be overwritten by the conversion's output.
      copy = static_cast<char *>(malloc(byteCount));
      if (copy == nullptr)
         return;
      memcpy(copy, bytes, byteCount);
      bytes = copy;
   }
   if ((m_buffer == nullptr || byteCount >= m_allocated - m_length) &&
       !StringInternals::grow(this, byteCount, byteCount + 1))
   {
      free(copy);
      return;
   }
   // The output may use all the room there is except the terminator's slot.
   size_t room = std::min(m_allocated - m_length - 1, static_cast<size_t>(INT_MAX));
   int converted =
       mb_to_wchar_cp(codePage, bytes, static_cast<int>(byteCount), m_buffer + m_length, static_cast<int>(room));
   if (converted > 0)
      m_length += std::min(static_cast<size_t>(converted), room);
   m_buffer[m_length] = 0;
   free(copy);
}

String &String::operator+=(const String &other)
{
   if (other.m_length > 0)
      appendChars(other.m_buffer, other.m_length);
   return *this;
}

String String::operator+(const String &other) const
{
   String result(*this);
   if (other.m_buffer != nullptr)
      result.append(other.m_buffer);
   return result;
}

String String::operator+(const wchar_t *text) const
{
   String result(*this);
   result.append(text);
   return result;
}

void String::escapeCharacter(int ch, int esc)
{
   if (m_buffer == nullptr)
      return;
   const wchar_t c = static_cast<wchar_t>(ch);
   size_t occurrences = 0;
   size_t textEnd = 0;
   for (; m_buffer[textEnd] != 0; textEnd++)
      if (m_buffer[textEnd] == c)
         occurrences++;
   if (occurrences == 0 || !StringInternals::grow(this, occurrences, occurrences))
      return;

   // Whatever follows the first zero (terminator included) moves right as one piece; the
   // text before it is then rebuilt from the back, each occurrence getting esc in front.
   memmove(m_buffer + textEnd + occurrences, m_buffer + textEnd, Bytes(m_length - textEnd + 1));
   size_t src = textEnd;
   size_t dst = textEnd + occurrences;
   while (dst != src)
   {
      wchar_t x = m_buffer[--src];
      m_buffer[--dst] = x;
      if (x == c)
         m_buffer[--dst] = static_cast<wchar_t>(esc);
   }
   m_length += occurrences;
}

void String::replace(const wchar_t *from, const wchar_t *to)
{
   // An empty from would match everywhere and never let the scan end.
   if (m_buffer == nullptr || from == nullptr || to == nullptr || *from == 0)
      return;
   size_t f = textLength(from);
   size_t t = textLength(to);
   if (f == 0 || f > m_length)
      return;

   // Texts from the own buffer change as the buffer is rewritten: work from copies.
   bool ownFrom = ownsPointer(from);
   bool ownTo = ownsPointer(to);
   wchar_t *fromCopy = ownFrom ? DuplicateChars(from, f) : nullptr;
   wchar_t *toCopy = ownTo ? DuplicateChars(to, t) : nullptr;
   if ((ownFrom && fromCopy == nullptr) || (ownTo && toCopy == nullptr))
   {
      free(fromCopy);
      free(toCopy);
      return;
   }
   if (fromCopy != nullptr)
      from = fromCopy;
   if (toCopy != nullptr)
      to = toCopy;

   if (t <= f)
   {
      m_length = ReplaceInto(m_buffer, m_buffer, m_length, from, f, to, t);
   }
   else
   {
      // The capacity is what growing by t - f per replacement, one at a time, gives; the
      // result is then built in one pass into a block of that size.
      size_t d = t - f;
      size_t length = m_length;
      size_t allocated = m_allocated;
      bool fits = true;
      for (size_t hit = NextMatch(m_buffer, m_length, 0, from, f); hit != SIZE_MAX && fits;
           hit = NextMatch(m_buffer, m_length, hit + f, from, f))
      {
         if (d >= MAX_CAPACITY - length)
            fits = false;
         else if (length + d >= allocated)
            allocated = GrownCapacity(allocated, m_allocationStep, d, length + d + 1);
         length += d;
      }
      bool found = length > m_length;
      wchar_t *result = (fits && found) ? static_cast<wchar_t *>(malloc(Bytes(allocated))) : nullptr;
      if (result != nullptr)
      {
         m_length = ReplaceInto(result, m_buffer, m_length, from, f, to, t);
         free(m_buffer);
         m_buffer = result;
         m_allocated = allocated;
      }
   }
   free(fromCopy);
   free(toCopy);
}

void String::trim()
{
   if (m_buffer == nullptr)
      return;
   size_t end = wcslen(m_buffer);
   size_t begin = 0;
   while (begin < end && iswspace(m_buffer[begin]))
      begin++;
   while (end > begin && iswspace(m_buffer[end - 1]))
      end--;
   if (begin > 0)
      memmove(m_buffer, m_buffer + begin, Bytes(end - begin));
   m_length = end - begin;
   m_buffer[m_length] = 0;
}

void String::shrink(size_t count)
{
   if (m_length == 0)
      return;
   m_length -= std::min(count, m_length);
   if (m_buffer != nullptr)
      m_buffer[m_length] = 0;
}

void String::clear()
{
   m_length = 0;
   if (m_buffer != nullptr)
      m_buffer[0] = 0;
}

void String::toUppercase()
{
   for (size_t i = 0; i < m_length; i++)
      m_buffer[i] = static_cast<wchar_t>(towupper(m_buffer[i]));
}

void String::toLowercase()
{
   for (size_t i = 0; i < m_length; i++)
      m_buffer[i] = static_cast<wchar_t>(towlower(m_buffer[i]));
}

void String::setBuffer(wchar_t *buffer)
{
   if (buffer != nullptr && ownsPointer(buffer))
   {
      // The own buffer (or a text inside it) is kept: freeing it would lose the text.
      size_t length = textLength(buffer);
      memmove(m_buffer, buffer, Bytes(length));
      m_length = length;
      m_buffer[m_length] = 0;
      return;
   }
   free(m_buffer);
   m_buffer = buffer;
   m_length = (buffer != nullptr) ? wcslen(buffer) : 0;
   m_allocated = (buffer != nullptr) ? m_length + 1 : 0;
}

char *String::getUTF8String() const
{
   if (m_buffer == nullptr || m_length == 0)
   {
      char *empty = static_cast<char *>(malloc(1));
      if (empty != nullptr)
         *empty = 0;
      return empty;
   }
   return UTF8StringFromWideString(m_buffer);
}

bool String::equals(const String &other) const
{
   return m_length == other.m_length && (m_length == 0 || memcmp(m_buffer, other.m_buffer, Bytes(m_length)) == 0);
}

bool String::equals(const wchar_t *text) const
{
   return text != nullptr && wcscmp(static_cast<const wchar_t *>(*this), text) == 0;
}

/* True when the n characters of affix equal the first (atEnd false) or the last
 * characters of the text; an empty affix always matches, a longer one never. */
bool StringInternals::affixMatches(const String *self, const wchar_t *affix, size_t n, bool atEnd)
{
   if (n > self->m_length)
      return false;
   return n == 0 || memcmp(atEnd ? self->m_buffer + self->m_length - n : self->m_buffer, affix, Bytes(n)) == 0;
}

bool String::startsWith(const String &prefix) const
{
   return StringInternals::affixMatches(this, prefix.m_buffer, prefix.m_length, false);
}

bool String::startsWith(const wchar_t *prefix) const
{
   return prefix != nullptr && StringInternals::affixMatches(this, prefix, textLength(prefix), false);
}

bool String::endsWith(const String &suffix) const
{
   return StringInternals::affixMatches(this, suffix.m_buffer, suffix.m_length, true);
}

bool String::endsWith(const wchar_t *suffix) const
{
   return suffix != nullptr && StringInternals::affixMatches(this, suffix, textLength(suffix), true);
}

int32_t String::find(const wchar_t *pattern, size_t start) const
{
   if (pattern == nullptr || start >= m_length)
      return npos;
   size_t p = textLength(pattern);
   if (p == 0)
      return (start <= static_cast<size_t>(INT32_MAX)) ? static_cast<int32_t>(start) : npos;
   size_t textEnd = start + wcslen(m_buffer + start);
   size_t hit = NextMatch(m_buffer, textEnd, start, pattern, p);
   return (hit <= static_cast<size_t>(INT32_MAX)) ? static_cast<int32_t>(hit) : npos;
}

/* A new string (default step) with at most count characters from start; empty when start
 * is not below the length. */
String StringInternals::select(const String *self, size_t start, size_t count)
{
   String result;
   if (start < self->m_length)
   {
      count = std::min(count, self->m_length - start);
      if (count > 0)
         assignCopy(&result, self->m_buffer + start, count);
   }
   return result;
}

String String::substring(size_t start, int32_t count) const
{
   return StringInternals::select(this, start, (count < 0) ? SIZE_MAX : static_cast<size_t>(count));
}

wchar_t *String::substring(size_t start, int32_t count, wchar_t *buffer) const
{
   size_t n = 0;
   if (start < m_length)
      n = (count < 0) ? m_length - start : std::min(static_cast<size_t>(count), m_length - start);
   if (buffer == nullptr)
   {
      buffer = static_cast<wchar_t *>(malloc(Bytes(n + 1)));
      if (buffer == nullptr)
         return nullptr;
   }
   // memmove: the caller's buffer may be this string's own.
   if (n > 0)
      memmove(buffer, m_buffer + start, Bytes(n));
   buffer[n] = 0;
   return buffer;
}

String String::left(size_t count) const
{
   return StringInternals::select(this, 0, count);
}

String String::right(size_t count) const
{
   size_t n = std::min(count, m_length);
   return StringInternals::select(this, m_length - n, n);
}
