/* qvtool geo: shows what the library makes of a coordinate, read as a latitude and as a
 * longitude. */
#include "qvtool.h"

#include "json_output.h"

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

/* The reading as JSON: valid, value and text (both null when not valid). */
json_t *CoordinateJson(bool ok, double value, const wchar_t *printed)
{
   if (!ok)
      return json_pack("{s:b, s:n, s:n}", "valid", 0, "value", "text");
   return json_pack("{s:b, s:f, s:o}", "valid", 1, "value", value, "text", JsonString(printed));
}

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"geo",
                              "COORDINATE [--json]",
                              "print a coordinate read as a latitude and as a longitude",
                              OPTIONS,
                              false,
                              "A negative number (-33.5) is a coordinate, not an option.\n"
                              "JSON fields: input, latitude and longitude, each with valid, value (degrees) and text\n"
                              "  (as the library prints it); value and text are null when not valid.\n"
                              "Exit code 1 when the coordinate is readable neither way.\n"};

/* "-33.5", "-.5": a negative number, which is read as a coordinate, not as options. */
bool IsNegativeNumber(const char *text)
{
   return text[0] == '-' && (isdigit(static_cast<unsigned char>(text[1])) || text[1] == '.');
}

}  // namespace

int CommandGeo(int argc, char **argv)
{
   // Negative numbers go after a "--" at the end, so that options may stand anywhere.
   std::vector<char *> arguments, numbers;
   static char endOfOptions[] = "--";
   for (int i = 0; i < argc; i++)
      (IsNegativeNumber(argv[i]) ? numbers : arguments).push_back(argv[i]);
   if (!numbers.empty())
   {
      arguments.push_back(endOfOptions);
      arguments.insert(arguments.end(), numbers.begin(), numbers.end());
   }
   bool json = false;
   CommandLine args(SYNTAX, static_cast<int>(arguments.size()), arguments.data());
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
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
   int result = (asLatitude.isValid() || asLongitude.isValid()) ? 0 : 1;
   if (json)
   {
      json_t *document = json_pack(
          "{s:o, s:o, s:o}", "input", JsonText(argv[0]), "latitude",
          CoordinateJson(asLatitude.isValid(), asLatitude.getLatitude(), asLatitude.getLatitudeAsString()), "longitude",
          CoordinateJson(asLongitude.isValid(), asLongitude.getLongitude(), asLongitude.getLongitudeAsString()));
      int printed = PrintJson(document, "geo");
      if (printed != 0)
         return printed;
   }
   else
   {
      PrintCoordinate("latitude:", asLatitude.isValid(), asLatitude.getLatitude(), asLatitude.getLatitudeAsString());
      PrintCoordinate("longitude:", asLongitude.isValid(), asLongitude.getLongitude(),
                      asLongitude.getLongitudeAsString());
      fflush(stdout);
   }
   if (result != 0)
      fprintf(stderr, "qvtool geo: \"%s\" is not a coordinate; give degrees such as -33.5 or 48.8566\n", argv[0]);
   return result;
}
