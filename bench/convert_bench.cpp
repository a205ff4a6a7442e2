/* The library's UTF-8 <-> wchar_t converters beside glibc's iconv on the same texts:
 * plain ASCII, and mixes of ASCII, Latin-1 letters, CJK and emoji. Throughput is in
 * bytes of UTF-8 text per second in both directions, so the rows compare directly.
 * Also the cost of opening an iconv descriptor, against a short code page conversion
 * with the descriptors each thread keeps. */
#include <qorvel.h>

#include <benchmark/benchmark.h>

#include <iconv.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* Size of each test text in UTF-8 bytes (about). */
constexpr size_t TEXT_BYTES = 64 * 1024;

const iconv_t NO_ICONV = reinterpret_cast<iconv_t>(-1);

std::string RepeatToSize(const char *piece)
{
   std::string text;
   while (text.size() < TEXT_BYTES)
      text += piece;
   return text;
}

/* Log-like ASCII. */
const std::string &AsciiText()
{
   static const std::string text =
       RepeatToSize("2024-05-17 12:00:01 node=web-03 status=OK latency=12ms path=/api/v1/items?id=42\n");
   return text;
}

/* Small deterministic generator, so every run converts the same text. */
class Random
{
private:
   uint64_t m_state = 0x9E3779B97F4A7C15ull;

public:
   unsigned next(unsigned bound)
   {
      m_state ^= m_state << 13;
      m_state ^= m_state >> 7;
      m_state ^= m_state << 17;
      return static_cast<unsigned>(m_state % bound);
   }
};

void AppendUtf8(std::string *text, UCS4CHAR cp)
{
   char bytes[8];
   const UCS4CHAR one[] = {cp};
   int n = ucs4_to_utf8(one, 1, bytes, sizeof(bytes));
   text->append(bytes, static_cast<size_t>(n));
}

const char *const ASCII_WORDS[] = {
    "the", "status",  "of",   "node",  "42",     "is", "ok",   "latency",  "12ms", "request", "failed", "retry",  "in",
    "5",   "seconds", "user", "admin", "logged", "a",  "disk", "/var/log", "at",   "99%",     "alarm",  "cleared"};
const char *const LATIN1_WORDS[] = {"caf\xC3\xA9",
                                    "M\xC3\xBCller",
                                    "na\xC3\xAFve",
                                    "Gr\xC3\xB6\xC3\x9F"
                                    "e",
                                    "se\xC3\xB1or",
                                    "d\xC3\xA9j\xC3\xA0",
                                    "\xC3\x86r\xC3\xB8",
                                    "cr\xC3\xA8me",
                                    "fa\xC3\xA7"
                                    "ade",
                                    "\xC3\xBC"
                                    "ber",
                                    "\xC3\xA9t\xC3\xA9",
                                    "Stra\xC3\x9F"
                                    "e"};
const char *const SEPARATORS[] = {" ", " ", " ", " ", " ", " ", ", ", ". "};

template <size_t N> const char *Pick(Random &random, const char *const (&words)[N])
{
   return words[random.next(N)];
}

void AppendCjkWord(Random &random, std::string *text)
{
   for (unsigned i = random.next(4); i < 4; i++)
      AppendUtf8(text, 0x4E00 + random.next(0x5000));
}

/* One word: percentages of ASCII words, words with Latin-1 letters and CJK words; the
 * rest are emoji. */
void AppendWord(Random &random, std::string *text, unsigned ascii, unsigned latin1, unsigned cjk)
{
   unsigned kind = random.next(100);
   if (kind < ascii)
      *text += Pick(random, ASCII_WORDS);
   else if (kind < ascii + latin1)
      *text += Pick(random, LATIN1_WORDS);
   else if (kind < ascii + latin1 + cjk)
      AppendCjkWord(random, text);
   else
      AppendUtf8(text, 0x1F600 + random.next(0x50));
}

/* Paragraphs of 40 to 120 words, each in one kind of text as documents and messages
 * come: English (ASCII), French or German (a quarter of the words with Latin-1
 * letters), Chinese (CJK words, some ASCII and numbers) and chat (ASCII with emoji).
 * Words and paragraph kinds are drawn at random, so nothing repeats for the branch
 * predictor to learn. */
const std::string &MixedText()
{
   static const std::string text = [] {
      // Word percentages (ASCII, Latin-1, CJK; the rest emoji) of each paragraph kind.
      static const unsigned kinds[][3] = {{100, 0, 0}, {75, 25, 0}, {10, 0, 90}, {85, 0, 0}};
      Random random;
      std::string result;
      while (result.size() < TEXT_BYTES)
      {
         const unsigned *kind = kinds[random.next(4)];
         for (unsigned words = 40 + random.next(80); words > 0; words--)
         {
            AppendWord(random, &result, kind[0], kind[1], kind[2]);
            result += Pick(random, SEPARATORS);
         }
         result += "\n";
      }
      return result;
   }();
   return text;
}

/* Every word drawn anew from all kinds (60% ASCII, 20% Latin-1, 15% CJK, 5% emoji): the
 * text changes script at nearly every word, the hardest case for branch prediction. */
const std::string &WordMixedText()
{
   static const std::string text = [] {
      Random random;
      std::string result;
      while (result.size() < TEXT_BYTES)
      {
         AppendWord(random, &result, 60, 20, 15);
         result += Pick(random, SEPARATORS);
      }
      return result;
   }();
   return text;
}

std::vector<wchar_t> Decoded(const std::string &utf8)
{
   std::vector<wchar_t> wide(utf8.size() + 1);
   int n = utf8_to_wchar(utf8.data(), static_cast<int>(utf8.size()), wide.data(), static_cast<int>(wide.size()));
   wide.resize(static_cast<size_t>(n));
   return wide;
}

/* Texts by benchmark argument. */
const std::string &TextFor(int64_t kind)
{
   return (kind == 0) ? AsciiText() : (kind == 1) ? MixedText() : WordMixedText();
}

void LabelText(benchmark::State &state, const std::string &utf8)
{
   static const char *const labels[] = {"ascii", "mixed", "word-mixed"};
   state.SetLabel(labels[state.range(0)]);
   state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(utf8.size()));
}

/* Runs one iconv conversion of a whole buffer; returns the bytes it wrote. */
size_t IconvWhole(iconv_t cd, const void *in, size_t inBytes, void *out, size_t outBytes)
{
   iconv(cd, nullptr, nullptr, nullptr, nullptr);
   char *inPtr = const_cast<char *>(static_cast<const char *>(in));
   char *outPtr = static_cast<char *>(out);
   size_t outLeft = outBytes;
   iconv(cd, &inPtr, &inBytes, &outPtr, &outLeft);
   return outBytes - outLeft;
}

void BM_Utf8ToWide_Ours(benchmark::State &state)
{
   const std::string &utf8 = TextFor(state.range(0));
   std::vector<wchar_t> out(utf8.size() + 1);
   for (auto _ : state)
   {
      int n = utf8_to_wchar(utf8.data(), static_cast<int>(utf8.size()), out.data(), static_cast<int>(out.size()));
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
   }
   LabelText(state, utf8);
}

void BM_Utf8ToWide_Iconv(benchmark::State &state)
{
   const std::string &utf8 = TextFor(state.range(0));
   std::vector<wchar_t> out(utf8.size() + 1);
   iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
   if (cd == NO_ICONV)
   {
      state.SkipWithError("iconv_open failed");
      return;
   }
   for (auto _ : state)
   {
      size_t n = IconvWhole(cd, utf8.data(), utf8.size(), out.data(), out.size() * sizeof(wchar_t));
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
   }
   iconv_close(cd);
   LabelText(state, utf8);
}

void BM_WideToUtf8_Ours(benchmark::State &state)
{
   const std::string &utf8 = TextFor(state.range(0));
   std::vector<wchar_t> wide = Decoded(utf8);
   std::vector<char> out(utf8.size() + 1);
   for (auto _ : state)
   {
      int n = wchar_to_utf8(wide.data(), static_cast<int>(wide.size()), out.data(), static_cast<int>(out.size()));
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
   }
   LabelText(state, utf8);
}

void BM_WideToUtf8_Iconv(benchmark::State &state)
{
   const std::string &utf8 = TextFor(state.range(0));
   std::vector<wchar_t> wide = Decoded(utf8);
   std::vector<char> out(utf8.size() + 1);
   iconv_t cd = iconv_open("UTF-8", "WCHAR_T");
   if (cd == NO_ICONV)
   {
      state.SkipWithError("iconv_open failed");
      return;
   }
   for (auto _ : state)
   {
      size_t n = IconvWhole(cd, wide.data(), wide.size() * sizeof(wchar_t), out.data(), out.size());
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
   }
   iconv_close(cd);
   LabelText(state, utf8);
}

BENCHMARK(BM_Utf8ToWide_Ours)->DenseRange(0, 2);
BENCHMARK(BM_Utf8ToWide_Iconv)->DenseRange(0, 2);
BENCHMARK(BM_WideToUtf8_Ours)->DenseRange(0, 2);
BENCHMARK(BM_WideToUtf8_Iconv)->DenseRange(0, 2);

/* What a conversion would pay if it opened its descriptors every time. */
void BM_IconvOpenClose(benchmark::State &state)
{
   for (auto _ : state)
   {
      iconv_t decoder = iconv_open("UTF-16LE", "ISO-8859-1");
      iconv_t encoder = iconv_open("ISO-8859-1", "UTF-16LE");
      benchmark::DoNotOptimize(decoder);
      benchmark::DoNotOptimize(encoder);
      iconv_close(decoder);
      iconv_close(encoder);
   }
}
BENCHMARK(BM_IconvOpenClose);

/* A short code page text, as the String class converts them, with cached descriptors. */
void BM_ShortCodePageText(benchmark::State &state)
{
   SetDefaultCodepage("ISO-8859-1");
   const char text[] = "caf\xE9 au lait";
   wchar_t out[32];
   for (auto _ : state)
   {
      int n = mb_to_wchar(text, -1, out, 32);
      benchmark::DoNotOptimize(n);
      benchmark::ClobberMemory();
   }
   SetDefaultCodepage("ACP");
}
BENCHMARK(BM_ShortCodePageText);

}  // namespace
