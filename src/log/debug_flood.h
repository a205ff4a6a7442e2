/* Flood control of the debug output: per tag, at most a set number of lines a second, and
 * one summary line for the lines cut once the second has ended. */
#ifndef QORVEL_LOG_DEBUG_FLOOD_H
#define QORVEL_LOG_DEBUG_FLOOD_H

#include <qv_log.h>

#include <atomic>

namespace qv::log {

/* Lines a tag may write per second; 0: no limit. */
extern std::atomic<uint32_t> g_debugRateLimit;

/* Whether a line of tag (null: untagged) that passed its level may be written now, which
 * counts it in the tag's second; first writes the summaries of seconds that have ended.
 * Only while a limit is set. */
bool DebugFloodAdmit(const wchar_t *tag);

}  // namespace qv::log

#endif
