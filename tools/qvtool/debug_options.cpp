/* qvtool's global debug options: set the library's debug levels and show what the library
 * writes as debug output on standard error while a command runs. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

/* Tag of the tool's own message telling the levels it set. */
const wchar_t TOOL_DEBUG_TAG[] = L"qvtool";

/* Level of that message. */
constexpr int32_t TOOL_DEBUG_LEVEL = 1;

/* Prints "[tag] text" (untagged: the text alone) on standard error. */
void ConsoleDebugWriter(const wchar_t *tag, const wchar_t *message)
{
   char *text = UTF8StringFromWideString(message);
   if (tag != nullptr)
   {
      char *tagText = UTF8StringFromWideString(tag);
      fprintf(stderr, "[%s] %s\n", tagText, text);
      free(tagText);
   }
   else
      fprintf(stderr, "%s\n", text);
   free(text);
}

/* A level of one decimal digit, 0 to 9; -1 for anything else. */
int32_t ParseLevel(const char *text)
{
   if (text[0] < '0' || text[0] > '0' + QVLOG_DEBUG_LEVEL_MAX || text[1] != 0)
      return -1;
   return text[0] - '0';
}

}  // namespace

bool SetDebugLevelOption(const char *value)
{
   int32_t level = ParseLevel(value);
   if (level < 0)
   {
      fprintf(stderr, "qvtool: --debug needs a level from 0 to 9, not \"%s\"\n", value);
      return false;
   }
   qvlog_set_debug_level(level);
   return true;
}

bool SetDebugTagOption(const char *value)
{
   const char *equals = strrchr(value, '=');
   int32_t level = (equals != nullptr) ? ParseLevel(equals + 1) : -1;
   if (equals == value || level < 0)
   {
      fprintf(stderr, "qvtool: --debug-tag needs TAG=LEVEL with a level from 0 to 9, not \"%s\"\n", value);
      return false;
   }
   std::string tag(value, static_cast<size_t>(equals - value));
   wchar_t *wideTag = WideStringFromUTF8String(tag.c_str());
   qvlog_set_debug_level_tag(wideTag, level);
   free(wideTag);
   return true;
}

void ShowDebugOutput(int settings)
{
   qvlog_set_debug_writer(ConsoleDebugWriter);
   qvlog_debug_tag(TOOL_DEBUG_TAG, TOOL_DEBUG_LEVEL, L"default debug level %d, %d debug option(s)",
                   qvlog_get_debug_level(), settings);
}
