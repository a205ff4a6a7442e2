/* Local pipes, the library's channel between processes on one machine: here one end of a
 * connected Unix-domain socket. Named pipes are sequenced-packet sockets, which keep the
 * records writers send; reads still work as on a byte stream: a record longer than the
 * reader's buffer is handed out over several reads, so a short read never loses the rest
 * (the message protocol finds its own boundaries). Stream sockets work too. Failures
 * leave errno-style last socket errors for the caller. */
#ifndef QORVEL_PLATFORM_LOCAL_PIPE_H
#define QORVEL_PLATFORM_LOCAL_PIPE_H

#include <qv_base.h>

namespace qv::platform {

/* Records of up to this many bytes always go out whole; longer writes that the system
 * refuses as one record go out in records of this size. */
constexpr size_t LOCAL_PIPE_RECORD_BYTES = 64 * 1024;

/* One read of at most size bytes after waiting up to timeout milliseconds (INFINITE: no
 * limit): the bytes read, 0 when the peer closed its end, RECV_TIMEOUT when the time-out
 * passed, -1 on failure (INVALID_PIPE_HANDLE included). Bytes left over from a record that did
 * not fit an earlier read come first, without a wait. */
int LocalPipeRead(HPIPE pipe, void *buffer, size_t size, uint32_t timeout);

/* Writes all size bytes (nothing for 0: an empty record would read as the end); true
 * when every byte went out, false when the peer has gone (never raising SIGPIPE). */
bool LocalPipeWrite(HPIPE pipe, const void *data, size_t size);

/* Closes the end and drops what was left over of its records; INVALID_PIPE_HANDLE is
 * ignored. */
void LocalPipeClose(HPIPE pipe);

}  // namespace qv::platform

#endif
