/* Internal process information and set-up: the program's own path, the host's name,
 * resident memory and heap figures, loadable modules and the numeric locale. No OS
 * header appears here; the POSIX side is process_info_posix.cpp. */
#ifndef QORVEL_PLATFORM_PROCESS_INFO_H
#define QORVEL_PLATFORM_PROCESS_INFO_H

#include <qv_base.h>

namespace qv::platform {

/* Separator of directories in the paths the platform gives. */
constexpr char DIRECTORY_SEPARATOR = '/';

/* The running program's full path (UTF-8), cut to size bytes and terminated; false when
 * the system does not tell or the path does not fit. */
bool ProgramPath(char *out, size_t size);

/* The host's name (UTF-8), cut to size bytes and terminated: the name without its
 * domain, or with fullyQualified the canonical name the resolver gives for it (the plain
 * host name when the resolver knows no other). False when the system does not tell. */
bool HostName(char *out, size_t size, bool fullyQualified);

/* Bytes of the process's memory that are resident now; 0 when they cannot be read. */
uint64_t ResidentSetBytes();

/* Resident bytes from the text of /proc/<pid>/statm (its second field, in pages of
 * pageSize bytes); 0 when the text does not hold that field. Reads at most length bytes
 * of text, which need not be terminated. */
uint64_t ParseResidentPages(const char *text, size_t length, uint64_t pageSize);

/* What the C library's allocator holds. */
struct HeapFigures
{
   uint64_t inUse;       // bytes in blocks that the program holds
   uint64_t retained;    // bytes the allocator keeps from the system, free blocks included
   uint64_t releasable;  // free bytes at the top of the heap that could go back at once
};

/* The allocator's figures; false where the C library gives none. */
bool HeapStatistics(HeapFigures *figures);

/* The allocator's own report (UTF-8) in a new block that the caller frees with free();
 * null where there is none. */
char *HeapReport();

/* Loads the module at path (UTF-8) with all its symbols bound now; null on failure, with
 * the system's reason in error (size bytes, may be null). */
void *ModuleLoad(const char *path, char *error, size_t size);

/* Unloads a module that ModuleLoad gave. */
void ModuleUnload(void *module);

/* The address of the symbol in the module; null on failure with the reason in error. */
void *ModuleSymbol(void *module, const char *symbol, char *error, size_t size);

/* Makes the C library format and read numbers with a point, whatever the locale. */
void SetNumericLocaleC();

}  // namespace qv::platform

#endif
