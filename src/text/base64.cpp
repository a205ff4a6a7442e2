/* Base64 encoding and decoding with the standard alphabet and '=' padding. The decoder
 * checks every character against a table and never writes beyond the room it is given. */
#include <qv_strings.h>

#include <stdint.h>
#include <stdlib.h>

namespace {

constexpr char ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char PADDING = '=';

/* Characters of an encoded group, and bytes it holds. */
constexpr size_t GROUP_CHARS = 4;
constexpr size_t GROUP_BYTES = 3;

/* Bits one character carries, and the mask of their value. */
constexpr int CHAR_BITS = 6;
constexpr uint32_t CHAR_MASK = 0x3f;

/* Table entry of a character outside the alphabet. */
constexpr int8_t NOT_BASE64 = -1;

struct DecodeTable
{
   int8_t value[256];
};

constexpr DecodeTable MakeDecodeTable()
{
   DecodeTable t{};
   for (int8_t &v : t.value)
      v = NOT_BASE64;
   for (int i = 0; ALPHABET[i] != 0; i++)
      t.value[static_cast<unsigned char>(ALPHABET[i])] = int8_t(i);
   return t;
}

constexpr DecodeTable DECODE = MakeDecodeTable();

inline int Value(char ch)
{
   return DECODE.value[static_cast<unsigned char>(ch)];
}

inline bool IsLineEnd(char ch)
{
   return ch == '\r' || ch == '\n';
}

/* Writes decoded bytes while room is left; counts what was written. */
struct ByteSink
{
   char *out;
   size_t room;
   size_t written;

   void put(uint32_t byte)
   {
      if (written < room)
         out[written++] = static_cast<char>(byte);
   }
};

}  // namespace

QV_API void base64_encode(const char *in, size_t inlen, char *out, size_t outlen)
{
   if (out == nullptr || outlen == 0)
      return;
   if (in == nullptr)
      inlen = 0;
   const unsigned char *p = reinterpret_cast<const unsigned char *>(in);
   size_t written = 0;
   for (size_t pos = 0; pos < inlen && written < outlen; pos += GROUP_BYTES)
   {
      size_t n = (inlen - pos < GROUP_BYTES) ? inlen - pos : GROUP_BYTES;
      uint32_t bits = uint32_t(p[pos]) << 16;
      if (n > 1)
         bits |= uint32_t(p[pos + 1]) << 8;
      if (n > 2)
         bits |= p[pos + 2];
      char group[GROUP_CHARS];
      for (size_t i = 0; i < GROUP_CHARS; i++)
         group[i] = (i <= n) ? ALPHABET[(bits >> (CHAR_BITS * (3 - i))) & CHAR_MASK] : PADDING;
      for (size_t i = 0; i < GROUP_CHARS && written < outlen; i++)
         out[written++] = group[i];
   }
   if (written < outlen)
      out[written] = 0;
}

QV_API size_t base64_encode_alloc(const char *in, size_t inlen, char **out)
{
   if (out == nullptr)
      return 0;
   *out = nullptr;
   size_t groups = inlen / GROUP_BYTES + (inlen % GROUP_BYTES != 0);
   if (groups > (SIZE_MAX - 1) / GROUP_CHARS)
      return 0;
   size_t length = groups * GROUP_CHARS;
   char *block = static_cast<char *>(malloc(length + 1));
   if (block == nullptr)
      return 0;
   base64_encode(in, inlen, block, length + 1);
   *out = block;
   return length;
}

QV_API bool isbase64(char ch)
{
   return Value(ch) != NOT_BASE64;
}

QV_API bool base64_decode(const char *in, size_t inlen, char *out, size_t *outlen)
{
   if (outlen == nullptr)
      return false;
   ByteSink sink = {out, (out != nullptr) ? *outlen : 0, 0};
   bool valid = (in != nullptr || inlen == 0);
   if (!valid)
      inlen = 0;
   while (inlen > 0 && IsLineEnd(in[inlen - 1]))
      inlen--;

   for (size_t pos = 0; pos < inlen;)
   {
      if (pos > 0 && IsLineEnd(in[pos]))
      {
         // One line end between groups; trailing ones are already cut off, so a group follows.
         pos += (in[pos] == '\r' && in[pos + 1] == '\n') ? 2 : 1;
      }
      size_t n = (inlen - pos < GROUP_CHARS) ? inlen - pos : GROUP_CHARS;
      const char *g = in + pos;
      pos += n;
      bool last = (pos == inlen);
      if (n < 2 || !isbase64(g[0]) || !isbase64(g[1]))
      {
         valid = false;
         break;
      }
      sink.put(((Value(g[0]) << 2) | (Value(g[1]) >> 4)) & 0xff);
      if (n == 2)
      {
         valid = false;  // the group lacks its padding
         break;
      }
      if (g[2] == PADDING)
      {
         valid = (n == GROUP_CHARS && g[3] == PADDING && last);
         break;
      }
      if (!isbase64(g[2]))
      {
         valid = false;
         break;
      }
      sink.put(((Value(g[1]) << 4) | (Value(g[2]) >> 2)) & 0xff);
      if (n == 3)
      {
         valid = false;
         break;
      }
      if (g[3] == PADDING)
      {
         valid = last;
         break;
      }
      if (!isbase64(g[3]))
      {
         valid = false;
         break;
      }
      sink.put(((Value(g[2]) << 6) | Value(g[3])) & 0xff);
   }
   *outlen = sink.written;
   return valid;
}

QV_API bool base64_decode_alloc(const char *in, size_t inlen, char **out, size_t *outlen)
{
   if (outlen != nullptr)
      *outlen = 0;
   if (out == nullptr)
      return false;
   size_t room = GROUP_BYTES * (inlen / GROUP_CHARS) + 2;
   *out = static_cast<char *>(malloc(room));
   if (*out == nullptr)
      return false;
   if (!base64_decode(in, inlen, *out, &room))
   {
      free(*out);
      *out = nullptr;
      return false;
   }
   if (outlen != nullptr)
      *outlen = room;
   return true;
}
