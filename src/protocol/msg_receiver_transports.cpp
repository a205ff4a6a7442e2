/* Message receivers over a socket, an abstract channel and a local pipe. */
#include <qv_protocol.h>
#include <qv_net.h>

#include "platform/local_pipe.h"
#include "protocol/receiver_internals.h"

using qv::protocol::ReceiverInternals;

using namespace qv::platform;

SocketMessageReceiver::SocketMessageReceiver(SOCKET socket, size_t initialSize, size_t maxSize)
    : AbstractMessageReceiver(initialSize, maxSize), m_socket(socket)
{
   ReceiverInternals::nameTransport(this, L"socket");
}

SocketMessageReceiver::~SocketMessageReceiver() = default;

int SocketMessageReceiver::readBytes(uint8_t *buffer, size_t size, uint32_t timeout)
{
   return RecvEx(m_socket, buffer, size, 0, timeout);
}

CommChannelMessageReceiver::CommChannelMessageReceiver(AbstractCommChannel *channel, size_t initialSize, size_t maxSize)
    : AbstractMessageReceiver(initialSize, maxSize), m_channel(channel)
{
   ReceiverInternals::nameTransport(this, L"channel");
   if (m_channel != nullptr)
      m_channel->incRefCount();
}

CommChannelMessageReceiver::~CommChannelMessageReceiver()
{
   if (m_channel != nullptr)
      m_channel->decRefCount();
}

int CommChannelMessageReceiver::readBytes(uint8_t *buffer, size_t size, uint32_t timeout)
{
   return (m_channel != nullptr) ? m_channel->recv(buffer, size, timeout) : -1;
}

PipeMessageReceiver::PipeMessageReceiver(HPIPE pipe, size_t initialSize, size_t maxSize)
    : AbstractMessageReceiver(initialSize, maxSize), m_pipe(pipe)
{
   ReceiverInternals::nameTransport(this, L"pipe");
}

PipeMessageReceiver::~PipeMessageReceiver() = default;

int PipeMessageReceiver::readBytes(uint8_t *buffer, size_t size, uint32_t timeout)
{
   return LocalPipeRead(m_pipe, buffer, size, timeout);
}
