/* parseTemplate: copies the settings of one section into a program's variables by a table
 * of QV_CFG_TEMPLATE records. */
#include "config/config_internal.h"
#include "text/parse_number.h"
#include "text/text_chars.h"

#include <stdlib.h>
#include <string.h>

using qv::config::Loader;

namespace {

/* Bytes one character takes at most in an 8-bit code page. */
constexpr int MAX_CHARACTER_BYTES = 16;

bool IsFlagOn(const wchar_t *text)
{
   return !qv_wcsicmp(text, L"yes") || !qv_wcsicmp(text, L"true") || !qv_wcsicmp(text, L"on") ||
          !qv_wcsicmp(text, L"1");
}

/* A number with an optional unit letter K, M, G or T, each worth factor times the one
 * before; a product beyond 64 bits gives the largest value. */
uint64_t ParseWithUnits(const wchar_t *text, uint64_t factor)
{
   const wchar_t *end;
   uint64_t value = qv::text::ParseUInt64<wchar_t>(text, &end);
   while (qv::text::IsSpaceOrTab(*end))
      end++;
   int power;
   switch (*end)
   {
      case L'K':
      case L'k': power = 1; break;
      case L'M':
      case L'm': power = 2; break;
      case L'G':
      case L'g': power = 3; break;
      case L'T':
      case L't': power = 4; break;
      default: power = 0; break;
   }
   for (int i = 0; i < power; i++)
   {
      if (value > UINT64_MAX / factor)
         return UINT64_MAX;
      value *= factor;
   }
   return value;
}

/* Converts text into the default code page in target (size bytes, cleared first), whole
 * characters only, at most size - 1 bytes. */
void StoreMultibyte(const wchar_t *text, char *target, size_t size)
{
   memset(target, 0, size);
   size_t used = 0;
   char bytes[MAX_CHARACTER_BYTES];
   for (const wchar_t *p = text; *p != 0; p++)
   {
      int n = wchar_to_mb(p, 1, bytes, MAX_CHARACTER_BYTES);
      if (n <= 0)
         continue;
      if (used + static_cast<size_t>(n) > size - 1)
         break;
      memcpy(target + used, bytes, static_cast<size_t>(n));
      used += static_cast<size_t>(n);
   }
}

/* A new text (malloc) with every value followed by separator. */
wchar_t *JoinValues(const ConfigEntry *entry, wchar_t separator)
{
   size_t length = 0;
   for (int32_t i = 0; i < entry->getValueCount(); i++)
      length += wcslen(entry->getValue(i)) + 1;
   wchar_t *list = static_cast<wchar_t *>(malloc((length + 1) * sizeof(wchar_t)));
   if (list == nullptr)
      return nullptr;
   wchar_t *p = list;
   for (int32_t i = 0; i < entry->getValueCount(); i++)
   {
      const wchar_t *v = entry->getValue(i);
      size_t n = wcslen(v);
      memcpy(p, v, n * sizeof(wchar_t));
      p += n;
      *p++ = separator;
   }
   *p = 0;
   return list;
}

/* Reports text after a number (the parsed part is kept all the same). */
void CheckNumberEnd(Config *config, const ConfigEntry *entry, const wchar_t *text, const wchar_t *end)
{
   if (*end != 0)
      Loader::report(config, entry->getFile(), entry->getLine(),
                     L"Invalid number '%s' in configuration file %s at line %d\n", text, entry->getFile(),
                     entry->getLine());
}

}  // namespace

bool Config::parseTemplate(const wchar_t *section, QV_CFG_TEMPLATE *cfgTemplate)
{
   if (cfgTemplate == nullptr)
      return true;
   int32_t errorsBefore = m_errorCount;
   std::wstring path(L"/");
   if (section != nullptr && *section != 0)
   {
      path.append(section);
      path.push_back(L'/');
   }
   size_t base = path.size();

   for (QV_CFG_TEMPLATE *t = cfgTemplate; t->valueType != CFG_TYPE_END; t++)
   {
      path.resize(base);
      path.append(t->key, wcsnlen(t->key, QV_CFG_TEMPLATE_KEY_SIZE));
      ConfigEntry *entry = getEntry(path.c_str());
      if (entry == nullptr)
         continue;
      int32_t count = entry->getValueCount();
      const wchar_t *text = (count > 0) ? entry->getValue(count - 1) : qv::config::NULL_TEXT;
      const wchar_t *end;
      switch (t->valueType)
      {
         case CFG_TYPE_INT32:
            if (t->presetMarker != nullptr && *static_cast<int32_t *>(t->presetMarker) != -1)
               break;
            *static_cast<int32_t *>(t->target) = qv::text::ParseInt32<wchar_t>(text, &end);
            CheckNumberEnd(this, entry, text, end);
            break;
         case CFG_TYPE_UINT16:
            if (t->presetMarker != nullptr && *static_cast<uint16_t *>(t->presetMarker) != 0xFFFF)
               break;
            *static_cast<uint16_t *>(t->target) = static_cast<uint16_t>(qv::text::ParseUInt32<wchar_t>(text, &end));
            CheckNumberEnd(this, entry, text, end);
            break;
         case CFG_TYPE_STRING:
            if (t->presetMarker != nullptr && *static_cast<wchar_t *>(t->presetMarker) != 0)
               break;
            if (t->sizeOrMask > 0)
               wcslcpy(static_cast<wchar_t *>(t->target), text, static_cast<size_t>(t->sizeOrMask));
            break;
         case CFG_TYPE_MB_STRING:
            if (t->presetMarker != nullptr && *static_cast<char *>(t->presetMarker) != 0)
               break;
            if (t->sizeOrMask > 0)
               StoreMultibyte(text, static_cast<char *>(t->target), static_cast<size_t>(t->sizeOrMask));
            break;
         case CFG_TYPE_STRING_LIST:
            *static_cast<wchar_t **>(t->target) =
                JoinValues(entry, static_cast<wchar_t>(static_cast<unsigned char>(t->listSeparator)));
            break;
         case CFG_TYPE_FLAG32:
            if (IsFlagOn(text))
               *static_cast<uint32_t *>(t->target) |= static_cast<uint32_t>(t->sizeOrMask);
            else
               *static_cast<uint32_t *>(t->target) &= ~static_cast<uint32_t>(t->sizeOrMask);
            break;
         case CFG_TYPE_FLAG64:
            if (IsFlagOn(text))
               *static_cast<uint64_t *>(t->target) |= t->sizeOrMask;
            else
               *static_cast<uint64_t *>(t->target) &= ~t->sizeOrMask;
            break;
         case CFG_TYPE_BYTES:
         case CFG_TYPE_DECIMAL_UNITS:
            if (t->presetMarker != nullptr && *static_cast<int32_t *>(t->presetMarker) != -1)
               break;
            *static_cast<uint64_t *>(t->target) = ParseWithUnits(text, (t->valueType == CFG_TYPE_BYTES) ? 1024 : 1000);
            break;
         default: break;  // CFG_TYPE_IGNORED and unknown codes
      }
   }
   return m_errorCount == errorsBefore;
}
