/* Message receivers against raw loopback TCP in the same program: throughput of a stream
 * of messages read by a SocketMessageReceiver against recv of the same bytes, for small
 * field messages and for 64 KiB binary messages, and a request/reply round trip through
 * two receivers against a 64-byte TCP ping-pong. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include "bench_loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

/* Bytes of the field of the small messages, and of the data of the large ones. */
constexpr size_t SMALL_FIELD_BYTES = 64;
constexpr size_t LARGE_DATA_BYTES = 65536;

/* Bytes of messages the sender streams per round (the receiver reads one round per
 * iteration). */
constexpr size_t ROUND_BYTES = 4 << 20;

/* Receive buffer of the receivers and of the raw reads. */
constexpr size_t BUFFER_SIZE = 65536;
constexpr size_t MAX_MESSAGE_SIZE = 1 << 20;

/* Bytes of one raw ping and pong. */
constexpr size_t PING_BYTES = 64;

constexpr uint32_t FIELD_ID = 1;

/* A connected loopback TCP pair with Nagle off. */
struct TcpPair
{
   int client = -1;
   int server = -1;

   TcpPair()
   {
      ConnectLoopbackPair(&client, &server);
      int one = 1;
      setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
   }
   ~TcpPair()
   {
      close(client);
      close(server);
   }
};

bool SendAll(int fd, const uint8_t *data, size_t size)
{
   while (size > 0)
   {
      ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
      if (n <= 0)
         return false;
      data += n;
      size -= static_cast<size_t>(n);
   }
   return true;
}

bool RecvAllBytes(int fd, uint8_t *buffer, size_t size)
{
   while (size > 0)
   {
      ssize_t n = recv(fd, buffer, size, 0);
      if (n <= 0)
         return false;
      buffer += n;
      size -= static_cast<size_t>(n);
   }
   return true;
}

Bytes Serialize(const QVCPMessage &msg)
{
   QVCP_MESSAGE *raw = msg.serialize();
   const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
   Bytes bytes(p, p + ntohl(raw->size));
   free(raw);
   return bytes;
}

/* A field message whose one binary field holds SMALL_FIELD_BYTES bytes. */
QVCPMessage SmallMessage(uint16_t code, uint32_t id)
{
   QVCPMessage msg(code, id);
   uint8_t field[SMALL_FIELD_BYTES];
   memset(field, 'f', sizeof(field));
   msg.setField(FIELD_ID, field, sizeof(field));
   return msg;
}

/* A binary message of LARGE_DATA_BYTES bytes, built by hand (binary messages come from
 * the raw I/O layer). */
Bytes LargeMessage(uint32_t id)
{
   uint32_t size = static_cast<uint32_t>(QVCP_HEADER_SIZE + LARGE_DATA_BYTES);
   Bytes bytes(size, 'd');
   uint32_t header[4] = {htonl((uint32_t(CMD_FILE_DATA) << 16) | QVCP_MF_BINARY), htonl(size), htonl(id),
                         htonl(static_cast<uint32_t>(LARGE_DATA_BYTES))};
   memcpy(bytes.data(), header, sizeof(header));
   return bytes;
}

/* One round of messages: copies of one message up to about ROUND_BYTES. */
Bytes Round(const Bytes &msg, size_t *count)
{
   *count = (ROUND_BYTES + msg.size() - 1) / msg.size();
   Bytes round;
   round.reserve(*count * msg.size());
   for (size_t i = 0; i < *count; i++)
      round.insert(round.end(), msg.begin(), msg.end());
   return round;
}

/* Streams rounds from the client end until the connection is shut down. */
class Streamer
{
   std::thread m_thread;

public:
   Streamer(int fd, const Bytes &round)
   {
      m_thread = std::thread([fd, &round] {
         while (SendAll(fd, round.data(), round.size()))
         {}
      });
   }
   void stop(int fd)
   {
      shutdown(fd, SHUT_RDWR);
      m_thread.join();
   }
};

void Throughput(benchmark::State &state, const Bytes &msg, bool receiver)
{
   size_t count;
   Bytes round = Round(msg, &count);
   TcpPair pair;
   Streamer streamer(pair.client, round);
   SocketMessageReceiver rx(pair.server, BUFFER_SIZE, MAX_MESSAGE_SIZE);
   std::vector<uint8_t> buffer(BUFFER_SIZE);
   for (auto _ : state)
   {
      if (receiver)
      {
         for (size_t i = 0; i < count; i++)
         {
            MessageReceiverResult result;
            QVCPMessage *m = rx.readMessage(INFINITE, &result);
            if (m == nullptr)
            {
               state.SkipWithError("receive failed");
               break;
            }
            benchmark::DoNotOptimize(m->getId());
            delete m;
         }
      }
      else
      {
         for (size_t left = round.size(); left > 0;)
         {
            ssize_t n = recv(pair.server, buffer.data(), (left < buffer.size()) ? left : buffer.size(), 0);
            if (n <= 0)
            {
               state.SkipWithError("receive failed");
               break;
            }
            left -= static_cast<size_t>(n);
         }
      }
   }
   state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * count));
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * round.size()));
   streamer.stop(pair.client);
}

void BM_SmallMessagesReceiver(benchmark::State &state)
{
   Throughput(state, Serialize(SmallMessage(CMD_KEEPALIVE, 1)), true);
}
void BM_SmallMessagesRawTcp(benchmark::State &state)
{
   Throughput(state, Serialize(SmallMessage(CMD_KEEPALIVE, 1)), false);
}
void BM_LargeMessagesReceiver(benchmark::State &state)
{
   Throughput(state, LargeMessage(1), true);
}
void BM_LargeMessagesRawTcp(benchmark::State &state)
{
   Throughput(state, LargeMessage(1), false);
}

/* Client sends a request, the server thread reads it with its receiver and answers with a
 * reply of the same id, the client reads the reply with its own receiver. */
void BM_RoundTripReceivers(benchmark::State &state)
{
   TcpPair pair;
   std::thread server([&pair] {
      SocketMessageReceiver rx(pair.server, BUFFER_SIZE, MAX_MESSAGE_SIZE);
      for (;;)
      {
         MessageReceiverResult result;
         QVCPMessage *request = rx.readMessage(INFINITE, &result);
         if (request == nullptr)
            return;
         Bytes reply = Serialize(SmallMessage(CMD_REQUEST_COMPLETED, request->getId()));
         delete request;
         if (!SendAll(pair.server, reply.data(), reply.size()))
            return;
      }
   });
   SocketMessageReceiver rx(pair.client, BUFFER_SIZE, MAX_MESSAGE_SIZE);
   uint32_t id = 0;
   for (auto _ : state)
   {
      Bytes request = Serialize(SmallMessage(CMD_KEEPALIVE, ++id));
      MessageReceiverResult result;
      QVCPMessage *reply = nullptr;
      if (SendAll(pair.client, request.data(), request.size()))
         reply = rx.readMessage(INFINITE, &result);
      if (reply == nullptr || reply->getId() != id)
      {
         state.SkipWithError("round trip failed");
         delete reply;
         break;
      }
      delete reply;
   }
   shutdown(pair.client, SHUT_RDWR);
   server.join();
}

void BM_RoundTripRawTcp(benchmark::State &state)
{
   TcpPair pair;
   std::thread server([&pair] {
      uint8_t ping[PING_BYTES];
      while (RecvAllBytes(pair.server, ping, sizeof(ping)) && SendAll(pair.server, ping, sizeof(ping)))
      {}
   });
   uint8_t ping[PING_BYTES];
   memset(ping, 'p', sizeof(ping));
   for (auto _ : state)
   {
      if (!SendAll(pair.client, ping, sizeof(ping)) || !RecvAllBytes(pair.client, ping, sizeof(ping)))
      {
         state.SkipWithError("round trip failed");
         break;
      }
   }
   shutdown(pair.client, SHUT_RDWR);
   server.join();
}

}  // namespace

BENCHMARK(BM_SmallMessagesReceiver)->UseRealTime();
BENCHMARK(BM_SmallMessagesRawTcp)->UseRealTime();
BENCHMARK(BM_LargeMessagesReceiver)->UseRealTime();
BENCHMARK(BM_LargeMessagesRawTcp)->UseRealTime();
BENCHMARK(BM_RoundTripReceivers)->UseRealTime();
BENCHMARK(BM_RoundTripRawTcp)->UseRealTime();
