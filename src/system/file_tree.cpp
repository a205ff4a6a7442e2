/* Directory creation with parents, and copying and moving of files and directory trees. */
#include "system/files.h"

#include "platform/files.h"

#include <qv_log.h>

#include <stdlib.h>
#include <string.h>

using namespace qv::platform;
using namespace qv::system;

namespace {

/* Deepest directory nesting a copy or move follows; deeper trees fail there. */
constexpr int MAX_TREE_DEPTH = 256;

/* Identity of a directory on the path from the top of a copy down to the current one. */
struct DirId
{
   uint64_t device;
   uint64_t inode;
};

/* State of one copy or move of a tree. */
struct TreeWalk
{
   const char *operation;  // "CopyFileOrDirectory" or "MoveFileOrDirectory"
   DirId destination;      // the top destination directory, never copied into itself
   bool haveDestination;
   DirId ancestors[MAX_TREE_DEPTH];
   int depth;
   bool failed;
};

void ReportFailure(TreeWalk *walk, const char *path, const char *what, int error)
{
   walk->failed = true;
   qvlog_debug_tag(FILES_DEBUG_TAG, 1, L"%hs: %hs \"%hs\": %hs", walk->operation, what, path,
                   (error != 0) ? ErrorText(error) : "");
}

bool SameDir(const DirId &id, const FileStatus &status)
{
   return id.device == status.device && id.inode == status.inode;
}

bool CreateFolderUtf8(char *path)
{
   // The last separator that is not at the end splits off the parent.
   size_t length = strlen(path);
   while (length > 1 && path[length - 1] == PATH_SEPARATOR)
      path[--length] = 0;
   char *split = strrchr(path, PATH_SEPARATOR);
   if (split != nullptr && split != path)
   {
      *split = 0;
      FileStatus status;
      int error;
      bool parentOk;
      if (!FileGetStatus(path, true, &status, &error))
      {
         CreateFolderUtf8(path);
         parentOk = FileGetStatus(path, true, &status, &error) && status.isDirectory;
      }
      else
      {
         parentOk = status.isDirectory;
      }
      *split = PATH_SEPARATOR;
      if (!parentOk)
         return false;
   }
   int error;
   return DirCreate(path, &error);
}

bool CopyTree(TreeWalk *walk, const char *from, const char *to);
bool MoveTree(TreeWalk *walk, const char *from, const char *to);

/* Runs step(walk, from/name, to/name) for every entry of the directory from except "."
 * and "..". False when the directory cannot be listed. */
bool ForEachEntry(TreeWalk *walk, const char *from, const char *to,
                  bool (*step)(TreeWalk *, const char *, const char *))
{
   int error = 0;
   DirListing *listing = DirOpen(from, &error);
   if (listing == nullptr)
   {
      ReportFailure(walk, from, "cannot read directory", error);
      return false;
   }
   const char *name;
   bool isDirectory;
   while (DirNext(listing, &name, &isDirectory))
   {
      if (!strcmp(name, ".") || !strcmp(name, ".."))
         continue;
      char *source = JoinPath(from, name);
      char *target = JoinPath(to, name);
      if (source != nullptr && target != nullptr)
         step(walk, source, target);
      else
         ReportFailure(walk, from, "out of memory in", 0);
      free(source);
      free(target);
   }
   DirClose(listing);
   return true;
}

/* Checks a source directory against the directories above it and the destination; true
 * when it may be entered, and then it is pushed as the new deepest ancestor. */
bool EnterDirectory(TreeWalk *walk, const char *path, const FileStatus &status)
{
   if (walk->haveDestination && SameDir(walk->destination, status))
   {
      ReportFailure(walk, path, "not copied into itself:", 0);
      return false;
   }
   for (int i = 0; i < walk->depth; i++)
   {
      if (SameDir(walk->ancestors[i], status))
      {
         ReportFailure(walk, path, "symbolic link loop at", 0);
         return false;
      }
   }
   if (walk->depth == MAX_TREE_DEPTH)
   {
      ReportFailure(walk, path, "tree too deep at", 0);
      return false;
   }
   walk->ancestors[walk->depth].device = status.device;
   walk->ancestors[walk->depth].inode = status.inode;
   walk->depth++;
   return true;
}

/* Creates the destination directory of a copy or move; an existing directory is merged
 * into. Records it as the top destination when it is the first. */
bool PrepareDestinationDir(TreeWalk *walk, const char *to)
{
   int error = 0;
   FileStatus status;
   if (!DirCreate(to, &error) && !(FileGetStatus(to, true, &status, &error) && status.isDirectory))
   {
      ReportFailure(walk, to, "cannot create directory", error);
      return false;
   }
   if (!walk->haveDestination && FileGetStatus(to, true, &status, &error))
   {
      walk->destination.device = status.device;
      walk->destination.inode = status.inode;
      walk->haveDestination = true;
   }
   return true;
}

bool CopyTree(TreeWalk *walk, const char *from, const char *to)
{
   FileStatus status;
   int error = 0;
   if (!FileGetStatus(from, true, &status, &error))
   {
      ReportFailure(walk, from, "cannot read", error);
      return false;
   }
   if (!status.isDirectory)
   {
      if (!FileCopy(from, to, &error))
      {
         ReportFailure(walk, from, "cannot copy", error);
         return false;
      }
      return true;
   }
   if (!EnterDirectory(walk, from, status))
      return false;
   bool ok = PrepareDestinationDir(walk, to) && ForEachEntry(walk, from, to, CopyTree);
   walk->depth--;
   // Mode and times go last: the entries written into the directory changed its times.
   if (ok && !DirSetModeAndTimes(to, status, &error))
      ReportFailure(walk, to, "cannot set mode and times of", error);
   return ok;
}

/* Moves by copying and deleting: files one by one, directories entry by entry. */
bool MoveTree(TreeWalk *walk, const char *from, const char *to)
{
   int error = 0;
   if (PathRename(from, to, &error))
      return true;
   if (!IsRenameNeedsCopyError(error))
   {
      ReportFailure(walk, from, "cannot move", error);
      return false;
   }
   FileStatus status;
   if (!FileGetStatus(from, false, &status, &error))
   {
      ReportFailure(walk, from, "cannot read", error);
      return false;
   }
   if (status.isSymlink)
   {
      // A link that cannot be renamed is moved as what it names, as a copy takes it; the
      // link goes, what it names stays.
      if (!CopyTree(walk, from, to))
         return false;
      if (!FileRemove(from, &error))
      {
         ReportFailure(walk, from, "copied but cannot remove", error);
         return false;
      }
      return true;
   }
   if (!status.isDirectory)
   {
      if (!FileCopy(from, to, &error))
      {
         ReportFailure(walk, from, "cannot copy", error);
         return false;
      }
      if (!FileRemove(from, &error))
      {
         ReportFailure(walk, from, "copied but cannot remove", error);
         return false;
      }
      return true;
   }
   if (!EnterDirectory(walk, from, status))
      return false;
   bool ok = PrepareDestinationDir(walk, to) && ForEachEntry(walk, from, to, MoveTree);
   walk->depth--;
   if (!ok)
      return false;
   if (!DirSetModeAndTimes(to, status, &error))
      ReportFailure(walk, to, "cannot set mode and times of", error);
   if (!DirRemove(from, &error))
   {
      ReportFailure(walk, from, "cannot remove directory", error);
      return false;
   }
   return true;
}

/* Copies or moves (step) oldName to newName: false when the source does not exist (a link
 * counts as existing when followLinks is off) or when anything failed on the way. */
bool RunTreeOperation(const wchar_t *oldName, const wchar_t *newName, const char *operation, bool followLinks,
                      bool (*step)(TreeWalk *, const char *, const char *))
{
   Utf8Path from(oldName);
   Utf8Path to(newName);
   if (!from.valid() || !to.valid())
      return false;
   FileStatus status;
   int error;
   if (!FileGetStatus(from.get(), followLinks, &status, &error))
      return false;
   TreeWalk *walk = static_cast<TreeWalk *>(malloc(sizeof(TreeWalk)));
   if (walk == nullptr)
      return false;
   walk->operation = operation;
   walk->haveDestination = false;
   walk->depth = 0;
   walk->failed = false;
   bool ok = step(walk, from.get(), to.get()) && !walk->failed;
   free(walk);
   return ok;
}

}  // namespace

QV_API bool CreateFolder(const wchar_t *directory)
{
   Utf8Path utf8(directory);
   return utf8.valid() && *utf8.get() != 0 && CreateFolderUtf8(utf8.data());
}

QV_API bool CopyFileOrDirectory(const wchar_t *oldName, const wchar_t *newName)
{
   return RunTreeOperation(oldName, newName, "CopyFileOrDirectory", true, CopyTree);
}

QV_API bool MoveFileOrDirectory(const wchar_t *oldName, const wchar_t *newName)
{
   return RunTreeOperation(oldName, newName, "MoveFileOrDirectory", false, MoveTree);
}
