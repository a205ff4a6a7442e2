#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <vector>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace qvtest;

namespace {

struct StartProbe
{
   int value = 0;
   uint32_t tid = 0;
   size_t stackSize = 0;
};

void RecordStart(void *arg)
{
   StartProbe *probe = static_cast<StartProbe *>(arg);
   probe->value = 42;
   probe->tid = static_cast<uint32_t>(gettid());
   pthread_attr_t attr;
   if (pthread_getattr_np(pthread_self(), &attr) == 0)
   {
      pthread_attr_getstacksize(&attr, &probe->stackSize);
      pthread_attr_destroy(&attr);
   }
}

/* Name of a thread that sets its own name, read back while it is still alive. */
std::string SelfNamed(const char *name)
{
   Flag named, finish;
   std::string seen;
   Worker thread([&] {
      ThreadSetName(nullptr, name);
      named.set();
      finish.wait();
   });
   EXPECT_TRUE(named.wait());
   seen = ThreadNameOf(thread.id());
   finish.set();
   return seen;
}

/* Name given to a parked thread through its record. */
std::string NamedFromOutside(const char *name)
{
   Flag finish;
   Worker thread([&] { finish.wait(); });
   ThreadSetName(thread.record(), name);
   std::string seen = ThreadNameOf(thread.id());
   finish.set();
   return seen;
}

}  // namespace

TEST(Thread, StartRunsEntryAndWaitReportsTheEnd)
{
   StartProbe probe;
   qorvel_thread_t *thread = ThreadStart(RecordStart, 0, &probe);
   ASSERT_NE(thread, nullptr);
   uint32_t id = thread->id;
   EXPECT_NE(id, static_cast<uint32_t>(gettid()));
   EXPECT_TRUE(ThreadWaitForExit(thread));
   EXPECT_EQ(probe.value, 42);
   EXPECT_EQ(probe.tid, id);  // the record carries the kernel id of the new thread

   EXPECT_FALSE(ThreadWaitForExit(nullptr));

   // A thread that waits for its own end is told so instead of blocking for ever; its
   // record is released, and nobody else waits for it.
   struct SelfWait
   {
      Flag recordReady, done;
      qorvel_thread_t *record = nullptr;
      bool result = true;
   } selfWait;
   qorvel_thread_t *thread2 = ThreadStart(
       [](void *arg) {
          SelfWait *state = static_cast<SelfWait *>(arg);
          state->recordReady.wait();
          state->result = ThreadWaitForExit(state->record);
          state->done.set();
       },
       0, &selfWait);
   ASSERT_NE(thread2, nullptr);
   selfWait.record = thread2;
   selfWait.recordReady.set();
   ASSERT_TRUE(selfWait.done.wait());
   EXPECT_FALSE(selfWait.result);
   EXPECT_EQ(ThreadStart(nullptr, 0, nullptr), nullptr);
}

TEST(Thread, ManyThreadsGetTheirOwnIds)
{
   constexpr int THREADS = 16;
   std::atomic<int> ran{0};
   std::set<uint32_t> ids;
   std::vector<std::unique_ptr<Worker>> workers;
   for (int i = 0; i < THREADS; i++)
   {
      workers.emplace_back(new Worker([&] { ran++; }));
      ASSERT_TRUE(workers.back()->started());
      ids.insert(workers.back()->id());
   }
   for (auto &worker : workers)
      EXPECT_TRUE(worker->join());
   EXPECT_EQ(ran.load(), THREADS);
   EXPECT_EQ(ids.size(), static_cast<size_t>(THREADS));
}

TEST(Thread, StackSizeIsRoundedUpAndHonoured)
{
   constexpr int POOL_MAINTENANCE_STACK = 0x40000;
   constexpr int ODD_STACK = 100001;
   StartProbe exact, odd;
   qorvel_thread_t *thread = ThreadStart(RecordStart, POOL_MAINTENANCE_STACK, &exact);
   ASSERT_NE(thread, nullptr);
   EXPECT_TRUE(ThreadWaitForExit(thread));
   EXPECT_GE(exact.stackSize, static_cast<size_t>(POOL_MAINTENANCE_STACK));
   EXPECT_LT(exact.stackSize, static_cast<size_t>(4 * POOL_MAINTENANCE_STACK));

   thread = ThreadStart(RecordStart, ODD_STACK, &odd);
   ASSERT_NE(thread, nullptr);
   EXPECT_TRUE(ThreadWaitForExit(thread));
   EXPECT_GE(odd.stackSize, static_cast<size_t>(ODD_STACK));
}

TEST(Thread, StartThatThePlatformRefusesReturnsNull)
{
   constexpr int HUGE_STACK = 0x40000000;  // 1 GiB
   constexpr rlim_t ROOM = 64 << 20;       // address space left to the child
   pid_t child = fork();
   ASSERT_NE(child, -1);
   if (child == 0)
   {
      // Cap the address space a little above what is mapped now, so that the stack
      // cannot be mapped.
      long pages = 0;
      FILE *statm = fopen("/proc/self/statm", "r");
      if (statm == nullptr || fscanf(statm, "%ld", &pages) != 1)
         _exit(2);
      fclose(statm);
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + ROOM;
      if (setrlimit(RLIMIT_AS, &limit) != 0)
         _exit(3);
      StartProbe probe;
      _exit(ThreadStart(RecordStart, HUGE_STACK, &probe) == nullptr ? 0 : 1);
   }
   int status = 0;
   ASSERT_EQ(waitpid(child, &status, 0), child);
   ASSERT_TRUE(WIFEXITED(status));
   EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(Thread, SetNameNamesTheCallerOrTheGivenThread)
{
   EXPECT_EQ(SelfNamed("MsgWaitQueue"), "MsgWaitQueue");
   EXPECT_EQ(NamedFromOutside("$pool/WRK"), "$pool/WRK");

   // Linux keeps 15 bytes: longer names are cut, never refused.
   EXPECT_EQ(SelfNamed("$ABCDEFGHIJ/MNT-extra"), "$ABCDEFGHIJ/MNT");
   EXPECT_EQ(NamedFromOutside("0123456789abcdefghij"), "0123456789abcde");
}

TEST(Thread, LongNamesAreCutAtACharacterBoundary)
{
   // 14 ASCII bytes, then a 2-byte character whose second byte would be the 16th.
   EXPECT_EQ(SelfNamed("abcdefghijklmn\xC3\xB6z"), "abcdefghijklmn");
   // A 3-byte character straddling the limit, and one ending exactly on it.
   EXPECT_EQ(SelfNamed("abcdefghijklm\xE2\x82\xAC"), "abcdefghijklm");
   EXPECT_EQ(SelfNamed("abcdefghijkl\xE2\x82\xAC"
                       "xyz"),
             "abcdefghijkl\xE2\x82\xAC");
   // A 4-byte character after 12 bytes.
   EXPECT_EQ(SelfNamed("abcdefghijkl\xF0\x9F\x98\x80"), "abcdefghijkl");
}

TEST(Thread, NullNameChangesNothing)
{
   Flag finish;
   Worker thread([&] { finish.wait(); });
   ThreadSetName(thread.record(), "kept");
   ThreadSetName(thread.record(), nullptr);
   EXPECT_EQ(ThreadNameOf(thread.id()), "kept");
   finish.set();
}

TEST(Thread, NameInTheCodePageIsKeptAsUtf8)
{
   ASSERT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   // 13 letters and an o-umlaut fit as 15 UTF-8 bytes; after 14 letters the umlaut's
   // UTF-8 form would pass the limit, though its Latin-1 form would not.
   std::string latin = SelfNamed("abcdefghijklm\xF6");
   std::string cut = SelfNamed("abcdefghijklmn\xF6");
   SetDefaultCodepage("ACP");
   EXPECT_EQ(latin, "abcdefghijklm\xC3\xB6");
   EXPECT_EQ(cut, "abcdefghijklmn");
}
