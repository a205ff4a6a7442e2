/* The debug levels in force as the debug output reads them, without locks: one state word
 * that names the active copy of the tag tree and carries the default level and the
 * highest level in force anywhere, and the level lookup of a tag in the active copy. */
#ifndef QORVEL_LOG_DEBUG_LEVELS_H
#define QORVEL_LOG_DEBUG_LEVELS_H

#include <qv_log.h>

#include <atomic>
#include <stdint.h>

namespace qv::log {

/* Object tags ("%s.%u") are built in buffers of this many characters, terminator
 * included. */
constexpr size_t DEBUG_OBJECT_TAG_CHARS = 256;

/* The state word: bit 0 the active copy of the tag tree, bits 8 to 15 the highest level
 * that copy puts in force anywhere, bits 16 to 23 its default level. Only writers store
 * it, all together, when they make a changed copy the active one; so a reader's single
 * load gives values that belong together. Constant-initialised: copy 0, levels 0. */
extern std::atomic<uint32_t> g_debugState;

constexpr uint32_t DEBUG_STATE_COPY_MASK = 0x1;
constexpr int DEBUG_STATE_MAX_SHIFT = 8;
constexpr int DEBUG_STATE_DEFAULT_SHIFT = 16;
constexpr uint32_t DEBUG_STATE_LEVEL_MASK = 0xFF;

inline int32_t DebugStateMaxLevel(uint32_t state)
{
   return static_cast<int32_t>((state >> DEBUG_STATE_MAX_SHIFT) & DEBUG_STATE_LEVEL_MASK);
}

inline int32_t DebugStateDefaultLevel(uint32_t state)
{
   return static_cast<int32_t>((state >> DEBUG_STATE_DEFAULT_SHIFT) & DEBUG_STATE_LEVEL_MASK);
}

/* Earliest time (on DebugClockMs) at which a change made by qvlog_set_debug_level_tag_for
 * expires; DEBUG_NO_EXPIRY while none is pending. */
constexpr int64_t DEBUG_NO_EXPIRY = INT64_MAX;
extern std::atomic<int64_t> g_nextExpiry;

/* Restores the settings whose changes have expired. */
void DebugExpireDue();

/* Called by every debug call and level query before it reads a level: one relaxed load
 * while no change is pending. */
inline void DebugCheckExpiry()
{
   if (g_nextExpiry.load(std::memory_order_relaxed) != DEBUG_NO_EXPIRY)
      DebugExpireDue();
}

/* The level in force for tag (not null) in the active copy. Never blocks. */
int32_t DebugTagLevel(const wchar_t *tag);

/* Writes "<tag>.<objectId>" (tag not null) into buffer, which holds
 * DEBUG_OBJECT_TAG_CHARS characters; longer text is cut. */
void DebugObjectTag(wchar_t *buffer, const wchar_t *tag, uint32_t objectId);

/* Whether a message of level passes the level in force for tag (null: the default
 * level). A level above every level in force is refused by the state word alone, a
 * level of 0 or below always passes; only the rest walks the tree. */
inline bool DebugLevelPasses(const wchar_t *tag, int32_t level)
{
   // Relaxed: the value is one the state had during the call, and a change that happens
   // before the call (through any synchronisation) is seen by coherence.
   uint32_t state = g_debugState.load(std::memory_order_relaxed);
   if (level > DebugStateMaxLevel(state))
      return false;
   if (level <= 0)
      return true;
   if (tag == nullptr)
      return level <= DebugStateDefaultLevel(state);
   return level <= DebugTagLevel(tag);
}

}  // namespace qv::log

#endif
