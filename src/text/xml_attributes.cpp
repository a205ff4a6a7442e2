/* Attribute lookup in the attribute arrays of an expat start-element handler: name, value,
 * name, value, ..., null. */
#include <qv_strings.h>

#include "text/parse_number.h"

QV_API const char *XMLGetAttr(const char **attrs, const char *name)
{
   if (attrs == nullptr || name == nullptr)
      return nullptr;
   for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2)
   {
      if (qv_stricmp(attrs[i], name) == 0)
         return attrs[i + 1];
   }
   return nullptr;
}

QV_API int32_t XMLGetAttrInt(const char **attrs, const char *name, int32_t defaultValue)
{
   const char *value = XMLGetAttr(attrs, name);
   return (value != nullptr) ? qv::text::ParseInt32<char>(value, nullptr) : defaultValue;
}

QV_API uint32_t XMLGetAttrUINT32(const char **attrs, const char *name, uint32_t defaultValue)
{
   const char *value = XMLGetAttr(attrs, name);
   return (value != nullptr) ? qv::text::ParseUInt32<char>(value, nullptr) : defaultValue;
}

QV_API bool XMLGetAttrBoolean(const char **attrs, const char *name, bool defaultValue)
{
   const char *value = XMLGetAttr(attrs, name);
   if (value == nullptr)
      return defaultValue;
   const char *end = value;
   int32_t number = qv::text::ParseInt32<char>(value, &end);
   if (*end == 0)
      return number != 0;
   return qv_stricmp(value, "yes") == 0 || qv_stricmp(value, "true") == 0;
}
