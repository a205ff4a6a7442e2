/* A communication channel for fuzz targets that hands out the input as records: each
 * record is one length byte and up to that many bytes, which one recv() returns (fewer
 * when the caller asks for fewer; the rest comes with the next calls). A length of 0 is
 * a receive timeout; the end of the input, or a record cut short by it, is a closed
 * connection. Sends are accepted and dropped. */
#ifndef QORVEL_FUZZ_RECORD_CHANNEL_H
#define QORVEL_FUZZ_RECORD_CHANNEL_H

#include <qorvel.h>

#include <stdint.h>
#include <string.h>

class RecordChannel : public AbstractCommChannel
{
   const uint8_t *m_data;
   size_t m_size;
   size_t m_left = 0;  // bytes of the current record not yet handed out

protected:
   virtual ~RecordChannel() {}

public:
   /* The channel's result for a read that timed out. */
   static constexpr int TIMED_OUT = -2;

   RecordChannel(const uint8_t *data, size_t size) : m_data(data), m_size(size) {}

   virtual int send(const void *, size_t size, Mutex *) override { return int(size); }
   virtual int recv(void *buffer, size_t size, uint32_t) override
   {
      if (m_left == 0)
      {
         if (m_size == 0)
            return 0;
         m_left = *m_data++;
         m_size--;
         if (m_left == 0)
            return TIMED_OUT;
         m_left = (m_left < m_size) ? m_left : m_size;
         if (m_left == 0)
            return 0;
      }
      size_t n = (m_left < size) ? m_left : size;
      memcpy(buffer, m_data, n);
      m_data += n;
      m_size -= n;
      m_left -= n;
      return int(n);
   }
   virtual int poll(uint32_t, bool) override { return 1; }
   virtual int shutdown() override { return 0; }
   virtual void close() override {}
};

#endif
