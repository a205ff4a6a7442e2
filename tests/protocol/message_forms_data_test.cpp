/* Message forms of MAC addresses, geolocations and postal addresses: field types on the
 * wire, round trips through serialize and deserialize, and the other field types a
 * reader meets. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include <memory>

namespace {

/* The message after a trip through the wire form. */
std::unique_ptr<QVCPMessage> OverTheWire(const QVCPMessage &msg)
{
   QVCP_MESSAGE *raw = msg.serialize();
   EXPECT_NE(raw, nullptr);
   std::unique_ptr<QVCPMessage> copy(QVCPMessage::deserialize(raw));
   free(raw);
   EXPECT_NE(copy, nullptr);
   return copy;
}

int64_t NowSeconds()
{
   return GetCurrentTimeMs() / 1000;
}

}  // namespace

TEST(GeoLocationMessage, RoundTripWithFieldTypes)
{
   GeoLocation g(GEOLOCATION_AGENT, 56.9496, -24.1052, 250, 1700000000);
   QVCPMessage msg;
   g.fillMessage(msg);
   EXPECT_EQ(msg.getFieldType(342), QVCP_FT_INT16);
   EXPECT_EQ(msg.getFieldType(343), QVCP_FT_FLOAT);
   EXPECT_EQ(msg.getFieldType(344), QVCP_FT_FLOAT);
   EXPECT_EQ(msg.getFieldType(438), QVCP_FT_INT16);
   EXPECT_EQ(msg.getFieldType(439), QVCP_FT_INT64);
   EXPECT_EQ(msg.getFieldIds(nullptr, 0), 5u);
   std::unique_ptr<QVCPMessage> received = OverTheWire(msg);
   GeoLocation back(*received);
   EXPECT_TRUE(back.equals(g));
   EXPECT_EQ(back.getTimestamp(), 1700000000);
   EXPECT_TRUE(back.isValid());
   EXPECT_STREQ(back.getLatitudeAsString(), g.getLatitudeAsString());
   EXPECT_STREQ(back.getLongitudeAsString(), L"W 24\u00B0 06' 18.720\"");
}

TEST(GeoLocationMessage, OtherFieldTypes)
{
   QVCPMessage msg;
   msg.setField(342, static_cast<int32_t>(GEOLOCATION_MANUAL));  // not INT16: type 0
   msg.setField(343, static_cast<int32_t>(56949600));            // millionths of a degree
   msg.setField(344, L"24.1");                                   // not a number field: 0
   msg.setField(438, static_cast<int32_t>(30));                  // not INT16: 0
   msg.setField(439, static_cast<uint32_t>(4000000000u));        // INT32, unsigned
   GeoLocation g(msg);
   EXPECT_EQ(g.getType(), 0);
   EXPECT_DOUBLE_EQ(g.getLatitude(), 56.9496);
   EXPECT_EQ(g.getLongitude(), 0.0);
   EXPECT_EQ(g.getAccuracy(), 0);
   EXPECT_EQ(g.getTimestamp(), INT64_C(4000000000));
   msg.setField(343, static_cast<int32_t>(-500000));
   EXPECT_DOUBLE_EQ(GeoLocation(msg).getLatitude(), -0.5);
}

TEST(GeoLocationMessage, TimestampAsTextOrMissing)
{
   QVCPMessage msg;
   // Only the first 255 characters are read, and what follows the time is ignored.
   for (const wchar_t *text : {L"2000/02/29 12:00:00", L"2000/02/29 12:00:00 and more"})
   {
      msg.setField(439, text);
      EXPECT_EQ(GeoLocation(msg).getTimestamp(), 951825600);
   }
   msg.setField(439, (L"2000/02/29 12:00:00" + std::wstring(100000, L' ')).c_str());
   EXPECT_EQ(GeoLocation(msg).getTimestamp(), 951825600);
   // Text that does not parse, a time before 1970 or no field at all give 0 and so the
   // current time.
   for (const wchar_t *text :
        {L"29.02.2000 12:00", L"1969/12/31 23:59:59", L"", L"2000/02/\u0662\u0669 12:00:00", L"missing"})
   {
      QVCPMessage other;
      if (wcscmp(text, L"missing") != 0)
         other.setField(439, text);
      int64_t before = NowSeconds();
      GeoLocation g(other);
      EXPECT_GE(g.getTimestamp(), before);
      EXPECT_LE(g.getTimestamp(), NowSeconds());
      EXPECT_TRUE(g.isValid() && g.getType() == 0 && g.getAccuracy() == 0 && g.getLatitude() == 0);
   }
}

TEST(GeoLocationMessage, WideValuesAreSentAsTheNearest16BitValue)
{
   QVCPMessage msg;
   GeoLocation(40000, 1.0, 2.0, 100000, 5).fillMessage(msg);
   EXPECT_EQ(msg.getFieldAsInt16(342), 32767);
   EXPECT_EQ(msg.getFieldAsInt16(438), 32767);
   GeoLocation(-40000, 1.0, 2.0, -100000, 5).fillMessage(msg);
   EXPECT_EQ(msg.getFieldAsInt16(342), -32768);
   EXPECT_EQ(msg.getFieldAsInt16(438), -32768);
   GeoLocation(GEOLOCATION_MANUAL, 1.0, 2.0, -1, 5).fillMessage(msg);
   EXPECT_EQ(GeoLocation(msg).getAccuracy(), -1);
}

TEST(MacAddressMessage, EveryLengthRoundTrips)
{
   const uint8_t bytes[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
   for (size_t length = 0; length <= MacAddress::MAX_LENGTH; length++)
   {
      MacAddress mac(bytes, length);
      QVCPMessage msg;
      msg.setField(77, mac);
      EXPECT_EQ(msg.getFieldType(77), QVCP_FT_BINARY);
      EXPECT_EQ(msg.getFieldAsBinary(77, nullptr, 0), length);
      std::unique_ptr<QVCPMessage> received = OverTheWire(msg);
      EXPECT_TRUE(received->getFieldAsMacAddress(77).equals(mac)) << length;
   }
   QVCPMessage msg;
   msg.setField(1, bytes, 17);
   msg.setField(2, L"00:11:22:33:44:55");
   EXPECT_EQ(msg.getFieldAsMacAddress(1).length(), 0u);
   EXPECT_EQ(msg.getFieldAsMacAddress(2).length(), 0u);
   EXPECT_EQ(msg.getFieldAsMacAddress(3).length(), 0u);
}

TEST(PostalAddressMessage, PresentPartsRoundTrip)
{
   PostalAddress address(L"Latvia", nullptr, L" Brivibas iela 1", L"");
   QVCPMessage msg;
   address.fillMessage(msg, 100);
   EXPECT_EQ(msg.getFieldType(100), QVCP_FT_STRING);
   EXPECT_FALSE(msg.isFieldExist(101));
   EXPECT_EQ(msg.getFieldType(102), QVCP_FT_STRING);
   EXPECT_EQ(msg.getFieldType(103), QVCP_FT_STRING);
   std::unique_ptr<QVCPMessage> received = OverTheWire(msg);
   PostalAddress back(*received, 100);
   EXPECT_STREQ(back.getCountry(), L"Latvia");
   EXPECT_STREQ(back.getStreetAddress(), L"Brivibas iela 1");
   EXPECT_STREQ(back.getPostCode(), L"");
   // The absent city stays absent, the empty post code stays present.
   json_t *object = back.toJson();
   char *json = json_dumps(object, JSON_PRESERVE_ORDER | JSON_COMPACT);
   EXPECT_STREQ(json, "{\"country\":\"Latvia\",\"city\":null,\"streetAddress\":\"Brivibas iela 1\",\"postcode\":\"\"}");
   free(json);
   json_decref(object);

   // A field of another type leaves its part absent.
   QVCPMessage other;
   other.setField(200, static_cast<int32_t>(5));
   other.setField(201, L"Riga");
   PostalAddress partial(other, 200);
   EXPECT_STREQ(partial.getCountry(), L"");
   EXPECT_STREQ(partial.getCity(), L"Riga");
}
