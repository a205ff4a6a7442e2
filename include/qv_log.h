/* libqorvel The process log and the debug levels and tags. */
#ifndef QORVEL_QV_LOG_H
#define QORVEL_QV_LOG_H

#include <qv_base.h>

/* ---------------------------------------------------------------------------------------
 * Log writer
 *
 * One log per process, opened once by the host program and written from any thread. It
 * writes to a text file (UTF-8), with rotation by size or by day and an optional
 * background writer thread, or to the system log; every line may also go to a console
 * writer. A file line is "yyyy.mm.dd hh:mm:ss.mmm", a space, the severity mark ("*E* ",
 * "*W* ", "*I* ", "*D* ", or "*?* " for other values) and the message text, which is one
 * line ending in a line feed.
 *
 * Messages are identified by codes whose texts the host program registers with
 * qvlog_register_message_table. A text holds the numbered inserts %1 to %16 (filled in
 * from the arguments of qvlog_write, in order) and these escapes: %% a percent sign, %n a
 * line break, %t a tab, %b a space, %r a carriage return, %. a point, %! an exclamation
 * mark, %0 ends the text. An insert may carry a printf-style part ("%1!s!"), which is
 * skipped: inserts are always text. The formatted text is cut after its first carriage
 * return, which becomes a line feed (a text written like "Started %1\r\n" gives one
 * line); a text without one gets a line feed unless it ends in one. A code without a
 * text, or a text that names an insert the call did not supply, is written as
 * "MSG 0x%08X - cannot format message".
 *
 * Opening, closing, rotation policy, message table and hooks are set by the host program
 * at start and end, not while other threads write; writing and qvlog_rotate may be called
 * from any thread at any time.
 * ------------------------------------------------------------------------------------- */

/* Open flags (argument of qvlog_open). */
#define QVLOG_EVENT_LOG 0x00000001u    /* write to the system log instead of a file */
#define QVLOG_CONSOLE 0x00000002u      /* pass every line to the console writer as well */
#define QVLOG_ASYNC 0x00000004u        /* file mode: a background thread writes the file */
#define QVLOG_TRACE_WRITES 0x00000008u /* background writer: a header line before each block */
#define QVLOG_OPENED 0x80000000u       /* set by the log while it is open; ignored when passed */

/* Rotation policies. Files rotated by size are named "<log file>.0" (newest) upwards;
 * files rotated by day "<log file>.<day suffix>", the suffix being the daily suffix format
 * applied to the day that ended. */
#define QVLOG_ROTATE_NEVER 0
#define QVLOG_ROTATE_DAILY 1
#define QVLOG_ROTATE_BY_SIZE 2

/* Largest history size of the rotation by size. */
#define QVLOG_MAX_HISTORY_SIZE 128

/* Severities: the event-log type codes plus the library's own debug severity. */
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define QVLOG_DEBUG_TYPE 0x0080

/* Receives every line when QVLOG_CONSOLE is set: a wide format of the library's rules and
 * its arguments (in file mode "%s %s%s" with timestamp, severity mark and text, which ends
 * in a line feed; in event-log mode "%s %s" with timestamp and text; from the background
 * writer "%s" with a whole block of lines). The default writes to standard output. */
typedef void (*LogConsoleWriter)(const wchar_t *format, ...);

/* Receives every debug message that passes its level, whether or not the log is open:
 * the tag as the caller gave it (null for untagged messages) and the formatted text. */
typedef void (*LogDebugWriter)(const wchar_t *tag, const wchar_t *message);

/* One message text: code and wide text with numbered inserts. */
typedef struct QVLOG_MESSAGE_TEXT
{
   uint32_t code;
   const wchar_t *text;
} QVLOG_MESSAGE_TEXT;

/* Opens the log. logName is the file name (cut to 259 characters; the file is opened for
 * appending) or, with QVLOG_EVENT_LOG, the name under which lines go to the system log.
 * moduleName, messageCount and messages are accepted and not read (texts come from the
 * registered message table). debugMsg and debugMsgTagged are the codes of untagged and
 * tagged debug messages (their texts get the message, or the tag padded to 19 characters
 * and the message, as %1 and %2); genericMsg is the code of qvlog_write_generic (its text
 * gets the message as %1). A log that is open is closed first. Returns whether the log is
 * open; when the file cannot be opened, writes are ignored until a successful open. */
QV_API bool qvlog_open(const wchar_t *logName, uint32_t flags, const wchar_t *moduleName, uint32_t messageCount,
                       const wchar_t **messages, uint32_t debugMsg, uint32_t debugMsgTagged, uint32_t genericMsg);

/* Closes the log. In background mode every line written before the call is in the file
 * when it returns; lines that other threads write while it runs may be dropped. */
QV_API void qvlog_close(void);

/* Writes message code msg (0: nothing) with a severity. format holds one type letter per
 * argument that follows (at most 16 are read; null or empty: none), each giving one
 * insert: s, u wide text (null: "(null)"); m 8-bit text of the default code page; d signed
 * 32-bit "%d"; x unsigned 32-bit "0x%08X"; a IPv4 address (unsigned 32-bit, host byte
 * order); A pointer to 16 IPv6 bytes; H the same in brackets; I pointer to an InetAddress;
 * e system error code, its text (or "MSG 0x%08X - Unable to find message text"); any other
 * letter takes one argument and gives "BAD FORMAT (0x%08X)" with its low 32 bits. Null
 * pointers give "(null)". */
QV_API void qvlog_write(uint32_t msg, uint16_t severity, const char *format, ...);

/* Formats a wide printf format (cut at 8191 characters; a format the formatter refuses is
 * written as it stands) and writes it as the generic message code with one insert. */
QV_API void qvlog_write_generic(uint16_t severity, const wchar_t *format, ...);

/* Closes the file, renames it by the rotation policy (by size: deletes the files numbered
 * from 128 down to the history size, moves the others up by one and renames the log file
 * to number 0; by day: renames it with the suffix of the day that ended, adding ".1",
 * ".2"... when that name exists; never: renames nothing) and opens it anew, empty, with a
 * "Log file truncated." header. Returns whether the log is open afterwards; false in
 * event-log mode and while no log is open. Failed deletes and renames are ignored. */
QV_API bool qvlog_rotate(void);

/* Sets the rotation policy. By size: a maximum size from 1 to 1023 becomes 1024 (0 means
 * no limit) and the call returns false; a history size above 128 becomes 128 and a
 * negative one is not taken, both returning false. By day: a non-empty suffix format
 * (strftime rules, at most 63 characters kept; default "%Y%m%d") is taken, and the day
 * starts anew. On success writes "Log rotation policy set to ..." as a debug message and
 * returns true. */
QV_API bool qvlog_set_rotation_policy(int32_t policy, uint64_t maxSize, int32_t historySize,
                                      const wchar_t *dailySuffix);

/* Sets the console writer; null restores the default (standard output, UTF-8). */
QV_API void qvlog_set_console_writer(LogConsoleWriter writer);

/* Sets the debug writer; null removes it. */
QV_API void qvlog_set_debug_writer(LogDebugWriter writer);

/* Registers the message texts: the entries are copied (texts included), so the table need
 * not outlive the call; an entry with a null text is skipped, and of entries with the same
 * code the first counts. Replaces the previous table; a count of 0 removes it. Returns
 * false (nothing changed) for a null table with a count above 0 or when out of memory. */
QV_API bool qvlog_register_message_table(const QVLOG_MESSAGE_TEXT *table, size_t count);

/* Sets the datagram socket of the system log (UTF-8 path; null: "/dev/log"). Lines are
 * sent as "<PRI>Mmm dd hh:mm:ss name[pid]: text" with facility daemon; they are dropped
 * while nothing listens there. */
QV_API void qvlog_set_syslog_path(const char *path);

/* ---------------------------------------------------------------------------------------
 * Debug levels and tags
 *
 * A debug message has a level from 0 (always written) to 9 (most verbose) and is written
 * when the level in force for it is at least its own. The default level (0 at load) is in
 * force for untagged messages and for every tag that no setting matches. Tags are
 * dot-separated components ("threads.pool"), matched without regard to case. A level
 * set for a tag holds for exactly that tag; a level set for the tag followed by ".*"
 * ("threads.*") holds for the tag and everything below it that no deeper setting
 * matches; the deepest matching setting wins. In a tag being set or removed, "*" alone
 * stands for the default level; "*" elsewhere is an ordinary component. An object tag is
 * a tag, a point and a decimal object number ("poll.42"), at most 255 characters.
 *
 * Level queries and debug calls may run on any number of threads and never block. A
 * debug call whose level is above every level in force anywhere returns after one
 * atomic read; an untagged one is decided by that read alone; a tagged one otherwise
 * walks the tag tree with one hash lookup per component. A call that does not pass
 * neither allocates nor formats. Changes are serialised among themselves and may wait a
 * few milliseconds for readers of the previous state; they may be made from any thread,
 * the debug writer hook included. A passed message is formatted by the library's wide
 * rules (cut at 8191 characters) and written as described under qvlog_open: untagged as
 * the debug message code, tagged as the tagged code with the tag padded or cut to 19
 * characters; then it goes to the debug writer with the tag unpadded. A tagged call
 * with a null tag is tested against the default level and written as an untagged
 * message.
 * ------------------------------------------------------------------------------------- */

/* Highest debug level. */
#define QVLOG_DEBUG_LEVEL_MAX 9

/* Characters of DebugTagInfo::tag, terminator included. */
#define QVLOG_DEBUG_TAG_INFO_CHARS 64

/* One setting listed by qvlog_get_all_debug_tags: the tag (a wildcard setting as the tag
 * followed by ".*"), cut to 63 characters, and its level. */
typedef struct DebugTagInfo
{
   wchar_t tag[QVLOG_DEBUG_TAG_INFO_CHARS];
   int32_t level;
} DebugTagInfo;

/* Sets the default level; a level outside 0 to 9 is ignored. */
QV_API void qvlog_set_debug_level(int32_t level);

/* Sets the level of tag (0 to 9) or removes its setting (negative level), leaving no
 * empty nodes behind; a level above 9 is ignored, as is removing a tag never set. A null
 * tag or "*" sets the default level as qvlog_set_debug_level does. */
QV_API void qvlog_set_debug_level_tag(const wchar_t *tag, int32_t level);

/* Removes every tag setting and sets the default level to 0. */
QV_API void qvlog_reset_debug_level_tags(void);

/* Sets tag as qvlog_set_debug_level_tag does, for seconds only: then the setting in force
 * before comes back by itself (the tag's previous level, or no setting when the tag had
 * none; for a null tag or "*" the previous default level). A newer change of the same tag
 * (same text, without regard to case) made with this function replaces the expiry of the
 * older one and still restores the setting from before the first; a change of the tag
 * by qvlog_set_debug_level_tag (or of the default level by qvlog_set_debug_level) makes
 * the current setting permanent and cancels the expiry; qvlog_reset_debug_level_tags
 * cancels every expiry. A level the plain setter ignores, or seconds of 0, changes
 * nothing. Expiries are checked by the debug calls and the level queries themselves, on
 * the log's clock (qvlog_set_clock; a monotonic clock when none is set): a process that
 * writes no debug output and asks no level has nothing to restore. */
QV_API void qvlog_set_debug_level_tag_for(const wchar_t *tag, int32_t level, uint32_t seconds);

/* Flood control of the debug output: a tag (each object tag on its own, untagged lines as
 * one more) that writes more than linesPerSecond lines within one second has the further
 * lines of that second dropped. Once that second has ended, the next debug line written
 * (of any tag) is preceded by one summary line with the tag: "Debug tag TAG: N lines
 * suppressed" ("Untagged debug output: N lines suppressed" for untagged lines). A second
 * begins with the first line of the tag after its last second ended. Changing the limit
 * writes the pending summaries at once; 0 (the default) removes the limit. Counted in the
 * "debug_output" figures (qv_metrics.h). */
QV_API void qvlog_set_debug_rate_limit(uint32_t linesPerSecond);

/* The default level. */
QV_API int32_t qvlog_get_debug_level(void);

/* The level in force for tag; the default level for a null tag and for "*". */
QV_API int32_t qvlog_get_debug_level_tag(const wchar_t *tag);

/* The level in force for the object tag "<tag>.<objectId>"; the default level for a null
 * tag. */
QV_API int32_t qvlog_get_debug_level_tag_object(const wchar_t *tag, uint32_t objectId);

#ifdef __cplusplus
template <class T> class ObjectArray;

/* Every tag setting, depth first with the children of a tag in the order their first
 * settings were made (a component set again after its removal comes last); the default
 * level is not listed. A new owning array (capacity and growth 64) that the caller
 * deletes; null when out of memory. */
QV_API ObjectArray<DebugTagInfo> *qvlog_get_all_debug_tags(void);
#endif

/* Untagged debug message: written when level is at most the default level. */
QV_API void qvlog_debug(int32_t level, const wchar_t *format, ...);
QV_API void qvlog_debug2(int32_t level, const wchar_t *format, va_list args);

/* Tagged debug message: written when level is at most the level in force for tag. */
QV_API void qvlog_debug_tag(const wchar_t *tag, int32_t level, const wchar_t *format, ...);
QV_API void qvlog_debug_tag2(const wchar_t *tag, int32_t level, const wchar_t *format, va_list args);

/* Debug message tagged with the object tag "<tag>.<objectId>", which it is tested
 * against and written with. */
QV_API void qvlog_debug_tag_object(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format, ...);
QV_API void qvlog_debug_tag_object2(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format,
                                    va_list args);

/* ---------------------------------------------------------------------------------------
 * Testing
 *
 * Hooks for tests, benchmarks and replays; host programs have no need of them.
 * ------------------------------------------------------------------------------------- */

/* Current time in milliseconds since 1970-01-01 00:00:00 UTC. */
typedef int64_t (*LogClock)(void);

/* Replaces the clock the log reads for timestamps and rotation decisions (null: the
 * system's wall clock), and for the expiry of debug changes and the seconds of the debug
 * flood control (null: a monotonic clock). For tests and replays; set it while no thread
 * writes. */
QV_API void qvlog_set_clock(LogClock clock);

#endif
