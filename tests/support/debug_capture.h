/* Capture of the debug output for tests: the lines written while a piece of code runs. */
#ifndef QORVEL_TESTS_SUPPORT_DEBUG_CAPTURE_H
#define QORVEL_TESTS_SUPPORT_DEBUG_CAPTURE_H

#include <qorvel.h>

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

}  // namespace qvtest

#endif
