#include "platform/charset.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

using namespace qv::platform;

namespace {

/* One conversion call over text into room bytes; the output and what is left over. */
struct Outcome
{
   CharsetResult result;
   std::string output;
   size_t inputLeft;
};

Outcome Convert(CharsetConverter *converter, const std::string &text, size_t room)
{
   char buffer[64];
   const char *in = text.data();
   size_t inLeft = text.size();
   char *out = buffer;
   size_t outLeft = room;
   CharsetResult result = CharsetConvert(converter, &in, &inLeft, &out, &outLeft);
   EXPECT_EQ(in, text.data() + (text.size() - inLeft));
   EXPECT_EQ(static_cast<size_t>(out - buffer), room - outLeft);
   return Outcome{result, std::string(buffer, static_cast<size_t>(out - buffer)), inLeft};
}

}  // namespace

TEST(PlatformCharset, ConvertsAndTellsWhyItStopped)
{
   CharsetConverter *toLatin1 = CharsetConverterOpen("ISO-8859-1", "UTF-8");
   ASSERT_NE(toLatin1, nullptr);

   Outcome done = Convert(toLatin1, "ab\xC3\xA9", 8);
   EXPECT_EQ(done.result, CharsetResult::DONE);
   EXPECT_EQ(done.output, "ab\xE9");
   EXPECT_EQ(done.inputLeft, 0u);

   Outcome full = Convert(toLatin1, "abc", 2);
   EXPECT_EQ(full.result, CharsetResult::OUTPUT_FULL);
   EXPECT_EQ(full.output, "ab");
   EXPECT_EQ(full.inputLeft, 1u);

   Outcome invalid = Convert(toLatin1,
                             "a\xFF"
                             "b",
                             8);
   EXPECT_EQ(invalid.result, CharsetResult::INVALID_INPUT);
   EXPECT_EQ(invalid.output, "a");
   EXPECT_EQ(invalid.inputLeft, 2u);

   Outcome unmappable = Convert(toLatin1, "a\xE2\x82\xAC", 8);  // the euro sign has no Latin-1 form
   EXPECT_EQ(unmappable.result, CharsetResult::INVALID_INPUT);
   EXPECT_EQ(unmappable.inputLeft, 3u);

   Outcome cut = Convert(toLatin1, "a\xC3", 8);
   EXPECT_EQ(cut.result, CharsetResult::INCOMPLETE_INPUT);
   EXPECT_EQ(cut.output, "a");
   EXPECT_EQ(cut.inputLeft, 1u);

   CharsetConverterClose(toLatin1);
}

TEST(PlatformCharset, StatefulEncodingIsFlushedAndReset)
{
   CharsetConverter *toJis = CharsetConverterOpen("ISO-2022-JP", "UTF-8");
   if (toJis == nullptr)
      GTEST_SKIP() << "no ISO-2022-JP converter here";
   // A kanji switches the output to JIS X 0208; the flush switches it back to ASCII.
   Outcome kanji = Convert(toJis, "\xE6\x97\xA5", 16);
   ASSERT_EQ(kanji.result, CharsetResult::DONE);
   EXPECT_EQ(kanji.output.substr(0, 3), "\x1B$B");

   char buffer[16];
   char *out = buffer;
   size_t outLeft = sizeof(buffer);
   EXPECT_EQ(CharsetConvert(toJis, nullptr, nullptr, &out, &outLeft), CharsetResult::DONE);
   EXPECT_EQ(std::string(buffer, static_cast<size_t>(out - buffer)), "\x1B(B");

   // After a reset the next kanji announces the switch again.
   Convert(toJis, "\xE6\x97\xA5", 16);
   EXPECT_EQ(CharsetConvert(toJis, nullptr, nullptr, nullptr, nullptr), CharsetResult::DONE);
   Outcome again = Convert(toJis, "\xE6\x97\xA5", 16);
   EXPECT_EQ(again.output.substr(0, 3), "\x1B$B");
   CharsetConverterClose(toJis);
}

TEST(PlatformCharset, UnknownNamesGiveNoConverter)
{
   EXPECT_EQ(CharsetConverterOpen("NO-SUCH-CHARSET", "UTF-8"), nullptr);
   EXPECT_EQ(CharsetConverterOpen("UTF-8", "NO-SUCH-CHARSET"), nullptr);
   CharsetConverterClose(nullptr);
   ASSERT_NE(LocaleCharset(), nullptr);
   EXPECT_GT(strlen(LocaleCharset()), 0u);
}
