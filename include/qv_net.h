/* libqorvel Networking and I/O: socket helpers and channels, listener, text connections, ping,
 * process executor, named pipes and serial ports. */
#ifndef QORVEL_QV_NET_H
#define QORVEL_QV_NET_H

#include <qv_data.h>

#endif
