/* The message receiver over a TLS session: SSL_read with a wait on the socket between
 * reads, holding the session's lock only around the SSL calls. SSL_read itself never
 * blocks: a blocking socket is made non-blocking for the call, so that a record that
 * arrives in parts is waited for here, within the time-out. */
#include <qv_protocol.h>
#include <qv_crypto.h>
#include <qv_log.h>
#include <qv_threads.h>

#include "platform/socket.h"
#include "platform/sync.h"
#include "protocol/receiver_internals.h"
#include "sync/lock_guard.h"

#include <errno.h>
#include <limits.h>
#include <openssl/ssl.h>

using namespace qv::platform;

namespace {

/* Debug level of SSL_read failures. */
constexpr int TLS_DEBUG_LEVEL = 7;

/* readBytes result of a failure. */
constexpr int READ_FAILURE = -1;

}  // namespace

TlsMessageReceiver::TlsMessageReceiver(SOCKET socket, SSL *ssl, Mutex *mutex, size_t initialSize, size_t maxSize)
    : AbstractMessageReceiver(initialSize, maxSize), m_socket(socket), m_ssl(ssl), m_mutex(mutex)
{
   qv::protocol::ReceiverInternals::nameTransport(this, L"tls");
}

TlsMessageReceiver::~TlsMessageReceiver() = default;

int TlsMessageReceiver::readBytes(uint8_t *buffer, size_t size, uint32_t timeout)
{
   if (m_ssl == nullptr)
      return READ_FAILURE;
   // SSL_read takes an int count.
   int request = (size > static_cast<size_t>(INT_MAX)) ? INT_MAX : static_cast<int>(size);
   // The time-out bounds the whole call, however many waits a record takes.
   uint64_t deadline = (timeout == INFINITE) ? 0 : qv::platform::MonotonicMs() + timeout;
   int lastError = SSL_ERROR_NONE;
   qv::sync::LockGuard lock(m_mutex);
   for (;;)
   {
      // Decrypted bytes already held are handed out without touching the socket.
      bool fromSocket = SSL_pending(m_ssl) == 0;
      if (fromSocket)
      {
         // Others may use the session while this thread waits for the socket.
         lock.release();
         if (m_socket == INVALID_SOCKET)
            return READ_FAILURE;
         uint32_t wait = timeout;
         if (timeout != INFINITE)
         {
            uint64_t now = qv::platform::MonotonicMs();
            wait = (now < deadline) ? static_cast<uint32_t>(deadline - now) : 0;
         }
         bool ready;
         int rc = SocketWait(&m_socket, &ready, 1, lastError == SSL_ERROR_WANT_WRITE, wait);
         if (rc == 0)
            return RECV_TIMEOUT;
         if (rc < 0)
            return READ_FAILURE;
         lock.relock();
      }

      bool wasNonBlocking = true;
      bool restore = fromSocket && SocketSetNonBlockingMode(m_socket, true, &wasNonBlocking) && !wasNonBlocking;
      int n = SSL_read(m_ssl, buffer, request);
      int systemError = errno;
      if (n <= 0)
         lastError = SSL_get_error(m_ssl, n);
      if (restore)
         SocketSetNonBlockingMode(m_socket, false, &wasNonBlocking);
      if (n > 0)
         return n;
      if (lastError == SSL_ERROR_WANT_READ || lastError == SSL_ERROR_WANT_WRITE)
         continue;

      qvlog_debug(TLS_DEBUG_LEVEL, L"TlsMessageReceiver: SSL_read error (ssl_err=%d errno=%d)", lastError, systemError);
      if (lastError == SSL_ERROR_SSL)
         LogOpenSSLErrorStack(TLS_DEBUG_LEVEL);
      // 0 is the closed session; every other result is a failure, never a time-out.
      return (n == 0) ? 0 : READ_FAILURE;
   }
}
