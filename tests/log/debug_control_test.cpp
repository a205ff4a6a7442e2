/* Debug changes that expire and the flood control of the debug output, on the log's
 * injectable clock; and the figures of the log writer and the debug output in the
 * registry of the library's figures. */
#include <qorvel.h>

#include "support/metrics_test_util.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

std::atomic<int64_t> g_now{1000000};

int64_t FakeClock()
{
   return g_now.load();
}

typedef std::vector<std::pair<std::wstring, std::wstring>> Lines;  // tag ("<null>" for none), text

std::mutex g_mutex;
Lines g_lines;

void Capture(const wchar_t *tag, const wchar_t *message)
{
   std::lock_guard<std::mutex> guard(g_mutex);
   g_lines.emplace_back(tag != nullptr ? tag : L"<null>", message);
}

Lines TakeLines()
{
   std::lock_guard<std::mutex> guard(g_mutex);
   Lines lines;
   lines.swap(g_lines);
   return lines;
}

bool Listed(const std::wstring &tag, int32_t *level = nullptr)
{
   ObjectArray<DebugTagInfo> *list = qvlog_get_all_debug_tags();
   bool found = false;
   for (int i = 0; list != nullptr && i < list->size(); i++)
   {
      if (tag == list->get(i)->tag)
      {
         found = true;
         if (level != nullptr)
            *level = list->get(i)->level;
      }
   }
   delete list;
   return found;
}

class DebugControlTest : public ::testing::Test
{
protected:
   void SetUp() override
   {
      g_now = 1000000;
      qvlog_set_clock(FakeClock);
      qvlog_reset_debug_level_tags();
      qvlog_set_debug_rate_limit(0);
      qvlog_set_debug_writer(Capture);
      TakeLines();
   }

   void TearDown() override
   {
      qvlog_set_debug_writer(nullptr);
      qvlog_set_debug_rate_limit(0);
      qvlog_reset_debug_level_tags();
      qvlog_set_clock(nullptr);
   }

   static void Advance(int64_t ms) { g_now += ms; }
};

TEST_F(DebugControlTest, ExpiringChangeBringsBackTheLevelBeforeIt)
{
   qvlog_set_debug_level_tag(L"net.conn", 3);
   qvlog_set_debug_level_tag_for(L"net.conn", 7, 10);
   EXPECT_EQ(7, qvlog_get_debug_level_tag(L"net.conn"));
   Advance(9999);
   EXPECT_EQ(7, qvlog_get_debug_level_tag(L"net.conn"));
   Advance(1);
   EXPECT_EQ(3, qvlog_get_debug_level_tag(L"net.conn"));
   int32_t level = -1;
   EXPECT_TRUE(Listed(L"net.conn", &level));
   EXPECT_EQ(3, level);

   // A temporary removal brings the setting back too.
   qvlog_set_debug_level_tag_for(L"net.conn", -1, 2);
   EXPECT_FALSE(Listed(L"net.conn"));
   Advance(2000);
   EXPECT_EQ(3, qvlog_get_debug_level_tag(L"net.conn"));
}

TEST_F(DebugControlTest, ExpiringChangeOfATagWithoutSettingLeavesNoSetting)
{
   qvlog_set_debug_level(1);
   qvlog_set_debug_level_tag_for(L"db.query", 6, 1);
   qvlog_set_debug_level_tag_for(L"db.*", 4, 2);
   EXPECT_EQ(6, qvlog_get_debug_level_tag(L"db.query"));
   EXPECT_EQ(4, qvlog_get_debug_level_tag(L"db.other"));
   Advance(1000);
   EXPECT_FALSE(Listed(L"db.query"));
   EXPECT_EQ(4, qvlog_get_debug_level_tag(L"db.query"));
   Advance(1000);
   EXPECT_FALSE(Listed(L"db.*"));
   EXPECT_EQ(1, qvlog_get_debug_level_tag(L"db.query"));
   ObjectArray<DebugTagInfo> *list = qvlog_get_all_debug_tags();
   ASSERT_NE(nullptr, list);
   EXPECT_EQ(0, list->size());
   delete list;
}

TEST_F(DebugControlTest, ExpiringChangeOfTheDefaultLevel)
{
   qvlog_set_debug_level(2);
   qvlog_set_debug_level_tag_for(nullptr, 6, 5);
   EXPECT_EQ(6, qvlog_get_debug_level());
   qvlog_set_debug_level_tag_for(L"*", 8, 5);  // the same setting: supersedes
   EXPECT_EQ(8, qvlog_get_debug_level());
   Advance(5000);
   EXPECT_EQ(2, qvlog_get_debug_level());
}

TEST_F(DebugControlTest, NewerChangeOfTheSameTagSupersedesTheOlderExpiry)
{
   qvlog_set_debug_level_tag(L"agent", 1);
   qvlog_set_debug_level_tag_for(L"agent", 5, 10);
   Advance(5000);
   qvlog_set_debug_level_tag_for(L"AGENT", 7, 10);  // tags match without regard to case
   Advance(6000);                                   // past the first change's expiry
   EXPECT_EQ(7, qvlog_get_debug_level_tag(L"agent"));
   Advance(4000);
   EXPECT_EQ(1, qvlog_get_debug_level_tag(L"agent"));  // the level from before the first

   // Changes of other tags keep their own expiries.
   qvlog_set_debug_level_tag_for(L"x", 5, 1);
   qvlog_set_debug_level_tag_for(L"x.y", 6, 3);
   Advance(1000);
   EXPECT_EQ(0, qvlog_get_debug_level_tag(L"x"));
   EXPECT_EQ(6, qvlog_get_debug_level_tag(L"x.y"));
}

TEST_F(DebugControlTest, PlainChangeOrResetCancelsThePendingExpiry)
{
   qvlog_set_debug_level_tag_for(L"pool", 5, 10);
   qvlog_set_debug_level_tag(L"pool", 4);
   qvlog_set_debug_level_tag_for(nullptr, 5, 10);
   qvlog_set_debug_level(3);
   Advance(20000);
   EXPECT_EQ(4, qvlog_get_debug_level_tag(L"pool"));
   EXPECT_EQ(3, qvlog_get_debug_level());

   qvlog_set_debug_level_tag_for(L"sched", 5, 1);
   qvlog_reset_debug_level_tags();
   qvlog_set_debug_level_tag(L"sched", 2);
   Advance(1000);
   EXPECT_EQ(2, qvlog_get_debug_level_tag(L"sched"));

   // A change the plain setter ignores cancels nothing.
   qvlog_set_debug_level_tag_for(L"sched", 6, 1);
   qvlog_set_debug_level_tag(L"sched", 10);
   Advance(1000);
   EXPECT_EQ(2, qvlog_get_debug_level_tag(L"sched"));
}

TEST_F(DebugControlTest, IgnoredArgumentsChangeNothing)
{
   qvlog_set_debug_level_tag(L"t", 2);
   qvlog_set_debug_level_tag_for(L"t", 10, 5);
   qvlog_set_debug_level_tag_for(L"t", 6, 0);
   qvlog_set_debug_level_tag_for(nullptr, -1, 5);
   EXPECT_EQ(2, qvlog_get_debug_level_tag(L"t"));
   EXPECT_EQ(0, qvlog_get_debug_level());
}

TEST_F(DebugControlTest, DebugCallsApplyTheExpiry)
{
   qvlog_set_debug_level_tag_for(L"trace", 5, 1);
   qvlog_debug_tag(L"trace", 5, L"while raised");
   Advance(1000);
   qvlog_debug_tag(L"trace", 5, L"after expiry");
   qvlog_debug_tag_object(L"trace", 7, 5, L"object after expiry");
   Lines lines = TakeLines();
   ASSERT_EQ(1u, lines.size());
   EXPECT_EQ(L"while raised", lines[0].second);
}

TEST_F(DebugControlTest, FloodControlCutsATagToItsLimitAndSummarisesAfterTheSecond)
{
   qvlog_set_debug_level(9);
   int64_t suppressedBefore = qvtest::LibraryFigure("debug_output", "debug", "suppressed");
   int64_t linesBefore = qvtest::LibraryFigure("debug_output", "debug", "lines");
   qvlog_set_debug_rate_limit(3);
   for (int i = 0; i < 10; i++)
   {
      qvlog_debug_tag(L"flood", 1, L"line %d", i);
      Advance(50);  // all within one second
   }
   Lines lines = TakeLines();
   ASSERT_EQ(3u, lines.size());
   EXPECT_EQ(L"line 2", lines[2].second);
   EXPECT_EQ(7, qvtest::LibraryFigure("debug_output", "debug", "suppressed") - suppressedBefore);

   Advance(500);  // the second began with line 0, 500 ms + 10 * 50 ms ago
   qvlog_debug_tag(L"flood", 1, L"next second");
   lines = TakeLines();
   ASSERT_EQ(2u, lines.size());
   EXPECT_EQ(L"flood", lines[0].first);
   EXPECT_EQ(L"Debug tag flood: 7 lines suppressed", lines[0].second);
   EXPECT_EQ(L"next second", lines[1].second);
   EXPECT_EQ(3 + 1 + 1, qvtest::LibraryFigure("debug_output", "debug", "lines") - linesBefore);
}

TEST_F(DebugControlTest, FloodControlCountsEachTagAndUntaggedLinesApart)
{
   qvlog_set_debug_level(9);
   qvlog_set_debug_rate_limit(2);
   for (int i = 0; i < 4; i++)
   {
      qvlog_debug_tag(L"a", 1, L"a%d", i);
      qvlog_debug_tag(L"b", 1, L"b%d", i);
      qvlog_debug(1, L"u%d", i);
      qvlog_debug_tag_object(L"obj", 1, 1, L"o%d", i);
   }
   qvlog_debug_tag_object(L"obj", 2, 1, L"other object");
   EXPECT_EQ(9u, TakeLines().size());

   // The summaries come with the next line written, whatever its tag, in the order the
   // tags were first seen.
   Advance(1000);
   qvlog_debug_tag(L"c", 1, L"first of c");
   Lines lines = TakeLines();
   ASSERT_EQ(5u, lines.size());
   EXPECT_EQ(L"Untagged debug output: 2 lines suppressed", lines[0].second);
   EXPECT_EQ(L"<null>", lines[0].first);
   EXPECT_EQ(L"Debug tag a: 2 lines suppressed", lines[1].second);
   EXPECT_EQ(L"Debug tag b: 2 lines suppressed", lines[2].second);
   EXPECT_EQ(L"Debug tag obj.1: 2 lines suppressed", lines[3].second);
   EXPECT_EQ(L"first of c", lines[4].second);
}

TEST_F(DebugControlTest, FloodControlSecondStartsWithTheFirstLine)
{
   qvlog_set_debug_level(9);
   qvlog_set_debug_rate_limit(2);
   qvlog_debug_tag(L"w", 1, L"one");
   Advance(600);
   qvlog_debug_tag(L"w", 1, L"two");
   Advance(399);
   qvlog_debug_tag(L"w", 1, L"cut");  // 999 ms after the first
   Advance(1);
   qvlog_debug_tag(L"w", 1, L"three");  // a new second
   qvlog_debug_tag(L"w", 1, L"four");
   qvlog_debug_tag(L"w", 1, L"cut again");
   Lines lines = TakeLines();
   std::vector<std::wstring> texts;
   for (const auto &line : lines)
      texts.push_back(line.second);
   EXPECT_EQ((std::vector<std::wstring>{L"one", L"two", L"Debug tag w: 1 lines suppressed", L"three", L"four"}), texts);
}

TEST_F(DebugControlTest, RemovingTheLimitWritesThePendingSummaries)
{
   qvlog_set_debug_level(9);
   qvlog_set_debug_rate_limit(1);
   for (int i = 0; i < 3; i++)
      qvlog_debug_tag(L"r", 1, L"r%d", i);
   EXPECT_EQ(1u, TakeLines().size());
   qvlog_set_debug_rate_limit(0);
   Lines lines = TakeLines();
   ASSERT_EQ(1u, lines.size());
   EXPECT_EQ(L"Debug tag r: 2 lines suppressed", lines[0].second);
   for (int i = 0; i < 3; i++)
      qvlog_debug_tag(L"r", 1, L"free %d", i);
   EXPECT_EQ(3u, TakeLines().size());
}

TEST_F(DebugControlTest, LinesBelowTheirLevelNeitherCountNorPass)
{
   qvlog_set_debug_rate_limit(1);
   qvlog_debug_tag(L"quiet", 5, L"not in force");
   qvlog_debug_tag(L"quiet", 0, L"written");
   EXPECT_EQ(1u, TakeLines().size());
}

TEST(LibraryMetrics, LogWriterFiguresFollowTheWork)
{
   enum : uint32_t
   {
      MSG_DEBUG = 1,
      MSG_DEBUG_TAGGED = 2,
      MSG_GENERIC = 3
   };
   const QVLOG_MESSAGE_TEXT messages[] = {{MSG_DEBUG, L"%1"}, {MSG_DEBUG_TAGGED, L"[%1] %2"}, {MSG_GENERIC, L"%1"}};
   ASSERT_TRUE(qvlog_register_message_table(messages, 3));
   qvtest::TempDir dir;
   std::wstring name = std::wstring(dir.path().begin(), dir.path().end()) + L"/figures.log";
   int64_t written = qvtest::LibraryFigure("log_writer", "log", "lines_written");
   int64_t rotations = qvtest::LibraryFigure("log_writer", "log", "rotations");
   ASSERT_GE(written, 0);
   ASSERT_TRUE(qvlog_open(name.c_str(), 0, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED, MSG_GENERIC));
   for (int i = 0; i < 5; i++)
      qvlog_write_generic(EVENTLOG_INFORMATION_TYPE, L"line %d", i);
   ASSERT_TRUE(qvlog_rotate());
   qvlog_close();
   EXPECT_EQ(5, qvtest::LibraryFigure("log_writer", "log", "lines_written") - written);
   EXPECT_EQ(1, qvtest::LibraryFigure("log_writer", "log", "rotations") - rotations);
   qvlog_register_message_table(nullptr, 0);
}

TEST(LibraryMetrics, TableAndJsonHoldTheSameFigures)
{
   json_t *root = GetLibraryMetricsAsJson();
   ASSERT_NE(nullptr, root);
   const char *kinds[] = {"thread_pool", "wait_queue", "receiver", "log_writer", "debug_output"};
   size_t figures = 0;
   const char *key;
   json_t *value;
   size_t index = 0;
   json_object_foreach(root, key, value)
   {
      ASSERT_LT(index, 5u);
      EXPECT_STREQ(kinds[index++], key);
      ASSERT_TRUE(json_is_array(value));
      for (size_t i = 0; i < json_array_size(value); i++)
         figures += json_object_size(json_array_get(value, i)) - 2;  // less id and name
   }
   EXPECT_EQ(5u, index);
   EXPECT_EQ(1u, json_array_size(json_object_get(root, "log_writer")));
   json_decref(root);

   Table *table = GetLibraryMetrics();
   ASSERT_NE(nullptr, table);
   EXPECT_EQ(5, table->getNumColumns());
   EXPECT_STREQ(L"FIGURE", table->getColumnName(3));
   EXPECT_EQ(static_cast<int>(figures), table->getNumRows());
   bool found = false;
   for (int row = 0; row < table->getNumRows(); row++)
   {
      if (wcscmp(table->getAsString(row, 0), L"debug_output") == 0 && wcscmp(table->getAsString(row, 3), L"lines") == 0)
      {
         found = true;
         EXPECT_STREQ(L"2", table->getAsString(row, 1));
         EXPECT_STREQ(L"debug", table->getAsString(row, 2));
      }
   }
   EXPECT_TRUE(found);
   table->decRefCount();
}

}  // namespace
