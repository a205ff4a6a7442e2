/* SendFileOverQVCP of a 64 MiB file over loopback TCP, without compression and with each
 * stream compression method, beside the plain ways of moving the same file: sendfile and
 * a read/write loop. A thread on the other end drains the connection. Throughput counts
 * file bytes; "wire_ratio" is the bytes on the wire per file byte. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include "bench_loopback.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

namespace {

/* Size of the file moved. */
constexpr size_t FILE_SIZE = 64 * 1024 * 1024;

/* Buffer of the draining reader and of the peer's read/write loop. */
constexpr size_t IO_BUFFER_SIZE = 256 * 1024;

/* Stretch of the file that is either text or noise, so that the compressors meet both. */
constexpr size_t STRETCH = 4096;

/* The test file, made once for the whole run and removed at exit. */
const std::string &TestFile()
{
   static std::string path;
   if (!path.empty())
      return path;
   char name[] = "/tmp/qv_file_transfer_bench_XXXXXX";
   int fd = mkstemp(name);
   std::mt19937 random(1);
   std::string block(STRETCH, ' ');
   for (size_t done = 0; done < FILE_SIZE; done += STRETCH)
   {
      bool noise = (done / STRETCH) % 3 == 0;
      for (size_t i = 0; i < STRETCH; i++)
         block[i] = noise ? char(random()) : "2026-12-09 06:11:21 *I* agent: poll done\n"[i % 42];
      if (write(fd, block.data(), STRETCH) != ssize_t(STRETCH))
         abort();
   }
   close(fd);
   path = name;
   atexit([] { unlink(path.c_str()); });
   return path;
}

/* A loopback connection and a thread that reads the far end until it closes. */
class DrainedLink
{
   int m_sender = -1;
   int m_receiver = -1;
   std::thread m_drain;
   std::atomic<size_t> m_received{0};

public:
   DrainedLink()
   {
      ConnectLoopbackPair(&m_sender, &m_receiver);
      m_drain = std::thread([this] {
         char *buffer = static_cast<char *>(malloc(IO_BUFFER_SIZE));
         ssize_t n;
         while ((n = recv(m_receiver, buffer, IO_BUFFER_SIZE, 0)) > 0)
            m_received += size_t(n);
         free(buffer);
      });
   }
   ~DrainedLink()
   {
      close(m_sender);
      close(m_receiver);
   }
   int sender() const { return m_sender; }
   /* Ends the sending side and waits until the reader has everything; the bytes read. */
   size_t finish()
   {
      shutdown(m_sender, SHUT_WR);
      m_drain.join();
      return m_received;
   }
};

void Report(benchmark::State &state, size_t wireBytes)
{
   state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(FILE_SIZE));
   state.counters["wire_ratio"] = double(wireBytes) / double(FILE_SIZE);
}

void BM_SendFileOverQVCP(benchmark::State &state)
{
   QVCPStreamCompressionMethod method = QVCPStreamCompressionMethod(state.range(0));
   wchar_t *path = WideStringFromUTF8String(TestFile().c_str());
   size_t wire = 0;
   for (auto _ : state)
   {
      DrainedLink link;
      if (!SendFileOverQVCP(link.sender(), 1, path, nullptr, 0, nullptr, nullptr, nullptr, method))
         state.SkipWithError("SendFileOverQVCP failed");
      wire = link.finish();
   }
   free(path);
   Report(state, wire);
}
BENCHMARK(BM_SendFileOverQVCP)
    ->ArgName("method")
    ->Arg(STREAM_COMPRESSION_NONE)
    ->Arg(STREAM_COMPRESSION_LZ4)
    ->Arg(STREAM_COMPRESSION_DEFLATE)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/* The peer: the kernel copies the file to the socket. */
void BM_PeerSendfile(benchmark::State &state)
{
   size_t wire = 0;
   for (auto _ : state)
   {
      DrainedLink link;
      int fd = open(TestFile().c_str(), O_RDONLY);
      off_t offset = 0;
      while (size_t(offset) < FILE_SIZE)
         if (sendfile(link.sender(), fd, &offset, FILE_SIZE - size_t(offset)) <= 0)
            break;
      close(fd);
      wire = link.finish();
   }
   Report(state, wire);
}
BENCHMARK(BM_PeerSendfile)->Unit(benchmark::kMillisecond)->UseRealTime();

/* The peer: read a buffer, write it out, as a program without sendfile does. */
void BM_PeerReadWriteLoop(benchmark::State &state)
{
   char *buffer = static_cast<char *>(malloc(IO_BUFFER_SIZE));
   size_t wire = 0;
   for (auto _ : state)
   {
      DrainedLink link;
      int fd = open(TestFile().c_str(), O_RDONLY);
      ssize_t n;
      while ((n = read(fd, buffer, IO_BUFFER_SIZE)) > 0)
         for (ssize_t sent = 0, w; sent < n; sent += w)
            if ((w = write(link.sender(), buffer + sent, size_t(n - sent))) <= 0)
               abort();
      close(fd);
      wire = link.finish();
   }
   free(buffer);
   Report(state, wire);
}
BENCHMARK(BM_PeerReadWriteLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
