/* libqorvel base header: export macro, fixed-width and character types, socket handle,
 * time-out constant and the shared helpers every family builds on. Every public header
 * of the library includes this one first. */
#ifndef QORVEL_QV_BASE_H
#define QORVEL_QV_BASE_H

#include <stddef.h>
#include <stdint.h>
#include <stdbool.h>
#include <stdarg.h>
#include <wchar.h>

/* QV_EXPORT marks every exported class and function; the library is built with hidden
 * visibility, so anything without it stays private to the shared object. */
#if defined(_WIN32)
#ifdef QORVEL_BUILDING
#define QV_EXPORT __declspec(dllexport)
#else
#define QV_EXPORT __declspec(dllimport)
#endif
#else
#define QV_EXPORT __attribute__((visibility("default")))
#endif

/* QV_INTERNAL marks members of an exported class that only the library itself calls: they
 * stay out of the exported interface, and calls between them are bound inside the
 * library. */
#if defined(__GNUC__) && !defined(_WIN32)
#define QV_INTERNAL __attribute__((visibility("hidden")))
#else
#define QV_INTERNAL
#endif

#ifdef __cplusplus
#define QV_EXTERN_C extern "C"
#define QV_BEGIN_C extern "C" {
#define QV_END_C }
#else
#define QV_EXTERN_C
#define QV_BEGIN_C
#define QV_END_C
#endif

/* Functions of the C-style families. */
#define QV_API QV_EXTERN_C QV_EXPORT

/* printf-style format checking for 8-bit formats (wide formats cannot be checked). */
#if defined(__GNUC__)
#define QV_PRINTF(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define QV_PRINTF(fmtIndex, firstArg)
#endif

/* Explicit 16-bit (UTF-16) and 32-bit character units. wchar_t is the library's wide
 * character and holds one code point on this platform. */
typedef uint16_t UCS2CHAR;
typedef uint32_t UCS4CHAR;

typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;

/* Time-outs are unsigned 32-bit milliseconds; INFINITE means no limit. */
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif

/* Socket handles are POSIX descriptors here. */
#ifndef _WIN32
typedef int SOCKET;
#ifndef INVALID_SOCKET
#define INVALID_SOCKET (-1)
#endif
#endif

/* Handle of one end of a local pipe (a Unix-domain stream socket here). */
#ifndef _WIN32
typedef int HPIPE;
#define INVALID_PIPE_HANDLE (-1)
#endif

/* A JSON value of the jansson library (the toJson operations return new ones that the
 * caller releases with json_decref); declared here so public headers need not include
 * jansson.h. */
struct json_t;
typedef struct json_t json_t;

/* Current wall-clock time in milliseconds since 1970-01-01 00:00:00 UTC. */
QV_API int64_t GetCurrentTimeMs(void);

#ifdef __cplusplus

/* Base of the reference-counted objects (channels, encryption contexts, tables). The count
 * starts at 1; the decRefCount that takes it to 0 deletes the object. Counting is atomic,
 * so references may be taken and dropped from any thread. */
class QV_EXPORT RefCountObject
{
private:
   int32_t m_refCount;

protected:
   virtual ~RefCountObject();

public:
   RefCountObject() : m_refCount(1) {}
   RefCountObject(const RefCountObject &) = delete;
   RefCountObject &operator=(const RefCountObject &) = delete;

   void incRefCount() { __atomic_add_fetch(&m_refCount, 1, __ATOMIC_RELAXED); }

   void decRefCount()
   {
      if (__atomic_sub_fetch(&m_refCount, 1, __ATOMIC_ACQ_REL) == 0)
         delete this;
   }

   int32_t getRefCount() const { return __atomic_load_n(&m_refCount, __ATOMIC_RELAXED); }
};

#endif /* __cplusplus */

#endif
