/* Texts of system and socket error codes. */
#include <qv_platform.h>

#include "platform/log_support.h"
#include "platform/socket.h"

#include <limits.h>

using namespace qv::platform;

namespace {

/* Room for the system's text of one error code, in bytes. */
constexpr size_t ERROR_TEXT_BYTES = 512;

int Limit(size_t size)
{
   return (size > static_cast<size_t>(INT_MAX)) ? INT_MAX : static_cast<int>(size);
}

}  // namespace

QV_API wchar_t *GetSystemErrorText(uint32_t error, wchar_t *buffer, size_t size)
{
   if (buffer == nullptr || size == 0)
      return buffer;
   char text[ERROR_TEXT_BYTES];
   if (!qv::platform::SystemErrorText(error, text, sizeof(text)) || mb_to_wchar(text, -1, buffer, Limit(size)) == 0)
   {
      qv_snwprintf(buffer, size, L"No description for error code 0x%08X", error);
      return buffer;
   }
   wchar_t *end = wcspbrk(buffer, L"\r\n");
   if (end != nullptr)
      *end = 0;
   return buffer;
}

QV_API wchar_t *GetLastSocketErrorText(wchar_t *buffer, size_t size)
{
   if (buffer == nullptr || size == 0)
      return buffer;
   int code = SocketLastErrorCode();
   int prefix = qv_snwprintf(buffer, size, L"%u ", static_cast<uint32_t>(code));
   if (prefix > 0 && static_cast<size_t>(prefix) < size - 1)
      GetSystemErrorText(static_cast<uint32_t>(code), buffer + prefix, size - static_cast<size_t>(prefix));
   SocketSetLastErrorCode(code);
   return buffer;
}
