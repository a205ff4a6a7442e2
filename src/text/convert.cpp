/* Conversion between the Unicode forms: UTF-16 (UCS2CHAR), UCS-4 (UCS4CHAR and wchar_t)
 * and UTF-8, with the library's own rules for invalid input, the length functions, the
 * allocating forms and the small UCS-2/UCS-4 string utilities. */
#include <qv_strings.h>

#include <stdlib.h>
#include <string.h>

#include "text/convert_core.h"

using namespace qv::text;

static_assert(sizeof(wchar_t) == sizeof(UCS4CHAR), "wide characters hold one code point here");

namespace {

typedef Utf16Reader<UCS2CHAR> FromUtf16;
typedef Ucs4Reader<UCS4CHAR> FromUcs4;
typedef Ucs4Reader<wchar_t> FromWide;
typedef Utf8Reader FromUtf8;
typedef Utf16Writer<UCS2CHAR> ToUtf16;
typedef Ucs4Writer<UCS4CHAR> ToUcs4;
typedef Ucs4Writer<wchar_t> ToWide;
typedef Utf8Writer ToUtf8;

template <class R, class W>
inline int Convert(const typename R::Unit *src, int srcLen, typename W::Unit *dst, int dstLen)
{
   if (dst == nullptr || dstLen <= 0)
      return 0;
   return ConvertBounded<R, W>(src, SourceUnits(src, srcLen), srcLen == -1, dst, dstLen);
}

/* Allocating form whose block is sized by the writer's count of the source. */
template <class R, class W> typename W::Unit *ConvertToMeasuredBlock(const typename R::Unit *src)
{
   if (src == nullptr)
      return nullptr;
   size_t n = TextLength(src);
   return ConvertToNewBlock<R, W>(src, n, MeasureRun<R, W>(src, n) + 1);
}

/* Allocating form whose block holds one destination unit per source unit, which is
 * always enough when the writer never takes more units than the reader consumed. */
template <class R, class W> typename W::Unit *ConvertToSameSizeBlock(const typename R::Unit *src)
{
   if (src == nullptr)
      return nullptr;
   size_t n = TextLength(src);
   return ConvertToNewBlock<R, W>(src, n, n + 1);
}

template <typename T> T *DuplicateText(const T *s)
{
   if (s == nullptr)
      return nullptr;
   size_t bytes = (TextLength(s) + 1) * sizeof(T);
   T *copy = static_cast<T *>(malloc(bytes));
   if (copy != nullptr)
      memcpy(copy, s, bytes);
   return copy;
}

}  // namespace

/* ---- Bounded converters ---- */

QV_API int ucs2_to_ucs4(const UCS2CHAR *src, int srcLen, UCS4CHAR *dst, int dstLen)
{
   return Convert<FromUtf16, ToUcs4>(src, srcLen, dst, dstLen);
}

QV_API int ucs4_to_ucs2(const UCS4CHAR *src, int srcLen, UCS2CHAR *dst, int dstLen)
{
   return Convert<FromUcs4, ToUtf16>(src, srcLen, dst, dstLen);
}

QV_API int ucs2_to_utf8(const UCS2CHAR *src, int srcLen, char *dst, int dstLen)
{
   return Convert<FromUtf16, ToUtf8>(src, srcLen, dst, dstLen);
}

QV_API int ucs4_to_utf8(const UCS4CHAR *src, int srcLen, char *dst, int dstLen)
{
   return Convert<FromUcs4, ToUtf8>(src, srcLen, dst, dstLen);
}

QV_API int utf8_to_ucs2(const char *src, int srcLen, UCS2CHAR *dst, int dstLen)
{
   return Convert<FromUtf8, ToUtf16>(src, srcLen, dst, dstLen);
}

QV_API int utf8_to_ucs4(const char *src, int srcLen, UCS4CHAR *dst, int dstLen)
{
   return Convert<FromUtf8, ToUcs4>(src, srcLen, dst, dstLen);
}

QV_API int wchar_to_ucs2(const wchar_t *src, int srcLen, UCS2CHAR *dst, int dstLen)
{
   return Convert<FromWide, ToUtf16>(src, srcLen, dst, dstLen);
}

QV_API int ucs2_to_wchar(const UCS2CHAR *src, int srcLen, wchar_t *dst, int dstLen)
{
   return Convert<FromUtf16, ToWide>(src, srcLen, dst, dstLen);
}

QV_API int wchar_to_utf8(const wchar_t *src, int srcLen, char *dst, int dstLen)
{
   return Convert<FromWide, ToUtf8>(src, srcLen, dst, dstLen);
}

QV_API int utf8_to_wchar(const char *src, int srcLen, wchar_t *dst, int dstLen)
{
   return Convert<FromUtf8, ToWide>(src, srcLen, dst, dstLen);
}

/* ---- Length functions ---- */

QV_API int ucs2_utf8len(const UCS2CHAR *src, int srcLen)
{
   return MeasureBounded<FromUtf16, ToUtf8>(src, srcLen);
}

QV_API int ucs4_ucs2len(const UCS4CHAR *src, int srcLen)
{
   return MeasureBounded<FromUcs4, ToUtf16>(src, srcLen);
}

QV_API int ucs4_utf8len(const UCS4CHAR *src, int srcLen)
{
   return MeasureBounded<FromUcs4, ToUtf8>(src, srcLen);
}

QV_API int utf8_ucs2len(const char *src, int srcLen)
{
   return MeasureBounded<FromUtf8, ToUtf16>(src, srcLen);
}

QV_API int utf8_ucs4len(const char *src, int srcLen)
{
   return MeasureBounded<FromUtf8, ToUcs4>(src, srcLen);
}

QV_API int wchar_ucs2len(const wchar_t *src, int srcLen)
{
   return MeasureBounded<FromWide, ToUtf16>(src, srcLen);
}

QV_API int ucs2_wcharlen(const UCS2CHAR *src, int srcLen)
{
   return MeasureBounded<FromUtf16, ToWide>(src, srcLen);
}

QV_API int wchar_utf8len(const wchar_t *src, int srcLen)
{
   return MeasureBounded<FromWide, ToUtf8>(src, srcLen);
}

QV_API int utf8_wcharlen(const char *src, int srcLen)
{
   return MeasureBounded<FromUtf8, ToWide>(src, srcLen);
}

/* ---- Allocating converters between Unicode forms ---- */

QV_API wchar_t *WideStringFromUTF8String(const char *src)
{
   return ConvertToSameSizeBlock<FromUtf8, ToWide>(src);
}

QV_API char *UTF8StringFromWideString(const wchar_t *src)
{
   return ConvertToMeasuredBlock<FromWide, ToUtf8>(src);
}

QV_API UCS2CHAR *UCS2StringFromUCS4String(const UCS4CHAR *src)
{
   return ConvertToMeasuredBlock<FromUcs4, ToUtf16>(src);
}

QV_API UCS4CHAR *UCS4StringFromUCS2String(const UCS2CHAR *src)
{
   return ConvertToSameSizeBlock<FromUtf16, ToUcs4>(src);
}

QV_API UCS2CHAR *UCS2StringFromWideString(const wchar_t *src)
{
   return ConvertToMeasuredBlock<FromWide, ToUtf16>(src);
}

QV_API wchar_t *WideStringFromUCS2String(const UCS2CHAR *src)
{
   return ConvertToSameSizeBlock<FromUtf16, ToWide>(src);
}

/* ---- UCS-4 and UCS-2 string utilities ---- */

QV_API size_t ucs4_strlen(const UCS4CHAR *s)
{
   return (s != nullptr) ? TextLength(s) : 0;
}

QV_API UCS4CHAR *ucs4_strdup(const UCS4CHAR *s)
{
   return DuplicateText(s);
}

QV_API UCS4CHAR *ucs4_strncpy(UCS4CHAR *dst, const UCS4CHAR *src, size_t count)
{
   // Copies up to and including the terminator, but never more than count units, and
   // writes nothing beyond what it copies.
   for (size_t i = 0; i < count; i++)
   {
      dst[i] = src[i];
      if (src[i] == 0)
         break;
   }
   return dst;
}

QV_API size_t ucs2_strlen(const UCS2CHAR *s)
{
   return (s != nullptr) ? TextLength(s) : 0;
}

QV_API UCS2CHAR *ucs2_strdup(const UCS2CHAR *s)
{
   return DuplicateText(s);
}
