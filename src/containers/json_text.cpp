/* JSON strings from wide text. */
#include "containers/json_text.h"

#include <qv_strings.h>

#include <jansson.h>

#include <stdlib.h>

namespace {

/* Put in place of unpaired surrogates, which have no UTF-8 form that JSON accepts. */
constexpr wchar_t REPLACEMENT_CHARACTER = 0xFFFD;
constexpr uint32_t SURROGATE_FIRST = 0xD800;
constexpr uint32_t SURROGATE_LAST = 0xDFFF;

/* A JSON string with the UTF-8 form of text; null when the conversion runs out of memory
 * or jansson refuses the bytes. */
json_t *JsonFromWide(const wchar_t *text)
{
   char *utf8 = UTF8StringFromWideString(text);
   json_t *value = (utf8 != nullptr) ? json_string(utf8) : nullptr;
   free(utf8);
   return value;
}

}  // namespace

json_t *qv::containers::StringFromWide(const wchar_t *text)
{
   json_t *value = JsonFromWide(text);
   if (value != nullptr)
      return value;

   // The encoder passes unpaired surrogates through, and jansson refuses the result;
   // replace them rather than lose the entry.
   wchar_t *clean = qv_wcsdup(text);
   if (clean == nullptr)
      return nullptr;
   for (wchar_t *p = clean; *p != 0; p++)
   {
      uint32_t c = static_cast<uint32_t>(*p);
      if (c >= SURROGATE_FIRST && c <= SURROGATE_LAST)
         *p = REPLACEMENT_CHARACTER;
   }
   value = JsonFromWide(clean);
   free(clean);
   return value;
}
