/* Code/text tables, the data type names, and the rules for object and script names. */
#include <qv_strings.h>

#include <wchar.h>

namespace {

/* Characters of a name under the strict object name rule. */
constexpr wchar_t STRICT_OBJECT_NAME_CHARS[] =
    L"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_- @()./";

/* Characters the lenient rule refuses besides the control characters. */
constexpr wchar_t LENIENT_REFUSED_CHARS[] = L"|\"'*%#\\`;?<>=";

/* Control characters the lenient rule refuses: 0x01 to 0x1F (0 ends the name). */
constexpr wchar_t LAST_CONTROL_CHAR = 0x1F;

constexpr wchar_t SCRIPT_NAME_CHARS[] = L"0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_:";

/* The data type codes that configurations and tables carry, by name. */
const CodeTextEntry DATA_TYPE_NAMES[] = {
    {0, L"INT"}, {1, L"UINT"}, {2, L"INT64"}, {3, L"UINT64"}, {4, L"STRING"}, {5, L"FLOAT"}, {0, nullptr},
};

/* Value CodeFromText gives for a name that is not in the table. */
constexpr int32_t UNKNOWN_DATA_TYPE = -1;

bool HasOnly(const wchar_t *name, const wchar_t *allowed)
{
   return name[wcsspn(name, allowed)] == 0;
}

}  // namespace

QV_API int32_t QvDCIDataTypeFromText(const wchar_t *text)
{
   return CodeFromText(text, DATA_TYPE_NAMES, UNKNOWN_DATA_TYPE);
}

QV_API const wchar_t *CodeToText(int32_t code, const CodeTextEntry *table, const wchar_t *defaultText)
{
   if (table == nullptr)
      return defaultText;
   for (const CodeTextEntry *row = table; row->text != nullptr; row++)
   {
      if (row->code == code)
         return row->text;
   }
   return defaultText;
}

QV_API int32_t CodeFromText(const wchar_t *text, const CodeTextEntry *table, int32_t defaultCode)
{
   if (text == nullptr || table == nullptr)
      return defaultCode;
   for (const CodeTextEntry *row = table; row->text != nullptr; row++)
   {
      if (qv_wcsicmp(row->text, text) == 0)
         return row->code;
   }
   return defaultCode;
}

QV_API bool IsValidObjectName(const wchar_t *name, bool lenient)
{
   if (name == nullptr || name[0] == 0)
      return false;
   if (!lenient)
      return HasOnly(name, STRICT_OBJECT_NAME_CHARS);
   for (const wchar_t *p = name; *p != 0; p++)
   {
      if (*p <= LAST_CONTROL_CHAR || wcschr(LENIENT_REFUSED_CHARS, *p) != nullptr)
         return false;
   }
   return true;
}

QV_API bool IsValidScriptName(const wchar_t *name)
{
   if (name == nullptr || name[0] == 0)
      return false;
   if ((name[0] >= '0' && name[0] <= '9') || name[0] == ':')
      return false;
   return HasOnly(name, SCRIPT_NAME_CHARS);
}
