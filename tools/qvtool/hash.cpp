/* qvtool hash: checksums and digests of files, one "<hex>  <file>" line each. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct HashAlgorithm
{
   const char *option;
   size_t size;  // digest bytes
   bool (*file)(const wchar_t *fileName, uint8_t *digest);
};

/* The CRC as its four bytes, most significant first, so it prints like the digests. */
bool FileCrc32(const wchar_t *fileName, uint8_t *digest)
{
   uint32_t crc;
   if (!CalculateFileCRC32(fileName, &crc))
      return false;
   for (int i = 0; i < 4; i++)
      digest[i] = uint8_t(crc >> (24 - 8 * i));
   return true;
}

const HashAlgorithm ALGORITHMS[] = {
    {"--crc32", 4, FileCrc32},
    {"--md5", MD5_DIGEST_SIZE, CalculateFileMD5Hash},
    {"--sha1", SHA1_DIGEST_SIZE, CalculateFileSHA1Hash},
    {"--sha256", SHA256_DIGEST_SIZE, CalculateFileSHA256Hash},
};

/* Used when no option names one. */
const HashAlgorithm &DEFAULT_ALGORITHM = ALGORITHMS[3];

int Usage()
{
   fprintf(stderr, "usage: qvtool hash [--crc32|--md5|--sha1|--sha256] FILE...\n");
   return 2;
}

}  // namespace

int CommandHash(int argc, char **argv)
{
   const HashAlgorithm *algorithm = &DEFAULT_ALGORITHM;
   int first = 0;
   for (; first < argc && argv[first][0] == '-' && argv[first][1] == '-'; first++)
   {
      if (!strcmp(argv[first], "--"))
      {
         first++;
         break;
      }
      const HashAlgorithm *chosen = nullptr;
      for (const HashAlgorithm &a : ALGORITHMS)
         if (!strcmp(argv[first], a.option))
            chosen = &a;
      if (chosen == nullptr)
         return Usage();
      algorithm = chosen;
   }
   if (first >= argc)
      return Usage();

   int result = 0;
   for (int i = first; i < argc; i++)
   {
      uint8_t digest[SHA256_DIGEST_SIZE];
      wchar_t *name = WideStringFromUTF8String(argv[i]);
      bool ok = algorithm->file(name, digest);
      free(name);
      if (!ok)
      {
         fprintf(stderr, "qvtool hash: %s: cannot open or read the file\n", argv[i]);
         result = 1;
         continue;
      }
      for (size_t b = 0; b < algorithm->size; b++)
         printf("%02x", digest[b]);
      printf("  %s\n", argv[i]);
   }
   return result;
}
