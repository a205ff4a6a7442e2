/* Terminal facts the console output and the password prompt need. No OS header appears
 * here; the POSIX side is console_posix.cpp. */
#ifndef QORVEL_PLATFORM_CONSOLE_H
#define QORVEL_PLATFORM_CONSOLE_H

#include <qv_base.h>

#include <stdio.h>

namespace qv {
namespace platform {

/* True when the stream's descriptor is a terminal; false for a null stream. Asked on every
 * call, so redirections made while the process runs count. */
bool StreamIsTerminal(FILE *stream);

/* Switches the echo of typed characters of the terminal on standard input on or off, and
 * stores in *wasOn (when not null) whether it was on before. False, with nothing changed,
 * when standard input is not a terminal. */
bool SetStandardInputEcho(bool on, bool *wasOn);

}  // namespace platform
}  // namespace qv

#endif
