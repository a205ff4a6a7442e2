/* Fuzz target for the base64 decoder and encoder. The first byte gives an output room
 * (0 to 255), the rest is the payload. The payload is encoded, with and without line
 * breaks, and must decode back to itself; it is also decoded as it is into a block of
 * exactly the room, which must give a prefix of its decoding into ample room, and by the
 * allocating decoder, which must agree. Every input and output is a heap block of exactly
 * its size. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

volatile int g_sink;

/* Characters per line when the encoding is broken into lines. */
constexpr size_t LINE_LENGTH = 76;

void Check(bool condition)
{
   if (!condition)
      abort();
}

/* Decodes text (copied into a block of exactly its length) into a block of exactly room
 * bytes; the bytes written go to *bytes. */
bool DecodeExact(const std::string &text, size_t room, std::string *bytes)
{
   char *in = static_cast<char *>(malloc(text.size()));
   if (!text.empty())
      memcpy(in, text.data(), text.size());
   char *out = static_cast<char *>(malloc(room));
   size_t size = room;
   bool valid = base64_decode(in, text.size(), out, &size);
   Check(size <= room);
   bytes->assign(out, size);
   free(in);
   free(out);
   return valid;
}

void RoundTrip(const std::string &payload, size_t room)
{
   char *text = nullptr;
   size_t length = base64_encode_alloc(payload.data(), payload.size(), &text);
   Check(text != nullptr && length == (payload.size() + 2) / 3 * 4 && strlen(text) == length);
   std::string encoded(text, length);
   free(text);

   std::string bytes;
   Check(DecodeExact(encoded, payload.size(), &bytes) && bytes == payload);
   std::string lines;
   for (size_t i = 0; i < encoded.size(); i += LINE_LENGTH)
      lines += encoded.substr(i, LINE_LENGTH) + "\r\n";
   Check(DecodeExact(lines, payload.size(), &bytes) && bytes == payload);

   // Cut to a room of up to the whole encoding and its terminator.
   room %= length + 2;
   char *cut = static_cast<char *>(malloc(room));
   base64_encode(payload.data(), payload.size(), cut, room);
   Check(room == 0 || memcmp(cut, encoded.c_str(), room) == 0);
   free(cut);
}

void Garbage(const std::string &payload, size_t room)
{
   std::string full;
   bool valid = DecodeExact(payload, 3 * (payload.size() / 4) + 2, &full);
   std::string part;
   Check(DecodeExact(payload, room, &part) == valid);
   Check(full.compare(0, part.size(), part) == 0 && part.size() == std::min(room, full.size()));

   char *alloc = nullptr;
   size_t length = 0;
   Check(base64_decode_alloc(payload.data(), payload.size(), &alloc, &length) == valid);
   Check(valid ? (alloc != nullptr && std::string(alloc, length) == full) : (alloc == nullptr && length == 0));
   free(alloc);
   g_sink = int(full.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   size_t room = data[0];
   std::string payload(reinterpret_cast<const char *>(data + 1), size - 1);
   RoundTrip(payload, room);
   Garbage(payload, room);
   return 0;
}
