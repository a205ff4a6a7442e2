/* Fuzz target for QVCPMessage::deserialize, on the input of message_fuzz_input.h; bit 0x10
 * of the control byte compresses the message when it is written again. A message that is
 * accepted must read back through every getter, copy deeply, and survive serialize and
 * deserialize unchanged. */
#include "message_fuzz_input.h"

namespace {

volatile size_t g_sink;

/* Bit of the control byte: compress when writing the message again. */
constexpr uint8_t COMPRESS_AGAIN = 0x10;

/* Fields read back at most, and the buffers they are read into. */
constexpr size_t MAX_IDS = 4096;
constexpr size_t TEXT_BUFFER = 8;

void Check(bool condition)
{
   if (!condition)
      abort();
}

size_t WireSize(const QVCP_MESSAGE *raw)
{
   return MessageFuzzInput::DeclaredSize(raw);
}

void ReadEverything(const QVCPMessage *msg)
{
   static uint32_t ids[MAX_IDS];
   size_t count = msg->getFieldIds(ids, MAX_IDS);
   size_t sum = count + msg->getBinaryDataSize();
   for (size_t i = 0; i < count && i < MAX_IDS; i++)
   {
      uint32_t id = ids[i];
      Check(msg->isFieldExist(id));
      // Summed as unsigned sizes: the values are any the input holds, and only reading
      // them matters.
      sum += static_cast<size_t>(msg->getFieldType(id)) + static_cast<size_t>(msg->getFieldAsInt16(id)) +
             static_cast<size_t>(msg->getFieldAsUInt32(id)) + static_cast<size_t>(msg->getFieldAsInt64(id));
      sum += static_cast<size_t>(msg->getFieldAsDouble(id) != 0) + static_cast<size_t>(msg->getFieldAsTime(id)) +
             static_cast<size_t>(msg->getFieldAsBoolean(id));
      wchar_t text[TEXT_BUFFER];
      msg->getFieldAsString(id, text, TEXT_BUFFER);
      wchar_t *whole = msg->getFieldAsString(id);
      char *utf8 = msg->getFieldAsUtf8String(id);
      char narrow[TEXT_BUFFER];
      msg->getFieldAsUtf8String(id, narrow, TEXT_BUFFER);
      msg->getFieldAsMBString(id, narrow, TEXT_BUFFER);
      sum += (whole != nullptr) ? wcslen(whole) : 0;
      sum += (utf8 != nullptr) ? strlen(utf8) : 0;
      free(whole);
      free(utf8);
      size_t length = 0;
      const uint8_t *bytes = msg->getBinaryFieldPtr(id, &length);
      sum += (bytes != nullptr && length > 0) ? bytes[length - 1] : 0;
      uint32_t elements[2];
      sum += msg->getFieldAsInt32Array(id, 2, elements) + msg->getFieldAsGUID(id).getValue()[0];
   }
   g_sink = sum;
}

/* The message's uncompressed wire form in a new block; null when it has none. */
QVCP_MESSAGE *Plain(const QVCPMessage *msg)
{
   return msg->serialize(false);
}

void CheckRoundTrip(const QVCPMessage *msg, bool compress)
{
   QVCP_MESSAGE *plain = Plain(msg);
   Check(plain != nullptr);
   size_t plainSize = WireSize(plain);
   Check(plainSize % 8 == 0);

   QVCP_MESSAGE *wire = msg->serialize(compress);
   Check(wire != nullptr);
   QVCPMessage *again = QVCPMessage::deserialize(wire, WireSize(wire), msg->getProtocolVersion());
   Check(again != nullptr);
   QVCP_MESSAGE *plainAgain = Plain(again);
   Check(plainAgain != nullptr && WireSize(plainAgain) == plainSize && memcmp(plain, plainAgain, plainSize) == 0);

   QVCPMessage copy(again);
   QVCP_MESSAGE *copied = Plain(&copy);
   Check(copied != nullptr && memcmp(plain, copied, plainSize) == 0);

   free(copied);
   free(plainAgain);
   delete again;
   free(wire);
   free(plain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   MessageFuzzInput input(data, size);
   QVCPMessage *msg = QVCPMessage::deserialize(input.message(), input.length, input.version);
   if (msg != nullptr)
   {
      Check(msg->getProtocolVersion() == input.version);
      ReadEverything(msg);
      CheckRoundTrip(msg, (input.control & COMPRESS_AGAIN) != 0);
      delete msg;
   }
   return 0;
}
