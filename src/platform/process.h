/* Internal process identity. No OS header appears here; the POSIX side is
 * process_posix.cpp. */
#ifndef QORVEL_PLATFORM_PROCESS_H
#define QORVEL_PLATFORM_PROCESS_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Identifier of the calling process; it changes in the child of a fork, which is how
 * state that names threads of the parent is told apart. */
uint32_t CurrentProcessId();

}  // namespace platform
}  // namespace qv

#endif
