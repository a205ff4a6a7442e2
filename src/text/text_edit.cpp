/* Small edits of zero-terminated texts: stripping, trimming, line ends, words, splitting,
 * counting and in-place replacement. */
#include <qv_strings.h>

#include "text/text_chars.h"

#include <stdlib.h>
#include <string.h>
#include <wctype.h>

namespace {

using qv::text::IsSpaceOrTab;
using qv::text::TextLength;

template <typename C> void Strip(C *text)
{
   if (text == nullptr)
      return;
   size_t length = TextLength(text);
   size_t end = length;
   while (end > 0 && IsSpaceOrTab(text[end - 1]))
      end--;
   size_t start = 0;
   while (start < end && IsSpaceOrTab(text[start]))
      start++;
   memmove(text, text + start, (end - start) * sizeof(C));
   text[end - start] = 0;
}

template <typename C> void RemoveTrailingLineEnd(C *text)
{
   if (text == nullptr)
      return;
   size_t length = TextLength(text);
   if (length == 0)
      return;
   if (text[length - 1] == '\n')
   {
      length--;
      if (length > 0 && text[length - 1] == '\r')
         length--;
   }
   else if (text[length - 1] == '\r')
   {
      length--;
   }
   text[length] = 0;
}

template <typename C> const C *ExtractWord(const C *line, C *buffer)
{
   while (IsSpaceOrTab(*line))
      line++;
   size_t n = 0;
   while (line[n] != 0 && !IsSpaceOrTab(line[n]))
   {
      buffer[n] = line[n];
      n++;
   }
   buffer[n] = 0;
   return line + n;
}

template <typename C> int32_t CountChars(const C *text, C ch)
{
   if (text == nullptr)
      return 0;
   int32_t count = 0;
   for (; *text != 0; text++)
   {
      if (*text == ch)
         count++;
   }
   return count;
}

}  // namespace

QV_API void StrStripW(wchar_t *text)
{
   Strip(text);
}

QV_API void StrStripA(char *text)
{
   Strip(text);
}

QV_API wchar_t *Trim(wchar_t *text)
{
   if (text == nullptr)
      return nullptr;
   size_t end = wcslen(text);
   while (end > 0 && iswspace(static_cast<wint_t>(text[end - 1])))
      end--;
   size_t start = 0;
   while (start < end && iswspace(static_cast<wint_t>(text[start])))
      start++;
   wmemmove(text, text + start, end - start);
   text[end - start] = 0;
   return text;
}

QV_API void RemoveTrailingCRLFW(wchar_t *text)
{
   RemoveTrailingLineEnd(text);
}

QV_API void RemoveTrailingCRLFA(char *text)
{
   RemoveTrailingLineEnd(text);
}

QV_API const wchar_t *ExtractWordW(const wchar_t *line, wchar_t *buffer)
{
   return ExtractWord(line, buffer);
}

QV_API const char *ExtractWordA(const char *line, char *buffer)
{
   return ExtractWord(line, buffer);
}

QV_API wchar_t **SplitString(const wchar_t *text, wchar_t separator, int32_t *count)
{
   if (count != nullptr)
      *count = 0;
   if (text == nullptr)
      return nullptr;
   size_t pieces = static_cast<size_t>(CountChars(text, separator)) + 1;
   wchar_t **result = static_cast<wchar_t **>(malloc(pieces * sizeof(wchar_t *)));
   if (result == nullptr)
      return nullptr;
   const wchar_t *start = text;
   for (size_t i = 0; i < pieces; i++)
   {
      const wchar_t *end = start;
      while (*end != 0 && *end != separator)
         end++;
      size_t length = static_cast<size_t>(end - start);
      result[i] = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
      if (result[i] == nullptr)
      {
         for (size_t j = 0; j < i; j++)
            free(result[j]);
         free(result);
         return nullptr;
      }
      wmemcpy(result[i], start, length);
      result[i][length] = 0;
      start = end + 1;
   }
   if (count != nullptr)
      *count = static_cast<int32_t>(pieces);
   return result;
}

QV_API int32_t NumCharsW(const wchar_t *text, wchar_t ch)
{
   return CountChars(text, ch);
}

QV_API int32_t NumCharsA(const char *text, char ch)
{
   return CountChars(text, ch);
}

QV_API bool TranslateStr(wchar_t *text, const wchar_t *search, const wchar_t *replacement)
{
   if (text == nullptr || search == nullptr || replacement == nullptr)
      return false;
   size_t searchLength = wcslen(search);
   size_t replacementLength = wcslen(replacement);
   // The text is rewritten in place from the front, which is only sound while the output
   // never gets ahead of the input.
   if (searchLength == 0 || replacementLength > searchLength)
      return false;
   wchar_t *out = text;
   const wchar_t *in = text;
   while (*in != 0)
   {
      if (*in == search[0] && wcsncmp(in, search, searchLength) == 0)
      {
         wmemmove(out, replacement, replacementLength);
         out += replacementLength;
         in += searchLength;
      }
      else
      {
         *out++ = *in++;
      }
   }
   *out = 0;
   return true;
}
