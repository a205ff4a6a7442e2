/* The log writer on a disk that fills up: a small tmpfs made in a private mount namespace
 * of a child process. Every line written must be in the file whole or counted as lost,
 * and the count must be told once, in the first line written after space returns, and to
 * the system log. */
#include <qorvel.h>

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr uint32_t MSG_GENERIC = 3;
const QVLOG_MESSAGE_TEXT MESSAGES[] = {{MSG_GENERIC, L"%1\r\n"}};

/* The file system, what fills part of it at first, and the lines written: more than fit. */
constexpr const char *TMPFS_OPTIONS = "size=1m";
constexpr size_t FILLER_BYTES = 256 * 1024;
constexpr int LINES = 4000;
constexpr int PADDING = 200;

/* Separates the log file from the system-log lines in what the child reports. */
const std::string SYSLOG_MARK = "\n--- system log ---\n";

/* What the child found, or "SKIP: why" when it could not make the file system. */
std::string g_report;

void Put(int fd, const std::string &text)
{
   for (size_t done = 0; done < text.size();)
   {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n <= 0)
         _exit(3);
      done += size_t(n);
   }
}

std::string ReadAll(const fs::path &path)
{
   std::ifstream in(path, std::ios::binary);
   std::stringstream text;
   text << in.rdbuf();
   return text.str();
}

/* In the child: the tmpfs, the log on it, the lines; the log file and the system-log lines
 * go to out. */
void RunOnSmallDisk(const fs::path &base, uint32_t flags, int out)
{
   fs::path disk = base / "disk";
   if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
       mount("tmpfs", disk.c_str(), "tmpfs", 0, TMPFS_OPTIONS) != 0)
   {
      Put(out, std::string("SKIP: no private tmpfs (unshare -m and mount need root): ") + strerror(errno));
      _exit(0);
   }
   std::string socketPath = (base / "syslog.sock").string();
   int syslog = socket(AF_UNIX, SOCK_DGRAM, 0);
   sockaddr_un address = {};
   address.sun_family = AF_UNIX;
   strlcpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path));
   if (bind(syslog, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0)
      _exit(4);
   qvlog_set_syslog_path(socketPath.c_str());
   qvlog_register_message_table(MESSAGES, 1);
   qvlog_set_rotation_policy(QVLOG_ROTATE_NEVER, 0, 0, nullptr);

   fs::path filler = disk / "filler";
   std::ofstream(filler) << std::string(FILLER_BYTES, 'f');
   std::wstring log = (disk / "test.log").wstring();
   if (!qvlog_open(log.c_str(), flags, nullptr, 0, nullptr, 0, 0, MSG_GENERIC))
      _exit(5);
   std::wstring padding(PADDING, L'0');
   for (int i = 0; i < LINES; i++)
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"line %d %s", i, padding.c_str());
   // The background writer has written (or lost) everything once the log is closed.
   if ((flags & QVLOG_ASYNC) != 0)
      qvlog_close();
   fs::remove(filler);
   if ((flags & QVLOG_ASYNC) != 0 && !qvlog_open(log.c_str(), flags, nullptr, 0, nullptr, 0, 0, MSG_GENERIC))
      _exit(6);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"after");
   qvlog_close();

   std::string report = ReadAll(disk / "test.log") + SYSLOG_MARK;
   pollfd p = {syslog, POLLIN, 0};
   char datagram[4096];
   while (poll(&p, 1, 0) == 1)
   {
      ssize_t n = recv(syslog, datagram, sizeof(datagram), 0);
      if (n <= 0)
         break;
      report += std::string(datagram, size_t(n)) + "\n";
   }
   Put(out, report);
   umount(disk.c_str());
   _exit(0);
}

class LogOnFullDisk : public ::testing::TestWithParam<uint32_t>
{
protected:
   qvtest::TempDir m_temp;
   fs::path m_base;

   void SetUp() override
   {
      ASSERT_FALSE(m_temp.path().empty());
      m_base = m_temp.path();
      fs::create_directory(m_base / "disk");
   }

   /* Runs the child and returns its report. */
   std::string run()
   {
      int pipeFds[2];
      EXPECT_EQ(pipe(pipeFds), 0);
      pid_t child = fork();
      if (child == 0)
      {
         close(pipeFds[0]);
         RunOnSmallDisk(m_base, GetParam(), pipeFds[1]);
      }
      close(pipeFds[1]);
      std::string report;
      char chunk[65536];
      ssize_t n;
      while ((n = read(pipeFds[0], chunk, sizeof(chunk))) > 0)
         report.append(chunk, size_t(n));
      close(pipeFds[0]);
      int status = 0;
      waitpid(child, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
      return report;
   }
};

TEST_P(LogOnFullDisk, EveryLineIsWholeOrCountedAndTheCountIsToldOnce)
{
   std::string report = run();
   if (report.compare(0, 5, "SKIP:") == 0)
      GTEST_SKIP() << report;
   size_t mark = report.find(SYSLOG_MARK);
   ASSERT_NE(mark, std::string::npos) << report.size();
   std::string file = report.substr(0, mark);
   std::string syslog = report.substr(mark + SYSLOG_MARK.size());

   const std::string ts = "\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}";
   const std::regex numbered(ts + " \\*I\\* line (\\d+) 0{" + std::to_string(PADDING) + "}");
   const std::regex notice(ts + " \\*W\\* Log writer: (\\d+) lines were lost \\(.+\\)");
   const std::regex other("|" + ts + " Log file opened .*|" + ts + " \\*I\\* after");
   std::istringstream lines(file);
   std::string line;
   int present = 0, lost = 0, notices = 0, next = 0;
   bool noticeBeforeAfter = false;
   while (std::getline(lines, line))
   {
      std::smatch m;
      if (std::regex_match(line, m, numbered))
      {
         EXPECT_GE(std::stoi(m[1]), next) << "out of order: " << line;
         next = std::stoi(m[1]) + 1;
         present++;
      }
      else if (std::regex_match(line, m, notice))
      {
         lost += std::stoi(m[1]);
         notices++;
      }
      else
      {
         EXPECT_TRUE(std::regex_match(line, other)) << "torn or unknown line: " << line.substr(0, 80);
         noticeBeforeAfter |= (notices == 1 && line.find("*I* after") != std::string::npos);
      }
   }
   EXPECT_GT(lost, 0) << "the disk never filled";
   EXPECT_EQ(present + lost, LINES);
   EXPECT_EQ(notices, 1);
   EXPECT_TRUE(noticeBeforeAfter);
   EXPECT_EQ(file.back(), '\n');
   // The system log heard of the loss when it began and of its count when it ended.
   EXPECT_NE(syslog.find("lines are being lost"), std::string::npos) << syslog;
   EXPECT_NE(syslog.find("Log writer: " + std::to_string(lost) + " lines were lost"), std::string::npos) << syslog;
}

INSTANTIATE_TEST_SUITE_P(LogWriter, LogOnFullDisk, ::testing::Values(0u, QVLOG_ASYNC));

}  // namespace
