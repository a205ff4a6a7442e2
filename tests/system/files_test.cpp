/* The wide directory reader, stat replacement, file loading, folders, sizes, names, times,
 * temporary files and gzip copies. */
#include "system/files_test_util.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <zlib.h>

#include <set>
#include <vector>

using namespace qvtest;

TEST(DirectoryReader, ListsEveryEntryWithSequenceNumbersAndTypes)
{
   TempDir dir;
   mkdir((dir / "child").c_str(), 0755);
   WriteFile(dir / "file", "x");
   symlink("child", (dir / "link-to-dir").c_str());
   // One trailing separator is ignored.
   WDIR *d = wopendir(Wide(dir.path() + "/").c_str());
   ASSERT_NE(d, nullptr);
   std::map<std::wstring, int> types;
   int expected = 0;
   struct wdirent *e;
   while ((e = wreaddir(d)) != nullptr)
   {
      EXPECT_EQ(e->d_ino, expected++);
      EXPECT_EQ(e->d_namlen, static_cast<int32_t>(wcslen(e->d_name)));
      types[e->d_name] = e->d_type;
   }
   EXPECT_EQ(wreaddir(d), nullptr);
   EXPECT_EQ(wclosedir(d), 0);
   EXPECT_EQ(expected, 5);
   EXPECT_EQ(types[L"."], 2);
   EXPECT_EQ(types[L".."], 2);
   EXPECT_EQ(types[L"child"], 2);
   EXPECT_EQ(types[L"link-to-dir"], 2);
   EXPECT_EQ(types[L"file"], 1);
}

TEST(DirectoryReader, RefusesFilesMissingPathsAndNullListings)
{
   TempDir dir;
   WriteFile(dir / "file", "x");
   EXPECT_EQ(wopendir(Wide(dir / "file").c_str()), nullptr);
   EXPECT_EQ(wopendir(Wide(dir / "missing").c_str()), nullptr);
   EXPECT_EQ(wopendir(L""), nullptr);
   EXPECT_EQ(wopendir(nullptr), nullptr);
   EXPECT_EQ(wreaddir(nullptr), nullptr);
   EXPECT_EQ(wclosedir(nullptr), -1);
}

TEST(DirectoryReader, ReadsNonAsciiNames)
{
   TempDir dir;
   WriteFile(dir / "gr\xc3\xbc\xc3\x9f"
                   "e-\xe2\x82\xac",
             "x");
   WDIR *d = wopendir(Wide(dir.path()).c_str());
   ASSERT_NE(d, nullptr);
   bool found = false;
   while (struct wdirent *e = wreaddir(d))
      found |= (std::wstring(e->d_name) == L"gr\u00fc\u00dfe-\u20ac");
   wclosedir(d);
   EXPECT_TRUE(found);
}

TEST(StatW32, ReportsTypeAccessSizeAndTimes)
{
   TempDir dir;
   WriteFile(dir / "ro", "12345");
   chmod((dir / "ro").c_str(), 0444);
   SetTimes(dir / "ro", 1000, 2000);
   struct stat st;
   ASSERT_EQ(_statw32(Wide(dir / "ro").c_str(), &st), 0);
   EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0400));
   EXPECT_EQ(st.st_size, 5);
   EXPECT_EQ(st.st_atime, 1000);
   EXPECT_EQ(st.st_mtime, 2000);
   EXPECT_EQ(st.st_nlink, 0u);

   chmod((dir / "ro").c_str(), 0644);
   ASSERT_EQ(_statw32(Wide(dir / "ro").c_str(), &st), 0);
   EXPECT_EQ(st.st_mode, static_cast<mode_t>(S_IFREG | 0600));

   ASSERT_EQ(_statw32(Wide(dir.path() + "/").c_str(), &st), 0);
   EXPECT_EQ(st.st_mode & S_IFMT, static_cast<mode_t>(S_IFDIR));
   ASSERT_EQ(_statw32(L"/dev/null", &st), 0);
   EXPECT_EQ(st.st_mode & S_IFMT, static_cast<mode_t>(S_IFCHR));

   errno = 0;
   EXPECT_EQ(_statw32(Wide(dir / "missing").c_str(), &st), -1);
   EXPECT_EQ(errno, ENOENT);
   errno = 0;
   EXPECT_EQ(_statw32(Wide(dir / "ro/below").c_str(), &st), -1);
   EXPECT_EQ(errno, ENOENT);
}

TEST(LoadFile, GivesContentWithTerminatingZero)
{
   TempDir dir;
   std::string content(40000, 'q');
   content[17] = 0;
   WriteFile(dir / "data", content);
   uint32_t size = 12345;
   BYTE *data = LoadFile(Wide(dir / "data").c_str(), &size);
   ASSERT_NE(data, nullptr);
   EXPECT_EQ(size, content.size());
   EXPECT_EQ(std::string(reinterpret_cast<char *>(data), size), content);
   EXPECT_EQ(data[size], 0);
   free(data);

   WriteFile(dir / "empty", "");
   data = LoadFileA((dir / "empty").c_str(), &size);
   ASSERT_NE(data, nullptr);
   EXPECT_EQ(size, 0u);
   EXPECT_EQ(data[0], 0);
   free(data);

   size = 7;
   EXPECT_EQ(LoadFile(Wide(dir / "missing").c_str(), &size), nullptr);
   EXPECT_EQ(size, 0u);
   EXPECT_EQ(LoadFileA(dir.path().c_str(), &size), nullptr);
}

TEST(LoadFile, RefusesFilesTooLargeForItsSize)
{
   TempDir dir;
   int fd = open((dir / "huge").c_str(), O_CREAT | O_WRONLY, 0600);
   ASSERT_GE(fd, 0);
   ASSERT_EQ(ftruncate(fd, 5000000000LL), 0);  // sparse
   close(fd);
   uint32_t size = 1;
   EXPECT_EQ(LoadFile(Wide(dir / "huge").c_str(), &size), nullptr);
   EXPECT_EQ(FileSizeW(Wide(dir / "huge").c_str()), 5000000000LL);
   EXPECT_EQ(FileSizeA((dir / "huge").c_str()), 5000000000LL);
   EXPECT_EQ(FileSizeA((dir / "missing").c_str()), 0);
}

TEST(CreateFolder, CreatesMissingParentsAndRefusesExisting)
{
   TempDir dir;
   mkdir((dir / "a").c_str(), 0755);
   EXPECT_TRUE(CreateFolder(Wide(dir / "a/b/c").c_str()));
   struct stat st;
   EXPECT_EQ(stat((dir / "a/b/c").c_str(), &st), 0);
   EXPECT_TRUE(S_ISDIR(st.st_mode));
   EXPECT_FALSE(CreateFolder(Wide(dir / "a/b/c").c_str()));
   EXPECT_TRUE(CreateFolder(Wide(dir / "x/").c_str()));

   WriteFile(dir / "file", "x");
   EXPECT_FALSE(CreateFolder(Wide(dir / "file/sub").c_str()));
   EXPECT_FALSE(CreateFolder(L""));
   EXPECT_FALSE(CreateFolder(nullptr));
}

TEST(CreateFolder, HandlesPathsBeyondOldLimits)
{
   TempDir dir;
   std::string path = dir.path();
   for (int i = 0; i < 30; i++)
      path += "/component-with-a-long-name-" + std::to_string(i);
   ASSERT_GT(path.size(), 800u);
   EXPECT_TRUE(CreateFolder(Wide(path).c_str()));
   WriteFile(path + "/f", "deep");
   EXPECT_EQ(FileSizeW(Wide(path + "/f").c_str()), 4);
   // Past what the system accepts it fails without harm.
   std::string tooLong = dir.path() + "/" + std::string(5000, 'n');
   EXPECT_FALSE(CreateFolder(Wide(tooLong).c_str()));
   EXPECT_EQ(wopendir(Wide(tooLong).c_str()), nullptr);
}

TEST(FileNames, CleanNameIsAfterTheLastSeparator)
{
   EXPECT_STREQ(GetCleanFileName(L"C:\\dir/file.txt"), L"file.txt");
   EXPECT_STREQ(GetCleanFileName(L"/a/b\\c"), L"c");
   EXPECT_STREQ(GetCleanFileName(L"d:name"), L"name");
   EXPECT_STREQ(GetCleanFileName(L"plain"), L"plain");
   EXPECT_STREQ(GetCleanFileName(L"dir/"), L"");
}

TEST(FileTimes, SetsAccessAndModificationTime)
{
   TempDir dir;
   WriteFile(dir / "f", "x");
   EXPECT_TRUE(SetLastModificationTime(Wide(dir / "f").c_str(), 1234567890));
   struct stat st;
   ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
   EXPECT_EQ(st.st_mtime, 1234567890);
   EXPECT_EQ(st.st_atime, 1234567890);
   EXPECT_FALSE(SetLastModificationTime(Wide(dir / "missing").c_str(), 1));
}

TEST(TempFiles, CreatesUniquePrivateFiles)
{
   TempDir dir;
   std::set<std::wstring> names;
   for (int i = 0; i < 3; i++)
   {
      std::wstring templ = Wide(dir / "tmp-XXXXXX");
      int fd = wmkstemp(&templ[0]);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(templ.find(L"XXXXXX"), std::wstring::npos);
      struct stat st;
      ASSERT_EQ(fstat(fd, &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
      EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
      close(fd);
      std::string narrow(templ.begin(), templ.end());
      EXPECT_EQ(access(narrow.c_str(), F_OK), 0);
      names.insert(templ);
   }
   EXPECT_EQ(names.size(), 3u);
   std::wstring bad = Wide(dir / "no-placeholder");
   EXPECT_EQ(wmkstemp(&bad[0]), -1);
   std::wstring missingDir = Wide(dir / "missing/tmp-XXXXXX");
   EXPECT_EQ(wmkstemp(&missingDir[0]), -1);
}

namespace {

std::string GunzipWithTool(const std::string &path)
{
   std::string command = "gzip -d -c '" + path + "'";
   FILE *pipe = popen(command.c_str(), "r");
   std::string out;
   char buffer[65536];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0)
      out.append(buffer, n);
   EXPECT_EQ(pclose(pipe), 0);
   return out;
}

std::string MixedContent(size_t size)
{
   std::string content;
   uint32_t x = 12345;
   while (content.size() < size)
   {
      x = x * 1103515245 + 12345;
      content += "line " + std::to_string(content.size()) + " value " + std::to_string(x >> 16) + "\n";
      content.push_back(static_cast<char>(x >> 24));
   }
   content.resize(size);
   return content;
}

}  // namespace

TEST(DeflateFile, WritesGzipThatGzipReads)
{
   TempDir dir;
   std::string content = MixedContent(200000);
   WriteFile(dir / "data", content);
   ASSERT_TRUE(DeflateFile(Wide(dir / "data").c_str(), nullptr));
   EXPECT_EQ(GunzipWithTool(dir / "data.gz"), content);

   ASSERT_TRUE(DeflateFile(Wide(dir / "data").c_str(), Wide(dir / "other.gz").c_str()));
   EXPECT_EQ(GunzipWithTool(dir / "other.gz"), content);

   WriteFile(dir / "empty", "");
   ASSERT_TRUE(DeflateFile(Wide(dir / "empty").c_str(), nullptr));
   EXPECT_EQ(GunzipWithTool(dir / "empty.gz"), "");
}

TEST(DeflateFile, FailsWithoutLeavingOutput)
{
   TempDir dir;
   EXPECT_FALSE(DeflateFile(Wide(dir / "missing").c_str(), nullptr));
   EXPECT_NE(access((dir / "missing.gz").c_str(), F_OK), 0);
   // Reading a directory fails after the output was opened: the partial output goes.
   mkdir((dir / "d").c_str(), 0755);
   EXPECT_FALSE(DeflateFile(Wide(dir / "d").c_str(), Wide(dir / "d.gz").c_str()));
   EXPECT_NE(access((dir / "d.gz").c_str(), F_OK), 0);
   WriteFile(dir / "data", "x");
   EXPECT_FALSE(DeflateFile(Wide(dir / "data").c_str(), Wide(dir / "missing/out.gz").c_str()));
}

TEST(DeflateFileStream, WritesZlibFormatAndReportsWriteErrors)
{
   TempDir dir;
   std::string content = MixedContent(50000);
   WriteFile(dir / "in", content);
   FILE *in = fopen((dir / "in").c_str(), "rb");
   FILE *out = fopen((dir / "out").c_str(), "wb");
   ASSERT_EQ(DeflateFileStream(in, out, false), 0);
   fclose(in);
   fclose(out);
   std::string packed = ReadFile(dir / "out");
   std::vector<unsigned char> unpacked(content.size());
   uLongf length = unpacked.size();
   ASSERT_EQ(uncompress(unpacked.data(), &length, reinterpret_cast<const Bytef *>(packed.data()), packed.size()), Z_OK);
   EXPECT_EQ(std::string(unpacked.begin(), unpacked.begin() + length), content);

   in = fopen((dir / "in").c_str(), "rb");
   FILE *full = fopen("/dev/full", "wb");
   ASSERT_NE(full, nullptr);
   setvbuf(full, nullptr, _IONBF, 0);
   EXPECT_EQ(DeflateFileStream(in, full, true), -1);
   fclose(in);
   fclose(full);
   EXPECT_EQ(DeflateFileStream(nullptr, nullptr, true), -1);
}
