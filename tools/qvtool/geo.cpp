/* qvtool geo: shows what the library makes of a coordinate, read as a latitude and as a
 * longitude. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>

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

}  // namespace

int CommandGeo(int argc, char **argv)
{
   if (argc != 1)
   {
      fprintf(stderr, "usage: qvtool geo COORDINATE\n");
      return 2;
   }
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
