/* qvtool receive-file against a hostile sender over loopback: data beyond the message,
 * sizes other than announced, names that exist, symbolic links, control characters,
 * probes without end and a sender too slow to finish. */
#include "protocol/hostile_sender.h"
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

using namespace qvtest;

namespace {

/* Results in qvtool's reply. */
constexpr int RESULT_OK = 0;
constexpr int RESULT_FAILED = 1;

/* Probes a sender tries before it takes the receiver never to give up. */
constexpr int ENDLESS_PROBES = 20000;

/* A receive-file run: started with its arguments, it has printed its port. */
class ReceiverProcess
{
   FILE *m_pipe = nullptr;
   int m_port = 0;

public:
   explicit ReceiverProcess(const std::string &arguments)
   {
      std::string command = "'" + ToolPath() + "' receive-file " + arguments + " 2>&1";
      m_pipe = popen(command.c_str(), "r");
      char line[256];
      if (m_pipe != nullptr && fgets(line, sizeof(line), m_pipe) != nullptr)
         sscanf(line, "listening on port %d", &m_port);
   }
   ReceiverProcess(const ReceiverProcess &) = delete;
   ReceiverProcess &operator=(const ReceiverProcess &) = delete;
   ~ReceiverProcess()
   {
      if (m_pipe != nullptr)
         finish();
   }

   uint16_t port() const { return uint16_t(m_port); }

   /* Waits for the end: the exit code and everything printed after the port line. */
   ToolRun finish()
   {
      ToolRun run = {-1, std::string()};
      char chunk[512];
      size_t n;
      while ((n = fread(chunk, 1, sizeof(chunk), m_pipe)) > 0)
         run.output.append(chunk, n);
      int status = pclose(m_pipe);
      m_pipe = nullptr;
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      return run;
   }
};

std::string ReadFile(const std::filesystem::path &path)
{
   std::ifstream in(path, std::ios::binary);
   return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes Text(const std::string &s)
{
   return Bytes(s.begin(), s.end());
}

class ReceiveFileTool : public ToolDirTest
{
protected:
   std::filesystem::path m_root;  // the test's directory, with the receiver's directory in it

   void SetUp() override
   {
      ToolDirTest::SetUp();
      if (IsSkipped() || HasFatalFailure())
         return;
      m_root = m_dir;
      m_dir = m_root / "in";
      std::filesystem::create_directories(m_dir);
   }

   std::string args(const std::string &options = "") const { return options + "0 '" + m_dir.string() + "'"; }

   std::vector<std::string> listing() const { return Listing(m_dir); }

   /* Probes, announces name and size, runs body and returns the receiver's result. */
   template <typename Body> int transfer(ReceiverProcess &receiver, const std::wstring &name, int64_t size, Body body)
   {
      HostileSender sender(receiver.port());
      EXPECT_TRUE(sender.connected());
      EXPECT_TRUE(sender.sendProbe());
      EXPECT_EQ(GetBE16(sender.readMessage().data()), CMD_QVCP_CAPS);
      EXPECT_TRUE(sender.announce(name, size));
      body(sender);
      return sender.readResult();
   }
};

TEST_F(ReceiveFileTool, RefusesDataBeyondTheReceivedMessage)
{
   // Header-only messages claiming 4000 bytes (within the heap: stale bytes would be
   // stored) and 256 KiB of plain data, and a stream frame that claims 64 KiB but carries
   // its 4-byte frame header only.
   const Bytes frameHeader = {STREAM_COMPRESSION_LZ4, 0, 0x80, 0};
   struct Case
   {
      uint16_t flags;
      uint32_t claimed;
      Bytes payload;
   } cases[] = {{LAST_DATA_FLAGS, 4000, Bytes()},
                {LAST_DATA_FLAGS, 256 * 1024, Bytes()},
                {LAST_DATA_FLAGS | QVCP_MF_COMPRESSED, 64 * 1024, frameHeader}};
   for (const Case &c : cases)
   {
      ReceiverProcess receiver(args());
      ASSERT_NE(receiver.port(), 0);
      int result = transfer(receiver, L"a.bin", c.claimed, [&](HostileSender &s) {
         s.send(HostileSender::Frame(CMD_FILE_DATA, c.flags, TOOL_TRANSFER_ID, c.claimed, c.payload));
      });
      ToolRun run = receiver.finish();
      EXPECT_EQ(result, RESULT_FAILED) << run.output;
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_TRUE(listing().empty()) << run.output;
   }
}

TEST_F(ReceiveFileTool, StoresExactlyTheAnnouncedSizeOrNothing)
{
   struct Case
   {
      int64_t announced;
      size_t sent;
   } cases[] = {{1000000, 10}, {10, 100000}, {-5, 0}, {-5, 10}};
   for (const Case &c : cases)
   {
      ReceiverProcess receiver(args());
      ASSERT_NE(receiver.port(), 0);
      Bytes content(c.sent, 'x');
      int result = transfer(receiver, L"sized.bin", c.announced,
                            [&](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, content); });
      ToolRun run = receiver.finish();
      EXPECT_EQ(result, RESULT_FAILED) << c.announced << " " << run.output;
      EXPECT_EQ(run.status, 1) << run.output;
      EXPECT_TRUE(listing().empty()) << c.announced << " " << run.output;
   }
}

TEST_F(ReceiveFileTool, NeverTouchesAFileThatIsThere)
{
   std::ofstream(m_dir / "keep.txt") << "precious";
   {
      // Announced, half sent, aborted.
      ReceiverProcess receiver(args());
      ASSERT_NE(receiver.port(), 0);
      transfer(receiver, L"keep.txt", 100, [](HostileSender &s) {
         s.sendData(TOOL_TRANSFER_ID, Bytes(50, 'y'), false);
         s.sendAbort(TOOL_TRANSFER_ID);
      });
      EXPECT_EQ(receiver.finish().status, 1);
      EXPECT_EQ(ReadFile(m_dir / "keep.txt"), "precious");
   }
   {
      // Sent in full: refused without --overwrite.
      ReceiverProcess receiver(args());
      ASSERT_NE(receiver.port(), 0);
      int result =
          transfer(receiver, L"keep.txt", 5, [](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, Text("fresh")); });
      ToolRun run = receiver.finish();
      EXPECT_EQ(result, RESULT_FAILED) << run.output;
      EXPECT_NE(run.output.find("exists"), std::string::npos) << run.output;
      EXPECT_EQ(ReadFile(m_dir / "keep.txt"), "precious");
   }
   {
      ReceiverProcess receiver(args("--overwrite "));
      ASSERT_NE(receiver.port(), 0);
      int result =
          transfer(receiver, L"keep.txt", 5, [](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, Text("fresh")); });
      ToolRun run = receiver.finish();
      EXPECT_EQ(result, RESULT_OK) << run.output;
      EXPECT_EQ(ReadFile(m_dir / "keep.txt"), "fresh");
   }
   EXPECT_EQ(listing(), std::vector<std::string>{"keep.txt"});
}

TEST_F(ReceiveFileTool, NeverWritesThroughASymbolicLink)
{
   std::ofstream(m_root / "outside.txt") << "outside";
   std::filesystem::create_symlink(m_root / "outside.txt", m_dir / "link");
   for (const char *options : {"", "--overwrite "})
   {
      ReceiverProcess receiver(args(options));
      ASSERT_NE(receiver.port(), 0);
      int result =
          transfer(receiver, L"link", 5, [](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, Text("hello")); });
      ToolRun run = receiver.finish();
      EXPECT_EQ(ReadFile(m_root / "outside.txt"), "outside") << options;
      if (*options == 0)
      {
         EXPECT_EQ(result, RESULT_FAILED) << run.output;
         EXPECT_TRUE(std::filesystem::is_symlink(m_dir / "link"));
      }
      else
      {
         // Replaced: the link itself gives way to the received file.
         EXPECT_EQ(result, RESULT_OK) << run.output;
         EXPECT_FALSE(std::filesystem::is_symlink(m_dir / "link"));
         EXPECT_EQ(ReadFile(m_dir / "link"), "hello");
      }
   }
}

TEST_F(ReceiveFileTool, RefusesNamesWithControlCharactersAndPrintsThemEscaped)
{
   struct Case
   {
      const wchar_t *name;
      const char *printed;
   } cases[] = {{L"red\x1b[31mname", "red\\x1B[31mname"},
                {L"two\nreceiving forged.txt (1 bytes)", "two\\x0Areceiving forged.txt"},
                {L"bell\x07", "bell\\x07"},
                {L"c1\x9b", "c1\\x9B"}};
   for (const Case &c : cases)
   {
      const wchar_t *name = c.name;
      ReceiverProcess receiver(args());
      ASSERT_NE(receiver.port(), 0);
      int result = transfer(receiver, name, 1, [](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, Text("z")); });
      ToolRun run = receiver.finish();
      EXPECT_EQ(result, RESULT_FAILED) << run.output;
      EXPECT_EQ(run.status, 1);
      for (char c : run.output)
         EXPECT_TRUE(c == '\n' || uint8_t(c) >= 0x20) << "raw control character " << int(uint8_t(c));
      EXPECT_EQ(run.output.find("\nreceiving forged.txt"), std::string::npos) << run.output;
      EXPECT_EQ(run.output.find("\xc2\x9b"), std::string::npos) << run.output;
      EXPECT_NE(run.output.find(c.printed), std::string::npos) << run.output;
      EXPECT_TRUE(listing().empty());
   }
}

TEST_F(ReceiveFileTool, EndlessProbesEndTheConnection)
{
   ReceiverProcess receiver(args());
   ASSERT_NE(receiver.port(), 0);
   int answered = 0;
   {
      HostileSender sender(receiver.port());
      while (answered < ENDLESS_PROBES && sender.sendProbe() && !sender.readMessage().empty())
         answered++;
   }
   ToolRun run = receiver.finish();
   EXPECT_LT(answered, ENDLESS_PROBES) << "the receiver answered every probe";
   EXPECT_EQ(run.status, 1) << run.output;
}

TEST_F(ReceiveFileTool, DeadlineEndsASenderTooSlowToFinish)
{
   ReceiverProcess receiver(args("--deadline 1 "));
   ASSERT_NE(receiver.port(), 0);
   bool closed = false;
   transfer(receiver, L"slow.bin", 100, [&](HostileSender &s) {
      // One byte of the data message, and no more: the per-wait time-out is far away.
      s.send(Bytes(1, 0));
      closed = s.waitClosed();
   });
   ToolRun run = receiver.finish();
   EXPECT_TRUE(closed);
   EXPECT_EQ(run.status, 1) << run.output;
   EXPECT_TRUE(listing().empty());
}

TEST_F(ReceiveFileTool, KeepServesTheNextSenderAfterAFailedOne)
{
   ReceiverProcess receiver(args("--keep "));
   ASSERT_NE(receiver.port(), 0);
   EXPECT_EQ(transfer(receiver, L"x", 1000000, [](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, Text("short")); }),
             RESULT_FAILED);
   Bytes content = MakeMessage(7, 70000, 3);
   EXPECT_EQ(transfer(receiver, L"good.bin", int64_t(content.size()),
                      [&](HostileSender &s) { s.sendFile(TOOL_TRANSFER_ID, content); }),
             RESULT_OK);
   ToolRun run = receiver.finish();
   EXPECT_EQ(run.status, 0) << run.output;
   EXPECT_EQ(ReadFile(m_dir / "good.bin"), std::string(content.begin(), content.end()));
   EXPECT_EQ(listing(), std::vector<std::string>{"good.bin"});
}

}  // namespace
