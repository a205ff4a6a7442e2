/* Block-wise reading of a whole file for the file checksums and digests. */
#include "crypto/hash_internal.h"
#include "platform/file.h"

#include <stdio.h>

namespace qv::crypto {
namespace {

/* Bytes read from the file per call. */
constexpr size_t FILE_READ_BLOCK = 4096;

}  // namespace

bool ReadFileInBlocks(const wchar_t *fileName, void (*consume)(void *context, const uint8_t *data, int size),
                      void *context)
{
   FILE *file = qv::platform::OpenFile(fileName, "rb");
   if (file == nullptr)
      return false;
   uint8_t buffer[FILE_READ_BLOCK];
   size_t n;
   while ((n = fread(buffer, 1, sizeof(buffer), file)) > 0)
      consume(context, buffer, int(n));
   /* A read error would otherwise pass a digest of part of the file off as the whole. */
   bool complete = !ferror(file);
   fclose(file);
   return complete;
}

}  // namespace qv::crypto
