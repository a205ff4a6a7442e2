/* SocketConnection::waitForText on a 1 MiB stream that ends with the awaited prompt,
 * beside a bare loop of recv and memmem over a buffer of the same size that keeps the
 * possible start of the prompt the same way. A writer thread sends each round when the
 * reader asks for it. */
#include "bench_loopback.h"

#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <string.h>
#include <sys/socket.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr size_t STREAM_SIZE = 1024 * 1024;

const char PROMPT[] = "router# ";
constexpr size_t PROMPT_SIZE = sizeof(PROMPT) - 1;

/* A SocketConnection on a socket made by the benchmark. */
class AdoptedConnection : public SocketConnection
{
public:
   explicit AdoptedConnection(SOCKET s) { m_socket = s; }
};

/* Sends one stream (output lines, then the prompt) each time round is called. */
class Writer
{
   int m_socket;
   std::string m_stream;
   std::mutex m_mutex;
   std::condition_variable m_wake;
   int m_rounds = 0;
   bool m_stop = false;
   std::thread m_thread;

   void run()
   {
      for (;;)
      {
         {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_wake.wait(lock, [this] { return m_rounds > 0 || m_stop; });
            if (m_stop)
               return;
            m_rounds--;
         }
         size_t done = 0;
         while (done < m_stream.size())
         {
            ssize_t n = send(m_socket, m_stream.data() + done, m_stream.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
               return;
            done += static_cast<size_t>(n);
         }
      }
   }

public:
   explicit Writer(int s) : m_socket(s)
   {
      for (int i = 0; m_stream.size() < STREAM_SIZE - PROMPT_SIZE; i++)
         m_stream += "interface GigabitEthernet0/" + std::to_string(i) + " is up, line protocol is up\r\n";
      m_stream.resize(STREAM_SIZE - PROMPT_SIZE);
      m_stream += PROMPT;
      m_thread = std::thread([this] { run(); });
   }
   ~Writer()
   {
      {
         std::lock_guard<std::mutex> lock(m_mutex);
         m_stop = true;
      }
      m_wake.notify_one();
      m_thread.join();
   }
   void round()
   {
      {
         std::lock_guard<std::mutex> lock(m_mutex);
         m_rounds++;
      }
      m_wake.notify_one();
   }
};

void BM_WaitForText(benchmark::State &state)
{
   int client, server;
   ConnectLoopbackPair(&client, &server);
   AdoptedConnection connection(client);
   {
      Writer writer(server);
      for (auto _ : state)
      {
         writer.round();
         if (!connection.waitForText(PROMPT, 10000))
         {
            state.SkipWithError("prompt not found");
            break;
         }
      }
      shutdown(server, SHUT_RDWR);
   }
   close(server);
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * STREAM_SIZE));
}

void BM_RecvMemmem(benchmark::State &state)
{
   int client, server;
   ConnectLoopbackPair(&client, &server);
   {
      Writer writer(server);
      char buffer[SocketConnection::TEXT_BUFFER_SIZE];
      size_t held = 0;
      for (auto _ : state)
      {
         writer.round();
         for (;;)
         {
            const char *found = static_cast<const char *>(memmem(buffer, held, PROMPT, PROMPT_SIZE));
            if (found != nullptr)
            {
               size_t rest = held - static_cast<size_t>(found - buffer) - PROMPT_SIZE;
               memmove(buffer, found + PROMPT_SIZE, rest);
               held = rest;
               break;
            }
            if (held > PROMPT_SIZE - 1)
            {
               memmove(buffer, buffer + held - (PROMPT_SIZE - 1), PROMPT_SIZE - 1);
               held = PROMPT_SIZE - 1;
            }
            ssize_t n = recv(client, buffer + held, sizeof(buffer) - 1 - held, 0);
            if (n <= 0)
            {
               state.SkipWithError("stream ended");
               break;
            }
            held += static_cast<size_t>(n);
         }
      }
      shutdown(server, SHUT_RDWR);
   }
   close(server);
   close(client);
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * STREAM_SIZE));
}

}  // namespace

BENCHMARK(BM_WaitForText)->UseRealTime();
BENCHMARK(BM_RecvMemmem)->UseRealTime();
