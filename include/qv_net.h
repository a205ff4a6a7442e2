/* libqorvel Networking and I/O: socket helpers and channels, listener, text connections, ping,
 * process executor, named pipes and serial ports. */
#ifndef QORVEL_QV_NET_H
#define QORVEL_QV_NET_H

#include <qv_data.h>

/* ---------------------------------------------------------------------------------------
 * Socket helpers and channels
 *
 * Timed send, receive and connect on TCP sockets, a small multi-socket wait, and the
 * reference-counted byte channel that the message protocol reads and writes through.
 * Sockets are SOCKET handles (POSIX descriptors here). Time-outs are unsigned 32-bit
 * milliseconds on a monotonic clock; INFINITE means no limit. Every function reports
 * through its result and leaves the platform's last socket error (errno here) for the
 * caller to read after a failure; none of them logs. Sends never raise SIGPIPE: a peer
 * that has gone away gives an error result instead.
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

/* Sends all size bytes of data with the send flags given (the caller's MSG_ values).
 * When mutex is not null it is held from before the first byte until the last attempt,
 * so whole buffers from different threads never interleave on one socket; a null mutex
 * serialises nothing. A non-blocking socket whose buffer is full is waited on for up to
 * 60 seconds each time. Returns size when every byte went out; 0 for a size of 0 and
 * when a 60-second wait expired (last error ETIMEDOUT); -1 for an invalid socket, a
 * socket error or a failed wait, and for a size above INT_MAX, which the result could
 * not report (nothing is sent then). Bytes sent before a failure are not reported. */
QV_API int SendEx(SOCKET s, const void *data, size_t size, int flags, Mutex *mutex);

/* One receive of at most size bytes (at most INT_MAX), after waiting for readability
 * unless timeout is INFINITE. Returns the bytes read, 0 when the peer closed the
 * connection, -1 on error or for INVALID_SOCKET, -2 when the wait timed out or failed. */
QV_API int RecvEx(SOCKET s, void *buffer, size_t size, int flags, uint32_t timeout);

/* Reads until exactly size bytes are in buffer (true at once for 0). Each wait for
 * readability gets the full timeout; the time-out does not bound the whole call. False
 * for an invalid socket, an expired or failed wait, an error, and a connection closed
 * before size bytes came (what arrived by then is in buffer). */
QV_API bool RecvAll(SOCKET s, void *buffer, size_t size, uint32_t timeout);

/* Connects s to addr (addrLen bytes), waiting up to timeout milliseconds. The socket is
 * made non-blocking and stays so, whatever the result. Returns 0 when connected and -1
 * otherwise; the last error is then ETIMEDOUT on time-out, the socket's own error (such
 * as ECONNREFUSED) for a refused or failed connection, or that of the failed call. */
QV_API int ConnectEx(SOCKET s, struct sockaddr *addr, int addrLen, uint32_t timeout);

/* A new stream socket of the address's family connected to addr and port with
 * ConnectEx, left non-blocking and not inherited by programs the process starts; the
 * caller closes it. INVALID_SOCKET when the address
 * has no family, the socket cannot be made or the connection fails (the socket made is
 * closed, and the last error is that of the failure). */
QV_EXPORT SOCKET ConnectToHost(const InetAddress &addr, uint16_t port, uint32_t timeout);

/* Waits on up to MAX_SOCKETS sockets at once, for readability or, in write mode, for
 * writability. Used in rounds: reset, add each socket, poll, then isSet for each; poll
 * leaves only the ready sockets in the set, so a poller is not polled again without a
 * reset. Sockets of any descriptor number are accepted. Not synchronised: one thread
 * owns a poller. */
class QV_EXPORT SocketPoller
{
public:
   /* Successful adds allowed between resets, repeated sockets included. */
   static constexpr int MAX_SOCKETS = 16;

private:
   bool m_write;
   int32_t m_count;            // successful adds since construction or reset
   int32_t m_setSize;          // distinct sockets in m_set
   SOCKET m_set[MAX_SOCKETS];  // the distinct sockets; after poll the ready ones

public:
   explicit SocketPoller(bool write = false);

   /* False for INVALID_SOCKET and once MAX_SOCKETS adds were made; otherwise puts the
    * socket into the set (once, however often it is added), counts the add and returns
    * true. */
   bool add(SOCKET s);
   /* One wait over the set: the number of ready sockets, 0 on time-out, -1 on error
    * (also when nothing was added). The set then holds the ready sockets only. */
   int poll(uint32_t timeout);
   /* Whether s is in the set; after poll, whether it is ready. */
   bool isSet(SOCKET s) const;
   /* Empties the set and the count. */
   void reset();
};

/* A byte channel (socket, TLS session, pipe) that the message protocol uses without
 * knowing what lies beneath. Reference-counted: holders call incRefCount and
 * decRefCount, and the last decRefCount deletes the channel. Every implementation keeps
 * the meanings given for SocketCommChannel. */
class QV_EXPORT AbstractCommChannel : public RefCountObject
{
protected:
   virtual ~AbstractCommChannel();

public:
   /* Sends all size bytes, holding mutex (if not null) for the whole send; the SendEx
    * results. */
   virtual int send(const void *data, size_t size, Mutex *mutex) = 0;
   /* One receive after waiting up to timeout; the RecvEx results (-2 time-out). */
   virtual int recv(void *buffer, size_t size, uint32_t timeout) = 0;
   /* Waits for readability (write false) or writability: 1 ready, 0 time-out, -1 error. */
   virtual int poll(uint32_t timeout, bool write) = 0;
   /* Shuts down both directions: 0, or -1 on error. */
   virtual int shutdown() = 0;
   /* Releases the transport now, while the object lives on: later calls fail. */
   virtual void close() = 0;
};

/* The channel over a connected socket. When owner is true, deleting the channel closes
 * the socket if close has not done so. close closes the socket whatever the owner flag;
 * afterwards send and recv return -1, and so do poll and shutdown. close may be called
 * while other threads use the channel: it shuts the socket down first, so that a thread
 * waiting in recv, poll or send returns, and the descriptor itself is closed once no
 * call is using it any more, so a call can never reach another file that reuses the
 * number. Calling close more than once closes the socket once. */
class QV_EXPORT SocketCommChannel : public AbstractCommChannel
{
private:
   SOCKET m_socket;  // INVALID_SOCKET after close
   bool m_owner;
   int32_t m_busy;         // calls using the descriptor at this moment
   SOCKET m_closePending;  // descriptor closed by close, left for the last such call

   /* The descriptor for one call (counted busy), or INVALID_SOCKET after close. */
   SOCKET acquire();
   void release();
   /* call(descriptor) while it is counted busy; -1 after close. */
   template <typename Call> int withSocket(Call call);

protected:
   virtual ~SocketCommChannel();

public:
   /* Reference count 1. The channel does not duplicate s: an owning channel takes it
    * over, a non-owning one expects the caller to keep it open while the channel lives
    * (or until close). */
   SocketCommChannel(SOCKET s, bool owner);

   virtual int send(const void *data, size_t size, Mutex *mutex) override;
   virtual int recv(void *buffer, size_t size, uint32_t timeout) override;
   virtual int poll(uint32_t timeout, bool write) override;
   virtual int shutdown() override;
   virtual void close() override;
};

#endif /* __cplusplus */

#endif
