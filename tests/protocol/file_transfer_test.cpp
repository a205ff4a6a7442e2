/* The file sender: message layout, offsets, cancellation and failures on a recording
 * channel, pacing on a slow one, and whole transfers over loopback TCP written back to a
 * file by a receiver built on RecvQVCPMessage, with every compression method. */
#include "support/file_transfer_test_util.h"
#include "support/transport_test_util.h"
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <vector>

using namespace qvtest;

/* zlib's deflate, passed through to the real one unless a test makes the call numbered
 * g_failDeflateAt (counting from 1) fail, as a compressor failure inside zlib would. */
static std::atomic<int> g_failDeflateAt{0};
static std::atomic<int> g_deflateCalls{0};

extern "C" __attribute__((visibility("default"))) int deflate(z_streamp strm, int flush)
{
   using Deflate = int (*)(z_streamp, int);
   static Deflate real = reinterpret_cast<Deflate>(dlsym(RTLD_NEXT, "deflate"));
   if (g_failDeflateAt > 0 && ++g_deflateCalls == g_failDeflateAt)
      return Z_STREAM_ERROR;
   return real(strm, flush);
}

/* The monotonic clock and the sleeps of one thread, made virtual while a test sets
 * t_virtualTime: clock_gettime(CLOCK_MONOTONIC) then reads t_virtualMs, and nanosleep adds
 * the time asked for to it (and to t_sleeps) instead of sleeping. The file sender runs on
 * the test's thread, so its pacing is tested on exact durations whatever the machine's
 * load, and without waiting for them. */
static thread_local bool t_virtualTime = false;
static thread_local uint64_t t_virtualMs = 0;
static thread_local std::vector<uint64_t> t_sleeps;

extern "C" __attribute__((visibility("default"))) int clock_gettime(clockid_t clock, struct timespec *ts)
{
   using ClockGettime = int (*)(clockid_t, struct timespec *);
   static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
   if (!t_virtualTime || clock != CLOCK_MONOTONIC)
      return real(clock, ts);
   ts->tv_sec = static_cast<time_t>(t_virtualMs / 1000);
   ts->tv_nsec = static_cast<long>(t_virtualMs % 1000) * 1000000;
   return 0;
}

extern "C" __attribute__((visibility("default"))) int nanosleep(const struct timespec *request,
                                                                struct timespec *remaining)
{
   using Nanosleep = int (*)(const struct timespec *, struct timespec *);
   static Nanosleep real = reinterpret_cast<Nanosleep>(dlsym(RTLD_NEXT, "nanosleep"));
   if (!t_virtualTime)
      return real(request, remaining);
   uint64_t ms = static_cast<uint64_t>(request->tv_sec) * 1000 + static_cast<uint64_t>(request->tv_nsec) / 1000000;
   t_virtualMs += ms;
   t_sleeps.push_back(ms);
   return 0;
}

namespace {

/* Virtual time on this thread for the life of the object. */
struct VirtualTime
{
   VirtualTime()
   {
      t_virtualMs = 1000000;
      t_sleeps.clear();
      t_virtualTime = true;
   }
   ~VirtualTime() { t_virtualTime = false; }
};

/* Room for the largest data message of a transfer (a deflate frame of a full chunk). */
constexpr uint32_t RECEIVE_BUFFER_SIZE = 40000;

class FileTransfer : public ::testing::Test, public FileTransferFixture
{
protected:
   void TearDown() override { g_failDeflateAt = 0; }
};

/* The payload of a recorded data message. */
Bytes PayloadOf(const Bytes &m)
{
   return Bytes(m.begin() + QVCP_HEADER_SIZE, m.begin() + QVCP_HEADER_SIZE + GetBE32(&m[12]));
}

void ExpectAbort(const Bytes &m, uint32_t id)
{
   Bytes abort = MakeMessage(CMD_ABORT_FILE_TRANSFER, 16, id);
   EXPECT_EQ(m, abort);
}

TEST_F(FileTransfer, ChunksOfAFileWithoutCompression)
{
   std::wstring path;
   Bytes content = makeFile("a", 100000, &path);
   ScriptRef ch;
   std::vector<int64_t> progress;
   auto record = [](int64_t sent, void *arg) { static_cast<std::vector<int64_t> *>(arg)->push_back(sent); };
   ASSERT_TRUE(SendFileOverQVCP(ch.channel, 42, path.c_str(), nullptr, 0, record, &progress, nullptr));
   const uint32_t lengths[] = {32768, 32768, 32768, 1696};
   ASSERT_EQ(ch->sent.size(), 4u);
   Bytes joined;
   int64_t total = 0;
   for (size_t i = 0; i < 4; i++)
   {
      const Bytes &m = ch->sent[i];
      EXPECT_EQ(GetBE16(&m[0]), CMD_FILE_DATA);
      EXPECT_EQ(GetBE16(&m[2]), (i == 3) ? 0x0083 : 0x0081);
      EXPECT_EQ(GetBE32(&m[4]), 16 + (lengths[i] + 7) / 8 * 8);
      EXPECT_EQ(m.size(), GetBE32(&m[4]));
      EXPECT_EQ(GetBE32(&m[8]), 42u);
      EXPECT_EQ(GetBE32(&m[12]), lengths[i]);
      Bytes p = PayloadOf(m);
      joined.insert(joined.end(), p.begin(), p.end());
      total += lengths[i];
      EXPECT_EQ(progress[i], total);
   }
   EXPECT_EQ(joined, content);

   // With a context the same messages go out sealed, and so does the abort message.
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(QVCP_ALL_CIPHERS);
   ASSERT_NE(context, nullptr);
   ScriptRef sealed;
   ASSERT_TRUE(SendFileOverQVCP(sealed.channel, 42, path.c_str(), context, 0, nullptr, nullptr, nullptr));
   volatile int32_t cancel = 1;
   EXPECT_FALSE(SendFileOverQVCP(sealed.channel, 42, path.c_str(), context, 0, nullptr, nullptr, nullptr,
                                 STREAM_COMPRESSION_NONE, &cancel));
   ASSERT_EQ(sealed->sent.size(), 5u);
   for (size_t i = 0; i < 5; i++)
   {
      Bytes m = sealed->sent[i], scratch(m.size());
      EXPECT_EQ(GetBE16(&m[0]), CMD_ENCRYPTED_MESSAGE);
      ASSERT_TRUE(
          context->decryptMessage(reinterpret_cast<QVCP_ENCRYPTED_MESSAGE *>(m.data()), scratch.data(), m.size()));
      m.resize(GetBE32(&m[4]));
      if (i < 4)
         EXPECT_EQ(m, ch->sent[i]) << i;
      else
         ExpectAbort(m, 42);
   }
   context->decRefCount();
}

/* The two-measure progress: file bytes grow by each chunk read up to the part sent (the
 * offset counts), wire bytes by each payload; compressed, the wire count stays below the
 * file count, and the messages are those of the wire-only call. */
TEST_F(FileTransfer, ProgressTellsFileBytesAndWireBytes)
{
   std::wstring path;
   makeFile("p", 100000, &path);
   struct Report
   {
      int64_t file, total, wire;
   };
   auto record = [](int64_t file, int64_t total, int64_t wire, void *arg) {
      static_cast<std::vector<Report> *>(arg)->push_back(Report{file, total, wire});
   };
   for (QVCPStreamCompressionMethod method : {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_DEFLATE})
   {
      ScriptRef ch, plain;
      std::vector<Report> reports;
      ASSERT_TRUE(SendFileOverQVCPEx(ch.channel, 5, path.c_str(), nullptr, -90000, record, &reports, nullptr, method));
      ASSERT_TRUE(SendFileOverQVCP(plain.channel, 5, path.c_str(), nullptr, -90000, nullptr, nullptr, nullptr, method));
      EXPECT_EQ(ch->sent, plain->sent);
      ASSERT_EQ(reports.size(), ch->sent.size());
      int64_t file = 0, wire = 0;
      for (size_t i = 0; i < reports.size(); i++)
      {
         EXPECT_GT(reports[i].file, file) << i;
         file = reports[i].file;
         wire += GetBE32(&ch->sent[i][12]);
         EXPECT_EQ(reports[i].wire, wire) << i;
         EXPECT_EQ(reports[i].total, 90000) << i;
      }
      EXPECT_EQ(file, 90000);
      if (method == STREAM_COMPRESSION_NONE)
         EXPECT_EQ(wire, 90000);
      else
         EXPECT_LT(wire, 90000);
   }
}

TEST_F(FileTransfer, OffsetsChooseThePartSent)
{
   std::wstring path;
   Bytes content = makeFile("b", 5000, &path);
   const struct
   {
      int32_t offset;
      size_t from;
   } cases[] = {{-10, 4990}, {10, 10}, {5001, 0}, {-5001, 0}, {5000, 5000}, {-5000, 0}};
   for (const auto &c : cases)
   {
      ScriptRef ch;
      ASSERT_TRUE(SendFileOverQVCP(ch.channel, 1, path.c_str(), nullptr, c.offset, nullptr, nullptr, nullptr));
      ASSERT_EQ(ch->sent.size(), 1u) << c.offset;
      EXPECT_EQ(GetBE16(&ch->sent[0][2]), 0x0083) << c.offset;
      EXPECT_EQ(PayloadOf(ch->sent[0]), Bytes(content.begin() + c.from, content.end())) << c.offset;
   }
}

/* Every failure ends with the abort message and false: a cancellation before the first
 * chunk, a file that is not there, a send that fails, and a compressor that fails on a
 * later block (which must not go out as an empty frame). */
TEST_F(FileTransfer, FailuresSendTheAbortMessage)
{
   std::wstring path;
   makeFile("c", 100000, &path);

   ScriptRef cancelled;
   volatile int32_t cancel = 1;
   EXPECT_FALSE(SendFileOverQVCP(cancelled.channel, 9, path.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                 STREAM_COMPRESSION_NONE, &cancel));
   ASSERT_EQ(cancelled->sent.size(), 1u);
   ExpectAbort(cancelled->sent[0], 9);

   ScriptRef missing;
   EXPECT_FALSE(
       SendFileOverQVCP(missing.channel, 8, (m_dir / "none").wstring().c_str(), nullptr, 0, nullptr, nullptr, nullptr));
   ASSERT_EQ(missing->sent.size(), 1u);
   ExpectAbort(missing->sent[0], 8);

   ScriptRef failing;
   failing->sendResult = [&](const Bytes &) { return (failing->sent.size() == 2) ? -1 : 1; };
   EXPECT_FALSE(SendFileOverQVCP(failing.channel, 7, path.c_str(), nullptr, 0, nullptr, nullptr, nullptr));
   ASSERT_EQ(failing->sent.size(), 3u);
   ExpectAbort(failing->sent[2], 7);

   // deflate is called once per block: the second block fails.
   g_deflateCalls = 0;
   g_failDeflateAt = 2;
   ScriptRef broken;
   EXPECT_FALSE(SendFileOverQVCP(broken.channel, 6, path.c_str(), nullptr, 0, nullptr, nullptr, nullptr,
                                 STREAM_COMPRESSION_DEFLATE));
   ASSERT_EQ(broken->sent.size(), 2u);
   EXPECT_GT(GetBE32(&broken->sent[0][12]), uint32_t(QVCP_FILE_FRAME_HEADER_SIZE));
   ExpectAbort(broken->sent[1], 6);
}

/* A slow channel: a send of over 400 ms cuts the chunk by at least half and adds a pause;
 * eleven fast sends in a row then grow it by a sixteenth. The sender measures each send
 * and sleeps through its pauses on the virtual clock. */
TEST_F(FileTransfer, PacingFollowsTheTimeOfEachSend)
{
   std::wstring path;
   makeFile("d", 250000, &path);
   ScriptRef ch;
   ch->sendResult = [&](const Bytes &m) {
      if (ch->sent.size() == 1)
         t_virtualMs += 450;  // a channel that takes this long for the first chunk
      return int(m.size());
   };
   bool sent;
   uint64_t start, end;
   std::vector<uint64_t> sleeps;
   {
      VirtualTime virtualTime;
      start = t_virtualMs;
      sent = SendFileOverQVCP(ch.channel, 1, path.c_str(), nullptr, 0, nullptr, nullptr, nullptr);
      end = t_virtualMs;
      sleeps = t_sleeps;
   }
   ASSERT_TRUE(sent);
   ASSERT_GE(ch->sent.size(), 14u);
   uint32_t cut = GetBE32(&ch->sent[1][12]);
   EXPECT_LE(cut, 32768u / 2);
   EXPECT_GE(cut, 1024u);
   for (size_t i = 2; i <= 11; i++)
      EXPECT_EQ(GetBE32(&ch->sent[i][12]), cut) << i;
   EXPECT_EQ(GetBE32(&ch->sent[12][12]), cut + cut / 16);
   // The pauses after the slow send (at least 100 ms for each of the twelve) were taken.
   EXPECT_GE(end - start, 450u + 11 * 95);
   // Exactly: 100 ms after each of the first eleven chunks, 95 ms after the later ones but
   // the last; the 250000 bytes go in 32768, 11 x 16384 and then chunks of 17408.
   std::vector<uint64_t> expected(11, 100);
   expected.resize(ch->sent.size() - 1, 95);
   EXPECT_EQ(sleeps, expected);
}

/* Writes the file carried by the CMD_FILE_DATA messages of id (decrypted with context when
 * it is not null) to path; false on an abort, a broken frame or a receive failure. */
bool ReceiveFile(SOCKET s, uint32_t id, const std::filesystem::path &path, QVCPEncryptionContext *context)
{
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   QVCPInitBuffer(buffer);
   Bytes msg(RECEIVE_BUFFER_SIZE), scratch(RECEIVE_BUFFER_SIZE);
   QVCP_MESSAGE *m = reinterpret_cast<QVCP_MESSAGE *>(msg.data());
   FileDataWriter writer(path);
   bool done = false, ok = true;
   while (ok && !done)
   {
      int rc = RecvQVCPMessage(s, m, buffer, RECEIVE_BUFFER_SIZE, &context, scratch.data(), uint32_t(GENEROUS.count()));
      ok = rc >= int(QVCP_HEADER_SIZE) && GetBE16(&msg[0]) == CMD_FILE_DATA && GetBE32(&msg[8]) == id;
      if (!ok)
         break;
      uint16_t flags = GetBE16(&msg[2]);
      ok = writer.write(flags, msg.data() + QVCP_HEADER_SIZE, GetBE32(&msg[12]));
      done = (flags & QVCP_MF_END_OF_FILE) != 0;
   }
   free(buffer);
   return ok && done;
}

/* Every method with files of odd sizes and one of several megabytes, and with an
 * encrypted session. */
TEST_F(FileTransfer, WholeFilesOverLoopbackWithEveryMethod)
{
   QVCPEncryptionContext *context = QVCPEncryptionContext::create(QVCP_ALL_CIPHERS);
   ASSERT_NE(context, nullptr);
   const struct
   {
      size_t size;
      QVCPEncryptionContext *context;
   } cases[] = {{0, nullptr}, {1, nullptr},     {32767, nullptr}, {32769, nullptr}, {3 * 1024 * 1024 + 5, nullptr},
                {0, context}, {200003, context}};
   for (QVCPStreamCompressionMethod method :
        {STREAM_COMPRESSION_NONE, STREAM_COMPRESSION_LZ4, STREAM_COMPRESSION_DEFLATE})
   {
      for (const auto &c : cases)
      {
         std::wstring path;
         Bytes content = makeFile("src", c.size, &path);
         Loopback link;
         ASSERT_NE(link.client, INVALID_SOCKET);
         std::atomic<bool> sent{false};
         Worker sender([&] {
            sent = SendFileOverQVCP(link.client, 5, path.c_str(), c.context, 0, nullptr, nullptr, nullptr, method);
         });
         std::filesystem::path copy = m_dir / "copy";
         bool encrypted = c.context != nullptr;
         EXPECT_TRUE(ReceiveFile(link.server, 5, copy, c.context)) << method << " " << c.size << " " << encrypted;
         sender.join();
         EXPECT_TRUE(sent) << method << " " << c.size << " " << encrypted;
         EXPECT_TRUE(ReadAll(copy) == content) << method << " " << c.size << " " << encrypted;
      }
   }
   context->decRefCount();
}

}  // namespace
