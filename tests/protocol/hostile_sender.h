/* A sender that writes raw QVCP frames to a file receiver over a real socket, honest or
 * not: frames whose header claims more data than they carry, sizes that do not match the
 * announcement, probes without end, a message cut short. It speaks the announcement of
 * qvtool's receive-file (CMD_UPLOAD_FILE with the name and size, answered by
 * CMD_REQUEST_COMPLETED with a result) for the tool tests. */
#ifndef QORVEL_TESTS_PROTOCOL_HOSTILE_SENDER_H
#define QORVEL_TESTS_PROTOCOL_HOSTILE_SENDER_H

#include "support/raw_io_test_util.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace qvtest {

/* The names in a directory, sorted, so that a test sees every file a transfer left
 * behind (temporary files included). */
inline std::vector<std::string> Listing(const std::filesystem::path &dir)
{
   std::vector<std::string> names;
   for (const auto &e : std::filesystem::directory_iterator(dir))
      names.push_back(e.path().filename().string());
   std::sort(names.begin(), names.end());
   return names;
}

/* Fields and results of qvtool's announcement and reply, and its transfer id. */
constexpr uint32_t ANNOUNCE_FIELD_NAME = 1;
constexpr uint32_t ANNOUNCE_FIELD_SIZE = 2;
constexpr uint32_t REPLY_FIELD_RESULT = 3;
constexpr uint32_t TOOL_TRANSFER_ID = 1;

/* Flags of an honest data message, without and with the end of the file. */
constexpr uint16_t DATA_FLAGS = QVCP_MF_BINARY | QVCP_MF_STREAM;
constexpr uint16_t LAST_DATA_FLAGS = DATA_FLAGS | QVCP_MF_END_OF_FILE;

/* Milliseconds a hostile sender waits for the receiver's answer or its close. */
constexpr int SENDER_WAIT_MS = 30000;

class HostileSender
{
   int m_socket;
   bool m_owner;

public:
   /* Takes a connected socket (not closed here) or connects to 127.0.0.1:port. */
   explicit HostileSender(int socket) : m_socket(socket), m_owner(false) {}
   explicit HostileSender(uint16_t port) : m_socket(socket(AF_INET, SOCK_STREAM, 0)), m_owner(true)
   {
      sockaddr_in addr = {};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      addr.sin_port = htons(port);
      if (connect(m_socket, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
      {
         close(m_socket);
         m_socket = -1;
      }
   }
   HostileSender(const HostileSender &) = delete;
   HostileSender &operator=(const HostileSender &) = delete;
   ~HostileSender()
   {
      if (m_owner && m_socket >= 0)
         close(m_socket);
   }

   bool connected() const { return m_socket >= 0; }

   /* Writes the bytes as they are; false when the peer is gone. */
   bool send(const Bytes &bytes)
   {
      for (size_t done = 0; done < bytes.size();)
      {
         ssize_t n = ::send(m_socket, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
         if (n <= 0)
            return false;
         done += size_t(n);
      }
      return true;
   }

   /* A frame of code, flags and id carrying payload (padded to 8), whose header claims
    * numFields; the size field tells the true size unless size is given. */
   static Bytes Frame(uint16_t code, uint16_t flags, uint32_t id, uint32_t numFields, const Bytes &payload,
                      uint32_t size = 0)
   {
      Bytes m(QVCP_HEADER_SIZE + ((payload.size() + 7) & ~size_t(7)), 0);
      std::copy(payload.begin(), payload.end(), m.begin() + QVCP_HEADER_SIZE);
      PutBE16(&m[0], code);
      PutBE16(&m[2], flags);
      PutBE32(&m[4], (size != 0) ? size : uint32_t(m.size()));
      PutBE32(&m[8], id);
      PutBE32(&m[12], numFields);
      return m;
   }

   /* An honest data message of the transfer id. */
   bool sendData(uint32_t id, const Bytes &payload, bool last)
   {
      return send(Frame(CMD_FILE_DATA, last ? LAST_DATA_FLAGS : DATA_FLAGS, id, uint32_t(payload.size()), payload));
   }

   /* The file's bytes in honest data messages of at most QVCP_FILE_CHUNK_SIZE bytes, the
    * last one flagged as the end (one empty message for an empty file). */
   bool sendFile(uint32_t id, const Bytes &content)
   {
      size_t done = 0;
      do
      {
         size_t n = std::min(content.size() - done, size_t(QVCP_FILE_CHUNK_SIZE));
         if (!sendData(id, Bytes(content.begin() + done, content.begin() + done + n), done + n == content.size()))
            return false;
         done += n;
      } while (done < content.size());
      return true;
   }

   bool sendAbort(uint32_t id) { return send(Frame(CMD_ABORT_FILE_TRANSFER, QVCP_MF_BINARY, id, 0, Bytes())); }

   bool sendProbe() { return send(Frame(CMD_GET_QVCP_CAPS, QVCP_MF_CONTROL, 0, 0, Bytes())); }

   /* qvtool's announcement of a file: its name (wide, may hold anything) and size. */
   bool announce(const std::wstring &name, int64_t size)
   {
      QVCPMessage m(CMD_UPLOAD_FILE, TOOL_TRANSFER_ID);
      m.setField(ANNOUNCE_FIELD_NAME, name.c_str());
      m.setField(ANNOUNCE_FIELD_SIZE, size);
      QVCP_MESSAGE *raw = m.serialize();
      const uint8_t *p = reinterpret_cast<const uint8_t *>(raw);
      bool sent = send(Bytes(p, p + GetBE32(p + 4)));
      free(raw);
      return sent;
   }

   /* The next whole message from the peer, or an empty one when it closed or was silent
    * for SENDER_WAIT_MS. */
   Bytes readMessage()
   {
      Bytes m;
      while (m.size() < QVCP_HEADER_SIZE || m.size() < GetBE32(&m[4]))
      {
         size_t want = (m.size() < QVCP_HEADER_SIZE) ? QVCP_HEADER_SIZE : GetBE32(&m[4]);
         if (want < QVCP_HEADER_SIZE || !waitReadable())
            return Bytes();
         uint8_t chunk[4096];
         ssize_t n = recv(m_socket, chunk, std::min(sizeof(chunk), want - m.size()), 0);
         if (n <= 0)
            return Bytes();
         m.insert(m.end(), chunk, chunk + n);
      }
      return m;
   }

   /* The result of qvtool's CMD_REQUEST_COMPLETED, skipping probe answers; -1 when none
    * came. */
   int readResult()
   {
      for (;;)
      {
         Bytes m = readMessage();
         if (m.empty())
            return -1;
         if (GetBE16(&m[0]) != CMD_REQUEST_COMPLETED)
            continue;
         QVCPMessage *reply =
             QVCPMessage::deserialize(reinterpret_cast<QVCP_MESSAGE *>(m.data()), m.size(), QVCP_DEFAULT_VERSION);
         int result = (reply != nullptr) ? int(reply->getFieldAsUInt32(REPLY_FIELD_RESULT)) : -1;
         delete reply;
         return result;
      }
   }

   /* Reads and drops whatever comes until the peer closes; false when it is still open
    * after SENDER_WAIT_MS of silence. */
   bool waitClosed()
   {
      uint8_t chunk[4096];
      while (waitReadable())
      {
         ssize_t n = recv(m_socket, chunk, sizeof(chunk), 0);
         if (n <= 0)
            return true;
      }
      return false;
   }

private:
   bool waitReadable()
   {
      pollfd p = {m_socket, POLLIN, 0};
      return poll(&p, 1, SENDER_WAIT_MS) == 1;
   }
};

}  // namespace qvtest

#endif
