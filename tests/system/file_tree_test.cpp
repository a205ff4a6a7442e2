/* Copying and moving files and trees: content, modes and times kept, merging, moves across
 * file systems, and trees that cannot be copied whole. */
#include "system/files_test_util.h"

#include "support/debug_capture.h"

#include <sys/wait.h>

using namespace qvtest;

namespace {

bool AnyLineHas(const std::vector<std::wstring> &lines, const std::string &a, const std::string &b)
{
   for (const std::wstring &line : lines)
   {
      if (line.find(Wide(a)) != std::wstring::npos && line.find(Wide(b)) != std::wstring::npos)
         return true;
   }
   return false;
}

}  // namespace

TEST(CopyFileOrDirectory, CopiesTreeWithContentModesAndTimes)
{
   TempDir dir;
   MakeTree(dir / "src");
   auto before = Snapshot(dir / "src");
   ASSERT_TRUE(CopyFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "dst").c_str()));
   EXPECT_EQ(Snapshot(dir / "dst"), before);
   EXPECT_EQ(Snapshot(dir / "src"), before);
}

TEST(CopyFileOrDirectory, CopiesFileReplacingDestination)
{
   TempDir dir;
   WriteFile(dir / "a", "new content");
   chmod((dir / "a").c_str(), 0604);
   SetTimes(dir / "a", 100, 200);
   WriteFile(dir / "b", "old content that is longer");
   ASSERT_TRUE(CopyFileOrDirectory(Wide(dir / "a").c_str(), Wide(dir / "b").c_str()));
   auto snap = Snapshot(dir.path());
   EXPECT_EQ(snap["b"], snap["a"]);
   EXPECT_FALSE(CopyFileOrDirectory(Wide(dir / "missing").c_str(), Wide(dir / "c").c_str()));
}

TEST(CopyFileOrDirectory, FileOntoItselfFailsAndKeepsContent)
{
   TempDir dir;
   WriteFile(dir / "a", "precious");
   symlink("a", (dir / "alias").c_str());
   EXPECT_FALSE(CopyFileOrDirectory(Wide(dir / "a").c_str(), Wide(dir / "a").c_str()));
   EXPECT_FALSE(CopyFileOrDirectory(Wide(dir / "a").c_str(), Wide(dir / "alias").c_str()));
   EXPECT_EQ(ReadFile(dir / "a"), "precious");
}

TEST(CopyFileOrDirectory, MergesIntoExistingDirectory)
{
   TempDir dir;
   MakeTree(dir / "src");
   mkdir((dir / "dst").c_str(), 0777);
   mkdir((dir / "dst/sub").c_str(), 0777);
   WriteFile(dir / "dst/keep.txt", "mine");
   WriteFile(dir / "dst/a.txt", "to be replaced");
   WriteFile(dir / "dst/sub/also-mine", "x");
   ASSERT_TRUE(CopyFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "dst").c_str()));
   auto src = Snapshot(dir / "src");
   auto dst = Snapshot(dir / "dst");
   for (auto &entry : src)
      EXPECT_EQ(dst[entry.first], entry.second) << entry.first;
   EXPECT_EQ(ReadFile(dir / "dst/keep.txt"), "mine");
   EXPECT_EQ(ReadFile(dir / "dst/sub/also-mine"), "x");
}

TEST(CopyFileOrDirectory, DirectoryIntoItselfEnds)
{
   TempDir dir;
   MakeTree(dir / "src");
   auto lines = DebugLinesOf(
       1, [&] { EXPECT_FALSE(CopyFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "src/inner").c_str())); });
   EXPECT_TRUE(AnyLineHas(lines, "into itself", dir / "src/inner"));
   // Everything else was copied once.
   EXPECT_EQ(ReadFile(dir / "src/inner/a.txt"), "alpha\n");
   struct stat st;
   EXPECT_NE(stat((dir / "src/inner/inner").c_str(), &st), 0);
}

TEST(CopyFileOrDirectory, BadEntriesFailCleanlyAndAreNamed)
{
   TempDir dir;
   MakeTree(dir / "src");
   // A link back up the tree, and a link whose file vanished before the copy reached it.
   symlink("..", (dir / "src/sub/loop").c_str());
   symlink("gone", (dir / "src/vanished").c_str());
   mkfifo((dir / "src/fifo").c_str(), 0644);
   std::vector<std::wstring> lines = DebugLinesOf(
       1, [&] { EXPECT_FALSE(CopyFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "dst").c_str())); });
   EXPECT_TRUE(AnyLineHas(lines, "loop", dir / "src/sub/loop"));
   EXPECT_TRUE(AnyLineHas(lines, "cannot read", dir / "src/vanished"));
   EXPECT_TRUE(AnyLineHas(lines, "cannot copy", dir / "src/fifo"));
   // The rest of the tree is there.
   EXPECT_EQ(ReadFile(dir / "dst/sub/b.bin"), std::string("\0\1\2\3binary", 10));
   EXPECT_EQ(ReadFile(dir / "dst/sub/deeper/big").size(), 300000u);
}

TEST(CopyFileOrDirectory, UnreadableFileFailsCleanly)
{
   TempDir dir;
   chmod(dir.path().c_str(), 0755);
   mkdir((dir / "src").c_str(), 0755);
   WriteFile(dir / "src/a.txt", "alpha\n");
   WriteFile(dir / "src/secret", "hidden");
   chmod((dir / "src/a.txt").c_str(), 0644);
   chmod((dir / "src/secret").c_str(), 0);
   mkdir((dir / "out").c_str(), 0777);
   chmod((dir / "out").c_str(), 0777);
   // Root reads anything: the copy runs in a child process as an ordinary user.
   pid_t child = fork();
   ASSERT_GE(child, 0);
   if (child == 0)
   {
      if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
         _exit(3);
      std::vector<std::wstring> lines;
      bool ok = true;
      lines =
          DebugLinesOf(1, [&] { ok = CopyFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "out/copy").c_str()); });
      bool named = AnyLineHas(lines, "cannot copy", dir / "src/secret");
      bool restCopied = ReadFile(dir / "out/copy/a.txt") == "alpha\n";
      _exit(!ok && named && restCopied ? 0 : 1);
   }
   int status = 0;
   ASSERT_EQ(waitpid(child, &status, 0), child);
   ASSERT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(MoveFileOrDirectory, MovesTreeAcrossFileSystems)
{
   TempDir shm("/dev/shm");
   TempDir disk;
   ASSERT_FALSE(shm.path().empty());
   MakeTree(shm / "src");
   auto before = Snapshot(shm / "src");
   ASSERT_TRUE(MoveFileOrDirectory(Wide(shm / "src").c_str(), Wide(disk / "moved").c_str()));
   EXPECT_EQ(Snapshot(disk / "moved"), before);
   struct stat st;
   EXPECT_NE(stat((shm / "src").c_str(), &st), 0);

   // And back, onto an existing directory: the trees merge.
   mkdir((shm / "back").c_str(), 0777);
   WriteFile(shm / "back/other", "kept");
   ASSERT_TRUE(MoveFileOrDirectory(Wide(disk / "moved").c_str(), Wide(shm / "back").c_str()));
   auto merged = Snapshot(shm / "back");
   for (auto &entry : before)
      EXPECT_EQ(merged[entry.first], entry.second) << entry.first;
   EXPECT_EQ(ReadFile(shm / "back/other"), "kept");
   EXPECT_NE(stat((disk / "moved").c_str(), &st), 0);
}

TEST(MoveFileOrDirectory, RenamesFilesAndMergesDirectoriesOnOneFileSystem)
{
   TempDir dir;
   WriteFile(dir / "f", "one");
   WriteFile(dir / "g", "two");
   ASSERT_TRUE(MoveFileOrDirectory(Wide(dir / "f").c_str(), Wide(dir / "g").c_str()));
   EXPECT_EQ(ReadFile(dir / "g"), "one");
   EXPECT_FALSE(MoveFileOrDirectory(Wide(dir / "f").c_str(), Wide(dir / "h").c_str()));

   MakeTree(dir / "src");
   auto before = Snapshot(dir / "src");
   mkdir((dir / "dst").c_str(), 0777);
   WriteFile(dir / "dst/mine", "m");
   ASSERT_TRUE(MoveFileOrDirectory(Wide(dir / "src").c_str(), Wide(dir / "dst").c_str()));
   auto after = Snapshot(dir / "dst");
   for (auto &entry : before)
      EXPECT_EQ(after[entry.first], entry.second) << entry.first;
   EXPECT_EQ(ReadFile(dir / "dst/mine"), "m");
}

TEST(MoveFileOrDirectory, LinkAcrossFileSystemsMovesWhatItNamesAndKeepsTheTarget)
{
   TempDir shm("/dev/shm");
   TempDir disk;
   MakeTree(disk / "target");
   symlink((disk / "target").c_str(), (shm / "link").c_str());
   ASSERT_TRUE(MoveFileOrDirectory(Wide(shm / "link").c_str(), Wide(disk / "copy").c_str()));
   EXPECT_EQ(ReadFile(disk / "copy/a.txt"), "alpha\n");
   EXPECT_EQ(ReadFile(disk / "target/a.txt"), "alpha\n");
   struct stat st;
   EXPECT_NE(lstat((shm / "link").c_str(), &st), 0);
}
