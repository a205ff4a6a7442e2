/* Input layout shared by the message fuzz targets: the first byte chooses the protocol
 * version (its low 3 bits), whether the header's size is made to match the input (0x08,
 * so that mutations reach the payload checks) and options of the target (higher bits);
 * the rest is the raw message, copied to a heap block of exactly its size so that a read
 * past it is caught. */
#ifndef QORVEL_FUZZ_MESSAGE_FUZZ_INPUT_H
#define QORVEL_FUZZ_MESSAGE_FUZZ_INPUT_H

#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

struct MessageFuzzInput
{
   /* Bits of the control byte. */
   static constexpr uint8_t VERSION_MASK = 0x07;
   static constexpr uint8_t PATCH_SIZE = 0x08;

   /* Offset of the size word in the header. */
   static constexpr size_t SIZE_OFFSET = 4;

   uint8_t control;
   int version;
   uint8_t *raw;   // the message bytes
   size_t length;  // how many there are

   MessageFuzzInput(const uint8_t *data, size_t size)
       : control(data[0]), version(data[0] & VERSION_MASK),
         raw(static_cast<uint8_t *>(malloc((size > 1) ? size - 1 : 1))), length(size - 1)
   {
      if (length > 0)
         memcpy(raw, data + 1, length);
      if ((control & PATCH_SIZE) != 0 && length >= SIZE_OFFSET + 4)
      {
         for (int i = 0; i < 4; i++)
            raw[SIZE_OFFSET + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
      }
   }
   ~MessageFuzzInput() { free(raw); }
   MessageFuzzInput(const MessageFuzzInput &) = delete;
   MessageFuzzInput &operator=(const MessageFuzzInput &) = delete;

   const QVCP_MESSAGE *message() const { return reinterpret_cast<const QVCP_MESSAGE *>(raw); }

   /* The size word of the header at p (16 bytes or more). */
   static size_t DeclaredSize(const void *p)
   {
      const uint8_t *b = static_cast<const uint8_t *>(p);
      return (size_t(b[4]) << 24) | (size_t(b[5]) << 16) | (size_t(b[6]) << 8) | b[7];
   }
};

#endif
