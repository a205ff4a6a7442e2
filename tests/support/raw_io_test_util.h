/* Helpers of the raw message I/O tests: a channel that plays a script of receive results
 * and records what is sent to it, and builders of wire messages. */
#ifndef QORVEL_TESTS_SUPPORT_RAW_IO_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_RAW_IO_TEST_UTIL_H

#include <qorvel.h>

#include <stdlib.h>
#include <string.h>

#include <deque>
#include <functional>
#include <vector>

namespace qvtest {

using Bytes = std::vector<uint8_t>;

inline void PutBE16(uint8_t *p, uint16_t v)
{
   p[0] = uint8_t(v >> 8), p[1] = uint8_t(v);
}

inline void PutBE32(uint8_t *p, uint32_t v)
{
   p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

inline uint16_t GetBE16(const void *p)
{
   const uint8_t *b = static_cast<const uint8_t *>(p);
   return uint16_t(b[0] << 8 | b[1]);
}

inline uint32_t GetBE32(const void *p)
{
   const uint8_t *b = static_cast<const uint8_t *>(p);
   return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

/* A wire message of size bytes (a multiple of 8, at least 16) with the code and id, its
 * payload bytes counting up from seed so that each message is told apart. */
inline Bytes MakeMessage(uint16_t code, uint32_t size, uint32_t id, uint8_t seed = 0)
{
   Bytes m(size);
   for (size_t i = QVCP_HEADER_SIZE; i < size; i++)
      m[i] = uint8_t(seed + i);
   PutBE16(&m[0], code);
   PutBE16(&m[2], QVCP_MF_BINARY);
   PutBE32(&m[4], size);
   PutBE32(&m[8], id);
   PutBE32(&m[12], size - QVCP_HEADER_SIZE);
   return m;
}

/* The wire form of the encrypted envelope of plain (a message's wire form) under context. */
inline Bytes EnvelopeOf(QVCPEncryptionContext *context, const Bytes &plain)
{
   Bytes copy = plain;
   QVCP_ENCRYPTED_MESSAGE *envelope = context->encryptMessage(reinterpret_cast<QVCP_MESSAGE *>(copy.data()));
   if (envelope == nullptr)
      return Bytes();
   const uint8_t *p = reinterpret_cast<const uint8_t *>(envelope);
   Bytes bytes(p, p + GetBE32(&envelope->size));
   free(envelope);
   return bytes;
}

/* A channel whose recv plays a script: each step is either bytes (handed out over as many
 * calls as the callers' room needs) or a bare result (0 closed, -1 failure, -2 time-out).
 * After the script it reports a closed connection. Sends are recorded one per call; a
 * sendResult hook may fail chosen ones. */
class ScriptChannel : public AbstractCommChannel
{
   struct Step
   {
      Bytes bytes;
      int result;
   };
   std::deque<Step> m_script;

protected:
   virtual ~ScriptChannel() {}

public:
   std::vector<Bytes> sent;
   int recvCalls = 0;
   std::function<int(const Bytes &)> sendResult;  // null: every send succeeds

   void add(const Bytes &bytes) { m_script.push_back({bytes, 0}); }
   void addResult(int result) { m_script.push_back({Bytes(), result}); }
   /* Queues bytes in pieces of at most piece bytes each. */
   void addInPieces(const Bytes &bytes, size_t piece)
   {
      for (size_t i = 0; i < bytes.size(); i += piece)
         add(Bytes(bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + piece)));
   }
   bool exhausted() const { return m_script.empty(); }

   virtual int send(const void *data, size_t size, Mutex *) override
   {
      const uint8_t *p = static_cast<const uint8_t *>(data);
      sent.push_back(Bytes(p, p + size));
      return sendResult ? sendResult(sent.back()) : int(size);
   }
   virtual int recv(void *buffer, size_t size, uint32_t) override
   {
      recvCalls++;
      if (m_script.empty())
         return 0;
      Step &step = m_script.front();
      if (step.bytes.empty())
      {
         int result = step.result;
         m_script.pop_front();
         return result;
      }
      size_t n = std::min(size, step.bytes.size());
      memcpy(buffer, step.bytes.data(), n);
      step.bytes.erase(step.bytes.begin(), step.bytes.begin() + n);
      if (step.bytes.empty())
         m_script.pop_front();
      return int(n);
   }
   virtual int poll(uint32_t, bool) override { return 1; }
   virtual int shutdown() override { return 0; }
   virtual void close() override {}
};

/* The channel held by one test, released at the end of the scope. */
struct ScriptRef
{
   ScriptChannel *channel = new ScriptChannel();
   ~ScriptRef() { channel->decRefCount(); }
   ScriptChannel *operator->() { return channel; }
};

/* Receive state and a growable message buffer for RecvQVCPMessageEx, freed at the end. */
struct Receiver
{
   QVCP_BUFFER *buffer = static_cast<QVCP_BUFFER *>(malloc(sizeof(QVCP_BUFFER)));
   uint32_t size;
   QVCP_MESSAGE *msg;
   uint8_t *scratch;

   explicit Receiver(uint32_t initialSize = QVCP_HEADER_SIZE)
       : size(initialSize), msg(static_cast<QVCP_MESSAGE *>(malloc(initialSize))),
         scratch(static_cast<uint8_t *>(malloc(initialSize)))
   {
      QVCPInitBuffer(buffer);
   }
   ~Receiver()
   {
      free(buffer);
      free(msg);
      free(scratch);
   }
   int recv(AbstractCommChannel *channel, uint32_t maxMsgSize, QVCPEncryptionContext *context = nullptr,
            uint32_t timeout = 1000)
   {
      return RecvQVCPMessageEx(channel, &msg, buffer, &size, &context, &scratch, timeout, maxMsgSize);
   }
   /* The message now in the buffer, length bytes of it. */
   Bytes bytes(size_t length) const
   {
      const uint8_t *p = reinterpret_cast<const uint8_t *>(msg);
      return Bytes(p, p + length);
   }
};

}  // namespace qvtest

#endif
