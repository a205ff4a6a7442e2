/* The debug tag tree: lookup, setting, removal with pruning, clearing and listing. Every
 * walk is a loop, so tags of any depth cost no stack. */
#include "log/debug_tree.h"

#include <qv_strings.h>

#include <new>
#include <string.h>

namespace qv::log {

namespace {

/* Tag list: initial capacity and growth step. */
constexpr int TAG_LIST_INITIAL = 64;
constexpr int TAG_LIST_GROW = 64;

/* Grow step of the listing's work stack. */
constexpr int LIST_STACK_GROW = 32;

/* One component of a tag: the text up to the next dot (or the end), not terminated. */
struct Component
{
   const wchar_t *text;
   size_t length;
};

/* Splits the first component off rest; rest becomes the text after the dot, or null when
 * the component was the last one. */
inline Component NextComponent(const wchar_t *&rest)
{
   const wchar_t *end = rest;
   while (*end != 0 && *end != L'.')
      end++;
   Component component = {rest, static_cast<size_t>(end - rest)};
   rest = (*end == L'.') ? end + 1 : nullptr;
   return component;
}

/* A tag that is exactly "*": the wildcard of the node reached so far. */
inline bool IsWildcard(const wchar_t *rest)
{
   return rest[0] == L'*' && rest[1] == 0;
}

inline bool HasLevel(const DebugTagTreeNode *node)
{
   return node->hasOwnLevel || node->hasWildcardLevel;
}

/* Sets (level 0 to 9) or clears (DEBUG_NO_LEVEL) one level slot of a node below the
 * root, keeping the tree's counts. */
void PutLevel(DebugTagTree *tree, bool *has, int32_t *slot, int32_t level)
{
   if (*has)
      tree->levelCounts[*slot]--;
   *has = (level != DEBUG_NO_LEVEL);
   *slot = *has ? level : 0;
   if (*has)
      tree->levelCounts[level]++;
}

/* New node named by a copy of the component, or null when out of memory. */
DebugTagTreeNode *NodeCreate(const Component &component)
{
   DebugTagTreeNode *node = new (std::nothrow) DebugTagTreeNode();
   if (node == nullptr)
      return nullptr;
   node->name = static_cast<wchar_t *>(malloc((component.length + 1) * sizeof(wchar_t)));
   if (node->name == nullptr)
   {
      delete node;
      return nullptr;
   }
   memcpy(node->name, component.text, component.length * sizeof(wchar_t));
   node->name[component.length] = 0;
   return node;
}

/* forEach callback: pushes a child onto the delete list in context. */
EnumerationCallbackResult PushForDelete(const wchar_t *, const void *value, void *context)
{
   DebugTagTreeNode **list = static_cast<DebugTagTreeNode **>(context);
   DebugTagTreeNode *child = static_cast<DebugTagTreeNode *>(const_cast<void *>(value));
   child->nextToDelete = *list;
   *list = child;
   return CONTINUE_ENUMERATION;
}

/* Deletes every node on the list and everything below them. */
void DeleteList(DebugTagTreeNode *list)
{
   while (list != nullptr)
   {
      DebugTagTreeNode *node = list;
      list = node->nextToDelete;
      node->children.forEach(PushForDelete, &list);
      delete node;
   }
}

/* One node waiting to be listed, with the length of its parent's path. */
struct ListFrame
{
   const DebugTagTreeNode *node;
   size_t parentLength;
};

/* The listing's work stack and the path length of the node whose children are pushed. */
struct ListStack
{
   StructArray<ListFrame> frames{0, LIST_STACK_GROW};
   size_t parentLength = 0;
};

/* forEach callback: pushes a child onto the listing stack in context. */
EnumerationCallbackResult PushForList(const wchar_t *, const void *value, void *context)
{
   ListStack *stack = static_cast<ListStack *>(context);
   ListFrame child = {static_cast<const DebugTagTreeNode *>(value), stack->parentLength};
   return (stack->frames.add(&child) >= 0) ? CONTINUE_ENUMERATION : STOP_ENUMERATION;
}

/* Adds one entry (text cut to fit) to the list; left out when out of memory. */
void AddEntry(ObjectArray<DebugTagInfo> *list, const wchar_t *path, const wchar_t *suffix, int32_t level)
{
   DebugTagInfo *info = new (std::nothrow) DebugTagInfo;
   if (info == nullptr)
      return;
   wcslcpy(info->tag, path, QVLOG_DEBUG_TAG_INFO_CHARS);
   wcslcat(info->tag, suffix, QVLOG_DEBUG_TAG_INFO_CHARS);
   info->level = level;
   if (list->add(info) < 0)
      delete info;
}

}  // namespace

DebugTagTreeNode *DebugTagRootCreate()
{
   DebugTagTreeNode *root = new (std::nothrow) DebugTagTreeNode();
   if (root != nullptr)
      root->hasWildcardLevel = true;
   return root;
}

void DebugTagTreeDelete(DebugTagTreeNode *node)
{
   if (node == nullptr)
      return;
   node->nextToDelete = nullptr;
   DeleteList(node);
}

int32_t DebugTagLookup(const DebugTagTreeNode *root, const wchar_t *tag)
{
   const DebugTagTreeNode *node = root;
   int32_t inherited = DEBUG_NO_LEVEL;  // wildcard level of the deepest node passed so far
   const wchar_t *rest = tag;
   while (rest != nullptr)
   {
      if (node->hasWildcardLevel)
         inherited = node->wildcardLevel;
      Component component = NextComponent(rest);
      const DebugTagTreeNode *child =
          (component.length <= node->longestChildName) ? node->children.get(component.text, component.length) : nullptr;
      if (child == nullptr)
         return inherited;
      node = child;
   }
   if (node->hasOwnLevel)
      return node->ownLevel;
   return node->hasWildcardLevel ? node->wildcardLevel : inherited;
}

bool DebugTagSet(DebugTagTree *tree, const wchar_t *tag, int32_t level)
{
   DebugTagTreeNode *node = tree->root;
   const wchar_t *rest = tag;
   while (rest != nullptr)
   {
      if (IsWildcard(rest))
      {
         PutLevel(tree, &node->hasWildcardLevel, &node->wildcardLevel, level);
         return true;
      }
      Component component = NextComponent(rest);
      DebugTagTreeNode *child = node->children.get(component.text, component.length);
      if (child == nullptr)
      {
         child = NodeCreate(component);
         if (child == nullptr)
            return false;
         node->children.set(child->name, child);
         if (!node->children.contains(component.text, component.length))
         {
            delete child;  // the map could not copy the key
            return false;
         }
         if (component.length > node->longestChildName)
            node->longestChildName = component.length;
      }
      node = child;
   }
   PutLevel(tree, &node->hasOwnLevel, &node->ownLevel, level);
   return true;
}

bool DebugTagSettingOf(const DebugTagTreeNode *root, const wchar_t *tag, int32_t *level)
{
   const DebugTagTreeNode *node = root;
   const wchar_t *rest = tag;
   while (rest != nullptr)
   {
      if (IsWildcard(rest))
      {
         *level = node->wildcardLevel;
         return node->hasWildcardLevel;
      }
      Component component = NextComponent(rest);
      node = node->children.get(component.text, component.length);
      if (node == nullptr)
         return false;
   }
   *level = node->ownLevel;
   return node->hasOwnLevel;
}

void DebugTagRemove(DebugTagTree *tree, const wchar_t *tag)
{
   DebugTagTreeNode *node = tree->root;
   // The top of the chain of nodes that the removal may leave without a level or
   // children, and its parent: each node below chainTop on the way has no level and no
   // other child.
   DebugTagTreeNode *chainParent = nullptr;
   DebugTagTreeNode *chainTop = nullptr;
   const wchar_t *rest = tag;
   while (rest != nullptr && !IsWildcard(rest))
   {
      Component component = NextComponent(rest);
      DebugTagTreeNode *child = node->children.get(component.text, component.length);
      if (child == nullptr)
         return;  // never set
      if (node == tree->root || HasLevel(node) || node->children.size() != 1)
      {
         chainParent = node;
         chainTop = child;
      }
      node = child;
   }
   if (rest == nullptr)
      PutLevel(tree, &node->hasOwnLevel, &node->ownLevel, DEBUG_NO_LEVEL);
   else
      PutLevel(tree, &node->hasWildcardLevel, &node->wildcardLevel, DEBUG_NO_LEVEL);
   if (chainTop != nullptr && !HasLevel(node) && node->children.isEmpty())
   {
      chainParent->children.remove(chainTop->name);
      DebugTagTreeDelete(chainTop);
   }
}

void DebugTagSetDefault(DebugTagTree *tree, int32_t level)
{
   tree->root->wildcardLevel = level;
}

void DebugTagClear(DebugTagTree *tree)
{
   DebugTagTreeNode *root = tree->root;
   DebugTagTreeNode *list = nullptr;
   root->children.forEach(PushForDelete, &list);
   root->children.clear();
   DeleteList(list);
   root->longestChildName = 0;
   root->hasOwnLevel = false;
   root->ownLevel = 0;
   root->wildcardLevel = 0;
   memset(tree->levelCounts, 0, sizeof(tree->levelCounts));
}

int32_t DebugTagMaxLevel(const DebugTagTree *tree)
{
   int32_t highest = tree->root->wildcardLevel;
   for (int32_t level = DEBUG_LEVEL_COUNT - 1; level > highest; level--)
   {
      if (tree->levelCounts[level] > 0)
         return level;
   }
   return highest;
}

void DebugTagList(const DebugTagTreeNode *root, ObjectArray<DebugTagInfo> *list)
{
   ListStack stack;
   // The path of the node being listed, cut to fit (only its start can reach an entry); a
   // frame's parent path is its first parentLength characters, which nothing overwrites
   // before the frame is taken off the stack.
   wchar_t path[QVLOG_DEBUG_TAG_INFO_CHARS] = L"";
   const DebugTagTreeNode *node = root;
   for (;;)
   {
      // Children go on the stack in reverse, so that they come off it in their order.
      int first = stack.frames.size();
      stack.parentLength = wcslen(path);
      node->children.forEach(PushForList, &stack);
      ListFrame *frames = stack.frames.getBuffer();
      for (int i = first, j = stack.frames.size() - 1; i < j; i++, j--)
      {
         ListFrame swap = frames[i];
         frames[i] = frames[j];
         frames[j] = swap;
      }
      if (stack.frames.isEmpty())
         return;
      ListFrame top = *stack.frames.last();
      stack.frames.remove(stack.frames.size() - 1);
      node = top.node;
      path[top.parentLength] = 0;
      if (top.parentLength > 0)
         wcslcat(path, L".", QVLOG_DEBUG_TAG_INFO_CHARS);
      wcslcat(path, node->name, QVLOG_DEBUG_TAG_INFO_CHARS);
      if (node->hasOwnLevel)
         AddEntry(list, path, L"", node->ownLevel);
      if (node->hasWildcardLevel)
         AddEntry(list, path, L".*", node->wildcardLevel);
   }
}

ObjectArray<DebugTagInfo> *DebugTagListCreate()
{
   return new (std::nothrow) ObjectArray<DebugTagInfo>(TAG_LIST_INITIAL, TAG_LIST_GROW, true);
}

}  // namespace qv::log
