/* The debug levels: two copies of the tag tree, so that readers never wait. Readers walk
 * the active copy and count themselves in its readers counter; a writer changes the
 * standby copy, makes it the active one, then repeats the change on the copy that was
 * active. Before changing a copy the writer marks it busy and waits until its readers
 * have left: a reader that took the copy just before it stopped being active may still
 * walk it, and one that arrives later sees busy and goes to the active copy. */
#include "log/debug_levels.h"
#include "log/debug_tree.h"
#include "log/log_state.h"

#include "platform/sync.h"

#include <qv_containers.h>
#include <qv_strings.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace qv::log {

using qv::platform::LOCK_FREE;
using qv::platform::LOCK_SPIN_COUNT;
using qv::platform::LockAcquire;
using qv::platform::LockHold;
using qv::platform::LockRelease;
using qv::platform::QvLock;

namespace {

/* Size of a cache line: the state word and each copy's counters sit on lines of their
 * own, so that readers counting themselves in do not slow down the state word's loads. */
constexpr size_t CACHE_LINE = 64;

/* A writer waiting for readers first checks again this many times at once (readers stay
 * for a tree walk only), then sleeps between checks, from WRITER_FIRST_SLEEP_US doubling
 * up to WRITER_POLL_MS milliseconds: a reader that the scheduler stopped inside its walk
 * is usually back well before the longest poll. (Yielding instead would hand the
 * processor to every other runnable thread in turn on a busy machine.) */
constexpr int WRITER_SPIN_ROUNDS = 100;
constexpr int WRITER_FIRST_SLEEP_US = 50;
constexpr int WRITER_POLL_MS = 10;

/* Object tags: the characters before the terminator. */
constexpr size_t OBJECT_TAG_TEXT_CHARS = DEBUG_OBJECT_TAG_CHARS - 1;

/* Digits of the largest unsigned 32-bit number. */
constexpr int UINT32_DIGITS = 10;

/* One complete tag tree with its counters. The root is made with the copy's first
 * change; until then the copy has the default level 0 and no tags. Constant-initialised,
 * with a trivial destructor: usable from any static constructor or destructor. */
struct alignas(CACHE_LINE) TagTreeCopy
{
   std::atomic<int32_t> readers{0};  // threads walking this copy now
   std::atomic<int32_t> busy{0};     // non-zero while a writer waits to change this copy
   DebugTagTree tree{nullptr, {}};
};

TagTreeCopy g_copies[2];

/* Serialises the writers (and the listing, which reads the active copy under it). */
QvLock g_writersLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};

enum ChangeKind
{
   CHANGE_DEFAULT,  // set the default level
   CHANGE_SET,      // set a tag's level
   CHANGE_REMOVE,   // remove a tag's setting
   CHANGE_RESET     // remove every tag, default level 0
};

struct Change
{
   ChangeKind kind;
   const wchar_t *tag;
   int32_t level;
};

/* Marks copy busy and waits until no reader walks it. The busy mark and the readers
 * count are both sequentially consistent, so either the writer sees a reader's count or
 * the reader sees the mark (and leaves); the acquire side of the load orders the
 * leaving readers' walks before the writer's changes. */
void EnterCopy(TagTreeCopy *copy)
{
   copy->busy.fetch_add(1, std::memory_order_seq_cst);
   std::chrono::microseconds sleep(WRITER_FIRST_SLEEP_US);
   for (int round = 0; copy->readers.load(std::memory_order_seq_cst) != 0; round++)
   {
      if (round < WRITER_SPIN_ROUNDS)
         continue;
      std::this_thread::sleep_for(sleep);
      sleep = std::min<std::chrono::microseconds>(sleep * 2, std::chrono::milliseconds(WRITER_POLL_MS));
   }
}

/* Clears the busy mark; a reader that sees it cleared also sees the changed tree. */
void LeaveCopy(TagTreeCopy *copy)
{
   copy->busy.fetch_sub(1, std::memory_order_release);
}

bool ApplyChange(DebugTagTree *tree, const Change &change)
{
   switch (change.kind)
   {
      case CHANGE_DEFAULT: DebugTagSetDefault(tree, change.level); return true;
      case CHANGE_SET: return DebugTagSet(tree, change.tag, change.level);
      case CHANGE_REMOVE: DebugTagRemove(tree, change.tag); return true;
      case CHANGE_RESET: DebugTagClear(tree); return true;
   }
   return false;
}

uint32_t MakeState(uint32_t copy, const DebugTagTree *tree)
{
   return copy | (static_cast<uint32_t>(DebugTagMaxLevel(tree)) << DEBUG_STATE_MAX_SHIFT) |
          (static_cast<uint32_t>(tree->root->wildcardLevel) << DEBUG_STATE_DEFAULT_SHIFT);
}

/* Applies change to both copies, the standby one first. A failed allocation in the
 * standby copy leaves the levels as they were; one in the second copy (only a node of a
 * new tag can fail there) leaves that copy without the setting. */
void ChangeLevels(const Change &change)
{
   LockAcquire(&g_writersLock);
   uint32_t state = g_debugState.load(std::memory_order_relaxed);
   uint32_t active = state & DEBUG_STATE_COPY_MASK;
   TagTreeCopy *standby = &g_copies[active ^ 1];
   TagTreeCopy *previous = &g_copies[active];

   // Copies get their roots with their first change; both are made before either copy
   // changes, so that a failure changes neither.
   DebugTagTreeNode *standbyRoot = (standby->tree.root == nullptr) ? DebugTagRootCreate() : nullptr;
   DebugTagTreeNode *previousRoot = (previous->tree.root == nullptr) ? DebugTagRootCreate() : nullptr;
   if ((standby->tree.root == nullptr && standbyRoot == nullptr) ||
       (previous->tree.root == nullptr && previousRoot == nullptr))
   {
      DebugTagTreeDelete(standbyRoot);
      DebugTagTreeDelete(previousRoot);
      LockRelease(&g_writersLock);
      return;
   }

   EnterCopy(standby);
   if (standbyRoot != nullptr)
      standby->tree.root = standbyRoot;
   bool applied = ApplyChange(&standby->tree, change);
   LeaveCopy(standby);
   if (applied)
   {
      // Release: a reader that loads the new state (acquire) sees the changed copy.
      g_debugState.store(MakeState(active ^ 1, &standby->tree), std::memory_order_release);
      EnterCopy(previous);
      if (previousRoot != nullptr)
         previous->tree.root = previousRoot;
      ApplyChange(&previous->tree, change);
      LeaveCopy(previous);
   }
   else
      DebugTagTreeDelete(previousRoot);
   LockRelease(&g_writersLock);
}

inline bool IsDefaultTag(const wchar_t *tag)
{
   return tag == nullptr || (tag[0] == L'*' && tag[1] == 0);
}

/* ---- Changes that expire. */

/* A change made for a limited time: what comes back when it expires. */
struct PendingExpiry
{
   wchar_t *tag;      // own copy; null for the default level
   bool hadSetting;   // the tag had a setting of its own before (always for the default level)
   int32_t previous;  // its level then
   int64_t expires;   // on the debug clock
};

/* Pending expiries, under g_expiryLock, which every setter takes before g_writersLock, so
 * that an expiry and a newer change of the same tag never cross. Never released, so that
 * a debug call during process exit still finds them. */
QvLock g_expiryLock = {{LOCK_FREE}, {0}, 0, LOCK_SPIN_COUNT};
PendingExpiry *g_expiries = nullptr;
int32_t g_expiryCount = 0;
int32_t g_expiryCapacity = 0;

/* Room for this many more pending expiries each time the list grows. */
constexpr int32_t EXPIRY_GROWTH = 8;

bool SameTag(const wchar_t *a, const wchar_t *b)
{
   if (a == nullptr || b == nullptr)
      return a == b;
   return qv_wcsicmp(a, b) == 0;
}

/* Index of the pending expiry of tag (null: the default level), or -1. Expiry lock held. */
int32_t FindExpiry(const wchar_t *tag)
{
   for (int32_t i = 0; i < g_expiryCount; i++)
      if (SameTag(g_expiries[i].tag, tag))
         return i;
   return -1;
}

/* Publishes the earliest expiry for the debug path's check. Expiry lock held. */
void UpdateNextExpiry()
{
   int64_t next = DEBUG_NO_EXPIRY;
   for (int32_t i = 0; i < g_expiryCount; i++)
      if (g_expiries[i].expires < next)
         next = g_expiries[i].expires;
   g_nextExpiry.store(next, std::memory_order_relaxed);
}

void RemoveExpiry(int32_t index)
{
   free(g_expiries[index].tag);
   g_expiries[index] = g_expiries[--g_expiryCount];
}

/* Cancels the pending expiry of tag, if any: its current setting stays. Expiry lock held. */
void CancelExpiry(const wchar_t *tag)
{
   int32_t index = FindExpiry(tag);
   if (index >= 0)
   {
      RemoveExpiry(index);
      UpdateNextExpiry();
   }
}

/* The change that sets tag to level: the default level for a null tag, a removal for a
 * negative level. */
Change ChangeOf(const wchar_t *tag, int32_t level)
{
   if (tag == nullptr)
      return Change{CHANGE_DEFAULT, nullptr, level};
   if (level < 0)
      return Change{CHANGE_REMOVE, tag, DEBUG_NO_LEVEL};
   return Change{CHANGE_SET, tag, level};
}

/* Whether tag (null: the default level, which always has one) has a setting of its own
 * now, and its level. */
bool CurrentSetting(const wchar_t *tag, int32_t *level)
{
   if (tag == nullptr)
   {
      *level = DebugStateDefaultLevel(g_debugState.load(std::memory_order_acquire));
      return true;
   }
   LockAcquire(&g_writersLock);
   const DebugTagTreeNode *root =
       g_copies[g_debugState.load(std::memory_order_relaxed) & DEBUG_STATE_COPY_MASK].tree.root;
   bool has = (root != nullptr) && DebugTagSettingOf(root, tag, level);
   LockRelease(&g_writersLock);
   return has;
}

/* Sets tag (null: the default level) to level until expires, remembering the setting
 * from before the first of its pending changes. */
void ChangeUntil(const wchar_t *tag, int32_t level, int64_t expires)
{
   LockHold hold(&g_expiryLock);
   int32_t index = FindExpiry(tag);
   if (index < 0)
   {
      if (g_expiryCount == g_expiryCapacity)
      {
         auto *grown = static_cast<PendingExpiry *>(
             realloc(g_expiries, static_cast<size_t>(g_expiryCapacity + EXPIRY_GROWTH) * sizeof(PendingExpiry)));
         if (grown == nullptr)
            return;
         g_expiries = grown;
         g_expiryCapacity += EXPIRY_GROWTH;
      }
      PendingExpiry entry{nullptr, false, 0, expires};
      if (tag != nullptr && (entry.tag = qv_wcsdup(tag)) == nullptr)
         return;
      entry.hadSetting = CurrentSetting(tag, &entry.previous);
      index = g_expiryCount++;
      g_expiries[index] = entry;
   }
   g_expiries[index].expires = expires;
   UpdateNextExpiry();
   ChangeLevels(ChangeOf(tag, level));
}

}  // namespace

alignas(CACHE_LINE) std::atomic<uint32_t> g_debugState{0};
std::atomic<int64_t> g_nextExpiry{DEBUG_NO_EXPIRY};

void DebugExpireDue()
{
   int64_t now = DebugClockMs();
   if (now < g_nextExpiry.load(std::memory_order_relaxed))
      return;
   LockHold hold(&g_expiryLock);
   for (int32_t i = 0; i < g_expiryCount;)
   {
      PendingExpiry &entry = g_expiries[i];
      if (entry.expires > now)
      {
         i++;
         continue;
      }
      ChangeLevels(ChangeOf(entry.tag, entry.hadSetting ? entry.previous : DEBUG_NO_LEVEL));
      RemoveExpiry(i);
   }
   UpdateNextExpiry();
}

int32_t DebugTagLevel(const wchar_t *tag)
{
   for (;;)
   {
      uint32_t state = g_debugState.load(std::memory_order_acquire);
      TagTreeCopy *copy = &g_copies[state & DEBUG_STATE_COPY_MASK];
      copy->readers.fetch_add(1, std::memory_order_seq_cst);
      if (copy->busy.load(std::memory_order_seq_cst) == 0)
      {
         const DebugTagTreeNode *root = copy->tree.root;
         int32_t level = (root != nullptr) ? DebugTagLookup(root, tag) : DebugStateDefaultLevel(state);
         // Release: the walk is done before a writer that sees the count drop changes
         // the tree.
         copy->readers.fetch_sub(1, std::memory_order_release);
         return level;
      }
      // A writer is about to change this copy, which is no longer the active one.
      copy->readers.fetch_sub(1, std::memory_order_relaxed);
   }
}

void DebugObjectTag(wchar_t *buffer, const wchar_t *tag, uint32_t objectId)
{
   wchar_t digits[UINT32_DIGITS];
   int count = 0;
   do
   {
      digits[count++] = static_cast<wchar_t>(L'0' + objectId % 10);
      objectId /= 10;
   } while (objectId != 0);
   size_t length = 0;
   while (length < OBJECT_TAG_TEXT_CHARS && tag[length] != 0)
   {
      buffer[length] = tag[length];
      length++;
   }
   if (length < OBJECT_TAG_TEXT_CHARS)
      buffer[length++] = L'.';
   while (count > 0 && length < OBJECT_TAG_TEXT_CHARS)
      buffer[length++] = digits[--count];
   buffer[length] = 0;
}

}  // namespace qv::log

using namespace qv::log;

/* A plain change makes the tag's setting permanent: its pending expiry goes. */
QV_API void qvlog_set_debug_level(int32_t level)
{
   if (level < 0 || level > QVLOG_DEBUG_LEVEL_MAX)
      return;
   LockHold hold(&g_expiryLock);
   CancelExpiry(nullptr);
   ChangeLevels(ChangeOf(nullptr, level));
}

QV_API void qvlog_set_debug_level_tag(const wchar_t *tag, int32_t level)
{
   if (IsDefaultTag(tag))
   {
      qvlog_set_debug_level(level);
      return;
   }
   if (level > QVLOG_DEBUG_LEVEL_MAX)
      return;
   LockHold hold(&g_expiryLock);
   CancelExpiry(tag);
   ChangeLevels(ChangeOf(tag, level));
}

QV_API void qvlog_set_debug_level_tag_for(const wchar_t *tag, int32_t level, uint32_t seconds)
{
   if (seconds == 0 || level > QVLOG_DEBUG_LEVEL_MAX)
      return;
   if (IsDefaultTag(tag))
   {
      if (level < 0)
         return;
      tag = nullptr;
   }
   ChangeUntil(tag, level, DebugClockMs() + static_cast<int64_t>(seconds) * MS_PER_SECOND);
}

QV_API void qvlog_reset_debug_level_tags(void)
{
   LockHold hold(&g_expiryLock);
   while (g_expiryCount > 0)
      RemoveExpiry(g_expiryCount - 1);
   UpdateNextExpiry();
   ChangeLevels(Change{CHANGE_RESET, nullptr, 0});
}

QV_API int32_t qvlog_get_debug_level(void)
{
   DebugCheckExpiry();
   return DebugStateDefaultLevel(g_debugState.load(std::memory_order_acquire));
}

QV_API int32_t qvlog_get_debug_level_tag(const wchar_t *tag)
{
   if (IsDefaultTag(tag))
      return qvlog_get_debug_level();
   DebugCheckExpiry();
   return DebugTagLevel(tag);
}

QV_API int32_t qvlog_get_debug_level_tag_object(const wchar_t *tag, uint32_t objectId)
{
   if (tag == nullptr)
      return qvlog_get_debug_level();
   DebugCheckExpiry();
   wchar_t objectTag[DEBUG_OBJECT_TAG_CHARS];
   DebugObjectTag(objectTag, tag, objectId);
   return DebugTagLevel(objectTag);
}

QV_API ObjectArray<DebugTagInfo> *qvlog_get_all_debug_tags(void)
{
   DebugCheckExpiry();
   ObjectArray<DebugTagInfo> *list = DebugTagListCreate();
   if (list == nullptr)
      return nullptr;
   // Under the writers' lock neither copy changes, so the active one can be walked
   // without counting in as a reader.
   LockAcquire(&g_writersLock);
   const DebugTagTreeNode *root =
       g_copies[g_debugState.load(std::memory_order_relaxed) & DEBUG_STATE_COPY_MASK].tree.root;
   if (root != nullptr)
      DebugTagList(root, list);
   LockRelease(&g_writersLock);
   return list;
}
