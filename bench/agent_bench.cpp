/* Requests per second through qvtool's agent from 4 client connections at once: the
 * 64-byte echo and the info table, each over an encrypted session, beside the floor of
 * plain TCP request/reply of 64 bytes over loopback (one server thread per connection,
 * as the agent has one reader per connection). The ratios in the report are
 * agent/floor of the items per second. */
#include "agent_client.h"
#include "agent_protocol.h"
#include "agent_server.h"
#include "bench_loopback.h"

#include <benchmark/benchmark.h>

#include <string.h>

#include <thread>

namespace {

/* Client connections, one per benchmark thread. */
constexpr int CONNECTIONS = 4;
/* Milliseconds a client waits for a reply before the benchmark counts a failure. */
constexpr uint32_t REPLY_TIMEOUT = 10000;

/* One agent for the whole program, on a free loopback port. */
agent::AgentServer &Agent()
{
   static agent::AgentServer *server = [] {
      InitQorvelProcess();
      InitCryptoLib(QVCP_ALL_CIPHERS);
      static RSA_KEY key = RSAGenerateKey(2048);
      agent::AgentSettings settings;
      settings.port = 0;
      settings.listenAddress = L"127.0.0.1";
      settings.minWorkers = CONNECTIONS;
      settings.maxWorkers = 2 * CONNECTIONS;
      agent::AgentServer *s = new agent::AgentServer();
      std::string error;
      if (key == nullptr || !s->start(settings, key, &error))
         abort();
      return s;
   }();
   return *server;
}

/* Sends one request of code per iteration and waits for its reply. */
void RunRequests(benchmark::State &state, uint16_t code, void (*fill)(QVCPMessage *))
{
   agent::AgentServer &server = Agent();
   agent::AgentClient client;
   std::string error;
   if (!client.connect(InetAddress::LOOPBACK, server.port(), REPLY_TIMEOUT, &error))
   {
      state.SkipWithError(error.c_str());
      return;
   }
   for (auto _ : state)
   {
      QVCPMessage request(code, client.nextId());
      fill(&request);
      client.send(request);
      QVCPMessage *reply = client.wait(CMD_REQUEST_COMPLETED, request.getId(), REPLY_TIMEOUT);
      if (reply == nullptr)
      {
         state.SkipWithError("no reply");
         break;
      }
      benchmark::DoNotOptimize(reply->getFieldAsUInt32(agent::FIELD_RCC));
      delete reply;
   }
   state.SetItemsProcessed(state.iterations());
}

void FillEcho(QVCPMessage *msg)
{
   static const uint8_t payload[agent::ECHO_PAYLOAD_SIZE] = {1, 2, 3};
   msg->setField(agent::FIELD_PAYLOAD, payload, sizeof(payload));
}

void FillInfo(QVCPMessage *msg)
{
   msg->setField(agent::FIELD_TABLE_NAME, L"info");
}

void BM_AgentEcho(benchmark::State &state)
{
   RunRequests(state, agent::CMD_AGENT_ECHO, FillEcho);
}
BENCHMARK(BM_AgentEcho)->Name("Requests/agent_echo_64B")->Threads(CONNECTIONS)->UseRealTime();

void BM_AgentInfo(benchmark::State &state)
{
   RunRequests(state, agent::CMD_GET_TABLE_REQUEST, FillInfo);
}
BENCHMARK(BM_AgentInfo)->Name("Requests/agent_info")->Threads(CONNECTIONS)->UseRealTime();

/* Reads a 64-byte request and writes it back until the client closes. */
void EchoServer(int s)
{
   char buffer[agent::ECHO_PAYLOAD_SIZE];
   while (true)
   {
      size_t got = 0;
      while (got < sizeof(buffer))
      {
         ssize_t n = read(s, buffer + got, sizeof(buffer) - got);
         if (n <= 0)
         {
            close(s);
            return;
         }
         got += static_cast<size_t>(n);
      }
      if (write(s, buffer, sizeof(buffer)) != static_cast<ssize_t>(sizeof(buffer)))
      {
         close(s);
         return;
      }
   }
}

void BM_RawRequestReply(benchmark::State &state)
{
   int client, server;
   ConnectLoopbackPair(&client, &server);
   std::thread peer(EchoServer, server);
   char buffer[agent::ECHO_PAYLOAD_SIZE] = {1, 2, 3};
   for (auto _ : state)
   {
      if (write(client, buffer, sizeof(buffer)) != static_cast<ssize_t>(sizeof(buffer)))
         abort();
      size_t got = 0;
      while (got < sizeof(buffer))
      {
         ssize_t n = read(client, buffer + got, sizeof(buffer) - got);
         if (n <= 0)
            abort();
         got += static_cast<size_t>(n);
      }
   }
   close(client);
   peer.join();
   state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawRequestReply)->Name("Requests/raw_tcp_64B")->Threads(CONNECTIONS)->UseRealTime();

}  // namespace
