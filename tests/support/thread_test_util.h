/* Helpers of the thread tests: phase flags, threads that run a lambda, and a check that a
 * thread sleeps in the kernel (blocked on a lock or an event). */
#ifndef QORVEL_TESTS_SUPPORT_THREAD_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_THREAD_TEST_UTIL_H

#include <qorvel.h>

#include <stdlib.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include <sys/syscall.h>

namespace qvtest {

/* Limit for anything that should happen soon: long enough for a loaded sanitizer build. */
constexpr std::chrono::milliseconds GENEROUS{10000};

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start)
{
   return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

/* One-shot phase flag, independent of the primitives under test. */
class Flag
{
   std::mutex m_mutex;
   std::condition_variable m_cv;
   bool m_set = false;

public:
   void set()
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      m_set = true;
      m_cv.notify_all();
   }

   bool wait(std::chrono::milliseconds limit = GENEROUS)
   {
      std::unique_lock<std::mutex> guard(m_mutex);
      return m_cv.wait_for(guard, limit, [this] { return m_set; });
   }

   bool isSet()
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      return m_set;
   }
};

/* A thread started with ThreadStart that runs body; joined at the latest by the
 * destructor. */
class Worker
{
   std::function<void()> m_body;
   qorvel_thread_t *m_thread;

   static void Run(void *arg) { static_cast<Worker *>(arg)->m_body(); }

public:
   explicit Worker(std::function<void()> body, int stackSize = 0) : m_body(std::move(body))
   {
      m_thread = ThreadStart(Run, stackSize, this);
   }
   Worker(const Worker &) = delete;
   Worker &operator=(const Worker &) = delete;
   ~Worker() { join(); }

   bool started() const { return m_thread != nullptr; }
   uint32_t id() const { return (m_thread != nullptr) ? m_thread->id : 0; }
   qorvel_thread_t *record() const { return m_thread; }
   bool join()
   {
      bool ended = ThreadWaitForExit(m_thread);
      m_thread = nullptr;
      return ended;
   }
};

inline std::string ReadTaskFile(uint32_t tid, const char *name)
{
   std::ifstream file("/proc/self/task/" + std::to_string(tid) + "/" + name);
   std::stringstream text;
   text << file.rdbuf();
   return text.str();
}

/* True once thread tid sleeps inside a futex wait, which is where a thread blocked on a
 * lock or an event sits; false when that did not happen within GENEROUS. Polls with
 * yields, no sleeps. */
inline bool WaitUntilBlocked(uint32_t tid)
{
   const std::string futex = std::to_string(SYS_futex) + " ";
   Clock::time_point start = Clock::now();
   while (Clock::now() - start < GENEROUS)
   {
      std::string syscallNow = ReadTaskFile(tid, "syscall");
      std::string stat = ReadTaskFile(tid, "stat");
      size_t state = stat.rfind(')');
      if (syscallNow.compare(0, futex.size(), futex) == 0 && state != std::string::npos &&
          stat.compare(state, 4, ") S ") == 0)
         return true;
      std::this_thread::yield();
   }
   return false;
}

/* True once thread tid got into poll, where the socket waits sit; false when that did not
 * happen within GENEROUS. */
inline bool WaitUntilPolling(uint32_t tid)
{
   for (Clock::time_point start = Clock::now(); Clock::now() - start < GENEROUS; std::this_thread::yield())
   {
      long call = atol(ReadTaskFile(tid, "syscall").c_str());
      if (call == SYS_poll || call == SYS_ppoll)
         return true;
   }
   return false;
}

/* The name the kernel keeps for thread tid. */
inline std::string ThreadNameOf(uint32_t tid)
{
   std::string name = ReadTaskFile(tid, "comm");
   if (!name.empty() && name.back() == '\n')
      name.pop_back();
   return name;
}

}  // namespace qvtest

#endif
