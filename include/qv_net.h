/* libqorvel Networking and I/O: socket helpers and channels, listener, text connections, ping,
 * process executor, named pipes and serial ports. */
#ifndef QORVEL_QV_NET_H
#define QORVEL_QV_NET_H

#include <qv_data.h>
#include <qv_threads.h>

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

/* ---------------------------------------------------------------------------------------
 * Text connections
 *
 * SocketConnection is a small client for line- and prompt-oriented TCP dialogues (a
 * device's command port): connect by name or address with a time-out, write text and
 * lines, read with a time-out, and wait until a given text arrives. TelnetConnection
 * speaks Telnet on top of it: it announces that it will not echo, refuses the server's
 * option negotiation (answering option 249 with consent), strips Telnet commands from the
 * data it returns, and reads whole lines. A connection belongs to one thread at a time;
 * it is deleted with delete, which closes its socket. Time-outs are milliseconds;
 * INFINITE means no limit.
 * ------------------------------------------------------------------------------------- */

class QV_EXPORT SocketConnection
{
public:
   /* Bytes of the text buffer of waitForText, its zero terminator included. */
   static constexpr int TEXT_BUFFER_SIZE = 4096;

protected:
   SOCKET m_socket;                // INVALID_SOCKET when not connected
   char m_data[TEXT_BUFFER_SIZE];  // received text kept by waitForText, zero-terminated
   int32_t m_dataLength;           // bytes kept in m_data

   /* Not connected; for the factories and derived classes. */
   SocketConnection();

public:
   /* Closes the socket when it is connected. */
   virtual ~SocketConnection();

   /* One receive of at most size bytes after waiting up to timeout for data (0: only what
    * is there now; INFINITE: until data or the peer's close): the bytes read, 0 when the peer closed the
    * connection, -1 on error (also when not connected or for a size below 1), -2 when
    * nothing arrived in time. Text kept by waitForText is not returned here. */
   virtual int read(char *buffer, int size, uint32_t timeout = INFINITE);

   SocketConnection(const SocketConnection &) = delete;
   SocketConnection &operator=(const SocketConnection &) = delete;

   /* A new connection to host (a name or an address literal) and port, made by
    * connectTCP; null when it fails. The caller deletes the connection. */
   static SocketConnection *createTCPConnection(const wchar_t *host, uint16_t port, uint32_t timeout);

   /* Resolves host and connects to its first address, waiting up to timeout (30000 ms
    * when 0). Names that resolve to anything but a valid unicast address (loopback,
    * link-local, multicast, broadcast, unspecified) are refused. False on failure. */
   bool connectTCP(const wchar_t *host, uint16_t port, uint32_t timeout);
   /* Connects to addr and port (any address) waiting up to timeout (30000 ms when 0).
    * Either form first disconnects a connection the object still holds. */
   bool connectTCP(const InetAddress &addr, uint16_t port, uint32_t timeout);

   /* Whether data (or the peer's close) can be read within timeout; false when not
    * connected. */
   bool canRead(uint32_t timeout);
   /* Sends size bytes; the SendEx results (size, 0, -1). */
   int write(const char *data, int size);
   /* Sends line followed by CR LF; true when both went out. An empty line sends CR LF
    * alone. The line end is not sent when the line failed. */
   bool writeLine(const char *line);
   /* Shuts the connection down and closes it; the kept text is dropped. */
   void disconnect();

   /* Reads until text has arrived and drops everything up to and including it; what
    * follows stays for the next call (read does not see it). Each wait for more data gets
    * the whole timeout (an idle time-out: a peer that keeps sending keeps the call
    * going). False when a wait timed out, the peer closed the connection, a read failed,
    * or text is null or longer than TEXT_BUFFER_SIZE - 1 bytes. An empty text is found at
    * once. Zero bytes in the data are searched like any other byte. */
   bool waitForText(const char *text, uint32_t timeout);
};

class QV_EXPORT TelnetConnection : public SocketConnection
{
protected:
   TelnetConnection();

   /* As connectTCP, then sends IAC WONT ECHO (255 252 1). */
   bool connect(const wchar_t *host, uint16_t port, uint32_t timeout);
   bool connect(const InetAddress &addr, uint16_t port, uint32_t timeout);

public:
   /* A new connection made by connect; null when it fails. The caller deletes it. */
   static TelnetConnection *createConnection(const wchar_t *host, uint16_t port, uint32_t timeout);
   static TelnetConnection *createConnection(const InetAddress &addr, uint16_t port, uint32_t timeout);

   /* As SocketConnection::read, with the Telnet commands of each received chunk removed:
    * zero bytes and commands are dropped, IAC IAC gives one data byte 255, and option
    * negotiation (WILL, WONT, DO, DONT and an option) is answered at once with a refusal
    * (WONT to DO, DONT to the rest), except option 249, which is answered WILL to DO and
    * DO to the rest. The last byte of a chunk is never taken as the start of a command,
    * and a command split across chunks is passed on as data. A chunk that held nothing
    * but commands is followed by another read. */
   virtual int read(char *buffer, int size, uint32_t timeout = INFINITE) override;

   /* Reads one line byte by byte, each read waiting up to timeout: line ends before the
    * first other byte are skipped, the next CR or LF ends the line (not stored), and so
    * does a read that fails or times out. Stores at most size - 1 bytes and a zero
    * terminator; returns the line's length (0 when nothing but line ends came). */
   int readLine(char *buffer, int size, uint32_t timeout = INFINITE);
};

/* ---------------------------------------------------------------------------------------
 * ICMP ping
 *
 * IcmpPing sends ICMP (IPv4) or ICMPv6 echo requests to one address and tells whether an
 * answer came back and how long it took. Each call uses an ICMP socket of its own: the
 * unprivileged datagram kind where the system allows it (on Linux, a group within
 * net.ipv4.ping_group_range), a raw socket otherwise (which needs privileges). A few
 * idle datagram sockets are kept for later calls (a forked child does not inherit them;
 * a process that moves itself into another network namespace should fork instead, as
 * kept sockets stay in the namespace they were made in). Calls from several threads run
 * independently.
 * ------------------------------------------------------------------------------------- */

/* Result codes of IcmpPing (3 is not used). */
constexpr uint32_t PING_OK = 0;              // an echo reply arrived
constexpr uint32_t PING_UNREACHABLE = 1;     // no route, or an unreachable or other error answer
constexpr uint32_t PING_TIMEOUT = 2;         // no reply within the time-out
constexpr uint32_t PING_INTERNAL_ERROR = 4;  // the request could not be made, or was too big

/* Largest packetSize of IcmpPing. */
constexpr uint32_t PING_MAX_PACKET_SIZE = 8192;

/* Sends up to retries echo requests (at least one) to addr, one after another, each
 * waiting up to timeout milliseconds for its answer, with packetSize payload bytes (the
 * text "Qorvel ICMP probe [01234567890]" and zeros after it), time-to-live 127, and the
 * don't-fragment flag when dontFragment is true. Returns PING_OK at the first reply, with
 * the round-trip time in milliseconds in *rtt when rtt is not null (untouched
 * otherwise); else the result of the last attempt: PING_TIMEOUT without an answer,
 * PING_UNREACHABLE for no route or an error answer (unreachable, prohibited, time
 * exceeded), PING_INTERNAL_ERROR when no ICMP socket could be opened, the address is not
 * IPv4 or IPv6, packetSize exceeds PING_MAX_PACKET_SIZE, or the request was too big for
 * the path with don't-fragment set. */
QV_EXPORT uint32_t IcmpPing(const InetAddress &addr, int retries, uint32_t timeout, uint32_t *rtt, uint32_t packetSize,
                            bool dontFragment);

/* ---------------------------------------------------------------------------------------
 * Serial port
 *
 * Serial drives one serial port (a terminal device here): open by name with fixed line
 * settings, change speed and framing, read with a millisecond time-out, read until one of
 * several marker texts arrives, write in paced blocks, and reopen the port after a failed
 * write. Not synchronised: an object belongs to one thread. Not copied.
 * ------------------------------------------------------------------------------------- */

/* Parity codes of Serial::set. */
#ifndef NOPARITY
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4
#endif
/* Stop-bit codes of Serial::set. */
#ifndef ONESTOPBIT
#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2
#endif

class QV_EXPORT Serial
{
private:
   wchar_t *m_portName;       // name given to the last open (malloc'd), or null
   int32_t m_timeout;         // milliseconds of the read and write time-outs
   int32_t m_speed;           // baud rate
   int32_t m_dataBits;        // bits per character, 5 to 8
   int32_t m_stopBits;        // ONESTOPBIT, ONE5STOPBITS or TWOSTOPBITS
   int32_t m_parity;          // NOPARITY to SPACEPARITY
   int32_t m_flowControl;     // stored and restored by restart, not applied
   int m_handle;              // the open port's descriptor, -1 when closed
   int32_t m_writeBlockSize;  // bytes per write block; below 1: the whole buffer at once
   int32_t m_writeDelay;      // milliseconds slept before each write block

public:
   /* No port open; time-out 5000 ms, 9600 baud, 8 data bits, no parity, one stop bit, one
    * write block, 100 ms write delay. */
   Serial();
   /* Closes the port. */
   ~Serial();
   Serial(const Serial &) = delete;
   Serial &operator=(const Serial &) = delete;

   /* Closes an open port, keeps a copy of the name, and opens the port for reading and
    * writing, held exclusively. A name not starting with '/' is taken from /dev (ttyS0 is
    * /dev/ttyS0). On success the line is set to 38400 baud, 8 data bits, no parity, one
    * stop bit (whatever was stored before). False when the port cannot be opened. */
   bool open(const wchar_t *port);
   /* Stores the settings and applies them to the open port (raw mode, no flow control,
    * parity not checked, DTR and RTS raised), then applies the stored time-out. False
    * when no port is open or the port refuses a value (an unsupported speed, data bits
    * outside 5 to 8, an unknown parity or stop-bit code). */
   bool set(int speed, int dataBits, int parity, int stopBits, int flowControl = 0);
   /* Stores the read and write time-out in milliseconds (no upper limit of the device
    * applies). */
   void setTimeout(int timeout);
   /* Closes the port; the name stays for restart. */
   void close();
   /* Closes the port, waits 500 ms, opens the stored name again and applies the stored
    * settings and time-out. False when no name was ever given, or the open or the
    * settings fail. */
   bool restart();

   /* Zeroes size bytes of buffer, waits up to the time-out for one byte and adds what
    * else is queued, up to size bytes in all. The count (0 when the time-out passed), or
    * -1 when no port is open, size is below 1, or the read failed (the device is gone). */
   int read(char *buffer, int size);
   /* Zeroes size bytes of buffer and reads until size bytes came or the time-out passed
    * (it bounds the whole read). The count, or -1 when no port is open, size is below 1,
    * or the port failed before anything came. */
   int readAll(char *buffer, int size);
   /* Reads until one of marks (texts ended by a null entry) has arrived, keeping at most
    * size - 1 bytes and always a zero terminator. Returns the count with *markPos at the
    * first marker found (in array order) when one came, the count with *markPos null when
    * the buffer filled without a marker, or the result of the read that ended the wait (0
    * time-out, -1 failure; the bytes received are still in buffer). markPos may be null. */
   int readToMark(char *buffer, int size, const char **marks, char **markPos);
   /* Writes size bytes in blocks of the block size, sleeping the write delay before each.
    * False when no port is open, when a block went out only in part within the time-out,
    * and when a write failed; a failed write also calls restart. */
   bool write(const char *data, int size);
   /* Waits until everything written has been sent. */
   void flush();

   void setWriteBlockSize(int size) { m_writeBlockSize = size; }
   void setWriteDelay(int delay) { m_writeDelay = delay; }
};

/* ---------------------------------------------------------------------------------------
 * Socket listener
 *
 * The reusable TCP accept loop: a derived class sets a name, a port and optionally a
 * listen address, calls initialize and then runs mainLoop on a thread of its own. The
 * listener binds one IPv4 and one IPv6 socket (each can be switched off), accepts
 * connections from both, asks isConnectionAllowed about each peer and hands allowed
 * connections to processConnection. Every step is logged under the prefix
 * "SocketListener/<name>: ".
 * ------------------------------------------------------------------------------------- */

/* What processConnection did with the socket. */
enum ConnectionProcessingResult
{
   CPR_COMPLETED = 0,  // finished: the listener shuts the socket down and closes it
   CPR_BACKGROUND = 1  // taken over (say by another thread): the listener leaves it alone
};

class QV_EXPORT SocketListener
{
public:
   /* Longest name kept, in characters. */
   static constexpr size_t NAME_LENGTH = 63;

private:
   SOCKET m_socketV4;
   SOCKET m_socketV6;
   uint16_t m_port;
   wchar_t *m_listenAddress;  // null: every local address
   bool m_allowV4;
   bool m_allowV6;
   bool m_stop;  // read and written atomically: shutdown may come from any thread
   wchar_t m_name[NAME_LENGTH + 1];
   uint32_t m_acceptErrors;  // the counters are written by the loop only, read by anyone
   uint32_t m_acceptedConnections;
   uint32_t m_rejectedConnections;

   QV_INTERNAL bool stopRequested();
   QV_INTERNAL bool bindSocket(SOCKET s, int family, const InetAddress &address);
   QV_INTERNAL void acceptConnection(SOCKET listener, uint32_t *errorSeries);

protected:
   /* Whether the peer may stay connected; called on the loop's thread. The base allows
    * every peer. */
   virtual bool isConnectionAllowed(const InetAddress &peer);
   /* Serves an accepted connection on the loop's thread; no other connection is accepted
    * until it returns, so long work goes to another thread with CPR_BACKGROUND. The
    * base returns CPR_COMPLETED. */
   virtual ConnectionProcessingResult processConnection(SOCKET s, const InetAddress &peer);
   /* Checked before every wait and every accept: true ends mainLoop. The base returns
    * false. */
   virtual bool isStopConditionReached();

public:
   /* Nothing is opened until initialize. */
   SocketListener(uint16_t port, bool allowV4 = true, bool allowV6 = true);
   /* Sets the stop flag and closes the sockets; mainLoop must have returned. */
   virtual ~SocketListener();
   SocketListener(const SocketListener &) = delete;
   SocketListener &operator=(const SocketListener &) = delete;

   /* Copies at most NAME_LENGTH characters of the name (null: empty). */
   void setName(const wchar_t *name);
   /* Host name or address literal to bind to; null, empty or "*" means every local
    * address. A name is resolved once for each family by initialize; a family it has no
    * address of binds to its loopback address. */
   void setListenAddress(const wchar_t *address);
   /* Switch a family on or off; before initialize. */
   void enableIPv4(bool enable) { m_allowV4 = enable; }
   void enableIPv6(bool enable) { m_allowV6 = enable; }

   /* Creates, binds and opens the sockets of the allowed families. True when at least one
    * family is bound; false (every failure logged as an error) when none is, also when
    * no socket could be created at all. A family whose listen fails is closed without a
    * message. Sockets created stay open until destruction. Call it once. */
   bool initialize();
   /* Accepts connections on the calling thread until shutdown or the stop condition.
    * Each wait lasts at most one second, so a stop is seen within about a second. */
   void mainLoop();
   /* Asks mainLoop to return; from any thread. The sockets stay open until destruction. */
   void shutdown();

   const wchar_t *getName() const { return m_name; }
   uint32_t getAcceptErrors() const { return __atomic_load_n(&m_acceptErrors, __ATOMIC_RELAXED); }
   uint32_t getAcceptedConnections() const { return __atomic_load_n(&m_acceptedConnections, __ATOMIC_RELAXED); }
   uint32_t getRejectedConnections() const { return __atomic_load_n(&m_rejectedConnections, __ATOMIC_RELAXED); }
};

/* ---------------------------------------------------------------------------------------
 * Process executor
 *
 * Runs one command through the system shell ("/bin/sh -c COMMAND") in a process group of
 * its own, with standard input at end of file. When a derived class sets m_sendOutput
 * before execute, the command's standard output and standard error come through one pipe
 * to a reader thread of the executor, which passes them to onOutput in chunks of at most
 * OUTPUT_CHUNK_SIZE bytes and ends with exactly one endOfOutput; otherwise the output is
 * discarded and no hook is called.
 *
 * The reader delivers every byte the command wrote, also when it notices the command's
 * end first, and ends when the command itself ends even where background jobs it started
 * keep the pipe open (it delivers what is in the pipe at that moment and stops). While
 * nothing comes for 5 seconds, it calls onOutput with an empty text as a sign of life.
 * ------------------------------------------------------------------------------------- */

/* A started child process; private to the library. */
struct QvChildProcess;

class QV_EXPORT ProcessExecutor
{
public:
   /* Most bytes of one onOutput chunk (the text is terminated after them). */
   static constexpr size_t OUTPUT_CHUNK_SIZE = 4095;
   /* Exit code of a command ended by stop or by the destructor. */
   static constexpr int32_t STOPPED_EXIT_CODE = 127;

private:
   uint32_t m_streamId;
   qorvel_thread_t *m_outputReader;
   QvChildProcess *m_process;
   int m_outputPipe;  // read end while the reader runs, -1 otherwise
   bool m_running;    // read and written atomically
   wchar_t *m_command;

   QV_INTERNAL static void outputReaderEntry(void *executor);
   QV_INTERNAL void releaseProcess();

protected:
   /* Set by a derived class (before execute) to have the output delivered. */
   bool m_sendOutput;

   /* One chunk of output on the reader thread: raw bytes of the command (possibly cut in
    * the middle of a line or of a multibyte character) followed by a zero byte, or an
    * empty text after 5 silent seconds. Zero bytes in the output cannot pass through a
    * terminated text: they are left out, and the bytes after one come as a new chunk. The
    * base does nothing. */
   virtual void onOutput(const char *text);
   /* Called once on the reader thread after the last chunk. The base does nothing. */
   virtual void endOfOutput();

   int getOutputPipe() const { return __atomic_load_n(&m_outputPipe, __ATOMIC_ACQUIRE); }
   /* Body of the reader thread; executor is the ProcessExecutor. */
   static void readOutput(void *executor);

public:
   /* Copies the command (null stays null and starts nothing) and takes the next stream
    * id; the first executor of the process gets 1. */
   explicit ProcessExecutor(const wchar_t *command);
   /* Does what stopAndWait does and releases everything. A derived class whose hooks use
    * its own members calls stopAndWait first in its destructor: those members are gone
    * by the time this destructor runs. */
   virtual ~ProcessExecutor();
   ProcessExecutor(const ProcessExecutor &) = delete;
   ProcessExecutor &operator=(const ProcessExecutor &) = delete;

   /* Starts the command. False when the previous one still runs (nothing is started),
    * for a null command, and when the pipe, the process or the reader cannot be made
    * (written to the debug output at level 4). An earlier reader is waited for first.
    * execute and destruction must not overlap other calls on the executor; stop,
    * isRunning, waitForCompletion, getExitCode and getProcessId may be called from any
    * thread otherwise. */
   virtual bool execute();
   /* Kills the command and everything left in its process group (background jobs
    * included); a command that still ran gets the exit code STOPPED_EXIT_CODE. The reader
    * then ends once it has delivered what is in the pipe. Nothing happens before the first
    * execute. */
   virtual void stop();

   /* stop, then waits without limit for the reader to deliver the end of the output, so
    * that no hook runs afterwards (until the next execute). */
   void stopAndWait();

   /* Whether the command still runs; the first call that finds it ended clears the
    * running state. */
   bool isRunning();
   /* Waits up to timeout milliseconds for the command to end: true when it ended (at once
    * when nothing runs). The running state is not changed. */
   bool waitForCompletion(uint32_t timeout);
   /* The command's exit code once it ended (STOPPED_EXIT_CODE after stop, 128 plus the
    * signal for one killed otherwise); -1 while it runs or before the first execute. */
   int32_t getExitCode();
   /* The process id of the command's shell; 0 when there is none. */
   int32_t getProcessId();
   const wchar_t *getCommand() const { return m_command; }
   uint32_t getStreamId() const { return m_streamId; }
};

/* ---------------------------------------------------------------------------------------
 * Named pipes
 *
 * Local channels between the programs of one machine, here Unix-domain sequenced-packet
 * sockets at "/tmp/qvpipe.<name>" (a name holds no "/" and must fit the system's limit
 * of 107 bytes for the whole path). A NamedPipeListener owns a name for as long as it
 * lives, waits for clients on a thread of its own and hands each one, on that thread, to
 * its callback: one client is served at a time, and a client that connects meanwhile
 * waits ("busy") until the callback returns or its time-out passes. An access rule lets
 * only one user connect, or everyone. NamedPipe is one connected end.
 *
 * The listener confirms every client it accepts before the client's connect returns, so
 * a client learns refusal and busy time-outs at once. Writes to a pipe whose peer has gone
 * return false and never raise SIGPIPE.
 * ------------------------------------------------------------------------------------- */

class NamedPipe;

/* Called on the listener's thread for each connected client; the pipe belongs to the
 * listener, which disconnects and deletes it when the callback returns. */
typedef void (*NamedPipeCallback)(NamedPipe *pipe, void *arg);

/* A listener's platform side; private to the library. */
struct QvPipeServer;

class QV_EXPORT NamedPipeListener
{
public:
   /* Longest name and user name kept, in characters. */
   static constexpr size_t NAME_LENGTH = 127;
   static constexpr size_t USER_LENGTH = 63;

private:
   wchar_t m_name[NAME_LENGTH + 1];
   QvPipeServer *m_server;
   NamedPipeCallback m_callback;
   void *m_arg;
   qorvel_thread_t *m_serverThread;
   bool m_stop;  // read and written atomically
   wchar_t m_user[USER_LENGTH + 1];

   QV_INTERNAL NamedPipeListener(const wchar_t *name, QvPipeServer *server, NamedPipeCallback callback, void *arg,
                                 const wchar_t *user);
   QV_INTERNAL static void serverThread(void *listener);
   QV_INTERNAL void serve();

public:
   /* Creates the pipe name with its access rule: only user may connect, or everyone when
    * user is null, empty or "*". The thread is not started. Null (written to the debug
    * output at level 2) when the user is unknown, the name is in use by a live listener
    * (its socket is left alone), the name is unusable or the socket cannot be made. */
   static NamedPipeListener *create(const wchar_t *name, NamedPipeCallback callback, void *arg, const wchar_t *user);
   /* Stops the thread, then releases the name. */
   ~NamedPipeListener();
   NamedPipeListener(const NamedPipeListener &) = delete;
   NamedPipeListener &operator=(const NamedPipeListener &) = delete;

   /* Starts the server thread unless it runs; the listener can be started again after
    * stop. */
   void start();
   /* Ends the server thread and waits for it without limit: a callback in progress is
    * waited for. Clients that connect meanwhile wait, as for a busy listener. */
   void stop();

   const wchar_t *name() const { return m_name; }
   /* The allowed user; empty for everyone. */
   const wchar_t *user() const { return m_user; }
};

class QV_EXPORT NamedPipe
{
public:
   static constexpr size_t NAME_LENGTH = 127;
   static constexpr size_t USER_LENGTH = 63;

private:
   wchar_t m_name[NAME_LENGTH + 1];
   HPIPE m_handle;
   Mutex m_mutex;  // keeps the records of one write together
   wchar_t m_user[USER_LENGTH + 1];

   QV_INTERNAL NamedPipe(const wchar_t *name, HPIPE handle);
   friend class NamedPipeListener;

public:
   /* Connects to the listener of the name, waiting up to timeout milliseconds (INFINITE:
    * no limit) while it is busy with another client; time-outs below one second still
    * give a free listener a second to confirm. Null when nothing listens there, the
    * listener refuses this user, or the time-out passed. The caller deletes the pipe. */
   static NamedPipe *connect(const wchar_t *name, uint32_t timeout);
   /* Disconnects and closes the handle. */
   ~NamedPipe();
   NamedPipe(const NamedPipe &) = delete;
   NamedPipe &operator=(const NamedPipe &) = delete;

   /* Writes size bytes as one record when they fit one (records of up to 64 KiB always
    * do), otherwise as several that follow each other without another write of this
    * object between them. True when every byte went out; true at once for 0 bytes; false
    * when the peer has gone. */
   bool write(const void *data, size_t size);
   /* The user of the process at the other end (on the listener's side: the client's
    * account name); "[unknown]" when it cannot be found. */
   const wchar_t *user();
   const wchar_t *name() const { return m_name; }
   /* The connected end, for a PipeMessageReceiver or for reading directly. */
   HPIPE handle() const { return m_handle; }
};

#endif /* __cplusplus */

#endif
