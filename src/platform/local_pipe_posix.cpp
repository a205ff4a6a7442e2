/* Local pipes on connected Unix-domain sockets, through the platform's socket calls. A
 * record longer than a read's buffer is taken whole and its rest kept beside the
 * descriptor for the next reads: a sequenced-packet socket drops what a read leaves of a
 * record. */
#include "platform/local_pipe.h"

#include "platform/socket.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <mutex>

namespace qv::platform {

namespace {

/* The rest of a record that did not fit a read, for the next reads of its descriptor.
 * The device and inode tell the socket apart from a later one with the same number. */
struct Leftover
{
   HPIPE pipe;
   dev_t device;
   ino_t inode;
   char *data;
   size_t offset;
   size_t length;
   Leftover *next;
};

std::mutex g_leftoverLock;
Leftover *g_leftovers = nullptr;
std::atomic<int> g_leftoverCount{0};  // read without the lock, so reads of pipes without any stay cheap

bool Identify(HPIPE pipe, dev_t *device, ino_t *inode)
{
   struct stat st;
   if (fstat(pipe, &st) != 0)
      return false;
   *device = st.st_dev;
   *inode = st.st_ino;
   return true;
}

/* Unlinks and frees the entry after *link. Called with the lock held. */
void DropEntry(Leftover **link)
{
   Leftover *entry = *link;
   *link = entry->next;
   free(entry->data);
   free(entry);
   g_leftoverCount.fetch_sub(1, std::memory_order_relaxed);
}

/* Copies up to size bytes of the pipe's leftover into buffer: the count, 0 when there is
 * none. */
size_t TakeLeftover(HPIPE pipe, void *buffer, size_t size)
{
   if (g_leftoverCount.load(std::memory_order_relaxed) == 0 || size == 0)
      return 0;
   dev_t device = 0;
   ino_t inode = 0;
   bool known = Identify(pipe, &device, &inode);
   std::lock_guard<std::mutex> guard(g_leftoverLock);
   for (Leftover **link = &g_leftovers; *link != nullptr; link = &(*link)->next)
   {
      Leftover *entry = *link;
      if (entry->pipe != pipe)
         continue;
      if (!known || entry->device != device || entry->inode != inode)
      {
         DropEntry(link);  // the socket it belonged to is gone
         return 0;
      }
      size_t count = entry->length - entry->offset;
      if (count > size)
         count = size;
      memcpy(buffer, entry->data + entry->offset, count);
      entry->offset += count;
      if (entry->offset == entry->length)
         DropEntry(link);
      return count;
   }
   return 0;
}

/* Keeps data[offset..length) for the next reads of the pipe; takes over data. False
 * (data freed) when it cannot be kept. */
bool KeepLeftover(HPIPE pipe, char *data, size_t offset, size_t length)
{
   Leftover *entry = static_cast<Leftover *>(malloc(sizeof(Leftover)));
   if (entry == nullptr || !Identify(pipe, &entry->device, &entry->inode))
   {
      free(entry);
      free(data);
      return false;
   }
   entry->pipe = pipe;
   entry->data = data;
   entry->offset = offset;
   entry->length = length;
   std::lock_guard<std::mutex> guard(g_leftoverLock);
   entry->next = g_leftovers;
   g_leftovers = entry;
   g_leftoverCount.fetch_add(1, std::memory_order_relaxed);
   return true;
}

void DropLeftover(HPIPE pipe)
{
   if (g_leftoverCount.load(std::memory_order_relaxed) == 0)
      return;
   std::lock_guard<std::mutex> guard(g_leftoverLock);
   for (Leftover **link = &g_leftovers; *link != nullptr;)
   {
      if ((*link)->pipe == pipe)
         DropEntry(link);
      else
         link = &(*link)->next;
   }
}

bool IsRecordSocket(HPIPE pipe)
{
   int type = 0;
   socklen_t length = sizeof(type);
   return getsockopt(pipe, SOL_SOCKET, SO_TYPE, &type, &length) == 0 && type == SOCK_SEQPACKET;
}

/* Reads one record of the sequenced-packet socket, of which request bytes fit the
 * buffer; the rest is kept for the next reads. */
ptrdiff_t ReadRecord(HPIPE pipe, void *buffer, size_t request)
{
   ptrdiff_t length = SocketRecv(pipe, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
   if (length <= 0 || static_cast<size_t>(length) <= request)
      return (length <= 0) ? length : SocketRecv(pipe, buffer, request, MSG_DONTWAIT);
   char *record = static_cast<char *>(malloc(static_cast<size_t>(length)));
   if (record == nullptr)
   {
      errno = ENOMEM;
      return -1;
   }
   ptrdiff_t n = SocketRecv(pipe, record, static_cast<size_t>(length), MSG_DONTWAIT);
   if (n <= static_cast<ptrdiff_t>(request))
   {
      if (n > 0)
         memcpy(buffer, record, static_cast<size_t>(n));
      free(record);
      return n;
   }
   memcpy(buffer, record, request);
   if (!KeepLeftover(pipe, record, request, static_cast<size_t>(n)))
   {
      errno = ENOMEM;
      return -1;
   }
   return static_cast<ptrdiff_t>(request);
}

}  // namespace

int LocalPipeRead(HPIPE pipe, void *buffer, size_t size, uint32_t timeout)
{
   if (pipe == INVALID_PIPE_HANDLE)
   {
      errno = EBADF;
      return -1;
   }
   // The count is reported as an int, so one read asks for no more than that holds.
   size_t request = (size > static_cast<size_t>(INT_MAX)) ? static_cast<size_t>(INT_MAX) : size;
   size_t kept = TakeLeftover(pipe, buffer, request);
   if (kept > 0)
      return static_cast<int>(kept);

   bool ready;
   int rc = SocketWait(&pipe, &ready, 1, false, timeout);
   if (rc == 0)
      return RECV_TIMEOUT;
   if (rc < 0)
      return -1;
   bool records = IsRecordSocket(pipe);
   ptrdiff_t n;
   do
      n = records ? ReadRecord(pipe, buffer, request) : SocketRecv(pipe, buffer, request, MSG_DONTWAIT);
   while (n < 0 && errno == EAGAIN && SocketWait(&pipe, &ready, 1, false, timeout) > 0);
   return (n < 0) ? -1 : static_cast<int>(n);
}

bool LocalPipeWrite(HPIPE pipe, const void *data, size_t size)
{
   const char *next = static_cast<const char *>(data);
   size_t piece = size;  // the most one send takes: everything, unless it is too long for a record
   while (size > 0)
   {
      ptrdiff_t sent = SocketSend(pipe, next, (size < piece) ? size : piece, 0);
      if (sent <= 0)
      {
         if (sent < 0 && errno == EMSGSIZE && piece > LOCAL_PIPE_RECORD_BYTES)
         {
            piece = LOCAL_PIPE_RECORD_BYTES;
            continue;
         }
         bool ready;
         if (sent < 0 && errno == EAGAIN && SocketWait(&pipe, &ready, 1, true, INFINITE) > 0)
            continue;
         return false;
      }
      next += sent;
      size -= static_cast<size_t>(sent);
   }
   return true;
}

void LocalPipeClose(HPIPE pipe)
{
   if (pipe == INVALID_PIPE_HANDLE)
      return;
   DropLeftover(pipe);
   SocketClose(pipe);
}

}  // namespace qv::platform
