/* The file receiver: names and sizes it refuses, whole files from the file sender over
 * loopback with every method, and a hostile sender's frames, each of which must end the
 * transfer with its own result and leave nothing in the directory. */
#include "support/file_transfer_test_util.h"
#include "protocol/hostile_sender.h"
#include "support/transport_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr uint32_t ID = 42;

class FileReceiver : public ::testing::Test, public FileTransferFixture
{
protected:
   QVCP_BUFFER *m_buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));

   FileReceiver() { QVCPInitBuffer(m_buffer); }
   ~FileReceiver() override { free(m_buffer); }

   std::wstring dir() const { return m_dir.wstring(); }

   std::vector<std::string> listing() const { return Listing(m_dir); }

   /* Opens a receiver for "f" of size bytes, sends the frames over loopback and closes
    * the sending side, and reads them with ReceiveFileOverQVCP. */
   QVCPFileReceiveResult receive(int64_t size, const std::vector<Bytes> &frames)
   {
      Loopback link;
      QVCPFileReceiver receiver(ID);
      receiver.setLimits(GENEROUS_MS(), GENEROUS_MS(), QVCP_FILE_MAX_IDLE_MESSAGES);
      EXPECT_EQ(receiver.open(dir().c_str(), L"f", size), FILERECV_MORE_DATA);
      // From a thread of its own, so that frames larger than the socket buffers go too.
      Worker sender([&] {
         HostileSender hostile(link.client);
         for (const Bytes &frame : frames)
            hostile.send(frame);
         shutdown(link.client, SHUT_WR);
      });
      QVCPFileReceiveResult result =
          ReceiveFileOverQVCP(link.server, m_buffer, &receiver, nullptr, nullptr, nullptr, nullptr, nullptr);
      shutdown(link.server, SHUT_RDWR);
      sender.join();
      EXPECT_EQ(receiver.getResult(), result);
      EXPECT_FALSE(receiver.isOpen());
      return result;
   }

   static uint32_t GENEROUS_MS() { return static_cast<uint32_t>(GENEROUS.count()); }
};

Bytes Data(uint16_t flags, const Bytes &payload, uint32_t id = ID)
{
   return HostileSender::Frame(CMD_FILE_DATA, flags, id, uint32_t(payload.size()), payload);
}

/* A stream frame of method whose compressed block is block, announcing length bytes. */
Bytes Frame(uint8_t method, uint16_t length, const Bytes &block, bool last)
{
   Bytes payload = {method, 0, uint8_t(length >> 8), uint8_t(length)};
   payload.insert(payload.end(), block.begin(), block.end());
   return Data(uint16_t((last ? LAST_DATA_FLAGS : DATA_FLAGS) | QVCP_MF_COMPRESSED), payload);
}

/* The frame that one compressor of method makes of content. */
Bytes Compressed(QVCPStreamCompressionMethod method, StreamCompressor *compressor, const Bytes &content, bool last)
{
   Bytes out(compressor->compressBufferSize(content.size()));
   size_t n = compressor->compress(content.data(), content.size(), out.data(), out.size());
   out.resize(n);
   return Frame(uint8_t(method), uint16_t(content.size()), out, last);
}

TEST_F(FileReceiver, OpenRefusesUnusableNamesSizesAndNamesThatExist)
{
   const std::wstring longest(255, L'n');
   for (const std::wstring &name : {std::wstring(), std::wstring(L"."), std::wstring(L".."), std::wstring(L"a/b"),
                                    std::wstring(L"a\\b"), std::wstring(L"esc\x1b"), std::wstring(L"del\x7f"),
                                    std::wstring(L"c1\x85"), std::wstring(L"lf\n"), std::wstring(1, wchar_t(0xD800)),
                                    std::wstring(1, wchar_t(0x110000)), longest + L"n", std::wstring(128, L'\x00e9')})
   {
      QVCPFileReceiver receiver(ID);
      EXPECT_EQ(receiver.open(dir().c_str(), name.c_str(), 1), FILERECV_BAD_NAME) << name.size();
      EXPECT_EQ(receiver.getResult(), FILERECV_BAD_NAME);
   }
   EXPECT_FALSE(QVCPFileReceiver::isValidFileName(nullptr));
   for (const std::wstring &name :
        {longest, std::wstring(L".hidden"), std::wstring(L"\x00fcber \x4e2d.txt"), std::wstring(L"...")})
      EXPECT_TRUE(QVCPFileReceiver::isValidFileName(name.c_str())) << name.size();

   QVCPFileReceiver negative(ID);
   EXPECT_EQ(negative.open(dir().c_str(), L"x", -1), FILERECV_SIZE_MISMATCH);
   // Without a handler to open it, a receiver that is not open cannot take a connection.
   EXPECT_EQ(ReceiveFileOverQVCP(INVALID_SOCKET, m_buffer, &negative, nullptr, nullptr, nullptr, nullptr, nullptr),
             FILERECV_INVALID_STATE);
   QVCPFileReceiver nowhere(ID);
   EXPECT_EQ(nowhere.open((dir() + L"/missing").c_str(), L"x", 1), FILERECV_IO_ERROR);

   std::ofstream(m_dir / "taken") << "old";
   std::filesystem::create_symlink(m_dir / "none", m_dir / "dangling");
   for (const wchar_t *name : {L"taken", L"dangling"})
   {
      QVCPFileReceiver receiver(ID);
      EXPECT_EQ(receiver.open(dir().c_str(), name, 1), FILERECV_FILE_EXISTS);
   }
   QVCPFileReceiver twice(ID);
   EXPECT_EQ(twice.open(dir().c_str(), L"x", 1), FILERECV_MORE_DATA);
   EXPECT_EQ(twice.open(dir().c_str(), L"y", 1), FILERECV_INVALID_STATE);
   twice.cancel();
   EXPECT_EQ(twice.getResult(), FILERECV_ABORTED);
   EXPECT_EQ(listing(), (std::vector<std::string>{"dangling", "taken"}));
}

TEST_F(FileReceiver, StoresWhatTheSenderSendsWithEveryMethod)
{
   for (size_t size : {size_t(0), size_t(100000)})
   {
      for (QVCPStreamCompressionMethod method :
           {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE})
      {
         std::wstring source;
         Bytes content = makeFile("source", size, &source);
         Loopback link;
         bool sent = false;
         Worker sender([&] {
            sent = SendFileOverQVCP(link.client, ID, source.c_str(), nullptr, 0, nullptr, nullptr, nullptr, method);
         });
         QVCPFileReceiver receiver(ID);
         ASSERT_EQ(receiver.open(dir().c_str(), L"copy", int64_t(size)), FILERECV_MORE_DATA);
         std::vector<int64_t> progress;
         QVCPFileReceiveResult result = ReceiveFileOverQVCP(
             link.server, m_buffer, &receiver, nullptr, nullptr, nullptr,
             [](int64_t written, void *arg) { static_cast<std::vector<int64_t> *>(arg)->push_back(written); },
             &progress);
         sender.join();
         EXPECT_TRUE(sent);
         EXPECT_EQ(result, FILERECV_SUCCESS) << method << " " << size;
         EXPECT_EQ(ReadAll(m_dir / "copy"), content) << method;
         EXPECT_EQ(receiver.getBytesWritten(), int64_t(size));
         EXPECT_EQ(progress.empty() ? 0 : progress.back(), int64_t(size));
         EXPECT_EQ(listing(), (std::vector<std::string>{"copy", "source"}));
         std::filesystem::remove(m_dir / "copy");
      }
   }
}

TEST_F(FileReceiver, TakesMessageObjectsAndPayloadCompressedMessages)
{
   Bytes content(20000, 'z');
   QVCP_MESSAGE *raw = CreateRawQVCPMessage(CMD_FILE_DATA, ID, LAST_DATA_FLAGS & ~QVCP_MF_STREAM, content.data(),
                                            content.size(), nullptr, true);
   ASSERT_NE(GetBE16(reinterpret_cast<uint8_t *>(raw) + 2) & QVCP_MF_COMPRESSED, 0);
   QVCPFileReceiver direct(ID);
   ASSERT_EQ(direct.open(dir().c_str(), L"raw", int64_t(content.size())), FILERECV_MORE_DATA);
   EXPECT_EQ(direct.writeMessage(raw, GetBE32(reinterpret_cast<uint8_t *>(raw) + 4)), FILERECV_SUCCESS);
   EXPECT_EQ(direct.writeMessage(raw, GetBE32(reinterpret_cast<uint8_t *>(raw) + 4)), FILERECV_INVALID_STATE);
   free(raw);
   EXPECT_EQ(ReadAll(m_dir / "raw"), content);

   // Message objects as a message receiver delivers them, stream-compressed; another id
   // and another code are ignored.
   StreamCompressor *compressor = StreamCompressor::create(STREAM_COMPRESSION_LZ4, true, QVCP_FILE_CHUNK_SIZE);
   QVCPFileReceiver objects(ID);
   ASSERT_EQ(objects.open(dir().c_str(), L"objects", 2 * int64_t(content.size())), FILERECV_MORE_DATA);
   for (int i = 0; i < 2; i++)
   {
      Bytes wire = Compressed(STREAM_COMPRESSION_LZ4, compressor, content, i == 1);
      std::unique_ptr<QVCPMessage> msg(
          QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(wire.data()), wire.size(), QVCP_DEFAULT_VERSION));
      ASSERT_NE(msg, nullptr);
      QVCPMessage other(CMD_KEEPALIVE, ID);
      EXPECT_EQ(objects.writeMessage(&other), FILERECV_MORE_DATA);
      EXPECT_EQ(objects.writeMessage(msg.get()), (i == 1) ? FILERECV_SUCCESS : FILERECV_MORE_DATA);
   }
   delete compressor;
   Bytes twice = content;
   twice.insert(twice.end(), content.begin(), content.end());
   EXPECT_EQ(ReadAll(m_dir / "objects"), twice);
   EXPECT_LT(objects.getWireBytes(), int64_t(content.size()));
}

TEST_F(FileReceiver, HostileFramesEndTheTransferAndLeaveNothing)
{
   StreamCompressor *compressor = StreamCompressor::create(STREAM_COMPRESSION_LZ4, true, QVCP_FILE_CHUNK_SIZE);
   Bytes good = Compressed(STREAM_COMPRESSION_LZ4, compressor, Bytes(1000, 'a'), true);
   delete compressor;
   Bytes lying = good;
   PutBE16(&lying[QVCP_HEADER_SIZE + 2], 999);  // restores to 1000 bytes
   Bytes encrypted = HostileSender::Frame(CMD_ENCRYPTED_MESSAGE, 0, 0, 0, Bytes(8, 1));
   struct Case
   {
      const char *what;
      int64_t size;
      std::vector<Bytes> frames;
      QVCPFileReceiveResult expected;
   } cases[] = {
       {"data beyond the message",
        4000,
        {HostileSender::Frame(CMD_FILE_DATA, LAST_DATA_FLAGS, ID, 4000, Bytes(8, 'x'))},
        FILERECV_MALFORMED},
       {"frame header only",
        64,
        {HostileSender::Frame(CMD_FILE_DATA, LAST_DATA_FLAGS | QVCP_MF_COMPRESSED, ID, 65536, Bytes{1, 0, 0, 64})},
        FILERECV_MALFORMED},
       {"frame shorter than its header",
        1,
        {Data(LAST_DATA_FLAGS | QVCP_MF_COMPRESSED, Bytes{1, 0})},
        FILERECV_MALFORMED},
       {"block length that lies", 1000, {lying}, FILERECV_MALFORMED},
       {"unknown method", 3, {Frame(9, 3, Bytes{1, 2, 3}, true)}, FILERECV_MALFORMED},
       {"garbage block", 3, {Frame(STREAM_COMPRESSION_DEFLATE, 3, Bytes{1, 2, 3}, true)}, FILERECV_MALFORMED},
       {"plain, then framed", 1003, {Data(DATA_FLAGS, Bytes(3, 'p')), good}, FILERECV_MALFORMED},
       {"not binary", 8, {Data(LAST_DATA_FLAGS & ~QVCP_MF_BINARY, Bytes(8, 'b'))}, FILERECV_MALFORMED},
       {"header size below 16",
        8,
        {HostileSender::Frame(CMD_FILE_DATA, LAST_DATA_FLAGS, ID, 0, Bytes(), 8)},
        FILERECV_MALFORMED},
       {"larger than any data message",
        8,
        {HostileSender::Frame(CMD_FILE_DATA, LAST_DATA_FLAGS, ID, 8, Bytes(QVCP_FILE_MAX_MESSAGE_SIZE, 'l'))},
        FILERECV_MALFORMED},
       {"more than announced",
        10,
        {Data(DATA_FLAGS, Bytes(8, 'm')), Data(LAST_DATA_FLAGS, Bytes(8, 'm'))},
        FILERECV_SIZE_MISMATCH},
       {"end before the size", 1000000, {Data(LAST_DATA_FLAGS, Bytes(10, 'e'))}, FILERECV_SIZE_MISMATCH},
       {"aborted",
        100,
        {Data(DATA_FLAGS, Bytes(50, 'a')), HostileSender::Frame(CMD_ABORT_FILE_TRANSFER, 1, ID, 0, {})},
        FILERECV_ABORTED},
       {"closed before the end", 100, {Data(DATA_FLAGS, Bytes(50, 'c'))}, FILERECV_CLOSED},
       {"encrypted without a context", 8, {encrypted}, FILERECV_DECRYPTION_FAILURE},
   };
   for (const Case &c : cases)
   {
      EXPECT_EQ(receive(c.size, c.frames), c.expected) << c.what;
      EXPECT_TRUE(listing().empty()) << c.what;
      QVCPInitBuffer(m_buffer);
   }
   // The good frame on its own is stored: the cases fail for what they break.
   EXPECT_EQ(receive(1000, {good}), FILERECV_SUCCESS);
   EXPECT_EQ(ReadAll(m_dir / "f"), Bytes(1000, 'a'));
}

TEST_F(FileReceiver, MessagesWithoutDataAndSlowSendersAreCutOff)
{
   Loopback link;
   QVCPFileReceiver receiver(ID);
   receiver.setLimits(INFINITE, INFINITE, 3);
   ASSERT_EQ(receiver.open(dir().c_str(), L"f", 100), FILERECV_MORE_DATA);
   HostileSender sender(link.client);
   // Data bring bytes and do not count; messages of another transfer, probes and empty
   // data messages do.
   sender.sendData(ID, Bytes(10, 'd'), false);
   sender.sendData(ID + 1, Bytes(10, 'o'), false);
   sender.sendProbe();
   sender.sendData(ID, Bytes(), false);
   sender.sendData(ID, Bytes(10, 'd'), false);
   sender.sendProbe();
   EXPECT_EQ(ReceiveFileOverQVCP(link.server, m_buffer, &receiver, nullptr, nullptr, nullptr, nullptr, nullptr),
             FILERECV_TOO_MANY_MESSAGES);
   EXPECT_EQ(receiver.getBytesWritten(), 20);

   // One byte of a message and then nothing: the deadline ends what the wait would not.
   Loopback slow;
   QVCPInitBuffer(m_buffer);
   QVCPFileReceiver patient(ID);
   patient.setLimits(INFINITE, 100, QVCP_FILE_MAX_IDLE_MESSAGES);
   ASSERT_EQ(patient.open(dir().c_str(), L"g", 100), FILERECV_MORE_DATA);
   HostileSender trickle(slow.client);
   trickle.send(Bytes(1, 0));
   EXPECT_EQ(ReceiveFileOverQVCP(slow.server, m_buffer, &patient, nullptr, nullptr, nullptr, nullptr, nullptr),
             FILERECV_TIMEOUT);
   EXPECT_TRUE(listing().empty());
}

}  // namespace
