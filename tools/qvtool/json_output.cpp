/* Printing qvtool's JSON documents. */
#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>

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

json_t *JsonString(const wchar_t *text)
{
   if (text == nullptr)
      return json_null();
   char *utf8 = UTF8StringFromWideString(text);
   json_t *value = (utf8 != nullptr) ? json_string(utf8) : nullptr;
   free(utf8);
   return (value != nullptr) ? value : json_null();
}
