/* libqorvel Data objects: tables, internet addresses, UUIDs, geolocation, MAC addresses. */
#ifndef QORVEL_QV_DATA_H
#define QORVEL_QV_DATA_H

#include <qv_containers.h>

/* ---------------------------------------------------------------------------------------
 * Internet addresses
 * ------------------------------------------------------------------------------------- */

/* ---------------------------------------------------------------------------------------
 * UUID
 * ------------------------------------------------------------------------------------- */

/* Identifiers of 16 bytes, kept in the order in which they are printed: byte 0 is the first
 * pair of hexadecimal digits of the text form, byte 15 the last. No operation reorders
 * bytes. The text form is 36 lower-case characters in groups of 8, 4, 4, 4 and 12 digits
 * separated by '-'. All-zero bytes are the null identifier, the value of a failed parse. */

/* Bytes of an identifier. */
#define QV_UUID_LENGTH 16

/* Characters of the text form, terminator not counted: text buffers hold one more. */
#define QV_UUID_TEXT_LENGTH 36

/* The functions below work on a caller's array of QV_UUID_LENGTH bytes. */

/* Sets the 16 bytes to zero. */
QV_API void _uuid_clear(unsigned char *uu);

/* -1, 0 or 1 as a is below, equal to or above b, comparing the bytes as unsigned numbers
 * in stored order. */
QV_API int _uuid_compare(const unsigned char *a, const unsigned char *b);

/* Writes a new random identifier (random version 4, RFC variant) laid out as the system's
 * generator on its other platforms lays out its GUID structure in memory: the first three
 * groups little-endian, so the version is the high nibble of byte 7 (text position 16) and
 * the variant the top bits of byte 8. Safe on any thread. When the system has no random
 * source that can be read, the null identifier is written. */
QV_API void _uuid_generate(unsigned char *out);

/* True when all 16 bytes are zero. */
QV_API bool _uuid_is_null(const unsigned char *uu);

/* Parses the 36-character text form, upper- or lower-case digits, nothing around it (no
 * braces, spaces or other lengths). Returns 0 and writes the 16 bytes to out, or -1 and
 * leaves out untouched; a null text gives -1. Reads no further than the text's
 * terminator or the character after the 36th. */
QV_API int _uuid_parse(const wchar_t *text, unsigned char *out);

/* Write the text form and its terminator (QV_UUID_TEXT_LENGTH + 1 characters) to buffer
 * and return buffer. */
QV_API wchar_t *_uuid_to_string(const unsigned char *uu, wchar_t *buffer);
QV_API char *_uuid_to_stringA(const unsigned char *uu, char *buffer);

#ifdef __cplusplus

/* Value type over the functions above: exactly 16 bytes, copied as bytes. */
class QV_EXPORT uuid
{
public:
   typedef unsigned char Bytes[QV_UUID_LENGTH];

private:
   Bytes m_value;

public:
   /* The null identifier, constant from load on. */
   static const uuid NULL_UUID;

   /* Null. */
   constexpr uuid() : m_value{} {}
   /* Copies QV_UUID_LENGTH bytes from value. */
   explicit uuid(const unsigned char *value) { memcpy(m_value, value, QV_UUID_LENGTH); }

   int compare(const uuid &other) const { return _uuid_compare(m_value, other.m_value); }
   bool equals(const uuid &other) const { return compare(other) == 0; }
   bool operator==(const uuid &other) const { return equals(other); }
   bool operator!=(const uuid &other) const { return !equals(other); }
   bool operator<(const uuid &other) const { return compare(other) < 0; }

   bool isNull() const { return _uuid_is_null(m_value); }
   const Bytes &getValue() const { return m_value; }

   /* The text form into buffer (QV_UUID_TEXT_LENGTH + 1 characters); returns buffer. */
   wchar_t *toString(wchar_t *buffer) const { return _uuid_to_string(m_value, buffer); }
   char *toStringA(char *buffer) const { return _uuid_to_stringA(m_value, buffer); }
   String toString() const;
   /* A new JSON string holding the text form (caller releases it with json_decref). */
   json_t *toJson() const;

   /* A new random identifier, as _uuid_generate makes it. */
   static uuid generate();
   /* The identifier in text, or NULL_UUID when _uuid_parse fails. */
   static uuid parse(const wchar_t *text);
};

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Table
 * ------------------------------------------------------------------------------------- */

/* ---------------------------------------------------------------------------------------
 * Geolocation and postal address
 * ------------------------------------------------------------------------------------- */

/* ---------------------------------------------------------------------------------------
 * MAC address
 * ------------------------------------------------------------------------------------- */

#endif
