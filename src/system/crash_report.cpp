/* The console and service crash handlers: the report file, the dump, the log event and
 * the notices. Crash path throughout: fixed buffers and system calls only. */
#include "system/crash.h"

#include "log/log_ring.h"
#include "log/log_writer.h"
#include "platform/crash_dump.h"
#include "platform/crash_frame.h"
#include "platform/safe_text.h"

using namespace qv::log;
using namespace qv::platform;
using namespace qv::system;

namespace {

/* Room for a report or dump file name in UTF-8 and in wide characters. */
constexpr size_t FILE_NAME_BYTES = CRASH_DUMP_DIR_CHARS * 4 + 256;
constexpr size_t FILE_NAME_CHARS = CRASH_DUMP_DIR_CHARS + 128;

/* Room for one formatted block of the report. */
constexpr size_t BLOCK_BYTES = 4096;

/* Room for the numeric inserts of the log event. */
constexpr size_t INSERT_CHARS = 32;

const char WEEKDAYS[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char MONTHS[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

/* The report being written, for SEHServiceExceptionDataWriter; -1 when none. */
int g_reportFd = -1;

/* Wide text in caller storage, cut to its size. */
struct WideText
{
   wchar_t *buffer;
   size_t size;
   size_t length;

   WideText(wchar_t *b, size_t s) : buffer(b), size(s), length(0) { buffer[0] = 0; }
   WideText &append(const wchar_t *text)
   {
      for (; *text != 0 && length + 1 < size; text++)
         buffer[length++] = *text;
      buffer[length] = 0;
      return *this;
   }
   WideText &appendAscii(const char *text)
   {
      for (; *text != 0 && length + 1 < size; text++)
         buffer[length++] = static_cast<wchar_t>(*text);
      buffer[length] = 0;
      return *this;
   }
};

/* "<dir>/<base>-<pid>-<t><extension>". */
void BuildFileName(wchar_t *out, int64_t t, const char *extension)
{
   char digits[64];
   SafeText numbers(digits, sizeof(digits));
   numbers.append('-').appendUnsigned(CrashProcessId()).append('-').appendUnsigned(static_cast<uint64_t>(t));
   numbers.append(extension);
   WideText name(out, FILE_NAME_CHARS);
   const CrashSettings &s = Crash();
   name.append(s.dumpDir);
   if (name.length > 0 && out[name.length - 1] != L'/')
      name.append(L"/");
   name.append(s.baseName).appendAscii(digits);
}

void WriteReport(const SafeText &text)
{
   if (g_reportFd >= 0)
      CrashFileWrite(g_reportFd, text.text(), text.length());
}

/* ctime's form: "Www Mmm dd hh:mm:ss yyyy\n", the day padded with a blank. */
void AppendCtime(SafeText *text, int64_t t)
{
   CrashLocalTime local;
   CrashLocalTimeOf(t, &local);
   text->append(WEEKDAYS[local.weekday % 7]).append(' ').append(MONTHS[(local.month - 1) % 12]).append(' ');
   if (local.day < 10)
      text->append(' ');
   text->appendSigned(local.day).append(' ');
   text->appendUnsigned(static_cast<uint64_t>(local.hour), 10, 2).append(':');
   text->appendUnsigned(static_cast<uint64_t>(local.minute), 10, 2).append(':');
   text->appendUnsigned(static_cast<uint64_t>(local.second), 10, 2).append(' ');
   text->appendSigned(local.year).append('\n');
}

const char *ProcessorArchitecture()
{
#if defined(__x86_64__)
   return "AMD64 (Intel EM64T)\n";
#elif defined(__i386__)
   return "Intel x86\n";
#elif defined(__ia64__)
   return "Intel IA-64\n";
#elif defined(__powerpc__)
   return "PowerPC\n";
#elif defined(__mips__)
   return "MIPS\n";
#elif defined(__alpha__)
   return "ALPHA\n";
#else
   return "UNKNOWN\n";
#endif
}

void WriteLogLine(void *, const char *line, size_t length)
{
   if (g_reportFd >= 0)
   {
      CrashFileWrite(g_reportFd, line, length);
      CrashFileWrite(g_reportFd, "\n", 1);
   }
}

void WriteReportFile(const wchar_t *name, EXCEPTION_POINTERS *pInfo, int64_t t)
{
   char path[FILE_NAME_BYTES];
   SafeText pathText(path, sizeof(path));
   AppendWide(pathText, name);
   int fd = CrashFileCreate(path, false);
   if (fd < 0)
      return;
   g_reportFd = fd;
   const CrashSettings &s = Crash();
   DWORD code = pInfo->ExceptionRecord->ExceptionCode;
   char buffer[BLOCK_BYTES];
   SafeText text(buffer, sizeof(buffer));
   for (const wchar_t *p = s.baseName; *p != 0; p++)
   {
      wchar_t c = (*p >= L'a' && *p <= L'z') ? *p - L'a' + L'A' : *p;
      wchar_t one[2] = {c, 0};
      AppendWide(text, one);
   }
   text.append(" CRASH DUMP\n");
   AppendCtime(&text, t);
   text.append('\n');
   text.append("EXCEPTION: ").appendHex(code, 8).append(" (");
   AppendWide(text, SEHExceptionName(code)).append(") at ");
   text.appendHex(reinterpret_cast<uintptr_t>(pInfo->ExceptionRecord->ExceptionAddress), 16).append('\n');
   text.append("\nQorvel Version: ").append(CrashVersionText()).append('\n');
   text.append("Qorvel Build Tag: ").append(CrashBuildTag()).append('\n');
   text.append("OS Version: ");
   if (s.osVersion[0] != 0)
      AppendWide(text, s.osVersion);
   else
      text.append("ERROR");
   text.append('\n');
   text.append("Processor architecture: ").append(ProcessorArchitecture());
   text.append("\nCall stack:\n");
   WriteReport(text);
   SEHShowCallStack(pInfo->ContextRecord);
   text.clear();
   text.append("\nLast log lines:\n");
   WriteReport(text);
   qv::log::LogRingRead(WriteLogLine, nullptr);
   g_reportFd = -1;
   CrashFileClose(fd);
}

/* The dump, straight into "<name>.gz"; removed when it could not be written whole. */
void WriteDumpFile(const wchar_t *name, EXCEPTION_POINTERS *pInfo)
{
   CONTEXT *context = pInfo->ContextRecord;
   if (context == nullptr || context->PlatformContext == nullptr)
      return;
   char path[FILE_NAME_BYTES];
   SafeText pathText(path, sizeof(path));
   AppendWide(pathText, name).append(".gz");
   int fd = CrashFileCreate(path, true);
   if (fd < 0)
      return;
   char comment[BLOCK_BYTES];
   SafeText commentText(comment, sizeof(comment));
   commentText.append("Version=").append(CrashVersionText()).append("; BuildTag=").append(CrashBuildTag());
   CrashEvent event;
   event.signal = context->SignalNumber;
   event.signalCode = context->SignalCode;
   event.exceptionCode = pInfo->ExceptionRecord->ExceptionCode;
   event.instructionAddress = pInfo->ExceptionRecord->ExceptionAddress;
   event.faultAddress = reinterpret_cast<void *>(pInfo->ExceptionRecord->ExceptionInformation[1]);
   event.threadId = context->ThreadId;
   event.context = context->PlatformContext;
   event.signalInfo = context->PlatformSignalInfo;
   bool written = CrashDumpWrite(fd, &event, Crash().fullDump != 0, comment);
   CrashFileClose(fd);
   if (!written)
      CrashFileRemove(path);
}

void AppendHexInsert(wchar_t *out, uint64_t value, int digits)
{
   char ascii[INSERT_CHARS];
   SafeText text(ascii, sizeof(ascii));
   text.append("0x").appendHex(value, digits);
   WideText(out, INSERT_CHARS).appendAscii(ascii);
}

}  // namespace

QV_API void SEHServiceExceptionDataWriter(const wchar_t *text)
{
   if (g_reportFd < 0 || text == nullptr)
      return;
   char buffer[BLOCK_BYTES];
   SafeText line(buffer, sizeof(buffer));
   AppendWide(line, text);
   WriteReport(line);
}

QV_API int SEHDefaultConsoleHandler(EXCEPTION_POINTERS *pInfo)
{
   char buffer[BLOCK_BYTES];
   SafeText text(buffer, sizeof(buffer));
   DWORD code = pInfo->ExceptionRecord->ExceptionCode;
   text.append("EXCEPTION: ").appendHex(code, 8).append(" (");
   AppendWide(text, SEHExceptionName(code)).append(") at ");
   text.appendPointer(pInfo->ExceptionRecord->ExceptionAddress).append("\n\nCall stack:\n");
   CrashWriteStdout(text.text(), text.length());
   SEHShowCallStack(pInfo->ContextRecord);
   static const char TERMINATED[] = "\nPROCESS TERMINATED\n";
   CrashWriteStdout(TERMINATED, sizeof(TERMINATED) - 1);
   return 1;
}

QV_API int SEHServiceExceptionHandler(EXCEPTION_POINTERS *pInfo)
{
   int64_t t = CrashTimeNow();
   DWORD code = pInfo->ExceptionRecord->ExceptionCode;
   uintptr_t address = reinterpret_cast<uintptr_t>(pInfo->ExceptionRecord->ExceptionAddress);

   wchar_t reportName[FILE_NAME_CHARS];
   BuildFileName(reportName, t, ".info");
   WriteReportFile(reportName, pInfo, t);

   wchar_t dumpName[FILE_NAME_CHARS];
   BuildFileName(dumpName, t, ".mdmp");
   WriteDumpFile(dumpName, pInfo);

   // The address goes into the event whole: a 32-bit insert would cut it.
   wchar_t codeText[INSERT_CHARS];
   wchar_t addressText[INSERT_CHARS];
   AppendHexInsert(codeText, code, 8);
   AppendHexInsert(addressText, address, 16);
   const wchar_t *inserts[5] = {codeText, SEHExceptionName(code), addressText, reportName, dumpName};
   LogWriteCrashEvent(Crash().logMessageCode, EVENTLOG_ERROR_TYPE, inserts, 5);

   if (Crash().printToScreen)
   {
      char buffer[BLOCK_BYTES];
      SafeText text(buffer, sizeof(buffer));
      text.append("\n\n*************************************************************\nEXCEPTION: ");
      text.appendHex(code, 8).append(" (");
      AppendWide(text, SEHExceptionName(code)).append(") at ");
      text.appendHex(address, 16).append("\nPROCESS TERMINATED");
      CrashWriteStdout(text.text(), text.length());
   }
   return 1;
}
