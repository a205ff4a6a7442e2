/* libqorvel The process log and the debug levels and tags. */
#ifndef QORVEL_QV_LOG_H
#define QORVEL_QV_LOG_H

#include <qv_base.h>

#endif
