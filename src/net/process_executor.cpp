/* ProcessExecutor: a shell command in a process group of its own, its output read by a
 * thread of the executor and passed to the derived class in chunks. */
#include <qv_net.h>
#include <qv_log.h>
#include <qv_platform.h>

#include "platform/child_process.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

using namespace qv::platform;

namespace {

/* Numbers of executors (stream ids) and of output pipes, process-wide; the first of each
 * is 1. */
uint32_t g_streamIds = 0;
uint32_t g_pipeNumbers = 0;

/* Silence after which the reader gives a sign of life (an empty chunk). */
constexpr uint32_t SIGN_OF_LIFE_MS = 5000;

/* Bytes one read takes from the pipe; they are passed on in chunks of at most
 * OUTPUT_CHUNK_SIZE. Large reads keep the system calls few for commands that write a lot. */
constexpr size_t READ_BUFFER_SIZE = 64 * 1024;

/* While output keeps coming, the reader looks whether the command has ended after this
 * many reads, so that background jobs writing on cannot hold it. */
constexpr unsigned END_CHECK_READS = 16;

/* The shell the command runs in, as the debug lines show it. */
const wchar_t COMMAND_LINE_FORMAT[] = L"/bin/sh -c %s";

/* Room for a system error text. */
constexpr size_t ERROR_TEXT_CHARS = 256;

/* Room for the reader thread's name. */
constexpr size_t THREAD_NAME_BYTES = 32;

}  // namespace

ProcessExecutor::ProcessExecutor(const wchar_t *command)
    : m_streamId(__atomic_add_fetch(&g_streamIds, 1, __ATOMIC_RELAXED)), m_outputReader(nullptr), m_process(nullptr),
      m_outputPipe(-1), m_running(false), m_command(qv_wcsdup(command)), m_sendOutput(false)
{}

ProcessExecutor::~ProcessExecutor()
{
   stopAndWait();
   free(m_command);
   releaseProcess();
}

void ProcessExecutor::stopAndWait()
{
   stop();
   // The reader ends once it has seen the command end, and calls no hook afterwards.
   if (m_outputReader != nullptr)
      ThreadWaitForExit(m_outputReader);
   m_outputReader = nullptr;
}

void ProcessExecutor::onOutput(const char *text) {}

void ProcessExecutor::endOfOutput() {}

void ProcessExecutor::releaseProcess()
{
   ChildRelease(m_process);
   m_process = nullptr;
}

bool ProcessExecutor::execute()
{
   if (m_command == nullptr)
      return false;
   if (__atomic_load_n(&m_running, __ATOMIC_ACQUIRE))
   {
      if (m_process != nullptr && ChildRunning(m_process))
         return false;
      __atomic_store_n(&m_running, false, __ATOMIC_RELEASE);
   }
   if (m_outputReader != nullptr)
   {
      ThreadWaitForExit(m_outputReader);
      m_outputReader = nullptr;
   }
   releaseProcess();

   wchar_t *commandLine = qv_aswprintf(COMMAND_LINE_FORMAT, m_command);
   char *utf8 = UTF8StringFromWideString(m_command);
   wchar_t errorText[ERROR_TEXT_CHARS];
   int readEnd = -1;
   int writeEnd = -1;
   int error = 0;
   if (utf8 == nullptr || commandLine == nullptr)
   {
      free(utf8);
      free(commandLine);
      return false;
   }
   if (m_sendOutput && !OutputPipeCreate(&readEnd, &writeEnd, &error))
   {
      qvlog_debug(4, L"ProcessExecutor::execute(): cannot create pipe (%s)",
                  GetSystemErrorText(static_cast<uint32_t>(error), errorText, ERROR_TEXT_CHARS));
      free(utf8);
      free(commandLine);
      return false;
   }

   QvChildProcess *child = ChildStart(utf8, writeEnd, &error);
   // The child has its own copy of the write end; this one would keep the pipe open.
   PipeEndClose(writeEnd);
   free(utf8);
   if (child == nullptr)
   {
      qvlog_debug(4, L"ProcessExecutor::execute(): cannot create process \"%s\" (%s)", commandLine,
                  GetSystemErrorText(static_cast<uint32_t>(error), errorText, ERROR_TEXT_CHARS));
      PipeEndClose(readEnd);
      free(commandLine);
      return false;
   }
   qvlog_debug(5, L"ProcessExecutor::execute(): process \"%s\" started", commandLine);
   free(commandLine);
   m_process = child;
   __atomic_store_n(&m_running, true, __ATOMIC_RELEASE);

   if (m_sendOutput)
   {
      uint32_t pipeNumber = __atomic_add_fetch(&g_pipeNumbers, 1, __ATOMIC_RELAXED);
      __atomic_store_n(&m_outputPipe, readEnd, __ATOMIC_RELEASE);
      m_outputReader = ThreadStart(outputReaderEntry, 0, this);
      if (m_outputReader == nullptr)
      {
         // Without a reader the output would go nowhere and the command would die of it:
         // it does not run at all.
         qvlog_debug(4, L"ProcessExecutor::execute(): cannot start output reader for \"%s\"", m_command);
         __atomic_store_n(&m_outputPipe, -1, __ATOMIC_RELEASE);
         PipeEndClose(readEnd);
         ChildKillGroup(m_process, STOPPED_EXIT_CODE);
         releaseProcess();
         __atomic_store_n(&m_running, false, __ATOMIC_RELEASE);
         return false;
      }
      char name[THREAD_NAME_BYTES];
      qv_snprintf(name, sizeof(name), "qvexec-%u", pipeNumber);
      ThreadSetName(m_outputReader, name);
   }
   return true;
}

void ProcessExecutor::stop()
{
   if (m_process != nullptr)
      ChildKillGroup(m_process, STOPPED_EXIT_CODE);
   __atomic_store_n(&m_running, false, __ATOMIC_RELEASE);
}

bool ProcessExecutor::isRunning()
{
   if (!__atomic_load_n(&m_running, __ATOMIC_ACQUIRE))
      return false;
   if (m_process != nullptr && ChildRunning(m_process))
      return true;
   __atomic_store_n(&m_running, false, __ATOMIC_RELEASE);
   return false;
}

bool ProcessExecutor::waitForCompletion(uint32_t timeout)
{
   // After stop() the command is not running but may still be dying: wait for its end, so
   // that the exit code read next is the final one.
   if (m_process == nullptr)
      return true;
   return ChildWaitEnd(m_process, timeout);
}

int32_t ProcessExecutor::getExitCode()
{
   return (m_process != nullptr) ? ChildExitCode(m_process) : -1;
}

int32_t ProcessExecutor::getProcessId()
{
   return (m_process != nullptr) ? ChildId(m_process) : 0;
}

void ProcessExecutor::outputReaderEntry(void *executor)
{
   readOutput(executor);
}

void ProcessExecutor::readOutput(void *executor)
{
   ProcessExecutor *self = static_cast<ProcessExecutor *>(executor);
   int pipe = self->getOutputPipe();
   QvChildProcess *child = self->m_process;
   wchar_t errorText[ERROR_TEXT_CHARS];
   // One byte more than a read takes, for the terminator of the last chunk.
   char *buffer = static_cast<char *>(malloc(READ_BUFFER_SIZE + 1));

   // Passes n bytes at buffer on in terminated chunks of at most OUTPUT_CHUNK_SIZE. A zero
   // byte would end a chunk's text early and hide what follows it, so chunks are also cut
   // there and the zero bytes themselves left out.
   auto deliver = [self, buffer](size_t n) {
      for (size_t offset = 0; offset < n; offset += OUTPUT_CHUNK_SIZE)
      {
         size_t end = (n - offset > OUTPUT_CHUNK_SIZE) ? offset + OUTPUT_CHUNK_SIZE : n;
         char saved = buffer[end];
         buffer[end] = 0;
         for (size_t start = offset; start < end;)
         {
            const char *zero = static_cast<const char *>(memchr(buffer + start, 0, end - start));
            size_t stop = (zero != nullptr) ? static_cast<size_t>(zero - buffer) : end;
            if (stop > start)
               self->onOutput(buffer + start);
            start = stop + 1;
         }
         buffer[end] = saved;
      }
   };
   // Delivers what lies in the pipe at this moment: every byte of a command that has
   // ended is there, and what background jobs add later does not hold the reader.
   auto drain = [&deliver, buffer, pipe]() {
      size_t pending = OutputPending(pipe);
      while (pending > 0)
      {
         ptrdiff_t n = OutputRead(pipe, buffer, (pending < READ_BUFFER_SIZE) ? pending : READ_BUFFER_SIZE);
         if (n <= 0)
            break;
         deliver(static_cast<size_t>(n));
         pending -= (static_cast<size_t>(n) < pending) ? static_cast<size_t>(n) : pending;
      }
   };

   unsigned readsSinceCheck = 0;
   while (buffer != nullptr)
   {
      ptrdiff_t n = OutputRead(pipe, buffer, READ_BUFFER_SIZE);
      if (n > 0)
      {
         deliver(static_cast<size_t>(n));
         if (++readsSinceCheck >= END_CHECK_READS)
         {
            readsSinceCheck = 0;
            if (!ChildRunning(child))
            {
               qvlog_debug(6, L"ProcessExecutor::readOutput(): process termination detected");
               drain();
               break;
            }
         }
         continue;
      }
      if (n == 0)
         break;  // every writer has closed the pipe
      if (n == -1)
      {
         qvlog_debug(6, L"ProcessExecutor::readOutput(): stopped on ReadFile (%s)",
                     GetSystemErrorText(static_cast<uint32_t>(errno), errorText, ERROR_TEXT_CHARS));
         break;
      }
      OutputEvent event = ChildWaitOutput(child, pipe, SIGN_OF_LIFE_MS);
      if (event == OutputEvent::TIMEOUT)
      {
         self->onOutput("");
      }
      else if (event == OutputEvent::ENDED)
      {
         qvlog_debug(6, L"ProcessExecutor::readOutput(): process termination detected");
         drain();
         break;
      }
      else if (event == OutputEvent::FAILED)
      {
         qvlog_debug(6, L"ProcessExecutor::readOutput(): stopped on GetOverlappedResult (%s)",
                     GetSystemErrorText(static_cast<uint32_t>(errno), errorText, ERROR_TEXT_CHARS));
         break;
      }
   }
   free(buffer);
   __atomic_store_n(&self->m_outputPipe, -1, __ATOMIC_RELEASE);
   PipeEndClose(pipe);
   self->endOfOutput();
}
