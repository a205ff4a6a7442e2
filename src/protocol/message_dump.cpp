/* The readable description of a raw message: hex listing, header and one line per field,
 * read only within the bytes the caller holds. */
#include <qorvel.h>

#include <algorithm>

#include "protocol/message_field.h"

using namespace qv::protocol;

namespace {

/* Bytes per line of the hex listing. */
constexpr size_t DUMP_BYTES_PER_LINE = 16;

/* Printable characters of the listing; every other byte shows as a full stop. */
constexpr uint8_t FIRST_PRINTABLE = 0x20;
constexpr uint8_t LAST_PRINTABLE = 0x7E;

void AppendHexListing(String &out, const uint8_t *bytes, size_t size)
{
   static const wchar_t digits[] = L"0123456789ABCDEF";
   for (size_t offset = 0; offset < size; offset += DUMP_BYTES_PER_LINE)
   {
      wchar_t hex[DUMP_BYTES_PER_LINE * 2 + 1];
      wchar_t text[DUMP_BYTES_PER_LINE + 1];
      size_t n = std::min(DUMP_BYTES_PER_LINE, size - offset);
      for (size_t i = 0; i < n; i++)
      {
         uint8_t b = bytes[offset + i];
         hex[2 * i] = digits[b >> 4];
         hex[2 * i + 1] = digits[b & 0x0F];
         text[i] = (b >= FIRST_PRINTABLE && b <= LAST_PRINTABLE) ? b : L'.';
      }
      hex[2 * n] = 0;
      text[n] = 0;
      out.appendFormattedString(L"  ** %06X: %s %s\n", static_cast<unsigned>(offset), hex, text);
   }
}

/* The text of a wire STRING value of length bytes (big-endian units; an odd last byte
 * ignored) as a new C-heap block, or null when out of memory. */
wchar_t *WireText(const uint8_t *value, uint32_t length)
{
   size_t units = length / sizeof(UCS2CHAR);
   UCS2CHAR *host = static_cast<UCS2CHAR *>(malloc((units + 1) * sizeof(UCS2CHAR)));
   wchar_t *text = static_cast<wchar_t *>(malloc((units + 1) * sizeof(wchar_t)));
   if (host != nullptr && text != nullptr)
   {
      for (size_t i = 0; i < units; i++)
         host[i] = ReadBE16(value + i * sizeof(UCS2CHAR));
      int n = ucs2_to_wchar(host, static_cast<int>(units), text, static_cast<int>(units));
      text[n] = 0;
   }
   else
   {
      free(text);
      text = nullptr;
   }
   free(host);
   return text;
}

/* One line for the valid wire field at in, whose offset in the message is offset. */
void AppendField(String &out, const uint8_t *in, size_t offset)
{
   unsigned at = static_cast<unsigned>(offset);
   int id = static_cast<int>(ReadBE32(in));
   int type = in[4];
   switch (type)
   {
      case QVCP_FT_INT32:
         out.appendFormattedString(L"  ** %06X: [%6d] INT32    %d\n", at, id, static_cast<int32_t>(ReadBE32(in + 8)));
         break;
      case QVCP_FT_STRING:
      {
         wchar_t *text = WireText(in + FIELD_VALUE_OFFSET, ReadBE32(in + 8));
         out.appendFormattedString(L"  ** %06X: [%6d] STRING   \"%s\"\n", at, id, (text != nullptr) ? text : L"");
         free(text);
         break;
      }
      case QVCP_FT_INT64:
         out.appendFormattedString(L"  ** %06X: [%6d] INT64    %I64d\n", at, id,
                                   static_cast<int64_t>(ReadBE64(in + 8)));
         break;
      case QVCP_FT_INT16:
         out.appendFormattedString(L"  ** %06X: [%6d] INT16    %d\n", at, id, static_cast<int>(ReadBE16(in + 6)));
         break;
      case QVCP_FT_BINARY:
         out.appendFormattedString(L"  ** %06X: [%6d] BINARY   len=%d\n", at, id, static_cast<int>(ReadBE32(in + 8)));
         break;
      case QVCP_FT_FLOAT:
      {
         uint64_t bits = ReadBE64(in + 8);
         double value;
         memcpy(&value, &bits, sizeof(value));
         out.appendFormattedString(L"  ** %06X: [%6d] FLOAT    %f\n", at, id, value);
         break;
      }
      case QVCP_FT_INETADDR:
      {
         wchar_t text[QV_IPV6_TEXT_SIZE];
         if (in[INETADDR_FAMILY_OFFSET] == QVCP_INETADDR_IPV4)
            IpToStr(ReadBE32(in + 8), text);
         else
            Ip6ToStr(in + 8, text);
         out.appendFormattedString(L"  ** %06X: [%6d] INETADDR %s\n", at, id, text);
         break;
      }
      default: out.appendFormattedString(L"  ** %06X: [%6d] unknown type %d\n", at, id, type); break;
   }
}

/* The field lines for count fields in the areaSize bytes of area, which starts at offset
 * 16 of the message; a field that does not fit ends the walk with an error line. */
void AppendFields(String &out, const uint8_t *area, size_t areaSize, int32_t count, int version)
{
   size_t pos = 0;
   for (int32_t i = 0; i < count; i++)
   {
      uint64_t fieldSize = 0;
      switch (CheckWireField(area, areaSize, pos, &fieldSize))
      {
         case WIRE_FIELD_NO_HEADER: out.append(L"  ** message format error (pos > size - 8)\n"); return;
         case WIRE_FIELD_NO_LENGTH:
            out.appendFormattedString(L"  ** message format error (pos > size - 8 and field type %d)\n",
                                      static_cast<int>(area[pos + 4]));
            return;
         case WIRE_FIELD_TOO_LONG:
            out.appendFormattedString(L"  ** message format error (invalid field size %d at offset 0x%06X)\n",
                                      static_cast<int>(static_cast<uint32_t>(fieldSize)),
                                      static_cast<unsigned>(QVCP_HEADER_SIZE + pos));
            return;
         case WIRE_FIELD_OK: break;
      }
      AppendField(out, area + pos, QVCP_HEADER_SIZE + pos);
      pos += PaddedFieldSize(fieldSize, version);
   }
}

}  // namespace

String QVCPMessage::dump(const QVCP_MESSAGE *raw, size_t bufferSize, int version)
{
   String out;
   const uint8_t *bytes = reinterpret_cast<const uint8_t *>(raw);
   if (raw == nullptr)
      bufferSize = 0;
   if (bufferSize < QVCP_HEADER_SIZE)
   {
      AppendHexListing(out, bytes, bufferSize);
      out.append(L"  ** message format error (incomplete header)\n");
      return out;
   }

   RawHeader header = ReadHeader(raw);
   size_t size = std::min<size_t>(header.size, bufferSize);
   if (static_cast<int32_t>(header.size) > 0)
      AppendHexListing(out, bytes, size);
   wchar_t name[QVCP_CODE_NAME_BUFFER_SIZE];
   out.appendFormattedString(L"  ** code=0x%04X (%s) flags=0x%04X id=%d size=%d numFields=%d\n",
                             static_cast<unsigned>(header.code), QVCPMessageCodeName(header.code, name),
                             static_cast<unsigned>(header.flags), static_cast<int>(header.id),
                             static_cast<int>(header.size), static_cast<int>(header.numFields));
   if ((header.flags & QVCP_MF_BINARY) != 0)
   {
      out.append(L"  ** binary message\n");
      return out;
   }
   if ((header.flags & QVCP_MF_CONTROL) != 0)
   {
      out.append(L"  ** control message\n");
      return out;
   }
   size_t areaSize = (size > QVCP_HEADER_SIZE) ? size - QVCP_HEADER_SIZE : 0;
   AppendFields(out, bytes + QVCP_HEADER_SIZE, areaSize, static_cast<int32_t>(header.numFields), version);
   return out;
}

String QVCPMessage::dump(const QVCP_MESSAGE *raw, int version)
{
   // The header itself is read in any case; its size says how much follows.
   return dump(raw, (raw != nullptr) ? std::max<size_t>(ReadHeader(raw).size, QVCP_HEADER_SIZE) : 0, version);
}
