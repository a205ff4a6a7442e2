/* Internal random source: bytes from the operating system's cryptographic generator. No OS
 * header appears here; the POSIX side is random_posix.cpp. */
#ifndef QORVEL_PLATFORM_RANDOM_H
#define QORVEL_PLATFORM_RANDOM_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Fills size bytes at buffer from the system's generator. Safe on any thread. Returns
 * false only when no source of the system could deliver them; the buffer's content is
 * then unspecified. */
bool RandomBytes(void *buffer, size_t size);

}  // namespace platform
}  // namespace qv

#endif
