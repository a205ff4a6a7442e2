/* File name templates: time fields, environment variables and command output. */
#include "system/files.h"

#include "platform/files.h"
#include "platform/log_support.h"

#include <stdlib.h>
#include <string.h>
#include <time.h>

using namespace qv::platform;

namespace {

/* The template is first formatted into this many characters; a longer result is formatted
 * again into blocks that double up to MAX_FORMATTED_CHARS. */
constexpr size_t FORMAT_BUFFER_CHARS = 8192;
constexpr size_t MAX_FORMATTED_CHARS = 1 << 20;

/* Longest command text and longest command output taken, in characters and bytes. */
constexpr size_t MAX_COMMAND_CHARS = 1023;
constexpr size_t MAX_COMMAND_OUTPUT_BYTES = 1023;

/* Longest environment variable name taken. */
constexpr size_t MAX_VARIABLE_NAME_CHARS = 255;

constexpr int64_t MS_PER_SECOND = 1000;

/* Output with a fixed capacity that cuts what does not fit. */
struct Output
{
   wchar_t *buffer;
   size_t capacity;  // characters without the terminator
   size_t length;

   void append(const wchar_t *text, size_t count)
   {
      size_t room = capacity - length;
      if (count > room)
         count = room;
      memcpy(buffer + length, text, count * sizeof(wchar_t));
      length += count;
   }
};

/* Appends 8-bit text of the default code page. */
void AppendMultibyte(Output *out, const char *text)
{
   if (*text == 0)
      return;
   wchar_t *wide = WideStringFromMBString(text);
   if (wide != nullptr)
      out->append(wide, wcslen(wide));
   free(wide);
}

/* Finds the end of a field that starts at text and runs to closing (or to the end); copies
 * at most maxChars of it into field and returns the position after the closing character
 * (or the end). */
const wchar_t *TakeField(const wchar_t *text, wchar_t closing, wchar_t *field, size_t maxChars)
{
   const wchar_t *end = wcschr(text, closing);
   size_t length = (end != nullptr) ? static_cast<size_t>(end - text) : wcslen(text);
   size_t kept = (length < maxChars) ? length : maxChars;
   memcpy(field, text, kept * sizeof(wchar_t));
   field[kept] = 0;
   return (end != nullptr) ? end + 1 : text + length;
}

void InsertVariable(Output *out, const wchar_t *name)
{
   char *mbName = MBStringFromWideString(name);
   if (mbName == nullptr)
      return;
   const char *value = getenv(mbName);
   if (value != nullptr)
      AppendMultibyte(out, value);
   free(mbName);
}

void InsertCommandOutput(Output *out, const wchar_t *command)
{
   char *mbCommand = MBStringFromWideString(command);
   if (mbCommand == nullptr)
      return;
   char line[MAX_COMMAND_OUTPUT_BYTES + 1];
   if (CommandFirstLine(mbCommand, line, sizeof(line)))
      AppendMultibyte(out, line);
   free(mbCommand);
}

/* Formats the template with the local time; a new block (free()), or null when out of
 * memory or when the result is longer than MAX_FORMATTED_CHARS. An empty result is an
 * empty text. */
wchar_t *FormatTime(const wchar_t *name)
{
   if (*name == 0)
      return qv_wcsdup(L"");
   struct tm local;
   LocalTimeOf(GetCurrentTimeMs() / MS_PER_SECOND, &local);
   for (size_t size = FORMAT_BUFFER_CHARS; size <= MAX_FORMATTED_CHARS; size *= 2)
   {
      wchar_t *text = static_cast<wchar_t *>(malloc(size * sizeof(wchar_t)));
      if (text == nullptr)
         return nullptr;
      if (wcsftime(text, size, name, &local) > 0)
         return text;
      free(text);
   }
   // Nothing fits even the largest block: either the result is empty (wcsftime gives 0
   // for that too) or it is far too long. A template cannot grow more than a few hundred
   // times, so a short one that still gives 0 has an empty result.
   return (wcslen(name) < MAX_FORMATTED_CHARS / FORMAT_BUFFER_CHARS) ? qv_wcsdup(L"") : nullptr;
}

}  // namespace

QV_API wchar_t *ExpandFileName(const wchar_t *name, wchar_t *buffer, size_t size, bool allowShellCommands)
{
   if (name == nullptr || buffer == nullptr || size == 0)
      return nullptr;
   wchar_t *formatted = FormatTime(name);
   if (formatted == nullptr)
      return nullptr;

   Output out = {buffer, size - 1, 0};
   wchar_t field[MAX_COMMAND_CHARS + 1];
   const wchar_t *p = formatted;
   while (*p != 0 && out.length < out.capacity)
   {
      if (*p == L'`' && allowShellCommands)
      {
         p = TakeField(p + 1, L'`', field, MAX_COMMAND_CHARS);
         InsertCommandOutput(&out, field);
      }
      else if (*p == L'$' && p[1] == L'{')
      {
         p = TakeField(p + 2, L'}', field, MAX_VARIABLE_NAME_CHARS);
         InsertVariable(&out, field);
      }
      else
      {
         out.append(p, 1);
         p++;
      }
   }
   buffer[out.length] = 0;
   free(formatted);
   return buffer;
}
