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



/* ---------------------------------------------------------------------------------------
 * Text utilities
 * ------------------------------------------------------------------------------------- */



#endif
