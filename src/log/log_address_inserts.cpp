/* Address inserts of qvlog_write (letters a, A, H, I), in the address texts of the data
 * objects. */
#include "log/log_messages.h"

#include <qv_data.h>
#include <qv_strings.h>

namespace qv {
namespace log {

void AddressInsertText(char letter, uint32_t value, const void *pointer, wchar_t *buffer, size_t size)
{
   static_assert(INSERT_SCRATCH_CHARS >= InetAddress::TEXT_BUFFER_SIZE && INSERT_SCRATCH_CHARS >= QV_IPV6_TEXT_SIZE + 2,
                 "address texts fit in an insert");
   switch (letter)
   {
      case 'a': IpToStr(value, buffer); break;
      case 'A': Ip6ToStr(static_cast<const uint8_t *>(pointer), buffer); break;
      case 'H':
         buffer[0] = L'[';
         Ip6ToStr(static_cast<const uint8_t *>(pointer), buffer + 1);
         wcslcat(buffer, L"]", size);
         break;
      default: static_cast<const InetAddress *>(pointer)->toString(buffer); break;
   }
}

}  // namespace log
}  // namespace qv
