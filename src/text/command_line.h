/* Splitting of a command line into arguments, for ParseCommandLine (which collects them in
 * a StringList one layer up). */
#ifndef QORVEL_TEXT_COMMAND_LINE_H
#define QORVEL_TEXT_COMMAND_LINE_H

#include <qv_base.h>

namespace qv {
namespace text {

/* Calls add(context, argument) for each argument of line in order; argument is a
 * terminated text valid only during the call. Arguments are separated by spaces outside
 * quotes; double quotes and apostrophes quote (each inside the other is a plain
 * character) and are removed; a quoted empty argument counts, wherever it is; an
 * unclosed quote runs to the end. Returns false (after no call) when out of memory; a
 * null line has no arguments. */
bool SplitCommandLine(const wchar_t *line, void (*add)(void *context, const wchar_t *argument), void *context);

}  // namespace text
}  // namespace qv

#endif
