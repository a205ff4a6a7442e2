/* The library's scoped lock of a Mutex. */
#ifndef QORVEL_SYNC_LOCK_GUARD_H
#define QORVEL_SYNC_LOCK_GUARD_H

#include <qv_threads.h>

namespace qv {
namespace sync {

/* Holds a Mutex from construction to the end of the scope; made from a null pointer it
 * locks nothing. release() drops the hold early and relock() takes it again; each does
 * nothing when the guard is already in that state. */
class LockGuard
{
private:
   Mutex *m_mutex;
   bool m_held;

public:
   explicit LockGuard(Mutex *mutex) : m_mutex(mutex), m_held(false) { relock(); }
   explicit LockGuard(Mutex &mutex) : LockGuard(&mutex) {}
   ~LockGuard() { release(); }
   LockGuard(const LockGuard &) = delete;
   LockGuard &operator=(const LockGuard &) = delete;

   void release()
   {
      if (m_held)
      {
         m_mutex->unlock();
         m_held = false;
      }
   }

   void relock()
   {
      if (m_mutex != nullptr && !m_held)
      {
         m_mutex->lock();
         m_held = true;
      }
   }
};

}  // namespace sync
}  // namespace qv

#endif
