/* Capture of the debug output for tests: the lines written while a piece of code runs, and
 * the lines of one tag written by any thread, for a test to wait on the event a line
 * stands for instead of on time. */
#ifndef QORVEL_TESTS_SUPPORT_DEBUG_CAPTURE_H
#define QORVEL_TESTS_SUPPORT_DEBUG_CAPTURE_H

#include <qorvel.h>

#include <wchar.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qvtest {

inline std::vector<std::wstring> &CapturedDebugLines()
{
   static std::vector<std::wstring> lines;
   return lines;
}

inline void KeepDebugLine(const wchar_t *, const wchar_t *message)
{
   CapturedDebugLines().push_back(message);
}

/* Debug lines written at level or below while body runs (body may change the level); the
 * level and the writer are restored afterwards. For code that writes from this thread. */
template <typename F> std::vector<std::wstring> DebugLinesOf(int32_t level, F body)
{
   int32_t saved = qvlog_get_debug_level();
   qvlog_set_debug_level(level);
   CapturedDebugLines().clear();
   qvlog_set_debug_writer(KeepDebugLine);
   body();
   qvlog_set_debug_writer(nullptr);
   qvlog_set_debug_level(saved);
   return CapturedDebugLines();
}

/* Collects the debug lines of one tag from every thread while it lives: sets the tag's
 * level to 9 and installs itself as the debug writer, and undoes both when it goes. One
 * watch at a time. */
class DebugLineWatch
{
   std::wstring m_tag;
   std::mutex m_mutex;
   std::condition_variable m_cv;
   std::vector<std::wstring> m_lines;

   static DebugLineWatch *&Current()
   {
      static DebugLineWatch *current = nullptr;
      return current;
   }

   static void Keep(const wchar_t *tag, const wchar_t *message)
   {
      DebugLineWatch *watch = Current();
      if (watch == nullptr || tag == nullptr || watch->m_tag != tag)
         return;
      std::lock_guard<std::mutex> guard(watch->m_mutex);
      watch->m_lines.push_back(message);
      watch->m_cv.notify_all();
   }

   size_t countLocked(const std::function<bool(const std::wstring &)> &match) const
   {
      size_t count = 0;
      for (const std::wstring &line : m_lines)
         count += match(line) ? 1 : 0;
      return count;
   }

public:
   using Match = std::function<bool(const std::wstring &)>;

   explicit DebugLineWatch(const wchar_t *tag) : m_tag(tag)
   {
      Current() = this;
      qvlog_set_debug_writer(Keep);
      qvlog_set_debug_level_tag(tag, QVLOG_DEBUG_LEVEL_MAX);
   }
   ~DebugLineWatch()
   {
      qvlog_set_debug_level_tag(m_tag.c_str(), -1);
      qvlog_set_debug_writer(nullptr);
      Current() = nullptr;
   }
   DebugLineWatch(const DebugLineWatch &) = delete;
   DebugLineWatch &operator=(const DebugLineWatch &) = delete;

   /* A match for exactly that line, and for lines ending with that text. */
   static Match Is(const std::wstring &text)
   {
      return [text](const std::wstring &line) { return line == text; };
   }
   static Match EndsWith(const std::wstring &text)
   {
      return [text](const std::wstring &line) {
         return line.size() >= text.size() && line.compare(line.size() - text.size(), text.size(), text) == 0;
      };
   }

   /* Lines so far that match. */
   size_t count(const Match &match)
   {
      std::lock_guard<std::mutex> guard(m_mutex);
      return countLocked(match);
   }

   /* True once more than seenBefore lines match; false when that did not happen within
    * limit. */
   bool waitFor(const Match &match, size_t seenBefore = 0,
                std::chrono::milliseconds limit = std::chrono::milliseconds(10000))
   {
      std::unique_lock<std::mutex> guard(m_mutex);
      return m_cv.wait_for(guard, limit, [&] { return countLocked(match) > seenBefore; });
   }
};

}  // namespace qvtest

#endif
