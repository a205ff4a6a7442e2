/* The progress line of qvtool's long jobs, seen through a pseudo-terminal: it climbs to
 * 100%, is cleared and replaced by the summary; with standard error redirected only the
 * summary is written. The line's text is checked on the helper itself. */
#include "support/pty_run.h"
#include "support/tool_run.h"

#include "progress.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

/* Erases the terminal's line: what the helper writes before each drawing and at its end. */
const char CLEAR[] = "\r\033[K";

/* The percentages of the lines drawn for the command, in order. */
std::vector<int> Percentages(const std::string &output, const std::string &command)
{
   std::vector<int> shares;
   std::string lead = std::string(CLEAR) + "qvtool " + command + ": ";
   for (size_t at = output.find(lead); at != std::string::npos; at = output.find(lead, at + 1))
   {
      int share = -1;
      if (sscanf(output.c_str() + at + lead.size(), "%d%%", &share) == 1)
         shares.push_back(share);
   }
   return shares;
}

/* The shares climb and end at 100; the last line is cleared and the summary, which starts
 * with summaryStart, follows at the start of a line. */
void ExpectClimbThenSummary(const std::string &output, const std::string &command, const std::string &summaryStart)
{
   std::vector<int> shares = Percentages(output, command);
   ASSERT_FALSE(shares.empty()) << output;
   for (size_t i = 1; i < shares.size(); i++)
      EXPECT_LE(shares[i - 1], shares[i]) << output;
   EXPECT_EQ(shares.back(), 100) << output;
   size_t last = output.rfind(std::string(CLEAR) + "qvtool " + command + ": 100%");
   ASSERT_NE(last, std::string::npos);
   size_t clear = output.find(CLEAR, last + 1);
   size_t summary = output.find(summaryStart, last);
   ASSERT_NE(summary, std::string::npos) << output;
   EXPECT_LT(clear, summary) << output;
   // At the start of a line: right after the clearing, or after other lines.
   EXPECT_TRUE(summary == clear + strlen(CLEAR) || output[summary - 1] == '\n') << output;
   // Nothing of the line is drawn again after the summary.
   EXPECT_EQ(output.find("qvtool " + command + ": ", summary), std::string::npos) << output;
   EXPECT_NE(output.find('\n', summary), std::string::npos) << output;
}

std::string ReadFile(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class ProgressTool : public ToolDirTest
{
protected:
   /* A file of runs of random bytes and of text, which deflate shrinks by about half. */
   std::string makeSource(size_t size)
   {
      std::mt19937 random(5);
      std::string content(size, ' ');
      for (size_t i = 0; i < size; i++)
         content[i] = (i % 4096 < 2048) ? char(random()) : "progress\n"[i % 9];
      return writeFile("source.bin", content);
   }

   /* A receiver on any free port whose output goes to a pipe; its port. */
   FILE *startReceiver(int *port)
   {
      std::filesystem::create_directories(m_dir / "in");
      FILE *receiver = popen(("'" + ToolPath() + "' receive-file 0 '" + path("in") + "' 2>&1").c_str(), "r");
      char line[256];
      if (receiver == nullptr || fgets(line, sizeof(line), receiver) == nullptr ||
          sscanf(line, "listening on port %d", port) != 1)
         ADD_FAILURE() << "the receiver did not start";
      return receiver;
   }

   /* Reads the rest of the receiver's output; its exit code. */
   int finishReceiver(FILE *receiver, std::string *output)
   {
      char line[512];
      while (fgets(line, sizeof(line), receiver) != nullptr)
         *output += line;
      int status = pclose(receiver);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   }
};

}  // namespace

/* Compressed, the sender counts the file's bytes read, so the share reaches 100 although
 * fewer bytes go over the wire. */
TEST_F(ProgressTool, SendFileShowsTheShareOfTheFileWhenCompressed)
{
   std::string source = makeSource(3000000);
   int port = 0;
   FILE *receiver = startReceiver(&port);
   ASSERT_NE(receiver, nullptr);
   qvtest::PtyProcess sender(
       {ToolPath(), "send-file", "127.0.0.1:" + std::to_string(port), source, "--compress", "deflate"});
   ASSERT_TRUE(sender.started());
   qvtest::PtyRun run = sender.wait();
   std::string received;
   EXPECT_EQ(finishReceiver(receiver, &received), 0) << received;
   ASSERT_TRUE(run.finished);
   EXPECT_EQ(run.status, 0) << run.output;
   ExpectClimbThenSummary(run.output, "send-file", "sent 3000000 bytes (");
   EXPECT_NE(run.output.find(" of 2.9 MiB"), std::string::npos) << run.output;
   // The summary tells the wire bytes apart: fewer than the file's.
   size_t summary = run.output.rfind("sent 3000000 bytes (");
   long long wire = 0;
   ASSERT_EQ(sscanf(run.output.c_str() + summary, "sent 3000000 bytes (%lld on the wire", &wire), 1);
   EXPECT_LT(wire, 3000000);
}

/* The receiver knows the total from the announced size. */
TEST_F(ProgressTool, ReceiveFileShowsTheShareOfTheAnnouncedSize)
{
   std::string source = makeSource(2000000);
   std::filesystem::create_directories(m_dir / "in");
   qvtest::PtyProcess receiver({ToolPath(), "receive-file", "0", path("in")});
   ASSERT_TRUE(receiver.started());
   ASSERT_TRUE(receiver.readUntil("\n")) << receiver.output();
   int port = 0;
   ASSERT_EQ(sscanf(receiver.output().c_str(), "listening on port %d", &port), 1) << receiver.output();
   ToolRun sender = RunTool("send-file 127.0.0.1:" + std::to_string(port) + " '" + source + "' --compress lz4");
   qvtest::PtyRun run = receiver.wait();
   EXPECT_EQ(sender.status, 0) << sender.output;
   ASSERT_TRUE(run.finished);
   EXPECT_EQ(run.status, 0) << run.output;
   ExpectClimbThenSummary(run.output, "receive-file", "received 2000000 bytes (");
   EXPECT_NE(run.output.find(" of 1.9 MiB"), std::string::npos) << run.output;
}

/* The pool's tasks and a directory's files are counted in their own units. */
TEST_F(ProgressTool, PoolStressAndConfigCountTheirUnits)
{
   qvtest::PtyProcess pool(
       {ToolPath(), "pool-stress", "--workers", "2", "--tasks", "300", "--task-ms", "0", "--time-scale", "100"});
   qvtest::PtyRun run = pool.wait();
   ASSERT_TRUE(run.finished);
   EXPECT_EQ(run.status, 0) << run.output;
   ExpectClimbThenSummary(run.output, "pool-stress", "pool-stress: 300 tasks in ");
   EXPECT_NE(run.output.find("100% 300 of 300 tasks"), std::string::npos) << run.output;

   std::filesystem::create_directories(m_dir / "conf.d");
   for (int i = 0; i < 40; i++)
      writeFile(("conf.d/" + std::to_string(100 + i) + ".ini").c_str(), "k" + std::to_string(i) + " = 1\n");
   qvtest::PtyProcess config({ToolPath(), "config", path("conf.d")});
   run = config.wait();
   ASSERT_TRUE(run.finished);
   EXPECT_EQ(run.status, 0) << run.output;
   std::vector<int> shares = Percentages(run.output, "config");
   ASSERT_FALSE(shares.empty()) << run.output;
   EXPECT_EQ(shares.back(), 100);
   // The line is cleared before the tree (coloured on a terminal), which is the result and
   // needs no summary.
   size_t last = run.output.rfind("qvtool config: 100% 40 of 40 files");
   ASSERT_NE(last, std::string::npos) << run.output;
   size_t clear = run.output.find(CLEAR, last);
   ASSERT_NE(clear, std::string::npos) << run.output;
   EXPECT_LT(clear, run.output.find("root]", last)) << run.output;
   EXPECT_EQ(run.output.find("qvtool config:", clear), std::string::npos) << run.output;
}

/* With standard error redirected (standard output still a terminal) the summary is all that
 * standard error gets. */
TEST_F(ProgressTool, RedirectedStandardErrorGetsOnlyTheSummary)
{
   std::string source = makeSource(1000000);
   int port = 0;
   FILE *receiver = startReceiver(&port);
   ASSERT_NE(receiver, nullptr);
   std::string errors = path("stderr.txt");
   qvtest::PtyProcess sender({ToolPath(), "send-file", "127.0.0.1:" + std::to_string(port), source}, errors);
   qvtest::PtyRun run = sender.wait();
   std::string received;
   EXPECT_EQ(finishReceiver(receiver, &received), 0) << received;
   EXPECT_EQ(run.status, 0) << run.output;
   std::string written = ReadFile(errors);
   EXPECT_EQ(written.compare(0, 34, "sent 1000000 bytes (1000000 on the"), 0) << written;
   EXPECT_EQ(written.find('\n'), written.size() - 1) << written;
   EXPECT_EQ(written.find('\r'), std::string::npos) << written;
   EXPECT_EQ(written.find('%'), std::string::npos) << written;
   // The terminal (standard output) got the tool's lines but no progress line.
   EXPECT_NE(run.output.find("the receiver stored the file"), std::string::npos) << run.output;
   EXPECT_EQ(run.output.find("qvtool send-file:"), std::string::npos) << run.output;

   // The receiver's standard error was a pipe: its summary, and no progress line.
   EXPECT_NE(received.find("received 1000000 bytes ("), std::string::npos) << received;
   EXPECT_EQ(received.find('\r'), std::string::npos) << received;
}

/* The text of the line: share, amounts, rate and time left; without a total or a rate the
 * parts that need them are left out. */
TEST(ProgressLineText, ShowsShareAmountsRateAndTimeLeft)
{
   const int64_t MIB = 1024 * 1024;
   ProgressLine bytes("send-file", 200 * MIB);
   EXPECT_EQ(bytes.text(50 * MIB, 10.0 * MIB), "qvtool send-file:  25% 50.0 MiB of 200.0 MiB, 10.0 MiB/s, 0:15 left");
   EXPECT_EQ(bytes.text(200 * MIB, 10.0 * MIB), "qvtool send-file: 100% 200.0 MiB of 200.0 MiB, 10.0 MiB/s");
   EXPECT_EQ(bytes.text(1, -1), "qvtool send-file:   0% 1 B of 200.0 MiB");
   // More than the total (a file that grew) stays at 100%.
   EXPECT_EQ(bytes.text(201 * MIB, -1), "qvtool send-file: 100% 201.0 MiB of 200.0 MiB");

   ProgressLine slow("receive-file", 4 * 1024 * MIB);
   EXPECT_EQ(slow.text(0, 100.0 * 1024), "qvtool receive-file:   0% 0 B of 4.0 GiB, 100.0 KiB/s, 11:39:03 left");

   ProgressLine unknown("config", -1, "files");
   EXPECT_EQ(unknown.text(12, -1), "qvtool config: 12 files");
   unknown.setTotal(48);
   EXPECT_EQ(unknown.text(12, 6), "qvtool config:  25% 12 of 48 files, 6 files/s, 0:06 left");

   EXPECT_EQ(ProgressLine::FormatBytes(1023), "1023 B");
   EXPECT_EQ(ProgressLine::FormatBytes(1536), "1.5 KiB");
   EXPECT_EQ(ProgressLine::FormatBytes(int64_t(3) << 40), "3.0 TiB");
}
