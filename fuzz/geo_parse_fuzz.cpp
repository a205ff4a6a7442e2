/* Fuzz target for the geolocation parsers: coordinate texts and the agent record, each
 * read from the input as widened bytes, as UTF-8 and as wide units, and the text
 * timestamp of the message form. A coordinate that is read is a finite number, every
 * printed coordinate fits its text, and an agent record gives a known type. */
#include <qorvel.h>

#include "text_fuzz_input.h"

#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile int g_sink;

void CheckPrinted(const GeoLocation &g)
{
   Check(wcslen(g.getLatitudeAsString()) < GeoLocation::TEXT_SIZE);
   Check(wcslen(g.getLongitudeAsString()) < GeoLocation::TEXT_SIZE);
}

void ParseOne(const wchar_t *text)
{
   GeoLocation asLatitude(GEOLOCATION_MANUAL, text, L"0");
   GeoLocation asLongitude(GEOLOCATION_MANUAL, L"0", text);
   if (asLatitude.isValid())
      Check(isfinite(asLatitude.getLatitude()));
   if (asLongitude.isValid())
      Check(isfinite(asLongitude.getLongitude()));
   CheckPrinted(asLatitude);
   CheckPrinted(asLongitude);
   GeoLocation agent = GeoLocation::parseAgentData(text);
   Check(agent.getType() == GEOLOCATION_NONE || agent.getType() == GEOLOCATION_AGENT);
   Check(agent.isValid());
   CheckPrinted(agent);
   g_sink = asLatitude.calculateDistance(agent) ^ asLongitude.calculateDistance(asLatitude);

   QVCPMessage msg;
   msg.setField(439, text);
   GeoLocation fromMessage(msg);
   Check(fromMessage.getTimestamp() != 0);
   g_sink = static_cast<int>(fromMessage.getTimestamp());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   ParseOne(WidenedText(data, size).get());
   ParseOne(WideUnitsText(data, size).get());
   HeapText<char> narrow(NarrowText(data, size));
   wchar_t *utf8 = WideStringFromUTF8String(narrow.get());
   ParseOne(utf8);
   free(utf8);
   return 0;
}
