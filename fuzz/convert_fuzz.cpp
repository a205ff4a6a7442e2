/* Fuzz target for the character set converters. The input picks a code page, a
 * destination size (0 and negative included) and a source length mode; the rest is the
 * text, read as UTF-8, UTF-16 and UCS-4 units. Every bounded converter runs on exactly
 * sized heap copies, so a read or write past either end is caught, and the results are
 * checked against each other: truncated output is a prefix of the full output cut at a
 * character, length functions match the output counts, all-or-nothing converters give
 * all or nothing, and valid text survives round trips. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

namespace {

volatile int g_sink;

/* Code pages the first input byte chooses from: the C locale's (UTF-8), single-byte,
 * double-byte, stateful, one-to-many, combining, and one iconv does not know. */
const char *const CODE_PAGES[] = {"ACP",   "ISO-8859-1", "CP1252", "SHIFT_JIS", "ISO-2022-JP",
                                  "UTF-8", "TSCII",      "CP1255", "GB18030",   "NO-SUCH-CHARSET"};
constexpr size_t CODE_PAGE_COUNT = sizeof(CODE_PAGES) / sizeof(CODE_PAGES[0]);

/* Bytes of the input before the text. */
constexpr size_t HEADER_BYTES = 4;

/* Room the all-or-nothing converters get for a full conversion, per source unit. */
constexpr size_t MB_BYTES_PER_UNIT = 16;

void Check(bool condition)
{
   if (!condition)
      abort();
}

struct Params
{
   bool terminated;      // source length -1 instead of an explicit length
   unsigned shortening;  // units left out of an explicit length
   unsigned dstChoice;   // picks the destination size
   bool utf8CodePage;    // the chosen code page is UTF-8
   bool latin1CodePage;  // the chosen code page is ISO-8859-1
};

template <typename T> void CopyUnits(T *to, const std::vector<T> &text)
{
   if (!text.empty())
      memcpy(to, text.data(), text.size() * sizeof(T));
}

/* A source on the heap, exactly sized: the units and a terminator for -1, the units
 * alone for an explicit length. */
template <typename T> struct Source
{
   T *units;
   int length;  // what the converters are given
   size_t count;

   Source(const std::vector<T> &text, const Params &p)
   {
      count = text.size();
      if (p.terminated)
      {
         units = static_cast<T *>(malloc((count + 1) * sizeof(T)));
         CopyUnits(units, text);
         units[count] = 0;
         length = -1;
      }
      else
      {
         units = static_cast<T *>(malloc(count > 0 ? count * sizeof(T) : 1));
         CopyUnits(units, text);
         length = static_cast<int>(count - p.shortening % (count + 1));
      }
   }
   ~Source() { free(units); }
   Source(const Source &) = delete;
   Source &operator=(const Source &) = delete;
};

/* Byte that destinations are filled with, to see what a converter wrote. */
constexpr int FILL_BYTE = 0xA5;

/* A destination of exactly units units, filled with FILL_BYTE; nothing may be written
 * when units <= 0. */
template <typename T> struct Destination
{
   T *units;
   explicit Destination(int n)
   {
      size_t bytes = n > 0 ? static_cast<size_t>(n) * sizeof(T) : 0;
      units = static_cast<T *>(malloc(bytes));
      if (units != nullptr)
         memset(units, FILL_BYTE, bytes);
   }
   /* True when units [from, to) still hold the fill. */
   bool untouched(int from, int to) const
   {
      const unsigned char *bytes = reinterpret_cast<const unsigned char *>(units);
      for (size_t i = static_cast<size_t>(from) * sizeof(T); i < static_cast<size_t>(to) * sizeof(T); i++)
         if (bytes[i] != FILL_BYTE)
            return false;
      return true;
   }
   ~Destination() { free(units); }
   Destination(const Destination &) = delete;
   Destination &operator=(const Destination &) = delete;
};

/* Extra destination units the chosen size may have beyond what the output needs, so that
 * a write past the output but inside the destination shows too. */
constexpr int DESTINATION_SLACK = 40;

/* From -2 up to twice the full size plus the slack. */
int ChooseDestinationSize(const Params &p, int full)
{
   return static_cast<int>(p.dstChoice % static_cast<unsigned>(2 * full + DESTINATION_SLACK)) - 2;
}

/* Units that the character starting at out[pos] takes at most. */
size_t NextCharacterUnits(const char *out, int pos)
{
   unsigned char b = static_cast<unsigned char>(out[pos]);
   return (b < 0x80) ? 1 : (b < 0xE0) ? 2 : (b < 0xF0) ? 3 : 4;
}

size_t NextCharacterUnits(const UCS2CHAR *out, int pos)
{
   return (out[pos] >= 0xD800 && out[pos] <= 0xDBFF) ? 2 : 1;
}

template <typename T> size_t NextCharacterUnits(const T *, int)
{
   return 1;
}

/* A converter with the library's own rules: the full output (as long as the length
 * function says) and a truncated one of the chosen size. Returns the full output. */
template <typename S, typename D>
std::vector<D> CheckLibraryConverter(int (*convert)(const S *, int, D *, int), int (*measure)(const S *, int),
                                     bool exactMeasure, const std::vector<S> &text, const Params &p)
{
   Source<S> src(text, p);
   int needed =
       (measure != nullptr) ? measure(src.units, src.length) : static_cast<int>(MB_BYTES_PER_UNIT * (src.count + 1));
   Check(needed >= 1);
   Destination<D> full(needed);
   int fullCount = convert(src.units, src.length, full.units, needed);
   Check(fullCount >= 0 && fullCount <= needed - 1);
   if (exactMeasure)
      Check(fullCount == needed - 1);
   if (p.terminated)
      Check(full.units[fullCount] == 0);

   int dstLen = ChooseDestinationSize(p, needed);
   Destination<D> cut(dstLen);
   int count = convert(src.units, src.length, cut.units, dstLen);
   if (dstLen <= 0)
   {
      Check(count == 0);
   }
   else
   {
      int capacity = dstLen - (p.terminated ? 1 : 0);
      Check(count >= 0 && count <= capacity && count <= fullCount);
      Check(memcmp(cut.units, full.units, static_cast<size_t>(count) * sizeof(D)) == 0);
      if (p.terminated)
         Check(cut.units[count] == 0);
      Check(cut.untouched(count + (p.terminated ? 1 : 0), dstLen));
      // It stopped only because the next character did not fit.
      if (count < fullCount)
         Check(count + static_cast<int>(NextCharacterUnits(full.units, count)) > capacity);
   }
   g_sink = g_sink + count;
   return std::vector<D>(full.units, full.units + fullCount);
}

/* An all-or-nothing converter: the chosen size gives the whole output or nothing. */
template <typename S>
std::vector<char> CheckPlatformConverter(int (*convert)(const S *, int, char *, int), const std::vector<S> &text,
                                         const Params &p)
{
   Source<S> src(text, p);
   int room = static_cast<int>(MB_BYTES_PER_UNIT * (src.count + 1));
   Destination<char> full(room);
   int fullCount = convert(src.units, src.length, full.units, room);
   Check(fullCount >= 0 && fullCount <= room);
   if (p.terminated && fullCount > 0)
      Check(full.units[fullCount - 1] == 0);

   int dstLen = ChooseDestinationSize(p, fullCount);
   Destination<char> cut(dstLen);
   int count = convert(src.units, src.length, cut.units, dstLen);
   if (dstLen <= 0 || dstLen < fullCount)
   {
      Check(count == 0);
      if (dstLen > 0 && p.terminated)
         Check(cut.units[0] == 0);
   }
   else
   {
      Check(count == fullCount);
      Check(memcmp(cut.units, full.units, static_cast<size_t>(count)) == 0);
   }
   g_sink = g_sink + count;
   return std::vector<char>(full.units, full.units + fullCount);
}

/* Standard UTF-8: shortest forms, no surrogates, nothing above 0x10FFFF, no zero byte. */
bool IsStrictUtf8(const std::vector<char> &text)
{
   size_t i = 0;
   while (i < text.size())
   {
      unsigned char b = static_cast<unsigned char>(text[i]);
      size_t k = (b == 0)                  ? 0
                 : (b < 0x80)              ? 1
                 : (b >= 0xC2 && b < 0xE0) ? 2
                 : (b >= 0xE0 && b < 0xF0) ? 3
                 : (b >= 0xF0 && b < 0xF5) ? 4
                                           : 0;
      if (k == 0 || i + k > text.size())
         return false;
      UCS4CHAR cp = (k == 1) ? b : (b & (0xFF >> (k + 1)));
      for (size_t j = 1; j < k; j++)
      {
         unsigned char c = static_cast<unsigned char>(text[i + j]);
         if ((c & 0xC0) != 0x80)
            return false;
         cp = (cp << 6) | (c & 0x3F);
      }
      static const UCS4CHAR SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000};
      if (cp < SMALLEST[k] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
         return false;
      i += k;
   }
   return true;
}

/* UTF-16 without unpaired surrogates or zero units. */
bool IsValidUtf16(const std::vector<UCS2CHAR> &text)
{
   for (size_t i = 0; i < text.size(); i++)
   {
      UCS2CHAR u = text[i];
      if (u == 0 || (u >= 0xDC00 && u <= 0xDFFF))
         return false;
      if (u >= 0xD800 && u <= 0xDBFF)
      {
         if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF)
            return false;
         i++;
      }
   }
   return true;
}

/* Code points without surrogates, zeros or values above 0x10FFFF; maxValue bounds them. */
template <typename T> bool IsValidUcs4(const std::vector<T> &text, UCS4CHAR maxValue)
{
   for (T unit : text)
   {
      UCS4CHAR cp = static_cast<UCS4CHAR>(unit);
      if (cp == 0 || cp > maxValue || (cp >= 0xD800 && cp <= 0xDFFF))
         return false;
   }
   return true;
}

template <typename T> bool NothingAbove(const std::vector<T> &text, UCS4CHAR limit)
{
   for (T unit : text)
      if (static_cast<UCS4CHAR>(unit) > limit)
         return false;
   return true;
}

/* The full output of a converter applied to a whole text (explicit length, no cut). */
template <typename S, typename D>
std::vector<D> Whole(int (*convert)(const S *, int, D *, int), const std::vector<S> &text)
{
   std::vector<D> out(MB_BYTES_PER_UNIT * (text.size() + 1));
   int n = convert(text.data(), static_cast<int>(text.size()), out.data(), static_cast<int>(out.size()));
   out.resize(static_cast<size_t>(n));
   return out;
}

template <typename T> std::vector<T> Units(const uint8_t *data, size_t size)
{
   std::vector<T> units(size / sizeof(T));
   if (!units.empty())
      memcpy(units.data(), data, units.size() * sizeof(T));
   return units;
}

/* Text up to its first zero unit, as a -1 source sees it. */
template <typename T> std::vector<T> UpToZero(const std::vector<T> &text)
{
   size_t i = 0;
   while (i < text.size() && text[i] != 0)
      i++;
   return std::vector<T>(text.begin(), text.begin() + i);
}

/* True when a new block (released here) holds expected up to its first zero unit, which
 * decoding may produce (an overlong UTF-8 form of zero, for one). */
template <typename T> bool SameText(T *block, const std::vector<T> &expected)
{
   if (block == nullptr)
      return false;
   std::vector<T> text = UpToZero(expected);
   size_t i = 0;
   while (block[i] != 0)
      i++;
   bool same = (i == text.size() && (i == 0 || memcmp(block, text.data(), i * sizeof(T)) == 0));
   free(block);
   return same;
}

template <typename T> std::vector<T> Terminated(std::vector<T> text)
{
   text.push_back(0);
   return text;
}

void CheckAllocatingConverters(const std::vector<char> &utf8, const std::vector<UCS2CHAR> &utf16,
                               const std::vector<UCS4CHAR> &ucs4, const std::vector<wchar_t> &wide)
{
   // Each holds the whole conversion of its zero-terminated source.
   std::vector<char> text8 = UpToZero(utf8);
   std::vector<UCS2CHAR> text16 = UpToZero(utf16);
   std::vector<UCS4CHAR> text32 = UpToZero(ucs4);
   std::vector<wchar_t> textW = UpToZero(wide);
   std::vector<char> z8 = Terminated(text8);
   std::vector<UCS2CHAR> z16 = Terminated(text16);
   std::vector<UCS4CHAR> z32 = Terminated(text32);
   std::vector<wchar_t> zW = Terminated(textW);

   Check(SameText(WideStringFromUTF8String(z8.data()), Whole(utf8_to_wchar, text8)));
   Check(SameText(UTF8StringFromWideString(zW.data()), Whole(wchar_to_utf8, textW)));
   Check(SameText(UCS2StringFromUCS4String(z32.data()), Whole(ucs4_to_ucs2, text32)));
   Check(SameText(UCS4StringFromUCS2String(z16.data()), Whole(ucs2_to_ucs4, text16)));
   Check(SameText(UCS2StringFromWideString(zW.data()), Whole(wchar_to_ucs2, textW)));
   Check(SameText(WideStringFromUCS2String(z16.data()), Whole(ucs2_to_wchar, text16)));
   Check(SameText(WideStringFromMBString(z8.data()), Whole(mb_to_wchar, text8)));
   Check(SameText(UCS4StringFromMBString(z8.data()), Whole(mb_to_ucs4, text8)));

   // The all-or-nothing ones fail as a whole only for an unknown code page, where the
   // allocating forms give an empty text; both cases read alike through Whole().
   Check(SameText(MBStringFromWideString(zW.data()), Whole(wchar_to_mb, textW)));
   Check(SameText(MBStringFromUCS4String(z32.data()), Whole(ucs4_to_mb, text32)));
   Check(SameText(MBStringFromUTF8String(z8.data()), Whole(utf8_to_mb, text8)));
   Check(SameText(UTF8StringFromMBString(z8.data()), Whole(mb_to_utf8, text8)));

   UCS4CHAR *dup = ucs4_strdup(z32.data());
   Check(ucs4_strlen(dup) == text32.size());
   std::vector<UCS4CHAR> copy(z32.size() + 1, 0xAAAAAAAA);
   size_t count = z32.size() / 2 + 1;
   ucs4_strncpy(copy.data(), dup, count);
   Check(memcmp(copy.data(), z32.data(), std::min(count, z32.size()) * sizeof(UCS4CHAR)) == 0);
   Check(copy[std::min(count, z32.size())] == 0xAAAAAAAA);
   free(dup);
}

void CheckRoundTrips(const std::vector<char> &utf8, const std::vector<UCS2CHAR> &utf16,
                     const std::vector<UCS4CHAR> &ucs4, const Params &p)
{
   if (IsStrictUtf8(utf8))
   {
      Check(Whole(ucs4_to_utf8, Whole(utf8_to_ucs4, utf8)) == utf8);
      Check(Whole(ucs2_to_utf8, Whole(utf8_to_ucs2, utf8)) == utf8);
      Check(Whole(wchar_to_utf8, Whole(utf8_to_wchar, utf8)) == utf8);
      Check(Whole(ucs2_to_wchar, Whole(wchar_to_ucs2, Whole(utf8_to_wchar, utf8))) == Whole(utf8_to_wchar, utf8));
      if (p.utf8CodePage)
      {
         Check(Whole(utf8_to_mb, utf8) == utf8);
         Check(Whole(mb_to_utf8, utf8) == utf8);
      }
   }
   if (IsValidUtf16(utf16))
   {
      Check(Whole(utf8_to_ucs2, Whole(ucs2_to_utf8, utf16)) == utf16);
      Check(Whole(ucs4_to_ucs2, Whole(ucs2_to_ucs4, utf16)) == utf16);
   }
   if (IsValidUcs4(ucs4, 0x10FFFF))
   {
      Check(Whole(utf8_to_ucs4, Whole(ucs4_to_utf8, ucs4)) == ucs4);
      Check(Whole(ucs2_to_ucs4, Whole(ucs4_to_ucs2, ucs4)) == ucs4);
      if (p.utf8CodePage)
         Check(Whole(mb_to_ucs4, Whole(ucs4_to_mb, ucs4)) == ucs4);
   }
   if (p.latin1CodePage && IsValidUcs4(ucs4, 0xFF))
      Check(Whole(mb_to_ucs4, Whole(ucs4_to_mb, ucs4)) == ucs4);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < HEADER_BYTES)
      return 0;
   size_t page = data[0] % CODE_PAGE_COUNT;
   Params p;
   p.dstChoice = static_cast<unsigned>(data[1]) | (static_cast<unsigned>(data[2]) << 8);
   p.terminated = (data[3] & 1) != 0;
   p.shortening = data[3] >> 1;
   p.utf8CodePage = (page == 0 || page == 5);
   p.latin1CodePage = (page == 1);
   SetDefaultCodepage(CODE_PAGES[page]);
   data += HEADER_BYTES;
   size -= HEADER_BYTES;

   std::vector<char> utf8 = Units<char>(data, size);
   std::vector<UCS2CHAR> utf16 = Units<UCS2CHAR>(data, size);
   std::vector<UCS4CHAR> ucs4 = Units<UCS4CHAR>(data, size);
   std::vector<wchar_t> wide = Units<wchar_t>(data, size);

   CheckLibraryConverter(ucs2_to_ucs4, ucs2_wcharlen, true, utf16, p);
   CheckLibraryConverter(ucs2_to_wchar, ucs2_wcharlen, true, utf16, p);
   CheckLibraryConverter(ucs2_to_utf8, ucs2_utf8len, true, utf16, p);
   CheckLibraryConverter(ucs4_to_utf8, ucs4_utf8len, true, ucs4, p);
   CheckLibraryConverter(wchar_to_utf8, wchar_utf8len, true, wide, p);
   CheckLibraryConverter(utf8_to_ucs4, utf8_ucs4len, true, utf8, p);
   std::vector<wchar_t> decoded = CheckLibraryConverter(utf8_to_wchar, utf8_wcharlen, true, utf8, p);
   // The UTF-16 counts are exact unless values above 0x10FFFF are dropped.
   CheckLibraryConverter(ucs4_to_ucs2, ucs4_ucs2len, NothingAbove(ucs4, 0x10FFFF), ucs4, p);
   CheckLibraryConverter(wchar_to_ucs2, wchar_ucs2len, NothingAbove(wide, 0x10FFFF), wide, p);
   CheckLibraryConverter(utf8_to_ucs2, utf8_ucs2len, NothingAbove(decoded, 0x10FFFF), utf8, p);
   CheckLibraryConverter<char, UCS4CHAR>(mb_to_ucs4, nullptr, false, utf8, p);
   CheckLibraryConverter<char, wchar_t>(mb_to_wchar, nullptr, false, utf8, p);

   CheckPlatformConverter(ucs4_to_mb, ucs4, p);
   CheckPlatformConverter(wchar_to_mb, wide, p);
   CheckPlatformConverter(mb_to_utf8, utf8, p);
   CheckPlatformConverter(utf8_to_mb, utf8, p);

   CheckAllocatingConverters(utf8, utf16, ucs4, wide);
   CheckRoundTrips(utf8, utf16, ucs4, p);
   return 0;
}
