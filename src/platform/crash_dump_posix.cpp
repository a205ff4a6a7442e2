/* The crash path's files, clock and local time, and the ELF core writer: notes and
 * memory of the process streamed through zlib (working memory from a static arena) into a
 * gzip file with system calls only. */
#include "platform/crash_dump.h"
#include "platform/memory_map.h"
#include "platform/safe_text.h"

#include <atomic>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/procfs.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <asm/prctl.h>
#endif

namespace {

using namespace qv::platform;

constexpr mode_t REPORT_MODE = 0644;
constexpr mode_t PRIVATE_MODE = 0600;

constexpr int64_t SECONDS_PER_DAY = 86400;

/* Compression of the dump: fastest level (a crashed service should restart soon), gzip
 * wrapper (15 window bits + 16), memory level 8. */
constexpr int DUMP_LEVEL = 1;
constexpr int DUMP_WINDOW_BITS = 15 + 16;
constexpr int DUMP_MEMORY_LEVEL = 8;

/* zlib's working memory for those settings is about 270 KiB. */
constexpr size_t ZLIB_ARENA_BYTES = 1024 * 1024;

/* Memory is read and compressed in pieces of this size. */
constexpr size_t READ_BYTES = 1024 * 1024;
constexpr size_t OUT_BYTES = 256 * 1024;

/* Room for the notes (the mapped-file list is the large one). */
constexpr size_t NOTES_BYTES = 1024 * 1024;

/* Mappings larger than this are address-space reservations (sanitizer shadow memory and
 * the like), never data worth a dump. */
constexpr uint64_t MAX_DUMPED_MAPPING = 16ULL << 30;

/* Note name and type of the comment note. */
constexpr char COMMENT_NOTE_NAME[] = "QORVEL";
constexpr uint32_t COMMENT_NOTE_TYPE = 1;

alignas(64) unsigned char g_arena[ZLIB_ARENA_BYTES];
size_t g_arenaUsed = 0;
alignas(64) unsigned char g_read[READ_BYTES];
alignas(64) unsigned char g_out[OUT_BYTES];
alignas(8) unsigned char g_notes[NOTES_BYTES];
size_t g_notesUsed = 0;
bool g_dumped[MEMORY_MAP_MAX_ENTRIES];

std::atomic<int64_t> g_utcOffset{0};

voidpf ArenaAlloc(voidpf, uInt items, uInt size)
{
   size_t bytes = (static_cast<size_t>(items) * size + 63) & ~static_cast<size_t>(63);
   if (bytes > ZLIB_ARENA_BYTES - g_arenaUsed)
      return Z_NULL;
   void *block = g_arena + g_arenaUsed;
   g_arenaUsed += bytes;
   return block;
}

void ArenaFree(voidpf, voidpf) {}

int OpenRetry(const char *path, int flags, mode_t mode)
{
   int fd;
   do
      fd = open(path, flags, mode);
   while (fd < 0 && errno == EINTR);
   return fd;
}

/* Reads a small /proc file whole into buffer; the byte count. */
size_t ReadProcFile(const char *path, unsigned char *buffer, size_t size)
{
   int fd = OpenRetry(path, O_RDONLY | O_CLOEXEC, 0);
   if (fd < 0)
      return 0;
   size_t used = 0;
   while (used < size)
   {
      ssize_t n = read(fd, buffer + used, size - used);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         break;
      used += static_cast<size_t>(n);
   }
   close(fd);
   return used;
}

/* Compressing writer of the dump file. */
struct GzipSink
{
   z_stream zs;
   int fd;
   bool failed;

   bool start(int out)
   {
      fd = out;
      failed = false;
      g_arenaUsed = 0;
      memset(&zs, 0, sizeof(zs));
      zs.zalloc = ArenaAlloc;
      zs.zfree = ArenaFree;
      return deflateInit2(&zs, DUMP_LEVEL, Z_DEFLATED, DUMP_WINDOW_BITS, DUMP_MEMORY_LEVEL, Z_DEFAULT_STRATEGY) == Z_OK;
   }

   void pump(int flush)
   {
      do
      {
         zs.next_out = g_out;
         zs.avail_out = OUT_BYTES;
         if (deflate(&zs, flush) == Z_STREAM_ERROR)
         {
            failed = true;
            return;
         }
         size_t have = OUT_BYTES - zs.avail_out;
         if (have > 0 && !CrashFileWrite(fd, reinterpret_cast<const char *>(g_out), have))
         {
            failed = true;
            return;
         }
      } while (zs.avail_out == 0);
   }

   void put(const void *data, size_t count)
   {
      if (failed || count == 0)
         return;
      zs.next_in = static_cast<Bytef *>(const_cast<void *>(data));
      zs.avail_in = static_cast<uInt>(count);
      pump(Z_NO_FLUSH);
   }

   void zeros(size_t count)
   {
      memset(g_read, 0, (count < READ_BYTES) ? count : READ_BYTES);
      while (count > 0 && !failed)
      {
         size_t piece = (count < READ_BYTES) ? count : READ_BYTES;
         put(g_read, piece);
         count -= piece;
      }
   }

   bool finish()
   {
      if (!failed)
      {
         zs.next_in = nullptr;
         zs.avail_in = 0;
         pump(Z_FINISH);
      }
      deflateEnd(&zs);
      return !failed;
   }
};

/* Copies memory of the process at address into g_read through the kernel; unreadable
 * pages become zeros. */
void ReadMemory(uintptr_t address, size_t count)
{
   size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
   size_t done = 0;
   while (done < count)
   {
      struct iovec local = {g_read + done, count - done};
      struct iovec remote = {reinterpret_cast<void *>(address + done), count - done};
      ssize_t n = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
      if (n > 0)
      {
         done += static_cast<size_t>(n);
         continue;
      }
      // The page at address + done cannot be read: zeros for it, then go on after it.
      size_t skip = page - ((address + done) % page);
      if (skip > count - done)
         skip = count - done;
      memset(g_read + done, 0, skip);
      done += skip;
   }
}

bool StartsWith(const char *text, const char *prefix)
{
   while (*prefix != 0)
   {
      if (*text++ != *prefix++)
         return false;
   }
   return true;
}

bool SameText(const char *a, const char *b)
{
   while (*a != 0 && *a == *b)
   {
      a++;
      b++;
   }
   return *a == *b;
}

/* Whether the memory of mapping i goes into the dump. */
bool IsDumped(size_t i, size_t count, bool fullMemory)
{
   const Mapping &m = MemoryMapEntry(i);
   if ((m.flags & MAPPING_READ) == 0 || m.end - m.start > MAX_DUMPED_MAPPING)
      return false;
   // Reading these has effects or faults; device memory is not the process's data.
   if (SameText(m.path, "[vvar]") || SameText(m.path, "[vsyscall]"))
      return false;
   if (StartsWith(m.path, "/dev/") && !StartsWith(m.path, "/dev/shm/") && !StartsWith(m.path, "/dev/zero"))
      return false;
   if (fullMemory || (m.flags & MAPPING_WRITE) != 0 || SameText(m.path, "[vdso]"))
      return true;
   // The relocated read-only data of a module (where the loader keeps its list of
   // modules for a debugger) sits just before the module's writable data.
   if (m.inode != 0 && (m.flags & (MAPPING_SHARED | MAPPING_EXECUTE)) == 0 && i + 1 < count)
   {
      const Mapping &next = MemoryMapEntry(i + 1);
      return next.start == m.end && next.inode == m.inode && (next.flags & MAPPING_WRITE) != 0;
   }
   return false;
}

/* Appends one ELF note to g_notes; false when it does not fit. */
bool AddNote(const char *name, uint32_t type, const void *desc, size_t descSize)
{
   size_t nameSize = SafeLength(name) + 1;
   size_t total = sizeof(Elf64_Nhdr) + ((nameSize + 3) & ~size_t(3)) + ((descSize + 3) & ~size_t(3));
   if (total > NOTES_BYTES - g_notesUsed)
      return false;
   unsigned char *p = g_notes + g_notesUsed;
   memset(p, 0, total);
   Elf64_Nhdr header;
   header.n_namesz = static_cast<Elf64_Word>(nameSize);
   header.n_descsz = static_cast<Elf64_Word>(descSize);
   header.n_type = type;
   memcpy(p, &header, sizeof(header));
   memcpy(p + sizeof(header), name, nameSize);
   memcpy(p + sizeof(header) + ((nameSize + 3) & ~size_t(3)), desc, descSize);
   g_notesUsed += total;
   return true;
}

#if defined(__x86_64__)
/* User code and stack segment selectors of x86-64 Linux. */
constexpr unsigned long USER_SS = 0x2b;

void FillRegisters(const ucontext_t *uc, struct user_regs_struct *r)
{
   const greg_t *g = uc->uc_mcontext.gregs;
   memset(r, 0, sizeof(*r));
   r->r15 = static_cast<unsigned long>(g[REG_R15]);
   r->r14 = static_cast<unsigned long>(g[REG_R14]);
   r->r13 = static_cast<unsigned long>(g[REG_R13]);
   r->r12 = static_cast<unsigned long>(g[REG_R12]);
   r->rbp = static_cast<unsigned long>(g[REG_RBP]);
   r->rbx = static_cast<unsigned long>(g[REG_RBX]);
   r->r11 = static_cast<unsigned long>(g[REG_R11]);
   r->r10 = static_cast<unsigned long>(g[REG_R10]);
   r->r9 = static_cast<unsigned long>(g[REG_R9]);
   r->r8 = static_cast<unsigned long>(g[REG_R8]);
   r->rax = static_cast<unsigned long>(g[REG_RAX]);
   r->rcx = static_cast<unsigned long>(g[REG_RCX]);
   r->rdx = static_cast<unsigned long>(g[REG_RDX]);
   r->rsi = static_cast<unsigned long>(g[REG_RSI]);
   r->rdi = static_cast<unsigned long>(g[REG_RDI]);
   r->orig_rax = static_cast<unsigned long>(-1);
   r->rip = static_cast<unsigned long>(g[REG_RIP]);
   r->cs = static_cast<unsigned long>(g[REG_CSGSFS]) & 0xFFFF;
   r->eflags = static_cast<unsigned long>(g[REG_EFL]);
   r->rsp = static_cast<unsigned long>(g[REG_RSP]);
   r->ss = USER_SS;
   unsigned long fsBase = 0;
   syscall(SYS_arch_prctl, ARCH_GET_FS, &fsBase);
   r->fs_base = fsBase;
}
#endif

void BuildProcessNotes(const CrashEvent *event)
{
   const siginfo_t *info = static_cast<const siginfo_t *>(event->signalInfo);
#if defined(__x86_64__)
   const ucontext_t *uc = static_cast<const ucontext_t *>(event->context);
   struct elf_prstatus status;
   memset(&status, 0, sizeof(status));
   status.pr_info.si_signo = event->signal;
   status.pr_info.si_code = event->signalCode;
   status.pr_cursig = static_cast<short>(event->signal);
   status.pr_pid = static_cast<pid_t>(event->threadId);
   status.pr_ppid = getppid();
   status.pr_pgrp = getpgrp();
   status.pr_sid = getsid(0);
   FillRegisters(uc, reinterpret_cast<struct user_regs_struct *>(&status.pr_reg));
   status.pr_fpvalid = (uc->uc_mcontext.fpregs != nullptr) ? 1 : 0;
   AddNote("CORE", NT_PRSTATUS, &status, sizeof(status));
#endif

   struct elf_prpsinfo process;
   memset(&process, 0, sizeof(process));
   process.pr_sname = 'R';
   process.pr_uid = getuid();
   process.pr_gid = getgid();
   process.pr_pid = getpid();
   process.pr_ppid = getppid();
   process.pr_pgrp = getpgrp();
   process.pr_sid = getsid(0);
   size_t n = ReadProcFile("/proc/self/comm", reinterpret_cast<unsigned char *>(process.pr_fname),
                           sizeof(process.pr_fname) - 1);
   if (n > 0 && process.pr_fname[n - 1] == '\n')
      process.pr_fname[n - 1] = 0;
   n = ReadProcFile("/proc/self/cmdline", reinterpret_cast<unsigned char *>(process.pr_psargs),
                    sizeof(process.pr_psargs) - 1);
   for (size_t i = 0; i + 1 < n; i++)
   {
      if (process.pr_psargs[i] == 0)
         process.pr_psargs[i] = ' ';
   }
   AddNote("CORE", NT_PRPSINFO, &process, sizeof(process));

   if (info != nullptr)
      AddNote("CORE", NT_SIGINFO, info, sizeof(siginfo_t));
   // The auxiliary vector, read into the read buffer for a moment.
   n = ReadProcFile("/proc/self/auxv", g_read, READ_BYTES);
   if (n > 0)
      AddNote("CORE", NT_AUXV, g_read, n);
#if defined(__x86_64__)
   if (uc->uc_mcontext.fpregs != nullptr)
      AddNote("CORE", NT_FPREGSET, uc->uc_mcontext.fpregs, sizeof(struct user_fpregs_struct));
#endif
}

/* The list of mapped files: count, page size, (start, end, page offset) per file, then
 * the names. Built in the read buffer. */
void BuildFileNote(size_t count)
{
   uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
   size_t files = 0;
   for (size_t i = 0; i < count; i++)
      files += (MemoryMapEntry(i).path[0] == '/') ? 1 : 0;
   size_t used = 2 * sizeof(uint64_t) + files * 3 * sizeof(uint64_t);
   if (used > READ_BYTES)
      return;
   uint64_t *words = reinterpret_cast<uint64_t *>(g_read);
   words[0] = files;
   words[1] = page;
   size_t k = 0;
   for (size_t i = 0; i < count; i++)
   {
      const Mapping &m = MemoryMapEntry(i);
      if (m.path[0] != '/')
         continue;
      size_t length = SafeLength(m.path) + 1;
      if (used + length > READ_BYTES)
         return;
      words[2 + 3 * k] = m.start;
      words[3 + 3 * k] = m.end;
      words[4 + 3 * k] = m.offset / page;
      memcpy(g_read + used, m.path, length);
      used += length;
      k++;
   }
   AddNote("CORE", NT_FILE, g_read, used);
}

}  // namespace

namespace qv {
namespace platform {

int CrashFileCreate(const char *path, bool privateFile)
{
   return OpenRetry(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, privateFile ? PRIVATE_MODE : REPORT_MODE);
}

bool CrashFileWrite(int fd, const char *bytes, size_t count)
{
   while (count > 0)
   {
      ssize_t n = write(fd, bytes, count);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return false;
      bytes += n;
      count -= static_cast<size_t>(n);
   }
   return true;
}

void CrashFileClose(int fd)
{
   if (fd >= 0)
      close(fd);
}

void CrashFileRemove(const char *path)
{
   unlink(path);
}

uint32_t CrashProcessId()
{
   return static_cast<uint32_t>(getpid());
}

int64_t CrashTimeNow()
{
   struct timespec ts;
   clock_gettime(CLOCK_REALTIME, &ts);
   return static_cast<int64_t>(ts.tv_sec);
}

void CrashLocalTimePrepare()
{
   time_t now = time(nullptr);
   struct tm local;
   if (localtime_r(&now, &local) != nullptr)
      g_utcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
}

void CrashLocalTimeOf(int64_t t, CrashLocalTime *out)
{
   int64_t local = t + g_utcOffset.load(std::memory_order_relaxed);
   int64_t days = local / SECONDS_PER_DAY;
   int64_t rest = local % SECONDS_PER_DAY;
   if (rest < 0)
   {
      rest += SECONDS_PER_DAY;
      days--;
   }
   out->hour = static_cast<int>(rest / 3600);
   out->minute = static_cast<int>(rest / 60 % 60);
   out->second = static_cast<int>(rest % 60);
   out->weekday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
   // Civil date from days since 1970 (proleptic Gregorian calendar).
   int64_t z = days + 719468;
   int64_t era = (z >= 0 ? z : z - 146096) / 146097;
   int64_t doe = z - era * 146097;
   int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
   int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
   int64_t mp = (5 * doy + 2) / 153;
   int64_t day = doy - (153 * mp + 2) / 5 + 1;
   int64_t month = mp < 10 ? mp + 3 : mp - 9;
   out->year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
   out->month = static_cast<int>(month);
   out->day = static_cast<int>(day);
}

bool CrashDumpWrite(int fd, const CrashEvent *event, bool fullMemory, const char *comment)
{
#if !defined(__x86_64__)
   (void)fd;
   (void)event;
   (void)fullMemory;
   (void)comment;
   return false;
#else
   size_t count = MemoryMapRead();
   if (count == 0)
      return false;
   uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
   g_notesUsed = 0;
   BuildProcessNotes(event);
   BuildFileNote(count);
   if (comment != nullptr)
      AddNote(COMMENT_NOTE_NAME, COMMENT_NOTE_TYPE, comment, SafeLength(comment) + 1);

   size_t phnum = count + 1;
   uint64_t notesOffset = sizeof(Elf64_Ehdr) + phnum * sizeof(Elf64_Phdr);
   uint64_t dataOffset = (notesOffset + g_notesUsed + page - 1) / page * page;

   Elf64_Ehdr header;
   memset(&header, 0, sizeof(header));
   memcpy(header.e_ident, ELFMAG, SELFMAG);
   header.e_ident[EI_CLASS] = ELFCLASS64;
   header.e_ident[EI_DATA] = ELFDATA2LSB;
   header.e_ident[EI_VERSION] = EV_CURRENT;
   header.e_ident[EI_OSABI] = ELFOSABI_NONE;
   header.e_type = ET_CORE;
   header.e_machine = EM_X86_64;
   header.e_version = EV_CURRENT;
   header.e_phoff = sizeof(Elf64_Ehdr);
   header.e_ehsize = sizeof(Elf64_Ehdr);
   header.e_phentsize = sizeof(Elf64_Phdr);
   header.e_phnum = static_cast<Elf64_Half>(phnum);

   GzipSink sink;
   if (!sink.start(fd))
      return false;
   sink.put(&header, sizeof(header));

   Elf64_Phdr note;
   memset(&note, 0, sizeof(note));
   note.p_type = PT_NOTE;
   note.p_offset = notesOffset;
   note.p_filesz = g_notesUsed;
   note.p_align = 4;
   sink.put(&note, sizeof(note));

   uint64_t offset = dataOffset;
   for (size_t i = 0; i < count; i++)
   {
      const Mapping &m = MemoryMapEntry(i);
      g_dumped[i] = IsDumped(i, count, fullMemory);
      Elf64_Phdr load;
      memset(&load, 0, sizeof(load));
      load.p_type = PT_LOAD;
      load.p_offset = offset;
      load.p_vaddr = m.start;
      load.p_memsz = m.end - m.start;
      load.p_filesz = g_dumped[i] ? load.p_memsz : 0;
      load.p_flags = ((m.flags & MAPPING_READ) ? PF_R : 0) | ((m.flags & MAPPING_WRITE) ? PF_W : 0) |
                     ((m.flags & MAPPING_EXECUTE) ? PF_X : 0);
      load.p_align = page;
      offset += load.p_filesz;
      sink.put(&load, sizeof(load));
   }
   sink.put(g_notes, g_notesUsed);
   sink.zeros(dataOffset - notesOffset - g_notesUsed);

   for (size_t i = 0; i < count && !sink.failed; i++)
   {
      if (!g_dumped[i])
         continue;
      const Mapping &m = MemoryMapEntry(i);
      for (uintptr_t address = m.start; address < m.end && !sink.failed; address += READ_BYTES)
      {
         size_t piece = (m.end - address < READ_BYTES) ? m.end - address : READ_BYTES;
         ReadMemory(address, piece);
         sink.put(g_read, piece);
      }
   }
   return sink.finish();
#endif
}

}  // namespace platform
}  // namespace qv
