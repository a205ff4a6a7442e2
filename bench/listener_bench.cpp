/* Connections accepted per second through SocketListener (connect, accept, hand over to
 * processConnection, close) against a plain blocking accept loop on the same port. Both
 * listen with a backlog of 4096; the client side is the same plain connect and close. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

/* The system's backlog limit, which the listener asks for too. */
constexpr int BACKLOG = 4096;

uint16_t FreePort()
{
   int fd = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   socklen_t len = sizeof(addr);
   if (bind(fd, reinterpret_cast<sockaddr *>(&addr), len) != 0 ||
       getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
      abort();
   close(fd);
   return ntohs(addr.sin_port);
}

/* One client connection made and dropped. */
void ConnectAndClose(uint16_t port)
{
   int fd = socket(AF_INET, SOCK_STREAM, 0);
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(port);
   if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
      abort();
   close(fd);
}

/* Waits (yielding) until count reaches target. */
void WaitForCount(const std::atomic<int64_t> &count, int64_t target)
{
   while (count.load(std::memory_order_acquire) < target)
      std::this_thread::yield();
}

class CountingListener : public SocketListener
{
public:
   std::atomic<int64_t> served{0};
   explicit CountingListener(uint16_t port) : SocketListener(port, true, false) {}

protected:
   ConnectionProcessingResult processConnection(SOCKET, const InetAddress &) override
   {
      served.fetch_add(1, std::memory_order_release);
      return CPR_COMPLETED;
   }
};

void BM_SocketListener(benchmark::State &state)
{
   uint16_t port = FreePort();
   CountingListener listener(port);
   listener.setListenAddress(L"127.0.0.1");
   if (!listener.initialize())
   {
      state.SkipWithError("listener could not be set up");
      return;
   }
   std::thread loop([&] { listener.mainLoop(); });
   int64_t made = 0;
   for (auto _ : state)
   {
      ConnectAndClose(port);
      made++;
   }
   WaitForCount(listener.served, made);
   state.SetItemsProcessed(made);
   listener.shutdown();
   loop.join();
}

void BM_PlainAcceptLoop(benchmark::State &state)
{
   uint16_t port = FreePort();
   int listener = socket(AF_INET, SOCK_STREAM, 0);
   int on = 1;
   setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
   sockaddr_in addr = {};
   addr.sin_family = AF_INET;
   addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
   addr.sin_port = htons(port);
   if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || ::listen(listener, BACKLOG) != 0)
   {
      state.SkipWithError("listener could not be set up");
      return;
   }
   std::atomic<int64_t> served{0};
   std::atomic<bool> stop{false};
   std::thread loop([&] {
      while (!stop.load(std::memory_order_acquire))
      {
         int fd = accept(listener, nullptr, nullptr);
         if (fd < 0)
            continue;
         shutdown(fd, SHUT_RDWR);
         close(fd);
         served.fetch_add(1, std::memory_order_release);
      }
   });
   int64_t made = 0;
   for (auto _ : state)
   {
      ConnectAndClose(port);
      made++;
   }
   WaitForCount(served, made);
   state.SetItemsProcessed(made);
   stop = true;
   ConnectAndClose(port);  // wakes the blocked accept
   loop.join();
   close(listener);
}

}  // namespace

BENCHMARK(BM_SocketListener)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainAcceptLoop)->UseRealTime()->MinTime(2.0);
