/* Postal address: four owned text parts. The message form is in the protocol layer
 * (protocol/message_forms_data.cpp). */
#include <qv_data.h>

#include "containers/json_text.h"

#include <jansson.h>

namespace {

/* A heap copy of text without the white space at its ends; null for null. */
wchar_t *TrimmedCopy(const wchar_t *text)
{
   wchar_t *copy = (text != nullptr) ? qv_wcsdup(text) : nullptr;
   return (copy != nullptr) ? Trim(copy) : nullptr;
}

void Replace(wchar_t **part, const wchar_t *text)
{
   wchar_t *copy = (text != nullptr) ? qv_wcsdup(text) : nullptr;
   free(*part);
   *part = copy;
}

/* The part as a JSON string, or JSON null when it is absent. */
json_t *JsonPart(const wchar_t *part)
{
   return (part != nullptr) ? qv::containers::StringFromWide(part) : json_null();
}

}  // namespace

PostalAddress::PostalAddress() : m_country(nullptr), m_city(nullptr), m_streetAddress(nullptr), m_postcode(nullptr) {}

PostalAddress::PostalAddress(const wchar_t *country, const wchar_t *city, const wchar_t *streetAddress,
                             const wchar_t *postcode)
    : m_country(TrimmedCopy(country)), m_city(TrimmedCopy(city)), m_streetAddress(TrimmedCopy(streetAddress)),
      m_postcode(TrimmedCopy(postcode))
{}

PostalAddress::~PostalAddress()
{
   free(m_country);
   free(m_city);
   free(m_streetAddress);
   free(m_postcode);
}

void PostalAddress::setCountry(const wchar_t *country)
{
   Replace(&m_country, country);
}

void PostalAddress::setCity(const wchar_t *city)
{
   Replace(&m_city, city);
}

void PostalAddress::setStreetAddress(const wchar_t *streetAddress)
{
   Replace(&m_streetAddress, streetAddress);
}

void PostalAddress::setPostCode(const wchar_t *postcode)
{
   Replace(&m_postcode, postcode);
}

json_t *PostalAddress::toJson() const
{
   json_t *object = json_object();
   if (object == nullptr)
      return nullptr;
   // The set calls release the value themselves when they fail.
   bool ok = json_object_set_new(object, "country", JsonPart(m_country)) == 0 &&
             json_object_set_new(object, "city", JsonPart(m_city)) == 0 &&
             json_object_set_new(object, "streetAddress", JsonPart(m_streetAddress)) == 0 &&
             json_object_set_new(object, "postcode", JsonPart(m_postcode)) == 0;
   if (!ok)
   {
      json_decref(object);
      return nullptr;
   }
   return object;
}
