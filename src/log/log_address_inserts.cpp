/* Address inserts of qvlog_write (letters a, A, H, I).
 * INTERIM: the address texts of the data objects are not in the library yet; until they
 * are, IPv4 is written dotted and the others as "(address)". */
#include "log/log_messages.h"

#include <qv_strings.h>

namespace qv {
namespace log {

void AddressInsertText(char letter, uint32_t value, const void *pointer, wchar_t *buffer, size_t size)
{
   if (letter == 'a')
      qv_snwprintf(buffer, size, L"%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
   else
      wcslcpy(buffer, L"(address)", size);
}

}  // namespace log
}  // namespace qv
