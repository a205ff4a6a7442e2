/* Serial lines (terminal devices) behind a small interface: open, line settings, reads
 * with a millisecond time-out, writes with a time-out, drain and close. No OS header
 * appears here; the POSIX side is serial_posix.cpp, its termios settings are built in
 * serial_settings.h. */
#ifndef QORVEL_PLATFORM_SERIAL_LINE_H
#define QORVEL_PLATFORM_SERIAL_LINE_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Line settings with the library's codes: speed in baud, 5 to 8 data bits, parity 0 none,
 * 1 odd, 2 even, 3 mark, 4 space, stop bits 0 one, 1 one and a half, 2 two. */
struct SerialLineSettings
{
   int speed;
   int dataBits;
   int parity;
   int stopBits;
};

/* Opens the device of the UTF-8 path for reading and writing, held exclusively, not
 * inherited by started programs, and not becoming the process's controlling terminal.
 * The descriptor, or -1. */
int SerialOpen(const char *path);

void SerialClose(int fd);

/* Applies the settings: raw 8-bit transfer, no flow control, parity not checked, modem
 * lines ignored, DTR and RTS raised; other flags as the device had them. False when the
 * device is no terminal or refuses the settings, or a value is not supported. */
bool SerialApply(int fd, const SerialLineSettings &settings);

/* Waits up to timeout milliseconds for data and reads what is there, at most size bytes.
 * The bytes read, 0 when the time-out passed, -1 when the device failed or hung up. */
int SerialRead(int fd, void *buffer, size_t size, uint32_t timeout);

/* Reads until size bytes came or timeout milliseconds passed (the time-out bounds the
 * whole read). The bytes read; -1 when the device failed or hung up before any came. */
int SerialReadAll(int fd, void *buffer, size_t size, uint32_t timeout);

/* Writes size bytes, waiting up to timeout milliseconds in all while the device takes
 * none. The bytes written (fewer than size when the time-out passed), or -1 when the
 * device failed. */
ptrdiff_t SerialWrite(int fd, const void *data, size_t size, uint32_t timeout);

/* Waits until everything written has been sent. */
void SerialDrain(int fd);

}  // namespace platform
}  // namespace qv

#endif
