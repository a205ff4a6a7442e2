/* The termios settings of a serial line, built by the pure function that the port
 * applies: every framing, including those a pseudo-terminal cannot show. */
#include <gtest/gtest.h>

#include "platform/serial_settings.h"

#include <string.h>

using namespace qv::platform;

namespace {

/* Settings as a device might report them: a cooked terminal with flow control. */
struct termios Cooked()
{
   struct termios tio;
   memset(&tio, 0, sizeof(tio));
   tio.c_iflag = ICRNL | IXON | IXOFF | INPCK | ISTRIP | BRKINT;
   tio.c_oflag = OPOST | ONLCR;
   tio.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL;
   tio.c_lflag = ICANON | ECHO | ISIG | IEXTEN;
   tio.c_cc[VMIN] = 1;
   tio.c_cc[VTIME] = 5;
   cfsetispeed(&tio, B1200);
   cfsetospeed(&tio, B1200);
   return tio;
}

}  // namespace

TEST(SerialSettings, FramingMapsOntoTheControlFlags)
{
   struct Case
   {
      SerialLineSettings in;
      speed_t speed;
      tcflag_t flags;  // of CSIZE | PARENB | PARODD | CMSPAR | CSTOPB
   };
   const Case cases[] = {
       {{38400, 8, SERIAL_PARITY_NONE, SERIAL_STOP_ONE}, B38400, CS8},
       {{9600, 7, SERIAL_PARITY_EVEN, SERIAL_STOP_ONE}, B9600, CS7 | PARENB},
       {{115200, 7, SERIAL_PARITY_ODD, SERIAL_STOP_TWO}, B115200, CS7 | PARENB | PARODD | CSTOPB},
       {{2400, 8, SERIAL_PARITY_MARK, SERIAL_STOP_ONE}, B2400, CS8 | PARENB | PARODD | CMSPAR},
       {{300, 6, SERIAL_PARITY_SPACE, SERIAL_STOP_TWO}, B300, CS6 | PARENB | CMSPAR | CSTOPB},
       {{50, 5, SERIAL_PARITY_NONE, SERIAL_STOP_ONE_AND_HALF}, B50, CS5 | CSTOPB},
       {{4000000, 8, SERIAL_PARITY_NONE, SERIAL_STOP_ONE}, B4000000, CS8},
   };
   for (const Case &k : cases)
   {
      struct termios tio = Cooked();
      ASSERT_TRUE(BuildSerialTermios(&tio, k.in)) << k.in.speed;
      EXPECT_EQ(cfgetispeed(&tio), k.speed);
      EXPECT_EQ(cfgetospeed(&tio), k.speed);
      EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | PARODD | CMSPAR | CSTOPB), k.flags) << k.in.speed;
   }
}

TEST(SerialSettings, RawTransferWithoutFlowControlKeepsTheOtherFlags)
{
   struct termios tio = Cooked();
   ASSERT_TRUE(BuildSerialTermios(&tio, {19200, 8, SERIAL_PARITY_EVEN, SERIAL_STOP_ONE}));
   // No flow control of either kind, no parity check, modem lines ignored.
   EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
   EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | BRKINT), 0u);
   EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
   // Bytes pass as they are; reads return what is there (time-outs are polled).
   EXPECT_EQ(tio.c_oflag & OPOST, 0u);
   EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
   EXPECT_EQ(tio.c_cc[VMIN], 0);
   EXPECT_EQ(tio.c_cc[VTIME], 0);
   // What the settings do not speak of stays as the device had it.
   EXPECT_NE(tio.c_cflag & HUPCL, 0u);
   EXPECT_NE(tio.c_oflag & ONLCR, 0u);
}

TEST(SerialSettings, ValuesALineCannotTakeLeaveTheSettingsAlone)
{
   const SerialLineSettings bad[] = {
       {12345, 8, SERIAL_PARITY_NONE, SERIAL_STOP_ONE},
       {0, 8, SERIAL_PARITY_NONE, SERIAL_STOP_ONE},
       {9600, 4, SERIAL_PARITY_NONE, SERIAL_STOP_ONE},
       {9600, 9, SERIAL_PARITY_NONE, SERIAL_STOP_ONE},
       {9600, 8, -1, SERIAL_STOP_ONE},
       {9600, 8, 5, SERIAL_STOP_ONE},
       {9600, 8, SERIAL_PARITY_NONE, 3},
       {9600, 8, SERIAL_PARITY_NONE, -1},
       {9600, 8, SERIAL_PARITY_NONE, SERIAL_STOP_ONE_AND_HALF},  // one and a half only with 5 bits
       {9600, 5, SERIAL_PARITY_NONE, SERIAL_STOP_TWO},           // and two never with 5
   };
   for (const SerialLineSettings &s : bad)
   {
      struct termios tio = Cooked();
      struct termios before = tio;
      EXPECT_FALSE(BuildSerialTermios(&tio, s)) << s.speed << ' ' << s.dataBits << ' ' << s.parity << ' ' << s.stopBits;
      EXPECT_EQ(memcmp(&tio, &before, sizeof(tio)), 0);
   }
}
