/* Conversions through the multibyte code page: the default code page name, the platform
 * converters each thread keeps, and the two-step converters with a UTF-16 intermediate.
 * A UTF-8 code page is converted by the library's own code; any other goes through the
 * platform's converter. */
#include <qv_strings.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "platform/charset.h"
#include "text/convert_core.h"

using namespace qv::text;
using qv::platform::CharsetConvert;
using qv::platform::CharsetConverter;
using qv::platform::CharsetConverterClose;
using qv::platform::CharsetConverterOpen;
using qv::platform::CharsetResult;

namespace {

/* Longest code page name kept, terminator not counted. */
constexpr size_t MAX_CODEPAGE_NAME = 63;

/* Units of the UTF-16 intermediate kept on the stack; longer texts take the heap. */
constexpr size_t STACK_INTERMEDIATE_UNITS = 32768;

/* Character sets whose converters one thread keeps open. */
constexpr size_t CHARSETS_PER_THREAD = 4;

/* Stands for bytes that are not valid in their code page. */
constexpr UCS2CHAR REPLACEMENT_CHARACTER = 0xFFFD;

/* Stands for characters that the code page cannot represent. */
constexpr UCS2CHAR DEFAULT_CHARACTER = '?';

/* Numeric code pages that mb_to_wchar_cp knows by name. */
constexpr int CP_DEFAULT = 0;
constexpr int CP_UTF8 = 65001;
constexpr int CP_ASCII = 20127;
constexpr int CP_ISO_8859_FIRST = 28591;  // ISO-8859-1; up to 28599, ISO-8859-9
constexpr int CP_ISO_8859_LAST = 28599;

/* Name of the default code page that stands for the process locale's character set. */
const char LOCALE_CODEPAGE[] = "ACP";

/* Character set of the plain C/POSIX locale, whose text is taken as UTF-8. */
const char *const C_LOCALE_CHARSET = qv::platform::LOCALE_C_CHARSET;

/* The platform's name for UTF-16 in this machine's byte order, the form of the
 * intermediate. */
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
const char NATIVE_UTF16[] = "UTF-16LE";
#else
const char NATIVE_UTF16[] = "UTF-16BE";
#endif

/* ---- The default code page name. Readers keep a per-thread copy that they refresh when
 * the generation moves, so a conversion takes no lock unless the name has changed. */

char g_codepageName[MAX_CODEPAGE_NAME + 1] = "ACP";
std::mutex g_codepageLock;
std::atomic<unsigned> g_codepageGeneration{1};

struct CodepageCopy
{
   unsigned generation;
   char name[MAX_CODEPAGE_NAME + 1];
};
thread_local CodepageCopy t_codepage;

const char *CurrentCodepageName()
{
   if (t_codepage.generation != g_codepageGeneration.load(std::memory_order_acquire))
   {
      std::lock_guard<std::mutex> lock(g_codepageLock);
      memcpy(t_codepage.name, g_codepageName, sizeof(t_codepage.name));
      t_codepage.generation = g_codepageGeneration.load(std::memory_order_relaxed);
   }
   return t_codepage.name;
}

/* Character set name for a code page name: "ACP" and "" stand for the locale's. */
void CharsetOfCodepage(const char *codepage, char *charset)
{
   if (codepage[0] == 0 || qv_stricmp(codepage, LOCALE_CODEPAGE) == 0)
   {
      const char *locale = qv::platform::LocaleCharset();
      codepage = (strcmp(locale, C_LOCALE_CHARSET) == 0) ? "UTF-8" : locale;
   }
   strlcpy(charset, codepage, MAX_CODEPAGE_NAME + 1);
}

bool IsUtf8Charset(const char *name)
{
   return qv_stricmp(name, "UTF-8") == 0 || qv_stricmp(name, "UTF8") == 0;
}

/* ---- Character sets as one thread uses them. */

struct Charset
{
   char name[MAX_CODEPAGE_NAME + 1];
   bool utf8;
   CharsetConverter *decoder;  // the character set to the intermediate
   CharsetConverter *encoder;  // the intermediate to the character set
};

const Charset UTF8_CHARSET = {"UTF-8", true, nullptr, nullptr};

/* The converters one thread has open, replaced in turn when a new character set comes.
 * Converters carry conversion state, so threads never share them. */
class CharsetCache
{
private:
   Charset m_entries[CHARSETS_PER_THREAD];
   size_t m_used = 0;
   size_t m_next = 0;

   static void closeEntry(Charset *cs)
   {
      CharsetConverterClose(cs->decoder);
      CharsetConverterClose(cs->encoder);
   }

public:
   CharsetCache() = default;
   CharsetCache(const CharsetCache &) = delete;
   CharsetCache &operator=(const CharsetCache &) = delete;
   ~CharsetCache()
   {
      for (size_t i = 0; i < m_used; i++)
         closeEntry(&m_entries[i]);
   }

   /* The character set of that name, null when the platform does not know it. */
   const Charset *find(const char *name)
   {
      if (IsUtf8Charset(name))
         return &UTF8_CHARSET;
      for (size_t i = 0; i < m_used; i++)
         if (strcmp(m_entries[i].name, name) == 0)
            return &m_entries[i];

      CharsetConverter *decoder = CharsetConverterOpen(NATIVE_UTF16, name);
      if (decoder == nullptr)
         return nullptr;
      CharsetConverter *encoder = CharsetConverterOpen(name, NATIVE_UTF16);
      if (encoder == nullptr)
      {
         CharsetConverterClose(decoder);
         return nullptr;
      }
      Charset *slot;
      if (m_used < CHARSETS_PER_THREAD)
      {
         slot = &m_entries[m_used++];
      }
      else
      {
         slot = &m_entries[m_next];
         m_next = (m_next + 1) % CHARSETS_PER_THREAD;
         closeEntry(slot);
      }
      strlcpy(slot->name, name, sizeof(slot->name));
      slot->utf8 = false;
      slot->decoder = decoder;
      slot->encoder = encoder;
      return slot;
   }
};
thread_local CharsetCache t_charsets;

const Charset *DefaultCharset()
{
   char charset[MAX_CODEPAGE_NAME + 1];
   CharsetOfCodepage(CurrentCodepageName(), charset);
   return t_charsets.find(charset);
}

/* ---- The UTF-16 intermediate: on the stack up to STACK_INTERMEDIATE_UNITS units. */

class Utf16Buffer
{
private:
   UCS2CHAR *m_data;
   size_t m_capacity;
   size_t m_size;
   UCS2CHAR m_stack[STACK_INTERMEDIATE_UNITS];

public:
   Utf16Buffer() : m_data(m_stack), m_capacity(STACK_INTERMEDIATE_UNITS), m_size(0) {}
   Utf16Buffer(const Utf16Buffer &) = delete;
   Utf16Buffer &operator=(const Utf16Buffer &) = delete;
   ~Utf16Buffer()
   {
      if (m_data != m_stack)
         free(m_data);
   }

   UCS2CHAR *data() { return m_data; }
   size_t size() const { return m_size; }
   size_t capacity() const { return m_capacity; }
   void setSize(size_t size) { m_size = size; }

   /* Makes room for at least units units (contents kept); false when out of memory. */
   bool reserve(size_t units)
   {
      if (units <= m_capacity)
         return true;
      size_t capacity = std::max(units, m_capacity * 2);
      UCS2CHAR *data;
      if (m_data == m_stack)
      {
         data = static_cast<UCS2CHAR *>(malloc(capacity * sizeof(UCS2CHAR)));
         if (data != nullptr)
            memcpy(data, m_stack, m_size * sizeof(UCS2CHAR));
      }
      else
      {
         data = static_cast<UCS2CHAR *>(realloc(m_data, capacity * sizeof(UCS2CHAR)));
      }
      if (data == nullptr)
         return false;
      m_data = data;
      m_capacity = capacity;
      return true;
   }

   bool append(UCS2CHAR unit)
   {
      if (!reserve(m_size + 1))
         return false;
      m_data[m_size++] = unit;
      return true;
   }
};

/* ---- The two steps. */

/* Puts the UTF-16 form of n bytes of cs text into buffer. Bytes that are not valid in cs
 * become U+FFFD (the UTF-8 code page follows the library's own decoding rules). False
 * when the converter fails or memory runs out. */
bool DecodeToUtf16(const Charset &cs, const char *src, size_t n, Utf16Buffer &buffer)
{
   buffer.setSize(0);
   if (cs.utf8)
   {
      // A UTF-8 character never takes more UTF-16 units than it has bytes.
      if (!buffer.reserve(n))
         return false;
      size_t pos = 0;
      buffer.setSize(ConvertRun<Utf8Reader, Utf16Writer<UCS2CHAR>>(src, n, &pos, buffer.data(), n));
      return true;
   }

   CharsetConvert(cs.decoder, nullptr, nullptr, nullptr, nullptr);
   if (!buffer.reserve(n))
      return false;
   const char *in = src;
   size_t inLeft = n;
   bool inputTaken = false;
   for (;;)
   {
      char *start = reinterpret_cast<char *>(buffer.data());
      char *out = start + buffer.size() * sizeof(UCS2CHAR);
      size_t outLeft = (buffer.capacity() - buffer.size()) * sizeof(UCS2CHAR);
      // Once all input is taken, a call without input lets a decoder that holds back a
      // character (to combine it with a following mark) give it out.
      CharsetResult rc = inputTaken ? CharsetConvert(cs.decoder, nullptr, nullptr, &out, &outLeft)
                                    : CharsetConvert(cs.decoder, &in, &inLeft, &out, &outLeft);
      buffer.setSize(static_cast<size_t>(out - start) / sizeof(UCS2CHAR));
      if (rc == CharsetResult::DONE)
      {
         if (inputTaken)
            return true;
         inputTaken = true;
      }
      else if (rc == CharsetResult::OUTPUT_FULL)
      {
         if (!buffer.reserve(buffer.capacity() * 2))
            return false;
      }
      else if (!inputTaken && (rc == CharsetResult::INVALID_INPUT || rc == CharsetResult::INCOMPLETE_INPUT))
      {
         // An invalid byte is replaced and skipped; a sequence cut off by the end of the
         // text is replaced as a whole.
         if (!buffer.append(REPLACEMENT_CHARACTER))
            return false;
         if (rc == CharsetResult::INVALID_INPUT)
         {
            in++;
            inLeft--;
         }
         else
         {
            inLeft = 0;
         }
      }
      else
      {
         return false;
      }
   }
}

enum class EncodeResult
{
   DONE,
   FULL,
   FAILED
};

/* Encodes the UTF-16 units src[*pos .. n) into dst[*written .. capacity) in character set
 * cs, advancing both; ends with the sequence that returns a stateful encoding to its
 * initial state. Characters that cs cannot represent, and unpaired surrogates, become
 * '?'. Returns FULL when the rest does not fit (a call with more room goes on from
 * there), FAILED when the converter fails. The caller resets cs.encoder before the first
 * call. */
EncodeResult EncodeFromUtf16(const Charset &cs, const UCS2CHAR *src, size_t n, size_t *pos, char *dst, size_t capacity,
                             size_t *written)
{
   if (cs.utf8)
   {
      *written += ConvertRun<Utf16Reader<UCS2CHAR, true>, Utf8Writer>(src, n, pos, dst + *written, capacity - *written);
      return (*pos == n) ? EncodeResult::DONE : EncodeResult::FULL;
   }

   const char *in = reinterpret_cast<const char *>(src + *pos);
   size_t inLeft = (n - *pos) * sizeof(UCS2CHAR);
   char *out = dst + *written;
   size_t outLeft = capacity - *written;
   EncodeResult result = EncodeResult::DONE;
   while (inLeft > 0)
   {
      CharsetResult rc = CharsetConvert(cs.encoder, &in, &inLeft, &out, &outLeft);
      if (rc == CharsetResult::DONE)
         break;
      if (rc == CharsetResult::OUTPUT_FULL)
      {
         result = EncodeResult::FULL;
         break;
      }
      if (rc != CharsetResult::INVALID_INPUT && rc != CharsetResult::INCOMPLETE_INPUT)
      {
         result = EncodeResult::FAILED;
         break;
      }
      // The character at in has no form in cs: the default character stands for it (a
      // character set without '?' just loses it).
      UCS4CHAR cp;
      size_t skip = Utf16DecodeOne(reinterpret_cast<const UCS2CHAR *>(in), inLeft / sizeof(UCS2CHAR), &cp);
      UCS2CHAR replacement = DEFAULT_CHARACTER;
      const char *replacementIn = reinterpret_cast<const char *>(&replacement);
      size_t replacementLeft = sizeof(replacement);
      if (CharsetConvert(cs.encoder, &replacementIn, &replacementLeft, &out, &outLeft) == CharsetResult::OUTPUT_FULL)
      {
         result = EncodeResult::FULL;
         break;
      }
      in += skip * sizeof(UCS2CHAR);
      inLeft -= skip * sizeof(UCS2CHAR);
   }
   if (result == EncodeResult::DONE)
   {
      CharsetResult rc = CharsetConvert(cs.encoder, nullptr, nullptr, &out, &outLeft);
      if (rc != CharsetResult::DONE)
         result = (rc == CharsetResult::OUTPUT_FULL) ? EncodeResult::FULL : EncodeResult::FAILED;
   }
   *pos = n - inLeft / sizeof(UCS2CHAR);
   *written = static_cast<size_t>(out - dst);
   return result;
}

void ResetEncoder(const Charset &cs)
{
   if (!cs.utf8)
      CharsetConvert(cs.encoder, nullptr, nullptr, nullptr, nullptr);
}

/* Fills buffer with the UTF-16 form of n code points (by the rules of ucs4_to_ucs2). */
template <typename T> bool Ucs4ToUtf16(const T *src, size_t n, Utf16Buffer &buffer)
{
   size_t units = MeasureRun<Ucs4Reader<T>, Utf16Writer<UCS2CHAR>>(src, n);
   if (!buffer.reserve(units))
      return false;
   size_t pos = 0;
   buffer.setSize(ConvertRun<Ucs4Reader<T>, Utf16Writer<UCS2CHAR>>(src, n, &pos, buffer.data(), units));
   return true;
}

/* ---- The converters, built from the two steps. */

/* Bytes of code page text into a Unicode form, by the rules of the library's own
 * converters (mb_to_ucs4, mb_to_wchar). */
template <class W> int DecodeBounded(const Charset *cs, const char *src, int srcLen, typename W::Unit *dst, int dstLen)
{
   if (dst == nullptr || dstLen <= 0)
      return 0;
   bool terminate = (srcLen == -1);
   Utf16Buffer buffer;
   if (cs == nullptr || !DecodeToUtf16(*cs, src, SourceUnits(src, srcLen), buffer))
   {
      if (terminate)
         dst[0] = 0;
      return 0;
   }
   return ConvertBounded<Utf16Reader<UCS2CHAR>, W>(buffer.data(), buffer.size(), terminate, dst, dstLen);
}

/* An all-or-nothing conversion into character set cs, as the platform converter does it:
 * fill(buffer) puts the UTF-16 form of the source into the intermediate; the result is
 * the bytes written, terminator included, or 0 when it does not all fit. */
template <typename Fill> int EncodeBounded(const Charset *cs, bool terminate, char *dst, int dstLen, Fill fill)
{
   if (dst == nullptr || dstLen <= 0)
      return 0;
   Utf16Buffer buffer;
   if (cs != nullptr && fill(buffer))
   {
      size_t capacity = static_cast<size_t>(dstLen) - (terminate ? 1 : 0);
      size_t pos = 0;
      size_t written = 0;
      ResetEncoder(*cs);
      if (EncodeFromUtf16(*cs, buffer.data(), buffer.size(), &pos, dst, capacity, &written) == EncodeResult::DONE)
      {
         if (terminate)
            dst[written++] = 0;
         return static_cast<int>(written);
      }
   }
   if (terminate)
      dst[0] = 0;
   return 0;
}

template <typename T> T *NewEmptyText()
{
   T *block = static_cast<T *>(malloc(sizeof(T)));
   if (block != nullptr)
      block[0] = 0;
   return block;
}

/* A new block with a zero-terminated code page text in a Unicode form. */
template <class W> typename W::Unit *DecodeToNewBlock(const char *src)
{
   if (src == nullptr)
      return nullptr;
   size_t n = strlen(src);
   Utf16Buffer buffer;
   const Charset *cs = DefaultCharset();
   if (cs == nullptr || !DecodeToUtf16(*cs, src, n, buffer))
      return NewEmptyText<typename W::Unit>();
   // One unit per source byte is enough for every single-byte code page and for UTF-8;
   // code pages that give more characters than bytes get what they need.
   size_t units = std::max(n, buffer.size()) + 1;
   return ConvertToNewBlock<Utf16Reader<UCS2CHAR>, W>(buffer.data(), buffer.size(), units);
}

/* A new block with the intermediate in character set cs, grown until it all fits;
 * initialSize is the first guess in bytes, terminator included. */
char *EncodeToNewBlock(const Charset *cs, Utf16Buffer &buffer, size_t initialSize)
{
   if (cs == nullptr)
      return NewEmptyText<char>();
   if (cs->utf8)
      initialSize = MeasureRun<Utf16Reader<UCS2CHAR, true>, Utf8Writer>(buffer.data(), buffer.size()) + 1;
   size_t capacity = std::max<size_t>(initialSize, 1);
   char *block = static_cast<char *>(malloc(capacity));
   if (block == nullptr)
      return nullptr;
   size_t pos = 0;
   size_t written = 0;
   ResetEncoder(*cs);
   for (;;)
   {
      EncodeResult result = EncodeFromUtf16(*cs, buffer.data(), buffer.size(), &pos, block, capacity - 1, &written);
      if (result == EncodeResult::DONE)
         break;
      if (result == EncodeResult::FAILED)
      {
         written = 0;
         break;
      }
      char *larger = static_cast<char *>(realloc(block, capacity * 2));
      if (larger == nullptr)
      {
         free(block);
         return nullptr;
      }
      block = larger;
      capacity *= 2;
   }
   block[written] = 0;
   return block;
}

template <typename T> char *Ucs4ToNewMbBlock(const T *src)
{
   if (src == nullptr)
      return nullptr;
   size_t n = TextLength(src);
   Utf16Buffer buffer;
   if (!Ucs4ToUtf16(src, n, buffer))
      return nullptr;
   return EncodeToNewBlock(DefaultCharset(), buffer, n + 1);
}

/* Character set name for a numeric code page; false for a negative one. */
bool CharsetOfCodePageNumber(int codePage, char *charset)
{
   if (codePage < 0)
      return false;
   if (codePage == CP_DEFAULT)
      CharsetOfCodepage(CurrentCodepageName(), charset);
   else if (codePage == CP_UTF8)
      strlcpy(charset, "UTF-8", MAX_CODEPAGE_NAME + 1);
   else if (codePage == CP_ASCII)
      strlcpy(charset, C_LOCALE_CHARSET, MAX_CODEPAGE_NAME + 1);
   else if (codePage >= CP_ISO_8859_FIRST && codePage <= CP_ISO_8859_LAST)
      qv_snprintf(charset, MAX_CODEPAGE_NAME + 1, "ISO-8859-%d", codePage - CP_ISO_8859_FIRST + 1);
   else
      qv_snprintf(charset, MAX_CODEPAGE_NAME + 1, "CP%d", codePage);
   return true;
}

}  // namespace

/* ---- Bounded converters ---- */

QV_API int mb_to_ucs4(const char *src, int srcLen, UCS4CHAR *dst, int dstLen)
{
   return DecodeBounded<Ucs4Writer<UCS4CHAR>>(DefaultCharset(), src, srcLen, dst, dstLen);
}

QV_API int mb_to_wchar(const char *src, int srcLen, wchar_t *dst, int dstLen)
{
   return DecodeBounded<Ucs4Writer<wchar_t>>(DefaultCharset(), src, srcLen, dst, dstLen);
}

QV_API int mb_to_wchar_cp(int codePage, const char *src, int srcLen, wchar_t *dst, int dstLen)
{
   char charset[MAX_CODEPAGE_NAME + 1];
   if (!CharsetOfCodePageNumber(codePage, charset))
      return 0;
   return DecodeBounded<Ucs4Writer<wchar_t>>(t_charsets.find(charset), src, srcLen, dst, dstLen);
}

QV_API int mb_to_utf8(const char *src, int srcLen, char *dst, int dstLen)
{
   return EncodeBounded(&UTF8_CHARSET, srcLen == -1, dst, dstLen, [&](Utf16Buffer &buffer) {
      const Charset *cs = DefaultCharset();
      return cs != nullptr && DecodeToUtf16(*cs, src, SourceUnits(src, srcLen), buffer);
   });
}

QV_API int utf8_to_mb(const char *src, int srcLen, char *dst, int dstLen)
{
   return EncodeBounded(DefaultCharset(), srcLen == -1, dst, dstLen, [&](Utf16Buffer &buffer) {
      return DecodeToUtf16(UTF8_CHARSET, src, SourceUnits(src, srcLen), buffer);
   });
}

QV_API int ucs4_to_mb(const UCS4CHAR *src, int srcLen, char *dst, int dstLen)
{
   return EncodeBounded(DefaultCharset(), srcLen == -1, dst, dstLen,
                        [&](Utf16Buffer &buffer) { return Ucs4ToUtf16(src, SourceUnits(src, srcLen), buffer); });
}

QV_API int wchar_to_mb(const wchar_t *src, int srcLen, char *dst, int dstLen)
{
   return EncodeBounded(DefaultCharset(), srcLen == -1, dst, dstLen,
                        [&](Utf16Buffer &buffer) { return Ucs4ToUtf16(src, SourceUnits(src, srcLen), buffer); });
}

/* ---- Allocating converters ---- */

QV_API wchar_t *WideStringFromMBString(const char *src)
{
   return DecodeToNewBlock<Ucs4Writer<wchar_t>>(src);
}

QV_API wchar_t *WideStringFromMBStringSysLocale(const char *src)
{
   return WideStringFromMBString(src);
}

QV_API UCS4CHAR *UCS4StringFromMBString(const char *src)
{
   return DecodeToNewBlock<Ucs4Writer<UCS4CHAR>>(src);
}

QV_API char *MBStringFromWideString(const wchar_t *src)
{
   return Ucs4ToNewMbBlock(src);
}

QV_API char *MBStringFromWideStringSysLocale(const wchar_t *src)
{
   return MBStringFromWideString(src);
}

QV_API char *MBStringFromUCS4String(const UCS4CHAR *src)
{
   return Ucs4ToNewMbBlock(src);
}

QV_API char *MBStringFromUTF8String(const char *src)
{
   if (src == nullptr)
      return nullptr;
   size_t n = strlen(src);
   Utf16Buffer buffer;
   if (!DecodeToUtf16(UTF8_CHARSET, src, n, buffer))
      return nullptr;
   return EncodeToNewBlock(DefaultCharset(), buffer, n + 1);
}

QV_API char *UTF8StringFromMBString(const char *src)
{
   if (src == nullptr)
      return nullptr;
   Utf16Buffer buffer;
   const Charset *cs = DefaultCharset();
   if (cs == nullptr || !DecodeToUtf16(*cs, src, strlen(src), buffer))
      return NewEmptyText<char>();
   return EncodeToNewBlock(&UTF8_CHARSET, buffer, 0);
}

/* ---- The default code page ---- */

QV_API bool SetDefaultCodepage(const char *name)
{
   if (name == nullptr)
      return false;
   std::lock_guard<std::mutex> lock(g_codepageLock);
   strlcpy(g_codepageName, name, sizeof(g_codepageName));
   g_codepageGeneration.fetch_add(1, std::memory_order_release);
   return true;
}
