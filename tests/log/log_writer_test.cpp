/* The log writer: line format and headers, argument letters and message texts, rotation by
 * size and by day (with a test clock), the background writer, the console and debug hooks,
 * the system-log socket, and concurrent writers. */
#include <qorvel.h>

#include "support/time_test_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

enum : uint32_t
{
   MSG_DEBUG = 1,
   MSG_DEBUG_TAGGED,
   MSG_GENERIC,
   MSG_THREE,
   MSG_TWO_LINES,
   MSG_SIXTEENTH,
   MSG_SEVENTEENTH,
   MSG_ESCAPES,
   MSG_UNKNOWN = 0x63
};

const QVLOG_MESSAGE_TEXT MESSAGES[] = {
    {MSG_DEBUG, L"%1"},
    {MSG_DEBUG_TAGGED, L"[%1] %2"},
    {MSG_GENERIC, L"%1\r\n"},
    {MSG_THREE, L"[%1][%2][%3]\r\n"},
    {MSG_TWO_LINES, L"first line\r\nsecond line\r\n"},
    {MSG_SIXTEENTH, L"%16"},
    {MSG_SEVENTEENTH, L"%17"},
    {MSG_ESCAPES, L"100%% %1!s! %t%b%.%0ignored"},
    {MSG_THREE, L"a later entry of the same code does not count"},
};

constexpr uint64_t DEFAULT_MAX_SIZE = 4194304;

/* Limit for a datagram that should arrive at once. */
constexpr int RECEIVE_TIMEOUT_MS = 5000;

std::atomic<int64_t> g_now{0};
int64_t TestClock()
{
   return g_now.load();
}

/* Milliseconds since the epoch of a local time (the zone in force). */
int64_t LocalMs(int year, int month, int day, int hour, int minute, int second, int ms = 0)
{
   struct tm t = CalendarTime(year, month, day, hour, minute, second);
   t.tm_isdst = -1;
   return static_cast<int64_t>(mktime(&t)) * 1000 + ms;
}

std::mutex g_hookMutex;
std::vector<std::wstring> g_console;
std::vector<std::pair<std::wstring, std::wstring>> g_debug;  // tag ("<null>" for none), text

void CaptureConsole(const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   wchar_t *text = qv_vaswprintf(format, args);
   va_end(args);
   std::lock_guard<std::mutex> guard(g_hookMutex);
   g_console.push_back(text);
   free(text);
}

void CaptureDebug(const wchar_t *tag, const wchar_t *message)
{
   std::lock_guard<std::mutex> guard(g_hookMutex);
   g_debug.emplace_back(tag != nullptr ? tag : L"<null>", message);
}

std::string ReadFile(const fs::path &path)
{
   std::ifstream file(path, std::ios::binary);
   std::stringstream text;
   text << file.rdbuf();
   return text.str();
}

std::string Normalised(const std::string &text)
{
   static const std::regex timestamp("\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}");
   return std::regex_replace(text, timestamp, "TS");
}

const std::string OPENED = "\nTS Log file opened (rotation policy 2, max size 4194304)\n";
const std::string TRUNCATED = "TS Log file truncated.\n";

size_t TaskCount()
{
   size_t count = 0;
   for (auto &entry : fs::directory_iterator("/proc/self/task"))
   {
      (void)entry;
      count++;
   }
   return count;
}

class LogWriterTest : public ::testing::Test
{
protected:
   qvtest::TempDir m_temp;
   fs::path m_dir;
   fs::path m_log;

   void SetUp() override
   {
      ASSERT_FALSE(m_temp.path().empty());
      m_dir = m_temp.path();
      m_log = m_dir / "test.log";
      ASSERT_TRUE(qvlog_register_message_table(MESSAGES, sizeof(MESSAGES) / sizeof(MESSAGES[0])));
      g_console.clear();
      g_debug.clear();
   }

   void TearDown() override
   {
      qvlog_close();
      qvlog_set_debug_writer(nullptr);
      qvlog_set_console_writer(nullptr);
      qvlog_set_syslog_path(nullptr);
      qvlog_set_clock(nullptr);
      qvlog_set_rotation_policy(QVLOG_ROTATE_DAILY, 0, 0, L"%Y%m%d");
      qvlog_set_rotation_policy(QVLOG_ROTATE_BY_SIZE, DEFAULT_MAX_SIZE, 4, nullptr);
   }

   bool Open(uint32_t flags, const fs::path &name = fs::path())
   {
      std::wstring wide = (name.empty() ? m_log : name).wstring();
      return qvlog_open(wide.c_str(), flags, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED, MSG_GENERIC);
   }

   std::string Log(const std::string &suffix = "") { return Normalised(ReadFile(m_log.string() + suffix)); }
   bool Exists(const std::string &suffix) { return fs::exists(m_log.string() + suffix); }
};

TEST_F(LogWriterTest, LinesCarryTimestampSeverityMarkAndOneLineOfText)
{
   qvlog_set_clock(TestClock);
   g_now = LocalMs(2019, 3, 7, 14, 5, 9, 42);
   qvlog_write(MSG_THREE, EVENTLOG_ERROR_TYPE, "sss", L"before", L"open", L"!");
   ASSERT_TRUE(Open(0));
   qvlog_write(0, EVENTLOG_ERROR_TYPE, "sss", L"code", L"zero", L"!");
   const std::pair<uint16_t, const char *> severities[] = {
       {EVENTLOG_ERROR_TYPE, "*E* "},
       {EVENTLOG_WARNING_TYPE, "*W* "},
       {EVENTLOG_INFORMATION_TYPE, "*I* "},
       {QVLOG_DEBUG_TYPE, "*D* "},
       {3, "*?* "},
   };
   std::string expected = "\n2019.03.07 14:05:09.042 Log file opened (rotation policy 2, max size 4194304)\n";
   for (auto &s : severities)
   {
      qvlog_write(MSG_THREE, s.first, "sss", L"a", L"b", L"c");
      expected += std::string("2019.03.07 14:05:09.042 ") + s.second + "[a][b][c]\n";
   }
   qvlog_write(MSG_TWO_LINES, EVENTLOG_INFORMATION_TYPE, nullptr);
   expected += "2019.03.07 14:05:09.042 *I* first line\n";
   qvlog_close();
   EXPECT_EQ(ReadFile(m_log), expected);
   qvlog_write(MSG_THREE, EVENTLOG_ERROR_TYPE, "sss", L"after", L"close", L"!");
   EXPECT_EQ(ReadFile(m_log), expected);
}

TEST_F(LogWriterTest, ArgumentLettersAndMessageTexts)
{
   ASSERT_TRUE(Open(0));
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "sdx", L"text", -5, 255);
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "um?", L"wide", "narrow \xc3\xa4", uintptr_t(0x1234567890));
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "see", nullptr, uint32_t(ENOENT), 0x7FFFFFF0u);
   const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "aAH", 0x0A000001u, v6, v6);
   InetAddress v4Address(0x7F000001u), v6Address(v6), unspecified;
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "III", &v4Address, &v6Address, &unspecified);
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "AHI", nullptr, nullptr, nullptr);
   // At most 16 letters are read: the 17th insert never exists.
   const char *seventeen = "ddddddddddddddddd";
   qvlog_write(MSG_SIXTEENTH, EVENTLOG_INFORMATION_TYPE, seventeen, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
               16, 17);
   qvlog_write(MSG_SEVENTEENTH, EVENTLOG_INFORMATION_TYPE, seventeen, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
               16, 17);
   qvlog_write(MSG_THREE, EVENTLOG_INFORMATION_TYPE, "s", L"too few");
   qvlog_write(MSG_UNKNOWN, EVENTLOG_INFORMATION_TYPE, "s", L"no text");
   qvlog_write(MSG_ESCAPES, EVENTLOG_INFORMATION_TYPE, "s", L"X");
   qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"%s=%d", L"n", 5);
   qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"refused %y conversion");
   qvlog_write_generic(EVENTLOG_WARNING_TYPE, L"%s", std::wstring(10000, L'x').c_str());
   qvlog_close();
   EXPECT_EQ(Log(), OPENED +
                        "TS *I* [text][-5][0x000000FF]\n"
                        "TS *I* [wide][narrow \xc3\xa4][BAD FORMAT (0x34567890)]\n"
                        "TS *I* [(null)][No such file or directory][MSG 0x7FFFFFF0 - Unable to find message text]\n"
                        "TS *I* [10.0.0.1][2001:db8::1][[2001:db8::1]]\n"
                        "TS *I* [127.0.0.1][2001:db8::1][UNSPEC]\n"
                        "TS *I* [(null)][(null)][(null)]\n"
                        "TS *I* 16\n"
                        "TS *I* MSG 0x00000007 - cannot format message\n"
                        "TS *I* MSG 0x00000004 - cannot format message\n"
                        "TS *I* MSG 0x00000063 - cannot format message\n"
                        "TS *I* 100% X \t .\n"
                        "TS *W* n=5\n"
                        "TS *W* refused %y conversion\n"
                        "TS *W* " +
                        std::string(8191, 'x') + "\n");
}

TEST_F(LogWriterTest, HooksReceiveLinesAndDebugMessages)
{
   qvlog_set_console_writer(CaptureConsole);
   qvlog_set_debug_writer(CaptureDebug);
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_BY_SIZE, 2048, 4, nullptr));  // closed: hook only
   ASSERT_TRUE(Open(QVLOG_CONSOLE));
   qvlog_write(MSG_THREE, EVENTLOG_WARNING_TYPE, "sss", L"a", L"b", L"c");
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_DAILY, 5, 7, L"%d"));
   qvlog_close();
   ASSERT_TRUE(Open(QVLOG_CONSOLE | QVLOG_ASYNC));
   qvlog_write(MSG_THREE, EVENTLOG_ERROR_TYPE, "sss", L"d", L"e", L"f");
   qvlog_close();

   std::vector<std::string> console;
   for (auto &line : g_console)
      console.push_back(Normalised(std::string(line.begin(), line.end())));
   EXPECT_EQ(console,
             (std::vector<std::string>{"TS *W* [a][b][c]\n", "TS *D* Log rotation policy set to 1 (size=5, count=7)\n",
                                       "TS *E* [d][e][f]\n"}));
   EXPECT_EQ(g_debug, (std::vector<std::pair<std::wstring, std::wstring>>{
                          {L"<null>", L"Log rotation policy set to 2 (size=2048, count=4)"},
                          {L"<null>", L"Log rotation policy set to 1 (size=5, count=7)"}}));
   EXPECT_EQ(Log(), "\nTS Log file opened (rotation policy 2, max size 2048)\nTS *W* [a][b][c]\n"
                    "TS *D* Log rotation policy set to 1 (size=5, count=7)\n"
                    "\nTS Log file opened (rotation policy 1, max size 2048)\nTS *E* [d][e][f]\n");
}

TEST_F(LogWriterTest, RotationPolicySettingsAndResults)
{
   qvlog_set_debug_writer(CaptureDebug);
   struct Case
   {
      int32_t policy;
      uint64_t maxSize;
      int32_t history;
      bool result;
      const char *header;  // max size shown when the log opens afterwards
   };
   const Case cases[] = {
       {QVLOG_ROTATE_BY_SIZE, 500, 4, false, "max size 1024"},
       {QVLOG_ROTATE_BY_SIZE, 0, 200, false, "max size 0"},
       {QVLOG_ROTATE_BY_SIZE, 4096, -1, false, "max size 4096"},
       {QVLOG_ROTATE_BY_SIZE, 1024, 128, true, "max size 1024"},
   };
   for (const Case &c : cases)
   {
      g_debug.clear();
      EXPECT_EQ(qvlog_set_rotation_policy(c.policy, c.maxSize, c.history, nullptr), c.result) << c.maxSize;
      EXPECT_EQ(g_debug.size(), c.result ? 1u : 0u) << c.maxSize;
      fs::remove(m_log);
      ASSERT_TRUE(Open(0));
      qvlog_close();
      EXPECT_NE(ReadFile(m_log).find(c.header), std::string::npos) << c.maxSize;
   }
}

/* Six rotations, each after one line, with stray old files 7 and 128 lying about. */
class SizeRotation : public LogWriterTest, public ::testing::WithParamInterface<int>
{};

TEST_P(SizeRotation, KeepsTheNewestFilesUpToTheHistorySize)
{
   const int history = GetParam();
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_BY_SIZE, 0, history, nullptr));
   std::ofstream(m_log.string() + ".7") << "stray";
   std::ofstream(m_log.string() + ".128") << "stray";
   ASSERT_TRUE(Open(0));
   for (int i = 0; i < 6; i++)
   {
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"line %d", i);
      ASSERT_TRUE(qvlog_rotate());
   }
   qvlog_close();
   EXPECT_EQ(Log(), TRUNCATED);
   for (int k = 0; k <= history; k++)
      EXPECT_EQ(Log("." + std::to_string(k)), TRUNCATED + "TS *I* line " + std::to_string(5 - k) + "\n") << k;
   for (int k = history + 1; k <= QVLOG_MAX_HISTORY_SIZE; k++)
      EXPECT_FALSE(Exists("." + std::to_string(k))) << k;
}

INSTANTIATE_TEST_SUITE_P(LogWriter, SizeRotation, ::testing::Values(0, 4));

/* Lines of 100 characters against a limit of 1024 bytes: every rotated file reached the
 * limit, and all lines are there in order. */
class AutomaticRotation : public LogWriterTest, public ::testing::WithParamInterface<uint32_t>
{};

TEST_P(AutomaticRotation, RotatesWhenTheFileReachesTheLimit)
{
   constexpr int LINES = 30;
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_BY_SIZE, 1024, 10, nullptr));
   ASSERT_TRUE(Open(GetParam()));
   for (int i = 0; i < LINES; i++)
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"%03d %096d", i, 0);
   qvlog_close();
   std::string all;
   int rotated = 0;
   for (int k = 10; k >= -1; k--)
   {
      std::string suffix = (k >= 0) ? "." + std::to_string(k) : "";
      if (!Exists(suffix))
         continue;
      std::string text = ReadFile(m_log.string() + suffix);
      if (k >= 0)
      {
         EXPECT_GE(text.size(), 1024u) << suffix;
         rotated++;
      }
      all += Normalised(text);
   }
   EXPECT_GE(rotated, 1);
   std::string expected = "\nTS Log file opened (rotation policy 2, max size 1024)\n";
   for (int i = 0; i < LINES; i++)
   {
      char line[128];
      snprintf(line, sizeof(line), "TS *I* %03d %096d\n", i, 0);
      expected += line;
   }
   all = std::regex_replace(all, std::regex(TRUNCATED), "");
   EXPECT_EQ(all, expected);
}

INSTANTIATE_TEST_SUITE_P(LogWriter, AutomaticRotation, ::testing::Values(0u, QVLOG_ASYNC));

TEST_F(LogWriterTest, DailyRotationFollowsTheClock)
{
   qvlog_set_clock(TestClock);
   g_now = LocalMs(2024, 3, 7, 12, 0, 0);
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_DAILY, 0, 0, L"%Y%m%d"));
   ASSERT_TRUE(Open(0));
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"A");
   g_now = LocalMs(2024, 3, 7, 23, 59, 59, 999);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"B");
   g_now = LocalMs(2024, 3, 8, 0, 0, 0);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"C");
   // An explicit rotation names the file by the current day; the rotation at the day's
   // end must not overwrite it.
   ASSERT_TRUE(qvlog_rotate());
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"D");
   g_now = LocalMs(2024, 3, 9, 8, 0, 0);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"E");
   qvlog_close();
   const std::string opened = "\nTS Log file opened (rotation policy 1, max size 4194304)\n";
   EXPECT_EQ(Log(".20240307"), opened + "TS *I* A\nTS *I* B\n");
   EXPECT_EQ(Log(".20240308"), TRUNCATED + "TS *I* C\n");
   EXPECT_EQ(Log(".20240308.1"), TRUNCATED + "TS *I* D\n");
   EXPECT_EQ(Log(), TRUNCATED + "TS *I* E\n");
}

TEST_F(LogWriterTest, DailyRotationHappensAtMidnightOnLongDays)
{
   const char *savedZone = getenv("TZ");
   std::string saved = savedZone != nullptr ? savedZone : "";
   setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);  // 27 October 2024 had 25 hours
   tzset();
   qvlog_set_clock(TestClock);
   g_now = LocalMs(2024, 10, 27, 12, 0, 0);
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_DAILY, 0, 0, L"%Y%m%d"));
   ASSERT_TRUE(Open(0));
   g_now = LocalMs(2024, 10, 27, 23, 30, 0);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"late");
   g_now = LocalMs(2024, 10, 28, 0, 0, 30);
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"next day");
   qvlog_close();
   if (savedZone != nullptr)
      setenv("TZ", saved.c_str(), 1);
   else
      unsetenv("TZ");
   tzset();
   EXPECT_EQ(Log(".20241027"), "\nTS Log file opened (rotation policy 1, max size 4194304)\nTS *I* late\n");
   EXPECT_EQ(Log(), TRUNCATED + "TS *I* next day\n");
}

TEST_F(LogWriterTest, RotationWithoutPolicyTruncatesAndNeedsAnOpenLog)
{
   EXPECT_FALSE(qvlog_rotate());
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_NEVER, 0, 0, nullptr));
   ASSERT_TRUE(Open(0));
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"gone");
   ASSERT_TRUE(qvlog_rotate());
   qvlog_close();
   EXPECT_EQ(Log(), TRUNCATED);
   EXPECT_FALSE(qvlog_rotate());  // after the close: no file is touched
   EXPECT_EQ(Log(), TRUNCATED);
   EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1);
}

TEST_F(LogWriterTest, LongFileNamesKeepTheirNumbers)
{
   // A name of 259 characters: with the numbers added, its rotated names are longer.
   std::string leaf(259 - m_dir.string().size() - 1, 'n');
   fs::path name = m_dir / leaf;
   ASSERT_EQ(name.string().size(), 259u);
   ASSERT_TRUE(Open(0, name));
   for (int i = 0; i < 3; i++)
      ASSERT_TRUE(qvlog_rotate());
   qvlog_close();
   for (const char *suffix : {"", ".0", ".1", ".2"})
      EXPECT_TRUE(fs::exists(name.string() + suffix)) << suffix;
   EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 4);
}

TEST_F(LogWriterTest, BackgroundWriterWritesEverythingBeforeClose)
{
   ASSERT_TRUE(Open(QVLOG_ASYNC | QVLOG_TRACE_WRITES));
   std::string expected;
   for (int i = 0; i < 1000; i++)
   {
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"line %d \x00e4", i);
      expected += "TS *I* line " + std::to_string(i) + " \xc3\xa4\n";
   }
   qvlog_close();
   std::string text = ReadFile(m_log);
   size_t pos = text.find("##");
   ASSERT_NE(pos, std::string::npos);
   EXPECT_EQ(Normalised(text.substr(0, pos)), OPENED);
   // Each block is preceded by "##(characters)bytes @ms"; the blocks make up the lines.
   static const std::regex trace("##\\((\\d+)\\)(\\d+) @\\d+\n");
   std::string lines;
   std::smatch m;
   std::string rest = text.substr(pos);
   while (std::regex_search(rest, m, trace) && m.position(0) == 0)
   {
      size_t bytes = std::stoul(m[2]);
      std::string block = rest.substr(m.length(0), bytes);
      EXPECT_EQ(std::stoul(m[1]), bytes - std::count(block.begin(), block.end(), '\xc3'));
      lines += block;
      rest = rest.substr(m.length(0) + bytes);
   }
   EXPECT_EQ(rest, "");
   EXPECT_EQ(Normalised(lines), expected);
}

TEST_F(LogWriterTest, CloseStopsTheWriterAfterAFailedRotation)
{
   size_t tasks = TaskCount();
   ASSERT_TRUE(Open(QVLOG_ASYNC));
   ASSERT_TRUE(Open(QVLOG_ASYNC));  // a second open closes the first log
   EXPECT_EQ(TaskCount(), tasks + 1);
   fs::remove_all(m_dir);
   EXPECT_FALSE(qvlog_rotate());  // the file cannot be created again
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"ignored");
   qvlog_close();
   EXPECT_EQ(TaskCount(), tasks);
   fs::create_directory(m_dir);
   ASSERT_TRUE(Open(QVLOG_ASYNC));
   qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"again");
   qvlog_close();
   EXPECT_EQ(Log(), OPENED + "TS *I* again\n");
}

/* A datagram socket standing in for the system log. */
class SyslogReceiver
{
   int m_socket;

public:
   explicit SyslogReceiver(const std::string &path)
   {
      unlink(path.c_str());
      m_socket = socket(AF_UNIX, SOCK_DGRAM, 0);
      struct sockaddr_un address = {};
      address.sun_family = AF_UNIX;
      strlcpy(address.sun_path, path.c_str(), sizeof(address.sun_path));
      if (bind(m_socket, reinterpret_cast<struct sockaddr *>(&address), sizeof(address)) != 0)
         ADD_FAILURE() << "bind " << path << ": " << errno;
   }
   ~SyslogReceiver() { close(m_socket); }

   std::string receive()
   {
      struct pollfd p = {m_socket, POLLIN, 0};
      if (poll(&p, 1, RECEIVE_TIMEOUT_MS) != 1)
         return "(nothing)";
      char buffer[4096];
      ssize_t n = recv(m_socket, buffer, sizeof(buffer), 0);
      return std::string(buffer, n > 0 ? n : 0);
   }
};

TEST_F(LogWriterTest, EventLogModeSendsSyslogDatagrams)
{
   std::string path = (m_dir / "log.sock").string();
   qvlog_set_syslog_path(path.c_str());
   qvlog_set_console_writer(CaptureConsole);
   auto receiver = std::make_unique<SyslogReceiver>(path);
   ASSERT_TRUE(qvlog_open(L"qvtest", QVLOG_EVENT_LOG | QVLOG_CONSOLE, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED,
                          MSG_GENERIC));
   const std::pair<uint16_t, int> priorities[] = {
       {EVENTLOG_ERROR_TYPE, 27}, {EVENTLOG_WARNING_TYPE, 28}, {EVENTLOG_INFORMATION_TYPE, 30}, {QVLOG_DEBUG_TYPE, 30}};
   const std::string stamp = "[A-Z][a-z]{2} [ 1-3][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} ";
   const std::string source = "qvtest\\[" + std::to_string(getpid()) + "\\]: ";
   for (auto &p : priorities)
   {
      qvlog_write(MSG_THREE, p.first, "sss", L"a", L"b", L"c");
      std::string line = receiver->receive();
      EXPECT_TRUE(std::regex_match(
          line, std::regex("<" + std::to_string(p.second) + ">" + stamp + source + "\\[a\\]\\[b\\]\\[c\\]")))
          << line;
   }
   // Without a text the inserts still reach the system log.
   qvlog_write(MSG_UNKNOWN, EVENTLOG_WARNING_TYPE, "sd", L"x", 7);
   std::string line = receiver->receive();
   EXPECT_TRUE(
       std::regex_match(line, std::regex("<28>" + stamp + source + "MSG 0x00000063 - cannot format message: x, 7")))
       << line;
   // A receiver that went away and came back gets the lines after its return.
   receiver.reset();
   qvlog_write(MSG_THREE, EVENTLOG_ERROR_TYPE, "sss", L"lost", L"", L"");
   receiver = std::make_unique<SyslogReceiver>(path);
   qvlog_write(MSG_THREE, EVENTLOG_ERROR_TYPE, "sss", L"back", L"", L"");
   line = receiver->receive();
   EXPECT_TRUE(std::regex_match(line, std::regex("<27>" + stamp + source + "\\[back\\]\\[\\]\\[\\]"))) << line;
   qvlog_close();
   ASSERT_EQ(g_console.size(), 7u);
   EXPECT_TRUE(std::regex_match(std::string(g_console[0].begin(), g_console[0].end()),
                                std::regex("[0-9.]{10} [0-9:.]{12} \\[a\\]\\[b\\]\\[c\\]\n")));
   EXPECT_FALSE(fs::exists("qvtest"));
}

/* Four threads write while a fifth rotates: every line arrives whole, exactly once, and
 * each thread's lines in the order written. */
class ConcurrentWriters : public LogWriterTest, public ::testing::WithParamInterface<uint32_t>
{};

TEST_P(ConcurrentWriters, LoseNoLineAndTearNone)
{
   constexpr int THREADS = 4;
   constexpr int LINES = 500;
   constexpr int ROTATIONS = 5;
   ASSERT_TRUE(qvlog_set_rotation_policy(QVLOG_ROTATE_BY_SIZE, 0, ROTATIONS + 1, nullptr));
   ASSERT_TRUE(Open(GetParam()));
   std::atomic<int> started{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < THREADS; t++)
   {
      threads.emplace_back([t, &started] {
         started++;
         for (int i = 0; i < LINES; i++)
            qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"t%d %d %080d", t, i, 0);
      });
   }
   while (started.load() < THREADS)
      std::this_thread::yield();
   for (int r = 0; r < ROTATIONS; r++)
      EXPECT_TRUE(qvlog_rotate());
   for (auto &thread : threads)
      thread.join();
   qvlog_close();

   std::map<int, int> next;  // thread -> next line number expected
   static const std::regex line("TS \\*I\\* t(\\d) (\\d+) 0{80}");
   for (int k = ROTATIONS + 1; k >= -1; k--)
   {
      std::string suffix = (k >= 0) ? "." + std::to_string(k) : "";
      std::istringstream text(Log(suffix));
      std::string l;
      while (std::getline(text, l))
      {
         std::smatch m;
         if (l.empty() || l.compare(0, 12, "TS Log file ") == 0)
            continue;
         ASSERT_TRUE(std::regex_match(l, m, line)) << l;
         int t = std::stoi(m[1]);
         EXPECT_EQ(std::stoi(m[2]), next[t]++) << l;
      }
   }
   for (int t = 0; t < THREADS; t++)
      EXPECT_EQ(next[t], LINES) << t;
}

TEST_P(ConcurrentWriters, RaceWithCloseSafely)
{
   ASSERT_TRUE(Open(GetParam()));
   std::atomic<bool> stop{false};
   std::atomic<int> written{0};
   std::vector<std::thread> threads;
   for (int t = 0; t < 2; t++)
      threads.emplace_back([&] {
         while (!stop.load())
         {
            qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"racing %080d", 0);
            written++;
         }
      });
   while (written.load() < 100)
      std::this_thread::yield();
   qvlog_close();
   stop = true;
   for (auto &thread : threads)
      thread.join();
   // Lines that lost the race are dropped; every line that got in is whole.
   std::string log = Log();
   std::istringstream text(log);
   std::string l;
   long lines = 0;
   while (std::getline(text, l))
      lines += std::regex_match(l, std::regex("TS \\*I\\* racing 0{80}")) ? 1 : 0;
   EXPECT_GE(lines, 100);
   EXPECT_EQ(lines + 2, std::count(log.begin(), log.end(), '\n'));  // and the header's two
}

INSTANTIATE_TEST_SUITE_P(LogWriter, ConcurrentWriters, ::testing::Values(0u, QVLOG_ASYNC));

}  // namespace
