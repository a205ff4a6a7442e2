/* libqorvel Process and platform support: process setup, crash handling, files, option parsing,
 * date and time, console output. */
#ifndef QORVEL_QV_PLATFORM_H
#define QORVEL_QV_PLATFORM_H

#include <qv_strings.h>

#include <stdio.h>

/* ---------------------------------------------------------------------------------------
 * Console
 * ------------------------------------------------------------------------------------- */

/* Writes text to standard output. The text may carry colour sequences: escape, "[", codes
 * separated by ";", "m". Codes 0 (reset), 1 (bright), 22 (normal intensity), 30-37
 * (foreground colour, which also clears the intensity) and 40-47 (background colour)
 * take effect on a terminal; other codes and other characters inside a sequence are
 * dropped. When standard output is not a terminal every sequence is removed. An escape
 * not followed by "[" is written as it is; a sequence without its "m" ends the output.
 * The text goes out in the system code page (as wide text to a wide-oriented stream),
 * through the stdio buffer of stdout. */
QV_API void WriteToTerminal(const wchar_t *text);

/* Formats by the library's wide rules (cut to 8191 characters) and writes the result with
 * WriteToTerminal. */
QV_API void WriteToTerminalEx(const wchar_t *format, ...);

/* Prints prompt (when not null), turns the terminal's echo off, reads one line of standard
 * input into buffer (at most size - 1 characters, without the line feed; the rest of a
 * longer line is read and dropped), puts the echo back as it was and prints a line feed.
 * Returns true; the buffer is empty when the input ended. False only for a null buffer
 * or a size of 0 (or above INT32_MAX). Standard input that is not a terminal is read the
 * same way, without touching any echo. */
QV_API bool ReadPassword(const wchar_t *prompt, wchar_t *buffer, size_t size);

/* fgetws(buffer, size, stream); the buffer is left empty when it returns null. Null
 * without reading for a null buffer or stream or a size below 1. */
QV_API wchar_t *safe_fgetts(wchar_t *buffer, int size, FILE *stream);

/* ---------------------------------------------------------------------------------------
 * Command-line option parsing
 *
 * The familiar getopt family over 8-bit argument vectors, with the library's own state:
 * the functions and variables are exported as qv_getopt, qv_getopt_long,
 * qv_getopt_long_only, qv_optind, qv_opterr, qv_optopt and qv_optarg, and the macros below
 * give them their usual names, so code written for the usual names gets this parser and
 * the rest of the process keeps the C library's. The long options are the C library's
 * struct option {name, has_arg (no_argument 0, required_argument 1, optional_argument
 * 2), flag, val}, ended by a record with a null name.
 *
 * Non-option arguments are moved behind the options (the vector is permuted in place);
 * a leading "+" in the option string, or the environment variable POSIXLY_CORRECT, stops
 * at the first non-option instead, and a leading "-" returns each non-option as the
 * argument (optarg) of option 1. "--" ends the options. Long options may be abbreviated
 * to any unambiguous prefix; "W;" in the option string makes "-W foo" mean "--foo".
 * Setting optind to 0 restarts the parse (and reads POSIXLY_CORRECT again).
 *
 * Errors return '?' (a missing argument ':' when the option string starts with ":", after
 * any "+" or "-") and set optopt to the option character (0 for long options). Unless
 * opterr is 0 or the option string starts with ":", a message is printed to standard
 * output without a line end: "option `--name' is ambiguous", "option `--name' doesn't
 * allow an argument", "option `--name' requires an argument", "unrecognized option
 * `--name'", "invalid option -- c" ("illegal option -- c" with POSIXLY_CORRECT set),
 * "option requires an argument -- c".
 *
 * One parse state for the whole process: parse on one thread at a time.
 * ------------------------------------------------------------------------------------- */

#include <getopt.h>

QV_BEGIN_C
/* Index of the next argument to examine (1 at first); 0 restarts the parse. */
QV_EXPORT extern int qv_optind;
/* Print messages for errors when not 0 (1 at first). */
QV_EXPORT extern int qv_opterr;
/* The option character of the last error ('?' at first). */
QV_EXPORT extern int qv_optopt;
/* The argument of the option just returned, or null. */
QV_EXPORT extern char *qv_optarg;
QV_END_C

/* The next option character; -1 at the end of the options. */
QV_API int qv_getopt(int argc, char *const *argv, const char *optstring);
/* As qv_getopt, and arguments starting with "--" are long options: returns the option's
 * val, or 0 when its flag is not null (val is stored there); *longindex (when longindex
 * is not null) is set to the option's index. */
QV_API int qv_getopt_long(int argc, char *const *argv, const char *optstring, const struct option *longopts,
                          int *longindex);
/* As qv_getopt_long, and an argument with a single "-" is first tried as a long option
 * (any two prefix matches are ambiguous then); one that is no long option but starts
 * with a short option letter is read as short options. */
QV_API int qv_getopt_long_only(int argc, char *const *argv, const char *optstring, const struct option *longopts,
                               int *longindex);

#define getopt qv_getopt
#define getopt_long qv_getopt_long
#define getopt_long_only qv_getopt_long_only
#define optind qv_optind
#define opterr qv_opterr
#define optopt qv_optopt
#define optarg qv_optarg

#endif
