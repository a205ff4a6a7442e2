/* ICMP echo on POSIX sockets. The unprivileged datagram socket (allowed by the system's
 * ping group range) is tried first: the kernel picks its echo identifier, fills its
 * checksum, hands it only its own replies and queues the errors about its requests on
 * its error queue (IP_RECVERR). The raw socket of the fallback sees every ICMP packet of
 * the host, its own requests on loopback included: it filters by type, sets its own
 * identifier and IPv4 checksum, and finds the errors about its requests among the
 * ICMP error messages it receives. */
#include "platform/icmp.h"

#include "platform/icmp_status.h"

#include <errno.h>
#include <linux/errqueue.h>
#include <netinet/icmp6.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <pthread.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

static_assert(qv::platform::QV_AF_INET6 == AF_INET6, "family code of the platform");

namespace qv {
namespace platform {

namespace {

/* Bytes of an ICMP or ICMPv6 echo header: type, code, checksum, identifier, sequence. */
constexpr size_t ECHO_HEADER_SIZE = 8;

/* Longest IPv4 header (a raw IPv4 socket receives it before the ICMP message) and the
 * fixed IPv6 header (quoted in ICMPv6 error messages). */
constexpr size_t IPV4_MAX_HEADER_SIZE = 60;
constexpr size_t IPV6_HEADER_SIZE = 40;

/* Room for the largest reply, or for an error message quoting the largest request. */
constexpr size_t RECEIVE_BUFFER_SIZE =
    IPV4_MAX_HEADER_SIZE + ECHO_HEADER_SIZE + IPV6_HEADER_SIZE + ECHO_HEADER_SIZE + ICMP_ECHO_MAX_PAYLOAD;

/* Bytes of an error queue entry's quote of the request that are read: its echo header. */
constexpr size_t ERROR_QUOTE_SIZE = ECHO_HEADER_SIZE;

/* Room for the control message of an error queue entry (sock_extended_err and the
 * offender's address). */
constexpr size_t ERROR_CONTROL_SIZE = 512;

/* Offsets within an echo header. */
constexpr size_t TYPE_OFFSET = 0;
constexpr size_t CHECKSUM_OFFSET = 2;
constexpr size_t IDENT_OFFSET = 4;
constexpr size_t SEQUENCE_OFFSET = 6;

/* IPv4 header: version and length nibbles, protocol byte. IPv6 header: next header. */
constexpr size_t IPV4_PROTOCOL_OFFSET = 9;
constexpr size_t IPV6_NEXT_HEADER_OFFSET = 6;

/* The raw IPv4 socket option of the type filter (ICMP_FILTER of <linux/icmp.h>, whose
 * structures clash with <netinet/ip_icmp.h>). */
constexpr int RAW_ICMP_FILTER = 1;

/* Echo identifiers of raw sockets: a different one for each socket the process opens,
 * so that concurrent requests tell their replies apart. */
std::atomic<uint32_t> g_identCounter{0};

/* Idle datagram sockets kept by IcmpClose for the next requests: opening a socket and
 * setting its options costs more system calls than a round trip on loopback. The lock is
 * held across fork, so that the child finds the pool whole and closes its copies. */
constexpr int IDLE_ENDPOINTS_MAX = 8;

struct IdlePool
{
   pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
   IcmpEndpoint entries[IDLE_ENDPOINTS_MAX];
   int count = 0;
};

IdlePool &Idle()
{
   static IdlePool *pool = [] {
      IdlePool *p = new IdlePool();
      pthread_atfork([] { pthread_mutex_lock(&Idle().lock); }, [] { pthread_mutex_unlock(&Idle().lock); },
                     [] {
                        IdlePool &idle = Idle();
                        for (int i = 0; i < idle.count; i++)
                           close(idle.entries[i].fd);
                        idle.count = 0;
                        pthread_mutex_unlock(&idle.lock);
                     });
      return p;
   }();
   return *pool;
}

/* An idle socket of the family and settings into *endpoint; false when none is kept. */
bool TakeIdle(int16_t family, uint8_t ttl, bool dontFragment, IcmpEndpoint *endpoint)
{
   IdlePool &idle = Idle();
   pthread_mutex_lock(&idle.lock);
   bool found = false;
   for (int i = idle.count - 1; i >= 0 && !found; i--)
   {
      const IcmpEndpoint &e = idle.entries[i];
      if (e.family == family && e.ttl == ttl && e.dontFragment == dontFragment)
      {
         *endpoint = e;
         idle.entries[i] = idle.entries[--idle.count];
         found = true;
      }
   }
   pthread_mutex_unlock(&idle.lock);
   return found;
}

/* Keeps a datagram socket for later; false when the pool is full. */
bool KeepIdle(const IcmpEndpoint &endpoint)
{
   IdlePool &idle = Idle();
   pthread_mutex_lock(&idle.lock);
   bool kept = idle.count < IDLE_ENDPOINTS_MAX;
   if (kept)
      idle.entries[idle.count++] = endpoint;
   pthread_mutex_unlock(&idle.lock);
   return kept;
}

int Domain(int16_t family)
{
   return (family == QV_AF_INET) ? AF_INET : AF_INET6;
}

uint64_t MonotonicUs()
{
   struct timespec ts;
   clock_gettime(CLOCK_MONOTONIC, &ts);
   return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

/* Whole milliseconds since start (monotonic microseconds). */
uint32_t ElapsedMs(uint64_t start)
{
   uint64_t elapsed = (MonotonicUs() - start) / 1000u;
   return (elapsed > 0xFFFFFFFFu) ? 0xFFFFFFFFu : static_cast<uint32_t>(elapsed);
}

uint16_t Read16(const uint8_t *p)
{
   return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Write16(uint8_t *p, uint16_t value)
{
   p[0] = static_cast<uint8_t>(value >> 8);
   p[1] = static_cast<uint8_t>(value);
}

bool SetIntOption(int fd, int level, int name, int value)
{
   return setsockopt(fd, level, name, &value, sizeof(value)) == 0;
}

/* Lets through to a raw socket only echo replies and the error messages that may be about
 * its requests (not the echo requests it sees of itself and others on loopback). */
bool SetRawFilter(int fd, bool v6)
{
   if (v6)
   {
      struct icmp6_filter filter;
      ICMP6_FILTER_SETBLOCKALL(&filter);
      ICMP6_FILTER_SETPASS(ICMP6_ECHO_REPLY, &filter);
      ICMP6_FILTER_SETPASS(ICMP6_DST_UNREACH, &filter);
      ICMP6_FILTER_SETPASS(ICMP6_PACKET_TOO_BIG, &filter);
      ICMP6_FILTER_SETPASS(ICMP6_TIME_EXCEEDED, &filter);
      ICMP6_FILTER_SETPASS(ICMP6_PARAM_PROB, &filter);
      return setsockopt(fd, IPPROTO_ICMPV6, ICMP6_FILTER, &filter, sizeof(filter)) == 0;
   }
   // The IPv4 filter is a mask of the types that are blocked.
   uint32_t filter = ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_SOURCE_QUENCH) |
                       (1u << ICMP_TIME_EXCEEDED) | (1u << ICMP_PARAMETERPROB));
   return setsockopt(fd, SOL_RAW, RAW_ICMP_FILTER, &filter, sizeof(filter)) == 0;
}

bool Configure(const IcmpEndpoint &ep, uint8_t ttl, bool dontFragment)
{
   bool v6 = (ep.family == QV_AF_INET6);
   if (v6)
   {
      if (!SetIntOption(ep.fd, IPPROTO_IPV6, IPV6_UNICAST_HOPS, ttl))
         return false;
      if (dontFragment && (!SetIntOption(ep.fd, IPPROTO_IPV6, IPV6_MTU_DISCOVER, IPV6_PMTUDISC_DO) ||
                           !SetIntOption(ep.fd, IPPROTO_IPV6, IPV6_DONTFRAG, 1)))
         return false;
      if (!ep.raw && !SetIntOption(ep.fd, IPPROTO_IPV6, IPV6_RECVERR, 1))
         return false;
   }
   else
   {
      if (!SetIntOption(ep.fd, IPPROTO_IP, IP_TTL, ttl))
         return false;
      // Without the flag the request goes out without it and may be fragmented anywhere.
      if (!SetIntOption(ep.fd, IPPROTO_IP, IP_MTU_DISCOVER, dontFragment ? IP_PMTUDISC_DO : IP_PMTUDISC_DONT))
         return false;
      if (!ep.raw && !SetIntOption(ep.fd, IPPROTO_IP, IP_RECVERR, 1))
         return false;
   }
   return !ep.raw || SetRawFilter(ep.fd, v6);
}

/* The outcome found while reading the socket: none yet, or the request's status. */
struct Answer
{
   bool found;
   IcmpStatus status;
};

constexpr Answer NO_ANSWER = {false, IcmpStatus::GENERAL_FAILURE};

/* Whether the echo header at quote (a request as sent) is ours. */
bool IsOurRequest(const IcmpEndpoint &ep, const uint8_t *quote, uint16_t sequence)
{
   uint8_t requestType = (ep.family == QV_AF_INET6) ? uint8_t{ICMP6_ECHO_REQUEST} : uint8_t{ICMP_ECHO};
   return quote[TYPE_OFFSET] == requestType && Read16(quote + SEQUENCE_OFFSET) == sequence &&
          (!ep.raw || Read16(quote + IDENT_OFFSET) == ep.ident);
}

/* Looks at one received ICMP message (without the IP header) of size bytes. */
Answer Examine(const IcmpEndpoint &ep, const uint8_t *message, size_t size, uint16_t sequence)
{
   bool v6 = (ep.family == QV_AF_INET6);
   if (size < ECHO_HEADER_SIZE)
      return NO_ANSWER;
   uint8_t type = message[TYPE_OFFSET];
   if (type == (v6 ? uint8_t{ICMP6_ECHO_REPLY} : uint8_t{ICMP_ECHOREPLY}))
   {
      bool ours =
          Read16(message + SEQUENCE_OFFSET) == sequence && (!ep.raw || Read16(message + IDENT_OFFSET) == ep.ident);
      return ours ? Answer{true, IcmpStatus::REPLY} : NO_ANSWER;
   }
   // A datagram socket learns of errors through its error queue only; on a raw socket an
   // error message quotes the request's IP header and then its echo header.
   if (!ep.raw || !IcmpIsErrorMessage(v6, type))
      return NO_ANSWER;
   const uint8_t *quoted = message + ECHO_HEADER_SIZE;
   size_t quotedSize = size - ECHO_HEADER_SIZE;
   size_t headerSize;
   if (v6)
   {
      if (quotedSize < IPV6_HEADER_SIZE || quoted[IPV6_NEXT_HEADER_OFFSET] != IPPROTO_ICMPV6)
         return NO_ANSWER;
      headerSize = IPV6_HEADER_SIZE;
   }
   else
   {
      if (quotedSize < 20 || (quoted[0] >> 4) != 4 || quoted[IPV4_PROTOCOL_OFFSET] != IPPROTO_ICMP)
         return NO_ANSWER;
      headerSize = static_cast<size_t>(quoted[0] & 0x0F) * 4;
   }
   if (quotedSize < headerSize + ECHO_HEADER_SIZE || !IsOurRequest(ep, quoted + headerSize, sequence))
      return NO_ANSWER;
   return Answer{true, IcmpStatusFromMessage(v6, type, message[1])};
}

/* Reads every message waiting on the socket; the answer about our request, if one came. */
Answer ReadMessages(const IcmpEndpoint &ep, uint16_t sequence, uint8_t *buffer)
{
   bool failedBefore = false;
   for (;;)
   {
      ssize_t n = recv(ep.fd, buffer, RECEIVE_BUFFER_SIZE, MSG_DONTWAIT);
      if (n < 0)
      {
         if (errno == EINTR)
            continue;
         // Would block: all read. Another error is a pending socket error, reported once
         // (the error queue or the messages tell which request it was about); one that
         // comes again is the socket's own failure.
         if (errno == EAGAIN || errno == EWOULDBLOCK || failedBefore)
            return NO_ANSWER;
         failedBefore = true;
         continue;
      }
      failedBefore = false;
      const uint8_t *message = buffer;
      size_t size = static_cast<size_t>(n);
      if (ep.raw && ep.family == QV_AF_INET)
      {
         // A raw IPv4 socket receives the IP header too.
         if (size < 20)
            continue;
         size_t headerSize = static_cast<size_t>(buffer[0] & 0x0F) * 4;
         if (headerSize > size)
            continue;
         message += headerSize;
         size -= headerSize;
      }
      Answer answer = Examine(ep, message, size, sequence);
      if (answer.found)
         return answer;
   }
}

/* Reads every entry of a datagram socket's error queue; the answer about our request, if
 * one came. Local errors (a failed send) were reported by the send itself. */
Answer ReadErrorQueue(const IcmpEndpoint &ep, uint16_t sequence)
{
   bool v6 = (ep.family == QV_AF_INET6);
   Answer answer = NO_ANSWER;
   for (;;)
   {
      uint8_t quote[ERROR_QUOTE_SIZE];
      uint8_t control[ERROR_CONTROL_SIZE];
      struct iovec iov = {quote, sizeof(quote)};
      struct msghdr msg;
      memset(&msg, 0, sizeof(msg));
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof(control);
      ssize_t n = recvmsg(ep.fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
      if (n < 0)
      {
         if (errno == EINTR)
            continue;
         return answer;
      }
      if (answer.found || static_cast<size_t>(n) < ECHO_HEADER_SIZE || !IsOurRequest(ep, quote, sequence))
         continue;
      for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
      {
         bool isError = v6 ? (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_RECVERR)
                           : (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR);
         if (!isError)
            continue;
         struct sock_extended_err error;
         memcpy(&error, CMSG_DATA(c), sizeof(error));
         if (error.ee_origin == SO_EE_ORIGIN_ICMP || error.ee_origin == SO_EE_ORIGIN_ICMP6)
            answer = Answer{true, IcmpStatusFromMessage(v6, error.ee_type, error.ee_code)};
         else if (error.ee_origin != SO_EE_ORIGIN_LOCAL)
            answer = Answer{true, IcmpStatusFromError(static_cast<int>(error.ee_errno))};
      }
   }
}

/* One send of the request; the error code, 0 when it went out. */
int SendRequest(const IcmpEndpoint &ep, const struct sockaddr *to, socklen_t toSize, uint8_t *header,
                const void *payload, size_t size)
{
   struct iovec iov[2] = {{header, ECHO_HEADER_SIZE}, {const_cast<void *>(payload), size}};
   struct msghdr msg;
   memset(&msg, 0, sizeof(msg));
   msg.msg_name = const_cast<struct sockaddr *>(to);
   msg.msg_namelen = toSize;
   msg.msg_iov = iov;
   msg.msg_iovlen = (size > 0) ? 2 : 1;
   for (int tries = 0;; tries++)
   {
      if (sendmsg(ep.fd, &msg, MSG_DONTWAIT) >= 0)
         return 0;
      if (errno == EINTR)
      {
         tries--;
         continue;
      }
      // A pending socket error (about an earlier request, or on a raw socket about anyone's)
      // fails the next send once and is cleared by it; a real failure repeats.
      if (tries > 0)
         return errno;
   }
}

}  // namespace

bool IcmpOpen(int16_t family, uint8_t ttl, bool dontFragment, IcmpEndpoint *endpoint)
{
   endpoint->fd = -1;
   if (family != QV_AF_INET && family != QV_AF_INET6)
      return false;
   if (TakeIdle(family, ttl, dontFragment, endpoint))
      return true;
   int protocol = (family == QV_AF_INET) ? int{IPPROTO_ICMP} : int{IPPROTO_ICMPV6};
   IcmpEndpoint ep;
   ep.family = family;
   ep.raw = false;
   ep.ident = 0;
   ep.ttl = ttl;
   ep.dontFragment = dontFragment;
   ep.fd = socket(Domain(family), SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
   if (ep.fd < 0)
   {
      ep.fd = socket(Domain(family), SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
      if (ep.fd < 0)
         return false;
      ep.raw = true;
      uint32_t counter = g_identCounter.fetch_add(1, std::memory_order_relaxed);
      ep.ident = static_cast<uint16_t>(static_cast<uint32_t>(getpid()) * 2654435761u + counter);
   }
   if (!Configure(ep, ttl, dontFragment))
   {
      int saved = errno;
      close(ep.fd);
      errno = saved;
      return false;
   }
   *endpoint = ep;
   return true;
}

void IcmpClose(IcmpEndpoint *endpoint)
{
   if (endpoint->fd < 0)
      return;
   // Raw sockets are not kept: every ICMP packet of the host would queue up on them.
   if (endpoint->raw || !KeepIdle(*endpoint))
      close(endpoint->fd);
   endpoint->fd = -1;
}

IcmpStatus IcmpEcho(IcmpEndpoint *endpoint, const struct sockaddr *target, uint16_t sequence, const void *payload,
                    size_t size, uint32_t timeout, uint32_t *rttMs)
{
   const IcmpEndpoint &ep = *endpoint;
   bool v6 = (ep.family == QV_AF_INET6);
   if (ep.fd < 0 || size > ICMP_ECHO_MAX_PAYLOAD || target == nullptr || target->sa_family != Domain(ep.family))
      return IcmpStatus::GENERAL_FAILURE;
   socklen_t toSize = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);

   uint8_t header[ECHO_HEADER_SIZE] = {};
   header[TYPE_OFFSET] = v6 ? uint8_t{ICMP6_ECHO_REQUEST} : uint8_t{ICMP_ECHO};
   Write16(header + IDENT_OFFSET, ep.ident);
   Write16(header + SEQUENCE_OFFSET, sequence);
   if (ep.raw && !v6)
   {
      // The checksum covers header and payload; the payload starts at an even offset,
      // so the two sums add up.
      uint32_t sum = static_cast<uint16_t>(~InternetChecksum(header, sizeof(header)));
      sum += static_cast<uint16_t>(~InternetChecksum(payload, size));
      while (sum >> 16)
         sum = (sum & 0xFFFF) + (sum >> 16);
      Write16(header + CHECKSUM_OFFSET, static_cast<uint16_t>(~sum));
   }

   uint64_t sentAt = MonotonicUs();
   uint64_t deadline = sentAt + static_cast<uint64_t>(timeout) * 1000u;
   int error = SendRequest(ep, target, toSize, header, payload, size);
   if (error != 0)
   {
      IcmpStatus status = IcmpStatusFromError(error);
      // A dropped request (see IcmpStatusFromError) waits out its time like any other
      // request that gets no answer.
      if (status != IcmpStatus::TIMED_OUT)
         return status;
   }

   uint8_t buffer[RECEIVE_BUFFER_SIZE];
   // On loopback the reply is often queued before the send returns: a look before the
   // first wait saves it.
   bool look = (error == 0);
   for (;;)
   {
      if (look)
      {
         Answer answer = ReadMessages(ep, sequence, buffer);
         if (answer.found)
         {
            if (answer.status == IcmpStatus::REPLY && rttMs != nullptr)
               *rttMs = ElapsedMs(sentAt);
            return answer.status;
         }
         look = false;
      }
      int wait = -1;
      if (timeout != INFINITE)
      {
         uint64_t now = MonotonicUs();
         if (now >= deadline)
            return IcmpStatus::TIMED_OUT;
         // Rounded up, so that the wait does not end just before the deadline.
         uint64_t left = (deadline - now + 999) / 1000;
         wait = (left > 0x7FFFFFFF) ? 0x7FFFFFFF : static_cast<int>(left);
      }
      struct pollfd entry = {ep.fd, POLLIN, 0};
      int rc = poll(&entry, 1, wait);
      if (rc < 0)
      {
         if (errno == EINTR)
            continue;
         return IcmpStatus::GENERAL_FAILURE;
      }
      if (rc == 0)
         continue;  // the deadline check above ends the wait
      Answer answer = NO_ANSWER;
      if (entry.revents & POLLERR)
         answer = ep.raw ? NO_ANSWER : ReadErrorQueue(ep, sequence);
      if (!answer.found && (entry.revents & (POLLIN | POLLERR)))
         answer = ReadMessages(ep, sequence, buffer);
      if (answer.found)
      {
         if (answer.status == IcmpStatus::REPLY && rttMs != nullptr)
            *rttMs = ElapsedMs(sentAt);
         return answer.status;
      }
      if (entry.revents & POLLNVAL)
         return IcmpStatus::GENERAL_FAILURE;
   }
}

}  // namespace platform
}  // namespace qv
