/* Machine-readable output of qvtool's commands: with --json a command prints one JSON
 * document on standard output and nothing else there. */
#ifndef QVTOOL_JSON_OUTPUT_H
#define QVTOOL_JSON_OUTPUT_H

#include "command_line.h"

#include <jansson.h>

/* Key of the --json option, apart from every command's own keys. */
constexpr int JSON_OPTION_KEY = LONG_OPTION_KEY + 0x100;

/* The --json option as a command lists it among its options. */
constexpr CommandOption JSON_OPTION = {"json", no_argument, JSON_OPTION_KEY, nullptr,
                                       "print one JSON document on standard output (fields below)"};

/* Prints the document on standard output, indented, with a newline at its end, and
 * releases it. 0, or 1 (after a message naming the command) when it is null or cannot be
 * written. */
int PrintJson(json_t *document, const char *command = nullptr);

/* A new JSON string of wide text (UTF-8 in the document); JSON null for null text. */
json_t *JsonString(const wchar_t *text);

#endif
