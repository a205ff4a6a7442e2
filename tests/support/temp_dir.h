/* A temporary directory for tests that work with files: made under a base directory when
 * the object is made, removed with everything in it when the object goes. */
#ifndef QORVEL_TESTS_SUPPORT_TEMP_DIR_H
#define QORVEL_TESTS_SUPPORT_TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <string>

namespace qvtest {

class TempDir
{
public:
   /* A new directory base/qvtest.XXXXXX; path() is empty when it could not be made. */
   explicit TempDir(const std::string &base = "/tmp")
   {
      std::string templ = base + "/qvtest.XXXXXX";
      char *made = mkdtemp(&templ[0]);
      m_path = (made != nullptr) ? made : "";
   }
   ~TempDir()
   {
      if (!m_path.empty())
      {
         std::error_code ignored;
         // Directories made unreadable by a test must be opened again to be removed.
         std::filesystem::permissions(m_path, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                      ignored);
         std::filesystem::remove_all(m_path, ignored);
      }
   }
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;

   const std::string &path() const { return m_path; }
   std::string operator/(const std::string &name) const { return m_path + "/" + name; }

private:
   std::string m_path;
};

}  // namespace qvtest

#endif
