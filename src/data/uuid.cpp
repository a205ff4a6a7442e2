/* UUIDs: the functions on bare 16-byte arrays, the uuid class over them, and the string
 * append of the text form. */
#include <qorvel.h>

#include <jansson.h>

#include "platform/random.h"

namespace {

/* Positions of the '-' separators in the text form. */
constexpr size_t DASH_POSITIONS[] = {8, 13, 18, 23};

/* Bytes after which the text form has a '-'. */
constexpr size_t DASH_AFTER_BYTE[] = {3, 5, 7, 9};

/* Version nibble: the high nibble of Data3, which lies little-endian in bytes 6-7. */
constexpr size_t VERSION_BYTE = 7;
constexpr unsigned char VERSION_KEEP = 0x0F;
constexpr unsigned char VERSION_RANDOM = 0x40;  // version 4: random

/* Variant: the top two bits of Data4[0] are 10. */
constexpr size_t VARIANT_BYTE = 8;
constexpr unsigned char VARIANT_KEEP = 0x3F;
constexpr unsigned char VARIANT_RFC = 0x80;

template <size_t N> bool Contains(const size_t (&list)[N], size_t value)
{
   for (size_t v : list)
      if (v == value)
         return true;
   return false;
}

int HexDigitValue(wchar_t ch)
{
   if (ch >= L'0' && ch <= L'9')
      return ch - L'0';
   if (ch >= L'a' && ch <= L'f')
      return ch - L'a' + 10;
   if (ch >= L'A' && ch <= L'F')
      return ch - L'A' + 10;
   return -1;
}

template <typename C> C *FormatUuid(const unsigned char *uu, C *buffer)
{
   static const char digits[] = "0123456789abcdef";
   C *p = buffer;
   for (size_t i = 0; i < QV_UUID_LENGTH; i++)
   {
      *p++ = static_cast<C>(digits[uu[i] >> 4]);
      *p++ = static_cast<C>(digits[uu[i] & 0x0F]);
      if (Contains(DASH_AFTER_BYTE, i))
         *p++ = static_cast<C>('-');
   }
   *p = 0;
   return buffer;
}

}  // namespace

QV_API void _uuid_clear(unsigned char *uu)
{
   memset(uu, 0, QV_UUID_LENGTH);
}

QV_API int _uuid_compare(const unsigned char *a, const unsigned char *b)
{
   int diff = memcmp(a, b, QV_UUID_LENGTH);
   return (diff < 0) ? -1 : ((diff > 0) ? 1 : 0);
}

QV_API void _uuid_generate(unsigned char *out)
{
   unsigned char bytes[QV_UUID_LENGTH];
   if (!qv::platform::RandomBytes(bytes, sizeof(bytes)))
   {
      _uuid_clear(out);
      return;
   }
   bytes[VERSION_BYTE] = (bytes[VERSION_BYTE] & VERSION_KEEP) | VERSION_RANDOM;
   bytes[VARIANT_BYTE] = (bytes[VARIANT_BYTE] & VARIANT_KEEP) | VARIANT_RFC;
   memcpy(out, bytes, QV_UUID_LENGTH);
}

QV_API bool _uuid_is_null(const unsigned char *uu)
{
   unsigned char any = 0;
   for (size_t i = 0; i < QV_UUID_LENGTH; i++)
      any |= uu[i];
   return any == 0;
}

QV_API int _uuid_parse(const wchar_t *text, unsigned char *out)
{
   if (text == nullptr)
      return -1;
   unsigned char bytes[QV_UUID_LENGTH];
   size_t digits = 0;
   for (size_t i = 0; i < QV_UUID_TEXT_LENGTH; i++)
   {
      // A terminator fails here too, so a short text is never read past its end.
      if (Contains(DASH_POSITIONS, i))
      {
         if (text[i] != L'-')
            return -1;
         continue;
      }
      int value = HexDigitValue(text[i]);
      if (value < 0)
         return -1;
      if (digits % 2 == 0)
         bytes[digits / 2] = static_cast<unsigned char>(value << 4);
      else
         bytes[digits / 2] |= static_cast<unsigned char>(value);
      digits++;
   }
   if (text[QV_UUID_TEXT_LENGTH] != 0)
      return -1;
   memcpy(out, bytes, QV_UUID_LENGTH);
   return 0;
}

QV_API wchar_t *_uuid_to_string(const unsigned char *uu, wchar_t *buffer)
{
   return FormatUuid(uu, buffer);
}

QV_API char *_uuid_to_stringA(const unsigned char *uu, char *buffer)
{
   return FormatUuid(uu, buffer);
}

const uuid uuid::NULL_UUID;

String uuid::toString() const
{
   wchar_t buffer[QV_UUID_TEXT_LENGTH + 1];
   return String(toString(buffer));
}

json_t *uuid::toJson() const
{
   char buffer[QV_UUID_TEXT_LENGTH + 1];
   return json_string(toStringA(buffer));
}

uuid uuid::generate()
{
   uuid id;
   _uuid_generate(id.m_value);
   return id;
}

uuid uuid::parse(const wchar_t *text)
{
   uuid id;
   return (_uuid_parse(text, id.m_value) == 0) ? id : NULL_UUID;
}

void String::append(const uuid &value)
{
   wchar_t buffer[QV_UUID_TEXT_LENGTH + 1];
   append(value.toString(buffer), QV_UUID_TEXT_LENGTH);
}
