/* The client side of the agent's protocol, shared by qvtool call and the benchmark: a
 * connection that answers the agent's key exchange, a reader thread that puts every
 * message it receives into a MsgWaitQueue, and waits that match replies to requests by
 * code and id and notice a connection that closed meanwhile. */
#ifndef QVTOOL_AGENT_CLIENT_H
#define QVTOOL_AGENT_CLIENT_H

#include <qorvel.h>

#include <stdint.h>

#include <atomic>
#include <string>

namespace agent {

/* Why a connection or a wait failed. */
enum class ClientFailure
{
   NONE,
   CONNECT,       // nothing accepted the connection
   REFUSED,       // the agent closed the connection before the key exchange (peer filter)
   KEY_EXCHANGE,  // the key exchange failed
   TIMEOUT,       // no answer in time
   CLOSED         // the connection closed while waiting
};

class AgentClient
{
public:
   AgentClient();
   /* Closes the connection and waits for the reader. */
   ~AgentClient();
   AgentClient(const AgentClient &) = delete;
   AgentClient &operator=(const AgentClient &) = delete;

   /* Connects and answers the agent's key exchange, each step waiting up to timeout
    * milliseconds. False with the reason in failure() and a sentence in *error. */
   bool connect(const InetAddress &addr, uint16_t port, uint32_t timeout, std::string *error);

   /* A new request id. */
   uint32_t nextId() { return m_nextId.fetch_add(1) + 1; }
   /* Sends msg encrypted; false when the connection has failed. */
   bool send(const QVCPMessage &msg);
   /* The message of code and id (the caller deletes it), waiting up to timeout
    * milliseconds; null when none came in time (failure() TIMEOUT) or the connection
    * closed first (CLOSED). */
   QVCPMessage *wait(uint16_t code, uint32_t id, uint32_t timeout);
   /* The same without waiting. */
   QVCPMessage *poll(uint16_t code, uint32_t id) { return m_queue.waitForMessage(code, id, 0); }

   ClientFailure failure() const { return m_failure; }
   bool isClosed() const { return m_closed.load(); }
   AbstractCommChannel *channel() const { return m_channel; }
   QVCPEncryptionContext *context() const { return m_context; }
   Mutex *sendMutex() { return &m_sendMutex; }
   /* Closes the connection; a wait in progress ends with CLOSED. */
   void close();

private:
   SocketCommChannel *m_channel = nullptr;
   CommChannelMessageReceiver *m_receiver = nullptr;
   QVCPEncryptionContext *m_context = nullptr;
   Mutex m_sendMutex;
   MsgWaitQueue m_queue;
   qorvel_thread_t *m_reader = nullptr;
   std::atomic<bool> m_closed{false};
   std::atomic<uint32_t> m_nextId{0};
   ClientFailure m_failure = ClientFailure::NONE;

   static void readerEntry(void *arg);
   void readMessages();
};

}  // namespace agent

#endif
