/* libqorvel Configuration: the configuration tree and its loading from INI-like and XML files. */
#ifndef QORVEL_QV_CONFIG_H
#define QORVEL_QV_CONFIG_H

#include <qv_containers.h>

#endif
