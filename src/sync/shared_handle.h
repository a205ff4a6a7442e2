/* Reference counting shared by the value classes Mutex, RWLock and Condition: a platform
 * object plus a heap counter that all copies share. Either both are null (the object
 * could not be created; every operation then does nothing) or both are set. */
#ifndef QORVEL_SYNC_SHARED_HANDLE_H
#define QORVEL_SYNC_SHARED_HANDLE_H

#include <qv_base.h>

#include <stdlib.h>

namespace qv::sync {

/* Takes over a newly created object (may be null) with a counter of 1. */
template <typename T> void HandleInit(T *&object, int32_t *&refCount, T *created, void (*destroy)(T *))
{
   refCount = (created != nullptr) ? static_cast<int32_t *>(malloc(sizeof(int32_t))) : nullptr;
   if (refCount == nullptr)
   {
      destroy(created);
      created = nullptr;
   }
   else
   {
      *refCount = 1;
   }
   object = created;
}

/* Becomes one more name for the source's object. */
template <typename T> void HandleShare(T *&object, int32_t *&refCount, T *srcObject, int32_t *srcRefCount)
{
   if (srcRefCount != nullptr)
      __atomic_add_fetch(srcRefCount, 1, __ATOMIC_RELAXED);
   object = srcObject;
   refCount = srcRefCount;
}

/* Drops this name; the last one destroys the object and frees the counter. */
template <typename T> void HandleDrop(T *&object, int32_t *&refCount, void (*destroy)(T *))
{
   if (refCount != nullptr && __atomic_sub_fetch(refCount, 1, __ATOMIC_ACQ_REL) == 0)
   {
      destroy(object);
      free(refCount);
   }
   object = nullptr;
   refCount = nullptr;
}

/* Assignment: drops the old object, then shares the source's; self-assignment does
 * nothing. */
template <typename T>
void HandleAssign(T *&object, int32_t *&refCount, T *srcObject, int32_t *srcRefCount, void (*destroy)(T *))
{
   if (refCount == srcRefCount && object == srcObject)
      return;
   HandleDrop(object, refCount, destroy);
   HandleShare(object, refCount, srcObject, srcRefCount);
}

}  // namespace qv::sync

/* Copy constructor, destructor and assignment of a value class whose members are the
 * object pointer `object` and m_refCount; destroy releases the object. */
#define QV_SHARED_HANDLE_COPIES(Class, object, destroy)                                                                \
   Class::Class(const Class &src)                                                                                      \
   {                                                                                                                   \
      qv::sync::HandleShare(object, m_refCount, src.object, src.m_refCount);                                           \
   }                                                                                                                   \
   Class::~Class()                                                                                                     \
   {                                                                                                                   \
      qv::sync::HandleDrop(object, m_refCount, destroy);                                                               \
   }                                                                                                                   \
   Class &Class::operator=(const Class &src)                                                                           \
   {                                                                                                                   \
      qv::sync::HandleAssign(object, m_refCount, src.object, src.m_refCount, destroy);                                 \
      return *this;                                                                                                    \
   }

#endif
