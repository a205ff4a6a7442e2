/* Character helpers shared by the text utilities that exist for wide and 8-bit text:
 * upper-case folding with an ASCII fast path, the blanks of the strip functions, and the
 * copy of a run of wide characters into a block of its own. */
#ifndef QORVEL_TEXT_TEXT_CHARS_H
#define QORVEL_TEXT_TEXT_CHARS_H

#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

namespace qv {
namespace text {

/* The length characters of text and a terminator in a new malloc block; null when out of
 * memory. */
inline wchar_t *CopyText(const wchar_t *text, size_t length)
{
   wchar_t *copy = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   if (copy != nullptr)
   {
      memcpy(copy, text, length * sizeof(wchar_t));
      copy[length] = 0;
   }
   return copy;
}

/* The upper-case form as towupper gives it; ASCII without a call. */
inline wchar_t FoldUpper(wchar_t ch)
{
   if (static_cast<uint32_t>(ch) < 0x80)
      return (ch >= 'a' && ch <= 'z') ? static_cast<wchar_t>(ch - ('a' - 'A')) : ch;
   return static_cast<wchar_t>(towupper(static_cast<wint_t>(ch)));
}

/* The upper-case form as toupper gives it in the current locale. */
inline char FoldUpper(char ch)
{
   return static_cast<char>(toupper(static_cast<unsigned char>(ch)));
}

/* Space or tab: the only blanks that StrStrip, ExtractWord and the option strings know. */
template <typename C> inline bool IsSpaceOrTab(C ch)
{
   return ch == ' ' || ch == '\t';
}

/* Length of a zero-terminated text of either width. */
inline size_t TextLength(const wchar_t *s)
{
   return wcslen(s);
}

inline size_t TextLength(const char *s)
{
   return strlen(s);
}

}  // namespace text
}  // namespace qv

#endif
