/* POSIX side of the system-log sink: an AF_UNIX datagram socket connected to the log
 * socket, reconnected when the receiver went away. */
#include "platform/event_log.h"
#include "platform/crash_dump.h"
#include "platform/safe_text.h"
#include "platform/sync.h"
#include "platform/log_support.h"

#include <qv_log.h>

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace qv {
namespace platform {

namespace {

/* Facility "daemon" of the syslog priority, already shifted into place. */
constexpr int FACILITY_DAEMON = 3 << 3;

/* Syslog severities. */
constexpr int SEVERITY_ERROR = 3;
constexpr int SEVERITY_WARNING = 4;
constexpr int SEVERITY_INFO = 6;

/* Room for "<PRI>Mmm dd hh:mm:ss " and "[pid]: " around the name and the text. */
constexpr size_t LINE_OVERHEAD = 64;

/* Lines up to this size are built on the stack. */
constexpr size_t STACK_LINE_BYTES = 2048;

/* Month names of the classic syslog timestamp, independent of the locale. */
const char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

/* Guards the socket, the path and the name. */
QvLock g_lock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};
int g_socket = -1;
char *g_path = nullptr;  // null: DEFAULT_EVENT_LOG_PATH
char *g_name = nullptr;  // null: not open

void CloseSocket()
{
   if (g_socket != -1)
      close(g_socket);
   g_socket = -1;
}

bool Connect()
{
   const char *path = (g_path != nullptr) ? g_path : DEFAULT_EVENT_LOG_PATH;
   struct sockaddr_un address;
   memset(&address, 0, sizeof(address));
   address.sun_family = AF_UNIX;
   size_t length = strlen(path);
   if (length >= sizeof(address.sun_path))
      return false;
   memcpy(address.sun_path, path, length + 1);
   int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
   if (s == -1)
      return false;
   if (connect(s, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0)
   {
      close(s);
      return false;
   }
   g_socket = s;
   return true;
}

int Priority(uint16_t type)
{
   switch (type)
   {
      case EVENTLOG_ERROR_TYPE: return FACILITY_DAEMON | SEVERITY_ERROR;
      case EVENTLOG_WARNING_TYPE: return FACILITY_DAEMON | SEVERITY_WARNING;
      default: return FACILITY_DAEMON | SEVERITY_INFO;
   }
}

/* Sends the line, connecting first when needed and once more when the receiver went away
 * since the last line. */
void Send(const char *line, size_t length)
{
   for (int attempt = 0; attempt < 2; attempt++)
   {
      if (g_socket == -1 && !Connect())
         return;
      ssize_t rc;
      do
         rc = send(g_socket, line, length, MSG_NOSIGNAL);
      while (rc == -1 && errno == EINTR);
      if (rc != -1)
         return;
      CloseSocket();
   }
}

}  // namespace

void EventLogSetPath(const char *path)
{
   char *copy = (path != nullptr) ? strdup(path) : nullptr;
   LockAcquire(&g_lock);
   free(g_path);
   g_path = copy;
   CloseSocket();
   LockRelease(&g_lock);
}

bool EventLogOpen(const char *name)
{
   char *copy = (name != nullptr) ? strdup(name) : nullptr;
   if (copy == nullptr)
      return false;
   LockAcquire(&g_lock);
   free(g_name);
   g_name = copy;
   LockRelease(&g_lock);
   return true;
}

namespace {

/* Builds and sends the line under name. Lock held. */
void SendAs(const char *name, uint16_t type, const struct tm &local, const char *text)
{
   size_t size = strlen(name) + strlen(text) + LINE_OVERHEAD;
   char stackLine[STACK_LINE_BYTES];
   char *line = (size <= sizeof(stackLine)) ? stackLine : static_cast<char *>(malloc(size));
   if (line == nullptr)
      return;
   int length =
       snprintf(line, size, "<%d>%s %2d %02d:%02d:%02d %s[%d]: %s", Priority(type), MONTHS[local.tm_mon % 12],
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, name, static_cast<int>(getpid()), text);
   if (length > 0)
      Send(line, static_cast<size_t>(length));
   if (line != stackLine)
      free(line);
}

}  // namespace

void EventLogReport(uint16_t type, int64_t timeSeconds, const char *text)
{
   struct tm local;
   LocalTimeOf(timeSeconds, &local);
   LockAcquire(&g_lock);
   if (g_name != nullptr)
      SendAs(g_name, type, local, text);
   LockRelease(&g_lock);
}

void EventLogReportAlways(uint16_t type, int64_t timeSeconds, const char *text)
{
   struct tm local;
   LocalTimeOf(timeSeconds, &local);
   LockAcquire(&g_lock);
   SendAs((g_name != nullptr) ? g_name : program_invocation_short_name, type, local, text);
   LockRelease(&g_lock);
}

void EventLogReportCrash(uint16_t type, int64_t timeSeconds, const char *text)
{
   if (!LockTryAcquire(&g_lock))
      return;
   if (g_name != nullptr)
   {
      CrashLocalTime local;
      CrashLocalTimeOf(timeSeconds, &local);
      char bytes[STACK_LINE_BYTES];
      SafeText line(bytes, sizeof(bytes));
      line.append('<').appendSigned(Priority(type)).append('>').append(MONTHS[(local.month - 1) % 12]).append(' ');
      if (local.day < 10)
         line.append(' ');
      line.appendSigned(local.day).append(' ');
      line.appendUnsigned(static_cast<uint64_t>(local.hour), 10, 2).append(':');
      line.appendUnsigned(static_cast<uint64_t>(local.minute), 10, 2).append(':');
      line.appendUnsigned(static_cast<uint64_t>(local.second), 10, 2).append(' ');
      line.append(g_name).append('[').appendSigned(getpid()).append("]: ").append(text);
      Send(line.text(), line.length());
   }
   LockRelease(&g_lock);
}

void EventLogClose()
{
   LockAcquire(&g_lock);
   free(g_name);
   g_name = nullptr;
   CloseSocket();
   LockRelease(&g_lock);
}

}  // namespace platform
}  // namespace qv
