/* SendFileOverQVCP of a 64 MiB file over loopback TCP, without compression and with each
 * stream compression method, beside the plain ways of moving the same file: sendfile and
 * a read/write loop. A thread on the other end drains the connection. Throughput counts
 * file bytes; "wire_ratio" is the bytes on the wire per file byte.
 *
 * The receiving side: the same transfers, recorded once, played into a loopback
 * connection by a thread that only writes, and stored by ReceiveFileOverQVCP, beside a
 * bare loop of RecvQVCPMessageEx and fwrite that checks nothing (the way files were
 * received before the library had a receiver). */
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
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

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

/* Transfers as they go over the wire, recorded once per method. */
const std::vector<uint8_t> &RecordedTransfer(QVCPStreamCompressionMethod method)
{
   static std::map<int, std::vector<uint8_t>> recorded;
   std::vector<uint8_t> &wire = recorded[method];
   if (!wire.empty())
      return wire;
   int sender = -1, receiver = -1;
   ConnectLoopbackPair(&sender, &receiver);
   std::thread reader([&] {
      std::vector<uint8_t> chunk(IO_BUFFER_SIZE);
      ssize_t n;
      while ((n = recv(receiver, chunk.data(), chunk.size(), 0)) > 0)
         wire.insert(wire.end(), chunk.begin(), chunk.begin() + n);
   });
   wchar_t *path = WideStringFromUTF8String(TestFile().c_str());
   if (!SendFileOverQVCP(sender, 1, path, nullptr, 0, nullptr, nullptr, nullptr, method))
      abort();
   free(path);
   shutdown(sender, SHUT_WR);
   reader.join();
   close(sender);
   close(receiver);
   return wire;
}

/* A loopback connection whose far end a thread feeds with the recorded bytes. */
class PlayedLink
{
   int m_sender = -1;
   int m_receiver = -1;
   std::thread m_player;

public:
   explicit PlayedLink(const std::vector<uint8_t> &wire)
   {
      ConnectLoopbackPair(&m_sender, &m_receiver);
      m_player = std::thread([this, &wire] {
         for (size_t done = 0; done < wire.size();)
         {
            ssize_t n = send(m_sender, wire.data() + done, wire.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
               break;
            done += size_t(n);
         }
      });
   }
   ~PlayedLink()
   {
      shutdown(m_receiver, SHUT_RDWR);
      m_player.join();
      close(m_sender);
      close(m_receiver);
   }
   int receiver() const { return m_receiver; }
};

/* A directory for the received files, made once and removed at exit. */
const std::string &ReceiveDir()
{
   static std::string dir;
   if (dir.empty())
   {
      char name[] = "/tmp/qv_file_receive_bench_XXXXXX";
      if (mkdtemp(name) == nullptr)
         abort();
      dir = name;
      atexit([] {
         unlink((dir + "/received").c_str());
         rmdir(dir.c_str());
      });
   }
   return dir;
}

void BM_ReceiveFileOverQVCP(benchmark::State &state)
{
   const std::vector<uint8_t> &wire = RecordedTransfer(QVCPStreamCompressionMethod(state.range(0)));
   wchar_t *dir = WideStringFromUTF8String(ReceiveDir().c_str());
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   for (auto _ : state)
   {
      unlink((ReceiveDir() + "/received").c_str());
      PlayedLink link(wire);
      QVCPInitBuffer(buffer);
      QVCPFileReceiver receiver(1);
      if (receiver.open(dir, L"received", int64_t(FILE_SIZE)) != FILERECV_MORE_DATA ||
          ReceiveFileOverQVCP(link.receiver(), buffer, &receiver, nullptr, nullptr, nullptr, nullptr, nullptr) !=
              FILERECV_SUCCESS)
         state.SkipWithError("the file was not received");
   }
   free(buffer);
   free(dir);
   Report(state, wire.size());
}
BENCHMARK(BM_ReceiveFileOverQVCP)
    ->ArgName("method")
    ->Arg(STREAM_COMPRESSION_NONE)
    ->Arg(STREAM_COMPRESSION_LZ4)
    ->Arg(STREAM_COMPRESSION_DEFLATE)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

/* The peer: each message read with RecvQVCPMessageEx, its frame restored, its bytes put
 * with fwrite, and nothing checked. */
void BM_PeerBareReceiveLoop(benchmark::State &state)
{
   const std::vector<uint8_t> &wire = RecordedTransfer(QVCPStreamCompressionMethod(state.range(0)));
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   std::string path = ReceiveDir() + "/received";
   for (auto _ : state)
   {
      PlayedLink link(wire);
      QVCPInitBuffer(buffer);
      uint32_t size = QVCP_HEADER_SIZE;
      QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(malloc(size));
      FILE *out = fopen(path.c_str(), "wb");
      StreamCompressor *decompressor = nullptr;
      bool done = false;
      while (!done && RecvQVCPMessageEx(link.receiver(), &msg, buffer, &size, nullptr, nullptr, INFINITE, 1 << 20) >=
                          int(QVCP_HEADER_SIZE))
      {
         const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
         const uint8_t *data = raw + QVCP_HEADER_SIZE;
         size_t length = size_t(raw[12]) << 24 | size_t(raw[13]) << 16 | size_t(raw[14]) << 8 | raw[15];
         if ((raw[3] & QVCP_MF_COMPRESSED) != 0)
         {
            if (decompressor == nullptr)
               decompressor =
                   StreamCompressor::create(QVCPStreamCompressionMethod(data[0]), false, QVCP_FILE_CHUNK_SIZE);
            const uint8_t *block = nullptr;
            length = decompressor->decompress(data + QVCP_FILE_FRAME_HEADER_SIZE, length - QVCP_FILE_FRAME_HEADER_SIZE,
                                              &block);
            data = block;
         }
         fwrite(data, 1, length, out);
         done = (raw[3] & QVCP_MF_END_OF_FILE) != 0;
      }
      delete decompressor;
      fclose(out);
      free(msg);
      if (!done)
         state.SkipWithError("the file was not received");
   }
   free(buffer);
   Report(state, wire.size());
}
BENCHMARK(BM_PeerBareReceiveLoop)
    ->ArgName("method")
    ->Arg(STREAM_COMPRESSION_NONE)
    ->Arg(STREAM_COMPRESSION_LZ4)
    ->Arg(STREAM_COMPRESSION_DEFLATE)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
