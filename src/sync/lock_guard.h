/* Scoped hold of the library's re-entrant Mutex: taken on construction, dropped on
 * destruction. A null Mutex pointer makes a guard that locks nothing, for code paths
 * whose lock is optional. */
#ifndef QORVEL_SYNC_LOCK_GUARD_H
#define QORVEL_SYNC_LOCK_GUARD_H

#include <qv_threads.h>

namespace qv {
namespace sync {

class LockGuard
{
public:
   explicit LockGuard(Mutex *mutex) : m_mutex(mutex), m_held(false) { relock(); }
   explicit LockGuard(Mutex &mutex) : LockGuard(&mutex) {}
   ~LockGuard() { release(); }

   LockGuard(const LockGuard &) = delete;
   LockGuard &operator=(const LockGuard &) = delete;

   /* Drops the hold early; the destructor then does nothing. */
   void release()
   {
      if (m_held)
      {
         m_mutex->unlock();
         m_held = false;
      }
   }

   /* Takes the lock again after release(). */
   void relock()
   {
      if (m_mutex != nullptr && !m_held)
      {
         m_mutex->lock();
         m_held = true;
      }
   }

private:
   Mutex *m_mutex;
   bool m_held;
};

}  // namespace sync
}  // namespace qv

#endif
