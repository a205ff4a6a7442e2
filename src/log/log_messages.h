/* Internal parts of the log writer that turn a message code and its arguments into text:
 * a growable text buffer, the inserts of qvlog_write, the registered message table and
 * the formatting of its texts. */
#ifndef QORVEL_LOG_LOG_MESSAGES_H
#define QORVEL_LOG_LOG_MESSAGES_H

#include <qv_log.h>

#include <stdlib.h>
#include <string.h>

namespace qv {
namespace log {

/* Most inserts a message takes (letters of the argument format beyond are not read). */
constexpr int MAX_INSERTS = 16;

/* Room for the text of one numeric, address or error insert. */
constexpr size_t INSERT_SCRATCH_CHARS = 128;

/* Wide text that grows on the heap only past its inline storage (never when it is fixed:
 * what does not fit is cut, so the crash path can use it); always terminated. */
class LogText
{
public:
   static constexpr size_t INLINE_CHARS = 512;

   explicit LogText(bool fixed = false) : m_data(m_inline), m_length(0), m_capacity(INLINE_CHARS), m_fixed(fixed)
   {
      m_inline[0] = 0;
   }
   ~LogText()
   {
      if (m_data != m_inline)
         free(m_data);
   }
   LogText(const LogText &) = delete;
   LogText &operator=(const LogText &) = delete;

   void append(const wchar_t *text, size_t count)
   {
      if (count >= m_capacity - m_length && !grow(count))
         count = m_capacity - m_length - 1;
      memcpy(m_data + m_length, text, count * sizeof(wchar_t));
      m_length += count;
      m_data[m_length] = 0;
   }
   void append(const wchar_t *text) { append(text, wcslen(text)); }
   void append(wchar_t ch) { append(&ch, 1); }
   void truncate(size_t length)
   {
      if (length < m_length)
      {
         m_length = length;
         m_data[length] = 0;
      }
   }

   const wchar_t *text() const { return m_data; }
   wchar_t *data() { return m_data; }
   size_t length() const { return m_length; }

private:
   bool grow(size_t count);

   wchar_t m_inline[INLINE_CHARS];
   wchar_t *m_data;
   size_t m_length;
   size_t m_capacity;  // characters, terminator included
   bool m_fixed;
};

/* The inserts of one message: texts in order (null pointers allowed) and what they own. */
struct LogInserts
{
   const wchar_t *text[MAX_INSERTS];
   wchar_t *owned[MAX_INSERTS];  // heap texts to free, null where none
   wchar_t scratch[MAX_INSERTS][INSERT_SCRATCH_CHARS];
   int count;

   LogInserts() : count(0) {}
   ~LogInserts();
   LogInserts(const LogInserts &) = delete;
   LogInserts &operator=(const LogInserts &) = delete;

   /* Adds one insert; owned (may be null) is freed with the inserts. */
   void add(const wchar_t *insert, wchar_t *owner = nullptr);
};

/* Builds the inserts of qvlog_write from its argument format and arguments. */
void BuildInserts(LogInserts *inserts, const char *format, va_list args);

/* Text of an address insert (letters a, A, H, I) into buffer of size characters. value is
 * the argument of a, pointer that of the others. */
void AddressInsertText(char letter, uint32_t value, const void *pointer, wchar_t *buffer, size_t size);

/* The registered text of code, or null. Valid until the next registration. */
const wchar_t *FindMessageText(uint32_t code);

/* Appends the message text filled with the inserts to out; false (out then holds a part)
 * when the text names an insert that was not supplied. */
bool FormatMessageText(const wchar_t *text, const LogInserts &inserts, LogText *out);

/* Makes the text one line: cut at its first carriage return, which becomes a line feed;
 * a text without one gets a line feed unless it already ends in one. */
void MakeOneLine(LogText *text);

}  // namespace log
}  // namespace qv

#endif
