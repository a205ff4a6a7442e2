/* Local pipes, the library's channel between processes on one machine: here one end of a
 * Unix-domain stream socket bound at a file path. A stream, not a record socket, so that
 * a read shorter than what the peer wrote never loses the rest (the message protocol
 * finds its own boundaries). Failures leave errno-style last socket errors for the
 * caller. */
#ifndef QORVEL_PLATFORM_LOCAL_PIPE_H
#define QORVEL_PLATFORM_LOCAL_PIPE_H

#include <qv_base.h>

namespace qv::platform {

/* Connects to the pipe bound at path, waiting up to timeout milliseconds while the
 * server's queue of waiting clients is full; the connected end (closed with
 * LocalPipeClose), or INVALID_PIPE_HANDLE when no server listens there, the path does not
 * fit, access is refused or the time-out passed. */
HPIPE LocalPipeConnect(const char *path, uint32_t timeout);

/* One read of at most size bytes after waiting up to timeout milliseconds (INFINITE: no
 * limit): the bytes read, 0 when the peer closed its end, RECV_TIMEOUT when the time-out
 * passed, -1 on failure (INVALID_PIPE_HANDLE included). */
int LocalPipeRead(HPIPE pipe, void *buffer, size_t size, uint32_t timeout);

/* Writes all size bytes; true when every byte went out (at once for 0). */
bool LocalPipeWrite(HPIPE pipe, const void *data, size_t size);

/* Closes the end; INVALID_PIPE_HANDLE is ignored. */
void LocalPipeClose(HPIPE pipe);

}  // namespace qv::platform

#endif
