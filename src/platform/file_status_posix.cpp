/* File types and directory listing on POSIX: stat and readdir. */
#include "platform/file_status.h"

#include <dirent.h>
#include <string.h>
#include <sys/stat.h>

namespace qv {
namespace platform {

FileType GetFileType(const char *path)
{
   struct stat st;
   if (path == nullptr || stat(path, &st) != 0)
      return FileType::MISSING;
   if (S_ISREG(st.st_mode))
      return FileType::REGULAR;
   if (S_ISDIR(st.st_mode))
      return FileType::DIRECTORY;
   return FileType::OTHER;
}

size_t GetFileSize(FILE *file)
{
   struct stat st;
   if (file == nullptr || fstat(fileno(file), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
      return 0;
   return static_cast<size_t>(st.st_size);
}

bool ListDirectory(const char *path, std::vector<std::string> *names)
{
   DIR *dir = (path != nullptr) ? opendir(path) : nullptr;
   if (dir == nullptr)
      return false;
   struct dirent *e;
   while ((e = readdir(dir)) != nullptr)
   {
      if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, ".."))
         continue;
      names->push_back(e->d_name);
   }
   closedir(dir);
   return true;
}

}  // namespace platform
}  // namespace qv
