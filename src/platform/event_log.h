/* Internal system-log sink of the log writer: lines go as datagrams in the classic syslog
 * form "<PRI>Mmm dd hh:mm:ss name[pid]: text" to a local socket (default /dev/log), so no
 * system service is needed to receive them. No OS header appears here; the POSIX side is
 * event_log_posix.cpp. */
#ifndef QORVEL_PLATFORM_EVENT_LOG_H
#define QORVEL_PLATFORM_EVENT_LOG_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Socket path used until EventLogSetPath names another. */
constexpr const char DEFAULT_EVENT_LOG_PATH[] = "/dev/log";

/* Sets the socket path (null: the default); the next line connects to it. */
void EventLogSetPath(const char *path);

/* Starts sending under the source name (UTF-8, a copy is kept); false for a null name or
 * when out of memory. */
bool EventLogOpen(const char *name);

/* Sends one line of the given event type (error 1, warning 2, information 4; anything
 * else, debug included, as information) stamped with the local time of timeSeconds. text
 * is UTF-8 without a line end. A line that cannot be delivered is dropped. Thread-safe. */
void EventLogReport(uint16_t type, int64_t timeSeconds, const char *text);

/* The same for a line about the log itself (say, that its file cannot be written), which
 * must reach the system log in every mode: while no source is open it goes under the
 * program's own name. */
void EventLogReportAlways(uint16_t type, int64_t timeSeconds, const char *text);

/* EventLogReport for the crash path: no heap, no stdio, the local time from the crash
 * path's clock, and the sink's lock only when it can be had at once; the line is dropped
 * otherwise. */
void EventLogReportCrash(uint16_t type, int64_t timeSeconds, const char *text);

/* Stops sending and closes the socket. */
void EventLogClose();

}  // namespace platform
}  // namespace qv

#endif
