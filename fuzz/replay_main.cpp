/* Runs a fuzz target over every file of its corpus directory (or the files named on the
 * command line) without a fuzzing engine, so the corpus is replayed as a plain test. Each
 * input is also fed in every prefix length, which catches reads past the end. */
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static bool ReadFile(const std::string &path, std::vector<uint8_t> *content)
{
   FILE *f = fopen(path.c_str(), "rb");
   if (f == nullptr)
      return false;
   uint8_t chunk[4096];
   size_t n;
   while ((n = fread(chunk, 1, sizeof(chunk), f)) > 0)
      content->insert(content->end(), chunk, chunk + n);
   fclose(f);
   return true;
}

static int RunOne(const std::string &path)
{
   std::vector<uint8_t> content;
   if (!ReadFile(path, &content))
   {
      fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
   }
   // Every prefix, each in a block of exactly its size.
   for (size_t len = 0; len <= content.size(); len++)
   {
      uint8_t *copy = static_cast<uint8_t *>(malloc(len > 0 ? len : 1));
      if (len > 0)
         memcpy(copy, content.data(), len);
      LLVMFuzzerTestOneInput(copy, len);
      free(copy);
   }
   return 0;
}

int main(int argc, char **argv)
{
   int failures = 0;
   int count = 0;
   for (int i = 1; i < argc; i++)
   {
      struct stat st;
      if (stat(argv[i], &st) == 0 && S_ISDIR(st.st_mode))
      {
         DIR *dir = opendir(argv[i]);
         if (dir == nullptr)
            continue;
         while (struct dirent *e = readdir(dir))
         {
            if (e->d_name[0] == '.')
               continue;
            failures += RunOne(std::string(argv[i]) + "/" + e->d_name);
            count++;
         }
         closedir(dir);
      }
      else
      {
         failures += RunOne(argv[i]);
         count++;
      }
   }
   printf("replayed %d input(s)\n", count);
   return failures == 0 ? 0 : 1;
}
