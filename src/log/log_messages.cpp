/* Message texts of the log: the inserts built from qvlog_write's argument letters, the
 * registered message table and the filling of its texts. */
#include "log/log_messages.h"

#include "platform/log_support.h"

#include <qv_strings.h>

#include <algorithm>
#include <atomic>

namespace qv {
namespace log {

namespace {

/* Text of an insert given as a null pointer, and of a null text pointer. */
const wchar_t NULL_INSERT_TEXT[] = L"(null)";

/* Room for the system's text of an error code, in bytes. */
constexpr size_t ERROR_TEXT_BYTES = 256;

/* Largest insert number a message text can name (two digits). */
constexpr int MAX_INSERT_NUMBER = 99;

/* The registered table: entries sorted by code, their texts stored behind them in the
 * same block. */
struct MessageTable
{
   size_t count;
   QVLOG_MESSAGE_TEXT *entries;  // right behind the header
};

std::atomic<MessageTable *> g_table{nullptr};

void ErrorInsert(uint32_t code, wchar_t *buffer, size_t size)
{
   char text[ERROR_TEXT_BYTES];
   if (!qv::platform::SystemErrorText(code, text, sizeof(text)) || mb_to_wchar(text, -1, buffer, size) == 0)
   {
      qv_snwprintf(buffer, size, L"MSG 0x%08X - Unable to find message text", code);
      return;
   }
   wchar_t *end = wcspbrk(buffer, L"\r\n");
   if (end != nullptr)
      *end = 0;
}

}  // namespace

bool LogText::grow(size_t count)
{
   if (m_fixed)
      return false;
   size_t capacity = m_capacity;
   while (count >= capacity - m_length)
      capacity *= 2;
   wchar_t *block;
   if (m_data == m_inline)
   {
      block = static_cast<wchar_t *>(malloc(capacity * sizeof(wchar_t)));
      if (block != nullptr)
         memcpy(block, m_inline, (m_length + 1) * sizeof(wchar_t));
   }
   else
   {
      block = static_cast<wchar_t *>(realloc(m_data, capacity * sizeof(wchar_t)));
   }
   if (block == nullptr)
      return false;
   m_data = block;
   m_capacity = capacity;
   return true;
}

LogInserts::~LogInserts()
{
   for (int i = 0; i < count; i++)
      free(owned[i]);
}

void LogInserts::add(const wchar_t *insert, wchar_t *owner)
{
   text[count] = insert;
   owned[count] = owner;
   count++;
}

void BuildInserts(LogInserts *inserts, const char *format, va_list args)
{
   if (format == nullptr)
      return;
   for (const char *p = format; *p != 0 && inserts->count < MAX_INSERTS; p++)
   {
      wchar_t *scratch = inserts->scratch[inserts->count];
      switch (*p)
      {
         case 's':
         case 'u': inserts->add(va_arg(args, const wchar_t *)); break;
         case 'm':
         {
            wchar_t *text = WideStringFromMBString(va_arg(args, const char *));
            inserts->add(text, text);
            break;
         }
         case 'd':
            qv_snwprintf(scratch, INSERT_SCRATCH_CHARS, L"%d", va_arg(args, int32_t));
            inserts->add(scratch);
            break;
         case 'x':
            qv_snwprintf(scratch, INSERT_SCRATCH_CHARS, L"0x%08X", va_arg(args, uint32_t));
            inserts->add(scratch);
            break;
         case 'a':
            AddressInsertText('a', va_arg(args, uint32_t), nullptr, scratch, INSERT_SCRATCH_CHARS);
            inserts->add(scratch);
            break;
         case 'A':
         case 'H':
         case 'I':
         {
            const void *pointer = va_arg(args, const void *);
            if (pointer == nullptr)
            {
               inserts->add(nullptr);
               break;
            }
            AddressInsertText(*p, 0, pointer, scratch, INSERT_SCRATCH_CHARS);
            inserts->add(scratch);
            break;
         }
         case 'e':
            ErrorInsert(va_arg(args, uint32_t), scratch, INSERT_SCRATCH_CHARS);
            inserts->add(scratch);
            break;
         default:
            // Every argument takes one machine word; only its low 32 bits are shown.
            qv_snwprintf(scratch, INSERT_SCRATCH_CHARS, L"BAD FORMAT (0x%08X)",
                         static_cast<uint32_t>(va_arg(args, uintptr_t)));
            inserts->add(scratch);
            break;
      }
   }
}

const wchar_t *FindMessageText(uint32_t code)
{
   MessageTable *table = g_table.load(std::memory_order_acquire);
   if (table == nullptr)
      return nullptr;
   const QVLOG_MESSAGE_TEXT *begin = table->entries;
   const QVLOG_MESSAGE_TEXT *end = begin + table->count;
   const QVLOG_MESSAGE_TEXT *entry =
       std::lower_bound(begin, end, code, [](const QVLOG_MESSAGE_TEXT &e, uint32_t c) { return e.code < c; });
   return (entry != end && entry->code == code) ? entry->text : nullptr;
}

bool FormatMessageText(const wchar_t *text, const LogInserts &inserts, LogText *out)
{
   const wchar_t *p = text;
   while (*p != 0)
   {
      const wchar_t *run = p;
      while (*p != 0 && *p != L'%')
         p++;
      out->append(run, p - run);
      if (*p == 0)
         break;
      p++;  // the '%'
      if (*p >= L'1' && *p <= L'9')
      {
         int number = *p++ - L'0';
         if (*p >= L'0' && *p <= L'9' && number * 10 + (*p - L'0') <= MAX_INSERT_NUMBER)
            number = number * 10 + (*p++ - L'0');
         if (*p == L'!')  // printf-style part: inserts are text already
         {
            const wchar_t *close = wcschr(p + 1, L'!');
            p = (close != nullptr) ? close + 1 : p + wcslen(p);
         }
         if (number > inserts.count)
            return false;
         const wchar_t *insert = inserts.text[number - 1];
         out->append((insert != nullptr) ? insert : NULL_INSERT_TEXT);
         continue;
      }
      switch (*p)
      {
         case 0: out->append(L'%'); return true;
         case L'0': return true;
         case L'n': out->append(L"\r\n", 2); break;
         case L'r': out->append(L'\r'); break;
         case L't': out->append(L'\t'); break;
         case L'b': out->append(L' '); break;
         default: out->append(*p); break;  // %% %. %! and anything else: the character
      }
      p++;
   }
   return true;
}

void MakeOneLine(LogText *text)
{
   wchar_t *cr = wcschr(text->data(), L'\r');
   if (cr != nullptr)
   {
      *cr = L'\n';
      text->truncate(cr - text->data() + 1);
   }
   else if (text->length() == 0 || text->text()[text->length() - 1] != L'\n')
   {
      text->append(L'\n');
   }
}

}  // namespace log
}  // namespace qv

using namespace qv::log;

QV_API bool qvlog_register_message_table(const QVLOG_MESSAGE_TEXT *table, size_t count)
{
   if (table == nullptr && count > 0)
      return false;
   size_t entries = 0;
   size_t textChars = 0;
   for (size_t i = 0; i < count; i++)
   {
      if (table[i].text != nullptr)
      {
         entries++;
         textChars += wcslen(table[i].text) + 1;
      }
   }
   MessageTable *copy = nullptr;
   if (entries > 0)
   {
      size_t size = sizeof(MessageTable) + entries * sizeof(QVLOG_MESSAGE_TEXT) + textChars * sizeof(wchar_t);
      copy = static_cast<MessageTable *>(malloc(size));
      if (copy == nullptr)
         return false;
      copy->entries = reinterpret_cast<QVLOG_MESSAGE_TEXT *>(copy + 1);
      wchar_t *texts = reinterpret_cast<wchar_t *>(copy->entries + entries);
      size_t n = 0;
      for (size_t i = 0; i < count; i++)
      {
         if (table[i].text == nullptr)
            continue;
         size_t length = wcslen(table[i].text);
         memcpy(texts, table[i].text, (length + 1) * sizeof(wchar_t));
         copy->entries[n].code = table[i].code;
         copy->entries[n].text = texts;
         texts += length + 1;
         n++;
      }
      // Stable, so that the first of several entries with one code leads them.
      std::stable_sort(copy->entries, copy->entries + n,
                       [](const QVLOG_MESSAGE_TEXT &a, const QVLOG_MESSAGE_TEXT &b) { return a.code < b.code; });
      copy->count = n;
   }
   free(g_table.exchange(copy, std::memory_order_acq_rel));
   return true;
}
