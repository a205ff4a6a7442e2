/* Helpers shared by the raw receive functions and the file sender. */
#ifndef QORVEL_PROTOCOL_RAW_IO_H
#define QORVEL_PROTOCOL_RAW_IO_H

#include <qorvel.h>

namespace qv {
namespace protocol {

/* Runs call(channel) on a non-owning channel over s, released afterwards. */
template <typename Call> auto WithSocketChannel(SOCKET s, Call call) -> decltype(call(nullptr))
{
   SocketCommChannel *channel = new SocketCommChannel(s, false);
   auto result = call(channel);
   channel->decRefCount();
   return result;
}

/* Sends the raw message (its header's size bytes) through channel under mutex, encrypted
 * first when context is not null. The channel's send result, or -1 when the message could
 * not be encrypted. */
int SendRawMessage(AbstractCommChannel *channel, QVCP_MESSAGE *msg, QVCPEncryptionContext *context, Mutex *mutex);

}  // namespace protocol
}  // namespace qv

#endif
