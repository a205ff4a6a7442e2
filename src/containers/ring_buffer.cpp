/* RingBuffer: a growable circular byte queue with a saved read position. */
#include <qv_containers.h>

#include <stdlib.h>
#include <string.h>

RingBuffer::RingBuffer(size_t initialSize, size_t allocationStep)
    : m_data(static_cast<uint8_t *>((initialSize > 0) ? malloc(initialSize) : nullptr)), m_size(0),
      m_allocated((m_data != nullptr) ? initialSize : 0), m_allocationStep(allocationStep), m_readPos(0), m_writePos(0),
      m_savedPos(0), m_savedSize(0)
{}

RingBuffer::~RingBuffer()
{
   free(m_data);
}

/* Makes room for length more bytes when they do not fit the free space; the stored bytes
 * keep their order, and the write position is left where the new bytes go, with room for
 * all of them before the end of the block. False, with nothing changed, when the sizes
 * overflow or the allocation fails. */
bool RingBuffer::grow(size_t length)
{
   size_t extra = (length > m_allocationStep) ? length : m_allocationStep;
   if (m_writePos > m_readPos)
   {
      // The stored bytes do not wrap: the block grows in place behind them.
      if (extra > SIZE_MAX - m_allocated)
         return false;
      uint8_t *data = static_cast<uint8_t *>(realloc(m_data, m_allocated + extra));
      if (data == nullptr)
         return false;
      m_data = data;
      m_allocated += extra;
      return true;
   }
   if (m_size == 0)
   {
      if (length > SIZE_MAX - m_allocationStep)
         return false;
      size_t allocated = m_allocationStep + length;
      uint8_t *data = static_cast<uint8_t *>(realloc(m_data, allocated));
      if (data == nullptr)
         return false;
      m_data = data;
      m_allocated = allocated;
      m_readPos = 0;
      m_writePos = 0;
      return true;
   }
   // The stored bytes wrap (or fill the block): they move to the start of a new block.
   if (m_allocationStep > SIZE_MAX - m_size || length > SIZE_MAX - m_size - m_allocationStep)
      return false;
   size_t allocated = m_size + m_allocationStep + length;
   uint8_t *data = static_cast<uint8_t *>(malloc(allocated));
   if (data == nullptr)
      return false;
   size_t tail = m_allocated - m_readPos;
   memcpy(data, m_data + m_readPos, tail);
   memcpy(data + tail, m_data, m_writePos);
   free(m_data);
   m_data = data;
   m_allocated = allocated;
   m_readPos = 0;
   m_writePos = m_size;
   return true;
}

void RingBuffer::write(const uint8_t *data, size_t length)
{
   if (length == 0)
      return;
   if (length > m_allocated - m_size && !grow(length))
      return;
   size_t first = m_allocated - m_writePos;
   if (length <= first)
   {
      memcpy(m_data + m_writePos, data, length);
   }
   else
   {
      memcpy(m_data + m_writePos, data, first);
      memcpy(m_data, data + first, length - first);
   }
   m_writePos += length;
   if (m_writePos >= m_allocated)
      m_writePos -= m_allocated;
   m_size += length;
}

size_t RingBuffer::read(uint8_t *buffer, size_t length)
{
   size_t count = (length < m_size) ? length : m_size;
   if (count == 0)
      return 0;
   size_t first = m_allocated - m_readPos;
   if (count <= first)
   {
      memcpy(buffer, m_data + m_readPos, count);
   }
   else
   {
      memcpy(buffer, m_data + m_readPos, first);
      memcpy(buffer + first, m_data, count - first);
   }
   m_readPos += count;
   if (m_readPos >= m_allocated)
      m_readPos -= m_allocated;
   m_size -= count;
   return count;
}

uint8_t RingBuffer::readByte()
{
   if (m_size == 0)
      return 0;
   uint8_t b = m_data[m_readPos++];
   if (m_readPos == m_allocated)
      m_readPos = 0;
   m_size--;
   return b;
}

void RingBuffer::savePos()
{
   m_savedPos = m_readPos;
   m_savedSize = m_size;
}

void RingBuffer::restorePos()
{
   m_readPos = m_savedPos;
   m_size = m_savedSize;
}

void RingBuffer::clear()
{
   m_size = 0;
   m_readPos = 0;
   m_writePos = 0;
}
