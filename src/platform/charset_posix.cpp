/* POSIX side of the character set conversion: iconv descriptors and nl_langinfo. */
#include "platform/charset.h"

#include <errno.h>
#include <iconv.h>
#include <langinfo.h>
#include <string.h>

namespace qv::platform {

namespace {

const iconv_t NO_ICONV = reinterpret_cast<iconv_t>(-1);
constexpr size_t ICONV_ERROR = static_cast<size_t>(-1);

iconv_t Descriptor(CharsetConverter *converter)
{
   return reinterpret_cast<iconv_t>(converter);
}

}  // namespace

const char *LocaleCharset()
{
   return nl_langinfo(CODESET);
}

CharsetConverter *CharsetConverterOpen(const char *to, const char *from)
{
   iconv_t descriptor = iconv_open(to, from);
   return (descriptor == NO_ICONV) ? nullptr : reinterpret_cast<CharsetConverter *>(descriptor);
}

void CharsetConverterClose(CharsetConverter *converter)
{
   if (converter != nullptr)
      iconv_close(Descriptor(converter));
}

CharsetResult CharsetConvert(CharsetConverter *converter, const char **in, size_t *inLeft, char **out, size_t *outLeft)
{
   size_t rc;
   if (in == nullptr)
   {
      rc = iconv(Descriptor(converter), nullptr, nullptr, out, outLeft);
   }
   else
   {
      char *input = const_cast<char *>(*in);
      rc = iconv(Descriptor(converter), &input, inLeft, out, outLeft);
      *in = input;
   }
   if (rc != ICONV_ERROR)
      return CharsetResult::DONE;
   switch (errno)
   {
      case E2BIG: return CharsetResult::OUTPUT_FULL;
      case EILSEQ: return CharsetResult::INVALID_INPUT;
      case EINVAL: return CharsetResult::INCOMPLETE_INPUT;
      default: return CharsetResult::FAILED;
   }
}

}  // namespace qv::platform
