/* Conversion between character sets by the platform's converter, and the character set of
 * the process locale. No OS header appears here; the POSIX side is charset_posix.cpp
 * (iconv and nl_langinfo). */
#ifndef QORVEL_PLATFORM_CHARSET_H
#define QORVEL_PLATFORM_CHARSET_H

#include <qv_base.h>

namespace qv::platform {

/* An open conversion from one character set to another. It carries conversion state, so
 * one thread uses it at a time. */
struct CharsetConverter;

/* The character set of the process locale as the platform names it ("UTF-8",
 * "ISO-8859-1", ...); the plain C locale gives LOCALE_C_CHARSET. Valid until the locale
 * changes. */
const char *LocaleCharset();

/* The platform's name of the character set of the plain C locale (7-bit ASCII). */
constexpr const char LOCALE_C_CHARSET[] = "ANSI_X3.4-1968";

/* A converter from the character set named from to the one named to, or null when the
 * platform does not know either name. CharsetConverterClose releases it (null: nothing). */
CharsetConverter *CharsetConverterOpen(const char *to, const char *from);
void CharsetConverterClose(CharsetConverter *converter);

/* Outcome of one CharsetConvert call. */
enum class CharsetResult
{
   DONE,              // everything given was converted
   OUTPUT_FULL,       // the output ran out of room first
   INVALID_INPUT,     // *in points at bytes not valid in the source set, or at a character
                      // that the target set cannot take
   INCOMPLETE_INPUT,  // *in points at a sequence that the end of the input cuts off
   FAILED             // any other failure
};

/* Converts the *inLeft bytes at *in into the *outLeft bytes of room at *out, advancing all
 * four past what was converted and written. With in null, writes what the converter holds
 * back (a character kept to combine it with a following one, the sequence that returns a
 * stateful encoding to its initial state); with in and out null, returns the converter to
 * its initial state and writes nothing. */
CharsetResult CharsetConvert(CharsetConverter *converter, const char **in, size_t *inLeft, char **out, size_t *outLeft);

}  // namespace qv::platform

#endif
