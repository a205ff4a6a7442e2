/* The abstract byte channel and its socket form. A closed channel's descriptor is closed
 * by the last call still using it, so that no call reaches a file that reuses the number. */
#include <qv_net.h>

#include "platform/socket.h"

using namespace qv::platform;

AbstractCommChannel::~AbstractCommChannel() {}

SocketCommChannel::SocketCommChannel(SOCKET s, bool owner)
    : m_socket(s), m_owner(owner), m_busy(0), m_closePending(INVALID_SOCKET)
{}

SocketCommChannel::~SocketCommChannel()
{
   // No call can be running on a channel whose last reference is gone, so close has
   // already closed its descriptor.
   if (m_owner && m_socket != INVALID_SOCKET)
      SocketClose(m_socket);
}

SOCKET SocketCommChannel::acquire()
{
   __atomic_add_fetch(&m_busy, 1, __ATOMIC_SEQ_CST);
   SOCKET s = __atomic_load_n(&m_socket, __ATOMIC_SEQ_CST);
   if (s == INVALID_SOCKET)
   {
      release();
      SocketSetLastError(SocketErrorKind::BAD_SOCKET);
   }
   return s;
}

void SocketCommChannel::release()
{
   if (__atomic_sub_fetch(&m_busy, 1, __ATOMIC_SEQ_CST) != 0)
      return;
   SOCKET pending = __atomic_exchange_n(&m_closePending, INVALID_SOCKET, __ATOMIC_SEQ_CST);
   if (pending != INVALID_SOCKET)
      SocketClose(pending);
}

template <typename Call> int SocketCommChannel::withSocket(Call call)
{
   SOCKET s = acquire();
   if (s == INVALID_SOCKET)
      return -1;
   int rc = call(s);
   release();
   return rc;
}

int SocketCommChannel::send(const void *data, size_t size, Mutex *mutex)
{
   return withSocket([&](SOCKET s) { return SendEx(s, data, size, 0, mutex); });
}

int SocketCommChannel::recv(void *buffer, size_t size, uint32_t timeout)
{
   return withSocket([&](SOCKET s) { return RecvEx(s, buffer, size, 0, timeout); });
}

int SocketCommChannel::poll(uint32_t timeout, bool write)
{
   return withSocket([&](SOCKET s) {
      bool ready;
      return SocketWait(&s, &ready, 1, write, timeout);
   });
}

int SocketCommChannel::shutdown()
{
   return withSocket([](SOCKET s) { return SocketShutdown(s); });
}

void SocketCommChannel::close()
{
   SOCKET s = __atomic_exchange_n(&m_socket, INVALID_SOCKET, __ATOMIC_SEQ_CST);
   if (s == INVALID_SOCKET)
      return;
   // Shutting down wakes the calls that wait on the socket; the caller's last error
   // stays as it was.
   int savedError = SocketLastErrorCode();
   SocketShutdown(s);
   SocketSetLastErrorCode(savedError);
   // Counted busy while it hands the descriptor over, so that a call ending meanwhile
   // cannot miss it: the last release closes it, here or in that call.
   __atomic_add_fetch(&m_busy, 1, __ATOMIC_SEQ_CST);
   __atomic_store_n(&m_closePending, s, __ATOMIC_SEQ_CST);
   release();
}
