/* Geolocation: printing and parsing of coordinates, distances of known city pairs, the
 * agent record, JSON forms, and the postal address. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include <limits.h>
#include <math.h>

#include <string>

namespace {

GeoLocation Parsed(const wchar_t *lat, const wchar_t *lon)
{
   return GeoLocation(GEOLOCATION_MANUAL, lat, lon);
}

/* The latitude of text, or NAN when it does not parse as one. */
double Latitude(const wchar_t *text)
{
   GeoLocation g = Parsed(text, L"0");
   return g.isValid() ? g.getLatitude() : NAN;
}

double Longitude(const wchar_t *text)
{
   GeoLocation g = Parsed(L"0", text);
   return g.isValid() ? g.getLongitude() : NAN;
}

std::string JsonText(json_t *value)
{
   char *text = json_dumps(value, JSON_PRESERVE_ORDER | JSON_COMPACT | JSON_REAL_PRECISION(10));
   std::string result = (text != nullptr) ? text : "";
   free(text);
   json_decref(value);
   return result;
}

}  // namespace

TEST(GeoLocation, PrintsDegreesMinutesAndSeconds)
{
   GeoLocation riga(GEOLOCATION_MANUAL, 56.9496, 56.9496);
   EXPECT_STREQ(riga.getLatitudeAsString(), L"N 56\u00B0 56' 58.560\"");
   EXPECT_STREQ(riga.getLongitudeAsString(), L"E 56\u00B0 56' 58.560\"");
   GeoLocation half(GEOLOCATION_MANUAL, -0.5, -0.5);
   EXPECT_STREQ(half.getLatitudeAsString(), L"S 00\u00B0 30' 00.000\"");
   EXPECT_STREQ(half.getLongitudeAsString(), L"W 00\u00B0 30' 00.000\"");
   GeoLocation far(GEOLOCATION_MANUAL, 200.0, -180.5);
   EXPECT_STREQ(far.getLatitudeAsString(), L"<invalid>");
   EXPECT_STREQ(far.getLongitudeAsString(), L"<invalid>");
   // Only values outside -180 to 180 are refused, for either axis.
   GeoLocation edge(GEOLOCATION_MANUAL, 100.0, -180.0);
   EXPECT_STREQ(edge.getLatitudeAsString(), L"N 100\u00B0 00' 00.000\"");
   EXPECT_STREQ(edge.getLongitudeAsString(), L"W 180\u00B0 00' 00.000\"");
   GeoLocation notNumbers(GEOLOCATION_MANUAL, NAN, INFINITY);
   EXPECT_STREQ(notNumbers.getLatitudeAsString(), L"<invalid>");
   EXPECT_STREQ(notNumbers.getLongitudeAsString(), L"<invalid>");
   GeoLocation none;
   EXPECT_STREQ(none.getLatitudeAsString(), L"N 00\u00B0 00' 00.000\"");
   EXPECT_STREQ(none.getLongitudeAsString(), L"E 00\u00B0 00' 00.000\"");
   EXPECT_TRUE(none.isValid());
   EXPECT_EQ(none.getType(), GEOLOCATION_NONE);
   EXPECT_EQ(none.getTimestamp(), 0);
}

TEST(GeoLocation, ParsesTheNotationsPeopleType)
{
   EXPECT_NEAR(Latitude(L"56.9496"), 56.9496, 1e-9);
   EXPECT_NEAR(Longitude(L"56.9496"), 56.9496, 1e-9);
   EXPECT_NEAR(Latitude(L" -33.5 "), -33.5, 1e-9);
   EXPECT_NEAR(Latitude(L"N 56\u00B0 56' 58.56\""), 56.9496, 1e-6);
   EXPECT_TRUE(isnan(Longitude(L"N 56\u00B0 56' 58.56\"")));
   EXPECT_NEAR(Latitude(L"S 33 51' 36\""), -33.86, 1e-6);
   EXPECT_TRUE(isnan(Longitude(L"S 33 51' 36\"")));
   EXPECT_NEAR(Latitude(L"56\u00B0 56' 58.56\" S"), -56.9496, 1e-6);
   EXPECT_TRUE(isnan(Longitude(L"56\u00B0 56' 58.56\" S")));
   EXPECT_TRUE(isnan(Latitude(L"E 24\u00B0 6' 36\"")));
   EXPECT_NEAR(Longitude(L"E 24\u00B0 6' 36\""), 24.11, 1e-6);
   EXPECT_NEAR(Longitude(L"W24\u00B06'36\"E"), 24.11, 1e-6);
   EXPECT_NEAR(Longitude(L"24\u00B0 6' 36\" W"), -24.11, 1e-6);
   EXPECT_NEAR(Latitude(L"N 56,5"), 56.5, 1e-9);
   EXPECT_NEAR(Latitude(L"S 56\u00B0"), -56.0, 1e-9);
   EXPECT_NEAR(Latitude(L"S 56 30'"), -56.5, 1e-9);
   EXPECT_NEAR(Latitude(L"S 56\u00B0 30"), -56.5, 1e-9);
   EXPECT_NEAR(Latitude(L"N 56 30' 36"), 56.51, 1e-9);
}

TEST(GeoLocation, TextsWithoutAHemisphereLetter)
{
   // Degrees without a letter count as north or east, not as 0.
   EXPECT_NEAR(Latitude(L"56\u00B0 56' 58.56"), 56.9496, 1e-6);
   EXPECT_NEAR(Latitude(L"56,9496"), 56.9496, 1e-9);
   EXPECT_NEAR(Longitude(L"24 6' 36"), 24.11, 1e-6);
   // Seconds closed with '"' must say which hemisphere they are in.
   EXPECT_TRUE(isnan(Latitude(L"56\u00B0 56' 58.56\"")));
   EXPECT_TRUE(isnan(Latitude(L"56\u00B0 56' 58.56\" ")));
}

TEST(GeoLocation, RefusesEverythingElse)
{
   const wchar_t *const texts[] = {
       L"",
       L"   ",
       L"N",
       L"N -5",
       L"56x",
       L"N 56 S",
       L"-N 56",
       L"56 56 58",
       L"56\u00B0 56 30",
       L"56\u00B0 56' 58.56\" N 5",
       L"56.5.5",
       L"56' 30",
       L"..",
       L"nan",
       L"inf",
       L"1e400",
       L"56\u00B0\u00B0",
       L"56\t30'",
       L"S 33 51' 36\" S S",
   };
   for (const wchar_t *text : texts)
   {
      GeoLocation g = Parsed(text, L"1");
      EXPECT_FALSE(g.isValid()) << std::wstring(text).size();
      EXPECT_EQ(g.getLatitude(), 0.0);
      // The longitude is not read once the latitude failed.
      EXPECT_EQ(g.getLongitude(), 0.0);
   }
   // A longitude that fails keeps the latitude.
   GeoLocation g = Parsed(L"12.5", L"N 5");
   EXPECT_FALSE(g.isValid());
   EXPECT_EQ(g.getLatitude(), 12.5);
   EXPECT_EQ(g.getLongitude(), 0.0);
   EXPECT_FALSE(Parsed(nullptr, L"1").isValid());
   EXPECT_FALSE(Parsed(L"1", nullptr).isValid());
   // Very long texts are refused whole, and a plain number has no range check.
   EXPECT_FALSE(Parsed(std::wstring(10000, L'5').c_str(), L"1").isValid());
   EXPECT_EQ(Latitude(L"1e3"), 1000.0);
   // Letters that are hemispheres are no exponents inside degrees.
   EXPECT_EQ(Longitude(L"24E5"), 2400000.0);
   EXPECT_TRUE(isnan(Longitude(L"W 24E5")));
   EXPECT_TRUE(isnan(Longitude(L"W 24 5E1'")));
}

TEST(GeoLocation, DistancesOfKnownCityPairs)
{
   EXPECT_EQ(GeoLocation(0, 0.0, 0.0).calculateDistance(GeoLocation(0, 0.0, 1.0)), 111195);
   struct Pair
   {
      double lat1, lon1, lat2, lon2;
      double km;
   };
   const Pair pairs[] = {
       {51.5074, -0.1278, 48.8566, 2.3522, 344},       // London - Paris
       {40.7128, -74.0060, 34.0522, -118.2437, 3944},  // New York - Los Angeles
       {51.5074, -0.1278, 40.7128, -74.0060, 5585},    // London - New York
       {56.9496, 24.1052, 59.4370, 24.7536, 280},      // Riga - Tallinn
       {41.9028, 12.4964, 40.4168, -3.7038, 1365},     // Rome - Madrid
   };
   for (const Pair &p : pairs)
   {
      GeoLocation a(0, p.lat1, p.lon1);
      GeoLocation b(0, p.lat2, p.lon2);
      double metres = p.km * 1000;
      EXPECT_NEAR(a.calculateDistance(b), metres, metres * 0.005) << p.km;
      EXPECT_EQ(a.calculateDistance(b), b.calculateDistance(a));
   }
   EXPECT_EQ(GeoLocation(0, 10.0, 20.0).calculateDistance(GeoLocation(0, 10.0, 20.0)), 0);
   EXPECT_EQ(GeoLocation(0, NAN, 0.0).calculateDistance(GeoLocation()), INT_MAX);
}

TEST(GeoLocation, SameLocationWithinTheSmallerAccuracy)
{
   // 0.001 degrees of latitude are about 111 metres.
   GeoLocation here(GEOLOCATION_AGENT, 56.0, 24.0, 200, 0);
   EXPECT_TRUE(here.sameLocation(56.001, 24.0, 150));
   EXPECT_FALSE(here.sameLocation(56.001, 24.0, 100));
   GeoLocation tight(GEOLOCATION_AGENT, 56.0, 24.0, 100, 0);
   EXPECT_FALSE(tight.sameLocation(56.001, 24.0, 500));
   EXPECT_TRUE(tight.sameLocation(56.0, 24.0, 0));
   EXPECT_FALSE(tight.sameLocation(NAN, 24.0, 500));
}

TEST(GeoLocation, EqualityIgnoresTimestampAndValidity)
{
   EXPECT_TRUE(GeoLocation().equals(GeoLocation()));
   EXPECT_TRUE(GeoLocation(1, 5.0, 6.0, 10, 100).equals(GeoLocation(1, 5.0, 6.0, 10, 999)));
   EXPECT_FALSE(GeoLocation(1, 5.0, 6.0, 10, 100).equals(GeoLocation(2, 5.0, 6.0, 10, 100)));
   EXPECT_FALSE(GeoLocation(1, 5.0, 6.0, 10, 100).equals(GeoLocation(1, 5.0, 6.0, 11, 100)));
   EXPECT_FALSE(GeoLocation(1, 5.0, 6.0, 10, 100).equals(GeoLocation(1, 5.0, 6.5, 10, 100)));
   EXPECT_TRUE(GeoLocation(1, L"x", L"1").equals(GeoLocation(1, 0.0, 0.0)));
   GeoLocation copy = GeoLocation(1, 5.0, 6.0, 10, 100);
   EXPECT_STREQ(copy.getLatitudeAsString(), L"N 05\u00B0 00' 00.000\"");
   EXPECT_TRUE(copy.isManual());
}

TEST(GeoLocation, AgentRecords)
{
   GeoLocation g = GeoLocation::parseAgentData(L"1,2,56.9496,24.1052,30,x,y,z,w,1700000000,extra,more");
   EXPECT_EQ(g.getType(), GEOLOCATION_AGENT);
   EXPECT_EQ(g.getLatitude(), 56.9496);
   EXPECT_EQ(g.getLongitude(), 24.1052);
   EXPECT_EQ(g.getAccuracy(), 30);
   EXPECT_EQ(g.getTimestamp(), 1700000000);
   EXPECT_TRUE(g.isValid());

   const wchar_t *const none[] = {
       L"1,2,56.9,24.1,30,,,,",             // nine fields
       L"0,2,56.9,24.1,30,,,,,1700000000",  // field 0 is 0
       L"1,0,56.9,24.1,30,,,,,1700000000",  // field 1 is 0
       L"a,2,56.9,24.1,30,,,,,1700000000",  // field 0 reads as 0
       L"1,2,nan,24.1,30,,,,,1700000000",   // not a position
       L"",
   };
   for (const wchar_t *record : none)
   {
      GeoLocation n = GeoLocation::parseAgentData(record);
      EXPECT_EQ(n.getType(), GEOLOCATION_NONE) << std::wstring(record).size();
      EXPECT_EQ(n.getLatitude(), 0.0);
      EXPECT_EQ(n.getLongitude(), 0.0);
      EXPECT_EQ(n.getAccuracy(), 0);
      EXPECT_EQ(n.getTimestamp(), 0);
      EXPECT_TRUE(n.isValid());
   }
   EXPECT_EQ(GeoLocation::parseAgentData(nullptr).getType(), GEOLOCATION_NONE);

   // Only 254 characters are read: a tenth field beyond them does not exist.
   std::wstring padded = L"1,2,56.9,24.1,30," + std::wstring(300, L'p') + L",,,1700000000";
   EXPECT_EQ(GeoLocation::parseAgentData(padded.c_str()).getType(), GEOLOCATION_NONE);
   std::wstring longTail = L"1,2,56.9,24.1,30,,,,,1700000000," + std::wstring(10000, L',');
   EXPECT_EQ(GeoLocation::parseAgentData(longTail.c_str()).getType(), GEOLOCATION_AGENT);
   std::wstring cutTimestamp = std::wstring(L"1,2,56.9,24.1,30,") + std::wstring(228, L'p') + L",,,,17000";
   ASSERT_EQ(cutTimestamp.size(), 254u);
   EXPECT_EQ(GeoLocation::parseAgentData((cutTimestamp + L"00000").c_str()).getTimestamp(), 17000);
}

TEST(GeoLocation, JsonForm)
{
   GeoLocation g(GEOLOCATION_AGENT, 56.5, -24.25, 30, 1700000000);
   EXPECT_EQ(JsonText(g.toJson()),
             "{\"type\":2,\"latitude\":56.5,\"longitude\":-24.25,\"accuracy\":30,\"timestamp\":1700000000}");
}

TEST(PostalAddress, TrimsOnConstructionOnly)
{
   PostalAddress address(L" Latvia", L"  Riga \t", nullptr, L"LV-1050");
   EXPECT_STREQ(address.getCountry(), L"Latvia");
   EXPECT_STREQ(address.getCity(), L"Riga");
   EXPECT_STREQ(address.getStreetAddress(), L"");
   EXPECT_STREQ(address.getPostCode(), L"LV-1050");
   address.setStreetAddress(L"  Brivibas iela 1 ");
   EXPECT_STREQ(address.getStreetAddress(), L"  Brivibas iela 1 ");
   address.setCity(nullptr);
   EXPECT_STREQ(address.getCity(), L"");
   address.setCountry(address.getCountry());
   EXPECT_STREQ(address.getCountry(), L"Latvia");
   EXPECT_EQ(
       JsonText(address.toJson()),
       "{\"country\":\"Latvia\",\"city\":null,\"streetAddress\":\"  Brivibas iela 1 \",\"postcode\":\"LV-1050\"}");
}

TEST(PostalAddress, EmptyAddress)
{
   PostalAddress address;
   EXPECT_STREQ(address.getCountry(), L"");
   EXPECT_STREQ(address.getCity(), L"");
   EXPECT_STREQ(address.getStreetAddress(), L"");
   EXPECT_STREQ(address.getPostCode(), L"");
   EXPECT_EQ(JsonText(address.toJson()), "{\"country\":null,\"city\":null,\"streetAddress\":null,\"postcode\":null}");
   PostalAddress blanks(L"   ", L"R\u012bga", L"", nullptr);
   EXPECT_EQ(JsonText(blanks.toJson()), "{\"country\":\"\",\"city\":\"R\xc4\xab"
                                        "ga\",\"streetAddress\":\"\",\"postcode\":null}");
}
