/* Base64: the standard vectors both ways, output cut to the room given, size overflow, line
 * ends, and where decoding stops on invalid input. Inputs live in blocks of exactly their
 * size, so reads past the length show under AddressSanitizer. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr char FILL = '#';

struct DecodeResult
{
   bool valid;
   std::string bytes;
};

DecodeResult Decode(const std::string &text, size_t room = 64)
{
   std::vector<char> in(text.begin(), text.end());
   std::vector<char> out(room + 1, FILL);
   size_t size = room;
   bool valid = base64_decode(in.data(), in.size(), out.data(), &size);
   EXPECT_LE(size, room);
   EXPECT_EQ(out[size < room ? size : room], FILL) << "wrote past the bytes it reported";
   return {valid, std::string(out.data(), size)};
}

TEST(Base64, StandardVectorsBothWays)
{
   const char *vectors[][2] = {{"", ""},
                               {"f", "Zg=="},
                               {"fo", "Zm8="},
                               {"foo", "Zm9v"},
                               {"foob", "Zm9vYg=="},
                               {"fooba", "Zm9vYmE="},
                               {"foobar", "Zm9vYmFy"}};
   for (const auto &v : vectors)
   {
      char text[16];
      base64_encode(v[0], strlen(v[0]), text, sizeof(text));
      EXPECT_STREQ(text, v[1]);
      char *alloc = nullptr;
      EXPECT_EQ(base64_encode_alloc(v[0], strlen(v[0]), &alloc), strlen(v[1]));
      ASSERT_NE(alloc, nullptr);
      EXPECT_STREQ(alloc, v[1]);
      free(alloc);

      DecodeResult r = Decode(v[1]);
      EXPECT_TRUE(r.valid) << v[1];
      EXPECT_EQ(r.bytes, v[0]);
   }
}

TEST(Base64, RoundTripOfEveryByteValue)
{
   std::string bytes;
   for (int i = 0; i < 256; i++)
      bytes += char(i);
   char *text = nullptr;
   size_t length = base64_encode_alloc(bytes.data(), bytes.size(), &text);
   ASSERT_EQ(length, 344u);
   DecodeResult r = Decode(std::string(text, length), 256);
   free(text);
   EXPECT_TRUE(r.valid);
   EXPECT_EQ(r.bytes, bytes);
}

TEST(Base64, EncodeIsCutToTheOutputSize)
{
   for (size_t room = 0; room <= 10; room++)
   {
      char out[12];
      memset(out, FILL, sizeof(out));
      base64_encode("foobar", 6, out, room);
      std::string expected = std::string("Zm9vYmFy").substr(0, room);
      if (room > 8)
         expected += '\0';
      EXPECT_EQ(std::string(out, expected.size()), expected) << room;
      EXPECT_EQ(out[expected.size()], FILL) << room;
   }
}

TEST(Base64, EncodeAllocRefusesSizesThatOverflow)
{
   const char in[1] = {0};
   // The second is the shortest input whose encoding and terminator exceed SIZE_MAX.
   for (size_t inlen : {SIZE_MAX, SIZE_MAX / 4 * 3 + 1})
   {
      char *out = reinterpret_cast<char *>(1);
      EXPECT_EQ(base64_encode_alloc(in, inlen, &out), 0u) << inlen;
      EXPECT_EQ(out, nullptr);
   }
}

TEST(Base64, IsBase64TakesTheAlphabetOnly)
{
   const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
   int count = 0;
   for (int c = 0; c < 256; c++)
   {
      bool in = (c != 0 && strchr(alphabet, c) != nullptr);
      EXPECT_EQ(isbase64(char(c)), in) << c;
      count += in;
   }
   EXPECT_EQ(count, 64);
}

TEST(Base64, DecodeLineEndsPaddingAndInvalidInput)
{
   const struct
   {
      std::string text;
      bool valid;
      std::string bytes;  // written before decoding stopped
   } cases[] = {
       {"", true, ""},
       {"\r\n\n", true, ""},
       {"Zm9vYmFy\r\n", true, "foobar"},
       {"Zm9v\nYmFy", true, "foobar"},
       {"Zm9v\r\nYmE=\n", true, "fooba"},
       {"Zm9v\n\nYmFy", false, "foo"},
       {"Zm\n9vYmFy", false, "f"},
       {"Zg==Zg==", false, "f"},
       {"Zm9=Zm9v", false, "fo"},
       {"Zm=v", false, "f"},
       {"Zg=", false, "f"},
       {"Zm9", false, "fo"},
       {"Z", false, ""},
       {"Zm9v!mFy", false, "foo"},
       {std::string("Zm9v\0mFy", 8), false, "foo"},
       {"Zm9v\xc3mFy", false, "foo"},
   };
   for (const auto &c : cases)
   {
      DecodeResult r = Decode(c.text);
      EXPECT_EQ(r.valid, c.valid) << c.text;
      EXPECT_EQ(r.bytes, c.bytes) << c.text;
   }
}

TEST(Base64, DecodeWritesNoMoreThanTheRoom)
{
   for (size_t room = 0; room <= 7; room++)
   {
      DecodeResult r = Decode("Zm9vYmFy", room);
      EXPECT_TRUE(r.valid) << room;
      EXPECT_EQ(r.bytes, std::string("foobar").substr(0, room));
   }
   size_t size = 5;
   EXPECT_TRUE(base64_decode("Zm9v", 4, nullptr, &size));
   EXPECT_EQ(size, 0u);
}

TEST(Base64, DecodeAllocGivesNothingForInvalidInput)
{
   char *out = reinterpret_cast<char *>(1);
   size_t length = 99;
   EXPECT_FALSE(base64_decode_alloc("Zm9v!", 5, &out, &length));
   EXPECT_EQ(out, nullptr);
   EXPECT_EQ(length, 0u);
   EXPECT_TRUE(base64_decode_alloc("Zm9vYmFy\r\n", 10, &out, nullptr));
   ASSERT_NE(out, nullptr);
   EXPECT_EQ(std::string(out, 6), "foobar");
   free(out);
}

}  // namespace
