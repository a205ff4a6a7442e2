/* gzip and zlib copies of files. */
#include "system/files.h"

#include "platform/files.h"

#include <stdlib.h>
#include <string.h>
#include <zlib.h>

using namespace qv::platform;
using namespace qv::system;

namespace {

/* Input and output pieces of the compression. */
constexpr size_t DEFLATE_CHUNK_BYTES = 16384;

/* deflate settings: best compression, 32 KiB window (plus 16: gzip wrapper), memory level 8. */
constexpr int DEFLATE_LEVEL = 9;
constexpr int DEFLATE_WINDOW_BITS = 15;
constexpr int GZIP_WINDOW_BITS_ADD = 16;
constexpr int DEFLATE_MEMORY_LEVEL = 8;

}  // namespace

QV_API int DeflateFileStream(FILE *inFile, FILE *outFile, bool gzip)
{
   if (inFile == nullptr || outFile == nullptr)
      return -1;
   z_stream stream;
   memset(&stream, 0, sizeof(stream));
   int rc = deflateInit2(&stream, DEFLATE_LEVEL, Z_DEFLATED, DEFLATE_WINDOW_BITS + (gzip ? GZIP_WINDOW_BITS_ADD : 0),
                         DEFLATE_MEMORY_LEVEL, Z_DEFAULT_STRATEGY);
   if (rc != Z_OK)
      return rc;
   unsigned char in[DEFLATE_CHUNK_BYTES];
   unsigned char out[DEFLATE_CHUNK_BYTES];
   int flush;
   do
   {
      stream.avail_in = static_cast<uInt>(fread(in, 1, sizeof(in), inFile));
      if (ferror(inFile))
      {
         deflateEnd(&stream);
         return -1;
      }
      flush = feof(inFile) ? Z_FINISH : Z_NO_FLUSH;
      stream.next_in = in;
      do
      {
         stream.avail_out = sizeof(out);
         stream.next_out = out;
         rc = deflate(&stream, flush);
         if (rc == Z_STREAM_ERROR)
         {
            deflateEnd(&stream);
            return rc;
         }
         size_t have = sizeof(out) - stream.avail_out;
         if (have > 0 && fwrite(out, 1, have, outFile) != have)
         {
            deflateEnd(&stream);
            return -1;
         }
      } while (stream.avail_out == 0);
   } while (flush != Z_FINISH);
   deflateEnd(&stream);
   return (rc == Z_STREAM_END) ? Z_OK : Z_DATA_ERROR;
}

QV_API bool DeflateFile(const wchar_t *inName, const wchar_t *outName)
{
   Utf8Path input(inName);
   if (!input.valid())
      return false;
   char *output;
   if (outName != nullptr)
   {
      output = UTF8StringFromWideString(outName);
   }
   else
   {
      size_t length = strlen(input.get());
      output = static_cast<char *>(malloc(length + 4));
      if (output != nullptr)
      {
         memcpy(output, input.get(), length);
         memcpy(output + length, ".gz", 4);
      }
   }
   if (output == nullptr)
      return false;
   FILE *in = FileOpen(input.get(), "rb");
   if (in == nullptr)
   {
      free(output);
      return false;
   }
   FILE *out = FileOpen(output, "wb");
   if (out == nullptr)
   {
      fclose(in);
      free(output);
      return false;
   }
   int rc = DeflateFileStream(in, out, true);
   bool closed = (fclose(out) == 0);
   fclose(in);
   bool ok = (rc == Z_OK) && closed;
   if (!ok)
   {
      // A partial copy would pass for a whole one until it is opened.
      int error;
      FileRemove(output, &error);
   }
   free(output);
   return ok;
}
