/* The process's mappings from /proc/self/maps, read with open and read into static
 * storage. */
#include "platform/memory_map.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace qv::platform;

/* Room for the path texts of all mappings. */
constexpr size_t PATH_POOL_BYTES = 512 * 1024;

/* The file is read in pieces of this size; a line longer than that is cut. */
constexpr size_t READ_CHUNK_BYTES = 16 * 1024;

Mapping g_entries[MEMORY_MAP_MAX_ENTRIES];
size_t g_count = 0;
char g_pathPool[PATH_POOL_BYTES];
size_t g_pathUsed = 0;
char g_line[READ_CHUNK_BYTES];

bool IsHex(char c)
{
   return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint64_t ParseHex(const char *&p, const char *end)
{
   uint64_t value = 0;
   while (p < end && IsHex(*p))
   {
      char c = *p++;
      value = value * 16 + static_cast<uint64_t>((c <= '9') ? c - '0' : ((c | 0x20) - 'a' + 10));
   }
   return value;
}

uint64_t ParseDecimal(const char *&p, const char *end)
{
   uint64_t value = 0;
   while (p < end && *p >= '0' && *p <= '9')
      value = value * 10 + static_cast<uint64_t>(*p++ - '0');
   return value;
}

void SkipSpaces(const char *&p, const char *end)
{
   while (p < end && *p == ' ')
      p++;
}

void SkipField(const char *&p, const char *end)
{
   while (p < end && *p != ' ')
      p++;
   SkipSpaces(p, end);
}

/* "start-end perms offset dev inode path" */
void ParseLine(const char *p, const char *end)
{
   if (g_count >= MEMORY_MAP_MAX_ENTRIES)
      return;
   Mapping m;
   m.start = static_cast<uintptr_t>(ParseHex(p, end));
   if (p >= end || *p != '-')
      return;
   p++;
   m.end = static_cast<uintptr_t>(ParseHex(p, end));
   SkipSpaces(p, end);
   if (end - p < 4)
      return;
   m.flags = ((p[0] == 'r') ? MAPPING_READ : 0) | ((p[1] == 'w') ? MAPPING_WRITE : 0) |
             ((p[2] == 'x') ? MAPPING_EXECUTE : 0) | ((p[3] == 's') ? MAPPING_SHARED : 0);
   SkipField(p, end);
   m.offset = ParseHex(p, end);
   SkipSpaces(p, end);
   SkipField(p, end);  // device
   m.inode = ParseDecimal(p, end);
   SkipSpaces(p, end);
   size_t length = static_cast<size_t>(end - p);
   if (g_pathUsed + length + 1 > PATH_POOL_BYTES)
      length = 0;
   char *path = g_pathPool + g_pathUsed;
   for (size_t i = 0; i < length; i++)
      path[i] = p[i];
   path[length] = 0;
   g_pathUsed += length + 1;
   m.path = path;
   g_entries[g_count++] = m;
}

}  // namespace

namespace qv {
namespace platform {

size_t MemoryMapRead()
{
   g_count = 0;
   g_pathUsed = 0;
   int fd;
   do
      fd = open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
   while (fd < 0 && errno == EINTR);
   if (fd < 0)
      return 0;
   size_t used = 0;  // bytes of an unfinished line at the start of g_line
   for (;;)
   {
      ssize_t n = read(fd, g_line + used, sizeof(g_line) - used);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         break;
      used += static_cast<size_t>(n);
      size_t start = 0;
      for (size_t i = 0; i < used; i++)
      {
         if (g_line[i] == '\n')
         {
            ParseLine(g_line + start, g_line + i);
            start = i + 1;
         }
      }
      if (start == 0 && used == sizeof(g_line))
      {
         ParseLine(g_line, g_line + used);  // a line longer than the buffer: cut
         used = 0;
         continue;
      }
      for (size_t i = start; i < used; i++)
         g_line[i - start] = g_line[i];
      used -= start;
   }
   if (used > 0)
      ParseLine(g_line, g_line + used);
   close(fd);
   return g_count;
}

const Mapping &MemoryMapEntry(size_t i)
{
   return g_entries[i];
}

const Mapping *MemoryMapFind(uintptr_t address)
{
   for (size_t i = 0; i < g_count; i++)
   {
      if (address >= g_entries[i].start && address < g_entries[i].end)
         return &g_entries[i];
   }
   return nullptr;
}

const char *MemoryMapBaseName(const char *path)
{
   const char *base = path;
   for (const char *p = path; *p != 0; p++)
   {
      if (*p == '/')
         base = p + 1;
   }
   return base;
}

}  // namespace platform
}  // namespace qv
