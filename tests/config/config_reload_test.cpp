/* Reloading: the tree is replaced only by a clean load of the same sources, and readers
 * that hold the configuration's lock never see a tree in between. */
#include <gtest/gtest.h>

#include "config/config_test_util.h"
#include "support/thread_test_util.h"

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

using qvtest::TempDir;
using qvtest::TestConfig;

TEST(ConfigReload, ReplacesTheTreeOnlyAfterACleanLoad)
{
   TempDir dir;
   std::wstring ini = dir.write("a.ini", "[%db]\nk = 1\n");
   std::wstring xml = dir.write("b.xml", "<config><x>1</x></config>");
   TestConfig config;
   config.setAlias(L"db", L"database");
   config.setTopLevelTag(L"config");
   ASSERT_TRUE(config.loadConfig(ini.c_str(), L"main", false));
   ASSERT_TRUE(config.loadXmlConfig(xml.c_str()));
   ASSERT_TRUE(config.loadXmlConfigFromMemory("<config><m>mem</m></config>", -1, L"inline"));
   config.setValue(L"/code", L"set in code");

   dir.write("a.ini", "[%db]\nk = 2\nnew = yes\n");
   EXPECT_TRUE(config.reload());
   EXPECT_STREQ(config.getValue(L"/database/k"), L"2");
   EXPECT_TRUE(config.getValueAsBoolean(L"/database/new", false));
   EXPECT_STREQ(config.getValue(L"/x"), L"1");
   EXPECT_STREQ(config.getValue(L"/m"), L"mem");
   EXPECT_EQ(config.getEntry(L"/code"), nullptr);
   EXPECT_STREQ(config.getEntry(L"/")->getName(), L"config");
   EXPECT_EQ(config.getErrorCount(), 0);
   // Entries of the new tree resolve aliases through this configuration.
   EXPECT_EQ(config.getEntry(L"/")->findEntry(L"%db"), config.getEntry(L"/database"));

   // A syntax error keeps the tree and is reported with its file and line.
   dir.write("a.ini", "[%db]\nk = 3\nbroken line\n");
   EXPECT_FALSE(config.reload());
   EXPECT_STREQ(config.getValue(L"/database/k"), L"2");
   ASSERT_EQ(config.messages.size(), 1u);
   EXPECT_EQ(config.messages[0], L"Syntax error in configuration file " + ini + L" at line 3");
   ASSERT_EQ(config.getErrorRecordCount(), 1);
   EXPECT_EQ(std::wstring(config.getErrorRecord(0)->file), ini);
   EXPECT_EQ(config.getErrorRecord(0)->line, 3);

   // So are several errors in several files.
   dir.write("a.ini", "[%db]\nk = 4\n");
   dir.write("b.xml", "<config>\n<x>2</x>\n");
   unlink(dir.file("a.ini").c_str());
   EXPECT_FALSE(config.reload());
   EXPECT_STREQ(config.getValue(L"/database/k"), L"2");
   EXPECT_STREQ(config.getValue(L"/x"), L"1");
   ASSERT_EQ(config.getErrorRecordCount(), 3);
   EXPECT_EQ(config.messages[1], L"Could not process \"" + ini + L"\"!");
   EXPECT_EQ(std::wstring(config.getErrorRecord(2)->file), xml);
   EXPECT_EQ(config.getErrorRecord(2)->line, 3);
   EXPECT_EQ(config.getErrorCount(), 3);

   dir.write("a.ini", "[%db]\nk = 5\n");
   dir.write("b.xml", "<config><x>3</x></config>");
   EXPECT_TRUE(config.reload());
   EXPECT_STREQ(config.getValue(L"/database/k"), L"5");
   EXPECT_STREQ(config.getValue(L"/x"), L"3");
}

TEST(ConfigReload, DirectorySourcesSeeNewFiles)
{
   TempDir dir;
   dir.write("1.ini", "k = one\n");
   Config config;
   ASSERT_TRUE(config.loadConfigDirectory(dir.wpath().c_str(), L"main", false));
   dir.write("2.xml", "<config><main><k>two</k></main></config>");
   EXPECT_TRUE(config.reload());
   ConfigEntry *k = config.getEntry(L"/main/k");
   ASSERT_NE(k, nullptr);
   ASSERT_EQ(k->getValueCount(), 2);
   EXPECT_STREQ(k->getValue(1), L"two");

   Config empty;
   EXPECT_TRUE(empty.reload());
}

namespace {

/* What the reader has seen, shared with the writer. */
struct ReaderState
{
   std::mutex mutex;
   std::condition_variable changed;
   int32_t seen = -1;
   int mixtures = 0;
   bool stop = false;

   bool waitFor(int32_t generation)
   {
      std::unique_lock<std::mutex> guard(mutex);
      return changed.wait_for(guard, qvtest::GENEROUS, [&] { return seen >= generation; });
   }
};

std::string Generation(int32_t n)
{
   std::string text = "[gen]\na = " + std::to_string(n) + "\n";
   for (int i = 0; i < 50; i++)
      text += "filler" + std::to_string(i) + " = " + std::to_string(n) + "\n";
   return text + "b = " + std::to_string(n) + "\n";
}

}  // namespace

TEST(ConfigReload, ReadersHoldingTheLockNeverSeeAHalfLoadedTree)
{
   TempDir dir;
   std::wstring file = dir.write("gen.ini", Generation(0));
   TestConfig config;
   ASSERT_TRUE(config.loadIniConfig(file.c_str(), L"main", false));

   ReaderState state;
   qvtest::Worker reader([&] {
      for (;;)
      {
         config.lock();
         int32_t a = config.getValueAsInt(L"/gen/a", -1);
         int32_t b = config.getValueAsInt(L"/gen/b", -2);
         int32_t filler = config.getValueAsInt(L"/gen/filler25", -3);
         config.unlock();
         std::lock_guard<std::mutex> guard(state.mutex);
         if (a != b || a != filler)
            state.mixtures++;
         if (a > state.seen)
         {
            state.seen = a;
            state.changed.notify_all();
         }
         if (state.stop)
            return;
      }
   });
   ASSERT_TRUE(reader.started());
   ASSERT_TRUE(state.waitFor(0));

   const int32_t generations = 40;
   for (int32_t n = 1; n <= generations; n++)
   {
      if (n % 4 == 0)
      {
         // A broken rewrite between two good ones: the readers keep the last good tree.
         dir.write("gen.ini", Generation(n) + "broken\n");
         EXPECT_FALSE(config.reload());
      }
      dir.write("gen.ini", Generation(n));
      EXPECT_TRUE(config.reload());
      ASSERT_TRUE(state.waitFor(n)) << "generation " << n;
   }
   {
      std::lock_guard<std::mutex> guard(state.mutex);
      state.stop = true;
   }
   reader.join();
   EXPECT_EQ(state.mixtures, 0);
   EXPECT_EQ(state.seen, generations);
   EXPECT_EQ(config.getErrorCount(), generations / 4);
}
