/* SocketPoller: one wait over up to 16 sockets for readability or writability. */
#include <qv_net.h>

#include "platform/socket.h"

using namespace qv::platform;

static_assert(SocketPoller::MAX_SOCKETS <= QV_SOCKET_WAIT_MAX, "one platform wait takes the whole set");

SocketPoller::SocketPoller(bool write) : m_write(write), m_count(0), m_setSize(0), m_set{} {}

bool SocketPoller::add(SOCKET s)
{
   if (s == INVALID_SOCKET || m_count >= MAX_SOCKETS)
      return false;
   if (!isSet(s))
      m_set[m_setSize++] = s;
   m_count++;
   return true;
}

int SocketPoller::poll(uint32_t timeout)
{
   if (m_count == 0)
   {
      SocketSetLastError(SocketErrorKind::INVALID_ARG);
      return -1;
   }
   bool ready[MAX_SOCKETS];
   int rc = SocketWait(m_set, ready, m_setSize, m_write, timeout);
   // The set keeps the ready sockets only (none after a time-out or a failure).
   int kept = 0;
   for (int i = 0; i < m_setSize; i++)
   {
      if (rc > 0 && ready[i])
         m_set[kept++] = m_set[i];
   }
   m_setSize = kept;
   return rc;
}

bool SocketPoller::isSet(SOCKET s) const
{
   for (int i = 0; i < m_setSize; i++)
   {
      if (m_set[i] == s)
         return true;
   }
   return false;
}

void SocketPoller::reset()
{
   m_count = 0;
   m_setSize = 0;
}
