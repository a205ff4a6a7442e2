/* The termios settings of a serial line, built by a pure function so that every setting
 * can be checked (a pseudo-terminal, the only line the tests have, forces 8 data bits and
 * no parity whatever it is told). */
#ifndef QORVEL_PLATFORM_SERIAL_SETTINGS_H
#define QORVEL_PLATFORM_SERIAL_SETTINGS_H

#include "platform/serial_line.h"

#include <termios.h>

namespace qv {
namespace platform {

/* The library's parity and stop-bit codes. */
constexpr int SERIAL_PARITY_NONE = 0;
constexpr int SERIAL_PARITY_ODD = 1;
constexpr int SERIAL_PARITY_EVEN = 2;
constexpr int SERIAL_PARITY_MARK = 3;
constexpr int SERIAL_PARITY_SPACE = 4;
constexpr int SERIAL_STOP_ONE = 0;
constexpr int SERIAL_STOP_ONE_AND_HALF = 1;
constexpr int SERIAL_STOP_TWO = 2;

/* The termios speed code of a baud rate, or B0 for one the system does not know. */
inline speed_t SerialSpeedCode(int speed)
{
   static const struct
   {
      int baud;
      speed_t code;
   } SPEEDS[] = {
       {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
       {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
       {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
       {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
       {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
       {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000}};
   for (const auto &entry : SPEEDS)
   {
      if (entry.baud == speed)
         return entry.code;
   }
   return B0;
}

/* Turns tio (the device's current settings) into the settings for s. False, with tio
 * unchanged, for an unknown speed, data bits outside 5 to 8, an unknown parity or stop-bit
 * code, or one and a half stop bits with other than 5 data bits or two with 5 (the
 * combinations a line cannot send). */
inline bool BuildSerialTermios(struct termios *tio, const SerialLineSettings &s)
{
   speed_t speed = SerialSpeedCode(s.speed);
   if (speed == B0)
      return false;
   tcflag_t size;
   switch (s.dataBits)
   {
      case 5: size = CS5; break;
      case 6: size = CS6; break;
      case 7: size = CS7; break;
      case 8: size = CS8; break;
      default: return false;
   }
   if (s.parity < SERIAL_PARITY_NONE || s.parity > SERIAL_PARITY_SPACE)
      return false;
   if (s.stopBits < SERIAL_STOP_ONE || s.stopBits > SERIAL_STOP_TWO)
      return false;
   if ((s.stopBits == SERIAL_STOP_ONE_AND_HALF && s.dataBits != 5) ||
       (s.stopBits == SERIAL_STOP_TWO && s.dataBits == 5))
      return false;

   struct termios t = *tio;
   cfsetispeed(&t, speed);
   cfsetospeed(&t, speed);

   t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
   t.c_cflag |= size | CREAD | CLOCAL;
   switch (s.parity)
   {
      case SERIAL_PARITY_ODD: t.c_cflag |= PARENB | PARODD; break;
      case SERIAL_PARITY_EVEN: t.c_cflag |= PARENB; break;
      case SERIAL_PARITY_MARK: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
      case SERIAL_PARITY_SPACE: t.c_cflag |= PARENB | CMSPAR; break;
      default: break;
   }
   // With 5 data bits the second stop bit is half a bit long on the line.
   if (s.stopBits != SERIAL_STOP_ONE)
      t.c_cflag |= CSTOPB;

   // Binary transfer without flow control, parity checks, break handling or translation.
   t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP | IGNBRK | BRKINT | INLCR | IGNCR | ICRNL | IUCLC);
   t.c_oflag &= ~OPOST;
   t.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
   // Reads return what is there; time-outs are waited for with poll, since the device's
   // own timer stops at 25.5 seconds.
   t.c_cc[VMIN] = 0;
   t.c_cc[VTIME] = 0;
   *tio = t;
   return true;
}

}  // namespace platform
}  // namespace qv

#endif
