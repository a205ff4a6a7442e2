/* Serial on pseudo-terminal pairs: the test holds the master side (the "modem"), Serial
 * opens the slave by name, through a symbolic link the test can point at a new pair. */
#include "support/thread_test_util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <string>

using namespace qvtest;

namespace {

constexpr int GENEROUS_MS = static_cast<int>(GENEROUS.count());

/* A read time-out that must expire in the tests. */
constexpr int SHORT_WAIT_MS = 200;

std::wstring Wide(const std::string &text)
{
   return std::wstring(text.begin(), text.end());
}

/* One pseudo-terminal pair; the test keeps the slave open too, so that its settings can
 * be read whatever Serial does. */
struct Pty
{
   int master = -1;
   int slave = -1;
   std::string name;

   Pty()
   {
      char path[128];
      EXPECT_EQ(0, openpty(&master, &slave, path, nullptr, nullptr));
      name = path;
      // The master gets what Serial writes as it is.
      struct termios tio;
      tcgetattr(master, &tio);
      cfmakeraw(&tio);
      tcsetattr(master, TCSANOW, &tio);
   }
   ~Pty() { closeMaster(), closeSlave(); }
   void closeMaster() { master = (master >= 0) ? close(master), -1 : -1; }
   void closeSlave() { slave = (slave >= 0) ? close(slave), -1 : -1; }

   void send(const std::string &text) { EXPECT_EQ(write(master, text.data(), text.size()), (ssize_t)text.size()); }

   /* Reads exactly size bytes from the master (waiting up to GENEROUS for each piece). */
   std::string receive(size_t size)
   {
      std::string text;
      while (text.size() < size)
      {
         struct pollfd entry = {master, POLLIN, 0};
         if (poll(&entry, 1, GENEROUS_MS) <= 0)
            break;
         char chunk[256];
         ssize_t n = read(master, chunk, std::min(sizeof(chunk), size - text.size()));
         if (n <= 0)
            break;
         text.append(chunk, static_cast<size_t>(n));
      }
      return text;
   }

   struct termios settings() const
   {
      struct termios tio = {};
      tcgetattr(slave, &tio);
      return tio;
   }
};

/* A temporary directory with a symbolic link "port" to a device. */
struct PortLink
{
   std::string dir;
   std::string path;

   PortLink()
   {
      char temp[] = "/tmp/qv_serial_XXXXXX";
      dir = mkdtemp(temp);
      path = dir + "/port";
   }
   ~PortLink()
   {
      unlink(path.c_str());
      rmdir(dir.c_str());
   }
   void pointAt(const std::string &target)
   {
      unlink(path.c_str());
      EXPECT_EQ(0, symlink(target.c_str(), path.c_str()));
   }
};

}  // namespace

TEST(Serial, OpenSetsTheLineTo38400EightBitsNoParityWhateverWasStored)
{
   Pty pty;
   Serial serial;
   // No port yet: the values are stored, but nothing can take them.
   EXPECT_FALSE(serial.set(9600, 7, EVENPARITY, TWOSTOPBITS, 0));
   ASSERT_TRUE(serial.open(Wide(pty.name).c_str()));
   struct termios tio = pty.settings();
   EXPECT_EQ(cfgetispeed(&tio), B38400);
   EXPECT_EQ(cfgetospeed(&tio), B38400);
   EXPECT_EQ(tio.c_cflag & CSIZE, tcflag_t(CS8));
   EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
   EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
   EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);

   EXPECT_TRUE(serial.set(460800, 8, NOPARITY, TWOSTOPBITS, 0));
   tio = pty.settings();
   EXPECT_EQ(cfgetospeed(&tio), B460800);
   EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
   // A speed the system does not know, or impossible framing, is refused.
   EXPECT_FALSE(serial.set(12345, 8, NOPARITY, ONESTOPBIT, 0));
   EXPECT_FALSE(serial.set(9600, 9, NOPARITY, ONESTOPBIT, 0));
   EXPECT_FALSE(serial.set(9600, 8, 7, ONESTOPBIT, 0));
   EXPECT_EQ(cfgetospeed(&tio), B460800);
}

TEST(Serial, OpenOfAMissingPortFailsAndRestartTriesTheHeldNameAgain)
{
   Pty pty;
   PortLink link;
   Serial serial;
   char buffer[8];
   EXPECT_FALSE(serial.restart());  // no name was ever given
   {
      // The name is copied: the caller's text may go.
      std::wstring name = Wide(link.path);
      EXPECT_FALSE(serial.open(name.c_str()));
      name.assign(name.size(), L'x');
   }
   EXPECT_EQ(serial.read(buffer, sizeof(buffer)), -1);
   EXPECT_FALSE(serial.write("x", 1));
   link.pointAt(pty.name);
   EXPECT_TRUE(serial.restart());
   EXPECT_TRUE(serial.write("hi", 2));
   EXPECT_EQ(pty.receive(2), "hi");
   // A name without a directory is a device in /dev.
   Serial byShortName;
   EXPECT_TRUE(byShortName.open(Wide(pty.name.substr(5)).c_str()));
   EXPECT_FALSE(serial.open(nullptr));
}

TEST(Serial, ReadWaitsForTheTimeOutAndTakesWhatIsQueuedWithinTheSize)
{
   Pty pty;
   Serial serial;
   ASSERT_TRUE(serial.open(Wide(pty.name).c_str()));
   serial.setTimeout(SHORT_WAIT_MS);
   char buffer[12];
   memset(buffer, 'x', sizeof(buffer));
   Clock::time_point start = Clock::now();
   EXPECT_EQ(serial.read(buffer, 8), 0);
   EXPECT_GE(MsSince(start), SHORT_WAIT_MS - 10);
   EXPECT_EQ(std::string(buffer, sizeof(buffer)), std::string(8, '\0') + "xxxx");

   pty.send("hello world");
   serial.setTimeout(GENEROUS_MS);
   memset(buffer, 'x', sizeof(buffer));
   EXPECT_EQ(serial.read(buffer, 5), 5);
   EXPECT_EQ(std::string(buffer, sizeof(buffer)), "helloxxxxxxx");
   EXPECT_EQ(serial.read(buffer, 8), 6);
   EXPECT_EQ(std::string(buffer, 8), std::string(" world\0\0", 8));
   EXPECT_EQ(serial.read(buffer, 0), -1);

   // readAll collects up to the size, or what came within the time-out.
   pty.send("abc");
   serial.setTimeout(SHORT_WAIT_MS);
   EXPECT_EQ(serial.readAll(buffer, 10), 3);
   EXPECT_EQ(std::string(buffer, 4), std::string("abc\0", 4));
   pty.send("0123456789");
   EXPECT_EQ(serial.readAll(buffer, 4), 4);
   EXPECT_EQ(serial.readAll(buffer, 6), 6);
   EXPECT_EQ(std::string(buffer, 6), "456789");
}

TEST(Serial, ReadToMarkStopsAtTheFirstMarkerAndNeverPassesTheBuffer)
{
   Pty pty;
   Serial serial;
   ASSERT_TRUE(serial.open(Wide(pty.name).c_str()));
   serial.setTimeout(GENEROUS_MS);
   const char *marks[] = {"OK", "ERROR", nullptr};
   char buffer[64];
   char *mark = buffer;

   pty.send("AT+CSQ\r\n+CSQ: 17,0\r\nOK\r\n");
   int n = serial.readToMark(buffer, sizeof(buffer), marks, &mark);
   ASSERT_GT(n, 0);
   ASSERT_NE(mark, nullptr);
   EXPECT_EQ(std::string(mark, 2), "OK");
   EXPECT_EQ(buffer[n], '\0');

   // A marker that arrives in two reads, after a zero byte.
   Flag polling;
   int result = 0;
   Worker reader([&] { result = serial.readToMark(buffer, sizeof(buffer), marks, &mark); });
   pty.send(std::string("+CMS \0ER", 8));
   ASSERT_TRUE(WaitUntilPolling(reader.id()));
   pty.send("ROR\r\n");
   reader.join();
   EXPECT_EQ(result, 13);
   ASSERT_NE(mark, nullptr);
   EXPECT_EQ(mark - buffer, 6);

   // A full buffer without a marker: size - 1 bytes and the terminator, nothing beyond.
   char small[12];
   memset(small, '#', sizeof(small));
   pty.send("abcdefghijklmnopqrstuvwxyz");
   EXPECT_EQ(serial.readToMark(small, 8, marks, &mark), 7);
   EXPECT_EQ(mark, nullptr);
   EXPECT_EQ(std::string(small, sizeof(small)), std::string("abcdefg\0####", 12));

   // Time-out: 0, the bytes that came stay terminated in the buffer.
   serial.setTimeout(SHORT_WAIT_MS);
   char rest[32];
   EXPECT_EQ(serial.readToMark(rest, sizeof(rest), marks, nullptr), 0);
   EXPECT_STREQ(rest, "hijklmnopqrstuvwxyz");
   EXPECT_EQ(serial.readToMark(rest, 1, marks, &mark), 0);
   EXPECT_EQ(rest[0], '\0');
}

TEST(Serial, WritesInPacedBlocks)
{
   Pty pty;
   Serial serial;
   ASSERT_TRUE(serial.open(Wide(pty.name).c_str()));
   serial.setWriteBlockSize(4);
   serial.setWriteDelay(100);
   Clock::time_point start = Clock::now();
   EXPECT_TRUE(serial.write("0123456789", 10));
   // Three blocks, each after its delay.
   EXPECT_GE(MsSince(start), 300);
   EXPECT_EQ(pty.receive(10), "0123456789");
   serial.setWriteBlockSize(0);
   serial.setWriteDelay(0);
   EXPECT_TRUE(serial.write("whole", 5));
   EXPECT_TRUE(serial.write("", 0));
   serial.flush();
   EXPECT_EQ(pty.receive(5), "whole");
}

TEST(Serial, AFailedWriteReopensThePortWithTheStoredSettings)
{
   Pty first;
   PortLink link;
   link.pointAt(first.name);
   Serial serial;
   ASSERT_TRUE(serial.open(Wide(link.path).c_str()));
   ASSERT_TRUE(serial.set(9600, 8, NOPARITY, TWOSTOPBITS, 0));
   serial.setWriteDelay(0);
   // The device goes away and comes back under the same name.
   Pty second;
   link.pointAt(second.name);
   first.closeMaster();
   EXPECT_FALSE(serial.write("lost", 4));
   // The write reopened the port: the next one reaches the new device, which runs with
   // the settings stored before, not those of a fresh open.
   struct termios tio = second.settings();
   EXPECT_EQ(cfgetospeed(&tio), B9600);
   EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
   EXPECT_TRUE(serial.write("again", 5));
   EXPECT_EQ(second.receive(5), "again");

   // Reading from a device that hung up fails instead of reporting time-outs.
   second.closeMaster();
   char buffer[8];
   EXPECT_EQ(serial.read(buffer, sizeof(buffer)), -1);
   serial.close();
   EXPECT_EQ(serial.read(buffer, sizeof(buffer)), -1);
}
