/* Internal named pipes: a server that owns a pipe name, accepts one client at a time and
 * confirms or refuses each by its user, and the client's connect, which returns only
 * once the server has confirmed it. Names are UTF-8 without "/". No OS header appears
 * here; the POSIX side is named_pipe_posix.cpp. */
#ifndef QORVEL_PLATFORM_NAMED_PIPE_H
#define QORVEL_PLATFORM_NAMED_PIPE_H

#include <qv_base.h>

/* The server side of a pipe name (definition in named_pipe_posix.cpp). */
struct QvPipeServer;

namespace qv::platform {

/* Access rule of a server that lets every user connect. */
constexpr uint32_t PIPE_ANY_USER = 0xFFFFFFFFu;

/* Where the pipe of a name lives ("/tmp/qvpipe.<name>"). */
constexpr const char PIPE_PATH_PREFIX[] = "/tmp/qvpipe.";

/* The user id of the account name; false with *error set (0 for an unknown user). */
bool UserIdOf(const char *name, uint32_t *uid, int *error);

/* The account name of the user id (UTF-8), cut to size bytes; false when there is none. */
bool UserNameOf(uint32_t uid, char *out, size_t size);

/* Creates the pipe of the name for clients of the user allowedUid (PIPE_ANY_USER: every
 * user). Null with *error set when the name is unusable (EINVAL: empty or holding "/";
 * ENAMETOOLONG), in use by a live server (EADDRINUSE: its pipe is left alone), or the
 * socket cannot be made. A pipe left by a server that ended is replaced. */
QvPipeServer *PipeServerCreate(const char *name, uint32_t allowedUid, int *error);

/* Removes the pipe and releases the name; null is ignored. No wait may be running. */
void PipeServerDestroy(QvPipeServer *server);

/* What a wait for the next client ended with. */
enum class PipeAcceptResult
{
   CLIENT,   // *client holds a confirmed connection
   REFUSED,  // a client of another user was refused (and disconnected)
   GONE,     // a client went away before it could be confirmed
   STOPPED,  // PipeServerWake was called
   FAILED    // *error holds the reason
};

/* Waits without limit for the next client or a wake-up. */
PipeAcceptResult PipeServerAccept(QvPipeServer *server, HPIPE *client, int *error);

/* Waits up to timeout milliseconds for a wake-up; true when one came. */
bool PipeServerWaitWake(QvPipeServer *server, uint32_t timeout);

/* Wakes a wait of the server (now or the next one) and keeps it awake until
 * PipeServerClearWake. */
void PipeServerWake(QvPipeServer *server);
void PipeServerClearWake(QvPipeServer *server);

/* Connects to the server of the name. While it is busy with another client, waits up to
 * timeout milliseconds (INFINITE: no limit) for it; a server that accepted the
 * connection gets at least confirmWaitMs to confirm it. The connected end, or
 * INVALID_PIPE_HANDLE with *error set: ENOENT or ECONNREFUSED when nothing listens,
 * EACCES when the server refuses this user, ETIMEDOUT when the time ran out. */
HPIPE PipeConnect(const char *name, uint32_t timeout, uint32_t confirmWaitMs, int *error);

/* The user id of the process at the other end; false when it cannot be read. */
bool PipePeerUserId(HPIPE pipe, uint32_t *uid);

/* Ends the connection in both directions; the end stays open for LocalPipeClose. */
void PipeDisconnect(HPIPE pipe);

}  // namespace qv::platform

#endif
