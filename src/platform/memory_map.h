/* Internal reader of the process's memory mappings for the crash path (module names of
 * stack frames, the regions of the dump). No heap: the table lives in static storage and
 * is filled again by each read. No OS header appears here; the POSIX side is
 * memory_map_posix.cpp. */
#ifndef QORVEL_PLATFORM_MEMORY_MAP_H
#define QORVEL_PLATFORM_MEMORY_MAP_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Most mappings kept; a process with more has the rest left out of the table. */
constexpr size_t MEMORY_MAP_MAX_ENTRIES = 8192;

/* Access flags of a mapping. */
constexpr uint32_t MAPPING_READ = 1;
constexpr uint32_t MAPPING_WRITE = 2;
constexpr uint32_t MAPPING_EXECUTE = 4;
constexpr uint32_t MAPPING_SHARED = 8;

struct Mapping
{
   uintptr_t start;
   uintptr_t end;
   uint64_t offset;  // offset in the mapped file
   uint64_t inode;   // 0 for anonymous memory
   uint32_t flags;
   const char *path;  // the file, "[heap]", "[stack]"..., or "" for anonymous memory
};

/* Reads the mappings of the process into the static table; the number of entries, 0 when
 * they cannot be read. Crash path; one reader at a time (the crash lock's owner, or a
 * test). */
size_t MemoryMapRead();

/* Entry i of the table of the last read. */
const Mapping &MemoryMapEntry(size_t i);

/* The entry that contains address, or null. */
const Mapping *MemoryMapFind(uintptr_t address);

/* The file name of a path without its directory. */
const char *MemoryMapBaseName(const char *path);

}  // namespace platform
}  // namespace qv

#endif
