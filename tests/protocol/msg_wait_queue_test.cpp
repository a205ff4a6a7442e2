#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>

#include "support/debug_capture.h"
#include "support/thread_test_util.h"

using namespace qvtest;

namespace {

typedef std::unique_ptr<QVCPMessage> MessagePtr;

struct FreeDeleter
{
   void operator()(void *p) const { free(p); }
};
typedef std::unique_ptr<QVCP_MESSAGE, FreeDeleter> RawPtr;

constexpr uint16_t REPLY = 0x0102;
constexpr uint32_t TOKEN_FIELD = 5;
constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

QVCP_MESSAGE *Raw(uint16_t code, uint32_t id)
{
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(calloc(1, sizeof(QVCP_MESSAGE)));
   msg->code = code;
   msg->id = id;
   return msg;
}

/* Messages the queue holds, read from its line of the diagnostic text; -1 when it has none. */
int HeldBy(const MsgWaitQueue &queue)
{
   String prefix;
   prefix.appendFormattedString(L"   %p size=", &queue);
   String text = MsgWaitQueue::getDiagInfo();
   const wchar_t *line = wcsstr(text, prefix);
   return (line != nullptr) ? static_cast<int>(wcstol(line + prefix.length(), nullptr, 10)) : -1;
}

/* Sets the housekeeper interval for one test and restores the default. */
struct HousekeeperInterval
{
   explicit HousekeeperInterval(uint32_t ms) { MsgWaitQueue::setHousekeeperInterval(ms); }
   ~HousekeeperInterval() { MsgWaitQueue::setHousekeeperInterval(MsgWaitQueue::DEFAULT_HOUSEKEEPER_INTERVAL); }
};

TEST(MsgWaitQueue, HandsEachMessageToItsOwnKindOldestFirst)
{
   MsgWaitQueue q;
   QVCPMessage *older = new QVCPMessage(REPLY, 7);
   QVCPMessage *newer = new QVCPMessage(REPLY, 7);
   q.put(older);
   q.put(Raw(REPLY, 7));
   q.put(newer);
   q.put(static_cast<QVCPMessage *>(nullptr));
   EXPECT_EQ(q.waitForMessage(REPLY, 8, 0), nullptr);
   EXPECT_EQ(q.waitForMessage(REPLY + 1, 7, 0), nullptr);
   MessagePtr first(q.waitForMessage(REPLY, 7, 0)), second(q.waitForMessage(REPLY, 7, 0));
   EXPECT_EQ(first.get(), older);
   EXPECT_EQ(second.get(), newer);
   EXPECT_EQ(q.waitForMessage(REPLY, 7, 0), nullptr);
   EXPECT_NE(RawPtr(q.waitForRawMessage(REPLY, 7, 0)), nullptr);
   EXPECT_EQ(q.waitForRawMessage(REPLY, 7, 0), nullptr);

   // A raw header is matched as it stands in memory, without byte-order conversion.
   q.put(Raw(0x1234, 0x01000000));
   EXPECT_EQ(q.waitForRawMessage(0x3412, 1, 0), nullptr);
   EXPECT_NE(RawPtr(q.waitForRawMessage(0x1234, 0x01000000, 0)), nullptr);

   // Past one growth step, with holes left by taken messages filled again.
   for (uint32_t id = 0; id < 40; id++)
   {
      q.put(new QVCPMessage(REPLY, id));
      if (id % 3 == 0)
      {
         EXPECT_NE(MessagePtr(q.waitForMessage(REPLY, id / 2, 0)), nullptr) << id;
      }
   }
   EXPECT_EQ(HeldBy(q), 26);
   for (uint32_t id = 20; id < 40; id++)
      EXPECT_NE(MessagePtr(q.waitForMessage(REPLY, id, 0)), nullptr) << id;
}

TEST(MsgWaitQueue, WaitWithoutMatchTimesOut)
{
   MsgWaitQueue q;
   q.put(new QVCPMessage(REPLY, 1));
   Clock::time_point start = Clock::now();
   EXPECT_EQ(q.waitForRawMessage(REPLY, 1, 100), nullptr);
   long long ms = MsSince(start);
   EXPECT_GE(ms, 100);
   EXPECT_LT(ms, GENEROUS.count());
}

TEST(MsgWaitQueue, ManyWaitersEachGetTheirOwnReply)
{
   constexpr int WAITERS = 40;  // more than there are wait slots: some waiters poll
   constexpr int PRODUCERS = 4;
   MsgWaitQueue q;
   std::atomic<int> waiting{0}, served{0};
   Flag allWaiting;
   std::vector<std::unique_ptr<Worker>> threads;
   for (uint32_t w = 0; w < WAITERS; w++)
      threads.emplace_back(new Worker([&, w] {
         if (++waiting == WAITERS)
            allWaiting.set();
         Clock::time_point start = Clock::now();
         MessagePtr reply(q.waitForMessage(REPLY, w, GENEROUS_MS));
         // Woken by the put, not found by the last look at the end of the time-out.
         if (reply != nullptr && reply->getCode() == REPLY && reply->getId() == w &&
             reply->getFieldAsUInt32(TOKEN_FIELD) == w * 3 + 1 && MsSince(start) < GENEROUS.count() / 2)
            served++;
      }));
   ASSERT_TRUE(allWaiting.wait());
   for (uint32_t p = 0; p < PRODUCERS; p++)
      threads.emplace_back(new Worker([&q, p] {
         for (uint32_t w = p; w < WAITERS; w += PRODUCERS)
         {
            // Near misses first: another code, another kind, another id.
            q.put(new QVCPMessage(REPLY + 1, w));
            q.put(Raw(REPLY, w));
            q.put(new QVCPMessage(REPLY, w + WAITERS));
            QVCPMessage *reply = new QVCPMessage(REPLY, w);
            reply->setField(TOKEN_FIELD, w * 3 + 1);
            q.put(reply);
         }
      }));
   threads.clear();
   EXPECT_EQ(served.load(), WAITERS);
   EXPECT_EQ(HeldBy(q), 3 * WAITERS);
}

TEST(MsgWaitQueue, UnclaimedMessageIsDiscardedOnceItsHoldTimeIsOver)
{
   constexpr uint32_t HOLD = 300;
   DebugLineWatch watch(L"msgwq");
   HousekeeperInterval fast(10);
   MsgWaitQueue q;
   q.setHoldTime(HOLD);
   Clock::time_point put = Clock::now();
   q.put(new QVCPMessage(REPLY, 1));
   for (uint32_t id = 0; id < 17; id++)
      q.put(Raw(REPLY, id));
   q.setHoldTime(60000);
   q.put(new QVCPMessage(REPLY, 2));

   // Each pass of the housekeeper that discards messages reports it; the test waits for
   // those reports until only the long-held message is left.
   const DebugLineWatch::Match discarded = DebugLineWatch::EndsWith(L" unclaimed messages discarded");
   for (size_t reports = 0; HeldBy(q) > 1; reports++)
      ASSERT_TRUE(watch.waitFor(discarded, reports)) << HeldBy(q) << " messages held";
   EXPECT_GE(MsSince(put), HOLD);
   EXPECT_EQ(HeldBy(q), 1);
   EXPECT_EQ(q.waitForMessage(REPLY, 1, 0), nullptr);
   EXPECT_NE(MessagePtr(q.waitForMessage(REPLY, 2, 0)), nullptr);
   q.put(new QVCPMessage(REPLY, 3));
   EXPECT_NE(MessagePtr(q.waitForMessage(REPLY, 3, 0)), nullptr);
}

TEST(MsgWaitQueue, MillionHeldMessagesComeBackByCodeAndIdOldestFirst)
{
#if defined(__SANITIZE_THREAD__)
   constexpr uint32_t HELD = 100000;  // every lock costs much more under ThreadSanitizer
#else
   constexpr uint32_t HELD = 1000000;  // two raw messages per id
#endif
   constexpr uint32_t IDS = HELD / 2;
   constexpr uint32_t OBJECTS = 1000;  // message objects under the first ids
   constexpr uint32_t STRIDE = 7919;   // a prime: visits every id once, far from put order
   MsgWaitQueue q;
   q.setHoldTime(INFINITE);  // however slow the build, no housekeeper pass discards them
   for (uint32_t i = 0; i < HELD; i++)
   {
      QVCP_MESSAGE *msg = Raw(uint16_t(REPLY + i % 3), i / 2);
      msg->numFields = i;  // the order of the put
      q.put(msg);
   }
   for (uint32_t id = 0; id < OBJECTS; id++)
      q.put(new QVCPMessage(REPLY, id));
   ASSERT_EQ(HeldBy(q), int(HELD + OBJECTS));

   uint32_t wrong = 0;
   for (uint32_t k = 0, id = 0; k < IDS; k++, id = (id + STRIDE) % IDS)
   {
      // Message i has id i / 2 and code REPLY + i % 3.
      uint16_t first = uint16_t(REPLY + (2 * id) % 3), second = uint16_t(REPLY + (2 * id + 1) % 3);
      if (q.waitForRawMessage(uint16_t(REPLY + (2 * id + 2) % 3), id, 0) != nullptr)
         wrong++;  // no message of that id has the third code
      RawPtr a(q.waitForRawMessage(first, id, 0));
      RawPtr b(q.waitForRawMessage(second, id, 0));
      wrong += (a == nullptr || a->numFields != 2 * id) + (b == nullptr || b->numFields != 2 * id + 1);
      if (id < OBJECTS)
         wrong += MessagePtr(q.waitForMessage(REPLY, id, 0)) == nullptr;
   }
   EXPECT_EQ(wrong, 0u);
   EXPECT_EQ(HeldBy(q), 0);
   // The emptied queue still takes and hands out messages.
   q.put(Raw(REPLY, 5));
   q.put(Raw(REPLY, 5));
   EXPECT_NE(RawPtr(q.waitForRawMessage(REPLY, 5, 0)), nullptr);
   EXPECT_EQ(HeldBy(q), 1);
}

TEST(MsgWaitQueue, HousekeeperDiscardsKeepTheOthersInOrder)
{
   constexpr uint32_t SHORT_HOLD = 50;
   HousekeeperInterval fast(10);
   MsgWaitQueue q;
   // Under one code and id: short-lived at the head, in the middle and at the tail.
   for (int i = 0; i < 7; i++)
   {
      q.setHoldTime((i % 3 == 0) ? SHORT_HOLD : 60000);
      QVCP_MESSAGE *msg = Raw(REPLY, 1);
      msg->numFields = uint32_t(i);
      q.put(msg);
   }
   for (Clock::time_point start = Clock::now(); HeldBy(q) > 4 && Clock::now() - start < GENEROUS;)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
   ASSERT_EQ(HeldBy(q), 4);
   q.put(Raw(REPLY, 1));
   for (uint32_t expected : {1u, 2u, 4u, 5u, 0u})
   {
      RawPtr msg(q.waitForRawMessage(REPLY, 1, 0));
      ASSERT_NE(msg, nullptr);
      EXPECT_EQ(msg->numFields, expected);
   }
   EXPECT_EQ(q.waitForRawMessage(REPLY, 1, 0), nullptr);
}

/* Kernel id of a thread of this process with that name; 0 when none shows up in time. */
uint32_t FindThread(const char *name)
{
   for (Clock::time_point start = Clock::now(); Clock::now() - start < GENEROUS; std::this_thread::yield())
   {
      for (const auto &task : std::filesystem::directory_iterator("/proc/self/task"))
      {
         uint32_t tid = static_cast<uint32_t>(atol(task.path().filename().c_str()));
         if (ThreadNameOf(tid) == name)
            return tid;
      }
   }
   return 0;
}

size_t ThreadCount()
{
   auto tasks = std::filesystem::directory_iterator("/proc/self/task");
   return static_cast<size_t>(std::distance(begin(tasks), end(tasks)));
}

const wchar_t *const STOPPED_TEXT = L"0 active queues\nHousekeeper thread state is STOPPED\n";

/* Runs in a process of its own; returns the number of failed checks, told on stderr. */
int ShutdownScenario()
{
   int failures = 0;
   auto check = [&failures](bool ok, const char *what) {
      if (!ok)
      {
         fprintf(stderr, "failed: %s\n", what);
         failures++;
      }
   };
   MsgWaitQueue *idle = new MsgWaitQueue();
   MsgWaitQueue *holding = new MsgWaitQueue();
   holding->setHoldTime(1500);
   holding->put(new QVCPMessage(REPLY, 1));
   String expected(L"2 active queues\nHousekeeper thread state is RUNNING\nActive queues:\n");
   expected.appendFormattedString(L"   %p size=0 holdTime=30000\n   %p size=1 holdTime=1500\n", idle, holding);
   check(MsgWaitQueue::getDiagInfo().equals(expected), "text of two queues and a running housekeeper");
   uint32_t housekeeper = FindThread("MsgWaitQueue");
   check(housekeeper != 0, "housekeeper thread named");

   MsgWaitQueue::shutdown();
   check(wcscmp(MsgWaitQueue::getDiagInfo(), STOPPED_TEXT) == 0, "text after shutdown");
   std::string task = "/proc/self/task/" + std::to_string(housekeeper);
   for (Clock::time_point start = Clock::now(); std::filesystem::exists(task) && Clock::now() - start < GENEROUS;)
      std::this_thread::yield();
   check(!std::filesystem::exists(task), "housekeeper ended");

   size_t threads = ThreadCount();
   MsgWaitQueue late;
   check(ThreadCount() == threads && wcscmp(MsgWaitQueue::getDiagInfo(), STOPPED_TEXT) == 0,
         "a queue built after shutdown is neither registered nor housekept");
   late.put(new QVCPMessage(REPLY, 2));
   check(MessagePtr(late.waitForMessage(REPLY, 2, 0)) != nullptr, "a queue built after shutdown works");

   // The registry is gone: destroying these must leave it alone.
   delete idle;
   delete holding;
   return failures;
}

/* shutdown() is final for the process, so it is tried in a child process of its own; the
 * child's exit runs shutdown() once more. */
TEST(MsgWaitQueueDeathTest, ShutdownStopsTheHousekeeperForGood)
{
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   EXPECT_EXIT(exit(ShutdownScenario()), ::testing::ExitedWithCode(0), "");
}

/* Set in the forked process of ForkScenario. Its copy of the parent's memory holds the
 * thread records and thread-local lists of threads it does not have; the leak checker
 * cannot stop or scan them and calls their blocks leaked, so it is turned off there. */
bool g_forkedChild = false;

/* Runs in a death-test child whose housekeeper runs and whose queue holds a message; the
 * process forks. The fork must be able to exit (the exit hook's shutdown must not wait for
 * the parent's thread) and, when restart is set, to go on using the inherited queue: a
 * put starts a housekeeper of the child's own, which discards what nobody collects.
 * 0 when the fork ended by itself with status 0. */
int ForkScenario(bool restart)
{
   MsgWaitQueue inherited;
   inherited.setHoldTime(GENEROUS_MS);
   inherited.put(new QVCPMessage(REPLY, 1));
   if (FindThread("MsgWaitQueue") == 0)
      return 3;
   MsgWaitQueue::setHousekeeperInterval(20);
   pid_t child = fork();
   if (child == 0)
   {
      g_forkedChild = true;
      if (!restart)
         exit(HeldBy(inherited) == 1 ? 0 : 4);
      inherited.setHoldTime(50);
      inherited.put(new QVCPMessage(REPLY, 2));
      bool started = FindThread("MsgWaitQueue") != 0;
      for (Clock::time_point start = Clock::now(); HeldBy(inherited) == 2 && Clock::now() - start < GENEROUS;)
         std::this_thread::yield();
      exit(started && HeldBy(inherited) == 1 ? 0 : 2);
   }
   int status = 0;
   for (Clock::time_point start = Clock::now(); Clock::now() - start < GENEROUS; std::this_thread::yield())
   {
      if (waitpid(child, &status, WNOHANG) == child)
         return (WIFEXITED(status) && WEXITSTATUS(status) == 0) ? 0 : 1;
   }
   kill(child, SIGKILL);
   waitpid(child, &status, 0);
   fprintf(stderr, "failed: the forked process did not exit\n");
   return 1;
}

TEST(MsgWaitQueueDeathTest, ForkedProcessExits)
{
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   EXPECT_EXIT(exit(ForkScenario(false)), ::testing::ExitedWithCode(0), "");
}

TEST(MsgWaitQueueDeathTest, ForkedProcessHousekeepsInheritedQueues)
{
#if defined(__SANITIZE_THREAD__)
   GTEST_SKIP() << "ThreadSanitizer refuses to start threads after a multi-threaded fork";
#endif
   GTEST_FLAG_SET(death_test_style, "threadsafe");
   EXPECT_EXIT(exit(ForkScenario(true)), ::testing::ExitedWithCode(0), "");
}

}  // namespace

/* Hook of the leak checker, asked at process exit. */
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off()
{
   return g_forkedChild ? 1 : 0;
}
