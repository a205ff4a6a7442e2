/* Printing qvtool's JSON documents. */
#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

/* Spaces of each level of indentation. */
constexpr size_t JSON_INDENT_SPACES = 2;

int PrintJson(json_t *document, const char *command)
{
   const char *name = (command != nullptr) ? command : "";
   const char *space = (command != nullptr) ? " " : "";
   if (document == nullptr)
   {
      fprintf(stderr, "qvtool%s%s: cannot build the JSON document; try again with more memory free\n", space, name);
      return 1;
   }
   int rc = json_dumpf(document, stdout, JSON_INDENT(JSON_INDENT_SPACES) | JSON_ENCODE_ANY);
   json_decref(document);
   bool written = rc == 0 && fputc('\n', stdout) != EOF && fflush(stdout) == 0;
   if (!written)
   {
      fprintf(stderr, "qvtool%s%s: cannot write the JSON document to standard output; check where it goes\n", space,
              name);
      return 1;
   }
   return 0;
}

namespace {

/* The replacement character in UTF-8. */
const char REPLACEMENT[] = "\xEF\xBF\xBD";

/* Bytes of the valid UTF-8 sequence at p (at most left bytes), or 0. */
size_t ValidSequence(const unsigned char *p, size_t left)
{
   unsigned char b = p[0];
   size_t length;
   uint32_t min;
   uint32_t c;
   if (b < 0x80)
      return 1;
   if (b >= 0xC2 && b <= 0xDF)
      length = 2, min = 0x80, c = b & 0x1F;
   else if (b >= 0xE0 && b <= 0xEF)
      length = 3, min = 0x800, c = b & 0x0F;
   else if (b >= 0xF0 && b <= 0xF4)
      length = 4, min = 0x10000, c = b & 0x07;
   else
      return 0;
   if (length > left)
      return 0;
   for (size_t i = 1; i < length; i++)
   {
      if ((p[i] & 0xC0) != 0x80)
         return 0;
      c = (c << 6) | (p[i] & 0x3F);
   }
   bool surrogate = c >= 0xD800 && c <= 0xDFFF;
   return (c >= min && c <= 0x10FFFF && !surrogate) ? length : 0;
}

}  // namespace

json_t *JsonText(const char *text)
{
   if (text == nullptr)
      return json_null();
   std::string clean;
   const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
   size_t left = strlen(text);
   while (left > 0)
   {
      size_t n = ValidSequence(p, left);
      if (n == 0)
      {
         clean += REPLACEMENT;
         n = 1;
      }
      else
      {
         clean.append(reinterpret_cast<const char *>(p), n);
      }
      p += n;
      left -= n;
   }
   json_t *value = json_stringn(clean.data(), clean.size());
   return (value != nullptr) ? value : json_null();
}

json_t *JsonString(const wchar_t *text)
{
   if (text == nullptr)
      return json_null();
   char *utf8 = UTF8StringFromWideString(text);
   json_t *value = JsonText(utf8);
   free(utf8);
   return value;
}
