/* The platform's socket calls behind a small interface, so that the socket helpers and
 * channels need no socket header: send and receive, waits on several sockets, connect
 * steps, shutdown and close, and the last socket error. Failures leave the last socket
 * error set for the caller. */
#ifndef QORVEL_PLATFORM_SOCKET_H
#define QORVEL_PLATFORM_SOCKET_H

#include <qv_base.h>

struct sockaddr;

namespace qv::platform {

/* Kinds of last socket error that the portable code acts on. */
enum class SocketErrorKind
{
   WOULD_BLOCK,  // a non-blocking call found nothing to do now
   IN_PROGRESS,  // a non-blocking connect goes on in the background
   TIMED_OUT,    // a wait ran out of time
   BAD_SOCKET,   // the socket is not valid (INVALID_SOCKET or closed)
   INVALID_ARG,  // a value the call cannot take (a size, an address)
   INTERRUPTED   // a signal interrupted the call
};

/* One send of size bytes with flags; never raises SIGPIPE and is repeated when a signal
 * interrupts it. The bytes sent (possibly fewer than size), or -1. */
ptrdiff_t SocketSend(SOCKET s, const void *data, size_t size, int flags);

/* Result of a timed receive whose wait ran out: RecvEx, a channel's recv, LocalPipeRead
 * and a message receiver's readBytes all give it. */
constexpr int RECV_TIMEOUT = -2;

/* One receive of at most size bytes with flags, repeated when a signal interrupts it.
 * The bytes read, 0 when the peer closed the connection, or -1. */
ptrdiff_t SocketRecv(SOCKET s, void *buffer, size_t size, int flags);

/* One receive that never waits, whatever the socket's mode: as SocketRecv, and -1
 * with the last error WOULD_BLOCK when nothing is there. */
ptrdiff_t SocketRecvNow(SOCKET s, void *buffer, size_t size);

/* Sockets that one wait takes at most. */
constexpr int QV_SOCKET_WAIT_MAX = 64;

/* Waits until at least one of the count sockets is readable (write false) or writable,
 * or timeout milliseconds passed (INFINITE: no limit). A socket with an error or a hung
 * up connection counts as ready, so that the next call on it reports the state. Sets
 * ready[i] for each socket. Returns the number of ready sockets, 0 on time-out, or -1
 * on failure (a descriptor that is not open fails the wait, and so does a count
 * outside 1 to QV_SOCKET_WAIT_MAX). */
int SocketWait(const SOCKET *sockets, bool *ready, int count, bool write, uint32_t timeout);

/* Puts the socket into non-blocking mode; false on failure. */
bool SocketSetNonBlocking(SOCKET s);

/* Puts the socket into non-blocking mode (nonBlocking true) or blocking mode and stores
 * whether it was non-blocking before in *wasNonBlocking; false on failure. */
bool SocketSetNonBlockingMode(SOCKET s, bool nonBlocking, bool *wasNonBlocking);

/* One connect call: 0 when connected at once, -1 otherwise (see SocketLastErrorIs
 * for a connect still in progress). */
int SocketConnect(SOCKET s, const struct sockaddr *addr, int addrLen);

/* The socket's pending error (0: none) into *error; false when it cannot be read. */
bool SocketPendingError(SOCKET s, int *error);

/* A new stream socket of the family, not inherited by started programs, or
 * INVALID_SOCKET. */
SOCKET SocketCreateStream(int family);

/* Bytes of the socket address structure of the family (sockaddr_in for the platform's
 * AF_INET, sockaddr_in6 otherwise). */
int SockaddrLength(int family);

/* Shuts down both directions: 0, or -1. */
int SocketShutdown(SOCKET s);

/* Closes the socket; the last socket error is kept as it was before the call. */
void SocketClose(SOCKET s);

/* A new listening-to-be stream socket of the family, non-blocking (so that accepting a
 * connection that went away meanwhile never blocks) and not inherited by started
 * programs, or INVALID_SOCKET. */
SOCKET SocketCreateListener(int family);

/* Lets the socket bind to an address whose earlier connections linger; the result is not
 * checked, as binding tells what counts. */
void SocketSetReuseAddress(SOCKET s);

/* Keeps an IPv6 socket to IPv6 connections only, so that an IPv4 socket can bind the
 * same port; the result is not checked. */
void SocketSetIPv6Only(SOCKET s);

/* bind of the socket to the address: 0, or -1. */
int SocketBind(SOCKET s, const struct sockaddr *addr, int addrLen);

/* listen with the largest backlog the system allows: 0, or -1. */
int SocketListen(SOCKET s);

/* Accepts one connection of a listening socket: the new socket (blocking, not inherited
 * by started programs) with the peer's address in address (*length bytes of room, set to
 * the bytes filled), or INVALID_SOCKET. A listener without a waiting connection fails
 * with a WOULD_BLOCK error. */
SOCKET SocketAccept(SOCKET s, void *address, int *length);

bool SocketLastErrorIs(SocketErrorKind kind);
/* The platform code of the last socket error. */
int SocketLastErrorCode();
void SocketSetLastError(SocketErrorKind kind);
/* Sets the last socket error to a platform error code (one read from a socket, or one
 * saved with SocketLastErrorCode). */
void SocketSetLastErrorCode(int code);

}  // namespace qv::platform

#endif
