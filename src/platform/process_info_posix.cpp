/* Process information on Linux: /proc/self/exe and /proc/self/statm, gethostname and the
 * resolver's canonical name, glibc's mallinfo2 and malloc_info, dlopen. */
#include "platform/process_info.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <locale.h>
#include <malloc.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

/* Where the kernel tells the running program and its memory figures. */
const char *const PROGRAM_LINK = "/proc/self/exe";
const char *const STATM_FILE = "/proc/self/statm";

/* statm is one short line of seven numbers. */
constexpr size_t STATM_TEXT_BYTES = 256;

/* Room for a host name as the system keeps it (HOST_NAME_MAX is 64). */
constexpr size_t HOST_NAME_BYTES = 256;

/* Copies a dlerror() text into error; the text is the thread's own and may be null. */
void KeepModuleError(const char *text, char *error, size_t size)
{
   if (error != nullptr && size > 0)
      snprintf(error, size, "%s", (text != nullptr) ? text : "unknown error");
}

}  // namespace

namespace qv::platform {

bool ProgramPath(char *out, size_t size)
{
   if (size == 0)
      return false;
   ssize_t length = readlink(PROGRAM_LINK, out, size);
   // A path that fills the buffer may have been cut.
   if (length <= 0 || static_cast<size_t>(length) >= size)
   {
      out[0] = 0;
      return false;
   }
   out[length] = 0;
   return true;
}

bool HostName(char *out, size_t size, bool fullyQualified)
{
   if (size == 0)
      return false;
   out[0] = 0;
   char name[HOST_NAME_BYTES];
   if (gethostname(name, sizeof(name)) != 0)
      return false;
   name[sizeof(name) - 1] = 0;
   if (!fullyQualified)
   {
      // The physical host name is the first label; a domain part belongs to the full name.
      char *dot = strchr(name, '.');
      if (dot != nullptr && dot != name)
         *dot = 0;
      snprintf(out, size, "%s", name);
      return true;
   }
   struct addrinfo hints;
   memset(&hints, 0, sizeof(hints));
   hints.ai_family = AF_UNSPEC;
   hints.ai_socktype = SOCK_STREAM;
   hints.ai_flags = AI_CANONNAME;
   struct addrinfo *info = nullptr;
   if (getaddrinfo(name, nullptr, &hints, &info) == 0 && info != nullptr && info->ai_canonname != nullptr &&
       info->ai_canonname[0] != 0)
      snprintf(out, size, "%s", info->ai_canonname);
   else
      snprintf(out, size, "%s", name);
   if (info != nullptr)
      freeaddrinfo(info);
   return true;
}

uint64_t ParseResidentPages(const char *text, size_t length, uint64_t pageSize)
{
   size_t i = 0;
   // The first field is the total size; the resident pages follow it.
   for (int field = 0; field < 2; field++)
   {
      while (i < length && text[i] == ' ')
         i++;
      if (i >= length || text[i] < '0' || text[i] > '9')
         return 0;
      uint64_t value = 0;
      for (; i < length && text[i] >= '0' && text[i] <= '9'; i++)
      {
         uint64_t digit = static_cast<uint64_t>(text[i] - '0');
         if (value > (UINT64_MAX - digit) / 10)
            return 0;
         value = value * 10 + digit;
      }
      if (field == 1)
         return (pageSize != 0 && value > UINT64_MAX / pageSize) ? 0 : value * pageSize;
   }
   return 0;
}

uint64_t ResidentSetBytes()
{
   int fd = open(STATM_FILE, O_RDONLY | O_CLOEXEC);
   if (fd < 0)
      return 0;
   char text[STATM_TEXT_BYTES];
   ssize_t n;
   do
      n = read(fd, text, sizeof(text));
   while (n < 0 && errno == EINTR);
   close(fd);
   if (n <= 0)
      return 0;
   long pageSize = sysconf(_SC_PAGESIZE);
   return ParseResidentPages(text, static_cast<size_t>(n), (pageSize > 0) ? static_cast<uint64_t>(pageSize) : 0);
}

bool HeapStatistics(HeapFigures *figures)
{
   struct mallinfo2 info = mallinfo2();
   // arena counts the bytes of every arena taken from the system, hblkhd the blocks that
   // were mapped on their own; uordblks and fordblks split the arenas into used and free.
   figures->inUse = info.uordblks + info.hblkhd;
   figures->retained = info.arena + info.hblkhd;
   figures->releasable = info.keepcost;
   return true;
}

char *HeapReport()
{
   char *text = nullptr;
   size_t size = 0;
   FILE *stream = open_memstream(&text, &size);
   if (stream == nullptr)
      return nullptr;
   int rc = malloc_info(0, stream);
   // Closing the stream finishes the block (terminated) or leaves it null.
   if (fclose(stream) != 0 || rc != 0)
   {
      free(text);
      return nullptr;
   }
   return text;
}

void *ModuleLoad(const char *path, char *error, size_t size)
{
   // Every symbol is bound at once, so a missing dependency fails here, not on a call.
   void *module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
   if (module == nullptr)
      KeepModuleError(dlerror(), error, size);
   return module;
}

void ModuleUnload(void *module)
{
   dlclose(module);
}

void *ModuleSymbol(void *module, const char *symbol, char *error, size_t size)
{
   dlerror();  // a null address is only an error when dlerror says so
   void *address = dlsym(module, symbol);
   const char *text = dlerror();
   if (text != nullptr)
   {
      KeepModuleError(text, error, size);
      return nullptr;
   }
   if (address == nullptr)
      KeepModuleError("symbol has a null address", error, size);
   return address;
}

void SetNumericLocaleC()
{
   setlocale(LC_NUMERIC, "C");
}

}  // namespace qv::platform
