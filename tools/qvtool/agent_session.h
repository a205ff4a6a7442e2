/* The agent's connections inside the server: the session of one client, a request on its
 * way to the pool, and the listener that filters peers. Private to the agent's server
 * files. */
#ifndef QVTOOL_AGENT_SESSION_H
#define QVTOOL_AGENT_SESSION_H

#include "agent_protocol.h"
#include "agent_server.h"

#include <wchar.h>

#include <atomic>
#include <string>

namespace agent {

/* Debug tag of the agent's own messages. */
constexpr const wchar_t *DEBUG_TAG = L"agent";

/* Name of the worker pool; the pool statistics are found under it. */
constexpr const wchar_t *POOL_NAME = L"AGENT";

/* One connection: its channel, receiver and session key. The reader thread holds one
 * reference and every queued request another; the last release deletes the session. */
struct Session
{
   AgentServer *server;
   SocketCommChannel *channel;
   CommChannelMessageReceiver *receiver;
   QVCPEncryptionContext *context = nullptr;
   Mutex sendMutex;
   std::atomic<int32_t> refs{1};
   volatile int32_t cancelled = 0;  // above 0 once the reader has ended: a transfer stops
   wchar_t key[32];
   InetAddress peer;
   qorvel_thread_t *reader = nullptr;
   // The open put-file transfer; touched only by requests, which run one at a time.
   QVCPFileReceiver *upload = nullptr;

   Session(AgentServer *owner, SOCKET s, const InetAddress &from, uint32_t number)
       : server(owner), channel(new SocketCommChannel(s, true)),
         receiver(new CommChannelMessageReceiver(channel, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE)), peer(from)
   {
      swprintf(key, sizeof(key) / sizeof(key[0]), L"agent-session-%u", number);
   }
   ~Session()
   {
      delete upload;
      delete receiver;
      channel->decRefCount();
      if (context != nullptr)
         context->decRefCount();
   }
   void addRef() { refs.fetch_add(1); }
   void release()
   {
      if (refs.fetch_sub(1) == 1)
         delete this;
   }
   bool send(const QVCPMessage &msg) { return SendMessage(channel, context, &sendMutex, msg); }

   static void readerEntry(void *arg);
   void run();
   bool agreeSessionKey();
};

/* A request waiting for its turn on the pool. */
struct Request
{
   Session *session;
   QVCPMessage *msg;
};

/* The accept loop with the agent's peer filter. */
class AgentListener : public SocketListener
{
public:
   AgentListener(AgentServer *server, uint16_t port) : SocketListener(port), m_server(server) {}

   static void loopEntry(void *arg) { static_cast<AgentListener *>(arg)->mainLoop(); }

protected:
   bool isConnectionAllowed(const InetAddress &peer) override { return m_server->isPeerAllowed(peer); }
   ConnectionProcessingResult processConnection(SOCKET s, const InetAddress &peer) override
   {
      m_server->startSession(s, peer);
      return CPR_BACKGROUND;
   }

private:
   AgentServer *m_server;
};

/* Runs one Request (deleting it) on a worker of the pool, and releases its session. */
void RunRequest(void *arg);

}  // namespace agent

#endif
