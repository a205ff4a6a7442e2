/* Internal system information: the kernel's name and version and the distribution's name.
 * No OS header appears here; the POSIX side is system_info_posix.cpp. */
#ifndef QORVEL_PLATFORM_SYSTEM_INFO_H
#define QORVEL_PLATFORM_SYSTEM_INFO_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* The kernel's name ("Linux"), release ("6.1.0-18-amd64") and version text, each cut to
 * size bytes and terminated. False when the system does not tell. */
bool KernelVersion(char *name, char *release, char *version, size_t size);

/* The distribution's display name (PRETTY_NAME of /etc/os-release, else its NAME), cut
 * to size bytes and terminated; false when there is none. */
bool DistributionName(char *out, size_t size);

}  // namespace platform
}  // namespace qv

#endif
