/* The debug tag tree: one node per tag component, with a level for exactly the node's tag
 * and a wildcard level for the tag and everything below it. The tree operations here are
 * unsynchronised; debug_levels.cpp keeps two trees and decides who may touch which. */
#ifndef QORVEL_LOG_DEBUG_TREE_H
#define QORVEL_LOG_DEBUG_TREE_H

#include <qv_containers.h>
#include <qv_log.h>

namespace qv::log {

/* Result of a lookup that no setting answers. */
constexpr int32_t DEBUG_NO_LEVEL = -1;

/* Number of distinct debug levels (0 to QVLOG_DEBUG_LEVEL_MAX). */
constexpr int DEBUG_LEVEL_COUNT = QVLOG_DEBUG_LEVEL_MAX + 1;

struct DebugTagTreeNode
{
   wchar_t *name;                               // the component, malloc'ed; null for the root
   StringObjectMap<DebugTagTreeNode> children;  // keys compared without regard to case; the
                                                // tree owns the nodes (DebugTagTreeDelete)
   size_t longestChildName;                     // no child has a longer name (lookups skip longer ones)
   DebugTagTreeNode *nextToDelete;              // work list of DebugTagTreeDelete
   bool hasOwnLevel;                            // a level is set for exactly this tag
   bool hasWildcardLevel;                       // a level is set for this tag and everything below
   int32_t ownLevel;
   int32_t wildcardLevel;

   DebugTagTreeNode()
       : name(nullptr), children(false), longestChildName(0), nextToDelete(nullptr), hasOwnLevel(false),
         hasWildcardLevel(false), ownLevel(0), wildcardLevel(0)
   {}
   /* Frees the name only: the children are deleted by DebugTagTreeDelete, without
    * recursion, as tags may be deep. */
   ~DebugTagTreeNode() { free(name); }
   DebugTagTreeNode(const DebugTagTreeNode &) = delete;
   DebugTagTreeNode &operator=(const DebugTagTreeNode &) = delete;
};

/* A tree with the settings it holds counted by level, so that the highest level in force
 * is known without a walk. The root's wildcard level is the default level and is not
 * counted. */
struct DebugTagTree
{
   DebugTagTreeNode *root;
   int32_t levelCounts[DEBUG_LEVEL_COUNT];
};

/* New root (default level 0, no tags), or null when out of memory. */
DebugTagTreeNode *DebugTagRootCreate();

/* Deletes node and everything below it, without recursion. */
void DebugTagTreeDelete(DebugTagTreeNode *node);

/* The level in force for tag (not null) below root: the deepest matching setting, the
 * root's wildcard level when nothing deeper matches. Allocates nothing and changes
 * nothing, so any number of threads may look up a tree that nobody changes. */
int32_t DebugTagLookup(const DebugTagTreeNode *root, const wchar_t *tag);

/* Sets tag (not null, not "*") to level 0 to 9: a last component "*" sets the wildcard
 * level of the tag before it. false when a node could not be allocated; nodes made before
 * the failure stay, without a level. */
bool DebugTagSet(DebugTagTree *tree, const wchar_t *tag, int32_t level);

/* Removes the setting of tag (not null, not "*") and every node it leaves without a level
 * or children. A tag that was never set changes nothing. */
void DebugTagRemove(DebugTagTree *tree, const wchar_t *tag);

/* Whether tag (not null, not "*") has a setting of its own (a last component "*": the
 * wildcard setting of the tag before it), and its level in *level. */
bool DebugTagSettingOf(const DebugTagTreeNode *root, const wchar_t *tag, int32_t *level);

/* Sets the default level (the root's wildcard level). */
void DebugTagSetDefault(DebugTagTree *tree, int32_t level);

/* Removes every tag and sets the default level to 0. */
void DebugTagClear(DebugTagTree *tree);

/* Highest level the tree puts in force anywhere, the default level included. */
int32_t DebugTagMaxLevel(const DebugTagTree *tree);

/* New empty, owning tag list (the caller deletes it), or null when out of memory. */
ObjectArray<DebugTagInfo> *DebugTagListCreate();

/* Appends an entry for every setting below the root, depth first in each node's child
 * order: the path, and the path followed by ".*" for a wildcard level, both cut to
 * QVLOG_DEBUG_TAG_INFO_CHARS - 1 characters. Entries that cannot be allocated are left
 * out. */
void DebugTagList(const DebugTagTreeNode *root, ObjectArray<DebugTagInfo> *list);

}  // namespace qv::log

#endif
