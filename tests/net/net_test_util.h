/* Helpers of the listener, executor and pipe tests: descriptor counts, a free TCP port,
 * the log's lines and the debug lines of every thread, and waiting on a predicate. */
#ifndef QORVEL_TESTS_NET_TEST_UTIL_H
#define QORVEL_TESTS_NET_TEST_UTIL_H

#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace qvtest {

inline long OpenDescriptorCount()
{
   return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
}

/* A TCP port that is free on IPv4 and IPv6 at this moment (a dual-stack socket bound to
 * port 0 found it). */
inline uint16_t FreeTcpPort()
{
   int fd = socket(AF_INET6, SOCK_STREAM, 0);
   int off = 0;
   setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off));
   struct sockaddr_in6 addr = {};
   addr.sin6_family = AF_INET6;
   addr.sin6_addr = in6addr_any;
   socklen_t length = sizeof(addr);
   uint16_t port = 0;
   if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0 &&
       getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) == 0)
      port = ntohs(addr.sin6_port);
   close(fd);
   return port;
}

/* Waits (yielding, no sleeps) until condition() holds; false when it did not within
 * GENEROUS. */
template <typename F> bool WaitFor(F condition)
{
   for (Clock::time_point start = Clock::now(); Clock::now() - start < GENEROUS; std::this_thread::yield())
   {
      if (condition())
         return true;
   }
   return condition();
}

/* The process log written to a temporary file while the object lives, with each line's
 * text after the timestamp ("*E* text"). */
class LogFile
{
   std::string m_dir;
   std::string m_path;

public:
   static constexpr uint32_t MSG_DEBUG = 1;
   static constexpr uint32_t MSG_DEBUG_TAGGED = 2;
   static constexpr uint32_t MSG_GENERIC = 3;

   LogFile()
   {
      static const QVLOG_MESSAGE_TEXT messages[] = {
          {MSG_DEBUG, L"%1"}, {MSG_DEBUG_TAGGED, L"[%1] %2"}, {MSG_GENERIC, L"%1"}};
      char pattern[] = "/tmp/qvnetlogXXXXXX";
      if (mkdtemp(pattern) != nullptr)
         m_dir = pattern;
      m_path = m_dir + "/test.log";
      qvlog_register_message_table(messages, sizeof(messages) / sizeof(messages[0]));
      std::wstring wide(m_path.begin(), m_path.end());
      EXPECT_TRUE(qvlog_open(wide.c_str(), 0, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED, MSG_GENERIC));
   }
   ~LogFile()
   {
      qvlog_close();
      std::error_code ignored;
      std::filesystem::remove_all(m_dir, ignored);
   }
   LogFile(const LogFile &) = delete;
   LogFile &operator=(const LogFile &) = delete;

   std::vector<std::string> lines() const
   {
      std::vector<std::string> result;
      std::ifstream file(m_path);
      std::string line;
      while (std::getline(file, line))
      {
         // "yyyy.mm.dd hh:mm:ss.mmm " comes first.
         result.push_back(line.size() > 24 ? line.substr(24) : line);
      }
      return result;
   }

   bool has(const std::string &line) const
   {
      std::vector<std::string> all = lines();
      return std::find(all.begin(), all.end(), line) != all.end();
   }

   size_t count(const std::string &line) const
   {
      std::vector<std::string> all = lines();
      return static_cast<size_t>(std::count(all.begin(), all.end(), line));
   }
};

/* Debug lines of every thread up to a level while the object lives. */
class DebugLines
{
   static std::mutex &lock()
   {
      static std::mutex m;
      return m;
   }
   static std::vector<std::wstring> &store()
   {
      static std::vector<std::wstring> lines;
      return lines;
   }
   static void keep(const wchar_t *, const wchar_t *message)
   {
      std::lock_guard<std::mutex> guard(lock());
      store().push_back(message);
   }
   int32_t m_savedLevel;

public:
   explicit DebugLines(int32_t level) : m_savedLevel(qvlog_get_debug_level())
   {
      {
         std::lock_guard<std::mutex> guard(lock());
         store().clear();
      }
      qvlog_set_debug_level(level);
      qvlog_set_debug_writer(keep);
   }
   ~DebugLines()
   {
      qvlog_set_debug_writer(nullptr);
      qvlog_set_debug_level(m_savedLevel);
   }
   DebugLines(const DebugLines &) = delete;
   DebugLines &operator=(const DebugLines &) = delete;

   std::vector<std::wstring> all() const
   {
      std::lock_guard<std::mutex> guard(lock());
      return store();
   }
   size_t count(const std::wstring &line) const
   {
      std::vector<std::wstring> lines = all();
      return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
   }
   bool has(const std::wstring &line) const { return count(line) > 0; }
};

}  // namespace qvtest

#endif
