/* libqorvel Containers: memory pool, arrays, string lists, maps and sets, hash maps, the blocking queue,
 * ring buffer and byte stream. */
#ifndef QORVEL_QV_CONTAINERS_H
#define QORVEL_QV_CONTAINERS_H

#include <qv_strings.h>

#endif
