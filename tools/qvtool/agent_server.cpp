/* The agent's server: a socket listener that filters peers, and one reader thread per
 * connection that agrees the session key and reads requests with a message receiver;
 * the requests run on the pool "AGENT" one at a time per connection. */
#include "agent_server.h"

#include "agent_session.h"

#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace agent {

namespace {

/* Attempts at finding a port free on both families when the configuration says 0. */
constexpr int FREE_PORT_ATTEMPTS = 20;

std::wstring PeerText(const InetAddress &peer)
{
   wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
   return peer.toString(text);
}

}  // namespace

/* ---- the session's reader ---- */

void Session::readerEntry(void *arg)
{
   Session *session = static_cast<Session *>(arg);
   ThreadSetName(nullptr, "agent-reader");
   session->run();
}

bool Session::agreeSessionKey()
{
   QVCPMessage request(CMD_REQUEST_SESSION_KEY, 0);
   PrepareKeyRequestMsg(&request, server->m_key, false);
   request.disableEncryption();
   if (!send(request))
      return false;
   MessageReceiverResult result;
   QVCPMessage *reply = receiver->readMessage(KEY_EXCHANGE_TIMEOUT, &result);
   if (reply == nullptr)
   {
      qvlog_debug_tag(DEBUG_TAG, 4, L"no session key from %s (%s)", PeerText(peer).c_str(),
                      AbstractMessageReceiver::resultToText(result));
      return false;
   }
   if (reply->getCode() != CMD_SESSION_KEY)
   {
      // Anything else (a key request of the client's own included) sets up no session.
      qvlog_debug_tag(DEBUG_TAG, 4, L"%s answered the key request with code 0x%04X", PeerText(peer).c_str(),
                      reply->getCode());
      delete reply;
      return false;
   }
   QVCPMessage *answer = nullptr;
   uint32_t rcc = SetupEncryptionContext(reply, &context, &answer, server->m_key, QVCP_DEFAULT_VERSION);
   delete answer;
   delete reply;
   if (rcc != 0)
   {
      qvlog_debug_tag(DEBUG_TAG, 4, L"key exchange with %s failed (%u)", PeerText(peer).c_str(), rcc);
      return false;
   }
   receiver->setEncryptionContext(context);
   return true;
}

void Session::run()
{
   if (agreeSessionKey())
   {
      server->m_sessionCount.fetch_add(1, std::memory_order_relaxed);
      qvlog_debug_tag(DEBUG_TAG, 4, L"session with %s set up", PeerText(peer).c_str());
      while (true)
      {
         MessageReceiverResult result;
         QVCPMessage *msg = receiver->readMessage(READ_WAIT_MS, &result);
         if (msg == nullptr)
         {
            // A message that fails decryption is lost alone; the stream stays aligned.
            if (result == MSGRECV_DECRYPTION_FAILURE || result == MSGRECV_TIMEOUT)
               continue;
            qvlog_debug_tag(DEBUG_TAG, 4, L"session with %s ended (%s)", PeerText(peer).c_str(),
                            AbstractMessageReceiver::resultToText(result));
            break;
         }
         // Once the session key is agreed, a plain message may have been written by anyone
         // on the path: the session ends rather than act on it.
         if (!receiver->wasLastMessageEncrypted())
         {
            qvlog_debug_tag(DEBUG_TAG, 4, L"session with %s ended (plain message 0x%04X after key exchange)",
                            PeerText(peer).c_str(), msg->getCode());
            delete msg;
            break;
         }
         addRef();
         ThreadPoolExecuteSerialized(server->m_pool, key, RunRequest, new Request{this, msg});
      }
   }
   else
   {
      server->m_failedHandshakes.fetch_add(1, std::memory_order_relaxed);
   }
   __atomic_store_n(&cancelled, 1, __ATOMIC_RELEASE);
   channel->shutdown();
   server->sessionEnded(this);
   release();
}

/* ---- the server ---- */

AgentServer::AgentServer() = default;

AgentServer::~AgentServer()
{
   stop();
}

namespace {

/* A port that both families can bind on the address (loopback and every address alike),
 * found by binding port 0; 0 when none was found. Another program may still take it
 * before the listener binds, which the listener then reports. */
uint16_t FindFreePort()
{
   for (int attempt = 0; attempt < FREE_PORT_ATTEMPTS; attempt++)
   {
      int v4 = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in a4 = {};
      a4.sin_family = AF_INET;
      socklen_t len = sizeof(a4);
      uint16_t port = 0;
      if (v4 >= 0 && bind(v4, reinterpret_cast<sockaddr *>(&a4), sizeof(a4)) == 0 &&
          getsockname(v4, reinterpret_cast<sockaddr *>(&a4), &len) == 0)
         port = ntohs(a4.sin_port);
      int v6 = socket(AF_INET6, SOCK_STREAM, 0);
      bool free6 = true;
      if (v6 >= 0 && port != 0)
      {
         int one = 1;
         setsockopt(v6, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof(one));
         sockaddr_in6 a6 = {};
         a6.sin6_family = AF_INET6;
         a6.sin6_port = htons(port);
         free6 = bind(v6, reinterpret_cast<sockaddr *>(&a6), sizeof(a6)) == 0 || errno == EAFNOSUPPORT;
      }
      if (v4 >= 0)
         close(v4);
      if (v6 >= 0)
         close(v6);
      if (port != 0 && free6)
         return port;
   }
   return 0;
}

}  // namespace

bool AgentServer::start(const AgentSettings &settings, RSA_KEY key, std::string *error)
{
   RegisterCodeNames();
   m_key = key;
   m_startTime = GetCurrentTimeMs();
   {
      std::lock_guard<std::mutex> guard(m_lock);
      m_settings = std::make_shared<const AgentSettings>(settings);
   }
   m_port = (settings.port != 0) ? settings.port : FindFreePort();
   if (m_port == 0)
   {
      *error = "no free port was found";
      return false;
   }
   m_pool = ThreadPoolCreate(POOL_NAME, settings.minWorkers, settings.maxWorkers, 0);
   if (m_pool == nullptr)
   {
      *error = "the worker pool cannot be made";
      return false;
   }
   ApplyLibraryLimits(settings, m_pool);
   m_listener = new AgentListener(this, m_port);
   m_listener->setName(L"agent");
   if (!settings.listenAddress.empty())
      m_listener->setListenAddress(settings.listenAddress.c_str());
   if (!m_listener->initialize())
   {
      *error = "port " + std::to_string(m_port) + " cannot be bound (is another program using it?)";
      delete m_listener;
      m_listener = nullptr;
      ThreadPoolDestroy(m_pool);
      m_pool = nullptr;
      return false;
   }
   m_listenerThread = ThreadStart(AgentListener::loopEntry, 0, m_listener);
   if (m_listenerThread == nullptr)
   {
      *error = "the listener thread cannot be started";
      delete m_listener;
      m_listener = nullptr;
      ThreadPoolDestroy(m_pool);
      m_pool = nullptr;
      return false;
   }
   return true;
}

void AgentServer::updateSettings(const AgentSettings &settings)
{
   std::shared_ptr<const AgentSettings> old = this->settings();
   if (old->port != settings.port || old->listenAddress != settings.listenAddress ||
       old->minWorkers != settings.minWorkers || old->maxWorkers != settings.maxWorkers)
      qvlog_write_generic(EVENTLOG_WARNING_TYPE,
                          L"the port, the listen address and the worker limits change at the agent's next start");
   {
      std::lock_guard<std::mutex> guard(m_lock);
      m_settings = std::make_shared<const AgentSettings>(settings);
   }
   ApplyLibraryLimits(settings, m_pool);
}

std::shared_ptr<const AgentSettings> AgentServer::settings() const
{
   std::lock_guard<std::mutex> guard(m_lock);
   return m_settings;
}

bool AgentServer::isPeerAllowed(const InetAddress &peer)
{
   std::shared_ptr<const AgentSettings> s = settings();
   if (s->allowEveryPeer)
      return true;
   if (s->allowedPeers.empty())
      return peer.isLoopback();
   for (const InetAddress &subnet : s->allowedPeers)
   {
      if (subnet.contain(peer))
         return true;
   }
   return false;
}

void AgentServer::startSession(SOCKET s, const InetAddress &peer)
{
   reapEndedReaders();
   uint32_t maxSessions = settings()->maxSessions;
   std::lock_guard<std::mutex> guard(m_lock);
   // Every session holds a thread: past the configured number, a connection is closed at
   // once rather than let clients exhaust the agent.
   if (m_sessions.size() >= maxSessions)
   {
      qvlog_debug_tag(DEBUG_TAG, 4, L"connection from %s closed: %u sessions already", PeerText(peer).c_str(),
                      static_cast<uint32_t>(m_sessions.size()));
      shutdown(s, SHUT_RDWR);
      close(s);
      return;
   }
   Session *session = new Session(this, s, peer, ++m_nextSession);
   m_sessions.push_back(session);
   session->reader = ThreadStart(Session::readerEntry, 0, session);
   if (session->reader == nullptr)
   {
      m_sessions.pop_back();
      session->release();
   }
}

void AgentServer::sessionEnded(Session *session)
{
   std::lock_guard<std::mutex> guard(m_lock);
   for (size_t i = 0; i < m_sessions.size(); i++)
   {
      if (m_sessions[i] == session)
      {
         m_sessions.erase(m_sessions.begin() + static_cast<std::ptrdiff_t>(i));
         break;
      }
   }
   m_endedReaders.push_back(session->reader);
   m_sessionsChanged.notify_all();
}

void AgentServer::reapEndedReaders()
{
   std::vector<qorvel_thread_t *> ended;
   {
      std::lock_guard<std::mutex> guard(m_lock);
      ended.swap(m_endedReaders);
   }
   for (qorvel_thread_t *t : ended)
      ThreadWaitForExit(t);
}

void AgentServer::stop()
{
   if (m_listener == nullptr)
      return;
   m_listener->shutdown();
   ThreadWaitForExit(m_listenerThread);
   m_listenerThread = nullptr;
   // Closing the channels wakes every reader; each one then leaves the list by itself.
   {
      std::lock_guard<std::mutex> guard(m_lock);
      for (Session *session : m_sessions)
         session->channel->close();
   }
   {
      std::unique_lock<std::mutex> guard(m_lock);
      m_sessionsChanged.wait(guard, [this] { return m_sessions.empty(); });
   }
   reapEndedReaders();
   ThreadPoolDestroy(m_pool);  // runs what is queued; the closed channels make it quick
   m_pool = nullptr;
   delete m_listener;
   m_listener = nullptr;
}

AgentCounters AgentServer::counters() const
{
   AgentCounters c = {};
   c.requests = m_requests.load(std::memory_order_relaxed);
   c.sessions = m_sessionCount.load(std::memory_order_relaxed);
   c.failedHandshakes = m_failedHandshakes.load(std::memory_order_relaxed);
   {
      std::lock_guard<std::mutex> guard(m_lock);
      c.activeSessions = static_cast<uint32_t>(m_sessions.size());
   }
   if (m_listener != nullptr)
   {
      c.acceptedConnections = m_listener->getAcceptedConnections();
      c.rejectedConnections = m_listener->getRejectedConnections();
   }
   return c;
}

}  // namespace agent
