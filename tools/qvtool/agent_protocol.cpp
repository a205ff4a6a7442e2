/* The encrypted send and the code names shared by qvtool agent and qvtool call. */
#include "agent_protocol.h"

#include <stdlib.h>
#include <wchar.h>

namespace agent {

namespace {

/* The big-endian 32-bit size word at offset 4 of a message or an envelope. */
uint32_t WireSize(const void *message)
{
   const uint8_t *p = static_cast<const uint8_t *>(message);
   return uint32_t(p[4]) << 24 | uint32_t(p[5]) << 16 | uint32_t(p[6]) << 8 | p[7];
}

bool NameCode(uint16_t code, wchar_t *buffer)
{
   const wchar_t *name = nullptr;
   switch (code)
   {
      case CMD_AGENT_ECHO: name = L"CMD_AGENT_ECHO"; break;
      case CMD_AGENT_PING: name = L"CMD_AGENT_PING"; break;
      case CMD_AGENT_SET_DEBUG: name = L"CMD_AGENT_SET_DEBUG"; break;
      default: return false;
   }
   wcsncpy(buffer, name, QVCP_CODE_NAME_BUFFER_SIZE - 1);
   buffer[QVCP_CODE_NAME_BUFFER_SIZE - 1] = 0;
   return true;
}

}  // namespace

bool SendMessage(AbstractCommChannel *channel, QVCPEncryptionContext *context, Mutex *mutex, const QVCPMessage &msg)
{
   QVCP_MESSAGE *raw = msg.serialize(true);
   if (raw == nullptr)
      return false;
   bool sent;
   if (context != nullptr && (msg.getFlags() & QVCP_MF_DONT_ENCRYPT) == 0)
   {
      QVCP_ENCRYPTED_MESSAGE *envelope = context->encryptMessage(raw);
      sent = envelope != nullptr && channel->send(envelope, WireSize(envelope), mutex) > 0;
      free(envelope);
   }
   else
   {
      sent = channel->send(raw, WireSize(raw), mutex) > 0;
   }
   free(raw);
   return sent;
}

std::string Utf8(const wchar_t *text)
{
   char *utf8 = UTF8StringFromWideString((text != nullptr) ? text : L"");
   std::string result = (utf8 != nullptr) ? utf8 : "";
   free(utf8);
   return result;
}

std::wstring Wide(const char *text)
{
   wchar_t *wide = WideStringFromUTF8String(text);
   std::wstring result = (wide != nullptr) ? wide : L"";
   free(wide);
   return result;
}

void RegisterCodeNames()
{
   // Registering the same resolver again changes nothing.
   QVCPRegisterMessageNameResolver(NameCode);
}

}  // namespace agent
