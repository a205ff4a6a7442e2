/* libqorvel Threads: mutexes, reader-writer locks, conditions, thread start and naming, thread pools. */
#ifndef QORVEL_QV_THREADS_H
#define QORVEL_QV_THREADS_H

#include <qv_base.h>

/* ---------------------------------------------------------------------------------------
 * Synchronisation primitives and threads
 * ------------------------------------------------------------------------------------- */



/* ---------------------------------------------------------------------------------------
 * Thread pool
 * ------------------------------------------------------------------------------------- */



#endif
