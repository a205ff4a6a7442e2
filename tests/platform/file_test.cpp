#include "platform/file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using qv::platform::CreatePrivateFile;
using qv::platform::OpenFile;

namespace {

class PlatformFile : public ::testing::Test
{
protected:
   fs::path m_dir;

   void SetUp() override
   {
      char pattern[] = "/tmp/qv_platform_file_XXXXXX";
      ASSERT_NE(mkdtemp(pattern), nullptr);
      m_dir = pattern;
   }
   void TearDown() override { fs::remove_all(m_dir); }

   /* The wide form of the directory, to which a wide name is appended. */
   std::wstring wideDir() const
   {
      std::string dir = m_dir.string();
      return std::wstring(dir.begin(), dir.end());
   }

   void write(const std::string &utf8Name, const std::string &content)
   {
      std::ofstream(m_dir / utf8Name, std::ios::binary) << content;
   }

   std::string readBack(FILE *file)
   {
      std::string content;
      char buffer[64];
      size_t n;
      while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
         content.append(buffer, n);
      return content;
   }
};

}  // namespace

TEST_F(PlatformFile, WideNameReachesTheFileOfItsUtf8Bytes)
{
   write("caf\xC3\xA9-\xE2\x82\xAC-\xF0\x9F\x98\x80.bin", "payload");
   std::wstring name = wideDir() + L"/caf\u00E9-\u20AC-\U0001F600.bin";
   FILE *file = OpenFile(name.c_str(), "rb");
   ASSERT_NE(file, nullptr);
   EXPECT_EQ(readBack(file), "payload");
   fclose(file);
}

TEST_F(PlatformFile, CodePointsBeyondUnicodeAreDroppedFromTheName)
{
   // As the library's wide-to-UTF-8 conversion does.
   write("ab", "x");
   std::wstring name = wideDir() + L"/a" + static_cast<wchar_t>(0x110000) + L"b";
   FILE *file = OpenFile(name.c_str(), "rb");
   ASSERT_NE(file, nullptr);
   EXPECT_EQ(readBack(file), "x");
   fclose(file);
}

TEST_F(PlatformFile, FailuresGiveNull)
{
   EXPECT_EQ(OpenFile(nullptr, "rb"), nullptr);
   std::wstring missing = wideDir() + L"/missing";
   EXPECT_EQ(OpenFile(missing.c_str(), "rb"), nullptr);
   write("present", "x");
   std::wstring present = wideDir() + L"/present";
   EXPECT_EQ(OpenFile(present.c_str(), ""), nullptr);
   EXPECT_EQ(OpenFile(present.c_str(), nullptr), nullptr);
   EXPECT_EQ(CreatePrivateFile(nullptr), nullptr);
   std::wstring inMissingDir = wideDir() + L"/no/such/file";
   EXPECT_EQ(CreatePrivateFile(inMissingDir.c_str()), nullptr);
}

TEST_F(PlatformFile, DescriptorsAreNotInherited)
{
   write("present", "x");
   std::wstring present = wideDir() + L"/present";
   FILE *file = OpenFile(present.c_str(), "rb");
   ASSERT_NE(file, nullptr);
   EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
   fclose(file);

   std::wstring fresh = wideDir() + L"/fresh";
   file = CreatePrivateFile(fresh.c_str());
   ASSERT_NE(file, nullptr);
   EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
   fclose(file);
}

TEST_F(PlatformFile, PrivateFileIsTheOwnersAloneAndStartsEmpty)
{
   std::wstring name = wideDir() + L"/k\u00E9y";
   FILE *file = CreatePrivateFile(name.c_str());
   ASSERT_NE(file, nullptr);
   fputs("first and longer", file);
   fclose(file);
   struct stat info;
   ASSERT_EQ(stat((m_dir / "k\xC3\xA9y").c_str(), &info), 0);
   EXPECT_EQ(info.st_mode & 0777, 0600u);

   file = CreatePrivateFile(name.c_str());
   ASSERT_NE(file, nullptr);
   fputs("second", file);
   fclose(file);
   std::ifstream in(m_dir / "k\xC3\xA9y", std::ios::binary);
   std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
   EXPECT_EQ(content, "second");
}
