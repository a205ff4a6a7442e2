#include "support/thread_test_util.h"
#include "sync/lock_guard.h"

#include <gtest/gtest.h>

using qv::sync::LockGuard;
using qvtest::Worker;

namespace {

/* Whether another thread can take the mutex at this moment (it gives it back at once). */
bool FreeForOthers(Mutex &mutex)
{
   bool taken = false;
   Worker other([&] {
      taken = mutex.tryLock();
      if (taken)
         mutex.unlock();
   });
   other.join();
   return taken;
}

}  // namespace

TEST(LockGuard, HoldsTheMutexForTheScope)
{
   Mutex mutex;
   {
      LockGuard guard(mutex);
      EXPECT_FALSE(FreeForOthers(mutex));
   }
   EXPECT_TRUE(FreeForOthers(mutex));

   {
      LockGuard guard(&mutex);
      EXPECT_FALSE(FreeForOthers(mutex));
   }
   EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(LockGuard, ReleaseAndRelockChangeTheHoldOnce)
{
   // The mutex is re-entrant: a hold of the caller's own must survive the guard's extra
   // releases, and an extra relock must not leave a second hold behind.
   Mutex mutex;
   mutex.lock();
   {
      LockGuard guard(mutex);
      guard.release();
      guard.release();
      EXPECT_FALSE(FreeForOthers(mutex));
      guard.relock();
      guard.relock();
   }
   EXPECT_FALSE(FreeForOthers(mutex));
   mutex.unlock();
   EXPECT_TRUE(FreeForOthers(mutex));
}

TEST(LockGuard, ReleasedGuardLeavesTheMutexAlone)
{
   Mutex mutex;
   {
      LockGuard guard(mutex);
      guard.release();
      EXPECT_TRUE(FreeForOthers(mutex));
      mutex.lock();  // the caller's own hold, taken after the guard let go
   }
   EXPECT_FALSE(FreeForOthers(mutex));
   mutex.unlock();
}

TEST(LockGuard, NullMutexLocksNothing)
{
   LockGuard guard(static_cast<Mutex *>(nullptr));
   guard.release();
   guard.relock();
   guard.release();
}
