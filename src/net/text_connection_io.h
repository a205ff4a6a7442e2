/* The receive step and the factory step shared by the text connections. */
#ifndef QORVEL_NET_TEXT_CONNECTION_IO_H
#define QORVEL_NET_TEXT_CONNECTION_IO_H

#include <qv_base.h>

namespace qv {
namespace net {

/* Connect time-out used when the caller gives 0. */
constexpr uint32_t DEFAULT_CONNECT_TIMEOUT_MS = 30000;

/* One receive of at most size bytes from s: with a timeout of 0 it takes only what is
 * there; otherwise it waits up to timeout (INFINITE: no limit) for data or the peer's
 * close first. The bytes read, 0 when the peer closed, -1 on error (an invalid socket or
 * a size below 1 too), -2 when nothing was there in time (the last error says so). */
int ReceiveText(SOCKET s, char *buffer, int size, uint32_t timeout);

/* A factory's new connection when it connected; otherwise null, the object deleted. */
template <typename Connection> Connection *KeepIfConnected(Connection *connection, bool connected)
{
   if (connected)
      return connection;
   delete connection;
   return nullptr;
}

}  // namespace net
}  // namespace qv

#endif
