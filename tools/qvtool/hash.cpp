/* qvtool hash: checksums and digests of files, one "<hex>  <file>" line each. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct HashAlgorithm
{
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
    {4, FileCrc32},
    {MD5_DIGEST_SIZE, CalculateFileMD5Hash},
    {SHA1_DIGEST_SIZE, CalculateFileSHA1Hash},
    {SHA256_DIGEST_SIZE, CalculateFileSHA256Hash},
};

/* Used when no option names one. */
const HashAlgorithm &DEFAULT_ALGORITHM = ALGORITHMS[3];

/* The option of ALGORITHMS[i] has the key LONG_OPTION_KEY + i. */
const CommandOption OPTIONS[] = {
    {"crc32", no_argument, LONG_OPTION_KEY + 0, nullptr, "CRC-32"},
    {"md5", no_argument, LONG_OPTION_KEY + 1, nullptr, "MD5"},
    {"sha1", no_argument, LONG_OPTION_KEY + 2, nullptr, "SHA-1"},
    {"sha256", no_argument, LONG_OPTION_KEY + 3, nullptr, "SHA-256 (the default)"},
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"hash",
                              "[--crc32|--md5|--sha1|--sha256] FILE...",
                              "print CRC-32, MD5, SHA-1 or SHA-256 of files, one \"<hex>  <file>\" line each",
                              OPTIONS,
                              false,
                              nullptr};

}  // namespace

int CommandHash(int argc, char **argv)
{
   const HashAlgorithm *algorithm = &DEFAULT_ALGORITHM;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      size_t index = static_cast<size_t>(args.key() - LONG_OPTION_KEY);
      if (index >= sizeof(ALGORITHMS) / sizeof(ALGORITHMS[0]))
         return args.usage();
      algorithm = &ALGORITHMS[index];
   }
   if (args.stopped())
      return args.exitCode();
   if (args.operandCount() < 1)
      return args.usage();

   int result = 0;
   for (int i = 0; i < args.operandCount(); i++)
   {
      const char *path = args.operand(i);
      uint8_t digest[SHA256_DIGEST_SIZE];
      wchar_t *name = WideStringFromUTF8String(path);
      bool ok = algorithm->file(name, digest);
      free(name);
      if (!ok)
      {
         fprintf(stderr, "qvtool hash: %s: cannot open or read the file\n", path);
         result = 1;
         continue;
      }
      for (size_t b = 0; b < algorithm->size; b++)
         printf("%02x", digest[b]);
      printf("  %s\n", path);
   }
   return result;
}
