/* libqorvel Data objects: tables, internet addresses, UUIDs, geolocation, MAC addresses. */
#ifndef QORVEL_QV_DATA_H
#define QORVEL_QV_DATA_H

#include <qv_containers.h>

#endif
