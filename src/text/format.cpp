/* The library's printf: one formatter for wide and 8-bit output that follows the library's
 * format rules on every platform. In a wide format "%s" is wide text and "%hs"/"%S" 8-bit
 * text; in an 8-bit format "%s" is 8-bit text and "%ls"/"%S" wide text; "%I64d", "%I32d"
 * and "%Id" choose 64-bit, 32-bit and pointer-sized integers. 8-bit text is taken as UTF-8.
 * Every formatted function of the library goes through here. */
#include <qv_strings.h>
#include "text/utf8_codec.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Text used for a null string argument. */
const char NULL_STRING_TEXT[] = "(null)";

/* Room for a formatted floating-point value before a heap block is needed. */
constexpr size_t FLOAT_STACK_BUFFER = 512;

/* Output position with a capacity: characters beyond the capacity are only counted, so
 * the same pass both writes and measures. One slot is kept for the terminator. */
template <typename C> struct Sink
{
   C *buffer;
   size_t limit;  // characters that may be written (capacity - 1), 0 when measuring
   size_t count;  // characters produced so far, written or not

   void put(C ch)
   {
      if (count < limit)
         buffer[count] = ch;
      count++;
   }

   void fill(C ch, size_t n)
   {
      if (count < limit)
      {
         size_t room = limit - count;
         size_t k = n < room ? n : room;
         for (size_t i = 0; i < k; i++)
            buffer[count + i] = ch;
      }
      count += n;
   }

   template <typename S> void copy(const S *s, size_t n)
   {
      if (count < limit)
      {
         size_t room = limit - count;
         size_t k = n < room ? n : room;
         if constexpr (sizeof(S) == sizeof(C))
            memcpy(buffer + count, s, k * sizeof(C));
         else
            for (size_t i = 0; i < k; i++)
               buffer[count + i] = static_cast<C>(static_cast<unsigned char>(s[i]));
      }
      count += n;
   }
};

/* One parsed conversion directive. */
struct Directive
{
   bool left = false;
   bool plus = false;
   bool space = false;
   bool alt = false;
   bool zero = false;
   int width = 0;
   int precision = -1;
   enum Size
   {
      DEFAULT,
      CHAR,
      SHORT,
      LONG,
      LONGLONG,
      SIZE,
      LONGDOUBLE,
      WIDE,
      NARROW
   } size = DEFAULT;
};

template <typename C> void PadBefore(Sink<C> &out, const Directive &dir, size_t length)
{
   if (!dir.left && static_cast<size_t>(dir.width) > length)
      out.fill(' ', dir.width - length);
}

template <typename C> void PadAfter(Sink<C> &out, const Directive &dir, size_t length)
{
   if (dir.left && static_cast<size_t>(dir.width) > length)
      out.fill(' ', dir.width - length);
}

/* Writes an integer with sign, prefix, precision and padding. */
template <typename C> void FormatInteger(Sink<C> &out, const Directive &dir, uint64_t magnitude, bool negative, C conv)
{
   char digits[32];
   size_t n = 0;
   unsigned base = (conv == 'o') ? 8 : ((conv == 'x' || conv == 'X' || conv == 'p') ? 16 : 10);
   const char *alphabet = (conv == 'x') ? "0123456789abcdef" : "0123456789ABCDEF";
   for (uint64_t v = magnitude; v != 0; v /= base)
      digits[n++] = alphabet[v % base];

   size_t precision = (dir.precision >= 0) ? static_cast<size_t>(dir.precision) : 1;
   size_t zeros = (n < precision) ? precision - n : 0;
   if (conv == 'o' && dir.alt && zeros == 0 && (n == 0 || digits[n - 1] != '0'))
      zeros = 1;

   char prefix[2];
   size_t prefixLength = 0;
   if (conv == 'd' || conv == 'i')
   {
      if (negative)
         prefix[prefixLength++] = '-';
      else if (dir.plus)
         prefix[prefixLength++] = '+';
      else if (dir.space)
         prefix[prefixLength++] = ' ';
   }
   else if (dir.alt && magnitude != 0 && (conv == 'x' || conv == 'X'))
   {
      prefix[prefixLength++] = '0';
      prefix[prefixLength++] = static_cast<char>(conv);
   }

   size_t length = prefixLength + zeros + n;
   if (dir.zero && !dir.left && dir.precision < 0 && static_cast<size_t>(dir.width) > length)
   {
      zeros += dir.width - length;
      length = dir.width;
   }
   PadBefore(out, dir, length);
   out.copy(prefix, prefixLength);
   out.fill('0', zeros);
   while (n > 0)
      out.put(static_cast<C>(digits[--n]));
   PadAfter(out, dir, length);
}

/* 8-bit text (UTF-8) into the output: bytes as they are for 8-bit output, decoded code
 * points for wide output. Precision limits the characters taken from the argument. */
template <typename C> void FormatNarrowString(Sink<C> &out, const Directive &dir, const char *s)
{
   if (s == nullptr)
      s = NULL_STRING_TEXT;
   size_t limit = (dir.precision >= 0) ? static_cast<size_t>(dir.precision) : SIZE_MAX;
   if constexpr (sizeof(C) == 1)
   {
      size_t n = (limit == SIZE_MAX) ? strlen(s) : strnlen(s, limit);
      PadBefore(out, dir, n);
      out.copy(s, n);
      PadAfter(out, dir, n);
   }
   else
   {
      const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
      size_t bytes = strlen(s);
      // A pure ASCII prefix is copied without decoding.
      size_t ascii = 0;
      while (ascii < bytes && ascii < limit && u[ascii] < 0x80)
         ascii++;
      if (ascii == bytes || ascii == limit)
      {
         PadBefore(out, dir, ascii);
         out.copy(s, ascii);
         PadAfter(out, dir, ascii);
         return;
      }
      size_t chars = 0;
      if (dir.width > 0)
      {
         for (size_t pos = 0; pos < bytes && chars < limit; chars++)
         {
            UCS4CHAR cp;
            pos += qv::text::Utf8DecodeOne(u + pos, bytes - pos, &cp);
         }
         PadBefore(out, dir, chars);
      }
      size_t written = 0;
      for (size_t pos = 0; pos < bytes && written < limit; written++)
      {
         UCS4CHAR cp;
         pos += qv::text::Utf8DecodeOne(u + pos, bytes - pos, &cp);
         out.put(static_cast<C>(cp));
      }
      PadAfter(out, dir, written);
   }
}

/* Wide text into the output: copied for wide output, encoded as UTF-8 for 8-bit output
 * (precision and width then count bytes, and a character is never cut in the middle). */
template <typename C> void FormatWideString(Sink<C> &out, const Directive &dir, const wchar_t *s)
{
   if (s == nullptr)
   {
      Directive narrow = dir;
      FormatNarrowString(out, narrow, NULL_STRING_TEXT);
      return;
   }
   size_t limit = (dir.precision >= 0) ? static_cast<size_t>(dir.precision) : SIZE_MAX;
   if constexpr (sizeof(C) == sizeof(wchar_t))
   {
      size_t n = (limit == SIZE_MAX) ? wcslen(s) : wcsnlen(s, limit);
      PadBefore(out, dir, n);
      out.copy(s, n);
      PadAfter(out, dir, n);
   }
   else
   {
      size_t bytes = 0;
      for (const wchar_t *p = s; *p != 0; p++)
      {
         size_t k = qv::text::Utf8EncodedLength(static_cast<UCS4CHAR>(*p));
         if (bytes + k > limit)
            break;
         bytes += k;
      }
      PadBefore(out, dir, bytes);
      size_t written = 0;
      for (const wchar_t *p = s; *p != 0; p++)
      {
         char enc[4];
         size_t k = qv::text::Utf8EncodeOne(static_cast<UCS4CHAR>(*p), enc);
         if (written + k > bytes)
            break;
         out.copy(enc, k);
         written += k;
      }
      PadAfter(out, dir, bytes);
   }
}

/* Floating-point values go through the C library's 8-bit formatter, which already has
 * the library's rules for them ("%f" gives six decimals). */
template <typename C> bool FormatFloat(Sink<C> &out, const Directive &dir, C conv, va_list *args)
{
   char format[32];
   size_t n = 0;
   format[n++] = '%';
   if (dir.left)
      format[n++] = '-';
   if (dir.plus)
      format[n++] = '+';
   if (dir.space)
      format[n++] = ' ';
   if (dir.alt)
      format[n++] = '#';
   if (dir.zero)
      format[n++] = '0';
   format[n++] = '*';
   format[n++] = '.';
   format[n++] = '*';
   if (dir.size == Directive::LONGDOUBLE)
      format[n++] = 'L';
   format[n++] = static_cast<char>(conv);
   format[n] = 0;

   char stackBuffer[FLOAT_STACK_BUFFER];
   int length;
   long double ldValue = 0;
   double dValue = 0;
   if (dir.size == Directive::LONGDOUBLE)
      ldValue = va_arg(*args, long double);
   else
      dValue = va_arg(*args, double);
   int precision = (dir.precision >= 0) ? dir.precision : -1;
   if (dir.size == Directive::LONGDOUBLE)
      length = snprintf(stackBuffer, sizeof(stackBuffer), format, dir.width, precision, ldValue);
   else
      length = snprintf(stackBuffer, sizeof(stackBuffer), format, dir.width, precision, dValue);
   if (length < 0)
      return false;
   if (static_cast<size_t>(length) < sizeof(stackBuffer))
   {
      out.copy(stackBuffer, length);
      return true;
   }
   char *heapBuffer = static_cast<char *>(malloc(length + 1));
   if (heapBuffer == nullptr)
      return false;
   if (dir.size == Directive::LONGDOUBLE)
      snprintf(heapBuffer, length + 1, format, dir.width, precision, ldValue);
   else
      snprintf(heapBuffer, length + 1, format, dir.width, precision, dValue);
   out.copy(heapBuffer, length);
   free(heapBuffer);
   return true;
}

/* Whether a character or string argument is wide. The lower-case conversion takes the
 * output's own width and the upper-case one the other width; "h" forces 8-bit and
 * "l"/"w" wide. */
template <bool WIDE_OUTPUT> bool ArgumentIsWide(bool lowerCase, const Directive &dir)
{
   bool defaultWide = lowerCase ? WIDE_OUTPUT : !WIDE_OUTPUT;
   return defaultWide ? (dir.size != Directive::SHORT) : (dir.size == Directive::LONG);
}

/* Reads an integer argument of the size the directive names. */
int64_t SignedArgument(const Directive &dir, va_list *args)
{
   switch (dir.size)
   {
      case Directive::CHAR: return static_cast<signed char>(va_arg(*args, int));
      case Directive::SHORT: return static_cast<short>(va_arg(*args, int));
      case Directive::LONG: return va_arg(*args, long);
      case Directive::LONGLONG: return va_arg(*args, long long);
      case Directive::SIZE: return va_arg(*args, ptrdiff_t);
      default: return va_arg(*args, int);
   }
}

uint64_t UnsignedArgument(const Directive &dir, va_list *args)
{
   switch (dir.size)
   {
      case Directive::CHAR: return static_cast<unsigned char>(va_arg(*args, unsigned int));
      case Directive::SHORT: return static_cast<unsigned short>(va_arg(*args, unsigned int));
      case Directive::LONG: return va_arg(*args, unsigned long);
      case Directive::LONGLONG: return va_arg(*args, unsigned long long);
      case Directive::SIZE: return va_arg(*args, size_t);
      default: return va_arg(*args, unsigned int);
   }
}

/* The formatter proper. Returns the number of characters of the complete text (which may
 * exceed what was written), or -1 for a format it cannot format. */
template <typename C> int FormatCore(C *buffer, size_t size, const C *format, va_list *args)
{
   constexpr bool WIDE_OUTPUT = sizeof(C) == sizeof(wchar_t);
   Sink<C> out{buffer, size > 0 ? size - 1 : 0, 0};
   const C *p = format;
   bool ok = true;
   while (*p != 0 && ok)
   {
      if (*p != '%')
      {
         const C *start = p;
         while (*p != 0 && *p != '%')
            p++;
         out.copy(start, p - start);
         continue;
      }
      p++;

      Directive dir;
      for (;; p++)
      {
         if (*p == '-')
            dir.left = true;
         else if (*p == '+')
            dir.plus = true;
         else if (*p == ' ')
            dir.space = true;
         else if (*p == '#')
            dir.alt = true;
         else if (*p == '0')
            dir.zero = true;
         else
            break;
      }

      if (*p == '*')
      {
         int w = va_arg(*args, int);
         if (w < 0)
         {
            dir.left = true;
            w = (w == INT_MIN) ? INT_MAX : -w;
         }
         dir.width = w;
         p++;
      }
      else
      {
         for (; *p >= '0' && *p <= '9'; p++)
         {
            if (dir.width > (INT_MAX - 9) / 10)
               return -1;
            dir.width = dir.width * 10 + (*p - '0');
         }
      }

      if (*p == '.')
      {
         p++;
         dir.precision = 0;
         if (*p == '*')
         {
            int v = va_arg(*args, int);
            dir.precision = (v < 0) ? -1 : v;
            p++;
         }
         else
         {
            for (; *p >= '0' && *p <= '9'; p++)
            {
               if (dir.precision > (INT_MAX - 9) / 10)
                  return -1;
               dir.precision = dir.precision * 10 + (*p - '0');
            }
         }
      }

      // Size prefixes, the platform's forms included.
      switch (*p)
      {
         case 'h':
            p++;
            if (*p == 'h')
            {
               dir.size = Directive::CHAR;
               p++;
            }
            else
            {
               dir.size = Directive::SHORT;
            }
            break;
         case 'l':
            p++;
            if (*p == 'l')
            {
               dir.size = Directive::LONGLONG;
               p++;
            }
            else
            {
               dir.size = Directive::LONG;
            }
            break;
         case 'w':
            dir.size = Directive::LONG;
            p++;
            break;
         case 'q':
         case 'j':
            dir.size = Directive::LONGLONG;
            p++;
            break;
         case 'z':
         case 't':
            dir.size = Directive::SIZE;
            p++;
            break;
         case 'L':
            dir.size = Directive::LONGDOUBLE;
            p++;
            break;
         case 'I':
            if (p[1] == '6' && p[2] == '4')
            {
               dir.size = Directive::LONGLONG;
               p += 3;
            }
            else if (p[1] == '3' && p[2] == '2')
            {
               dir.size = Directive::DEFAULT;
               p += 3;
            }
            else
            {
               dir.size = Directive::SIZE;
               p++;
            }
            break;
         default: break;
      }

      C conv = *p;
      if (conv == 0)
         return -1;
      p++;
      switch (conv)
      {
         case '%': out.put('%'); break;
         case 'd':
         case 'i':
         {
            int64_t v = SignedArgument(dir, args);
            uint64_t magnitude = (v < 0) ? (0 - static_cast<uint64_t>(v)) : static_cast<uint64_t>(v);
            FormatInteger(out, dir, magnitude, v < 0, static_cast<C>('d'));
            break;
         }
         case 'u':
         case 'o':
         case 'x':
         case 'X': FormatInteger(out, dir, UnsignedArgument(dir, args), false, conv); break;
         case 'p':
         {
            // Pointers print as the platform shows them: all hex digits, upper case.
            Directive ptrDir = dir;
            ptrDir.precision = static_cast<int>(sizeof(void *) * 2);
            ptrDir.alt = false;
            FormatInteger(out, ptrDir, reinterpret_cast<uintptr_t>(va_arg(*args, void *)), false, static_cast<C>('X'));
            break;
         }
         case 'c':
         case 'C':
         {
            bool wideArg = ArgumentIsWide<WIDE_OUTPUT>(conv == 'c', dir);
            wint_t ch = wideArg ? va_arg(*args, wint_t) : static_cast<unsigned char>(va_arg(*args, int));
            PadBefore(out, dir, 1);
            if (WIDE_OUTPUT || ch < 0x80)
            {
               out.put(static_cast<C>(ch));
            }
            else
            {
               char enc[4];
               size_t k = qv::text::Utf8EncodeOne(static_cast<UCS4CHAR>(ch), enc);
               out.copy(enc, k);
            }
            PadAfter(out, dir, 1);
            break;
         }
         case 's':
         case 'S':
         {
            bool wideArg = ArgumentIsWide<WIDE_OUTPUT>(conv == 's', dir);
            if (wideArg)
               FormatWideString(out, dir, va_arg(*args, const wchar_t *));
            else
               FormatNarrowString(out, dir, va_arg(*args, const char *));
            break;
         }
         case 'f':
         case 'F':
         case 'e':
         case 'E':
         case 'g':
         case 'G':
         case 'a':
         case 'A': ok = FormatFloat(out, dir, conv, args); break;
         default:
            // Unknown conversions (and "%n", which writes through a pointer) are refused.
            return -1;
      }
   }
   if (!ok || out.count > static_cast<size_t>(INT_MAX))
      return -1;
   if (size > 0)
      buffer[out.count < out.limit ? out.count : out.limit] = 0;
   return static_cast<int>(out.count);
}

template <typename C> C *FormatAlloc(const C *format, va_list args)
{
   va_list measure;
   va_copy(measure, args);
   int length = FormatCore<C>(nullptr, 0, format, &measure);
   va_end(measure);
   if (length < 0)
      return nullptr;
   C *text = static_cast<C *>(malloc((length + 1) * sizeof(C)));
   if (text == nullptr)
      return nullptr;
   va_list fill;
   va_copy(fill, args);
   FormatCore<C>(text, length + 1, format, &fill);
   va_end(fill);
   return text;
}

}  // namespace

QV_API int qv_vsnwprintf(wchar_t *buffer, size_t size, const wchar_t *format, va_list args)
{
   if (format == nullptr)
      return -1;
   va_list copy;
   va_copy(copy, args);
   int rc = FormatCore<wchar_t>(buffer, buffer != nullptr ? size : 0, format, &copy);
   va_end(copy);
   if (rc < 0 && buffer != nullptr && size > 0)
      buffer[0] = 0;
   return rc;
}

QV_API int qv_snwprintf(wchar_t *buffer, size_t size, const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   int rc = qv_vsnwprintf(buffer, size, format, args);
   va_end(args);
   return rc;
}

QV_API int qv_vsnprintf(char *buffer, size_t size, const char *format, va_list args)
{
   if (format == nullptr)
      return -1;
   va_list copy;
   va_copy(copy, args);
   int rc = FormatCore<char>(buffer, buffer != nullptr ? size : 0, format, &copy);
   va_end(copy);
   if (rc < 0 && buffer != nullptr && size > 0)
      buffer[0] = 0;
   return rc;
}

QV_API int qv_snprintf(char *buffer, size_t size, const char *format, ...)
{
   va_list args;
   va_start(args, format);
   int rc = qv_vsnprintf(buffer, size, format, args);
   va_end(args);
   return rc;
}

QV_API wchar_t *qv_vaswprintf(const wchar_t *format, va_list args)
{
   return (format != nullptr) ? FormatAlloc<wchar_t>(format, args) : nullptr;
}

QV_API wchar_t *qv_aswprintf(const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   wchar_t *text = qv_vaswprintf(format, args);
   va_end(args);
   return text;
}

QV_API char *qv_vasprintf(const char *format, va_list args)
{
   return (format != nullptr) ? FormatAlloc<char>(format, args) : nullptr;
}

QV_API char *qv_asprintf(const char *format, ...)
{
   va_list args;
   va_start(args, format);
   char *text = qv_vasprintf(format, args);
   va_end(args);
   return text;
}
