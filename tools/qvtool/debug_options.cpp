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

bool SetTagLevel(const char *option)
{
   const char *equals = strrchr(option, '=');
   int32_t level = (equals != nullptr) ? ParseLevel(equals + 1) : -1;
   if (equals == option || level < 0)
   {
      fprintf(stderr, "qvtool: --debug-tag needs TAG=LEVEL with a level from 0 to 9, not \"%s\"\n", option);
      return false;
   }
   std::string tag(option, static_cast<size_t>(equals - option));
   wchar_t *wideTag = WideStringFromUTF8String(tag.c_str());
   qvlog_set_debug_level_tag(wideTag, level);
   free(wideTag);
   return true;
}

}  // namespace

int TakeDebugOptions(int argc, char **argv)
{
   int index = 1;
   int settings = 0;
   while (index < argc && (!strcmp(argv[index], "--debug") || !strcmp(argv[index], "--debug-tag")))
   {
      bool tagOption = !strcmp(argv[index], "--debug-tag");
      if (index + 1 >= argc)
      {
         fprintf(stderr, "qvtool: %s needs a value\n", argv[index]);
         return -1;
      }
      const char *value = argv[index + 1];
      if (tagOption)
      {
         if (!SetTagLevel(value))
            return -1;
      }
      else
      {
         int32_t level = ParseLevel(value);
         if (level < 0)
         {
            fprintf(stderr, "qvtool: --debug needs a level from 0 to 9, not \"%s\"\n", value);
            return -1;
         }
         qvlog_set_debug_level(level);
      }
      settings++;
      index += 2;
   }
   if (settings > 0)
   {
      qvlog_set_debug_writer(ConsoleDebugWriter);
      qvlog_debug_tag(TOOL_DEBUG_TAG, TOOL_DEBUG_LEVEL, L"default debug level %d, %d debug option(s)",
                      qvlog_get_debug_level(), settings);
   }
   return index;
}
