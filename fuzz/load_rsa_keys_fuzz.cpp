/* Fuzz target for the RSA key file: the input is written to a temporary file and loaded.
 * With the first byte's bit 0x01 the rest is taken as key data and sealed first (length
 * word and SHA-1 added), so that mutations reach the DER parser; otherwise the rest is
 * the file as it is. A key that loads must have its private half and survive a save and
 * a second load. */
#include <qorvel.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

volatile int g_sink;

/* Bit of the first byte: seal the rest as key data. */
constexpr uint8_t SEAL = 0x01;

void Check(bool condition)
{
   if (!condition)
      abort();
}

/* A per-process file, removed at exit: in memory (/dev/shm) where there is such a place,
 * since every input rewrites it, else in the temporary directory. */
const std::string &TempName()
{
   // Never destroyed, so that the exit handler can still read it.
   static const std::string &name = *new std::string([] {
      const char *tmp = getenv("TMPDIR");
      const char *dirs[] = {"/dev/shm", (tmp != nullptr && *tmp != 0) ? tmp : "/tmp", "/tmp"};
      const char *dir = dirs[2];
      for (const char *d : dirs)
         if (access(d, W_OK) == 0)
         {
            dir = d;
            break;
         }
      atexit([] {
         remove(TempName().c_str());
         remove((TempName() + ".saved").c_str());
      });
      return std::string(dir) + "/qv_load_rsa_keys_fuzz." + std::to_string(getpid());
   }());
   return name;
}

bool WriteFile(const std::string &name, const uint8_t *data, size_t size, bool seal)
{
   FILE *f = fopen(name.c_str(), "wb");
   if (f == nullptr)
      return false;
   bool ok = true;
   if (seal)
   {
      uint8_t length[4] = {uint8_t(size), uint8_t(size >> 8), uint8_t(size >> 16), uint8_t(size >> 24)};
      ok = fwrite(length, 1, sizeof(length), f) == sizeof(length);
   }
   if (size > 0)
      ok = ok && fwrite(data, 1, size, f) == size;
   if (seal)
   {
      uint8_t digest[SHA1_DIGEST_SIZE];
      CalculateSHA1Hash(data, int(size), digest);
      ok = ok && fwrite(digest, 1, sizeof(digest), f) == sizeof(digest);
   }
   return fclose(f) == 0 && ok;
}

RSA_KEY Load(const std::string &name)
{
   wchar_t *wide = WideStringFromUTF8String(name.c_str());
   RSA_KEY key = LoadRSAKeys(wide);
   free(wide);
   return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1 || !WriteFile(TempName(), data + 1, size - 1, (data[0] & SEAL) != 0))
      return 0;
   RSA_KEY key = Load(TempName());
   if (key == nullptr)
      return 0;
   std::string saved = TempName() + ".saved";
   wchar_t *wide = WideStringFromUTF8String(saved.c_str());
   Check(SaveRSAKeys(key, wide));
   free(wide);
   RSA_KEY again = Load(saved);
   Check(again != nullptr);
   g_sink = 1;
   RSAFree(again);
   RSAFree(key);
   return 0;
}
