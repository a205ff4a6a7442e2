/* The conversion loop shared by the Unicode converters and the code page converters: a
 * reader that takes one character from a source form and a writer that puts it into a
 * destination form, with runs that need no decoding (ASCII; between UTF-16 and the 32-bit
 * forms every character of one unit) copied sixteen units at a time in between. */
#ifndef QORVEL_TEXT_CONVERT_CORE_H
#define QORVEL_TEXT_CONVERT_CORE_H

#include <qv_base.h>

#include <stdlib.h>
#include <string.h>

#include "text/ascii_run.h"
#include "text/bmp_run.h"
#include "text/utf8_codec.h"

namespace qv::text {

/* Lengths of zero-terminated texts of each unit type. */
inline size_t TextLength(const char *s)
{
   return strlen(s);
}

inline size_t TextLength(const wchar_t *s)
{
   return wcslen(s);
}

template <typename T> inline size_t TextLength(const T *s)
{
   size_t n = 0;
   while (s[n] != 0)
      n++;
   return n;
}

/* ---- Readers: Read() takes one character from s (remaining >= 1 units left), stores its
 * code point (NO_CHARACTER for units that carry none) and returns the units consumed. */

struct Utf8Reader
{
   typedef char Unit;
   static size_t Read(const char *s, size_t remaining, UCS4CHAR *cp)
   {
      return Utf8DecodeOne(reinterpret_cast<const unsigned char *>(s), remaining, cp);
   }
};

/* UTF-16 in units of type T; unpaired surrogates are dropped, or become '?' when
 * REPLACE_UNPAIRED is set (used where the output must stand for every input character). */
template <typename T, bool REPLACE_UNPAIRED = false> struct Utf16Reader
{
   typedef T Unit;
   static size_t Read(const T *s, size_t remaining, UCS4CHAR *cp)
   {
      size_t used = Utf16DecodeOne(s, remaining, cp);
      if (REPLACE_UNPAIRED && *cp == NO_CHARACTER)
         *cp = '?';
      return used;
   }
};

/* UCS-4 in units of type T (UCS4CHAR or wchar_t); every value is taken as it is. */
template <typename T> struct Ucs4Reader
{
   typedef T Unit;
   static size_t Read(const T *s, size_t remaining, UCS4CHAR *cp)
   {
      *cp = static_cast<UCS4CHAR>(s[0]);
      return 1;
   }
};

/* ---- Writers: Length() is the units a code point takes (0: dropped), Put() writes them,
 * Count() is what the length functions count for it. */

template <typename T> struct Ucs4Writer
{
   typedef T Unit;
   static size_t Length(UCS4CHAR cp) { return (cp == NO_CHARACTER) ? 0 : 1; }
   static void Put(UCS4CHAR cp, T *out) { out[0] = static_cast<T>(cp); }
   static size_t Count(UCS4CHAR cp) { return Length(cp); }
};

template <typename T> struct Utf16Writer
{
   typedef T Unit;
   static size_t Length(UCS4CHAR cp) { return Utf16EncodedLength(cp); }
   static void Put(UCS4CHAR cp, T *out) { Utf16EncodeOne(cp, out); }
   /* Values above 0xFFFF count two units even beyond 0x10FFFF, where the converters drop
    * them: the count is for sizing a buffer, and an excess is harmless. */
   static size_t Count(UCS4CHAR cp) { return (cp > MAX_BMP) ? 2 : 1; }
};

struct Utf8Writer
{
   typedef char Unit;
   static size_t Length(UCS4CHAR cp) { return Utf8EncodedLength(cp); }
   static void Put(UCS4CHAR cp, char *out) { Utf8EncodeOne(cp, out); }
   static size_t Count(UCS4CHAR cp) { return Length(cp); }
};

/* True when src (remaining >= 1 units) starts with two ASCII units, or one at the end:
 * worth leaving the character loop for the run copy. A single ASCII unit between other
 * characters (a space in CJK text) stays in the character loop. */
template <typename T> inline bool StartsAsciiRun(const T *src, size_t remaining)
{
   return UnitValue(src[0]) < 0x80 && (remaining < 2 || UnitValue(src[1]) < 0x80);
}

/* The run copy of a reader and writer pair: Copy() converts the run at the start of src
 * (available units) into dst (room units) and returns its length; Starts() tells the
 * character loop when to hand over to it. ASCII for every pair by default. */
template <class R, class W> struct DirectRun
{
   static size_t Copy(const typename R::Unit *src, size_t available, typename W::Unit *dst, size_t room)
   {
      return ConvertAsciiRun(src, available, dst, room);
   }
   static bool Starts(const typename R::Unit *src, size_t remaining) { return StartsAsciiRun(src, remaining); }
};

/* UTF-16 to a 32-bit form: every unit that is not a surrogate. */
template <typename S, bool REPLACE, typename D> struct DirectRun<Utf16Reader<S, REPLACE>, Ucs4Writer<D>>
{
   static size_t Copy(const S *src, size_t available, D *dst, size_t room)
   {
      if constexpr (sizeof(S) == 2)
         return WidenBmpRun(src, available, dst, room);
      else
         return ConvertAsciiRun(src, available, dst, room);
   }
   static bool Starts(const S *src, size_t remaining)
   {
      return IsSingleUnit(static_cast<UCS4CHAR>(src[0])) &&
             (remaining < 2 || IsSingleUnit(static_cast<UCS4CHAR>(src[1])));
   }
};

/* A 32-bit form to UTF-16: every character up to 0xFFFF. */
template <typename S, typename D> struct DirectRun<Ucs4Reader<S>, Utf16Writer<D>>
{
   static size_t Copy(const S *src, size_t available, D *dst, size_t room)
   {
      return NarrowBmpRun(src, available, dst, room);
   }
   static bool Starts(const S *src, size_t remaining)
   {
      return static_cast<UCS4CHAR>(src[0]) <= MAX_UTF16_UNIT &&
             (remaining < 2 || static_cast<UCS4CHAR>(src[1]) <= MAX_UTF16_UNIT);
   }
};

/* Converts src[*pos .. n) into dst[0 .. capacity) character by character and returns the
 * units written. Stops at the first character whose output does not fit entirely, so no
 * partial sequence is written; *pos is left at the first unconsumed source unit, and
 * equals n when the whole source was converted. */
template <class R, class W>
size_t ConvertRun(const typename R::Unit *src, size_t n, size_t *pos, typename W::Unit *dst, size_t capacity)
{
   size_t in = *pos;
   size_t out = 0;
   while (in < n)
   {
      size_t run = DirectRun<R, W>::Copy(src + in, n - in, dst + out, capacity - out);
      in += run;
      out += run;
      if (in == n)
         break;
      // Characters beyond the run (or one that found no room), one by one until a run
      // comes again.
      do
      {
         UCS4CHAR cp;
         size_t used = R::Read(src + in, n - in, &cp);
         size_t k = W::Length(cp);
         if (k > capacity - out)
         {
            *pos = in;
            return out;
         }
         if (k > 0)
            W::Put(cp, dst + out);
         out += k;
         in += used;
      } while (in < n && !DirectRun<R, W>::Starts(src + in, n - in));
   }
   *pos = in;
   return out;
}

/* Destination units that ConvertRun would produce for the whole of src[0 .. n), as the
 * writer's Count() sees them. */
template <class R, class W> size_t MeasureRun(const typename R::Unit *src, size_t n)
{
   size_t in = 0;
   size_t total = 0;
   while (in < n)
   {
      size_t run = CountAsciiRun(src + in, n - in);
      in += run;
      total += run;
      while (in < n && UnitValue(src[in]) >= 0x80)
      {
         UCS4CHAR cp;
         in += R::Read(src + in, n - in, &cp);
         total += W::Count(cp);
      }
   }
   return total;
}

/* Source units to convert for a source length of the interface: -1 measures a
 * zero-terminated text; other negative lengths and a null source convert nothing. */
template <typename T> inline size_t SourceUnits(const T *src, int srcLen)
{
   if (src == nullptr)
      return 0;
   if (srcLen == -1)
      return TextLength(src);
   return (srcLen > 0) ? static_cast<size_t>(srcLen) : 0;
}

/* Clamps a count to the int range of the interface. */
inline int ClampCount(size_t count)
{
   return (count > static_cast<size_t>(INT32_MAX)) ? INT32_MAX : static_cast<int>(count);
}

/* A bounded conversion of n source units into dst (dstLen units; nothing is written when
 * dstLen <= 0). With terminate set one unit is kept for the terminator, which then goes
 * after the last character written: when the output would fill the destination, the
 * last whole character gives way to it rather than only its last unit, so no partial
 * sequence remains. Returns the units written, terminator not counted. */
template <class R, class W>
int ConvertBounded(const typename R::Unit *src, size_t n, bool terminate, typename W::Unit *dst, int dstLen)
{
   if (dst == nullptr || dstLen <= 0)
      return 0;
   size_t capacity = static_cast<size_t>(dstLen) - (terminate ? 1 : 0);
   size_t pos = 0;
   size_t written = ConvertRun<R, W>(src, n, &pos, dst, capacity);
   if (terminate)
      dst[written] = 0;
   return static_cast<int>(written);
}

/* A length function: the destination units for the source plus one for a terminator. */
template <class R, class W> int MeasureBounded(const typename R::Unit *src, int srcLen)
{
   return ClampCount(MeasureRun<R, W>(src, SourceUnits(src, srcLen)) + 1);
}

/* A new zero-terminated block (units destination units, terminator included) holding the
 * conversion of src[0 .. n); units must hold the whole output. Null when out of memory. */
template <class R, class W> typename W::Unit *ConvertToNewBlock(const typename R::Unit *src, size_t n, size_t units)
{
   typedef typename W::Unit Out;
   Out *block = static_cast<Out *>(malloc(units * sizeof(Out)));
   if (block == nullptr)
      return nullptr;
   size_t pos = 0;
   size_t written = ConvertRun<R, W>(src, n, &pos, block, units - 1);
   block[written] = 0;
   return block;
}

}  // namespace qv::text

#endif
