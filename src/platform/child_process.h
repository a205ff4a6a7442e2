/* Internal child processes of the process executor: a shell command started in a
 * process group of its own with its output going to one pipe, its state and exit code,
 * killing the group, and waits on the output pipe that also wake on the command's end.
 * No OS header appears here; the POSIX side is child_process_posix.cpp. */
#ifndef QORVEL_PLATFORM_CHILD_PROCESS_H
#define QORVEL_PLATFORM_CHILD_PROCESS_H

#include <qv_base.h>

/* A started child (definition in child_process_posix.cpp). */
struct QvChildProcess;

namespace qv::platform {

/* A new pipe for a child's output: its read end (non-blocking) and its write end, both
 * not inherited by children except as ChildStart hands the write end over. False with
 * the reason (an errno value) in *error. */
bool OutputPipeCreate(int *readEnd, int *writeEnd, int *error);

/* Starts "/bin/sh -c command" (command in UTF-8) in a new process group, standard input
 * at end of file, standard output and standard error both to output (the write end of an
 * output pipe, which the caller still closes afterwards) or, for -1, to the null
 * device. Null on failure, with the reason (an errno value) in *error. */
QvChildProcess *ChildStart(const char *command, int output, int *error);

/* The child's process id. */
int32_t ChildId(const QvChildProcess *child);

/* Whether the child has not ended yet; an ended child's exit code is kept. The child is
 * not reaped here, so its process group cannot be reused while the object lives. A child
 * that can no longer be asked about (reaped by someone else) counts as ended. */
bool ChildRunning(QvChildProcess *child);

/* Waits up to timeout milliseconds (INFINITE: no limit) for the child to end; true when
 * it has ended. */
bool ChildWaitEnd(QvChildProcess *child, uint32_t timeout);

/* Kills the child's whole process group unless the child has ended already; the exit
 * code of a child killed so is stoppedCode. */
void ChildKillGroup(QvChildProcess *child, int32_t stoppedCode);

/* The exit code of an ended child (128 plus the signal for one killed by a signal other
 * than ChildKillGroup's), -1 while it runs or when it is unknown. */
int32_t ChildExitCode(QvChildProcess *child);

/* Kills the process group if the child still runs, reaps the child and frees the object;
 * null is ignored. */
void ChildRelease(QvChildProcess *child);

/* What a wait on the output pipe saw. */
enum class OutputEvent
{
   DATA,     // the pipe can be read (bytes or its end)
   ENDED,    // the child ended and the pipe had nothing at that moment
   TIMEOUT,  // neither within the time-out
   FAILED    // the wait failed; the reason is in errno
};

/* Waits up to timeout milliseconds for the output pipe to be readable or for the child to
 * end; readable data wins when both happened. */
OutputEvent ChildWaitOutput(QvChildProcess *child, int output, uint32_t timeout);

/* One read of at most size bytes from the non-blocking output pipe: the bytes read, 0 at
 * its end (every writer closed it), -1 with errno set on failure, -2 when nothing is
 * there now. */
ptrdiff_t OutputRead(int output, void *buffer, size_t size);

/* Bytes waiting in the output pipe now; 0 when unknown. */
size_t OutputPending(int output);

/* Closes one end of an output pipe; -1 is ignored. */
void PipeEndClose(int end);

}  // namespace qv::platform

#endif
