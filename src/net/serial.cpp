/* Serial: one serial port with fixed line settings, reads with a time-out, reads up to a
 * marker text, paced block writes, and a reopen after a failed write. */
#include <qv_net.h>

#include "platform/serial_line.h"
#include "platform/sleep.h"

#include <stdlib.h>
#include <string.h>

namespace {

/* Defaults of a new object. */
constexpr int32_t DEFAULT_TIMEOUT_MS = 5000;
constexpr int32_t DEFAULT_SPEED = 9600;
constexpr int32_t DEFAULT_DATA_BITS = 8;
constexpr int32_t DEFAULT_WRITE_DELAY_MS = 100;

/* Line settings that open applies, whatever was stored: 38400 baud, 8N1. */
constexpr int OPEN_SPEED = 38400;
constexpr int OPEN_DATA_BITS = 8;

/* Pause between closing and reopening the port in restart. */
constexpr uint32_t RESTART_PAUSE_MS = 500;

/* Directory of the devices named without a path. */
const char DEVICE_DIRECTORY[] = "/dev/";

uint32_t TimeoutMs(int32_t timeout)
{
   return (timeout > 0) ? static_cast<uint32_t>(timeout) : 0;
}

/* The device path of a port name: UTF-8, with /dev/ before a name not starting with '/'. Null
 * when the name cannot be converted. The caller frees it. */
char *DevicePath(const wchar_t *port)
{
   char *name = UTF8StringFromWideString(port);
   if (name == nullptr || name[0] == '/')
      return name;
   size_t size = sizeof(DEVICE_DIRECTORY) + strlen(name);
   char *path = static_cast<char *>(malloc(size));
   if (path != nullptr)
   {
      memcpy(path, DEVICE_DIRECTORY, sizeof(DEVICE_DIRECTORY) - 1);
      memcpy(path + sizeof(DEVICE_DIRECTORY) - 1, name, strlen(name) + 1);
   }
   free(name);
   return path;
}

}  // namespace

Serial::Serial()
    : m_portName(nullptr), m_timeout(DEFAULT_TIMEOUT_MS), m_speed(DEFAULT_SPEED), m_dataBits(DEFAULT_DATA_BITS),
      m_stopBits(ONESTOPBIT), m_parity(NOPARITY), m_flowControl(0), m_handle(-1), m_writeBlockSize(-1),
      m_writeDelay(DEFAULT_WRITE_DELAY_MS)
{}

Serial::~Serial()
{
   close();
   free(m_portName);
}

bool Serial::open(const wchar_t *port)
{
   if (port == nullptr)
      return false;
   close();
   // Copied before the old name goes: restart passes the stored name itself.
   wchar_t *name = qv_wcsdup(port);
   if (name == nullptr)
      return false;
   free(m_portName);
   m_portName = name;

   char *path = DevicePath(m_portName);
   if (path == nullptr)
      return false;
   m_handle = qv::platform::SerialOpen(path);
   free(path);
   if (m_handle < 0)
      return false;
   set(OPEN_SPEED, OPEN_DATA_BITS, NOPARITY, ONESTOPBIT, 0);
   return true;
}

bool Serial::set(int speed, int dataBits, int parity, int stopBits, int flowControl)
{
   m_speed = speed;
   m_dataBits = dataBits;
   m_parity = parity;
   m_stopBits = stopBits;
   m_flowControl = flowControl;
   if (m_handle < 0)
      return false;
   qv::platform::SerialLineSettings settings = {speed, dataBits, parity, stopBits};
   if (!qv::platform::SerialApply(m_handle, settings))
      return false;
   setTimeout(m_timeout);
   return true;
}

void Serial::setTimeout(int timeout)
{
   // Every read and write waits with this time-out; nothing is kept by the device.
   m_timeout = timeout;
}

void Serial::close()
{
   if (m_handle >= 0)
   {
      qv::platform::SerialClose(m_handle);
      m_handle = -1;
   }
}

bool Serial::restart()
{
   if (m_portName == nullptr)
      return false;
   close();
   qv::platform::SleepMs(RESTART_PAUSE_MS);
   // open sets its own line settings: the stored ones are put back afterwards.
   int speed = m_speed, dataBits = m_dataBits, parity = m_parity, stopBits = m_stopBits, flowControl = m_flowControl;
   if (!open(m_portName))
   {
      m_speed = speed, m_dataBits = dataBits, m_parity = parity, m_stopBits = stopBits, m_flowControl = flowControl;
      return false;
   }
   bool applied = set(speed, dataBits, parity, stopBits, flowControl);
   setTimeout(m_timeout);
   return applied;
}

int Serial::read(char *buffer, int size)
{
   if (buffer == nullptr || size < 1)
      return -1;
   memset(buffer, 0, static_cast<size_t>(size));
   if (m_handle < 0)
      return -1;
   // The first byte is waited for; whatever else is queued by then comes with it.
   return qv::platform::SerialRead(m_handle, buffer, static_cast<size_t>(size), TimeoutMs(m_timeout));
}

int Serial::readAll(char *buffer, int size)
{
   if (buffer == nullptr || size < 1)
      return -1;
   memset(buffer, 0, static_cast<size_t>(size));
   if (m_handle < 0)
      return -1;
   return qv::platform::SerialReadAll(m_handle, buffer, static_cast<size_t>(size), TimeoutMs(m_timeout));
}

int Serial::readToMark(char *buffer, int size, const char **marks, char **markPos)
{
   if (markPos != nullptr)
      *markPos = nullptr;
   if (buffer == nullptr || size < 1)
      return -1;
   buffer[0] = 0;
   // One byte always stays for the zero terminator.
   int total = 0;
   while (total < size - 1)
   {
      int rc = read(buffer + total, size - 1 - total);
      if (rc <= 0)
         return rc;
      int previous = total;
      total += rc;
      buffer[total] = 0;
      for (const char **mark = marks; mark != nullptr && *mark != nullptr; mark++)
      {
         // Earlier rounds found no marker, so a match must end in the new bytes.
         size_t length = strlen(*mark);
         size_t from =
             (length > 0 && static_cast<size_t>(previous) >= length) ? static_cast<size_t>(previous) - length + 1 : 0;
         const char *found =
             static_cast<const char *>(memmem(buffer + from, static_cast<size_t>(total) - from, *mark, length));
         if (found != nullptr)
         {
            if (markPos != nullptr)
               *markPos = const_cast<char *>(found);
            return total;
         }
      }
   }
   return total;
}

bool Serial::write(const char *data, int size)
{
   if (m_handle < 0 || size < 0 || (data == nullptr && size > 0))
      return false;
   int block = (m_writeBlockSize < 1) ? size : m_writeBlockSize;
   int offset = 0;
   do
   {
      int length = (size - offset < block) ? size - offset : block;
      if (m_handle < 0)
         return false;
      if (m_writeDelay > 0)
         qv::platform::SleepMs(static_cast<uint32_t>(m_writeDelay));
      ptrdiff_t written =
          qv::platform::SerialWrite(m_handle, data + offset, static_cast<size_t>(length), TimeoutMs(m_timeout));
      if (written < 0)
      {
         restart();
         return false;
      }
      if (written < length)
         return false;
      offset += length;
   } while (offset < size);
   return true;
}

void Serial::flush()
{
   if (m_handle >= 0)
      qv::platform::SerialDrain(m_handle);
}
