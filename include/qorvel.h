/* libqorvel: the umbrella header. Host programs include only this one. */
#ifndef QORVEL_QORVEL_H
#define QORVEL_QORVEL_H

#include <qv_base.h>
#include <qv_strings.h>
#include <qv_containers.h>
#include <qv_threads.h>
#include <qv_log.h>
#include <qv_data.h>
#include <qv_protocol.h>
#include <qv_crypto.h>
#include <qv_config.h>
#include <qv_net.h>
#include <qv_platform.h>
#include <qv_metrics.h>

#endif
