/* Text building that is safe inside a signal handler: fixed storage, no heap, no locale,
 * no stdio. Used by the crash path, where nothing else may be called. */
#ifndef QORVEL_PLATFORM_SAFE_TEXT_H
#define QORVEL_PLATFORM_SAFE_TEXT_H

#include <qv_base.h>

namespace qv {
namespace platform {

/* Length of a terminated 8-bit or wide text, without library calls. */
inline size_t SafeLength(const char *s)
{
   size_t n = 0;
   while (s[n] != 0)
      n++;
   return n;
}

inline size_t SafeLength(const wchar_t *s)
{
   size_t n = 0;
   while (s[n] != 0)
      n++;
   return n;
}

/* 8-bit text in caller-provided storage; what does not fit is cut, and the text is always
 * terminated. */
class SafeText
{
public:
   SafeText(char *buffer, size_t size) : m_buffer(buffer), m_size(size), m_length(0)
   {
      if (size > 0)
         buffer[0] = 0;
   }

   const char *text() const { return m_buffer; }
   size_t length() const { return m_length; }
   void clear()
   {
      m_length = 0;
      if (m_size > 0)
         m_buffer[0] = 0;
   }

   SafeText &append(const char *s, size_t count)
   {
      if (m_size == 0)
         return *this;
      for (size_t i = 0; i < count && m_length + 1 < m_size; i++)
         m_buffer[m_length++] = s[i];
      m_buffer[m_length] = 0;
      return *this;
   }
   SafeText &append(const char *s)
   {
      return append((s != nullptr) ? s : "(null)", SafeLength((s != nullptr) ? s : "(null)"));
   }
   SafeText &append(char c) { return append(&c, 1); }

   SafeText &appendUnsigned(uint64_t value, unsigned base = 10, int minDigits = 1, bool upper = true)
   {
      char digits[64];
      int n = 0;
      const char *set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
      do
      {
         digits[n++] = set[value % base];
         value /= base;
      } while (value != 0 && n < 64);
      while (n < minDigits && n < 64)
         digits[n++] = '0';
      while (n > 0)
         append(digits[--n]);
      return *this;
   }

   SafeText &appendSigned(int64_t value)
   {
      if (value < 0)
      {
         append('-');
         return appendUnsigned(0 - static_cast<uint64_t>(value));
      }
      return appendUnsigned(static_cast<uint64_t>(value));
   }

   /* Upper-case hexadecimal with at least minDigits digits ("%08X", "%016I64X"). */
   SafeText &appendHex(uint64_t value, int minDigits) { return appendUnsigned(value, 16, minDigits, true); }

   /* A pointer as the library prints it: every hex digit, upper case. */
   SafeText &appendPointer(const void *p) { return appendHex(reinterpret_cast<uintptr_t>(p), sizeof(void *) * 2); }

private:
   char *m_buffer;
   size_t m_size;
   size_t m_length;
};

}  // namespace platform
}  // namespace qv

#endif
