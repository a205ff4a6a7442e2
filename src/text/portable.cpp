/* Portable forms of the platform's text functions: case-insensitive comparison, casing in
 * place, duplication and bounded copies. ASCII takes a fast path everywhere, since nearly
 * all keys and names the library compares are ASCII. */
#include <qv_strings.h>

#include <ctype.h>
#include <stdlib.h>
#include <string.h>
#include <wctype.h>

namespace {

inline wint_t FoldLower(wchar_t ch)
{
   if (static_cast<UCS4CHAR>(ch) < 0x80)
      return (ch >= 'A' && ch <= 'Z') ? ch + ('a' - 'A') : ch;
   return towlower(ch);
}

inline wint_t FoldUpper(wchar_t ch)
{
   if (static_cast<UCS4CHAR>(ch) < 0x80)
      return (ch >= 'a' && ch <= 'z') ? ch - ('a' - 'A') : ch;
   return towupper(ch);
}

inline int FoldLowerA(char ch)
{
   return tolower(static_cast<unsigned char>(ch));
}

}  // namespace

QV_API int qv_wcsicmp(const wchar_t *s1, const wchar_t *s2)
{
   return qv_wcsnicmp(s1, s2, SIZE_MAX);
}

QV_API int qv_wcsnicmp(const wchar_t *s1, const wchar_t *s2, size_t count)
{
   for (size_t i = 0; i < count; i++)
   {
      UCS4CHAR c1 = FoldLower(s1[i]);
      UCS4CHAR c2 = FoldLower(s2[i]);
      if (c1 != c2)
         return (c1 < c2) ? -1 : 1;
      if (c1 == 0)
         break;
   }
   return 0;
}

QV_API int qv_stricmp(const char *s1, const char *s2)
{
   return qv_strnicmp(s1, s2, SIZE_MAX);
}

QV_API int qv_strnicmp(const char *s1, const char *s2, size_t count)
{
   for (size_t i = 0; i < count; i++)
   {
      int c1 = FoldLowerA(s1[i]);
      int c2 = FoldLowerA(s2[i]);
      if (c1 != c2)
         return (c1 < c2) ? -1 : 1;
      if (c1 == 0)
         break;
   }
   return 0;
}

QV_API wchar_t *qv_wcsupr(wchar_t *s)
{
   for (wchar_t *p = s; *p != 0; p++)
      *p = static_cast<wchar_t>(FoldUpper(*p));
   return s;
}

QV_API wchar_t *qv_wcslwr(wchar_t *s)
{
   for (wchar_t *p = s; *p != 0; p++)
      *p = static_cast<wchar_t>(FoldLower(*p));
   return s;
}

QV_API char *qv_strupr(char *s)
{
   for (char *p = s; *p != 0; p++)
      *p = static_cast<char>(toupper(static_cast<unsigned char>(*p)));
   return s;
}

QV_API char *qv_strlwr(char *s)
{
   for (char *p = s; *p != 0; p++)
      *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
   return s;
}

QV_API wchar_t *qv_wcsdup(const wchar_t *s)
{
   if (s == nullptr)
      return nullptr;
   size_t bytes = (wcslen(s) + 1) * sizeof(wchar_t);
   wchar_t *copy = static_cast<wchar_t *>(malloc(bytes));
   if (copy != nullptr)
      memcpy(copy, s, bytes);
   return copy;
}

QV_API char *qv_strdup(const char *s)
{
   return (s != nullptr) ? strdup(s) : nullptr;
}

namespace {

template <typename C> size_t Length(const C *s)
{
   if constexpr (sizeof(C) == 1)
      return strlen(s);
   else
      return wcslen(s);
}

template <typename C> size_t BoundedCopy(C *dst, const C *src, size_t size)
{
   size_t length = Length(src);
   if (size > 0)
   {
      size_t n = (length < size) ? length : size - 1;
      memcpy(dst, src, n * sizeof(C));
      dst[n] = 0;
   }
   return length;
}

template <typename C> size_t BoundedAppend(C *dst, const C *src, size_t size)
{
   size_t used = 0;
   while (used < size && dst[used] != 0)
      used++;
   if (used == size)  // no terminator within size: nothing can be appended
      return size + Length(src);
   return used + BoundedCopy(dst + used, src, size - used);
}

}  // namespace

QV_API size_t strlcpy(char *dst, const char *src, size_t size)
{
   return BoundedCopy(dst, src, size);
}

QV_API size_t strlcat(char *dst, const char *src, size_t size)
{
   return BoundedAppend(dst, src, size);
}

QV_API size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size)
{
   return BoundedCopy(dst, src, size);
}

QV_API size_t wcslcat(wchar_t *dst, const wchar_t *src, size_t size)
{
   return BoundedAppend(dst, src, size);
}
