/* Geolocation: printing and parsing of coordinates, distances of known city pairs, the
 * agent record, JSON forms, and the postal address. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include <limits.h>
#include <math.h>

#include <string>

namespace {

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
   const struct
   {
      double value;
      const wchar_t *latitude;
      const wchar_t *longitude;
   } cases[] = {
       {56.9496, L"N 56\u00B0 56' 58.560\"", L"E 56\u00B0 56' 58.560\""},
       {-0.5, L"S 00\u00B0 30' 00.000\"", L"W 00\u00B0 30' 00.000\""},
       {0.0, L"N 00\u00B0 00' 00.000\"", L"E 00\u00B0 00' 00.000\""},
       // Only values outside -180 to 180 are refused, for either axis.
       {100.0, L"N 100\u00B0 00' 00.000\"", L"E 100\u00B0 00' 00.000\""},
       {-180.0, L"S 180\u00B0 00' 00.000\"", L"W 180\u00B0 00' 00.000\""},
       {200.0, L"<invalid>", L"<invalid>"},
       {-180.5, L"<invalid>", L"<invalid>"},
       {NAN, L"<invalid>", L"<invalid>"},
       {INFINITY, L"<invalid>", L"<invalid>"},
   };
   for (const auto &c : cases)
   {
      GeoLocation g(GEOLOCATION_MANUAL, c.value, c.value);
      EXPECT_STREQ(g.getLatitudeAsString(), c.latitude) << c.value;
      EXPECT_STREQ(g.getLongitudeAsString(), c.longitude) << c.value;
   }
   GeoLocation none;
   EXPECT_TRUE(none.isValid() && none.getType() == GEOLOCATION_NONE && none.getTimestamp() == 0);
   EXPECT_STREQ(none.getLongitudeAsString(), L"E 00\u00B0 00' 00.000\"");
}

TEST(GeoLocation, ParsesTheNotationsPeopleTypeAndNothingElse)
{
   const double NO = NAN;  // not read
   const struct
   {
      const wchar_t *text;
      double latitude;
      double longitude;
   } cases[] = {
       {L"56.9496", 56.9496, 56.9496},
       {L" -33.5 ", -33.5, -33.5},
       {L"\t56.5 \t", 56.5, 56.5},
       // Only spaces and tabs are stripped at the ends.
       {L"56.5\n", NO, NO},
       {L"\r\nN 56 30'", NO, NO},
       {L"1e3", 1000, 1000},  // a plain number has no range check
       {L"N 56\u00B0 56' 58.56\"", 56.9496, NO},
       {L"S 33 51' 36\"", -33.86, NO},
       {L"56\u00B0 56' 58.56\" S", -56.9496, NO},
       {L"E 24\u00B0 6' 36\"", NO, 24.11},
       {L"W24\u00B06'36\"E", NO, 24.11},
       {L"24\u00B0 6' 36\" W", NO, -24.11},
       {L"N 56,5", 56.5, NO},
       {L"S 56\u00B0", -56, NO},
       {L"S 56 30'", -56.5, NO},
       {L"S 56\u00B0 30", -56.5, NO},
       {L"N 56 30' 36", 56.51, NO},
       // Without any hemisphere letter: north or east, unless the seconds end in '"'.
       {L"56\u00B0 56' 58.56", 56.9496, 56.9496},
       {L"56,9496", 56.9496, 56.9496},
       {L"56\u00B0 56' 58.56\"", NO, NO},
       {L"56\u00B0 56' 58.56\" ", NO, NO},
       // Hemisphere letters are no exponents inside degrees.
       {L"24E5", 2400000, 2400000},
       {L"W 24E5", NO, NO},
       {L"W 24 5E1'", NO, NO},
       // Everything else fails.
       {L"", NO, NO},
       {L"   ", NO, NO},
       {L"N", NO, NO},
       {L"N -5", NO, NO},
       {L"56x", NO, NO},
       {L"N 56 S", NO, NO},
       {L"-N 56", NO, NO},
       {L"56 56 58", NO, NO},
       {L"56\u00B0 56 30", NO, NO},
       {L"56\u00B0 56' 58.56\" N 5", NO, NO},
       {L"56.5.5", NO, NO},
       {L"56' 30", NO, NO},
       {L"..", NO, NO},
       {L"nan", NO, NO},
       {L"inf", NO, NO},
       {L"1e400", NO, NO},
       {L"56\u00B0\u00B0", NO, NO},
       {L"56\t30'", NO, NO},
       {L"S 33 51' 36\" S S", NO, NO},
   };
   for (const auto &c : cases)
   {
      size_t length = wcslen(c.text);
      GeoLocation asLatitude(GEOLOCATION_MANUAL, c.text, L"1");
      GeoLocation asLongitude(GEOLOCATION_MANUAL, L"1", c.text);
      EXPECT_EQ(asLatitude.isValid(), !isnan(c.latitude)) << length;
      EXPECT_EQ(asLongitude.isValid(), !isnan(c.longitude)) << length;
      EXPECT_NEAR(asLatitude.getLatitude(), isnan(c.latitude) ? 0 : c.latitude, 1e-6) << length;
      EXPECT_NEAR(asLongitude.getLongitude(), isnan(c.longitude) ? 0 : c.longitude, 1e-6) << length;
      // The longitude is not read once the latitude failed.
      EXPECT_EQ(asLatitude.getLongitude(), isnan(c.latitude) ? 0.0 : 1.0) << length;
   }
   // A longitude that fails keeps the latitude; null and very long texts are not read.
   GeoLocation g(GEOLOCATION_MANUAL, L"12.5", L"N 5");
   EXPECT_FALSE(g.isValid());
   EXPECT_EQ(g.getLatitude(), 12.5);
   EXPECT_FALSE(GeoLocation(GEOLOCATION_MANUAL, nullptr, L"1").isValid());
   EXPECT_FALSE(GeoLocation(GEOLOCATION_MANUAL, L"1", nullptr).isValid());
   EXPECT_FALSE(GeoLocation(GEOLOCATION_MANUAL, std::wstring(10000, L'5').c_str(), L"1").isValid());
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
