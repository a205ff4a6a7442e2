/* Helpers of the configuration tests: a temporary directory with files, and a
 * configuration that exposes its protected entry creation and keeps its error messages. */
#ifndef QORVEL_TESTS_CONFIG_CONFIG_TEST_UTIL_H
#define QORVEL_TESTS_CONFIG_CONFIG_TEST_UTIL_H

#include <qorvel.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace qvtest {

/* A directory under /tmp that is removed with everything in it. */
class TempDir
{
public:
   TempDir()
   {
      char pattern[] = "/tmp/qv_config_XXXXXX";
      const char *made = mkdtemp(pattern);
      m_path = (made != nullptr) ? made : "";
   }
   ~TempDir()
   {
      if (!m_path.empty())
         system(("rm -rf '" + m_path + "'").c_str());
   }
   TempDir(const TempDir &) = delete;
   TempDir &operator=(const TempDir &) = delete;

   const std::string &path() const { return m_path; }
   std::string file(const std::string &name) const { return m_path + "/" + name; }
   std::wstring wfile(const std::string &name) const { return Wide(file(name)); }
   std::wstring wpath() const { return Wide(m_path); }

   /* Writes content to the named file (replacing it) and returns its wide path. */
   std::wstring write(const std::string &name, const std::string &content) const
   {
      // Written under another name and renamed, so a reader never sees a half file.
      std::string target = file(name);
      std::string temp = target + ".part";
      FILE *f = fopen(temp.c_str(), "wb");
      if (f != nullptr)
      {
         fwrite(content.data(), 1, content.size(), f);
         fclose(f);
         rename(temp.c_str(), target.c_str());
      }
      return Wide(target);
   }

   static std::wstring Wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

private:
   std::string m_path;
};

/* Keeps every message passed to onError. */
class TestConfig : public Config
{
public:
   explicit TestConfig(bool expandEnvironment = true) : Config(expandEnvironment) {}
   std::vector<std::wstring> messages;

   using Config::createEntry;
   using Config::error;

protected:
   void onError(const wchar_t *message) override { messages.push_back(message); }
};

}  // namespace qvtest

#endif
