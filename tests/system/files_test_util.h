/* Helpers of the file tests: temporary directories (TempDir), files with given content, mode and
 * time, and a snapshot of a tree to compare copies with. */
#ifndef QORVEL_TESTS_SYSTEM_FILES_TEST_UTIL_H
#define QORVEL_TESTS_SYSTEM_FILES_TEST_UTIL_H

#include <qorvel.h>

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace qvtest {

inline std::wstring Wide(const std::string &s)
{
   return std::wstring(s.begin(), s.end());
}

inline void WriteFile(const std::string &path, const std::string &content)
{
   std::ofstream out(path, std::ios::binary | std::ios::trunc);
   out << content;
}

inline std::string ReadFile(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   std::ostringstream s;
   s << in.rdbuf();
   return s.str();
}

inline void SetTimes(const std::string &path, time_t atime, time_t mtime)
{
   struct timespec times[2] = {{atime, 123456789}, {mtime, 987654321}};
   utimensat(AT_FDCWD, path.c_str(), times, 0);
}

/* What a copy must keep of one entry: type, permission bits, modification time to the
 * nanosecond and, for files, the content. */
struct EntryState
{
   bool directory;
   mode_t mode;
   struct timespec mtime;
   std::string content;

   bool operator==(const EntryState &o) const
   {
      return directory == o.directory && mode == o.mode && mtime.tv_sec == o.mtime.tv_sec &&
             mtime.tv_nsec == o.mtime.tv_nsec && content == o.content;
   }
};

inline std::ostream &operator<<(std::ostream &os, const EntryState &e)
{
   return os << (e.directory ? "dir" : "file") << " mode " << std::oct << e.mode << std::dec << " mtime "
             << e.mtime.tv_sec << "." << e.mtime.tv_nsec << " size " << e.content.size();
}

/* Every entry below root by its relative path (root itself as "."). */
inline std::map<std::string, EntryState> Snapshot(const std::string &root)
{
   std::map<std::string, EntryState> result;
   auto add = [&](const std::string &path, const std::string &relative) {
      struct stat st;
      if (stat(path.c_str(), &st) != 0)
         return;
      EntryState e{S_ISDIR(st.st_mode), static_cast<mode_t>(st.st_mode & 07777), st.st_mtim, ""};
      if (!e.directory)
         e.content = ReadFile(path);
      result[relative] = e;
   };
   add(root, ".");
   for (auto &entry : std::filesystem::recursive_directory_iterator(root))
      add(entry.path().string(), std::filesystem::relative(entry.path(), root).string());
   return result;
}

/* A tree of nested directories with files of several sizes, modes and times. */
inline void MakeTree(const std::string &root)
{
   mkdir(root.c_str(), 0750);
   mkdir((root + "/sub").c_str(), 0700);
   mkdir((root + "/sub/deeper").c_str(), 0755);
   mkdir((root + "/empty").c_str(), 0711);
   WriteFile(root + "/a.txt", "alpha\n");
   WriteFile(root + "/sub/b.bin", std::string("\0\1\2\3binary", 10));
   std::string big(300000, 'x');
   for (size_t i = 0; i < big.size(); i += 7)
      big[i] = static_cast<char>(i % 251);
   WriteFile(root + "/sub/deeper/big", big);
   WriteFile(root + "/sub/deeper/empty-file", "");
   chmod((root + "/a.txt").c_str(), 0640);
   chmod((root + "/sub/b.bin").c_str(), 0755);
   chmod((root + "/sub/deeper/big").c_str(), 0400);
   SetTimes(root + "/a.txt", 1000000000, 1100000000);
   SetTimes(root + "/sub/b.bin", 1200000000, 1300000000);
   SetTimes(root + "/sub/deeper/big", 1400000000, 1500000000);
   SetTimes(root + "/sub/deeper/empty-file", 1400000001, 1500000001);
   SetTimes(root + "/sub/deeper", 1600000000, 1600000001);
   SetTimes(root + "/sub", 1600000002, 1600000003);
   SetTimes(root + "/empty", 1600000004, 1600000005);
   SetTimes(root, 1600000006, 1600000007);
}

}  // namespace qvtest

#endif
