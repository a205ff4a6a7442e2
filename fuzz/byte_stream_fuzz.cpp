/* Fuzz target for ByteStream reads: the first byte chooses the allocation step of a copy
 * that is written again, the rest is the stream. Strings and values are read in an order
 * taken from the stream's own bytes until it ends; each read must stay within the content,
 * and the strings read must write back to the bytes they came from. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

namespace {

volatile size_t g_sink;

void Check(bool condition)
{
   if (!condition)
      abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   ByteStream s(data + 1, size - 1);
   size_t sum = 0;
   while (!s.eos())
   {
      size_t before = s.pos();
      uint8_t op = s.readByte();
      switch (op % 6)
      {
         case 0:
         case 1:
         {
            size_t start = s.pos();
            char *text = s.readStringUtf8();
            if (text != nullptr)
            {
               size_t n = strlen(text);
               Check(s.pos() > start && s.pos() <= s.size());
               // Embedded zero bytes end the text early; otherwise it writes back as read.
               size_t consumed = s.pos() - start;
               if (n + 2 == consumed || n + 4 == consumed)
               {
                  ByteStream again(static_cast<size_t>(0));
                  again.setAllocationStep(data[0]);
                  again.writeStringUtf8(text);
                  size_t written;
                  const uint8_t *bytes = again.buffer(&written);
                  size_t got;
                  const uint8_t *original = s.buffer(&got) + start;
                  // A long prefix of a short string is valid input; it writes back short.
                  if (written == consumed)
                     Check(memcmp(bytes, original, written) == 0);
               }
               sum += n;
               free(text);
            }
            else
            {
               Check(s.pos() <= s.size());
            }
            break;
         }
         case 2:
         {
            wchar_t *text = s.readString();
            if (text != nullptr)
            {
               sum += wcslen(text);
               free(text);
            }
            break;
         }
         case 3: sum += static_cast<size_t>(s.readUInt16()) + static_cast<size_t>(s.readInt32()); break;
         case 4: sum += static_cast<size_t>(s.readInt64()) + static_cast<size_t>(s.readDouble() != 0); break;
         default:
         {
            uint8_t buffer[7];
            sum += s.read(buffer, op % sizeof(buffer));
            break;
         }
      }
      Check(s.pos() > before && s.pos() <= s.size());
   }
   g_sink = sum;
   return 0;
}
