/* qvtool text: shows how the library's converters see a text given as UTF-8. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const CommandSyntax SYNTAX = {"text",  "TEXT", "print the code points, UTF-16 units and UTF-8 bytes of a text",
                              nullptr, true,   nullptr};

}  // namespace

int CommandText(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   const char *input = args.operand(0);
   wchar_t *wide = WideStringFromUTF8String(input);
   UCS2CHAR *utf16 = UCS2StringFromWideString(wide);
   char *utf8 = UTF8StringFromWideString(wide);

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
