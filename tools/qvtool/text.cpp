/* qvtool text: shows how the library's converters see a text given as UTF-8. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "text",
    "[--json] TEXT",
    "print the code points, UTF-16 units and UTF-8 bytes of a text",
    OPTIONS,
    true,
    "JSON fields: text (as read, UTF-8), codePoints, utf16Units, utf8Bytes (arrays of numbers).\n"};

/* A JSON array of count numbers. */
template <typename T> json_t *Numbers(const T *values, size_t count)
{
   json_t *array = json_array();
   for (size_t i = 0; i < count; i++)
      json_array_append_new(array, json_integer(static_cast<json_int_t>(values[i])));
   return array;
}

}  // namespace

int CommandText(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *input = args.operand(0);
   wchar_t *wide = WideStringFromUTF8String(input);
   UCS2CHAR *utf16 = UCS2StringFromWideString(wide);
   char *utf8 = UTF8StringFromWideString(wide);
   if (wide == nullptr || utf16 == nullptr || utf8 == nullptr)
   {
      free(wide);
      free(utf16);
      free(utf8);
      fprintf(stderr, "qvtool text: out of memory; try a shorter text\n");
      return 1;
   }
   if (json)
   {
      json_t *document = json_object();
      json_object_set_new(document, "text", JsonText(utf8));
      json_object_set_new(document, "codePoints", Numbers(reinterpret_cast<const UCS4CHAR *>(wide), wcslen(wide)));
      json_object_set_new(document, "utf16Units", Numbers(utf16, ucs2_strlen(utf16)));
      json_object_set_new(document, "utf8Bytes", Numbers(reinterpret_cast<const uint8_t *>(utf8), strlen(utf8)));
      free(wide);
      free(utf16);
      free(utf8);
      return PrintJson(document, "text");
   }

   size_t chars = wcslen(wide);
   printf("code points (%zu):", chars);
   for (size_t i = 0; i < chars; i++)
      printf(" U+%04X", static_cast<unsigned>(wide[i]));
   size_t units = ucs2_strlen(utf16);
   printf("\nUTF-16 units (%zu):", units);
   for (size_t i = 0; i < units; i++)
      printf(" %04X", utf16[i]);
   size_t bytes = strlen(utf8);
   printf("\nUTF-8 bytes (%zu):", bytes);
   for (size_t i = 0; i < bytes; i++)
      printf(" %02X", static_cast<unsigned char>(utf8[i]));
   printf("\n");

   free(wide);
   free(utf16);
   free(utf8);
   return 0;
}
