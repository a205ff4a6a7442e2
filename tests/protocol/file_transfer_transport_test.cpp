/* Whole files sent with the file sender and written back by a message receiver on the
 * other end, with every compression method, over a socket channel, the local pipe, a TLS
 * session and an encrypted session. */
#include "support/file_transfer_test_util.h"
#include "support/transport_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

using namespace qvtest;

namespace {

/* Id of the transfers. */
constexpr uint32_t TRANSFER_ID = 77;

/* Receive buffer of the receivers: its first size and the most it may grow to. */
constexpr size_t RECEIVER_INITIAL_SIZE = 256;
constexpr size_t RECEIVER_MAX_SIZE = 1 << 20;

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* Writes the file carried by the CMD_FILE_DATA messages of id that the receiver reads to
 * path; false on an abort, another message, a broken frame or a failed read. Every
 * message with data must be a stream-compressed frame when method compresses, and plain
 * data when it does not. */
bool ReceiveFile(AbstractMessageReceiver *receiver, uint32_t id, const std::filesystem::path &path,
                 QVCPStreamCompressionMethod method)
{
   FileDataWriter writer(path);
   while (true)
   {
      MessageReceiverResult result = MSGRECV_SUCCESS;
      std::unique_ptr<QVCPMessage> msg(receiver->readMessage(GENEROUS_MS, &result));
      EXPECT_EQ(result, MSGRECV_SUCCESS) << AbstractMessageReceiver::resultToText(result);
      if (msg == nullptr || msg->getCode() != CMD_FILE_DATA || msg->getId() != id || !msg->isBinary())
         return false;
      if (msg->getBinaryDataSize() > 0)
      {
         EXPECT_EQ(msg->isCompressedStream(), method != STREAM_COMPRESSION_NONE);
      }
      if (!writer.write(msg->getFlags(), msg->getBinaryData(), size_t(msg->getBinaryDataSize())))
         return false;
      if (msg->isEndOfFile())
         return true;
   }
}

/* The sending end of a TLS session as a channel: sends go out with SSL_write. */
class TlsSendChannel : public AbstractCommChannel
{
   SSL *m_ssl;

protected:
   ~TlsSendChannel() override {}

public:
   explicit TlsSendChannel(SSL *ssl) : m_ssl(ssl) {}

   int send(const void *data, size_t size, Mutex *mutex) override
   {
      if (mutex != nullptr)
         mutex->lock();
      const uint8_t *p = static_cast<const uint8_t *>(data);
      size_t left = size;
      while (left > 0)
      {
         int n = SSL_write(m_ssl, p, int(left));
         if (n <= 0)
            break;
         p += n;
         left -= size_t(n);
      }
      if (mutex != nullptr)
         mutex->unlock();
      return (left == 0) ? int(size) : -1;
   }
   int recv(void *, size_t, uint32_t) override { return -1; }
   int poll(uint32_t, bool write) override { return write ? 1 : -1; }
   int shutdown() override { return (SSL_shutdown(m_ssl) >= 0) ? 0 : -1; }
   void close() override {}
};

/* One connection: the sender runs send in its own thread while the test reads with the
 * receiver. */
struct Transport
{
   std::unique_ptr<AbstractMessageReceiver> receiver;
   std::function<bool(const wchar_t *path, QVCPStreamCompressionMethod method)> send;
   int readEnd = -1;  // the receiver's descriptor

   virtual ~Transport() = default;
   /* Ends the connection under the sender, so that a receive that gave up cannot leave it
    * blocked in a send. */
   void cut() const { ::shutdown(readEnd, SHUT_RDWR); }
};

/* The file sender on a SocketCommChannel over one end of a socketpair, a
 * CommChannelMessageReceiver on the other. */
struct ChannelTransport : Transport
{
   int fd[2] = {-1, -1};
   SocketCommChannel *channel = nullptr;

   ChannelTransport()
   {
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
      channel = new SocketCommChannel(fd[0], false);
      readEnd = fd[1];
      SocketCommChannel *reading = new SocketCommChannel(fd[1], false);
      receiver.reset(new CommChannelMessageReceiver(reading, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE));
      reading->decRefCount();  // the receiver's reference keeps it
      send = [this](const wchar_t *path, QVCPStreamCompressionMethod method) {
         return SendFileOverQVCP(channel, TRANSFER_ID, path, nullptr, 0, nullptr, nullptr, nullptr, method);
      };
   }
   ~ChannelTransport() override
   {
      receiver.reset();
      channel->decRefCount();
      close(fd[0]);
      close(fd[1]);
   }
};

/* The local pipe: a Unix-domain stream socket pair, read by a PipeMessageReceiver. */
struct PipeTransport : Transport
{
   int fd[2] = {-1, -1};

   PipeTransport()
   {
      EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fd));
      readEnd = fd[1];
      receiver.reset(new PipeMessageReceiver(fd[1], RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE));
      send = [this](const wchar_t *path, QVCPStreamCompressionMethod method) {
         return SendFileOverQVCP(fd[0], TRANSFER_ID, path, nullptr, 0, nullptr, nullptr, nullptr, method);
      };
   }
   ~PipeTransport() override
   {
      receiver.reset();
      close(fd[0]);
      close(fd[1]);
   }
};

/* A TLS session: the server end sends through a TlsSendChannel, a TlsMessageReceiver
 * reads the client end under the session lock. */
struct TlsTransport : Transport
{
   TlsPair session;
   Mutex lock;
   TlsSendChannel *channel = new TlsSendChannel(session.server);

   TlsTransport()
   {
      readEnd = session.fd[1];
      receiver.reset(
          new TlsMessageReceiver(session.fd[1], session.client, &lock, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE));
      send = [this](const wchar_t *path, QVCPStreamCompressionMethod method) {
         return SendFileOverQVCP(channel, TRANSFER_ID, path, nullptr, 0, nullptr, nullptr, nullptr, method);
      };
   }
   ~TlsTransport() override
   {
      receiver.reset();
      channel->decRefCount();
   }
};

/* An encrypted session over loopback TCP: every message sealed by the sender and opened
 * by a SocketMessageReceiver with the same context. */
struct EncryptedTransport : Transport
{
   Loopback link;
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(QVCP_ALL_CIPHERS);

   EncryptedTransport()
   {
      EXPECT_NE(context, nullptr);
      readEnd = link.server;
      receiver.reset(new SocketMessageReceiver(link.server, RECEIVER_INITIAL_SIZE, RECEIVER_MAX_SIZE));
      receiver->setEncryptionContext(context);
      send = [this](const wchar_t *path, QVCPStreamCompressionMethod method) {
         return SendFileOverQVCP(link.client, TRANSFER_ID, path, context, 0, nullptr, nullptr, nullptr, method);
      };
   }
   ~EncryptedTransport() override
   {
      receiver.reset();
      if (context != nullptr)
         context->decRefCount();
   }
};

using TransportFactory = std::function<Transport *()>;

class FileTransferTransport : public ::testing::TestWithParam<std::pair<const char *, TransportFactory>>,
                              public FileTransferFixture
{};

/* An empty file, one of an odd size and one of a few megabytes, with every method, each
 * on a new connection; the copy must match byte for byte. */
TEST_P(FileTransferTransport, WholeFilesWithEveryMethod)
{
   const size_t sizes[] = {0, 100003, 3 * 1024 * 1024 + 7};
   for (QVCPStreamCompressionMethod method :
        {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE})
   {
      for (size_t size : sizes)
      {
         std::wstring path;
         Bytes content = makeFile("src", size, &path);
         std::unique_ptr<Transport> transport(GetParam().second());
         std::atomic<bool> sent{false};
         std::filesystem::path copy = m_dir / "copy";
         {
            Worker sender([&] { sent = transport->send(path.c_str(), method); });
            bool received = ReceiveFile(transport->receiver.get(), TRANSFER_ID, copy, method);
            EXPECT_TRUE(received) << method << " " << size;
            if (!received)
               transport->cut();
         }
         EXPECT_TRUE(sent) << method << " " << size;
         EXPECT_TRUE(ReadAll(copy) == content) << method << " " << size;
      }
   }
}

INSTANTIATE_TEST_SUITE_P(
    Transports, FileTransferTransport,
    ::testing::Values(
        std::make_pair("Channel", TransportFactory([] { return static_cast<Transport *>(new ChannelTransport); })),
        std::make_pair("Pipe", TransportFactory([] { return static_cast<Transport *>(new PipeTransport); })),
        std::make_pair("Tls", TransportFactory([] { return static_cast<Transport *>(new TlsTransport); })),
        std::make_pair("Encrypted", TransportFactory([] { return static_cast<Transport *>(new EncryptedTransport); }))),
    [](const ::testing::TestParamInfo<FileTransferTransport::ParamType> &info) {
       return std::string(info.param.first);
    });

}  // namespace
