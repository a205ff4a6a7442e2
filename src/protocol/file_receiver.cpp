/* The file receiver: the data messages of one transfer checked against the bytes received
 * and the announced size, written to a temporary file and stored under their name only
 * when complete; and the loop that reads a connection for it within a deadline. */
#include <qorvel.h>

#include <stdlib.h>
#include <string.h>

#include "protocol/message_field.h"
#include "platform/incoming_file.h"
#include "platform/log_support.h"
#include "platform/sync.h"
#include "protocol/raw_io.h"

using namespace qv::protocol;

namespace qv {
namespace protocol {

/* Everything an open transfer holds. */
struct FileReceiverState
{
   qv::platform::IncomingFile file;
   char *name = nullptr;  // UTF-8
   int64_t size = 0;
   int64_t written = 0;
   int64_t wireBytes = 0;
   enum class Form
   {
      UNKNOWN,  // no data message yet
      PLAIN,
      FRAMED  // stream-compressed frames
   } form = Form::UNKNOWN;
   uint8_t method = 0;
   StreamCompressor *decompressor = nullptr;

   ~FileReceiverState()
   {
      delete decompressor;
      free(name);
   }
};

}  // namespace protocol
}  // namespace qv

using qv::platform::StoreResult;
using qv::protocol::FileReceiverState;

namespace {

const wchar_t *const DEBUG_TAG = L"protocol.file";
constexpr int DEBUG_LEVEL = 4;

/* Longest name in bytes of UTF-8 that file systems take. */
constexpr size_t MAX_NAME_BYTES = 255;

/* Controls: C0, DEL and C1. */
constexpr wchar_t LAST_C0_CONTROL = 0x1F;
constexpr wchar_t FIRST_DEL_OR_C1 = 0x7F;
constexpr wchar_t LAST_C1_CONTROL = 0x9F;
constexpr wchar_t FIRST_SURROGATE = 0xD800;
constexpr wchar_t LAST_SURROGATE = 0xDFFF;
constexpr uint32_t LAST_CODE_POINT = 0x10FFFF;

/* Offset of the block length in a stream frame. */
constexpr size_t FRAME_LENGTH_OFFSET = 2;

/* Message buffer that the loop starts with; it grows to the largest message taken. */
constexpr uint32_t INITIAL_MESSAGE_BUFFER = 4096;

/* What a channel's recv returns when its wait timed out. */
constexpr int CHANNEL_TIMEOUT = -2;

/* Room for a system error text in the debug output. */
constexpr size_t ERROR_TEXT_BYTES = 128;

struct ResultText
{
   const wchar_t *name;
   const wchar_t *description;
};

const ResultText RESULT_TEXTS[] = {
    {L"FILERECV_SUCCESS", L"the file was stored"},
    {L"FILERECV_MORE_DATA", L"the transfer goes on"},
    {L"FILERECV_ABORTED", L"the transfer was aborted"},
    {L"FILERECV_CLOSED", L"the connection closed before the end of the file"},
    {L"FILERECV_TIMEOUT", L"the sender did not finish in time"},
    {L"FILERECV_COMM_FAILURE", L"the connection failed"},
    {L"FILERECV_BAD_NAME", L"the name is not a usable file name"},
    {L"FILERECV_FILE_EXISTS", L"a file of that name exists already"},
    {L"FILERECV_IO_ERROR", L"the file cannot be created, written or stored"},
    {L"FILERECV_MALFORMED", L"the sender sent broken file data"},
    {L"FILERECV_SIZE_MISMATCH", L"the data do not match the announced size"},
    {L"FILERECV_TOO_MANY_MESSAGES", L"the sender sent too many messages without file data"},
    {L"FILERECV_DECRYPTION_FAILURE", L"an encrypted message could not be decrypted"},
    {L"FILERECV_INVALID_STATE", L"no transfer is open"},
};

bool IsControl(wchar_t c)
{
   return c <= LAST_C0_CONTROL || (c >= FIRST_DEL_OR_C1 && c <= LAST_C1_CONTROL);
}

void LogSystemFailure(const wchar_t *what, const char *name, int error)
{
   char text[ERROR_TEXT_BYTES];
   if (!qv::platform::SystemErrorText(static_cast<uint32_t>(error), text, sizeof(text)))
      qv_snprintf(text, sizeof(text), "error %d", error);
   qvlog_debug_tag(DEBUG_TAG, DEBUG_LEVEL, L"File receiver: %s \"%hs\": %hs", what, name, text);
}

/* A channel whose waits end at a deadline: each recv waits at most until then, and one
 * after it reports a time-out at once. Holds a reference on the channel it reads. */
class DeadlineChannel : public AbstractCommChannel
{
   AbstractCommChannel *m_channel;
   uint64_t m_deadline;  // monotonic milliseconds; UINT64_MAX: none

protected:
   virtual ~DeadlineChannel() { m_channel->decRefCount(); }

public:
   DeadlineChannel(AbstractCommChannel *channel, uint32_t deadline)
       : m_channel(channel), m_deadline((deadline == INFINITE) ? UINT64_MAX : qv::platform::MonotonicMs() + deadline)
   {
      m_channel->incRefCount();
   }

   virtual int send(const void *data, size_t size, Mutex *mutex) override { return m_channel->send(data, size, mutex); }
   virtual int recv(void *buffer, size_t size, uint32_t timeout) override
   {
      if (m_deadline != UINT64_MAX)
      {
         uint64_t now = qv::platform::MonotonicMs();
         if (now >= m_deadline)
            return CHANNEL_TIMEOUT;
         if (timeout == INFINITE || m_deadline - now < timeout)
            timeout = static_cast<uint32_t>(m_deadline - now);
      }
      return m_channel->recv(buffer, size, timeout);
   }
   virtual int poll(uint32_t timeout, bool write) override { return m_channel->poll(timeout, write); }
   virtual int shutdown() override { return m_channel->shutdown(); }
   virtual void close() override { m_channel->close(); }
};

QVCPFileReceiveResult FromReceiveCode(int rc)
{
   switch (rc)
   {
      case QVCP_RECV_CLOSED: return FILERECV_CLOSED;
      case QVCP_RECV_TIMEOUT: return FILERECV_TIMEOUT;
      case QVCP_RECV_DECRYPTION_FAILED: return FILERECV_DECRYPTION_FAILURE;
      case QVCP_RECV_INVALID_SIZE: return FILERECV_MALFORMED;
      default: return FILERECV_COMM_FAILURE;
   }
}

}  // namespace

QVCPFileReceiver::QVCPFileReceiver(uint32_t id, uint32_t flags)
    : m_id(id), m_flags(flags), m_timeout(QVCP_FILE_RECEIVE_TIMEOUT), m_deadline(QVCP_FILE_RECEIVE_DEADLINE),
      m_maxIdleMessages(QVCP_FILE_MAX_IDLE_MESSAGES), m_result(FILERECV_INVALID_STATE), m_state(nullptr)
{}

QVCPFileReceiver::~QVCPFileReceiver()
{
   delete m_state;
}

bool QVCPFileReceiver::isValidFileName(const wchar_t *name)
{
   if (name == nullptr || name[0] == 0 || !wcscmp(name, L".") || !wcscmp(name, L".."))
      return false;
   size_t bytes = 0;
   for (const wchar_t *p = name; *p != 0; p++)
   {
      wchar_t c = *p;
      if (c == L'/' || c == L'\\' || IsControl(c) || (c >= FIRST_SURROGATE && c <= LAST_SURROGATE) ||
          static_cast<uint32_t>(c) > LAST_CODE_POINT)
         return false;
      bytes += (c < 0x80) ? 1 : (c < 0x800) ? 2 : (c < 0x10000) ? 3 : 4;
   }
   return bytes <= MAX_NAME_BYTES;
}

QVCPFileReceiveResult QVCPFileReceiver::open(const wchar_t *dir, const wchar_t *name, int64_t size)
{
   if (m_result != FILERECV_INVALID_STATE || m_state != nullptr)
      return FILERECV_INVALID_STATE;
   if (!isValidFileName(name))
      return m_result = FILERECV_BAD_NAME;
   if (size < 0)
      return m_result = FILERECV_SIZE_MISMATCH;
   char *dirUtf8 = (dir != nullptr) ? UTF8StringFromWideString(dir) : nullptr;
   m_state = new FileReceiverState();
   m_state->name = UTF8StringFromWideString(name);
   m_state->size = size;
   m_result = FILERECV_MORE_DATA;
   if (dirUtf8 == nullptr || m_state->name == nullptr || !m_state->file.create(dirUtf8))
   {
      LogSystemFailure(L"cannot create a file in", (dirUtf8 != nullptr) ? dirUtf8 : "", m_state->file.lastError());
      free(dirUtf8);
      return end(FILERECV_IO_ERROR);
   }
   free(dirUtf8);
   // Refused at once rather than after the data; storing checks again without a gap.
   if ((m_flags & QVCP_FILE_OVERWRITE) == 0 && m_state->file.nameTaken(m_state->name))
      return end(FILERECV_FILE_EXISTS);
   return FILERECV_MORE_DATA;
}

/* Ends the transfer with result; the temporary file goes unless the file was stored. */
QVCPFileReceiveResult QVCPFileReceiver::end(QVCPFileReceiveResult result)
{
   m_result = result;
   if (m_state != nullptr)
   {
      if (result != FILERECV_SUCCESS)
      {
         m_state->file.discard();
         qvlog_debug_tag(DEBUG_TAG, DEBUG_LEVEL, L"File receiver: \"%hs\" not stored: %s",
                         (m_state->name != nullptr) ? m_state->name : "", resultToText(result));
      }
      delete m_state->decompressor;
      m_state->decompressor = nullptr;
   }
   return result;
}

void QVCPFileReceiver::cancel(QVCPFileReceiveResult reason)
{
   if (isOpen())
      end((reason == FILERECV_SUCCESS || reason == FILERECV_MORE_DATA) ? FILERECV_ABORTED : reason);
}

void QVCPFileReceiver::setLimits(uint32_t timeout, uint32_t deadline, uint32_t maxIdleMessages)
{
   m_timeout = timeout;
   m_deadline = deadline;
   m_maxIdleMessages = maxIdleMessages;
}

int64_t QVCPFileReceiver::getFileSize() const
{
   return (m_state != nullptr) ? m_state->size : 0;
}

int64_t QVCPFileReceiver::getBytesWritten() const
{
   return (m_state != nullptr) ? m_state->written : 0;
}

int64_t QVCPFileReceiver::getWireBytes() const
{
   return (m_state != nullptr) ? m_state->wireBytes : 0;
}

QVCPFileReceiveResult QVCPFileReceiver::writeMessage(const QVCP_MESSAGE *msg, size_t size)
{
   if (!isOpen())
      return FILERECV_INVALID_STATE;
   if (msg == nullptr || size < QVCP_HEADER_SIZE)
      return end(FILERECV_MALFORMED);
   const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
   uint16_t code = ReadBE16(raw);
   uint16_t flags = ReadBE16(raw + 2);
   uint32_t messageSize = ReadBE32(raw + 4);
   uint32_t id = ReadBE32(raw + 8);
   if (id != m_id || (code != CMD_FILE_DATA && code != CMD_ABORT_FILE_TRANSFER))
      return FILERECV_MORE_DATA;
   if (code == CMD_ABORT_FILE_TRANSFER)
      return end(FILERECV_ABORTED);
   // The message must lie within the bytes held, and its data within the message.
   if ((flags & QVCP_MF_BINARY) == 0 || messageSize < QVCP_HEADER_SIZE || messageSize > size)
      return end(FILERECV_MALFORMED);
   if ((flags & (QVCP_MF_COMPRESSED | QVCP_MF_STREAM)) == QVCP_MF_COMPRESSED)
   {
      // Compressed as a whole payload: the message object checks and restores it.
      QVCPMessage *restored = QVCPMessage::deserialize(msg, messageSize, QVCP_DEFAULT_VERSION);
      QVCPFileReceiveResult result = (restored != nullptr) ? writeMessage(restored) : end(FILERECV_MALFORMED);
      delete restored;
      return result;
   }
   uint32_t length = ReadBE32(raw + 12);
   if (length > messageSize - QVCP_HEADER_SIZE)
      return end(FILERECV_MALFORMED);
   return writeData(flags, raw + QVCP_HEADER_SIZE, length);
}

QVCPFileReceiveResult QVCPFileReceiver::writeMessage(const QVCPMessage *msg)
{
   if (!isOpen())
      return FILERECV_INVALID_STATE;
   if (msg == nullptr)
      return end(FILERECV_MALFORMED);
   if (msg->getId() != m_id || (msg->getCode() != CMD_FILE_DATA && msg->getCode() != CMD_ABORT_FILE_TRANSFER))
      return FILERECV_MORE_DATA;
   if (msg->getCode() == CMD_ABORT_FILE_TRANSFER)
      return end(FILERECV_ABORTED);
   if (!msg->isBinary() || (msg->getBinaryDataSize() > 0 && msg->getBinaryData() == nullptr))
      return end(FILERECV_MALFORMED);
   return writeData(msg->getFlags(), msg->getBinaryData(), static_cast<size_t>(msg->getBinaryDataSize()));
}

/* The payload of one data message: restored when it is a stream frame, checked against
 * the announced size, written; the last one stores the file. */
QVCPFileReceiveResult QVCPFileReceiver::writeData(uint16_t flags, const uint8_t *data, size_t length)
{
   FileReceiverState &s = *m_state;
   s.wireBytes += static_cast<int64_t>(length);
   bool framed = (flags & (QVCP_MF_COMPRESSED | QVCP_MF_STREAM)) == (QVCP_MF_COMPRESSED | QVCP_MF_STREAM);
   FileReceiverState::Form form = framed ? FileReceiverState::Form::FRAMED : FileReceiverState::Form::PLAIN;
   if (s.form == FileReceiverState::Form::UNKNOWN)
      s.form = form;
   // One transfer is one stream: a sender that switches forms sends nonsense.
   if (s.form != form)
      return end(FILERECV_MALFORMED);

   const uint8_t *block = data;
   size_t count = length;
   if (framed)
   {
      if (length < QVCP_FILE_FRAME_HEADER_SIZE)
         return end(FILERECV_MALFORMED);
      if (s.decompressor == nullptr)
      {
         s.method = data[0];
         // Only a known method becomes the enumeration: any other byte is no value of it.
         if (s.method > STREAM_COMPRESSION_DEFLATE)
            return end(FILERECV_MALFORMED);
         s.decompressor =
             StreamCompressor::create(static_cast<QVCPStreamCompressionMethod>(s.method), false, QVCP_FILE_CHUNK_SIZE);
         if (s.decompressor == nullptr)
            return end(FILERECV_MALFORMED);
      }
      if (data[0] != s.method)
         return end(FILERECV_MALFORMED);
      size_t announced = ReadBE16(data + FRAME_LENGTH_OFFSET);
      block = nullptr;
      count =
          s.decompressor->decompress(data + QVCP_FILE_FRAME_HEADER_SIZE, length - QVCP_FILE_FRAME_HEADER_SIZE, &block);
      if (block == nullptr || count != announced)
         return end(FILERECV_MALFORMED);
   }

   if (static_cast<uint64_t>(count) > static_cast<uint64_t>(s.size - s.written))
      return end(FILERECV_SIZE_MISMATCH);
   if (count > 0 && !s.file.write(block, count))
   {
      LogSystemFailure(L"cannot write", s.name, s.file.lastError());
      return end(FILERECV_IO_ERROR);
   }
   s.written += static_cast<int64_t>(count);
   if ((flags & QVCP_MF_END_OF_FILE) == 0)
      return FILERECV_MORE_DATA;
   if (s.written != s.size)
      return end(FILERECV_SIZE_MISMATCH);

   switch (s.file.store(s.name, (m_flags & QVCP_FILE_OVERWRITE) != 0))
   {
      case StoreResult::STORED: return end(FILERECV_SUCCESS);
      case StoreResult::EXISTS: return end(FILERECV_FILE_EXISTS);
      default: LogSystemFailure(L"cannot store", s.name, s.file.lastError()); return end(FILERECV_IO_ERROR);
   }
}

const wchar_t *QVCPFileReceiver::resultToText(QVCPFileReceiveResult result)
{
   size_t index = static_cast<size_t>(result);
   return (index < sizeof(RESULT_TEXTS) / sizeof(RESULT_TEXTS[0])) ? RESULT_TEXTS[index].name : L"UNKNOWN";
}

const wchar_t *QVCPFileReceiver::resultToDescription(QVCPFileReceiveResult result)
{
   size_t index = static_cast<size_t>(result);
   return (index < sizeof(RESULT_TEXTS) / sizeof(RESULT_TEXTS[0])) ? RESULT_TEXTS[index].description
                                                                   : L"unknown result";
}

QVCPFileReceiveResult ReceiveFileOverQVCP(AbstractCommChannel *channel, QVCP_BUFFER *buffer, QVCPFileReceiver *receiver,
                                          QVCPEncryptionContext *context, QVCPFileReceiveHandler handler,
                                          void *handlerArg, QVCPFileTransferProgress progress, void *progressArg)
{
   if (channel == nullptr || buffer == nullptr || receiver == nullptr || (handler == nullptr && !receiver->isOpen()))
      return FILERECV_INVALID_STATE;
   DeadlineChannel *limited = new DeadlineChannel(channel, receiver->getDeadline());
   uint32_t bufferSize = INITIAL_MESSAGE_BUFFER;
   QVCP_MESSAGE *msg = static_cast<QVCP_MESSAGE *>(malloc(bufferSize));
   uint8_t *decryptionBuffer = (context != nullptr) ? static_cast<uint8_t *>(malloc(bufferSize)) : nullptr;
   uint32_t idle = 0;
   QVCPFileReceiveResult result = FILERECV_COMM_FAILURE;
   while (msg != nullptr && (context == nullptr || decryptionBuffer != nullptr))
   {
      int rc = RecvQVCPMessageEx(limited, &msg, buffer, &bufferSize, &context,
                                 (context != nullptr) ? &decryptionBuffer : nullptr, receiver->getTimeout(),
                                 QVCP_FILE_MAX_MESSAGE_SIZE);
      const uint8_t *raw = reinterpret_cast<const uint8_t *>(msg);
      bool ours = rc >= QVCP_RECV_TOO_LARGE && receiver->isOpen() && ReadBE32(raw + 8) == receiver->getId() &&
                  (ReadBE16(raw) == CMD_FILE_DATA || ReadBE16(raw) == CMD_ABORT_FILE_TRANSFER);
      QVCPFileReceiveResult r;
      int64_t before = receiver->getBytesWritten();
      if (rc == QVCP_RECV_TOO_LARGE)
         r = ours ? FILERECV_MALFORMED : FILERECV_MORE_DATA;  // a data message larger than any sender makes
      else if (rc < static_cast<int>(QVCP_HEADER_SIZE))
         r = FromReceiveCode(rc);
      else if (ours)
         r = receiver->writeMessage(msg, static_cast<uint32_t>(rc));
      else if (handler != nullptr)
         r = handler(receiver, msg, static_cast<uint32_t>(rc), handlerArg);
      else
         r = FILERECV_MORE_DATA;
      if (r == FILERECV_MORE_DATA && !receiver->isOpen() && handler == nullptr)
         r = FILERECV_INVALID_STATE;
      bool brought = receiver->getBytesWritten() > before;
      if (brought && progress != nullptr)
         progress(receiver->getBytesWritten(), progressArg);
      if (r != FILERECV_MORE_DATA)
      {
         result = r;
         break;
      }
      if (!brought && ++idle > receiver->getMaxIdleMessages())
      {
         result = FILERECV_TOO_MANY_MESSAGES;
         break;
      }
   }
   receiver->cancel(result);
   free(decryptionBuffer);
   free(msg);
   limited->decRefCount();
   return result;
}

QVCPFileReceiveResult ReceiveFileOverQVCP(SOCKET s, QVCP_BUFFER *buffer, QVCPFileReceiver *receiver,
                                          QVCPEncryptionContext *context, QVCPFileReceiveHandler handler,
                                          void *handlerArg, QVCPFileTransferProgress progress, void *progressArg)
{
   return WithSocketChannel(s, [&](AbstractCommChannel *channel) {
      return ReceiveFileOverQVCP(channel, buffer, receiver, context, handler, handlerArg, progress, progressArg);
   });
}
