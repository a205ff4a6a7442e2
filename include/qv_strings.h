/* libqorvel text: the library's printf, portable text helpers, character set conversion
 * and the dynamic wide-character String. */
#ifndef QORVEL_QV_STRINGS_H
#define QORVEL_QV_STRINGS_H

#include <qv_base.h>

/* ---------------------------------------------------------------------------------------
 * Formatting with the library's rules. In wide formats "%s" is wide text, "%hs" and "%S"
 * 8-bit text, "%c" a wide character and "%hc" an 8-bit one; in 8-bit formats "%s" is 8-bit
 * text and "%ls"/"%S" wide text. "%I64d"/"%I64u"/"%I64x" take 64-bit, "%I32d" 32-bit and
 * "%Id" pointer-sized integers; "%p" prints all hex digits of a pointer in upper case.
 * 8-bit text arguments are read as UTF-8, and wide text goes to 8-bit output as UTF-8.
 * ------------------------------------------------------------------------------------- */

/* Formats into buffer (size characters including the terminator; buffer may be null when
 * size is 0, to measure). The output is always terminated when size > 0. Returns the
 * length of the complete text without terminator, which may exceed size - 1 (the text is
 * then cut), or -1 when the format cannot be formatted (unknown conversion, "%n"). */
QV_API int qv_vsnwprintf(wchar_t *buffer, size_t size, const wchar_t *format, va_list args);
QV_API int qv_snwprintf(wchar_t *buffer, size_t size, const wchar_t *format, ...);
QV_API int qv_vsnprintf(char *buffer, size_t size, const char *format, va_list args);
QV_API int qv_snprintf(char *buffer, size_t size, const char *format, ...);

/* Formats into a new block of exactly the needed size (caller frees with free()); null
 * when the format cannot be formatted. */
QV_API wchar_t *qv_vaswprintf(const wchar_t *format, va_list args);
QV_API wchar_t *qv_aswprintf(const wchar_t *format, ...);
QV_API char *qv_vasprintf(const char *format, va_list args);
QV_API char *qv_asprintf(const char *format, ...);

/* ---------------------------------------------------------------------------------------
 * Portable forms of the platform's text functions.
 * ------------------------------------------------------------------------------------- */

/* Case-insensitive comparison (characters compared as lower case, then as unsigned). */
QV_API int qv_wcsicmp(const wchar_t *s1, const wchar_t *s2);
QV_API int qv_wcsnicmp(const wchar_t *s1, const wchar_t *s2, size_t count);
QV_API int qv_stricmp(const char *s1, const char *s2);
QV_API int qv_strnicmp(const char *s1, const char *s2, size_t count);

/* Upper- and lower-casing in place; return their argument. */
QV_API wchar_t *qv_wcsupr(wchar_t *s);
QV_API wchar_t *qv_wcslwr(wchar_t *s);
QV_API char *qv_strupr(char *s);
QV_API char *qv_strlwr(char *s);

/* Heap duplicates (caller frees with free()); null for a null argument. */
QV_API wchar_t *qv_wcsdup(const wchar_t *s);
QV_API char *qv_strdup(const char *s);

/* Copy and append bounded by the destination size: at most size - 1 characters, always
 * terminated when size > 0. Return the length of the text they tried to create (source
 * length for the copies, initial destination length + source length for the appends). */
QV_API size_t strlcpy(char *dst, const char *src, size_t size);
QV_API size_t strlcat(char *dst, const char *src, size_t size);
QV_API size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size);
QV_API size_t wcslcat(wchar_t *dst, const wchar_t *src, size_t size);

/* ---------------------------------------------------------------------------------------
 * Character set conversion.
 *
 * Forms: UCS-2 is 16-bit UTF-16 (UCS2CHAR; surrogate pairs are combined and produced),
 * UCS-4 is 32-bit code points (UCS4CHAR), UTF-8 and the multibyte code page are bytes.
 * wchar_t holds one code point here, so the wchar_* forms are the UCS-4 ones under the
 * wide character type. The multibyte ("mb") code page is chosen by SetDefaultCodepage:
 * the default "ACP" means the process locale's character set (the plain C locale taken
 * as UTF-8); any other name is an iconv character set name such as "ISO-8859-1".
 *
 * Bounded converters take (source, source length, destination, destination size), lengths
 * in units of their forms. A source length of -1 means zero-terminated; the output is
 * then terminated too, and the terminator is not counted (when the output would fill the
 * destination, its last character gives way to the terminator). An explicit length
 * converts exactly that many units and writes no terminator; other negative lengths
 * convert nothing. A character that does not fit stops the conversion; a partial
 * sequence is never written. A destination size of 0 or less writes nothing. They return
 * the units written.
 *
 * Invalid input: unpaired UTF-16 surrogates are dropped; a UTF-8 lead byte that starts no
 * sequence, or starts one cut off by the end of the source, becomes '?' (continuation
 * bytes are not checked and overlong forms are accepted); code points above 0x10FFFF are
 * dropped by the UTF-16 and UTF-8 encoders (the UCS-4 output of utf8_to_ucs4 keeps them).
 *
 * The mb converters go through a UTF-16 intermediate. mb_to_ucs4 (and mb_to_wchar)
 * follow the rules above. ucs4_to_mb, mb_to_utf8 and utf8_to_mb (and wchar_to_mb) are
 * all-or-nothing, as the platform converter is: they return the bytes written, the
 * terminator included with a source length of -1, or 0 when the output does not fit or
 * the code page cannot be used (with -1 the destination then holds an empty text).
 * Characters the code page cannot represent become '?'; bytes that are not valid in it
 * become U+FFFD.
 * ------------------------------------------------------------------------------------- */

QV_API int ucs2_to_ucs4(const UCS2CHAR *src, int srcLen, UCS4CHAR *dst, int dstLen);
QV_API int ucs4_to_ucs2(const UCS4CHAR *src, int srcLen, UCS2CHAR *dst, int dstLen);
QV_API int ucs2_to_utf8(const UCS2CHAR *src, int srcLen, char *dst, int dstLen);
QV_API int ucs4_to_utf8(const UCS4CHAR *src, int srcLen, char *dst, int dstLen);
QV_API int utf8_to_ucs2(const char *src, int srcLen, UCS2CHAR *dst, int dstLen);
QV_API int utf8_to_ucs4(const char *src, int srcLen, UCS4CHAR *dst, int dstLen);
QV_API int mb_to_ucs4(const char *src, int srcLen, UCS4CHAR *dst, int dstLen);
QV_API int mb_to_utf8(const char *src, int srcLen, char *dst, int dstLen);
QV_API int ucs4_to_mb(const UCS4CHAR *src, int srcLen, char *dst, int dstLen);
QV_API int utf8_to_mb(const char *src, int srcLen, char *dst, int dstLen);

/* Wide-character forms (wchar_t = UCS-4 here). */
QV_API int wchar_to_ucs2(const wchar_t *src, int srcLen, UCS2CHAR *dst, int dstLen);
QV_API int ucs2_to_wchar(const UCS2CHAR *src, int srcLen, wchar_t *dst, int dstLen);
QV_API int wchar_to_utf8(const wchar_t *src, int srcLen, char *dst, int dstLen);
QV_API int utf8_to_wchar(const char *src, int srcLen, wchar_t *dst, int dstLen);
QV_API int wchar_to_mb(const wchar_t *src, int srcLen, char *dst, int dstLen);
QV_API int mb_to_wchar(const char *src, int srcLen, wchar_t *dst, int dstLen);

/* mb_to_wchar in a numeric code page: 0 is the default code page, 65001 UTF-8, 1252
 * CP1252, 20127 ASCII, 28591 to 28599 ISO-8859-1 to ISO-8859-9, any other n "CP<n>".
 * Returns the characters written (terminator not counted), 0 when the code page cannot
 * be used. */
QV_API int mb_to_wchar_cp(int codePage, const char *src, int srcLen, wchar_t *dst, int dstLen);

/* Units needed for the converted text plus one for a terminator (a source length of -1:
 * zero-terminated). The UTF-16 counts take two units for every value above 0xFFFF, also
 * for those above 0x10FFFF that the converters drop, so they may exceed the output. */
QV_API int ucs2_utf8len(const UCS2CHAR *src, int srcLen);
QV_API int ucs4_ucs2len(const UCS4CHAR *src, int srcLen);
QV_API int ucs4_utf8len(const UCS4CHAR *src, int srcLen);
QV_API int utf8_ucs2len(const char *src, int srcLen);
QV_API int utf8_ucs4len(const char *src, int srcLen);
QV_API int wchar_ucs2len(const wchar_t *src, int srcLen);
QV_API int ucs2_wcharlen(const UCS2CHAR *src, int srcLen);
QV_API int wchar_utf8len(const wchar_t *src, int srcLen);
QV_API int utf8_wcharlen(const char *src, int srcLen);

/* Allocating converters: a new zero-terminated block holding the whole converted text
 * (caller frees with free()); null for a null source. The mb forms give an empty text
 * when the code page cannot be used. The SysLocale forms are the same as the others. */
QV_API wchar_t *WideStringFromMBString(const char *src);
QV_API wchar_t *WideStringFromMBStringSysLocale(const char *src);
QV_API wchar_t *WideStringFromUTF8String(const char *src);
QV_API char *MBStringFromWideString(const wchar_t *src);
QV_API char *MBStringFromWideStringSysLocale(const wchar_t *src);
QV_API char *UTF8StringFromWideString(const wchar_t *src);
QV_API char *MBStringFromUTF8String(const char *src);
QV_API char *UTF8StringFromMBString(const char *src);
QV_API UCS2CHAR *UCS2StringFromUCS4String(const UCS4CHAR *src);
QV_API UCS4CHAR *UCS4StringFromUCS2String(const UCS2CHAR *src);
QV_API UCS4CHAR *UCS4StringFromMBString(const char *src);
QV_API char *MBStringFromUCS4String(const UCS4CHAR *src);
QV_API UCS2CHAR *UCS2StringFromWideString(const wchar_t *src);
QV_API wchar_t *WideStringFromUCS2String(const UCS2CHAR *src);

/* UCS-4 and UCS-2 string utilities. ucs4_strncpy copies min(count, length + 1) units, so
 * the terminator only when it fits, and writes nothing else; it returns dst. The strdup
 * forms return a new block (caller frees with free()), null for null. */
QV_API size_t ucs4_strlen(const UCS4CHAR *s);
QV_API UCS4CHAR *ucs4_strdup(const UCS4CHAR *s);
QV_API UCS4CHAR *ucs4_strncpy(UCS4CHAR *dst, const UCS4CHAR *src, size_t count);
QV_API size_t ucs2_strlen(const UCS2CHAR *s);
QV_API UCS2CHAR *ucs2_strdup(const UCS2CHAR *s);

/* Stores at most the first 63 characters of name as the default code page name and
 * returns true; false (nothing changed) for a null name. "ACP" (the initial name, any
 * case) and "" mean the process locale's character set. Takes effect for conversions
 * started afterwards on any thread. */
QV_API bool SetDefaultCodepage(const char *name);

/* ---------------------------------------------------------------------------------------
 * String
 * ------------------------------------------------------------------------------------- */

#ifdef __cplusplus

#include <stdlib.h>
#include <string.h>

class StringList;
class uuid;

namespace qv {
namespace text {
struct StringInternals;
}
}  // namespace qv

/* The library's dynamic wide-character string: a growable buffer of wchar_t on the C heap,
 * always zero-terminated while present. An empty string may have no buffer at all.
 *
 * Growth is linear, not doubling: when the text has to grow, the capacity grows by the
 * larger of the allocation step (256 characters for a new string) and what the operation
 * needs, so callers that build long texts raise the step with setAllocationStep.
 *
 * The text may hold zero characters appended with an explicit count. Operations that work
 * from the length (equals(const String&), ==, += with a String, startsWith, endsWith, case
 * conversion, substring) see them; those that work from the terminator (equals with a wide
 * text, find, escapeCharacter, trim, + with a String) stop at the first zero.
 *
 * Blocks handed out (getUTF8String, substring into a new block) are freed by the caller
 * with free(); blocks taken over (setBuffer, appendPreallocated) must come from malloc.
 * Text arguments may point into the string itself: the result is that of operating on a
 * copy of the text. An operation whose sizes would overflow, or whose allocation fails,
 * leaves the string as it was. Not safe for concurrent modification. */
class QV_EXPORT String
{
   friend struct qv::text::StringInternals;  // the library's own code of the string

private:
   wchar_t *m_buffer;        // null for an empty string without a block
   size_t m_length;          // characters, terminator not counted
   size_t m_allocated;       // capacity in characters, terminator included
   size_t m_allocationStep;  // smallest growth of the capacity, in characters

   // Used by the inline appends: the fast path, and the library's path for growth and
   // for text inside the own buffer.
   bool ownsPointer(const void *p) const;
   bool appendInPlace(const wchar_t *text, size_t count);
   void appendChars(const wchar_t *text, size_t count);
   void appendCharGrowing(wchar_t ch);
   size_t textLength(const wchar_t *text) const;

public:
   /* Returned by find when nothing is found. */
   static constexpr int32_t npos = -1;

   /* Allocation step of a new string, in characters. */
   static constexpr size_t DEFAULT_ALLOCATION_STEP = 256;

   /* Empty, without a buffer. */
   String();
   /* Copies length, text and allocation step into a block of exactly length + 1
    * characters; an empty source leaves the copy without a buffer. */
   String(const String &src);
   /* Takes over the source's buffer; the source is left empty without a buffer. */
   String(String &&src) noexcept;
   /* A heap copy of text (null counts as the empty text; the buffer is present then). */
   String(const wchar_t *text);
   ~String() { free(m_buffer); }

   /* Assigning a string to itself changes nothing; otherwise copies as the copy
    * constructor does, allocation step included. */
   String &operator=(const String &src);
   String &operator=(String &&src) noexcept;
   /* Replaces the text with a heap copy of text (null counts as the empty text; the
    * buffer is present afterwards even for an empty text). The allocation step stays. */
   String &operator=(const wchar_t *text);

   /* Appends exactly count characters of text, zeros included; a count of 0 does nothing.
    * When text points into this string, at most the characters up to and including its
    * terminator are taken. */
   void append(const wchar_t *text, size_t count);
   /* Appends text up to its terminator; null does nothing. */
   void append(const wchar_t *text);
   void appendWideString(const wchar_t *text, size_t count) { append(text, count); }
   /* Appends one character. */
   void append(wchar_t ch);
   /* Appends the decimal text of the value. */
   void append(int32_t n);
   void append(uint32_t n);
   void append(int64_t n);
   void append(uint64_t n);
   /* Takes over a malloc'ed terminated text, appends it and frees it; null does nothing.
    * A pointer into this string's own buffer is appended and not freed. */
   void appendPreallocated(wchar_t *text);
   /* Formats by the library's wide rules (qv_vsnwprintf) and appends the result; a format
    * that cannot be formatted appends nothing. */
   void appendFormattedString(const wchar_t *format, ...);
   void appendFormattedStringV(const wchar_t *format, va_list args);
   /* Converts byteCount bytes of multibyte text in codePage (0 the system default, 65001
    * UTF-8) and appends the result, zeros among the bytes included. A conversion that
    * fails, a null text or a count above INT_MAX appends nothing. */
   void appendMBString(const char *bytes, size_t byteCount, int codePage);
   /* Appends the 36-character text form of value. */
   void append(const uuid &value);

   /* Appends text (null does nothing). */
   String &operator+=(const wchar_t *text)
   {
      append(text);
      return *this;
   }
   /* Appends all length characters of other; an empty operand does nothing. */
   String &operator+=(const String &other);
   /* A copy of this string (allocation step included) with other's text appended up to
    * its first zero; an operand without a buffer adds nothing. */
   String operator+(const String &other) const;
   /* A copy of this string with text appended; null adds nothing. */
   String operator+(const wchar_t *text) const;

   /* Inserts esc in front of every occurrence of ch in the text up to its terminator;
    * inserted characters are never examined again (ch == esc doubles every ch). */
   void escapeCharacter(int ch, int esc);
   /* Replaces every occurrence of from by to, left to right and without overlap; inserted
    * text is never searched again. An empty or null from, or a null to, does nothing. */
   void replace(const wchar_t *from, const wchar_t *to);
   /* Removes leading and trailing whitespace (iswspace); the length becomes that of the
    * remaining text up to its terminator. */
   void trim();
   /* Removes min(count, length) characters from the end. */
   void shrink(size_t count);
   /* Length 0; the buffer and its capacity stay. */
   void clear();
   /* Maps each of the length characters through towupper / towlower. */
   void toUppercase();
   void toLowercase();
   /* Frees the current buffer and takes over a malloc'ed terminated text, taken to be
    * exactly as large as its text; null leaves an empty string without a buffer. The
    * string's own buffer (or a pointer into it) keeps the text from that point on. */
   void setBuffer(wchar_t *buffer);

   size_t length() const { return m_length; }
   bool isEmpty() const { return m_length == 0; }
   /* The character at index, or 0 when index is not below the length. */
   wchar_t charAt(size_t index) const { return (index < m_length) ? m_buffer[index] : 0; }
   /* The buffer itself; null for a string without one. Characters may be changed in
    * place below the length; the terminator must stay. */
   wchar_t *getBuffer() { return m_buffer; }
   const wchar_t *getBuffer() const { return m_buffer; }
   /* The buffer, or an empty text when there is none; never null. */
   operator const wchar_t *() const { return (m_buffer != nullptr) ? m_buffer : L""; }
   size_t getAllocationStep() const { return m_allocationStep; }
   /* Any value is accepted; with 0 growth still covers what is needed. */
   void setAllocationStep(size_t step) { m_allocationStep = step; }
   /* Capacity of the buffer in characters, terminator included (0 without a buffer
    * unless copied from an empty string, which records a capacity of 1). */
   size_t capacity() const { return m_allocated; }

   /* The text up to its terminator as a new zero-terminated UTF-8 block (caller frees
    * with free()); an empty string gives an empty text. Null only when out of memory. */
   char *getUTF8String() const;

   /* Same length and the same length characters (zeros included). */
   bool equals(const String &other) const;
   /* This text (empty without a buffer) and text are identical up to their terminators;
    * false for null. */
   bool equals(const wchar_t *text) const;
   bool operator==(const String &other) const { return equals(other); }
   bool operator!=(const String &other) const { return !equals(other); }

   /* True when the first (last) characters equal the prefix (suffix); an empty one always
    * matches, a longer one never; null never matches. */
   bool startsWith(const String &prefix) const;
   bool startsWith(const wchar_t *prefix) const;
   bool endsWith(const String &suffix) const;
   bool endsWith(const wchar_t *suffix) const;

   /* Index of the first occurrence of pattern at or after start, searching the text up to
    * its terminator; npos when start is not below the length, for a null pattern, when
    * nothing is found, or for an index beyond INT32_MAX. An empty pattern is found at
    * start. */
   int32_t find(const wchar_t *pattern, size_t start = 0) const;

   /* The characters from start on: all of them when count is negative, otherwise at most
    * count. Empty when start is not below the length. The result has the default step. */
   String substring(size_t start, int32_t count) const;
   /* The same selection written with a terminator into buffer, which must have room for
    * it; when buffer is null a new block of exactly that size is allocated (caller frees
    * with free()). Returns the buffer written, null only when out of memory. */
   wchar_t *substring(size_t start, int32_t count, wchar_t *buffer) const;
   /* The first / last min(count, length) characters. */
   String left(size_t count) const;
   String right(size_t count) const;

   /* A new list (caller deletes it) of the pieces of the text up to its terminator
    * between occurrences of separator, empty pieces kept ("a,b," gives a, b and "").
    * An empty or null separator gives one entry: the text, or "(null)" for a string
    * without a buffer. A text without separator, even one shorter than it, gives one
    * entry holding the text. The string is only read. Null only when out of memory. */
   StringList *split(const wchar_t *separator) const;
};

/* The appends are inline so that the common case (room in the buffer, text from
 * elsewhere) is a copy without a call into the library. */

inline bool String::ownsPointer(const void *p) const
{
   // One unsigned comparison: pointers below the buffer wrap to large offsets.
   uintptr_t offset = reinterpret_cast<uintptr_t>(p) - reinterpret_cast<uintptr_t>(m_buffer);
   return m_buffer != nullptr && offset < m_allocated * sizeof(wchar_t);
}

inline bool String::appendInPlace(const wchar_t *text, size_t count)
{
   if (m_buffer == nullptr || count >= m_allocated - m_length || ownsPointer(text))
      return false;
   memcpy(m_buffer + m_length, text, count * sizeof(wchar_t));
   m_length += count;
   m_buffer[m_length] = 0;
   return true;
}

inline void String::append(const wchar_t *text, size_t count)
{
   if (count > 0 && !appendInPlace(text, count))
      appendChars(text, count);
}

inline void String::append(const wchar_t *text)
{
   if (text == nullptr)
      return;
   size_t count = ownsPointer(text) ? textLength(text) : wcslen(text);
   if (!appendInPlace(text, count))
      appendChars(text, count);
}

inline void String::append(wchar_t ch)
{
   if (m_buffer != nullptr && m_length + 1 < m_allocated)
   {
      m_buffer[m_length++] = ch;
      m_buffer[m_length] = 0;
   }
   else
   {
      appendCharGrowing(ch);
   }
}

#endif /* __cplusplus */

/* ---------------------------------------------------------------------------------------
 * Text utilities
 * ------------------------------------------------------------------------------------- */

/* Plain functions over zero-terminated texts and byte blocks. Most come as a wide form (W)
 * and an 8-bit form (A) that behave the same. None keeps state or locks; all may be called
 * from any thread. A null text argument gives the failure result (false, 0, null) unless
 * noted. */

/* Matching. */

/* True when the whole of text matches the wildcard pattern: "*" matches any run of
 * characters (also none), "?" any one character, everything else itself. Without
 * matchCase both sides are compared in upper case (towupper / toupper). */
QV_API bool MatchStringW(const wchar_t *pattern, const wchar_t *text, bool matchCase);
QV_API bool MatchStringA(const char *pattern, const char *text, bool matchCase);

/* True when the POSIX extended regular expression matches somewhere in text (compiled
 * for each call; with matchCase false, without regard to case). A pattern that does not
 * compile matches nothing. */
QV_API bool RegexpMatchW(const wchar_t *text, const wchar_t *pattern, bool matchCase);
QV_API bool RegexpMatchA(const char *text, const char *pattern, bool matchCase);

/* Trimming, in place. */

/* Removes leading and trailing spaces and tabs (only those two characters). */
QV_API void StrStripW(wchar_t *text);
QV_API void StrStripA(char *text);
/* Removes leading and trailing white space as iswspace defines it; returns text. */
QV_API wchar_t *Trim(wchar_t *text);
/* Removes one line end at the very end: "\r\n", a lone "\n" or a lone "\r". */
QV_API void RemoveTrailingCRLFW(wchar_t *text);
QV_API void RemoveTrailingCRLFA(char *text);

/* Words, splitting, counting, replacing. */

/* Skips spaces and tabs, copies the following run of characters up to the next space,
 * tab or the end into buffer (terminated), and returns a pointer into line just after the
 * word. The buffer must hold the word: the length of line plus one always does. */
QV_API const wchar_t *ExtractWordW(const wchar_t *line, wchar_t *buffer);
QV_API const char *ExtractWordA(const char *line, char *buffer);

/* The pieces of text between occurrences of separator, empty pieces included, as a new
 * array of *count new texts (count = separators + 1). The array and every piece come
 * from malloc; the caller frees all of them. Null (and a count of 0) for a null text or
 * when out of memory. */
QV_API wchar_t **SplitString(const wchar_t *text, wchar_t separator, int32_t *count);

/* Occurrences of ch in text. */
QV_API int32_t NumCharsW(const wchar_t *text, wchar_t ch);
QV_API int32_t NumCharsA(const char *text, char ch);

/* Replaces every occurrence of search in text (left to right, not overlapping) by
 * replacement, in place, and returns true; search and replacement must not point into
 * text. The text cannot grow, so a replacement longer
 * than search, an empty search text or a null argument is refused: false, and the text
 * stays as it was. */
QV_API bool TranslateStr(wchar_t *text, const wchar_t *search, const wchar_t *replacement);

/* Option strings: options separated by ";", each "name=value"; names are compared
 * without regard to case (at most 255 characters of a name are compared), the first
 * option of a name wins, and values are stripped of leading and trailing spaces and
 * tabs. Text before a ";" without "=" is ignored; "=" inside a value is part of it. */

/* True when the option is present: its value (cut to size - 1 characters) is in buffer.
 * False, with nothing written, when it is absent or buffer is null or size < 1. */
QV_API bool ExtractNamedOptionValueW(const wchar_t *options, const wchar_t *name, wchar_t *buffer, int32_t size);
QV_API bool ExtractNamedOptionValueA(const char *options, const char *name, char *buffer, int32_t size);

/* The typed readers read at most 255 characters of the value. */

/* The default when absent; otherwise true exactly for "yes" or "true" in any case. */
QV_API bool ExtractNamedOptionValueAsBoolW(const wchar_t *options, const wchar_t *name, bool defaultValue);
QV_API bool ExtractNamedOptionValueAsBoolA(const char *options, const char *name, bool defaultValue);
/* The value as a number with automatic base (decimal, "0x" hexadecimal, a leading 0
 * octal), saturated to the type's range; an empty value gives 0. The default when the
 * option is absent or anything but the number is in the value. */
QV_API int32_t ExtractNamedOptionValueAsIntW(const wchar_t *options, const wchar_t *name, int32_t defaultValue);
QV_API int32_t ExtractNamedOptionValueAsIntA(const char *options, const char *name, int32_t defaultValue);
QV_API uint32_t ExtractNamedOptionValueAsUIntW(const wchar_t *options, const wchar_t *name, uint32_t defaultValue);
QV_API uint32_t ExtractNamedOptionValueAsUIntA(const char *options, const char *name, uint32_t defaultValue);
QV_API uint64_t ExtractNamedOptionValueAsUInt64W(const wchar_t *options, const wchar_t *name, uint64_t defaultValue);
QV_API uint64_t ExtractNamedOptionValueAsUInt64A(const char *options, const char *name, uint64_t defaultValue);

/* Hexadecimal text. */

/* Writes two upper-case hexadecimal digits for each of count bytes and a terminator into
 * buffer, which must hold 2 * count + 1 characters; returns buffer. */
QV_API wchar_t *BinToStrW(const void *data, size_t count, wchar_t *buffer);
QV_API char *BinToStrA(const void *data, size_t count, char *buffer);
/* Clears buffer (size bytes), then turns each pair of characters of text into one byte
 * (first character the high half) until the text ends or the buffer is full; returns the
 * bytes produced. A character that is not a hexadecimal digit counts as 0, and an odd
 * last character gives a byte with a low half of 0. */
QV_API size_t StrToBinW(const wchar_t *text, BYTE *buffer, size_t size);
QV_API size_t StrToBinA(const char *text, BYTE *buffer, size_t size);

/* Code tables and names. */

/* One row of a code/text table; a table ends with a row whose text is null. */
typedef struct
{
   int32_t code;
   const wchar_t *text;
} CodeTextEntry;

/* The value of a data type name without regard to case: "INT" 0, "UINT" 1, "INT64" 2,
 * "UINT64" 3, "STRING" 4, "FLOAT" 5; -1 for anything else. */
QV_API int32_t QvDCIDataTypeFromText(const wchar_t *text);
/* The text of the first row with code, or defaultText. */
QV_API const wchar_t *CodeToText(int32_t code, const CodeTextEntry *table, const wchar_t *defaultText);
/* The code of the first row whose text equals text without regard to case, or
 * defaultCode. */
QV_API int32_t CodeFromText(const wchar_t *text, const CodeTextEntry *table, int32_t defaultCode);

/* True when name is not empty and has only letters, digits and "_- @()./" (lenient
 * false), or no control character 0x01-0x1F and none of |"'*%#\`;?<>= (lenient true). */
QV_API bool IsValidObjectName(const wchar_t *name, bool lenient);
/* True when name is not empty, has only letters, digits, "_" and ":", and does not start
 * with a digit or ":". */
QV_API bool IsValidScriptName(const wchar_t *name);

/* Escaping. */

/* A new text (malloc; the caller frees it) with the first length characters of text (-1
 * or any negative length: up to the terminator, which also ends a shorter text) escaped
 * for XML: control characters 0x00-0x1F as "&#xHH;", and "&", "<", ">", the double quote
 * and the apostrophe as entities. A null text gives an empty text; null only when out of
 * memory. */
QV_API wchar_t *EscapeStringForXML(const wchar_t *text, int32_t length);

/* Memory and byte order. */

/* A new malloc block (the caller frees it) holding a copy of size bytes of data; null when
 * out of memory or for null data with a size above 0. */
QV_API void *MemCopyBlock(const void *data, size_t size);
/* Exchanges the contents of two blocks of size bytes (which must not overlap). */
QV_API void qv_memswap(void *block1, void *block2, size_t size);
/* Reverses the byte order of each element in place; a negative count means the array
 * ends with a zero element, which is left as it is. */
QV_API void bswap_array_16(uint16_t *values, int count);
QV_API void bswap_array_32(uint32_t *values, int count);

/* XML attributes, for the arrays an expat start-element handler receives (name, value,
 * name, value, ..., null). Names are compared without regard to case; the first match
 * wins. Numbers are parsed with automatic base, trailing text ignored. */

/* The value of the attribute, or null. */
QV_API const char *XMLGetAttr(const char **attrs, const char *name);
QV_API int32_t XMLGetAttrInt(const char **attrs, const char *name, int32_t defaultValue);
QV_API uint32_t XMLGetAttrUINT32(const char **attrs, const char *name, uint32_t defaultValue);
/* The default when absent; when the whole value is a number, true for non-zero (an empty
 * value is false); otherwise true for "yes" or "true" in any case. */
QV_API bool XMLGetAttrBoolean(const char **attrs, const char *name, bool defaultValue);

#ifdef __cplusplus

/* The XML escape of EscapeStringForXML as a String. */
QV_EXPORT String EscapeStringForXML2(const wchar_t *text, int32_t length = -1);
/* text for a JSON string value: the double quote and the backslash escaped with a
 * backslash, control characters as \b, \f, \n, \r, \t or \u00HH; an empty String for
 * null. */
QV_EXPORT String EscapeStringForJSON(const wchar_t *text);
/* text for an agent command line: every double quote doubled; an empty String for null. */
QV_EXPORT String EscapeStringForAgent(const wchar_t *text);

/* The arguments of a command line, as a new list the caller deletes. Arguments are
 * separated by spaces (not tabs) outside quotes; double quotes and apostrophes quote
 * (each is a plain character inside the other) and are removed, so quoted parts join the
 * unquoted text next to them. A quoted empty argument ("" or '') counts wherever it is;
 * an unclosed quote runs to the end of the line. Null gives an empty list. */
QV_EXPORT StringList *ParseCommandLine(const wchar_t *line);

/* The lines removed from left and added to right: "-" and the line and "\n" for each
 * removed line, "+" and the line and "\n" for each added one, in order; an empty String
 * for texts with the same lines. Lines end at "\n" ("\r" before it stays part of the
 * line); lines that differ only in letter case count as the same line; blank lines are
 * not shown. Each shown line is a whole line of its own side. The comparison stops
 * refining after 5 seconds and then reports what is left as removed and added. */
QV_EXPORT String GenerateLineDiff(const String &left, const String &right);

#endif /* __cplusplus */

/* Base64 with the standard alphabet (A-Z, a-z, 0-9, '+', '/') and '=' for padding, over
 * 8-bit data. */

/* Writes the encoding of inlen bytes of in (4 characters for every 3 bytes or part of
 * them), cut to outlen characters; a terminator follows only when room is left. */
QV_API void base64_encode(const char *in, size_t inlen, char *out, size_t outlen);

/* The encoding in a new terminated block (caller frees with free()); returns its length
 * without the terminator. When the length would not fit in size_t, or the allocation
 * fails, *out is set to null and 0 is returned. */
QV_API size_t base64_encode_alloc(const char *in, size_t inlen, char **out);

/* True for the 64 alphabet characters (not for the padding character). */
QV_API bool isbase64(char ch);

/* Decodes inlen characters of in into out, which has room for *outlen bytes; bytes
 * beyond the room are not written, and *outlen is set to the bytes written. Carriage
 * returns and line feeds at the end of the input are ignored, and one line end (CR, LF
 * or CR LF) between groups of four characters is skipped. Returns true when the whole
 * input was valid; decoding stops with false at the first character outside the
 * alphabet, at padding other than "xx==" or "xxx=" ending the input, or at a last group
 * of fewer than four characters (the bytes it holds are still written). */
QV_API bool base64_decode(const char *in, size_t inlen, char *out, size_t *outlen);

/* Decodes into a new block of 3 * (inlen / 4) + 2 bytes (caller frees with free()) and
 * returns true, with the decoded length in *outlen unless outlen is null. On invalid
 * input, and when the allocation fails, *out is set to null, *outlen to 0 and the result
 * is false. */
QV_API bool base64_decode_alloc(const char *in, size_t inlen, char **out, size_t *outlen);

#endif
