/* Splitting a text at a separator, shared by the string list and the string set. */
#ifndef QORVEL_CONTAINERS_SPLIT_TEXT_H
#define QORVEL_CONTAINERS_SPLIT_TEXT_H

#include <stddef.h>
#include <wchar.h>

namespace qv::containers {

/* Calls piece(start, length) for every piece of text before an occurrence of separator
 * (found as an exact substring, left to right, without overlap; empty pieces included),
 * then rest(start) for the text after the last occurrence. An empty or null separator
 * gives the whole text to rest; a null text gives nothing. */
template <typename Piece, typename Rest>
void SplitText(const wchar_t *text, const wchar_t *separator, Piece piece, Rest rest)
{
   if (text == nullptr)
      return;
   if (separator == nullptr || *separator == 0)
   {
      rest(text);
      return;
   }
   size_t separatorLength = wcslen(separator);
   const wchar_t *start = text;
   for (const wchar_t *hit = wcsstr(start, separator); hit != nullptr; hit = wcsstr(start, separator))
   {
      piece(start, static_cast<size_t>(hit - start));
      start = hit + separatorLength;
   }
   rest(start);
}

}  // namespace qv::containers

#endif
