/* libqorvel Process and platform support: process setup, crash handling, files, option parsing,
 * date and time, console output. */
#ifndef QORVEL_QV_PLATFORM_H
#define QORVEL_QV_PLATFORM_H

#include <qv_strings.h>

#include <stdio.h>
#include <sys/stat.h>
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

/* ---------------------------------------------------------------------------------------
 * Files and directories
 *
 * Stateless helpers; every one may be called from any thread. Paths are wide text and go
 * to the system as UTF-8; "/" separates directories. Failures are told by the result only
 * (null, false, -1 or a size of 0), _statw32 also through errno. Paths are not limited to
 * 259 characters: what the system accepts works, longer ones fail. The 8-bit directory
 * reader (opendir, readdir, closedir, scandir, alphasort) and mkstemp are the C library's
 * own here.
 * ------------------------------------------------------------------------------------- */

/* Characters of wdirent::d_name, terminator included. */
#define QV_DIRENT_NAME_CHARS 260

/* Entry of the wide directory reader. */
struct wdirent
{
   int32_t d_ino;    /* 0 for the first entry returned, one more for each further entry */
   int32_t d_type;   /* 2 for a directory (links followed), 1 for anything else */
   int32_t d_namlen; /* length of d_name in characters */
   wchar_t d_name[QV_DIRENT_NAME_CHARS];
};

/* An open wide directory listing. */
typedef struct WDIR WDIR;

/* Opens the directory for reading; one trailing "/" is ignored. Null for a null or empty
 * path and when the path is not a directory that can be read. Close with wclosedir. */
QV_API WDIR *wopendir(const wchar_t *path);

/* The next entry ("." and ".." included, in the system's order), valid until the next call
 * on the listing; null at the end and for a null listing. */
QV_API struct wdirent *wreaddir(WDIR *dir);

/* Closes the listing and frees it: 0, or -1 for a null listing. */
QV_API int wclosedir(WDIR *dir);

/* stat of a wide path that accepts a trailing "/". Fills record with the type (S_IFDIR,
 * S_IFCHR or S_IFREG), the permissions 0400 (the owner may not write) or 0600, the size,
 * and the access, modification and creation times (status change where the file system
 * keeps no creation time), everything else 0; returns 0. Fails with -1 and errno ENOENT
 * when the file does not exist, EACCES for any other failure. */
QV_API int _statw32(const wchar_t *path, struct stat *record);

/* The whole file in a new block (free() it) with one zero byte after the data, and its
 * size in *size (may be null). Null when the file cannot be read or is 4 GiB or more. A
 * file that shrinks while it is read gives what was read. */
QV_API BYTE *LoadFile(const wchar_t *fileName, uint32_t *size);
QV_API BYTE *LoadFileA(const char *fileName, uint32_t *size);

/* Creates the directory, and its missing parents first. True when the directory itself
 * was created by this call (an existing directory gives false). */
QV_API bool CreateFolder(const wchar_t *directory);

/* Copies a file (replacing the destination; mode and times go with it) or a directory
 * tree. A tree is merged into an existing destination directory. Symbolic links are
 * followed; a link that leads back into the tree is not followed again. The copy goes on
 * after a failure below the top and writes each failure to the debug output (tag
 * "files", level 1) with the path it concerns; the result is true only when everything
 * was copied. */
QV_API bool CopyFileOrDirectory(const wchar_t *oldName, const wchar_t *newName);

/* Moves a file or directory tree: renamed where the system can, otherwise (another file
 * system, a destination directory that exists) copied and deleted entry by entry, so a
 * tree is merged into an existing destination. Entries that cannot be moved stay where
 * they were and are written to the debug output as above; the result is true only when
 * everything was moved. */
QV_API bool MoveFileOrDirectory(const wchar_t *oldName, const wchar_t *newName);

/* Expands a file name template into buffer (size characters, terminator included): the
 * template is formatted as a strftime format with the current local time ("%Y", "%m"...,
 * "%%" for a percent sign), then "${NAME}" is replaced by the environment variable NAME
 * (nothing when it is not set; names of at most 255 characters) and, when
 * allowShellCommands is set, "`command`" by the first line of the command's output (at
 * most 1023 characters of command and of output); otherwise a backquote is an ordinary
 * character. A "${" or backquote without its closing character takes the rest of the text
 * and ends it. The output is cut at size - 1 characters and always terminated; an empty
 * template or expansion gives the empty text. Returns buffer, or null for a null
 * template or buffer, or a size of 0. */
QV_API wchar_t *ExpandFileName(const wchar_t *name, wchar_t *buffer, size_t size, bool allowShellCommands);

/* Replaces the trailing XXXXXX of templ (changed in place) by a unique text and creates
 * that file, failing if it exists, for reading and writing with permissions 0600. The
 * open descriptor (not inherited by child processes), or -1. */
QV_API int wmkstemp(wchar_t *templ);

/* Size of the file in bytes; 0 when it does not exist. */
QV_API int64_t FileSizeW(const wchar_t *fileName);
QV_API int64_t FileSizeA(const char *fileName);

/* Pointer into fileName just after its last "/", "\" or ":" (the whole text when there is
 * none). */
QV_API const wchar_t *GetCleanFileName(const wchar_t *fileName);

/* Sets the access and the modification time of the file to t (seconds since 1970); true
 * when both were set. */
QV_API bool SetLastModificationTime(const wchar_t *fileName, time_t t);

/* Compresses the rest of inFile into outFile (level 9; in gzip form when gzip is set,
 * otherwise in zlib form). Returns 0 on success, -1 on a read or write error, otherwise
 * the zlib error. Neither stream is closed. */
QV_API int DeflateFileStream(FILE *inFile, FILE *outFile, bool gzip);

/* Writes a gzip copy of inName to outName (null: inName followed by ".gz"). True when it
 * was written; a failed compression removes its partial output. */
QV_API bool DeflateFile(const wchar_t *inName, const wchar_t *outName);

/* ---------------------------------------------------------------------------------------
 * Process setup and system information
 *
 * The first call of every program (InitQorvelProcess), the installation's directories,
 * loadable modules, texts of system and socket errors, the system's name and version,
 * and figures of the running process. Every function may be called from any thread.
 * ------------------------------------------------------------------------------------- */

/* Characters of a path buffer that GetQorvelDirectory fills, terminator included. */
#define QV_MAX_PATH 260

/* Directory types of GetQorvelDirectory; any other value names the installation
 * directory itself. */
enum qvDirectoryType
{
   QV_DIR_BIN = 0,
   QV_DIR_VAR = 1,
   QV_DIR_ETC = 2,
   QV_DIR_LIB = 3,
   QV_DIR_SHARE = 4,
   QV_DIR_INSTALLATION = 5
};

/* Sets the process up; every program calls it first, before it starts threads: numbers
 * are formatted and read with a point whatever the locale, the C random generator is
 * seeded with the time, and the message wait queues' housekeeper is stopped at process
 * exit (registered once, however often this is called). */
QV_API void InitQorvelProcess(void);

/* Writes the directory of the type into buffer (QV_MAX_PATH characters): the
 * installation directory followed by "/bin", "/var", "/etc", "/lib" or "/share", or the
 * installation directory itself for any other type, cut to QV_MAX_PATH - 1 characters.
 * The installation directory is the environment variable QORVEL_HOME when it is set and
 * not empty (trailing "/" removed), otherwise the directory two levels above the running
 * program (a program /opt/qorvel/bin/tool gives /opt/qorvel), otherwise, when the
 * program's path cannot be read or has fewer than two "/", "/opt/qorvel". */
QV_API void GetQorvelDirectory(int type, wchar_t *buffer);

/* Loads a module (shared object) with all its symbols bound at once. Returns its handle,
 * or null with the system's reason in errorText (256 characters, may be null). Writes the
 * debug line "DLOpen: file=..., module=..." (tag "dload", level 7). */
QV_API void *DLOpen(const wchar_t *fileName, wchar_t *errorText);

/* Unloads a module that DLOpen gave; null is ignored. */
QV_API void DLClose(void *module);

/* The address of symbol in the module, or null with the reason in errorText (256
 * characters, may be null); also null for a null module or symbol. */
QV_API void *DLGetSymbolAddr(void *module, const char *symbol, wchar_t *errorText);

/* The system's text for an error code (an errno value here) without line ends, cut to
 * size characters; "No description for error code 0x%08X" for a code without one.
 * Returns buffer. */
QV_API wchar_t *GetSystemErrorText(uint32_t error, wchar_t *buffer, size_t size);

/* "<code> <text>" for the calling thread's last socket error (its errno), cut to size
 * characters; the error itself is left as it was. Returns buffer. */
QV_API wchar_t *GetLastSocketErrorText(wchar_t *buffer, size_t size);

/* The host's name, or with fullyQualified its fully qualified name (the plain name
 * when no domain is known), cut to size characters. Returns buffer, or null (buffer
 * empty) when the name cannot be read or size is 0. */
QV_API wchar_t *GetLocalHostName(wchar_t *buffer, size_t size, bool fullyQualified);

/* Bytes of the process's memory that are resident now; 0 when unknown. */
QV_API uint64_t GetProcessRSS(void);

/* The C library allocator's report (its XML statistics) in a new block that the caller
 * frees with free(); "No heap information API available" where it gives none; null only
 * when out of memory. */
QV_API wchar_t *GetHeapInfo(void);

/* Heap figures in bytes, -1 where the allocator gives none. Allocated: what the program
 * holds in blocks now. Active: what the allocator keeps from the system for it, free
 * blocks inside its arenas included, less what it could give back at once. Mapped:
 * everything the allocator has taken from the system. Allocated <= active <= mapped. */
QV_API int64_t GetActiveHeapMemory(void);
QV_API int64_t GetAllocatedHeapMemory(void);
QV_API int64_t GetMappedHeapMemory(void);

/* Writes "Linux %d.%d" with the kernel's major and minor version (cut to size characters,
 * terminated); the number of characters written, 0 when size is below 1. */
QV_API int32_t GetOSVersionString(wchar_t *buffer, int32_t size);

/* Writes "<system> <distribution> Build <kernel release> <kernel version>" (the
 * distribution's name from /etc/os-release), without trailing blanks, cut to size
 * characters. False (buffer empty) when the system's version cannot be read. */
QV_API bool GetWindowsVersionString(wchar_t *buffer, size_t size);

/* ---------------------------------------------------------------------------------------
 * Crash handling
 *
 * A fatal signal on any thread (segmentation fault, bus error, illegal instruction,
 * arithmetic error, abort) goes to the handler set with SetExceptionHandler, through the
 * filter ___ExceptionHandler: the first crashing thread takes the crash lock for good and
 * runs the handler, every other crashing thread waits until the process has ended. A
 * handler that accepts the crash (returns non-zero) ends the process with exit code 99;
 * one that declines, or no handler, leaves the signal to what handled it before (the
 * default action: the process dies of the signal). Every thread the library starts runs
 * with an alternate signal stack, so a stack overflow is handled too; so does the thread
 * that calls SetExceptionHandler.
 *
 * The handlers and the functions they call run inside a signal handler: they use no heap,
 * no stdio and no lock that the crashing thread may hold. A handler of the host's must
 * keep to the same rules. The settings are meant to be made at start, before threads run.
 * ------------------------------------------------------------------------------------- */

/* Results of an exception filter or handler. */
#define EXCEPTION_EXECUTE_HANDLER 1
#define EXCEPTION_CONTINUE_SEARCH 0

/* Exception codes the fatal signals are given. */
#define EXCEPTION_ACCESS_VIOLATION 0xC0000005u
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED 0xC000008Cu
#define EXCEPTION_BREAKPOINT 0x80000003u
#define EXCEPTION_DATATYPE_MISALIGNMENT 0x80000002u
#define EXCEPTION_FLT_DENORMAL_OPERAND 0xC000008Du
#define EXCEPTION_FLT_DIVIDE_BY_ZERO 0xC000008Eu
#define EXCEPTION_FLT_INEXACT_RESULT 0xC000008Fu
#define EXCEPTION_FLT_INVALID_OPERATION 0xC0000090u
#define EXCEPTION_FLT_OVERFLOW 0xC0000091u
#define EXCEPTION_FLT_STACK_CHECK 0xC0000092u
#define EXCEPTION_FLT_UNDERFLOW 0xC0000093u
#define EXCEPTION_ILLEGAL_INSTRUCTION 0xC000001Du
#define EXCEPTION_IN_PAGE_ERROR 0xC0000006u
#define EXCEPTION_INT_DIVIDE_BY_ZERO 0xC0000094u
#define EXCEPTION_INT_OVERFLOW 0xC0000095u
#define EXCEPTION_INVALID_DISPOSITION 0xC0000026u
#define EXCEPTION_NONCONTINUABLE_EXCEPTION 0xC0000025u
#define EXCEPTION_PRIV_INSTRUCTION 0xC0000096u
#define EXCEPTION_SINGLE_STEP 0x80000004u
#define EXCEPTION_STACK_OVERFLOW 0xC00000FDu
/* abort() (SIGABRT). */
#define EXCEPTION_FATAL_APP_EXIT 0x40000015u

/* Most parameters of an exception record. */
#define EXCEPTION_MAXIMUM_PARAMETERS 15

/* What happened. For access violations and page errors ExceptionInformation[1] is the
 * address that could not be accessed. */
typedef struct EXCEPTION_RECORD
{
   DWORD ExceptionCode;
   DWORD ExceptionFlags;
   struct EXCEPTION_RECORD *ExceptionRecord;
   void *ExceptionAddress; /* the instruction */
   DWORD NumberParameters;
   uintptr_t ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD;

/* The crashed thread's state: instruction, stack and frame pointer (0 where the processor
 * is not known here), the signal, and the platform's machine context (ucontext_t) and
 * signal information (siginfo_t), null when there are none. */
typedef struct CONTEXT
{
   uint64_t Rip;
   uint64_t Rsp;
   uint64_t Rbp;
   int32_t SignalNumber;
   int32_t SignalCode;
   uint32_t ThreadId;
   void *PlatformContext;
   void *PlatformSignalInfo;
} CONTEXT;

typedef struct EXCEPTION_POINTERS
{
   EXCEPTION_RECORD *ExceptionRecord;
   CONTEXT *ContextRecord;
} EXCEPTION_POINTERS;

/* Sets the crash settings: the handler (null: crashes are not handled here), the writer
 * that receives the call stack text (null: standard output), the directory of reports and
 * dumps (default "/tmp"; a null one keeps the current value, as does one of 4096
 * characters or more), the base name of their files (default "qorvel", cut to 63
 * characters; null keeps the current one), the log message code of the crash event (0:
 * none), whether the dump holds all of the process's memory, and whether a short notice
 * is printed on standard output. With a handler, installs the signal handling and gives
 * the calling thread an alternate stack, and reads the symbols of the loaded modules for
 * the call stack (modules loaded later show without names). */
QV_API void SetExceptionHandler(int (*handler)(EXCEPTION_POINTERS *), void (*writer)(const wchar_t *),
                                const wchar_t *dumpDir, const wchar_t *baseProcessName, DWORD logMessageCode,
                                int writeFullDump, int printToScreen);

/* The filter: EXCEPTION_CONTINUE_SEARCH without a handler and for breakpoints and single
 * steps; otherwise takes the crash lock (waiting without limit when another thread holds
 * it) and gives EXCEPTION_EXECUTE_HANDLER when the handler returns non-zero. */
QV_API int ___ExceptionHandler(EXCEPTION_POINTERS *pInfo);

/* Name of an exception code ("Access violation", "Divide by zero"...), "Unknown" for
 * codes without one. Static text. */
QV_API const wchar_t *SEHExceptionName(DWORD code);

/* Console handler: writes "EXCEPTION: %08X (%s) at %p", the call stack and "PROCESS
 * TERMINATED" to standard output; returns 1. */
QV_API int SEHDefaultConsoleHandler(EXCEPTION_POINTERS *pInfo);

/* Service handler: writes the report "<dir>/<base>-<pid>-<time>.info" (exception,
 * versions, processor, call stack, the log's last 100 lines), the gzip-compressed core
 * dump "<dir>/<base>-<pid>-<time>.mdmp.gz" (gdb opens it beside the program once
 * unpacked), the log event (inserts: code, name, address, report name, dump name without
 * ".gz") and, when set, the notice on standard output; returns 1. */
QV_API int SEHServiceExceptionHandler(EXCEPTION_POINTERS *pInfo);

/* Writer for the service handler: appends text to the report being written; nothing
 * when no report is open. */
QV_API void SEHServiceExceptionDataWriter(const wchar_t *text);

/* Writes the call stack of the crashed thread (null: of the calling thread, from its
 * caller) through a QvStackWalker, one line per frame. */
QV_API void SEHShowCallStack(CONTEXT *context);

#ifdef __cplusplus

/* One frame of a stack walk. Texts are valid during the call only; null where not
 * known. */
struct StackWalkerFrame
{
   const void *address;
   const char *moduleName;
   const char *fileName;
   int lineNumber;
   const char *functionName; /* without parameters, demangled where possible */
};

/* Walks a thread's stack and reports through its virtual operations; the lines it makes
 * go to writeLine. Safe in the crash path (no heap, no stdio). */
class QV_EXPORT StackWalker
{
public:
   /* Retrieval options: symbols, lines, module information, file versions, built search
    * path, symbol server. */
   static const int RetrieveSymbol = 0x01;
   static const int RetrieveLine = 0x02;
   static const int RetrieveModuleInfo = 0x04;
   static const int RetrieveFileVersion = 0x08;
   static const int SymBuildPath = 0x10;
   static const int SymUseSymSrv = 0x20;
   static const int OptionsAll = 0x3F;

   explicit StackWalker(int options = OptionsAll);
   virtual ~StackWalker();

   /* Walks the stack of the crash context (null: of the calling thread, from the caller)
    * and reports the symbol setup, each module and each frame. False when the stack
    * could not be walked (reported through reportHelperError). */
   bool showCallstack(const CONTEXT *context = nullptr);

protected:
   /* The symbol search path, options and user name, then the system's version. The base
    * writes them as lines. */
   virtual void reportSymbolSetup(const char *searchPath, uint32_t symbolOptions, const char *userName);
   /* One loaded module. The base writes nothing. */
   virtual void reportModule(const char *imagePath, const char *moduleName, uint64_t baseAddress, uint64_t size);
   /* One frame: the base writes "[module:file:line]: function" or "[module:address]: function". */
   virtual void reportFrame(const StackWalkerFrame *frame);
   /* A failed step of the walk. The base writes it as a line. */
   virtual void reportHelperError(const char *function, uint32_t error, uint64_t address);
   /* A finished line (ends in a line feed). The base writes it to standard error. */
   virtual void writeLine(const char *line);

   int m_options;
};

/* The walker of the crash reports: no setup or error lines; each line goes, after two
 * blanks, to the writer of SetExceptionHandler (as wide text) or to standard output. */
class QV_EXPORT QvStackWalker : public StackWalker
{
public:
   QvStackWalker() : StackWalker(OptionsAll) {}
   ~QvStackWalker() override;

protected:
   void reportSymbolSetup(const char *searchPath, uint32_t symbolOptions, const char *userName) override;
   void reportHelperError(const char *function, uint32_t error, uint64_t address) override;
   void writeLine(const char *line) override;
};

#endif /* __cplusplus */

#endif
