/* libqorvel QVCP message protocol: messages and their wire format, message codes, raw message I/O,
 * receivers, stream compressors and the message wait queue. */
#ifndef QORVEL_QV_PROTOCOL_H
#define QORVEL_QV_PROTOCOL_H

#include <qv_containers.h>

#endif
