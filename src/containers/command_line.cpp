/* ParseCommandLine: the arguments of a command line as a StringList. */
#include <qv_containers.h>

#include "text/command_line.h"

namespace {

void AddArgument(void *list, const wchar_t *argument)
{
   static_cast<StringList *>(list)->add(argument);
}

}  // namespace

QV_EXPORT StringList *ParseCommandLine(const wchar_t *line)
{
   StringList *arguments = new StringList();
   qv::text::SplitCommandLine(line, AddArgument, arguments);
   return arguments;
}
