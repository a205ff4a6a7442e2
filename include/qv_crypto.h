/* libqorvel Cryptography: session encryption and key exchange, hashes and checksums, the ICE cipher. */
#ifndef QORVEL_QV_CRYPTO_H
#define QORVEL_QV_CRYPTO_H

#include <qv_protocol.h>

#endif
