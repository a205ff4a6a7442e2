/* qvtool hash: checksums and digests of files, one "<hex>  <file>" line each. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

struct HashAlgorithm
{
   const char *name;  // as in the JSON document
   size_t size;       // digest bytes
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
    {"crc32", 4, FileCrc32},
    {"md5", MD5_DIGEST_SIZE, CalculateFileMD5Hash},
    {"sha1", SHA1_DIGEST_SIZE, CalculateFileSHA1Hash},
    {"sha256", SHA256_DIGEST_SIZE, CalculateFileSHA256Hash},
};

/* Used when no option names one. */
const HashAlgorithm &DEFAULT_ALGORITHM = ALGORITHMS[3];

/* The option of ALGORITHMS[i] has the key LONG_OPTION_KEY + i. */
const CommandOption OPTIONS[] = {
    {"crc32", no_argument, LONG_OPTION_KEY + 0, nullptr, "CRC-32"},
    {"md5", no_argument, LONG_OPTION_KEY + 1, nullptr, "MD5"},
    {"sha1", no_argument, LONG_OPTION_KEY + 2, nullptr, "SHA-1"},
    {"sha256", no_argument, LONG_OPTION_KEY + 3, nullptr, "SHA-256 (the default)"},
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "hash",
    "[--crc32|--md5|--sha1|--sha256] [--json] FILE...",
    "print CRC-32, MD5, SHA-1 or SHA-256 of files, one \"<hex>  <file>\" line each",
    OPTIONS,
    false,
    "JSON fields: algorithm (crc32, md5, sha1, sha256), files (array, in the order given) of\n"
    "  file, digest (lowercase hex; null when the file cannot be read).\n"
    "Exit code 1 when a file cannot be read (the others are still hashed).\n"};

/* The digest as lowercase hex. */
std::string Hex(const uint8_t *bytes, size_t size)
{
   std::string hex;
   char pair[3];
   for (size_t b = 0; b < size; b++)
   {
      snprintf(pair, sizeof(pair), "%02x", bytes[b]);
      hex += pair;
   }
   return hex;
}

}  // namespace

int CommandHash(int argc, char **argv)
{
   const HashAlgorithm *algorithm = &DEFAULT_ALGORITHM;
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   while (args.next())
   {
      if (args.key() == JSON_OPTION_KEY)
      {
         json = true;
         continue;
      }
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
   json_t *files = json_array();
   for (int i = 0; i < args.operandCount(); i++)
   {
      const char *path = args.operand(i);
      uint8_t digest[SHA256_DIGEST_SIZE];
      wchar_t *name = WideStringFromUTF8String(path);
      bool ok = algorithm->file(name, digest);
      free(name);
      if (!ok)
      {
         fprintf(stderr, "qvtool hash: %s: cannot open or read the file; check its name and permissions\n", path);
         json_array_append_new(files, json_pack("{s:o, s:n}", "file", JsonText(path), "digest"));
         result = 1;
         continue;
      }
      std::string hex = Hex(digest, algorithm->size);
      if (json)
         json_array_append_new(files, json_pack("{s:o, s:s}", "file", JsonText(path), "digest", hex.c_str()));
      else
         printf("%s  %s\n", hex.c_str(), path);
   }
   if (!json)
   {
      json_decref(files);
      return result;
   }
   int printed = PrintJson(json_pack("{s:s, s:o}", "algorithm", algorithm->name, "files", files), "hash");
   return (printed != 0) ? printed : result;
}
