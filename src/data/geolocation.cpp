/* Geolocation: printing coordinates in degrees, minutes and seconds, reading the notations
 * people type and the record agents report, and great-circle distances. The message form
 * is in the protocol layer (protocol/message_forms_data.cpp). */
#include <qv_data.h>

#include <jansson.h>
#include <limits.h>
#include <math.h>

namespace {

/* Coordinates outside this range (either axis) print as INVALID_TEXT. */
constexpr double MAX_DEGREES = 180.0;
const wchar_t INVALID_TEXT[] = L"<invalid>";
/* Added before the parts are cut, so that values such as 56.9496, which a double holds
 * as 56.94959999..., print as the number that was meant. */
constexpr double ROUNDING_NUDGE = 0.00000001;
constexpr double MINUTES_PER_DEGREE = 60.0;
constexpr double SECONDS_PER_DEGREE = 3600.0;
constexpr wchar_t DEGREE_SIGN = L'\u00B0';

/* Longest coordinate text read, blanks at the ends not counted. */
constexpr size_t MAX_COORDINATE_TEXT = 255;

/* Haversine on a sphere of this radius, with degrees turned into radians by this value
 * of pi (not the full-precision one: distances stay those other programs of the system
 * compute). */
constexpr double EARTH_RADIUS_M = 6371000.0;
constexpr double PI_FOR_DISTANCE = 3.14159265;
constexpr double DEGREES_PER_HALF_TURN = 180.0;

/* Agent records: characters read, and the fields. */
constexpr size_t MAX_AGENT_RECORD = 254;
constexpr size_t AGENT_FIELDS = 10;
constexpr size_t AGENT_FIELD_LATITUDE = 2;
constexpr size_t AGENT_FIELD_LONGITUDE = 3;
constexpr size_t AGENT_FIELD_ACCURACY = 4;
constexpr size_t AGENT_FIELD_TIMESTAMP = 9;
constexpr int DECIMAL = 10;

bool IsBlank(wchar_t ch)
{
   return ch == L' ';
}

wchar_t *SkipBlanks(wchar_t *p)
{
   while (IsBlank(*p))
      p++;
   return p;
}

/* A number of digits with at most one '.', at least one digit; *p moves past it. The
 * number is cut off in the text while it is converted, so that the conversion reads
 * exactly these characters. */
bool ReadUnsigned(wchar_t **p, double *value)
{
   wchar_t *start = *p;
   wchar_t *q = start;
   bool digit = false;
   bool point = false;
   for (;; q++)
   {
      if (*q >= L'0' && *q <= L'9')
         digit = true;
      else if (*q == L'.' && !point)
         point = true;
      else
         break;
   }
   if (!digit)
      return false;
   wchar_t next = *q;
   *q = 0;
   *value = wcstod(start, nullptr);
   *q = next;
   *p = q;
   return true;
}

int ClampToInt(long long value)
{
   return (value < INT_MIN) ? INT_MIN : ((value > INT_MAX) ? INT_MAX : static_cast<int>(value));
}

double Radians(double degrees)
{
   return degrees * PI_FOR_DISTANCE / DEGREES_PER_HALF_TURN;
}

}  // namespace

int GeoLocation::getIntegerDegree(double pos)
{
   return static_cast<int>(pos + ROUNDING_NUDGE);
}

int GeoLocation::getIntegerMinutes(double pos)
{
   double nudged = pos + ROUNDING_NUDGE;
   return static_cast<int>((nudged - floor(nudged)) * MINUTES_PER_DEGREE);
}

double GeoLocation::getDecimalSeconds(double pos)
{
   double minutes = pos * MINUTES_PER_DEGREE + ROUNDING_NUDGE;
   return (minutes - floor(minutes)) * MINUTES_PER_DEGREE;
}

void GeoLocation::posToString(wchar_t *buffer, bool isLatitude, double pos)
{
   // Written so that NaN fails the test too.
   if (!(pos >= -MAX_DEGREES && pos <= MAX_DEGREES))
   {
      wcslcpy(buffer, INVALID_TEXT, TEXT_SIZE);
      return;
   }
   wchar_t hemisphere = isLatitude ? ((pos < 0) ? L'S' : L'N') : ((pos < 0) ? L'W' : L'E');
   double x = fabs(pos);
   qv_snwprintf(buffer, TEXT_SIZE, L"%c %02d%c %02d' %06.3f\"", hemisphere, getIntegerDegree(x), DEGREE_SIGN,
                getIntegerMinutes(x), getDecimalSeconds(x));
}

double GeoLocation::parse(const wchar_t *text, bool isLatitude, bool *ok)
{
   *ok = false;
   if (text == nullptr)
      return 0;
   // A copy without the spaces and tabs at its ends.
   wchar_t *stripped = qv_wcsdup(text);
   if (stripped == nullptr)
      return 0;
   StrStripW(stripped);
   size_t length = wcslen(stripped);
   wchar_t buffer[MAX_COORDINATE_TEXT + 1];
   if (length <= MAX_COORDINATE_TEXT)
      wmemcpy(buffer, stripped, length + 1);
   free(stripped);
   if (length == 0 || length > MAX_COORDINATE_TEXT)
      return 0;

   // A plain number, as a whole.
   wchar_t *numberEnd;
   double number = wcstod(buffer, &numberEnd);
   if (numberEnd == buffer + length)
   {
      *ok = isfinite(number);
      return *ok ? number : 0;
   }

   // Degrees, minutes and seconds.
   const wchar_t positive = isLatitude ? L'N' : L'E';
   const wchar_t negative = isLatitude ? L'S' : L'W';
   for (size_t i = 0; i < length; i++)
   {
      wchar_t ch = buffer[i];
      bool allowed = (ch >= L'0' && ch <= L'9') || ch == L'.' || ch == L',' || ch == L'\'' || ch == L'"' ||
                     ch == L' ' || ch == DEGREE_SIGN || ch == positive || ch == negative;
      if (!allowed)
         return 0;
      if (ch == L',')
         buffer[i] = L'.';
   }
   int sign = 0;  // 0 until a hemisphere letter is seen
   wchar_t *p = buffer;
   if (*p == positive || *p == negative)
   {
      sign = (*p == positive) ? 1 : -1;
      p = SkipBlanks(p + 1);
   }
   double degrees = 0;
   double minutes = 0;
   double seconds = 0;
   if (!ReadUnsigned(&p, &degrees))
      return 0;
   if (*p != 0)
   {
      if (!IsBlank(*p) && *p != DEGREE_SIGN)
         return 0;
      p = SkipBlanks(p);
      if (*p == DEGREE_SIGN)
         p = SkipBlanks(p + 1);
      if (*p != 0)
      {
         if (!ReadUnsigned(&p, &minutes))
            return 0;
         if (*p != 0)
         {
            if (*p != L'\'')
               return 0;
            p = SkipBlanks(p + 1);
            if (*p != 0)
            {
               if (!ReadUnsigned(&p, &seconds))
                  return 0;
               if (*p != 0)
               {
                  if (*p != L'"')
                     return 0;
                  p = SkipBlanks(p + 1);
                  if (*p == positive || *p == negative)
                     sign = (*p++ == positive) ? 1 : -1;
                  else if (sign == 0)
                     return 0;  // seconds closed with '"' must name their hemisphere
                  if (*p != 0)
                     return 0;
               }
            }
         }
      }
   }
   // Without any hemisphere letter the value counts as north or east.
   if (sign == 0)
      sign = 1;
   *ok = true;
   return sign * (degrees + minutes / MINUTES_PER_DEGREE + seconds / SECONDS_PER_DEGREE);
}

bool GeoLocation::parseLatitude(const wchar_t *text)
{
   bool ok;
   m_lat = parse(text, true, &ok);
   return ok;
}

bool GeoLocation::parseLongitude(const wchar_t *text)
{
   bool ok;
   m_lon = parse(text, false, &ok);
   return ok;
}

void GeoLocation::printCoordinates()
{
   posToString(m_latStr, true, m_lat);
   posToString(m_lonStr, false, m_lon);
}

GeoLocation::GeoLocation()
    : m_type(GEOLOCATION_NONE), m_lat(0), m_lon(0), m_isValid(true), m_accuracy(0), m_timestamp(0)
{
   printCoordinates();
}

GeoLocation::GeoLocation(int type, double lat, double lon, int accuracy, time_t timestamp)
    : m_type(type), m_lat(lat), m_lon(lon), m_isValid(true), m_accuracy(accuracy), m_timestamp(timestamp)
{
   printCoordinates();
}

GeoLocation::GeoLocation(int type, const wchar_t *lat, const wchar_t *lon, int accuracy, time_t timestamp)
    : m_type(type), m_lat(0), m_lon(0), m_isValid(false), m_accuracy(accuracy), m_timestamp(timestamp)
{
   m_isValid = parseLatitude(lat) && parseLongitude(lon);
   printCoordinates();
}

json_t *GeoLocation::toJson() const
{
   json_t *object = json_object();
   if (object == nullptr)
      return nullptr;
   // The set calls release the value themselves when they fail.
   bool ok = json_object_set_new(object, "type", json_integer(m_type)) == 0 &&
             json_object_set_new(object, "latitude", json_real(m_lat)) == 0 &&
             json_object_set_new(object, "longitude", json_real(m_lon)) == 0 &&
             json_object_set_new(object, "accuracy", json_integer(m_accuracy)) == 0 &&
             json_object_set_new(object, "timestamp", json_integer(static_cast<json_int_t>(m_timestamp))) == 0;
   if (!ok)
   {
      json_decref(object);
      return nullptr;
   }
   return object;
}

bool GeoLocation::equals(const GeoLocation &other) const
{
   return m_type == other.m_type && m_accuracy == other.m_accuracy && m_lat == other.m_lat && m_lon == other.m_lon;
}

int GeoLocation::calculateDistance(const GeoLocation &other) const
{
   double lat1 = Radians(m_lat);
   double lat2 = Radians(other.m_lat);
   double halfLat = sin((lat1 - lat2) / 2);
   double halfLon = sin((Radians(m_lon) - Radians(other.m_lon)) / 2);
   double a = halfLat * halfLat + cos(lat1) * cos(lat2) * halfLon * halfLon;
   double distance = EARTH_RADIUS_M * 2 * atan2(sqrt(a), sqrt(1 - a));
   // NaN (from a coordinate that is not a number) fails this test too.
   if (!(distance >= 0 && distance < INT_MAX))
      return INT_MAX;
   return static_cast<int>(lround(distance));
}

bool GeoLocation::sameLocation(double lat, double lon, int oldAccuracy) const
{
   int radius = (m_accuracy < oldAccuracy) ? m_accuracy : oldAccuracy;
   return calculateDistance(GeoLocation(GEOLOCATION_NONE, lat, lon)) <= radius;
}

GeoLocation GeoLocation::parseAgentData(const wchar_t *data)
{
   if (data == nullptr)
      return GeoLocation();
   wchar_t record[MAX_AGENT_RECORD + 1];
   wcslcpy(record, data, sizeof(record) / sizeof(record[0]));
   // Cut the record into its fields in place.
   wchar_t *fields[AGENT_FIELDS] = {};
   size_t count = 0;
   for (wchar_t *p = record;; p++)
   {
      if (count < AGENT_FIELDS && fields[count] == nullptr)
         fields[count] = p;
      if (*p == 0)
         break;
      if (*p == L',')
      {
         *p = 0;
         count++;
      }
   }
   count++;
   if (count < AGENT_FIELDS)
      return GeoLocation();
   if (wcstol(fields[0], nullptr, DECIMAL) == 0 || wcstol(fields[1], nullptr, DECIMAL) == 0)
      return GeoLocation();
   double lat = wcstod(fields[AGENT_FIELD_LATITUDE], nullptr);
   double lon = wcstod(fields[AGENT_FIELD_LONGITUDE], nullptr);
   // A position that is not a number is no position.
   if (!isfinite(lat) || !isfinite(lon))
      return GeoLocation();
   int accuracy = ClampToInt(wcstol(fields[AGENT_FIELD_ACCURACY], nullptr, DECIMAL));
   time_t timestamp = static_cast<time_t>(wcstoll(fields[AGENT_FIELD_TIMESTAMP], nullptr, DECIMAL));
   return GeoLocation(GEOLOCATION_AGENT, lat, lon, accuracy, timestamp);
}
