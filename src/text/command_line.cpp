/* Splitting of a command line into arguments. */
#include "text/command_line.h"

#include <qv_strings.h>

#include <stdlib.h>

namespace qv {
namespace text {

bool SplitCommandLine(const wchar_t *line, void (*add)(void *context, const wchar_t *argument), void *context)
{
   if (line == nullptr)
      return true;
   // Quotes are removed and arguments terminated in a copy; the output never gets ahead
   // of the input, so one buffer serves both.
   wchar_t *buffer = qv_wcsdup(line);
   if (buffer == nullptr)
      return false;
   enum
   {
      UNQUOTED,
      IN_DOUBLE,
      IN_SINGLE
   } quoting = UNQUOTED;
   size_t in = 0;
   while (buffer[in] == ' ')
      in++;
   size_t start = in;
   size_t out = in;
   bool quoted = false;  // the current argument had quotes, so it counts even when empty
   for (; buffer[in] != 0; in++)
   {
      wchar_t ch = buffer[in];
      if (ch == '"' && quoting != IN_SINGLE)
      {
         quoting = (quoting == IN_DOUBLE) ? UNQUOTED : IN_DOUBLE;
         quoted = true;
      }
      else if (ch == '\'' && quoting != IN_DOUBLE)
      {
         quoting = (quoting == IN_SINGLE) ? UNQUOTED : IN_SINGLE;
         quoted = true;
      }
      else if (ch == ' ' && quoting == UNQUOTED)
      {
         buffer[out] = 0;
         add(context, buffer + start);
         while (buffer[in + 1] == ' ')
            in++;
         start = out = in + 1;
         quoted = false;
      }
      else
      {
         buffer[out++] = ch;
      }
   }
   if (out > start || quoted)
   {
      buffer[out] = 0;
      add(context, buffer + start);
   }
   free(buffer);
   return true;
}

}  // namespace text
}  // namespace qv
