/* libqorvel Process and platform support: process setup, crash handling, files, option parsing,
 * date and time, console output. */
#ifndef QORVEL_QV_PLATFORM_H
#define QORVEL_QV_PLATFORM_H

#include <qv_strings.h>

#endif
