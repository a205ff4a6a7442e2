/* Debug levels and tags: lookups, setting and removal, listing, reset, object tags, what
 * reaches the log file and the debug writer, the agreement of the debug calls with the
 * lookups, and level changes racing threads that query and write. */
#include <qorvel.h>

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <stdlib.h>

namespace {

enum : uint32_t
{
   MSG_DEBUG = 1,
   MSG_DEBUG_TAGGED = 2,
   MSG_GENERIC = 3
};

const QVLOG_MESSAGE_TEXT MESSAGES[] = {{MSG_DEBUG, L"%1"}, {MSG_DEBUG_TAGGED, L"[%1] %2"}, {MSG_GENERIC, L"%1"}};

typedef std::vector<std::pair<std::wstring, std::wstring>> Messages;  // tag ("<null>" for none), text

std::mutex g_mutex;
Messages g_messages;

void Capture(const wchar_t *tag, const wchar_t *message)
{
   std::lock_guard<std::mutex> guard(g_mutex);
   g_messages.emplace_back(tag != nullptr ? tag : L"<null>", message);
}

typedef std::vector<std::pair<std::wstring, int32_t>> TagList;

TagList ListedTags()
{
   ObjectArray<DebugTagInfo> *list = qvlog_get_all_debug_tags();
   TagList tags;
   for (int i = 0; i < list->size(); i++)
      tags.emplace_back(list->get(i)->tag, list->get(i)->level);
   delete list;
   return tags;
}

class DebugLevels : public ::testing::Test
{
protected:
   void SetUp() override
   {
      qvlog_reset_debug_level_tags();
      g_messages.clear();
      qvlog_set_debug_writer(Capture);
   }
   void TearDown() override
   {
      qvlog_close();
      qvlog_set_debug_writer(nullptr);
      qvlog_reset_debug_level_tags();
   }

   /* Messages the writer received since the last call. */
   Messages Taken()
   {
      std::lock_guard<std::mutex> guard(g_mutex);
      Messages taken;
      taken.swap(g_messages);
      return taken;
   }
};

TEST_F(DebugLevels, DeepestMatchingSettingWins)
{
   qvlog_set_debug_level_tag(L"*", 1);
   qvlog_set_debug_level_tag(L"threads.*", 6);
   qvlog_set_debug_level_tag(L"threads.pool", 2);
   qvlog_set_debug_level_tag(L"a.*.b", 4);  // "*" inside a tag is an ordinary component
   qvlog_set_debug_level_tag(L"Net.Poll", 8);
   const std::pair<const wchar_t *, int32_t> cases[] = {
       {L"threads", 6},
       {L"threads.pool", 2},
       {L"threads.pool.worker", 6},
       {L"THREADS.POOL", 2},
       {L"threads.other", 6},
       {L"db", 1},
       {nullptr, 1},
       {L"*", 1},
       {L"a.*.b", 4},
       {L"a.x.b", 1},
       {L"a", 1},
       {L"net.POLL", 8},
       {L"net", 1},
       {L"net.poll.x", 1},
       {L"", 1},
       {L"threads.", 6},
   };
   for (const auto &c : cases)
      EXPECT_EQ(qvlog_get_debug_level_tag(c.first), c.second) << (c.first ? c.first : L"(null)");
   EXPECT_EQ(qvlog_get_debug_level(), 1);
   EXPECT_EQ(ListedTags(), (TagList{{L"threads.*", 6}, {L"threads.pool", 2}, {L"a.*.b", 4}, {L"Net.Poll", 8}}));
}

TEST_F(DebugLevels, OutOfRangeLevelsChangeNothing)
{
   qvlog_set_debug_level(3);
   qvlog_set_debug_level(-1);
   qvlog_set_debug_level(10);
   qvlog_set_debug_level_tag(L"*", -1);
   qvlog_set_debug_level_tag(nullptr, 12);
   EXPECT_EQ(qvlog_get_debug_level(), 3);
   qvlog_set_debug_level_tag(nullptr, 5);
   EXPECT_EQ(qvlog_get_debug_level(), 5);
   qvlog_set_debug_level_tag(L"x", 10);
   qvlog_set_debug_level_tag(L"never.set", -1);
   EXPECT_EQ(qvlog_get_debug_level_tag(L"x"), 5);
   EXPECT_TRUE(ListedTags().empty());
}

TEST_F(DebugLevels, RemovingLeavesNoEmptyNodes)
{
   qvlog_set_debug_level_tag(L"a", 5);
   qvlog_set_debug_level_tag(L"a.b.c", 3);
   qvlog_set_debug_level_tag(L"A.B.C", -1);
   EXPECT_EQ(ListedTags(), (TagList{{L"a", 5}}));
   EXPECT_EQ(qvlog_get_debug_level_tag(L"a"), 5);
   qvlog_set_debug_level_tag(L"a", -1);
   EXPECT_TRUE(ListedTags().empty());

   qvlog_set_debug_level_tag(L"a.b", 5);
   qvlog_set_debug_level_tag(L"a.b.c", 3);
   qvlog_set_debug_level_tag(L"a.b.c.*", 7);
   qvlog_set_debug_level_tag(L"a.b.c", -1);
   EXPECT_EQ(ListedTags(), (TagList{{L"a.b", 5}, {L"a.b.c.*", 7}}));
   EXPECT_EQ(qvlog_get_debug_level_tag(L"a.b.c"), 7);
   qvlog_set_debug_level_tag(L"a.b.c.*", -1);
   qvlog_set_debug_level_tag(L"a.b", -1);
   EXPECT_TRUE(ListedTags().empty());
   EXPECT_EQ(qvlog_get_debug_level_tag(L"a.b.c"), 0);
}

std::vector<size_t> g_deepResults;

/* Sets, looks up, lists, removes and resets a tag of DEEP_COMPONENTS components; records
 * the level after setting, the list sizes after setting and after removing, and the
 * level after the reset. */
void DeepTagSteps(void *)
{
   constexpr int DEEP_COMPONENTS = 20000;
   std::wstring deep;
   for (int i = 0; i < DEEP_COMPONENTS; i++)
      deep += (i ? L".d" : L"d");
   qvlog_set_debug_level_tag(deep.c_str(), 9);
   g_deepResults.push_back(qvlog_get_debug_level_tag(deep.c_str()));
   g_deepResults.push_back(ListedTags().size());
   qvlog_set_debug_level_tag(deep.c_str(), -1);
   g_deepResults.push_back(ListedTags().size());
   qvlog_set_debug_level_tag(deep.c_str(), 8);
   qvlog_reset_debug_level_tags();
   g_deepResults.push_back(qvlog_get_debug_level_tag(deep.c_str()));
}

TEST_F(DebugLevels, ListingCutsLongAndDeepTags)
{
   // Far longer than the 1024 characters a fixed path buffer would hold.
   std::wstring longTag;
   for (int i = 0; i < 200; i++)
      longTag += (i ? L".component" : L"component");
   qvlog_set_debug_level_tag(longTag.c_str(), 4);
   qvlog_set_debug_level_tag((longTag + L".*").c_str(), 7);
   std::wstring sixtyTwo(62, L'w');
   qvlog_set_debug_level_tag((sixtyTwo + L".*").c_str(), 2);
   EXPECT_EQ(ListedTags(), (TagList{{longTag.substr(0, 63), 4}, {longTag.substr(0, 63), 7}, {sixtyTwo + L".", 2}}));
   EXPECT_EQ(qvlog_get_debug_level_tag((longTag + L".below").c_str()), 7);

   // On a thread with a small stack, deep enough that any recursion over the components
   // would overflow it.
   constexpr int SMALL_STACK = 256 * 1024;
   qorvel_thread_t *thread = ThreadStart(DeepTagSteps, SMALL_STACK, nullptr);
   ASSERT_NE(thread, nullptr);
   ThreadWaitForExit(thread);
   EXPECT_EQ(g_deepResults, (std::vector<size_t>{9, 4, 3, 0}));
}

TEST_F(DebugLevels, ResetRemovesTagsAndTheDefault)
{
   qvlog_set_debug_level(7);
   qvlog_set_debug_level_tag(L"x.y", 3);
   qvlog_set_debug_level_tag(L"x.*", 9);
   qvlog_reset_debug_level_tags();
   EXPECT_EQ(qvlog_get_debug_level(), 0);
   EXPECT_EQ(qvlog_get_debug_level_tag(L"x.y"), 0);
   EXPECT_EQ(qvlog_get_debug_level_tag(L"x.z"), 0);
   EXPECT_TRUE(ListedTags().empty());
   qvlog_debug_tag(L"x.z", 1, L"gone");
   EXPECT_TRUE(Taken().empty());
}

TEST_F(DebugLevels, ObjectTagsAreTheTagAPointAndTheNumber)
{
   qvlog_set_debug_level_tag(L"poll.42", 5);
   EXPECT_EQ(qvlog_get_debug_level_tag_object(L"poll", 42), 5);
   EXPECT_EQ(qvlog_get_debug_level_tag_object(L"POLL", 42), 5);
   EXPECT_EQ(qvlog_get_debug_level_tag_object(L"poll", 43), 0);
   EXPECT_EQ(qvlog_get_debug_level_tag_object(nullptr, 42), 0);
   qvlog_debug_tag_object(L"poll", 42, 5, L"n=%d", 1);
   qvlog_debug_tag_object(L"poll", 43, 5, L"n=%d", 2);
   qvlog_debug_tag_object(L"poll", 4294967295u, 0, L"n=%d", 3);

   // 253 characters, a point and "42" make 256: the object tag is cut to 255.
   std::wstring tag(253, L't');
   qvlog_set_debug_level_tag((tag + L".4").c_str(), 6);
   EXPECT_EQ(qvlog_get_debug_level_tag_object(tag.c_str(), 42), 6);
   qvlog_debug_tag_object(tag.c_str(), 42, 6, L"cut");
   EXPECT_EQ(Taken(), (Messages{{L"poll.42", L"n=1"}, {L"poll.4294967295", L"n=3"}, {tag + L".4", L"cut"}}));
}

void DebugTag2(const wchar_t *tag, int32_t level, const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   if (tag == nullptr)
      qvlog_debug2(level, format, args);
   else
      qvlog_debug_tag2(tag, level, format, args);
   va_end(args);
}

void DebugObject2(const wchar_t *tag, uint32_t objectId, int32_t level, const wchar_t *format, ...)
{
   va_list args;
   va_start(args, format);
   qvlog_debug_tag_object2(tag, objectId, level, format, args);
   va_end(args);
}

std::string ReadLog(const std::filesystem::path &path)
{
   std::ifstream file(path, std::ios::binary);
   std::stringstream text;
   text << file.rdbuf();
   static const std::regex timestamp("\\d{4}\\.\\d{2}\\.\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3} ");
   return std::regex_replace(text.str(), timestamp, "");
}

TEST_F(DebugLevels, PassedMessagesReachTheFileAndTheWriter)
{
   qvtest::TempDir dir;
   ASSERT_FALSE(dir.path().empty());
   std::filesystem::path log = std::filesystem::path(dir.path()) / "debug.log";
   ASSERT_TRUE(qvlog_register_message_table(MESSAGES, sizeof(MESSAGES) / sizeof(MESSAGES[0])));
   ASSERT_TRUE(qvlog_open(log.wstring().c_str(), 0, nullptr, 0, nullptr, MSG_DEBUG, MSG_DEBUG_TAGGED, MSG_GENERIC));
   qvlog_set_debug_level(2);
   qvlog_set_debug_level_tag(L"net", 5);

   qvlog_debug(0, L"always");
   qvlog_debug(2, L"untagged %d", 2);
   qvlog_debug(3, L"above the default");
   qvlog_debug_tag(L"net", 5, L"tagged %s", L"x");
   qvlog_debug_tag(L"net", 6, L"above the tag");
   qvlog_debug_tag(L"abcdefghijklmnopqrstuvwxy", 0, L"long tag");
   qvlog_debug_tag(nullptr, 2, L"null tag");
   qvlog_debug_tag(nullptr, 3, L"null tag above the default");
   DebugTag2(nullptr, 1, L"list %d", 1);
   DebugTag2(L"NET", 4, L"list %d", 2);
   DebugObject2(L"net", 7, 2, L"object %u", 7u);
   DebugObject2(nullptr, 7, 2, L"null object tag");
   qvlog_close();

   EXPECT_EQ(ReadLog(log), "\nLog file opened (rotation policy 2, max size 4194304)\n"
                           "*D* always\n"
                           "*D* untagged 2\n"
                           "*D* [net                ] tagged x\n"
                           "*D* [abcdefghijklmnopqrs] long tag\n"
                           "*D* null tag\n"
                           "*D* list 1\n"
                           "*D* [NET                ] list 2\n"
                           "*D* [net.7              ] object 7\n"
                           "*D* null object tag\n");
   EXPECT_EQ(Taken(), (Messages{{L"<null>", L"always"},
                                {L"<null>", L"untagged 2"},
                                {L"net", L"tagged x"},
                                {L"abcdefghijklmnopqrstuvwxy", L"long tag"},
                                {L"<null>", L"null tag"},
                                {L"<null>", L"list 1"},
                                {L"NET", L"list 2"},
                                {L"net.7", L"object 7"},
                                {L"<null>", L"null object tag"}}));
}

/* A writer hook may change the levels: no reader count is held while it runs. */
void RaisingWriter(const wchar_t *tag, const wchar_t *message)
{
   qvlog_set_debug_level_tag(L"raised", 9);
   Capture(tag, message);
}

TEST_F(DebugLevels, WriterHookMayChangeLevels)
{
   qvlog_set_debug_writer(RaisingWriter);
   qvlog_debug_tag(L"raised", 0, L"first");
   qvlog_debug_tag(L"raised", 9, L"second");
   EXPECT_EQ(Taken(), (Messages{{L"raised", L"first"}, {L"raised", L"second"}}));
}

/* Random changes; after each, every debug call must pass exactly when the lookup says
 * so, whatever the highest level in force is. */
TEST_F(DebugLevels, DebugCallsAgreeWithLookups)
{
   const wchar_t *setTags[] = {L"*", L"a", L"a.b", L"a.*", L"a.b.*", L"b.c", L"B.*", L"c.d.e"};
   const wchar_t *probes[] = {L"a", L"a.b", L"a.b.c", L"b", L"b.c", L"c.d.e", L"c.d", L"z", L"c.d.e.1"};
   std::mt19937 random(20240607);
   for (int step = 0; step < 300; step++)
   {
      if (random() % 40 == 0)
         qvlog_reset_debug_level_tags();
      else
         qvlog_set_debug_level_tag(setTags[random() % 8], static_cast<int32_t>(random() % 13) - 2);
      for (const wchar_t *probe : probes)
      {
         int32_t inForce = qvlog_get_debug_level_tag(probe);
         int32_t objectInForce = qvlog_get_debug_level_tag_object(probe, 1);
         for (int32_t level = 0; level <= QVLOG_DEBUG_LEVEL_MAX; level++)
         {
            qvlog_debug_tag(probe, level, L"m");
            EXPECT_EQ(Taken().size(), level <= inForce ? 1u : 0u) << step << " " << probe << " " << level;
            qvlog_debug_tag_object(probe, 1, level, L"m");
            EXPECT_EQ(Taken().size(), level <= objectInForce ? 1u : 0u) << step << " " << probe << ".1 " << level;
         }
      }
      for (int32_t level = 0; level <= QVLOG_DEBUG_LEVEL_MAX; level++)
      {
         qvlog_debug(level, L"m");
         EXPECT_EQ(Taken().size(), level <= qvlog_get_debug_level() ? 1u : 0u) << step << " " << level;
      }
   }
}

std::atomic<long> g_raceMessages{0};

void CountMessage(const wchar_t *, const wchar_t *)
{
   g_raceMessages++;
}

/* Threads query and write while two writers keep changing levels. Reader r looks in a
 * subtree of its own ("race.r<r>"), so that a walk of a copy that a writer changes under
 * it is not hidden from ThreadSanitizer among the other readers' accesses. The writers
 * only ever give the subtrees and the default level the levels 4 or 6 (0 after a reset),
 * so every lookup must see one of those. */
TEST_F(DebugLevels, LevelChangesRaceQueriesAndMessages)
{
   constexpr int READERS = 4;
   constexpr int WRITER_STEPS = 2000;
   std::atomic<int> started{0};
   std::atomic<bool> stop{false};
   std::atomic<int> badLevels{0};
   g_raceMessages = 0;
   qvlog_set_debug_writer(CountMessage);
   std::wstring subtrees[READERS], tags[READERS];
   for (int r = 0; r < READERS; r++)
   {
      subtrees[r] = L"race.r" + std::to_wstring(r) + L".*";
      tags[r] = L"race.r" + std::to_wstring(r) + L".x";
      qvlog_set_debug_level_tag(subtrees[r].c_str(), 6);
   }

   std::vector<std::thread> readers;
   for (int r = 0; r < READERS; r++)
   {
      readers.emplace_back([&, r] {
         const wchar_t *tag = tags[r].c_str();
         for (bool first = true; !stop.load(); first = false)
         {
            for (int i = 0; i < 4; i++)
            {
               int32_t level = qvlog_get_debug_level_tag(tag);
               if (level != 0 && level != 4 && level != 6)
                  badLevels++;
            }
            qvlog_debug_tag(tag, 5, L"reader %d", r);
            qvlog_debug_tag_object(tag, 7, 5, L"reader %d", r);
            qvlog_debug(5, L"reader %d", r);
            if (first)
               started++;
         }
      });
   }
   // Every reader has written at least its first message (level 6 was in force).
   while (started.load() < READERS)
      std::this_thread::yield();

   auto writer = [&subtrees](unsigned seed) {
      std::mt19937 random(seed);
      for (int step = 0; step < WRITER_STEPS; step++)
      {
         const wchar_t *subtree = subtrees[random() % READERS].c_str();
         switch (random() % 8)
         {
            case 0: qvlog_set_debug_level_tag(subtree, -1); break;
            case 1: qvlog_set_debug_level((random() % 2) ? 4 : 6); break;
            case 2:
               if (random() % 8 == 0)
                  qvlog_reset_debug_level_tags();
               break;
            default: qvlog_set_debug_level_tag(subtree, (random() % 2) ? 4 : 6); break;
         }
      }
   };
   std::thread first(writer, 1u), second(writer, 2u);
   first.join();
   second.join();
   stop = true;
   for (auto &t : readers)
      t.join();
   EXPECT_EQ(badLevels.load(), 0);
   EXPECT_GE(g_raceMessages.load(), READERS);
}

}  // namespace
