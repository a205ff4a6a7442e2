/* Option strings: "name=value;name=value;..." with names compared without regard to case,
 * read as text, flag, or number. */
#include <qv_strings.h>

#include "text/parse_number.h"
#include "text/text_chars.h"

namespace {

using qv::text::IsSpaceOrTab;

/* Longest option name compared; longer names are cut to this many characters. */
constexpr size_t MAX_NAME_LENGTH = 255;

/* Room the typed readers give the value, terminator included. */
constexpr int32_t TYPED_VALUE_SIZE = 256;

int CompareIgnoringCase(const wchar_t *a, const wchar_t *b)
{
   return qv_wcsicmp(a, b);
}

int CompareIgnoringCase(const char *a, const char *b)
{
   return qv_stricmp(a, b);
}

/* The text of buffer[0, length) without leading and trailing spaces and tabs, moved to the
 * front of buffer and terminated. */
template <typename C> void StripInPlace(C *buffer, size_t length)
{
   size_t start = 0;
   while (start < length && IsSpaceOrTab(buffer[start]))
      start++;
   while (length > start && IsSpaceOrTab(buffer[length - 1]))
      length--;
   for (size_t i = start; i < length; i++)
      buffer[i - start] = buffer[i];
   buffer[length - start] = 0;
}

template <typename C> bool ExtractValue(const C *options, const C *wanted, C *buffer, int32_t size)
{
   if (options == nullptr || wanted == nullptr || buffer == nullptr || size < 1)
      return false;
   enum
   {
      READING_NAME,
      IN_WANTED_VALUE,
      IN_OTHER_VALUE
   } state = READING_NAME;
   C name[MAX_NAME_LENGTH + 1];
   size_t nameLength = 0;
   size_t valueLength = 0;
   size_t valueRoom = static_cast<size_t>(size) - 1;
   for (const C *p = options; *p != 0; p++)
   {
      C ch = *p;
      if (ch == ';')
      {
         if (state == IN_WANTED_VALUE)
            break;
         state = READING_NAME;
         nameLength = 0;
      }
      else if (state == READING_NAME)
      {
         if (ch == '=')
         {
            StripInPlace(name, nameLength);
            state = (CompareIgnoringCase(name, wanted) == 0) ? IN_WANTED_VALUE : IN_OTHER_VALUE;
         }
         else if (nameLength < MAX_NAME_LENGTH)
         {
            name[nameLength++] = ch;
         }
      }
      else if (state == IN_WANTED_VALUE && valueLength < valueRoom)
      {
         buffer[valueLength++] = ch;
      }
   }
   if (state != IN_WANTED_VALUE)
      return false;
   StripInPlace(buffer, valueLength);
   return true;
}

template <typename C> bool ExtractBool(const C *options, const C *wanted, bool defaultValue)
{
   C value[TYPED_VALUE_SIZE];
   if (!ExtractValue(options, wanted, value, TYPED_VALUE_SIZE))
      return defaultValue;
   static const C YES[] = {'y', 'e', 's', 0};
   static const C TRUE_TEXT[] = {'t', 'r', 'u', 'e', 0};
   return CompareIgnoringCase(value, YES) == 0 || CompareIgnoringCase(value, TRUE_TEXT) == 0;
}

/* The value parsed by parse when the whole of it is a number (an empty value gives 0);
 * otherwise, and when the option is absent, the default. */
template <typename T, typename C>
T ExtractNumber(const C *options, const C *wanted, T defaultValue, T (*parse)(const C *, const C **))
{
   C value[TYPED_VALUE_SIZE];
   if (!ExtractValue(options, wanted, value, TYPED_VALUE_SIZE))
      return defaultValue;
   const C *end = value;
   T number = parse(value, &end);
   return (*end == 0) ? number : defaultValue;
}

}  // namespace

QV_API bool ExtractNamedOptionValueW(const wchar_t *options, const wchar_t *name, wchar_t *buffer, int32_t size)
{
   return ExtractValue(options, name, buffer, size);
}

QV_API bool ExtractNamedOptionValueA(const char *options, const char *name, char *buffer, int32_t size)
{
   return ExtractValue(options, name, buffer, size);
}

QV_API bool ExtractNamedOptionValueAsBoolW(const wchar_t *options, const wchar_t *name, bool defaultValue)
{
   return ExtractBool(options, name, defaultValue);
}

QV_API bool ExtractNamedOptionValueAsBoolA(const char *options, const char *name, bool defaultValue)
{
   return ExtractBool(options, name, defaultValue);
}

QV_API int32_t ExtractNamedOptionValueAsIntW(const wchar_t *options, const wchar_t *name, int32_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseInt32<wchar_t>);
}

QV_API int32_t ExtractNamedOptionValueAsIntA(const char *options, const char *name, int32_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseInt32<char>);
}

QV_API uint32_t ExtractNamedOptionValueAsUIntW(const wchar_t *options, const wchar_t *name, uint32_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseUInt32<wchar_t>);
}

QV_API uint32_t ExtractNamedOptionValueAsUIntA(const char *options, const char *name, uint32_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseUInt32<char>);
}

QV_API uint64_t ExtractNamedOptionValueAsUInt64W(const wchar_t *options, const wchar_t *name, uint64_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseUInt64<wchar_t>);
}

QV_API uint64_t ExtractNamedOptionValueAsUInt64A(const char *options, const char *name, uint64_t defaultValue)
{
   return ExtractNumber(options, name, defaultValue, qv::text::ParseUInt64<char>);
}
