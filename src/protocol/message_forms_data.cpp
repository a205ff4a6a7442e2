/* Message forms of the data objects of the data layer that travel in messages: MAC
 * addresses, geolocations and postal addresses. They live here, above the data layer,
 * because they use the message object. */
#include <qorvel.h>

namespace {

/* Field ids of a geolocation. */
constexpr uint32_t FIELD_GEO_TYPE = 342;
constexpr uint32_t FIELD_GEO_LATITUDE = 343;
constexpr uint32_t FIELD_GEO_LONGITUDE = 344;
constexpr uint32_t FIELD_GEO_ACCURACY = 438;
constexpr uint32_t FIELD_GEO_TIMESTAMP = 439;

/* An INT32 coordinate counts millionths of a degree. */
constexpr double INT32_COORDINATE_SCALE = 1000000.0;
/* A STRING timestamp: UTC in this format, of which at most this many characters are read. */
const char TIMESTAMP_FORMAT[] = "%Y/%m/%d %H:%M:%S";
constexpr size_t MAX_TIMESTAMP_TEXT = 255;
constexpr int64_t MS_PER_SECOND = 1000;

/* Fields of a postal address after its base id. */
constexpr uint32_t POSTAL_COUNTRY = 0;
constexpr uint32_t POSTAL_CITY = 1;
constexpr uint32_t POSTAL_STREET_ADDRESS = 2;
constexpr uint32_t POSTAL_POSTCODE = 3;

double Coordinate(const QVCPMessage &msg, uint32_t fieldId)
{
   switch (msg.getFieldType(fieldId))
   {
      case QVCP_FT_FLOAT: return msg.getFieldAsDouble(fieldId);
      case QVCP_FT_INT32: return msg.getFieldAsInt32(fieldId) / INT32_COORDINATE_SCALE;
      default: return 0;
   }
}

int Int16Field(const QVCPMessage &msg, uint32_t fieldId)
{
   return (msg.getFieldType(fieldId) == QVCP_FT_INT16) ? msg.getFieldAsInt16(fieldId) : 0;
}

/* Seconds of a "YYYY/MM/DD hh:mm:ss" UTC text, 0 when it does not parse. */
time_t TimestampFromText(const QVCPMessage &msg, uint32_t fieldId)
{
   wchar_t wide[MAX_TIMESTAMP_TEXT + 1];
   msg.getFieldAsString(fieldId, wide, sizeof(wide) / sizeof(wide[0]));
   // Only ASCII can take part in the format; anything else stops the parse just as well.
   char narrow[MAX_TIMESTAMP_TEXT + 1];
   size_t i = 0;
   for (; wide[i] != 0; i++)
      narrow[i] = (wide[i] > 0 && wide[i] < 0x80) ? static_cast<char>(wide[i]) : '?';
   narrow[i] = 0;
   struct tm t = {};
   if (qv_strptime(narrow, TIMESTAMP_FORMAT, &t) == nullptr)
      return 0;
   time_t seconds = qv_timegm(&t);
   return (seconds < 0) ? 0 : seconds;
}

time_t Timestamp(const QVCPMessage &msg, uint32_t fieldId)
{
   switch (msg.getFieldType(fieldId))
   {
      case QVCP_FT_INT64:
      case QVCP_FT_INT32: return static_cast<time_t>(msg.getFieldAsTime(fieldId));
      case QVCP_FT_STRING: return TimestampFromText(msg, fieldId);
      default: return 0;
   }
}

int16_t ClampToInt16(int value)
{
   return static_cast<int16_t>((value < INT16_MIN) ? INT16_MIN : ((value > INT16_MAX) ? INT16_MAX : value));
}

/* A part read from a STRING field (a new heap text), or null. */
wchar_t *PostalPart(const QVCPMessage &msg, uint32_t fieldId)
{
   return (msg.getFieldType(fieldId) == QVCP_FT_STRING) ? msg.getFieldAsString(fieldId) : nullptr;
}

}  // namespace

void QVCPMessage::setField(uint32_t fieldId, const MacAddress &value)
{
   setField(fieldId, value.value(), value.length());
}

MacAddress QVCPMessage::getFieldAsMacAddress(uint32_t fieldId) const
{
   size_t size;
   const uint8_t *bytes = getBinaryFieldPtr(fieldId, &size);
   if (bytes == nullptr || size == 0 || size > MacAddress::MAX_LENGTH)
      return MacAddress();
   return MacAddress(bytes, size);
}

GeoLocation::GeoLocation(const QVCPMessage &msg)
{
   m_type = Int16Field(msg, FIELD_GEO_TYPE);
   m_lat = Coordinate(msg, FIELD_GEO_LATITUDE);
   m_lon = Coordinate(msg, FIELD_GEO_LONGITUDE);
   m_accuracy = Int16Field(msg, FIELD_GEO_ACCURACY);
   m_timestamp = Timestamp(msg, FIELD_GEO_TIMESTAMP);
   if (m_timestamp == 0)
      m_timestamp = static_cast<time_t>(GetCurrentTimeMs() / MS_PER_SECOND);
   m_isValid = true;
   printCoordinates();
}

void GeoLocation::fillMessage(QVCPMessage &msg) const
{
   msg.setField(FIELD_GEO_TYPE, ClampToInt16(m_type));
   msg.setField(FIELD_GEO_LATITUDE, m_lat);
   msg.setField(FIELD_GEO_LONGITUDE, m_lon);
   msg.setField(FIELD_GEO_ACCURACY, ClampToInt16(m_accuracy));
   msg.setField(FIELD_GEO_TIMESTAMP, static_cast<int64_t>(m_timestamp));
}

PostalAddress::PostalAddress(const QVCPMessage &msg, uint32_t baseId)
    : m_country(PostalPart(msg, baseId + POSTAL_COUNTRY)), m_city(PostalPart(msg, baseId + POSTAL_CITY)),
      m_streetAddress(PostalPart(msg, baseId + POSTAL_STREET_ADDRESS)),
      m_postcode(PostalPart(msg, baseId + POSTAL_POSTCODE))
{}

void PostalAddress::fillMessage(QVCPMessage &msg, uint32_t baseId) const
{
   if (m_country != nullptr)
      msg.setField(baseId + POSTAL_COUNTRY, m_country);
   if (m_city != nullptr)
      msg.setField(baseId + POSTAL_CITY, m_city);
   if (m_streetAddress != nullptr)
      msg.setField(baseId + POSTAL_STREET_ADDRESS, m_streetAddress);
   if (m_postcode != nullptr)
      msg.setField(baseId + POSTAL_POSTCODE, m_postcode);
}
