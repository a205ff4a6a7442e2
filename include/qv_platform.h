/* libqorvel Process and platform support: process setup, crash handling, files, option parsing,
 * date and time, console output. */
#ifndef QORVEL_QV_PLATFORM_H
#define QORVEL_QV_PLATFORM_H

#include <qv_strings.h>

#include <stdio.h>
#include <time.h>

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

/* ---------------------------------------------------------------------------------------
 * Date, time and schedules
 *
 * Plain functions without state, safe on any thread. Broken-down times are the C
 * library's struct tm (tm_mon 0-11, tm_year since 1900, tm_wday 0-6 with 0 = Sunday);
 * times are seconds since 1970-01-01 00:00:00 UTC. The current time in milliseconds is
 * GetCurrentTimeMs (qv_base.h).
 *
 * Schedules. A schedule is five fields separated by spaces or tabs: minute (0-59), hour
 * (0-23), day of month (1-31), month (1-12) and day of week (0-7, where both 0 and 7 are
 * Sunday). The schedule matches a time when every field matches; fields missing at the
 * end count as empty fields, and an empty field matches only the value 0. A field is
 * one of:
 *   *          any value
 *   *STEP      where STEP is '/' and a number N: a value that is a multiple of N
 *   A          the value A
 *   A-B        A <= value <= B; "5-7" in the day of week is Friday to Sunday
 *   A-B/N      A <= value <= B and the value a multiple of N (counted from 0, not A)
 *   nL         the value n in the last 7 days of the month; in the day of week the last
 *              such weekday of the month ("5L" is the last Friday)
 *   L          the field's highest value: 59, 23, the last day of the month, 12, and
 *              Sunday in the day of week
 *   a list of the forms above other than "*", separated by ',' ("1,15,L" is the 1st,
 *              the 15th and the last day of the month)
 *   %N         every N seconds: the time given to the matcher, in seconds, is a multiple
 *              of N (N missing or below 1 counts as 1); whatever stands before the '%'
 *              is ignored. For callers that test a schedule more often than once a
 *              minute.
 * A step N (after '/') that is missing, 0 or negative counts as 1; a step after single
 * numbers is ignored. Numbers are decimal; an empty number is 0. Fields of any length
 * are read.
 * ------------------------------------------------------------------------------------- */

/* True when schedule matches the local broken-down time localTime, which belongs to
 * now (seconds since the epoch, used by the "%" form). False for a null schedule or
 * time. */
QV_API bool MatchSchedule(const wchar_t *schedule, const struct tm *localTime, time_t now);

/* True when one schedule field (a terminated text of any form above) matches value,
 * whose field has the highest value highest (used by "L"). localTime is needed by the
 * "nL" form only and may be null, which makes "nL" fail; now is used by the "%" form.
 * The text is not changed. Sunday as 7 is the caller's concern here: MatchSchedule tests
 * the day of week of a Sunday as 0 and as 7. False for a null field. */
QV_API bool MatchScheduleElement(wchar_t *field, int value, int highest, const struct tm *localTime, time_t now);

/* The last day (28 to 31) of the month tm_mon of the year tm_year + 1900 in the
 * Gregorian calendar; 30 for a month outside 0-11 or a null tm. */
QV_API int GetLastMonthDay(const struct tm *tm);

/* Seconds from now until the next local time of day hour:minute:second: 0 when that is
 * now, 86399 when it was one second ago. A time of day past 23:59:59 counts from the
 * start of today; the result is capped at INT32_MAX. */
QV_API int32_t GetSleepTime(uint32_t hour, uint32_t minute, uint32_t second);

/* Seconds since the epoch of the local date-time stamp text, YYMMDDhhmmss (years
 * 2000-2099) or YYYYMMDDhhmmss, with daylight saving time as the platform decides (-1
 * when the platform cannot represent the time). defaultValue for a null text, a text of
 * another length, or one with anything but decimal digits. Out-of-range fields (a 13th
 * month, a 32nd day) roll over into the next unit. The wide form takes the same text. */
QV_API int64_t ParseDateTimeA(const char *text, int64_t defaultValue);
QV_API int64_t ParseDateTimeW(const wchar_t *text, int64_t defaultValue);

/* Seconds since the epoch of the UTC broken-down time tm, which is not changed.
 * Out-of-range fields roll over (tm_mday 0 is the last day of the month before; a
 * negative hour counts back). -1 for a null tm, a month outside 0-11, a year before 1970
 * or a time before the epoch. A seconds field of 60 or more (a leap second) counts one
 * second less, so 23:59:60 gives the same time as 23:59:59. */
QV_API time_t qv_timegm(struct tm *tm);

/* Parses 8-bit text by format into tm and returns a pointer to the first character of
 * text that was not consumed, or null when text does not fit the format (tm may then be
 * partly filled). Only the fields the format names are set; when year, month and day
 * are all parsed (and the weekday and day of the year are not), tm_wday and tm_yday are
 * computed from them.
 *
 * White space in format matches any amount of white space in text (none included); other
 * characters match themselves. Numbers may be preceded by white space and take at most
 * the digits shown. Conversions:
 *   %%  a '%'                        %n %t  any white space
 *   %C  century, 2 digits            %y     year in the century, 2 digits: 69-99 are
 *                                           1969-1999, 00-68 are 2000-2068, or in the
 *                                           century of %C when there is one
 *   %Y  year, up to 4 digits         %m     month 1-12
 *   %d %e  day of month 1-31         %j     day of the year 1-366
 *   %H %k  hour 0-23                 %I %l  hour 1-12 (12 is 0 until %p says pm)
 *   %M  minute 0-59                  %S     second 0-61
 *   %p  "am" or "pm" in any case; pm adds 12 to an hour below 12 (also when the hour
 *       comes later in the text)
 *   %u  weekday 1-7 (7 Sunday)       %w     weekday 0-6 (0 Sunday)
 *   %U %W %V  week number 0-53, checked and ignored
 *   %G  ISO year, up to 4 digits, %g 2 digits; checked and ignored
 *   %s  seconds since the epoch (a leading '-' allowed), as local time
 *   %D  as %m/%d/%y   %F as %Y-%m-%d   %R as %H:%M   %T as %H:%M:%S
 *   %Z  "GMT" or one of the local zone's two names; tm_isdst 0 for GMT and the standard
 *       name, 1 for the daylight name
 *   %z  +hhmm or -hhmm (optionally +hh:mm, minutes below 60), "GMT", "UT", "Z", EST,
 *       CST, MST, PST, EDT, CDT, MDT, PDT (the last four set tm_isdst to 1) or one
 *       military zone letter (A-I, L-Y); the offset is not applied to tm
 *   %E  before C, y, Y and %O before d, e, H, I, m, M, S, u, U, V, w, W, y: accepted
 *       and ignored (fails before any other conversion)
 * Any other conversion (names of days and months, %c, %x, %X, %r among them) and a
 * format ending in a lone '%' fail. Null text, format or tm fail. */
QV_API char *qv_strptime(const char *text, const char *format, struct tm *tm);

/* The library's timegm and strptime under the names of the C library, for host code
 * that includes this header: the C library's own functions stay in place for everything
 * else in the process. Define QV_NO_TIME_NAMES before including to keep the names. */
#ifndef QV_NO_TIME_NAMES
#define timegm qv_timegm
#define strptime qv_strptime
#endif

#endif
