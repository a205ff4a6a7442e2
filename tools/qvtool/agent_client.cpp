/* The client side of the agent's protocol: connection, key exchange, the reader thread
 * and the waits for replies. */
#include "agent_client.h"

#include "agent_protocol.h"

namespace agent {

namespace {

/* Longest single wait on the queue, so that a connection that closed is noticed. */
constexpr uint32_t WAIT_SLICE_MS = 100;

}  // namespace

AgentClient::AgentClient() = default;

AgentClient::~AgentClient()
{
   close();
   delete m_receiver;
   if (m_channel != nullptr)
      m_channel->decRefCount();
   if (m_context != nullptr)
      m_context->decRefCount();
}

bool AgentClient::connect(const InetAddress &addr, uint16_t port, uint32_t timeout, std::string *error)
{
   RegisterCodeNames();
   SOCKET s = ConnectToHost(addr, port, timeout);
   if (s == INVALID_SOCKET)
   {
      m_failure = ClientFailure::CONNECT;
      *error = "nothing accepts connections there; is the agent running?";
      return false;
   }
   m_channel = new SocketCommChannel(s, true);
   m_receiver = new CommChannelMessageReceiver(m_channel, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE);

   MessageReceiverResult result;
   QVCPMessage *request = m_receiver->readMessage(timeout, &result);
   if (request == nullptr)
   {
      if (result == MSGRECV_CLOSED || result == MSGRECV_COMM_FAILURE)
      {
         m_failure = ClientFailure::REFUSED;
         *error = "the agent closed the connection at once; is this host among its allowed peers (AllowedPeer), "
                  "and has the agent room for another session (MaxSessions)?";
      }
      else if (result == MSGRECV_TIMEOUT)
      {
         m_failure = ClientFailure::TIMEOUT;
         *error = "the agent did not start the key exchange in time";
      }
      else
      {
         m_failure = ClientFailure::KEY_EXCHANGE;
         *error = "the peer does not speak the agent's protocol";
      }
      return false;
   }
   if (request->getCode() != CMD_REQUEST_SESSION_KEY)
   {
      delete request;
      m_failure = ClientFailure::KEY_EXCHANGE;
      *error = "the peer does not speak the agent's protocol";
      return false;
   }
   QVCPMessage *reply = nullptr;
   uint32_t rcc = SetupEncryptionContext(request, &m_context, &reply, nullptr, QVCP_DEFAULT_VERSION);
   delete request;
   bool sent = reply != nullptr && SendMessage(m_channel, nullptr, &m_sendMutex, *reply);
   delete reply;
   if (rcc != 0 || !sent)
   {
      m_failure = ClientFailure::KEY_EXCHANGE;
      *error = "the key exchange with the agent failed (code " + std::to_string(rcc) + ")";
      return false;
   }
   m_receiver->setEncryptionContext(m_context);
   m_reader = ThreadStart(readerEntry, 0, this);
   if (m_reader == nullptr)
   {
      m_failure = ClientFailure::CLOSED;
      *error = "the reader thread cannot be started";
      return false;
   }
   return true;
}

void AgentClient::readerEntry(void *arg)
{
   ThreadSetName(nullptr, "agent-client");
   static_cast<AgentClient *>(arg)->readMessages();
}

void AgentClient::readMessages()
{
   while (true)
   {
      MessageReceiverResult result;
      QVCPMessage *msg = m_receiver->readMessage(READ_WAIT_MS, &result);
      if (msg == nullptr)
      {
         if (result == MSGRECV_DECRYPTION_FAILURE || result == MSGRECV_TIMEOUT)
            continue;
         break;
      }
      m_queue.put(msg);
   }
   m_closed.store(true);
}

bool AgentClient::send(const QVCPMessage &msg)
{
   return m_channel != nullptr && SendMessage(m_channel, m_context, &m_sendMutex, msg);
}

QVCPMessage *AgentClient::wait(uint16_t code, uint32_t id, uint32_t timeout)
{
   int64_t deadline = (timeout == INFINITE) ? INT64_MAX : GetCurrentTimeMs() + timeout;
   while (true)
   {
      int64_t left = deadline - GetCurrentTimeMs();
      uint32_t slice = (left < WAIT_SLICE_MS) ? static_cast<uint32_t>((left > 0) ? left : 0) : WAIT_SLICE_MS;
      QVCPMessage *msg = m_queue.waitForMessage(code, id, slice);
      if (msg != nullptr)
         return msg;
      if (m_closed.load())
      {
         // What the reader put before it ended is still there.
         msg = m_queue.waitForMessage(code, id, 0);
         if (msg == nullptr)
            m_failure = ClientFailure::CLOSED;
         return msg;
      }
      if (left <= 0)
      {
         m_failure = ClientFailure::TIMEOUT;
         return nullptr;
      }
   }
}

void AgentClient::close()
{
   if (m_channel != nullptr)
      m_channel->close();
   if (m_reader != nullptr)
   {
      ThreadWaitForExit(m_reader);
      m_reader = nullptr;
   }
   m_closed.store(true);
}

}  // namespace agent
