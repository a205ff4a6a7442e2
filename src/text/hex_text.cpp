/* Bytes as hexadecimal text (two upper-case digits a byte) and back. */
#include <qv_strings.h>

#include <string.h>

namespace {

constexpr char HEX_DIGITS[] = "0123456789ABCDEF";

template <typename C> C *ToHex(const void *data, size_t count, C *buffer)
{
   const BYTE *bytes = static_cast<const BYTE *>(data);
   for (size_t i = 0; i < count; i++)
   {
      buffer[2 * i] = static_cast<C>(HEX_DIGITS[bytes[i] >> 4]);
      buffer[2 * i + 1] = static_cast<C>(HEX_DIGITS[bytes[i] & 0x0F]);
   }
   buffer[2 * count] = 0;
   return buffer;
}

/* The value of a hexadecimal digit; anything else counts as 0. */
template <typename C> BYTE DigitValue(C ch)
{
   if (ch >= '0' && ch <= '9')
      return static_cast<BYTE>(ch - '0');
   if (ch >= 'A' && ch <= 'F')
      return static_cast<BYTE>(ch - 'A' + 10);
   if (ch >= 'a' && ch <= 'f')
      return static_cast<BYTE>(ch - 'a' + 10);
   return 0;
}

template <typename C> size_t FromHex(const C *text, BYTE *buffer, size_t size)
{
   if (buffer == nullptr || size == 0)
      return 0;
   memset(buffer, 0, size);
   if (text == nullptr)
      return 0;
   size_t count = 0;
   while (count < size && text[0] != 0)
   {
      BYTE high = DigitValue(text[0]);
      BYTE low = (text[1] != 0) ? DigitValue(text[1]) : 0;
      buffer[count++] = static_cast<BYTE>(high << 4 | low);
      if (text[1] == 0)
         break;
      text += 2;
   }
   return count;
}

}  // namespace

QV_API wchar_t *BinToStrW(const void *data, size_t count, wchar_t *buffer)
{
   return ToHex(data, count, buffer);
}

QV_API char *BinToStrA(const void *data, size_t count, char *buffer)
{
   return ToHex(data, count, buffer);
}

QV_API size_t StrToBinW(const wchar_t *text, BYTE *buffer, size_t size)
{
   return FromHex(text, buffer, size);
}

QV_API size_t StrToBinA(const char *text, BYTE *buffer, size_t size)
{
   return FromHex(text, buffer, size);
}
