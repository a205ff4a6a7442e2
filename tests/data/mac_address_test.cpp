/* MAC addresses: parsing of every notation, printing in every notation and length into
 * buffers of exactly the documented size, classification and comparison. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

const uint8_t SAMPLE[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};

/* Sixteen distinct bytes; an address of length n is the first n. */
const uint8_t BYTES[MacAddress::MAX_LENGTH] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70,
                                               0x81, 0x92, 0xA3, 0xB4, 0xC5, 0xD6, 0xE7, 0xF8};

std::string Narrow(const wchar_t *text)
{
   std::string s;
   for (; *text != 0; text++)
      s += static_cast<char>(*text);
   return s;
}

std::string ToText(const MacAddress &mac, MacAddressNotation notation)
{
   String text = mac.toString(notation);
   return Narrow(text);
}

/* The documented text of the first length bytes of BYTES: upper-case digits, a separator
 * after every group of groupDigits digits except at the end. */
std::string Expected(size_t length, size_t groupDigits, char separator)
{
   static const char digits[] = "0123456789ABCDEF";
   std::string hex;
   for (size_t i = 0; i < length; i++)
   {
      hex += digits[BYTES[i] >> 4];
      hex += digits[BYTES[i] & 0x0F];
   }
   if (groupDigits == 0)
      return hex;
   std::string text;
   for (size_t i = 0; i < hex.size(); i += groupDigits)
   {
      if (i > 0)
         text += separator;
      text += hex.substr(i, groupDigits);
   }
   return text;
}

/* Characters (terminator included) a caller's buffer must have for the notation. */
size_t BufferSize(size_t length, MacAddressNotation notation)
{
   size_t size = 0;
   switch (notation)
   {
      case MAC_NOTATION_FLAT: size = 2 * length + 1; break;
      case MAC_NOTATION_COLON:
      case MAC_NOTATION_HYPHEN:
      case MAC_NOTATION_DOT_TRIPLETS: size = 3 * length; break;
      case MAC_NOTATION_COLON_PAIRS:
      case MAC_NOTATION_DOT_PAIRS: size = 2 * length + (length + 1) / 2; break;
   }
   return size < 1 ? 1 : size;
}

struct NotationCase
{
   MacAddressNotation notation;
   size_t groupDigits;
   char separator;
};

const NotationCase NOTATIONS[] = {
    {MAC_NOTATION_FLAT, 0, 0},     {MAC_NOTATION_COLON, 2, ':'},        {MAC_NOTATION_COLON_PAIRS, 4, ':'},
    {MAC_NOTATION_HYPHEN, 2, '-'}, {MAC_NOTATION_DOT_TRIPLETS, 3, '.'}, {MAC_NOTATION_DOT_PAIRS, 4, '.'},
};

}  // namespace

TEST(MacAddress, EveryNotationParsesToTheSameAddress)
{
   const char *const texts[] = {"00:1a:2b:3c:4d:5e", "00-1A-2B-3C-4D-5E", "001A.2B3C.4D5E",   "001a2b3c4d5e",
                                "001.a2b.3c4.d5e",   "001A:2B3C:4D5E",    "00 1A 2B 3C 4D 5E"};
   MacAddress expected(SAMPLE, sizeof(SAMPLE));
   for (const char *text : texts)
   {
      MacAddress mac = MacAddress::parse(text);
      EXPECT_TRUE(mac.equals(expected)) << text;
      std::wstring wide(text, text + strlen(text));
      EXPECT_TRUE(MacAddress::parse(wide.c_str()).equals(expected)) << text;
   }
   EXPECT_EQ(ToText(MacAddress::parse("00:1a:2b:3c:4d:5e"), MAC_NOTATION_COLON), "00:1A:2B:3C:4D:5E");
}

TEST(MacAddress, LengthsFourToEightOnly)
{
   EXPECT_EQ(MacAddress::parse("00:1a:2b:3c").length(), 4u);
   MacAddress eight = MacAddress::parse("00:1a:2b:3c:4d:5e:6f:70");
   EXPECT_EQ(eight.length(), 8u);
   EXPECT_EQ(ToText(eight, MAC_NOTATION_HYPHEN), "00-1A-2B-3C-4D-5E-6F-70");
   const char *const refused[] = {"00:1a:2b",
                                  "00:1a:2b:3c:4d:5e:6f:70:",
                                  "00:1a:2b:3c:4d:5e:6f:70:81",
                                  "001a2b3c4d5e6f7081",
                                  "00:1a:2b:3c:4d:5e:6f:7",
                                  "0:1a:2b:3c:4d:5e",
                                  "",
                                  "00::1a:2b:3c",
                                  "00:1g:2b:3c",
                                  "001.A2B.3C4",
                                  "001A2.B3C4D5E"};
   for (const char *text : refused)
   {
      MacAddress mac = MacAddress::parse(text);
      EXPECT_EQ(mac.length(), 0u) << text;
      EXPECT_FALSE(mac.isValid()) << text;
   }
   EXPECT_EQ(MacAddress::parse(static_cast<const char *>(nullptr)).length(), 0u);
   EXPECT_EQ(MacAddress::parse(static_cast<const wchar_t *>(nullptr)).length(), 0u);
   // Text that is not ASCII never makes an address, whatever the code page makes of it.
   EXPECT_EQ(MacAddress::parse(L"00:1a:2b:3c:4d:5\x0415").length(), 0u);
   EXPECT_EQ(MacAddress::parse(L"\xff10\xff10:1a:2b:3c:4d:5e").length(), 0u);
   EXPECT_EQ(MacAddress::parse(std::wstring(5000, L'0').c_str()).length(), 0u);
}

TEST(MacAddress, EveryNotationAndLengthPrintsInFullAndParsesBack)
{
   for (size_t length = 0; length <= MacAddress::MAX_LENGTH; length++)
   {
      MacAddress mac(BYTES, length);
      for (const NotationCase &n : NOTATIONS)
      {
         std::string expected = Expected(length, n.groupDigits, n.separator);
         // A heap block of exactly the documented size, so a write past it is caught.
         size_t size = BufferSize(length, n.notation);
         wchar_t *buffer = static_cast<wchar_t *>(malloc(size * sizeof(wchar_t)));
         ASSERT_EQ(mac.toString(buffer, n.notation), buffer);
         EXPECT_EQ(Narrow(buffer), expected) << length << " bytes, notation " << n.notation;
         free(buffer);
         EXPECT_EQ(ToText(mac, n.notation), expected) << length << " bytes, notation " << n.notation;
         EXPECT_LE(expected.size() + 1, MacAddress::TEXT_BUFFER_SIZE);

         // What a parser accepts comes back as the same address.
         bool parsable = (length >= 4 && length <= 8 && n.notation != MAC_NOTATION_DOT_TRIPLETS) ||
                         (length == 6 && n.notation == MAC_NOTATION_DOT_TRIPLETS);
         MacAddress back = MacAddress::parse(expected.c_str());
         if (parsable)
            EXPECT_TRUE(back.equals(mac)) << expected;
         else
            EXPECT_EQ(back.length(), 0u) << expected;
      }
   }
   MacAddress five(BYTES, 5);
   EXPECT_EQ(ToText(five, MAC_NOTATION_COLON_PAIRS), "001A:2B3C:4D");
   EXPECT_EQ(ToText(five, MAC_NOTATION_DOT_PAIRS), "001A.2B3C.4D");
   EXPECT_EQ(ToText(MacAddress(BYTES, 8), MAC_NOTATION_DOT_TRIPLETS), "001.A2B.3C4.D5E.6F7.0");
   EXPECT_EQ(ToText(MacAddress(SAMPLE, 6), static_cast<MacAddressNotation>(6)), "");
   EXPECT_EQ(ToText(MacAddress(SAMPLE, 6), static_cast<MacAddressNotation>(-1)), "");
   EXPECT_EQ(ToText(MacAddress(), MAC_NOTATION_COLON), "");
}

TEST(MacAddress, ClassesAndEquality)
{
   const uint8_t broadcast[] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
   const uint8_t multicast[] = {0x01, 0x00, 0x5E, 0x00, 0x00, 0x01, 0x00, 0x00};
   EXPECT_TRUE(MacAddress(broadcast, 6).isBroadcast() && MacAddress(broadcast, 6).isMulticast());
   EXPECT_TRUE(MacAddress(multicast, 6).isMulticast() && !MacAddress(multicast, 6).isBroadcast());
   EXPECT_FALSE(MacAddress(broadcast, 8).isBroadcast() || MacAddress(multicast, 8).isMulticast());
   EXPECT_FALSE(MacAddress(SAMPLE, 6).isMulticast());
   EXPECT_TRUE(MacAddress(SAMPLE, 6).isValid());
   // All zero (also a null value) and empty are not valid; lengths are cut to 16.
   EXPECT_FALSE(MacAddress(6).isValid() || MacAddress().isValid() || MacAddress(nullptr, 6).isValid());
   EXPECT_EQ(MacAddress(6).length(), 6u);
   EXPECT_EQ(MacAddress(100).length(), MacAddress::MAX_LENGTH);
   EXPECT_EQ(MacAddress(BYTES, 100).length(), MacAddress::MAX_LENGTH);

   // Equal bytes of different lengths differ; bytes past the length do not count.
   EXPECT_FALSE(MacAddress(BYTES, 6).equals(MacAddress(BYTES, 8)));
   EXPECT_FALSE(MacAddress(BYTES, 6).equals(MacAddress::parse("00-1A-2B-3C-4D-5F")));
   uint8_t other[8];
   memcpy(other, BYTES, 6);
   other[6] = 0x99;
   EXPECT_TRUE(MacAddress(BYTES, 6).equals(MacAddress(other, 6)));

   wchar_t buffer[18];
   EXPECT_EQ(MACToStr(SAMPLE, buffer), buffer);
   EXPECT_STREQ(buffer, L"00:1A:2B:3C:4D:5E");
}

TEST(MacAddress, ThreadsParseAtOnce)
{
   // The compiled patterns are shared: threads released together that parse different
   // texts must each get their own address.
   const char *const texts[] = {"00:1a:2b:3c:4d:5e", "001.a2b.3c4.d5e", "0011.2233.4455.6677", "00-11-22-33"};
   const size_t lengths[] = {6, 6, 8, 4};
   std::atomic<int> ready(0);
   std::vector<std::thread> threads;
   std::vector<int> failures(4, 0);
   for (size_t k = 0; k < 4; k++)
   {
      threads.emplace_back([&, k] {
         ready++;
         while (ready.load() < 4)
            std::this_thread::yield();
         for (int i = 0; i < 2000; i++)
            failures[k] += (MacAddress::parse(texts[k]).length() == lengths[k]) ? 0 : 1;
      });
   }
   for (std::thread &t : threads)
      t.join();
   for (int f : failures)
      EXPECT_EQ(f, 0);
}
