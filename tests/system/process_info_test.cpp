/* Installation directories, module loading, error texts, host name and the process's
 * memory figures. */
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

using namespace qvtest;

namespace {

/* Sets or clears QORVEL_HOME for the life of the object. */
class HomeVariable
{
   std::string m_saved;
   bool m_wasSet;

public:
   explicit HomeVariable(const char *value)
   {
      const char *old = getenv("QORVEL_HOME");
      m_wasSet = old != nullptr;
      if (m_wasSet)
         m_saved = old;
      if (value != nullptr)
         setenv("QORVEL_HOME", value, 1);
      else
         unsetenv("QORVEL_HOME");
   }
   ~HomeVariable()
   {
      if (m_wasSet)
         setenv("QORVEL_HOME", m_saved.c_str(), 1);
      else
         unsetenv("QORVEL_HOME");
   }
};

std::wstring Directory(int type)
{
   wchar_t buffer[QV_MAX_PATH];
   wmemset(buffer, L'#', QV_MAX_PATH);
   GetQorvelDirectory(type, buffer);
   return buffer;
}

std::wstring Wide(const std::string &text)
{
   return std::wstring(text.begin(), text.end());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED_HEAP = true;  // the sanitizer's allocator is not the C library's
#else
constexpr bool SANITIZED_HEAP = false;
#endif

}  // namespace

TEST(QorvelDirectory, VariableComesFirstWithOneSubdirectoryPerType)
{
   HomeVariable home("/srv/qorvel/");
   EXPECT_EQ(L"/srv/qorvel/bin", Directory(QV_DIR_BIN));
   EXPECT_EQ(L"/srv/qorvel/var", Directory(QV_DIR_VAR));
   EXPECT_EQ(L"/srv/qorvel/etc", Directory(QV_DIR_ETC));
   EXPECT_EQ(L"/srv/qorvel/lib", Directory(QV_DIR_LIB));
   EXPECT_EQ(L"/srv/qorvel/share", Directory(QV_DIR_SHARE));
   EXPECT_EQ(L"/srv/qorvel", Directory(QV_DIR_INSTALLATION));
   EXPECT_EQ(L"/srv/qorvel", Directory(99));
   EXPECT_EQ(L"/srv/qorvel", Directory(-1));
}

TEST(QorvelDirectory, ProgramLocationTwoLevelsUpWithoutTheVariable)
{
   HomeVariable home(nullptr);
   char path[PATH_MAX];
   ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
   ASSERT_GT(n, 0);
   std::string program(path, static_cast<size_t>(n));
   std::string expected = program.substr(0, program.rfind('/'));
   expected = expected.substr(0, expected.rfind('/'));
   EXPECT_EQ(Wide(expected), Directory(QV_DIR_INSTALLATION));
   EXPECT_EQ(Wide(expected + "/etc"), Directory(QV_DIR_ETC));

   HomeVariable empty("");  // an empty variable counts as unset
   EXPECT_EQ(Wide(expected), Directory(QV_DIR_INSTALLATION));
}

TEST(QorvelDirectory, LongInstallationDirectoryIsCutAndTerminated)
{
   std::string longHome = "/" + std::string(400, 'd');
   HomeVariable home(longHome.c_str());
   std::wstring dir = Directory(QV_DIR_SHARE);
   EXPECT_EQ(static_cast<size_t>(QV_MAX_PATH - 1), dir.size());
   EXPECT_EQ(std::wstring(QV_MAX_PATH - 2, L'd'), dir.substr(1));
}

TEST(DynamicLoading, LoadsLooksUpAndReportsFailures)
{
   wchar_t error[256];
   std::vector<std::wstring> lines = DebugLinesOf(7, [&] {
      void *module = DLOpen(L"libz.so.1", error);
      ASSERT_NE(nullptr, module);
      typedef const char *(*VersionFunction)();
      VersionFunction version = reinterpret_cast<VersionFunction>(DLGetSymbolAddr(module, "zlibVersion", error));
      ASSERT_NE(nullptr, version);
      EXPECT_EQ('1', version()[0]);
      error[0] = 0;
      EXPECT_EQ(nullptr, DLGetSymbolAddr(module, "no_such_symbol_qv", error));
      EXPECT_NE(nullptr, wcsstr(error, L"no_such_symbol_qv")) << error;
      EXPECT_EQ(nullptr, DLGetSymbolAddr(nullptr, "zlibVersion", error));
      DLClose(module);
      DLClose(nullptr);
   });
   ASSERT_EQ(5u, lines.size());
   EXPECT_EQ(0u, lines[0].find(L"DLOpen: file=\"libz.so.1\", module=")) << lines[0];
   EXPECT_EQ(0u, lines[1].find(L"DLGetSymbolAddr: module=")) << lines[1];
   EXPECT_NE(std::wstring::npos, lines[1].find(L", symbol=zlibVersion, address="));
   EXPECT_NE(std::wstring::npos, lines[2].find(L", symbol=no_such_symbol_qv, address=0000000000000000"));
   EXPECT_EQ(L"DLGetSymbolAddr: module=0000000000000000, symbol=zlibVersion, address=0000000000000000", lines[3]);
   EXPECT_EQ(0u, lines[4].find(L"DLClose: module="));

   error[0] = 0;
   lines = DebugLinesOf(7, [&] { EXPECT_EQ(nullptr, DLOpen(L"/nonexistent/libqv.so", error)); });
   EXPECT_NE(nullptr, wcsstr(error, L"/nonexistent/libqv.so")) << error;
   ASSERT_EQ(1u, lines.size());
   EXPECT_EQ(L"DLOpen: file=\"/nonexistent/libqv.so\", module=0000000000000000", lines[0]);
   EXPECT_EQ(nullptr, DLOpen(L"/nonexistent/libqv.so", nullptr));  // no error buffer
}

TEST(ErrorTexts, SystemAndSocketErrorsHaveTheirTexts)
{
   wchar_t text[256];
   EXPECT_EQ(std::wstring(L"No such file or directory"), GetSystemErrorText(ENOENT, text, 256));
   EXPECT_EQ(std::wstring(L"No description for error code 0x00007FFF"), GetSystemErrorText(0x7FFF, text, 256));
   EXPECT_EQ(std::wstring(L"No su"), GetSystemErrorText(ENOENT, text, 6));

   errno = ECONNREFUSED;
   EXPECT_EQ(std::wstring(L"111 Connection refused"), GetLastSocketErrorText(text, 256));
   EXPECT_EQ(ECONNREFUSED, errno);
   EXPECT_EQ(std::wstring(L"111 Con"), GetLastSocketErrorText(text, 8));
   EXPECT_EQ(std::wstring(L"11"), GetLastSocketErrorText(text, 3));
}

TEST(LocalHost, NameWithAndWithoutDomain)
{
   char system[256];
   ASSERT_EQ(0, gethostname(system, sizeof(system)));
   std::string plain(system);
   plain = plain.substr(0, plain.find('.'));
   wchar_t buffer[256];
   ASSERT_EQ(buffer, GetLocalHostName(buffer, 256, false));
   EXPECT_EQ(Wide(plain), buffer);
   ASSERT_EQ(buffer, GetLocalHostName(buffer, 256, true));
   EXPECT_EQ(0u, std::wstring(buffer).find(Wide(plain)));  // the full name starts with the host's
   EXPECT_EQ(nullptr, GetLocalHostName(buffer, 0, false));
   ASSERT_EQ(buffer, GetLocalHostName(buffer, 2, false));
   EXPECT_EQ(Wide(plain.substr(0, 1)), buffer);
}

TEST(ProcessFigures, ResidentMemoryGrowsWithTouchedPages)
{
   constexpr size_t BLOCK = 32 * 1024 * 1024;
   uint64_t before = GetProcessRSS();
   EXPECT_GT(before, 0u);
   char *block = static_cast<char *>(malloc(BLOCK));
   ASSERT_NE(nullptr, block);
   memset(block, 1, BLOCK);
   uint64_t after = GetProcessRSS();
   EXPECT_GE(after, before + BLOCK / 2);
   free(block);
}

TEST(ProcessFigures, HeapFiguresAreOrderedAndFollowAllocations)
{
   int64_t allocated = GetAllocatedHeapMemory();
   int64_t active = GetActiveHeapMemory();
   int64_t mapped = GetMappedHeapMemory();
   EXPECT_GE(allocated, 0);
   EXPECT_LE(allocated, active);
   EXPECT_LE(active, mapped);

   wchar_t *info = GetHeapInfo();
   ASSERT_NE(nullptr, info);
   EXPECT_EQ(0u, std::wstring(info).find(L"<malloc version=")) << info;
   free(info);

   if (SANITIZED_HEAP)
      GTEST_SKIP() << "the sanitizer's allocator does not show in the C library's figures";
   constexpr size_t BLOCK = 16 * 1024 * 1024;
   void *block = malloc(BLOCK);
   ASSERT_NE(nullptr, block);
   EXPECT_GE(GetAllocatedHeapMemory(), allocated + static_cast<int64_t>(BLOCK));
   EXPECT_GE(GetMappedHeapMemory(), mapped + static_cast<int64_t>(BLOCK));
   free(block);
   EXPECT_LT(GetAllocatedHeapMemory(), allocated + static_cast<int64_t>(BLOCK));
}
