/* Console output with colour sequences, a password prompt without echo, and the wide line
 * reader. */
#include <qv_platform.h>

#include "platform/console.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

namespace {

constexpr wchar_t ESCAPE = 0x1B;

/* Digits of one colour code that are looked at; more are skipped. */
constexpr int MAX_CODE_DIGITS = 63;

/* Room of WriteToTerminalEx's formatted text, terminator included. */
constexpr size_t FORMAT_BUFFER_SIZE = 8192;

/* Codes that change the colours; any other is ignored. */
constexpr int RESET = 0;
constexpr int BRIGHT = 1;
constexpr int NORMAL_INTENSITY = 22;
constexpr int FIRST_FOREGROUND = 30;
constexpr int LAST_FOREGROUND = 37;
constexpr int FIRST_BACKGROUND = 40;
constexpr int LAST_BACKGROUND = 47;

/* Largest value a code is counted up to; all larger ones are ignored alike. */
constexpr int CODE_LIMIT = 1000;

/* Adds to sgr the terminal's form of one colour code. A foreground colour also clears
 * the intensity, as on the console, so that "32;1" is bright and "1;32" plain green. */
void AppendCode(String &sgr, int code)
{
   const wchar_t *form;
   if (code == RESET)
      form = L"0";
   else if (code == BRIGHT)
      form = L"1";
   else if (code == NORMAL_INTENSITY)
      form = L"22";
   else if ((code >= FIRST_FOREGROUND && code <= LAST_FOREGROUND) ||
            (code >= FIRST_BACKGROUND && code <= LAST_BACKGROUND))
      form = nullptr;
   else
      return;
   if (!sgr.isEmpty())
      sgr.append(L';');
   if (form != nullptr)
      sgr.append(form);
   else if (code <= LAST_FOREGROUND)
      sgr.appendFormattedString(L"22;%d", code);
   else
      sgr.appendFormattedString(L"%d", code);
}

/* The text as it goes out: each sequence escape, "[", codes, "m" becomes the terminal's
 * sequence for the codes the console knows (terminal) or nothing (anything else); an
 * escape without "[" stays; an unterminated sequence ends the text. */
String Translate(const wchar_t *text, bool terminal)
{
   String out;
   // A string grows by its allocation step: one step that holds the text, and a second
   // one for the little that translated sequences add, whatever the text's size.
   out.setAllocationStep(wcslen(text) + String::DEFAULT_ALLOCATION_STEP);
   const wchar_t *p = text;
   for (;;)
   {
      const wchar_t *escape = wcschr(p, ESCAPE);
      if (escape == nullptr)
      {
         out.append(p);
         return out;
      }
      if (escape[1] != '[')
      {
         out.append(p, static_cast<size_t>(escape - p) + 1);
         p = escape + 1;
         continue;
      }
      out.append(p, static_cast<size_t>(escape - p));
      String sgr;
      int code = 0;
      int digits = 0;
      const wchar_t *s = escape + 2;
      for (; *s != 0 && *s != 'm'; s++)
      {
         if (*s >= '0' && *s <= '9')
         {
            if (digits++ < MAX_CODE_DIGITS && code < CODE_LIMIT)
               code = code * 10 + (*s - '0');
         }
         else if (*s == ';')
         {
            AppendCode(sgr, code);
            code = digits = 0;
         }
      }
      if (*s == 0)
         return out;
      if (digits > 0)
         AppendCode(sgr, code);
      if (terminal && !sgr.isEmpty())
      {
         out.append(L"\x1b[");
         out.append(sgr);
         out.append(L'm');
      }
      p = s + 1;
   }
}

/* Writes text to standard output: as wide text to a wide-oriented stream, otherwise
 * converted to the system code page. */
void WriteOut(const wchar_t *text, size_t length)
{
   if (length == 0)
      return;
   if (fwide(stdout, 0) > 0)
   {
      fputws(text, stdout);
      return;
   }
   char *bytes = MBStringFromWideString(text);
   if (bytes != nullptr)
   {
      fwrite(bytes, 1, strlen(bytes), stdout);
      free(bytes);
   }
}

/* Overwrites a block that held a secret; the compiler may not drop the stores. */
void Wipe(void *block, size_t size)
{
   volatile unsigned char *p = static_cast<volatile unsigned char *>(block);
   while (size-- > 0)
      *p++ = 0;
}

/* Reads one line of standard input into buffer (at most size - 1 characters, without its
 * line feed; the rest of a longer line is read and dropped). Empty at the end of input. */
void ReadLine(wchar_t *buffer, size_t size)
{
   buffer[0] = 0;
   if (fwide(stdin, 0) > 0)
   {
      if (fgetws(buffer, static_cast<int>(size), stdin) == nullptr)
      {
         buffer[0] = 0;
         return;
      }
      wchar_t *newline = wcschr(buffer, L'\n');
      if (newline != nullptr)
      {
         *newline = 0;
         return;
      }
      wint_t ch;
      while ((ch = fgetwc(stdin)) != WEOF && ch != L'\n')
         ;
      return;
   }
   // Byte-oriented (or not yet oriented) input is read as bytes, so that the program's
   // own 8-bit reads of standard input keep working.
   size_t capacity = 64, length = 0;
   char *line = static_cast<char *>(malloc(capacity));
   if (line == nullptr)
      return;
   int ch;
   while ((ch = fgetc(stdin)) != EOF && ch != '\n')
   {
      if (length + 1 == capacity)
      {
         char *larger = static_cast<char *>(malloc(capacity * 2));
         if (larger == nullptr)
            break;
         memcpy(larger, line, length);
         Wipe(line, capacity);
         free(line);
         line = larger;
         capacity *= 2;
      }
      line[length++] = static_cast<char>(ch);
   }
   line[length] = 0;
   int written = mb_to_wchar(line, static_cast<int>(length), buffer, static_cast<int>(size - 1));
   buffer[(written > 0) ? written : 0] = 0;
   Wipe(line, capacity);
   free(line);
}

}  // namespace

QV_API void WriteToTerminal(const wchar_t *text)
{
   if (text == nullptr)
      return;
   String out = Translate(text, qv::platform::StreamIsTerminal(stdout));
   WriteOut(out, out.length());
}

QV_API void WriteToTerminalEx(const wchar_t *format, ...)
{
   if (format == nullptr)
      return;
   wchar_t buffer[FORMAT_BUFFER_SIZE];
   va_list args;
   va_start(args, format);
   int length = qv_vsnwprintf(buffer, FORMAT_BUFFER_SIZE, format, args);
   va_end(args);
   if (length < 0)
      return;
   WriteToTerminal(buffer);
}

QV_API bool ReadPassword(const wchar_t *prompt, wchar_t *buffer, size_t size)
{
   if (buffer == nullptr || size == 0 || size > INT32_MAX)
      return false;
   if (prompt != nullptr)
      WriteOut(prompt, wcslen(prompt));
   fflush(stdout);
   bool echoWasOn = false;
   bool echoChanged = qv::platform::SetStandardInputEcho(false, &echoWasOn);
   ReadLine(buffer, size);
   // Back to the mode found, also when the input ended.
   if (echoChanged)
      qv::platform::SetStandardInputEcho(echoWasOn, nullptr);
   WriteOut(L"\n", 1);
   fflush(stdout);
   return true;
}

QV_API wchar_t *safe_fgetts(wchar_t *buffer, int size, FILE *stream)
{
   if (buffer == nullptr || size < 1 || stream == nullptr)
      return nullptr;
   wchar_t *line = fgetws(buffer, size, stream);
   if (line == nullptr)
      buffer[0] = 0;
   return line;
}
