/* qvtool geo: shows what the library makes of a coordinate, read as a latitude and as a
 * longitude. */
#include "qvtool.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

/* One line: the label, then the value and its printed form, or why there is none. */
void PrintCoordinate(const char *label, bool ok, double value, const wchar_t *printed)
{
   if (!ok)
   {
      printf("%-14snot readable\n", label);
      return;
   }
   char *utf8 = UTF8StringFromWideString(printed);
   printf("%-14s%.10g = %s\n", label, value, utf8);
   free(utf8);
}

const CommandSyntax SYNTAX = {"geo",   "COORDINATE", "print a coordinate read as a latitude and as a longitude",
                              nullptr, false,        "A negative number (-33.5) is a coordinate, not an option.\n"};

/* "-33.5", "-.5": a negative number, which is read as a coordinate, not as options. */
bool IsNegativeNumber(const char *text)
{
   return text[0] == '-' && (isdigit(static_cast<unsigned char>(text[1])) || text[1] == '.');
}

}  // namespace

int CommandGeo(int argc, char **argv)
{
   std::vector<char *> arguments(argv, argv + argc);
   static char endOfOptions[] = "--";
   if (argc > 0 && IsNegativeNumber(argv[0]))
      arguments.insert(arguments.begin(), endOfOptions);
   CommandLine args(SYNTAX, static_cast<int>(arguments.size()), arguments.data());
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   argv = args.operands();
   wchar_t *text = WideStringFromUTF8String(argv[0]);
   // The text constructor reads the longitude only after a latitude, so each reading
   // pairs the text with a plain 0.
   GeoLocation asLatitude(GEOLOCATION_MANUAL, text, L"0");
   GeoLocation asLongitude(GEOLOCATION_MANUAL, L"0", text);
   free(text);
   PrintCoordinate("latitude:", asLatitude.isValid(), asLatitude.getLatitude(), asLatitude.getLatitudeAsString());
   PrintCoordinate("longitude:", asLongitude.isValid(), asLongitude.getLongitude(), asLongitude.getLongitudeAsString());
   return (asLatitude.isValid() || asLongitude.isValid()) ? 0 : 1;
}
