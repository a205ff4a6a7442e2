/* The file sender: a file as a sequence of CMD_FILE_DATA messages, optionally stream-
 * compressed and encrypted, paced by the time each send takes. */
#include <qorvel.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "protocol/message_field.h"
#include "platform/file.h"
#include "protocol/file_pacer.h"
#include "platform/sleep.h"
#include "platform/sync.h"
#include "protocol/raw_io.h"

using namespace qv::protocol;

namespace {

/* Flags of a data message: binary stream data, compressed by a stream compressor. */
constexpr uint16_t FILE_DATA_FLAGS = QVCP_MF_BINARY | QVCP_MF_STREAM;
constexpr uint16_t COMPRESSED_FILE_DATA_FLAGS = FILE_DATA_FLAGS | QVCP_MF_COMPRESSED;

/* Offsets in a frame of the method byte and the block length. */
constexpr size_t FRAME_METHOD_OFFSET = 0;
constexpr size_t FRAME_LENGTH_OFFSET = 2;

/* Opens the file and finds where to start and how many bytes to send; null on failure. */
FILE *OpenAt(const wchar_t *fileName, int32_t offset, uint64_t *remaining)
{
   FILE *file = qv::platform::OpenFile(fileName, "rb");
   if (file == nullptr)
      return nullptr;
   // The size at the start; a file that shrinks later fails the transfer at its end.
   long size = -1;
   if (fseek(file, 0, SEEK_END) == 0)
      size = ftell(file);
   int64_t magnitude = (offset < 0) ? -int64_t(offset) : int64_t(offset);
   if (size < 0 || magnitude > size)
      offset = 0;
   bool placed =
       (size >= 0) && ((offset < 0) ? fseek(file, offset, SEEK_END) == 0 : fseek(file, offset, SEEK_SET) == 0);
   if (!placed)
   {
      fclose(file);
      return nullptr;
   }
   *remaining = uint64_t(size) - uint64_t((offset < 0) ? size - magnitude : offset);
   return file;
}

/* Everything one transfer holds, released by the destructor. */
struct Transfer
{
   FILE *file = nullptr;
   StreamCompressor *compressor = nullptr;
   uint8_t *readBuffer = nullptr;
   QVCP_MESSAGE *msg = nullptr;
   size_t payloadRoom = QVCP_FILE_CHUNK_SIZE;

   ~Transfer()
   {
      free(msg);
      free(readBuffer);
      delete compressor;
      if (file != nullptr)
         fclose(file);
   }

   bool prepare(QVCPStreamCompressionMethod method)
   {
      if (method != STREAM_COMPRESSION_NONE)
      {
         compressor = StreamCompressor::create(method, true, QVCP_FILE_CHUNK_SIZE);
         size_t room = (compressor != nullptr) ? compressor->compressBufferSize(QVCP_FILE_CHUNK_SIZE) : 0;
         if (room == 0)
         {
            // No compressor for the method: the file goes uncompressed.
            delete compressor;
            compressor = nullptr;
         }
         else
         {
            readBuffer = static_cast<uint8_t *>(malloc(QVCP_FILE_CHUNK_SIZE));
            if (readBuffer == nullptr)
               return false;
            payloadRoom = room + QVCP_FILE_FRAME_HEADER_SIZE;
         }
      }
      msg = static_cast<QVCP_MESSAGE *>(malloc(payloadRoom + QVCP_HEADER_SIZE + WIRE_ALIGNMENT));
      return msg != nullptr;
   }

   /* Reads the next count bytes into the payload, framed and compressed when a compressor
    * is in use, and sets *length to the payload's length; false when the file cannot be
    * read or the compressor fails. */
   bool fill(QVCPStreamCompressionMethod method, uint32_t count, size_t *length)
   {
      uint8_t *payload = reinterpret_cast<uint8_t *>(msg) + QVCP_HEADER_SIZE;
      if (compressor == nullptr)
      {
         *length = count;
         return fread(payload, 1, count, file) == count;
      }
      if (fread(readBuffer, 1, count, file) != count)
         return false;
      // A compressor that gives nothing has failed: an empty frame would lose the block.
      size_t packed = compressor->compress(readBuffer, count, payload + QVCP_FILE_FRAME_HEADER_SIZE,
                                           payloadRoom - QVCP_FILE_FRAME_HEADER_SIZE);
      if (packed == 0)
         return false;
      payload[FRAME_METHOD_OFFSET] = uint8_t(method);
      payload[FRAME_METHOD_OFFSET + 1] = 0;
      WriteBE16(payload + FRAME_LENGTH_OFFSET, uint16_t(count));
      *length = packed + QVCP_FILE_FRAME_HEADER_SIZE;
      return true;
   }
};

/* Tells the peer that the transfer of id ended without the file. */
void SendAbort(AbstractCommChannel *channel, uint32_t id, QVCPEncryptionContext *context, Mutex *mutex)
{
   uint8_t abort[QVCP_HEADER_SIZE] = {};
   WriteBE16(abort, CMD_ABORT_FILE_TRANSFER);
   WriteBE16(abort + 2, QVCP_MF_BINARY);
   WriteBE32(abort + 4, QVCP_HEADER_SIZE);
   WriteBE32(abort + 8, id);
   SendRawMessage(channel, reinterpret_cast<QVCP_MESSAGE *>(abort), context, mutex);
}

bool SendChunks(AbstractCommChannel *channel, Transfer *t, uint64_t remaining, uint32_t id,
                QVCPEncryptionContext *context, QVCPFileSendProgress progress, void *callbackArg, Mutex *mutex,
                QVCPStreamCompressionMethod method, volatile int32_t *cancellationFlag)
{
   const int64_t fileBytes = int64_t(remaining);
   int64_t fileBytesRead = 0;
   uint8_t *msg = reinterpret_cast<uint8_t *>(t->msg);
   uint16_t flags = (t->compressor != nullptr) ? COMPRESSED_FILE_DATA_FLAGS : FILE_DATA_FLAGS;
   WriteBE16(msg, CMD_FILE_DATA);
   WriteBE32(msg + 8, id);
   FilePacer pacer;
   int64_t bytesSent = 0;
   for (;;)
   {
      if (cancellationFlag != nullptr && *cancellationFlag > 0)
         return false;
      uint32_t count = (remaining < pacer.chunkSize) ? uint32_t(remaining) : pacer.chunkSize;
      size_t length;
      if (!t->fill(method, count, &length))
         return false;
      remaining -= count;
      fileBytesRead += count;
      size_t size = QVCP_HEADER_SIZE + Align8(length);
      // The padding carries no meaning, but nothing of the previous chunk goes out in it.
      memset(msg + QVCP_HEADER_SIZE + length, 0, size - QVCP_HEADER_SIZE - length);
      WriteBE16(msg + 2, (remaining == 0) ? uint16_t(flags | QVCP_MF_END_OF_FILE) : flags);
      WriteBE32(msg + 4, uint32_t(size));
      WriteBE32(msg + 12, uint32_t(length));

      uint64_t started = qv::platform::MonotonicMs();
      if (SendRawMessage(channel, t->msg, context, mutex) <= 0)
         return false;
      pacer.update(qv::platform::MonotonicMs() - started);

      bytesSent += int64_t(length);
      if (progress != nullptr)
         progress(fileBytesRead, fileBytes, bytesSent, callbackArg);
      if (remaining == 0)
         return true;
      if (pacer.pause > 0)
         qv::platform::SleepMs(pacer.pause);
   }
}

/* The wire-only progress of SendFileOverQVCP, carried through the two-measure one. */
struct WireProgress
{
   QVCPFileTransferProgress progress;
   void *arg;
};

void ReportWireBytes(int64_t, int64_t, int64_t wireBytesSent, void *arg)
{
   const WireProgress *wire = static_cast<const WireProgress *>(arg);
   wire->progress(wireBytesSent, wire->arg);
}

}  // namespace

bool SendFileOverQVCPEx(AbstractCommChannel *channel, uint32_t id, const wchar_t *fileName,
                        QVCPEncryptionContext *context, int32_t offset, QVCPFileSendProgress progress,
                        void *callbackArg, Mutex *mutex, QVCPStreamCompressionMethod compressionMethod,
                        volatile int32_t *cancellationFlag)
{
   if (channel == nullptr)
      return false;
   bool sent = false;
   {
      Transfer t;
      uint64_t remaining = 0;
      t.file = OpenAt(fileName, offset, &remaining);
      if (t.file != nullptr && t.prepare(compressionMethod))
         sent = SendChunks(channel, &t, remaining, id, context, progress, callbackArg, mutex, compressionMethod,
                           cancellationFlag);
   }
   if (!sent)
      SendAbort(channel, id, context, mutex);
   return sent;
}

bool SendFileOverQVCPEx(SOCKET s, uint32_t id, const wchar_t *fileName, QVCPEncryptionContext *context, int32_t offset,
                        QVCPFileSendProgress progress, void *callbackArg, Mutex *mutex,
                        QVCPStreamCompressionMethod compressionMethod, volatile int32_t *cancellationFlag)
{
   return WithSocketChannel(s, [&](AbstractCommChannel *channel) {
      return SendFileOverQVCPEx(channel, id, fileName, context, offset, progress, callbackArg, mutex, compressionMethod,
                                cancellationFlag);
   });
}

bool SendFileOverQVCP(AbstractCommChannel *channel, uint32_t id, const wchar_t *fileName,
                      QVCPEncryptionContext *context, int32_t offset, QVCPFileTransferProgress progress,
                      void *callbackArg, Mutex *mutex, QVCPStreamCompressionMethod compressionMethod,
                      volatile int32_t *cancellationFlag)
{
   WireProgress wire = {progress, callbackArg};
   return SendFileOverQVCPEx(channel, id, fileName, context, offset, (progress != nullptr) ? ReportWireBytes : nullptr,
                             &wire, mutex, compressionMethod, cancellationFlag);
}

bool SendFileOverQVCP(SOCKET s, uint32_t id, const wchar_t *fileName, QVCPEncryptionContext *context, int32_t offset,
                      QVCPFileTransferProgress progress, void *callbackArg, Mutex *mutex,
                      QVCPStreamCompressionMethod compressionMethod, volatile int32_t *cancellationFlag)
{
   WireProgress wire = {progress, callbackArg};
   return SendFileOverQVCPEx(s, id, fileName, context, offset, (progress != nullptr) ? ReportWireBytes : nullptr, &wire,
                             mutex, compressionMethod, cancellationFlag);
}
