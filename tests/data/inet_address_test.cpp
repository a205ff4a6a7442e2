#include <qorvel.h>

#include <gtest/gtest.h>

#include <jansson.h>

#include <arpa/inet.h>
#include <limits.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <string>
#include <thread>
#include <vector>

namespace {

/* Given to A() for keeping the mask bits that parse gives. */
constexpr int PARSED_BITS = INT_MIN;

/* The address of a text the test knows to be valid. */
InetAddress A(const char *text, int maskBits = PARSED_BITS)
{
   InetAddress addr = InetAddress::parse(text);
   EXPECT_TRUE(addr.isValid()) << text;
   if (maskBits != PARSED_BITS)
      addr.setMaskBits(maskBits);
   return addr;
}

std::string Text(const InetAddress &addr)
{
   char buffer[InetAddress::TEXT_BUFFER_SIZE];
   return addr.toStringA(buffer);
}

/* Text and mask bits, as "10.1.2.0/24". */
std::string WithBits(const InetAddress &addr)
{
   return Text(addr) + "/" + std::to_string(addr.getMaskBits());
}

std::string Json(json_t *value)
{
   char *text = json_dumps(value, JSON_COMPACT);
   std::string result = (text != nullptr) ? text : "<null>";
   free(text);
   json_decref(value);
   return result;
}

std::wstring Widen(const std::string &text)
{
   return std::wstring(text.begin(), text.end());
}

/* parse of an exactly sized heap copy, so that a read past the terminator shows. */
InetAddress ParseCopy(const std::string &text)
{
   char *copy = static_cast<char *>(malloc(text.size() + 1));
   memcpy(copy, text.c_str(), text.size() + 1);
   InetAddress addr = InetAddress::parse(copy);
   free(copy);
   return addr;
}

InetAddress ParseCopy(const std::wstring &text)
{
   wchar_t *copy = static_cast<wchar_t *>(malloc((text.size() + 1) * sizeof(wchar_t)));
   memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
   InetAddress addr = InetAddress::parse(copy);
   free(copy);
   return addr;
}

/* Whether the C library's numeric parser takes the text, as a second opinion. */
bool PlatformAccepts(const std::string &text)
{
   uint8_t bytes[16];
   return inet_pton(AF_INET, text.c_str(), bytes) == 1 || inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

}  // namespace

TEST(InetAddress, ConstructorsAndConstants)
{
   EXPECT_EQ(InetAddress(0x0A000001, 0xFFFFFF00).getMaskBits(), 24);
   EXPECT_EQ(InetAddress(0x0A000001, 0).getMaskBits(), 0);
   EXPECT_EQ(InetAddress(0x0A000001, 0xFF00FF00).getMaskBits(), 24);  // trailing zeros decide
   EXPECT_EQ(InetAddress(0x0A000001, 0xFFFFFFFF).getMaskBits(), 32);

   InetAddress v4(0x0A000001);
   EXPECT_EQ(v4.getFamily(), AF_INET);
   EXPECT_EQ(v4.getMaskBits(), 32);
   EXPECT_EQ(v4.getAddressV4(), 0x0A000001u);
   EXPECT_EQ(memcmp(v4.getAddressV6(), InetAddress().getAddressV6(), 16), 0);
   EXPECT_EQ(v4.getHostBits(), 0);

   const uint8_t bytes[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
   InetAddress v6(bytes, 64);
   EXPECT_EQ(v6.getFamily(), AF_INET6);
   EXPECT_EQ(memcmp(v6.getAddressV6(), bytes, 16), 0);
   EXPECT_EQ(v6.getAddressV4(), 0u);
   EXPECT_EQ(v6.getHostBits(), 64);
   EXPECT_EQ(InetAddress(bytes).getMaskBits(), 128);
   EXPECT_EQ(Text(InetAddress(nullptr, 128)), "::");

   EXPECT_FALSE(InetAddress::INVALID.isValid());
   EXPECT_EQ(InetAddress::INVALID.getFamily(), AF_UNSPEC);
   EXPECT_EQ(InetAddress::INVALID.getMaskBits(), 0);
   EXPECT_EQ(InetAddress::INVALID.getHostBits(), 128);
   EXPECT_EQ(WithBits(InetAddress::LOOPBACK), "127.0.0.1/32");
   EXPECT_EQ(WithBits(InetAddress::NONE), "0.0.0.0/32");
   EXPECT_EQ(InetAddress::NONE.getFamily(), AF_INET);

   InetAddress copy = v6;
   copy.setMaskBits(200);  // any value is kept
   EXPECT_EQ(copy.getMaskBits(), 200);
   EXPECT_TRUE(copy.equals(v6));
}

TEST(InetAddress, Classification)
{
   struct Case
   {
      const char *text;
      bool anyLocal, loopback, multicast, broadcast, linkLocal, validUnicast;
   };
   const Case cases[] = {
       {"0.0.0.0", true, false, false, false, false, false},
       {"127.0.0.1", false, true, false, false, false, false},
       {"127.255.3.4", false, true, false, false, false, false},
       {"126.255.255.255", false, false, false, false, false, true},
       {"224.0.0.1", false, false, true, false, false, false},
       {"223.255.255.255", false, false, false, false, false, true},
       {"240.0.0.1", false, false, true, false, false, false},
       {"255.255.255.254", false, false, true, false, false, false},
       {"255.255.255.255", false, false, false, true, false, false},
       {"169.254.10.1", false, false, false, false, true, false},
       {"169.253.255.255", false, false, false, false, false, true},
       {"169.255.0.0", false, false, false, false, false, true},
       {"10.0.0.1", false, false, false, false, false, true},
       {"::", true, false, false, false, false, false},
       {"::1", false, true, false, false, false, false},
       {"::2", false, false, false, false, false, true},
       {"1::1", false, false, false, false, false, true},
       {"ff02::1", false, false, true, false, false, false},
       {"fe80::1", false, false, false, false, true, false},
       {"febf:ffff::1", false, false, false, false, true, false},
       {"fec0::1", false, false, false, false, false, true},
       {"2001:db8::1", false, false, false, false, false, true},
       {"::ffff:127.0.0.1", false, false, false, false, false, true},  // mapped forms are not IPv4
   };
   for (const Case &c : cases)
   {
      InetAddress addr = A(c.text);
      EXPECT_EQ(addr.isAnyLocal(), c.anyLocal) << c.text;
      EXPECT_EQ(addr.isLoopback(), c.loopback) << c.text;
      EXPECT_EQ(addr.isMulticast(), c.multicast) << c.text;
      EXPECT_EQ(addr.isBroadcast(), c.broadcast) << c.text;
      EXPECT_EQ(addr.isLinkLocal(), c.linkLocal) << c.text;
      EXPECT_EQ(addr.isValidUnicast(), c.validUnicast) << c.text;
   }
   const InetAddress &invalid = InetAddress::INVALID;
   EXPECT_TRUE(invalid.isAnyLocal());
   EXPECT_FALSE(invalid.isLoopback() || invalid.isMulticast() || invalid.isBroadcast() || invalid.isLinkLocal());
   EXPECT_FALSE(invalid.isValidUnicast());
   // The link-local test does not depend on the object's own mask bits.
   EXPECT_TRUE(A("169.254.1.1", 0).isLinkLocal());
   EXPECT_TRUE(A("fe80::1", 128).isLinkLocal());
}

TEST(InetAddress, SubnetAddressAndBroadcast)
{
   EXPECT_EQ(WithBits(A("10.1.2.3", 24).getSubnetAddress()), "10.1.2.0/24");
   EXPECT_EQ(WithBits(A("10.1.2.3", 0).getSubnetAddress()), "0.0.0.0/0");
   EXPECT_EQ(WithBits(A("10.1.2.3", 31).getSubnetAddress()), "10.1.2.2/31");
   EXPECT_EQ(WithBits(A("10.1.2.3", 32).getSubnetAddress()), "10.1.2.3/32");
   EXPECT_EQ(WithBits(A("2001:db8::1", 64).getSubnetAddress()), "2001:db8::/64");
   EXPECT_EQ(WithBits(A("2001:db8:1:ffff::1", 60).getSubnetAddress()), "2001:db8:1:fff0::/60");
   EXPECT_EQ(WithBits(A("2001:ffff:ffff::", 17).getSubnetAddress()), "2001:8000::/17");
   EXPECT_EQ(WithBits(A("ffff::1", 0).getSubnetAddress()), "::/0");
   EXPECT_EQ(WithBits(A("2001:db8::1", 127).getSubnetAddress()), "2001:db8::/127");
   EXPECT_EQ(WithBits(InetAddress::INVALID.getSubnetAddress()), "UNSPEC/0");

   EXPECT_EQ(WithBits(A("10.1.2.3", 24).getSubnetBroadcast()), "10.1.2.255/24");
   EXPECT_EQ(WithBits(A("10.1.2.3", 0).getSubnetBroadcast()), "255.255.255.255/0");
   EXPECT_EQ(WithBits(A("10.1.2.3", 32).getSubnetBroadcast()), "10.1.2.3/32");
   EXPECT_EQ(WithBits(A("2001:db8::1", 64).getSubnetBroadcast()), "2001:db8::1/64");
}

/* Mask bits outside the family's width: shifts by 32 or more and byte indexes below zero
 * or past the address must not happen. */
TEST(InetAddress, SubnetOperationsClampMaskBits)
{
   EXPECT_EQ(WithBits(A("10.1.2.3", -1).getSubnetAddress()), "0.0.0.0/-1");
   EXPECT_EQ(WithBits(A("10.1.2.3", -32768).getSubnetBroadcast()), "255.255.255.255/-32768");
   EXPECT_EQ(WithBits(A("10.1.2.3", 33).getSubnetAddress()), "10.1.2.3/33");
   EXPECT_EQ(WithBits(A("2001:db8::1", -8).getSubnetAddress()), "::/-8");
   EXPECT_EQ(WithBits(A("2001:db8::1", 200).getSubnetAddress()), "2001:db8::1/200");

   EXPECT_TRUE(A("0.0.0.0", -5).contain(A("200.1.1.1")));
   EXPECT_FALSE(A("10.0.0.0", -5).contain(A("10.0.0.0")));
   EXPECT_TRUE(A("10.0.0.0", 40).contain(A("10.0.0.0")));
   EXPECT_FALSE(A("10.0.0.0", 40).contain(A("10.0.0.1")));
   EXPECT_TRUE(A("::", -1).contain(A("2001:db8::1")));
   EXPECT_TRUE(A("2001:db8::1", 300).contain(A("2001:db8::1")));
   EXPECT_FALSE(A("2001:db8::1", 300).contain(A("2001:db8::2")));
   EXPECT_TRUE(A("10.1.1.1", -1).sameSubnet(A("99.1.1.1")));
   EXPECT_TRUE(A("2001:db8::1", -1).sameSubnet(A("fe80::1")));

   EXPECT_TRUE(A("0.0.0.1").isSubnetBroadcast(40));
   EXPECT_FALSE(A("255.255.255.254").isSubnetBroadcast(-1));
   EXPECT_TRUE(A("255.255.255.255").isSubnetBroadcast(-1));
}

TEST(InetAddress, SubnetBroadcastTest)
{
   EXPECT_TRUE(A("192.168.1.255").isSubnetBroadcast(24));
   EXPECT_FALSE(A("192.168.1.254").isSubnetBroadcast(24));
   EXPECT_TRUE(A("192.168.1.127").isSubnetBroadcast(25));
   EXPECT_TRUE(A("192.168.1.1").isSubnetBroadcast(32));
   EXPECT_TRUE(A("0.0.0.0").isSubnetBroadcast(32));
   EXPECT_TRUE(A("255.255.255.255").isSubnetBroadcast(0));
   EXPECT_FALSE(A("127.255.255.255").isSubnetBroadcast(0));
   EXPECT_FALSE(A("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff").isSubnetBroadcast(64));
   EXPECT_FALSE(InetAddress::INVALID.isSubnetBroadcast(0));
}

TEST(InetAddress, ContainAndSameSubnet)
{
   EXPECT_TRUE(A("10.1.2.0", 24).contain(A("10.1.2.200")));
   EXPECT_TRUE(A("10.1.2.0", 24).contain(A("10.1.2.0", 8)));  // the other's mask bits do not count
   EXPECT_FALSE(A("10.1.2.0", 24).contain(A("10.1.3.1")));
   // Its own host bits are not cleared, so this contains no address at all.
   EXPECT_FALSE(A("10.1.2.3", 24).contain(A("10.1.2.3")));
   EXPECT_FALSE(A("10.1.2.3", 24).contain(A("10.1.2.0")));
   EXPECT_FALSE(A("0.0.0.0", 0).contain(A("::")));
   EXPECT_FALSE(A("::", 0).contain(A("0.0.0.0")));
   EXPECT_TRUE(A("0.0.0.0", 0).contain(A("255.255.255.255")));
   EXPECT_TRUE(A("0.0.0.0", 0).contain(A("10.9.8.7")));
   EXPECT_FALSE(A("10.0.0.0", 0).contain(A("10.0.0.0")));
   EXPECT_TRUE(A("2001:db8::", 32).contain(A("2001:db8:ffff::1")));
   EXPECT_FALSE(A("2001:db8::", 32).contain(A("2001:db9::")));
   EXPECT_TRUE(A("fe80::", 10).contain(A("febf::1")));
   EXPECT_FALSE(A("fe80::", 10).contain(A("fec0::1")));
   EXPECT_TRUE(InetAddress::INVALID.contain(InetAddress::INVALID));

   EXPECT_TRUE(A("10.1.2.3", 24).sameSubnet(A("10.1.2.77")));
   EXPECT_FALSE(A("10.1.2.3", 24).sameSubnet(A("10.1.3.3")));
   EXPECT_TRUE(A("10.1.2.3", 0).sameSubnet(A("192.168.0.1")));
   EXPECT_FALSE(A("10.1.2.3", 0).sameSubnet(A("::1")));
   // This object's mask bits decide.
   EXPECT_TRUE(A("10.1.2.3", 8).sameSubnet(A("10.9.9.9", 32)));
   EXPECT_FALSE(A("10.9.9.9", 32).sameSubnet(A("10.1.2.3", 8)));
   EXPECT_TRUE(A("2001:db8:1:2::1", 64).sameSubnet(A("2001:db8:1:2:ffff::")));
   EXPECT_FALSE(A("2001:db8:1:2::1", 64).sameSubnet(A("2001:db8:1:3::1")));
   EXPECT_TRUE(A("2001:db8:1:2::1", 63).sameSubnet(A("2001:db8:1:3::1")));
}

TEST(InetAddress, EqualityAndOrdering)
{
   EXPECT_TRUE(A("10.0.0.1", 8).equals(A("10.0.0.1", 24)));
   EXPECT_FALSE(A("10.0.0.1").equals(A("10.0.0.2")));
   EXPECT_FALSE(A("0.0.0.0").equals(A("::")));
   EXPECT_FALSE(InetAddress::INVALID.equals(A("::")));
   EXPECT_TRUE(A("2001:db8::1", 64).equals(A("2001:db8::1")));

   // A higher family code sorts first.
   EXPECT_EQ(A("10.0.0.1").compareTo(A("::1")), AF_INET6 - AF_INET);
   EXPECT_EQ(A("::1").compareTo(A("10.0.0.1")), AF_INET - AF_INET6);
   EXPECT_EQ(InetAddress::INVALID.compareTo(A("10.0.0.1")), AF_INET);
   // IPv4 ascending as unsigned numbers.
   EXPECT_EQ(A("10.0.0.1").compareTo(A("200.0.0.1")), -1);
   EXPECT_EQ(A("200.0.0.1").compareTo(A("10.0.0.1")), 1);
   // IPv6 in descending byte order.
   EXPECT_EQ(A("::1").compareTo(A("::2")), 1);
   EXPECT_EQ(A("ff00::").compareTo(A("::ff")), -1);
   // Equal addresses by mask bits.
   EXPECT_EQ(A("10.0.0.1", 24).compareTo(A("10.0.0.1", 16)), 8);
   EXPECT_EQ(A("::1", 64).compareTo(A("::1", 128)), -64);
   EXPECT_EQ(A("::1").compareTo(A("::1")), 0);
}

TEST(InetAddress, HashKeyLayout)
{
   uint8_t key[InetAddress::HASH_KEY_SIZE];
   uint8_t expected[InetAddress::HASH_KEY_SIZE] = {6, AF_INET};
   uint32_t v4 = 0x0A000001;
   memcpy(expected + 2, &v4, 4);  // as it lies in memory
   memset(key, 0xAA, sizeof(key));
   EXPECT_EQ(A("10.0.0.1", 8).buildHashKey(key), key);
   EXPECT_EQ(memcmp(key, expected, sizeof(key)), 0);

   const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
   uint8_t expected6[InetAddress::HASH_KEY_SIZE] = {18, AF_INET6};
   memcpy(expected6 + 2, v6, 16);
   InetAddress(v6, 64).buildHashKey(key);
   EXPECT_EQ(memcmp(key, expected6, sizeof(key)), 0);

   uint8_t expectedInvalid[InetAddress::HASH_KEY_SIZE] = {18, AF_INET6};
   InetAddress::INVALID.buildHashKey(key);
   EXPECT_EQ(memcmp(key, expectedInvalid, sizeof(key)), 0);
}

TEST(InetAddress, TextForms)
{
   wchar_t wide[QV_IPV6_TEXT_SIZE];
   char narrow[QV_IPV6_TEXT_SIZE];
   EXPECT_STREQ(IpToStr(0xC0A80001, wide), L"192.168.0.1");
   EXPECT_STREQ(IpToStrA(0xC0A80001, narrow), "192.168.0.1");
   EXPECT_STREQ(IpToStrA(0, narrow), "0.0.0.0");
   EXPECT_STREQ(IpToStrA(0x0A00FF09, narrow), "10.0.255.9");

   // The longest IPv4 text fills its buffer exactly.
   char v4Exact[QV_IPV4_TEXT_SIZE + 1];
   memset(v4Exact, 'x', sizeof(v4Exact));
   EXPECT_STREQ(IpToStrA(0xFFFFFFFF, v4Exact), "255.255.255.255");
   EXPECT_EQ(v4Exact[QV_IPV4_TEXT_SIZE], 'x');

   struct Case
   {
      uint16_t groups[8];
      const char *text;
   };
   const Case cases[] = {
       {{0, 0, 0, 0, 0, 0, 0, 0}, "::"},
       {{0, 0, 0, 0, 0, 0, 0, 1}, "::1"},
       {{0xfe80, 0, 0, 0, 0, 0, 1, 2}, "fe80::1:2"},
       {{0x2001, 0xdb8, 0, 0, 1, 0, 0, 1}, "2001:db8::1:0:0:1"},
       {{1, 0, 2, 0, 0, 0, 0, 3}, "1::2:0:0:0:0:3"},  // only the first run, however short
       {{1, 2, 3, 4, 5, 6, 7, 0}, "1:2:3:4:5:6:7::"},
       {{0, 1, 2, 3, 4, 5, 6, 7}, "::1:2:3:4:5:6:7"},
       {{0, 0, 0, 0, 0, 0xffff, 0x102, 0x304}, "::ffff:102:304"},
       {{1, 0x0ab, 0x1000, 0xABCD, 0x10, 0x100, 0xf, 9}, "1:ab:1000:abcd:10:100:f:9"},
   };
   for (const Case &c : cases)
   {
      uint8_t bytes[16];
      for (int i = 0; i < 8; i++)
      {
         bytes[2 * i] = static_cast<uint8_t>(c.groups[i] >> 8);
         bytes[2 * i + 1] = static_cast<uint8_t>(c.groups[i]);
      }
      EXPECT_STREQ(Ip6ToStrA(bytes, narrow), c.text);
      EXPECT_EQ(std::wstring(Ip6ToStr(bytes, wide)), Widen(c.text));
      EXPECT_EQ(Text(InetAddress(bytes)), c.text);
   }

   // The longest IPv6 text fills its buffer exactly.
   uint8_t ones[16];
   memset(ones, 0xFF, sizeof(ones));
   wchar_t v6Exact[QV_IPV6_TEXT_SIZE + 1];
   wmemset(v6Exact, L'x', QV_IPV6_TEXT_SIZE + 1);
   EXPECT_EQ(wcslen(Ip6ToStr(ones, v6Exact)), QV_IPV6_TEXT_SIZE - 1);
   EXPECT_EQ(v6Exact[QV_IPV6_TEXT_SIZE], L'x');
   EXPECT_STREQ(Ip6ToStrA(nullptr, narrow), "");

   EXPECT_STREQ(InetAddress::INVALID.toString(wide), L"UNSPEC");
   EXPECT_STREQ(InetAddress::INVALID.toStringA(narrow), "UNSPEC");
   EXPECT_STREQ(A("10.0.0.1").toString(wide), L"10.0.0.1");
   EXPECT_STREQ(A("fe80::1").toString(), L"fe80::1");
   EXPECT_STREQ(InetAddress::INVALID.toString(), L"UNSPEC");
}

/* Without a buffer each function writes into one of its own per thread, so threads do
 * not overwrite each other's texts. */
TEST(InetAddress, TextFunctionsOwnBufferPerThread)
{
   char *mine = IpToStrA(0x01020304, nullptr);
   EXPECT_EQ(IpToStrA(0x05060708, nullptr), mine);
   EXPECT_NE(static_cast<void *>(IpToStr(0, nullptr)), static_cast<void *>(mine));
   EXPECT_NE(static_cast<void *>(Ip6ToStrA(InetAddress::LOOPBACK.getAddressV6(), nullptr)), static_cast<void *>(mine));
   char *theirs = nullptr;
   std::thread other([&theirs] { theirs = IpToStrA(0x0A0A0A0A, nullptr); });
   other.join();
   EXPECT_NE(theirs, mine);
   EXPECT_STREQ(mine, "5.6.7.8");
}

TEST(InetAddress, ParseAcceptsNumericLiterals)
{
   struct Case
   {
      const char *text;
      int family;
      const char *canonical;
   };
   const Case cases[] = {
       {"1.2.3.4", AF_INET, "1.2.3.4"},
       {"0.0.0.0", AF_INET, "0.0.0.0"},
       {"255.255.255.255", AF_INET, "255.255.255.255"},
       {"10.0.100.199", AF_INET, "10.0.100.199"},
       {"::", AF_INET6, "::"},
       {"::1", AF_INET6, "::1"},
       {"1::", AF_INET6, "1::"},
       {"1:2:3:4:5:6:7:8", AF_INET6, "1:2:3:4:5:6:7:8"},
       {"0:0:0:0:0:0:0:0", AF_INET6, "::"},
       {"FFFF:abcd::0001", AF_INET6, "ffff:abcd::1"},
       {"2001:0db8:0000:0000:0001:0000:0000:0001", AF_INET6, "2001:db8::1:0:0:1"},
       {"1:2:3:4:5:6:7::", AF_INET6, "1:2:3:4:5:6:7::"},
       {"::2:3:4:5:6:7:8", AF_INET6, "::2:3:4:5:6:7:8"},
       {"1:2::7:8", AF_INET6, "1:2::7:8"},
       {"::ffff:1.2.3.4", AF_INET6, "::ffff:102:304"},
       {"::1.2.3.4", AF_INET6, "::102:304"},
       {"1:2:3:4:5:6:1.2.3.4", AF_INET6, "1:2:3:4:5:6:102:304"},
       {"1::255.255.255.255", AF_INET6, "1::ffff:ffff"},
   };
   for (const Case &c : cases)
   {
      InetAddress narrow = ParseCopy(std::string(c.text));
      InetAddress wide = ParseCopy(Widen(c.text));
      EXPECT_EQ(narrow.getFamily(), c.family) << c.text;
      EXPECT_EQ(narrow.getMaskBits(), (c.family == AF_INET) ? 32 : 128) << c.text;
      EXPECT_EQ(Text(narrow), c.canonical) << c.text;
      EXPECT_TRUE(wide.equals(narrow) && wide.getMaskBits() == narrow.getMaskBits()) << c.text;
      EXPECT_TRUE(PlatformAccepts(c.text)) << c.text;
   }
   EXPECT_EQ(InetAddress::parse("10.0.0.1").getAddressV4(), 0x0A000001u);
}

TEST(InetAddress, ParseRejectsEverythingElse)
{
   const char *const cases[] = {
       "",
       " ",
       "1",
       "1.2.3",
       "1.2.3.4.5",
       "256.1.1.1",
       "1.2.3.256",
       "1.2.3.-1",
       "01.2.3.4",
       "1.2.3.04",
       "1.2.3.00",
       "1..2.3",
       ".1.2.3.4",
       "1.2.3.4.",
       " 1.2.3.4",
       "1.2.3.4 ",
       "1.2.3.4\n",
       "1.2.3.4/24",
       "0x1.2.3.4",
       "1.2.3.4:80",
       "1234.1.1.1",
       "1.2.3.4a",
       "localhost",
       "example.com",
       "[::1]",
       "::1%eth0",
       "fe80::1%1",
       "::1/128",
       ":",
       ":::",
       "1:::2",
       "1::2::3",
       "::1::",
       ":1::2",
       ":1:2:3:4:5:6:7:8",
       "1::2:",
       "1:2:3:4:5:6:7:8:",
       "1:2:3:4:5:6:7",
       "1:2:3:4:5:6:7:8:9",
       "1:2:3:4:5:6:7::8",
       "::1:2:3:4:5:6:7:8",
       "12345::",
       "00000::1",
       "g::",
       "::g",
       "1:2:3:4:5:6:7:1.2.3.4",
       "::1.2.3",
       "::1.2.3.4:5",
       "::01.2.3.4",
       "::1.2.3.4.5",
       "1.2.3.4::",
       "::ffff:256.1.1.1",
       "::ab.1.2.3",
       "1:2:3:4:5:6:1.2.3.4::",
       "::1.2.3.4::",
       "- 1",
       "+1.2.3.4",
       "1.2.3.4\xc2\xa0",
   };
   for (const char *text : cases)
   {
      InetAddress narrow = ParseCopy(std::string(text));
      EXPECT_FALSE(narrow.isValid()) << '"' << text << "\" gave " << Text(narrow);
      EXPECT_FALSE(ParseCopy(Widen(text)).isValid()) << text;
      EXPECT_FALSE(PlatformAccepts(text)) << text;  // the C library agrees
   }
   // Non-ASCII wide characters are not digits, even when their low byte would be.
   EXPECT_FALSE(ParseCopy(std::wstring(L"\x0131.2.3.4")).isValid());
   EXPECT_FALSE(ParseCopy(std::wstring(L"\xFF11.2.3.4")).isValid());
   EXPECT_FALSE(ParseCopy(std::wstring(L"::\x0661")).isValid());
   EXPECT_FALSE(ParseCopy(std::wstring(L"1.2.3.4\x0100")).isValid());
   // A long text is not an address, whatever it holds.
   EXPECT_FALSE(ParseCopy(std::string(300, '1')).isValid());
   EXPECT_FALSE(ParseCopy(std::string(254, ':')).isValid());
   EXPECT_FALSE(ParseCopy(std::wstring(300, L':')).isValid());
   EXPECT_FALSE(InetAddress::parse(static_cast<const char *>(nullptr)).isValid());
   EXPECT_FALSE(InetAddress::parse(static_cast<const wchar_t *>(nullptr)).isValid());
}

TEST(InetAddress, SocketAddresses)
{
   SockAddrBuffer buffer;
   memset(&buffer, 0xAA, sizeof(buffer));
   struct sockaddr *sa = A("192.168.1.2").fillSockAddr(&buffer, 8080);
   ASSERT_EQ(static_cast<void *>(sa), static_cast<void *>(&buffer));
   const sockaddr_in *sin = reinterpret_cast<const sockaddr_in *>(sa);
   EXPECT_EQ(sin->sin_family, AF_INET);
   EXPECT_EQ(sin->sin_port, htons(8080));
   EXPECT_EQ(sin->sin_addr.s_addr, htonl(0xC0A80102));
   for (size_t i = sizeof(sockaddr_in); i < sizeof(buffer); i++)
      EXPECT_EQ(reinterpret_cast<const uint8_t *>(&buffer)[i], 0) << i;  // the whole buffer is cleared
   EXPECT_TRUE(InetAddress::createFromSockaddr(sa).equals(A("192.168.1.2")));
   EXPECT_EQ(InetAddress::createFromSockaddr(sa).getMaskBits(), 32);

   memset(&buffer, 0xAA, sizeof(buffer));
   sa = A("2001:db8::5", 64).fillSockAddr(&buffer, 443);
   ASSERT_NE(sa, nullptr);
   const sockaddr_in6 *sin6 = reinterpret_cast<const sockaddr_in6 *>(sa);
   EXPECT_EQ(sin6->sin6_family, AF_INET6);
   EXPECT_EQ(sin6->sin6_port, htons(443));
   EXPECT_EQ(sin6->sin6_flowinfo, 0u);
   EXPECT_EQ(sin6->sin6_scope_id, 0u);
   EXPECT_EQ(memcmp(&sin6->sin6_addr, A("2001:db8::5").getAddressV6(), 16), 0);
   InetAddress back = InetAddress::createFromSockaddr(sa);
   EXPECT_EQ(WithBits(back), "2001:db8::5/128");
   wchar_t text[QV_IPV6_TEXT_SIZE];
   EXPECT_STREQ(SockaddrToStr(sa, text), L"2001:db8::5");
   EXPECT_STREQ(SockaddrToStr(A("10.0.0.9").fillSockAddr(&buffer), nullptr), L"10.0.0.9");

   EXPECT_EQ(InetAddress::INVALID.fillSockAddr(&buffer, 1), nullptr);
   EXPECT_EQ(A("10.0.0.1").fillSockAddr(nullptr, 1), nullptr);

   sockaddr_un local;
   memset(&local, 0, sizeof(local));
   local.sun_family = AF_UNIX;
   EXPECT_FALSE(InetAddress::createFromSockaddr(reinterpret_cast<sockaddr *>(&local)).isValid());
   EXPECT_FALSE(InetAddress::createFromSockaddr(nullptr).isValid());
   wcscpy(text, L"junk");
   EXPECT_STREQ(SockaddrToStr(reinterpret_cast<sockaddr *>(&local), text), L"");
   EXPECT_STREQ(SockaddrToStr(nullptr, nullptr), L"");
}

/* Only numeric texts and "localhost", which the hosts file answers: no network here. */
TEST(InetAddress, NameResolution)
{
   EXPECT_EQ(WithBits(InetAddress::resolveHostName("1.2.3.4")), "1.2.3.4/32");
   EXPECT_EQ(WithBits(InetAddress::resolveHostName(L"::1")), "::1/128");
   // A numeric text is taken as it is, whatever family is asked for.
   EXPECT_EQ(InetAddress::resolveHostName("1.2.3.4", AF_INET6).getFamily(), AF_INET);

   EXPECT_FALSE(InetAddress::parse("localhost").isValid());
   InetAddress local = InetAddress::resolveHostName("localhost");
   EXPECT_TRUE(local.isLoopback()) << Text(local);
   EXPECT_EQ(local.getMaskBits(), (local.getFamily() == AF_INET) ? 32 : 128);
   InetAddress local4 = InetAddress::resolveHostName(L"localhost", AF_INET);
   EXPECT_EQ(local4.getFamily(), AF_INET);
   EXPECT_TRUE(local4.isLoopback());

   EXPECT_FALSE(InetAddress::resolveHostName(static_cast<const char *>(nullptr)).isValid());
   EXPECT_FALSE(InetAddress::resolveHostName(static_cast<const wchar_t *>(nullptr)).isValid());
   EXPECT_FALSE(InetAddress::resolveHostName("").isValid());
   // Too long for the code page buffer: not looked up at all.
   EXPECT_FALSE(InetAddress::resolveHostName(std::wstring(300, L'a').c_str()).isValid());
   EXPECT_FALSE(InetAddress::resolveHostName(std::string(300, 'a').c_str()).isValid());
}

TEST(InetAddress, ReverseLookup)
{
   wchar_t name[256];
   ASSERT_EQ(InetAddress::LOOPBACK.getHostByAddr(name, 256), name);
   std::wstring full = name;
   EXPECT_FALSE(full.empty());

   // A small buffer gets the start of the name, terminated in its last character.
   wchar_t small[4];
   wmemset(small, L'x', 4);
   ASSERT_EQ(InetAddress::LOOPBACK.getHostByAddr(small, 4), small);
   EXPECT_EQ(std::wstring(small), full.substr(0, 3));

   wchar_t untouched = L'x';
   EXPECT_EQ(InetAddress::LOOPBACK.getHostByAddr(&untouched, 0), nullptr);
   EXPECT_EQ(untouched, L'x');
   EXPECT_EQ(InetAddress::INVALID.getHostByAddr(name, 256), nullptr);
}

TEST(InetAddress, JsonForm)
{
   std::string v4 = "{\"family\":" + std::to_string(AF_INET) + ",\"address\":\"10.0.0.1\",\"prefixLength\":24}";
   EXPECT_EQ(Json(A("10.0.0.1", 24).toJson()), v4);
   std::string v6 = "{\"family\":" + std::to_string(AF_INET6) + ",\"address\":\"fe80::1\",\"prefixLength\":64}";
   EXPECT_EQ(Json(A("fe80::1", 64).toJson()), v6);
   EXPECT_EQ(Json(InetAddress::INVALID.toJson()), "{\"family\":0,\"prefixLength\":0}");
}

TEST(InetAddress, MaskHelpers)
{
   EXPECT_EQ(BitsInMask(0xFFFFFF00u), 24);
   EXPECT_EQ(BitsInMask(0u), 0);
   EXPECT_EQ(BitsInMask(0xFFFFFFFFu), 32);
   EXPECT_EQ(BitsInMask(0x80000000u), 1);
   EXPECT_EQ(BitsInMask(0xFF00FF00u), 24);

   const uint8_t m20[] = {0xFF, 0xFF, 0xF0, 0x00};
   const uint8_t m8[] = {0xFF, 0x00, 0xFF, 0xFF};
   const uint8_t m16[] = {0xFF, 0x0F, 0xFF};  // 0x0F has no trailing zeros
   const uint8_t m9[] = {0xFF, 0x81};         // trailing zeros decide, as above
   EXPECT_EQ(BitsInMask(m20, sizeof(m20)), 20);
   EXPECT_EQ(BitsInMask(m8, sizeof(m8)), 8);
   EXPECT_EQ(BitsInMask(m16, sizeof(m16)), 16);
   EXPECT_EQ(BitsInMask(m9, sizeof(m9)), 16);
   EXPECT_EQ(BitsInMask(m20, 2), 16);
   EXPECT_EQ(BitsInMask(m20, 0), 0);
   EXPECT_EQ(BitsInMask(nullptr, 16), 0);
   uint8_t all[16];
   memset(all, 0xFF, sizeof(all));
   EXPECT_EQ(BitsInMask(all, sizeof(all)), 128);

   EXPECT_EQ(inet_addr_w(L"1.2.3.4"), htonl(0x01020304));
   EXPECT_EQ(inet_addr_w(L"not an address"), 0xFFFFFFFFu);
   EXPECT_EQ(inet_addr_w(nullptr), 0xFFFFFFFFu);
   EXPECT_EQ(inet_addr_w(std::wstring(300, L'1').c_str()), 0xFFFFFFFFu);
}

TEST(InetAddressList, KeepsDistinctAddressesWithFirstMaskBits)
{
   InetAddressList list;
   list.add(A("10.0.0.1", 8));
   list.add(A("10.0.0.1", 24));
   ASSERT_EQ(list.size(), 1);
   EXPECT_EQ(list.get(0).getMaskBits(), 8);
   list.replace(A("10.0.0.1", 24));
   EXPECT_EQ(list.get(0).getMaskBits(), 24);
   list.replace(A("10.0.0.2", 16));  // absent: nothing happens
   EXPECT_EQ(list.size(), 1);

   const InetAddress &found = list.findAddress(A("10.0.0.1", 32));
   EXPECT_EQ(&found, &list.get(0));
   EXPECT_EQ(found.getMaskBits(), 24);
   EXPECT_EQ(&list.findAddress(A("10.0.0.2")), &InetAddress::INVALID);
   EXPECT_TRUE(list.hasAddress(A("10.0.0.1", 1)));
   EXPECT_FALSE(list.hasAddress(A("::ffff:10.0.0.1")));

   list.add(A("::1"));
   list.add(A("10.0.0.2"));
   list.add(A("fe80::1"));
   list.remove(A("::1", 64));
   list.remove(A("192.168.0.1"));
   ASSERT_EQ(list.size(), 3);
   EXPECT_EQ(Text(list.get(1)), "10.0.0.2");
   EXPECT_EQ(Text(list.get(2)), "fe80::1");
   EXPECT_EQ(&list.get(3), &InetAddress::INVALID);
   EXPECT_EQ(&list.get(-1), &InetAddress::INVALID);
   EXPECT_EQ(list.getList().size(), 3);

   InetAddressList other;
   other.add(A("10.0.0.2"));
   other.add(A("10.0.0.3"));
   other.add(A("10.0.0.1", 30));
   list.add(other);
   ASSERT_EQ(list.size(), 4);
   EXPECT_EQ(Text(list.get(3)), "10.0.0.3");
   EXPECT_EQ(list.get(0).getMaskBits(), 24);
   list.add(list);
   EXPECT_EQ(list.size(), 4);

   list.clear();
   EXPECT_EQ(list.size(), 0);
   EXPECT_FALSE(list.hasAddress(A("10.0.0.1")));
}

TEST(InetAddressList, Finders)
{
   InetAddressList list;
   EXPECT_EQ(&list.getFirstUnicastAddress(), &InetAddress::INVALID);
   EXPECT_FALSE(list.hasValidUnicastAddress());
   EXPECT_FALSE(list.isLoopbackOnly());

   list.add(A("127.0.0.1"));
   list.add(A("::1"));
   EXPECT_TRUE(list.isLoopbackOnly());
   EXPECT_FALSE(list.hasValidUnicastAddress());

   list.add(A("fe80::1", 64));
   list.add(A("2001:db8::1", 64));
   list.add(A("169.254.0.9", 16));
   list.add(A("10.1.0.1", 16));
   list.add(A("192.168.1.5", 24));
   EXPECT_FALSE(list.isLoopbackOnly());
   EXPECT_EQ(Text(list.getFirstUnicastAddress()), "2001:db8::1");
   EXPECT_EQ(Text(list.getFirstUnicastAddressV4()), "10.1.0.1");
   EXPECT_TRUE(list.hasValidUnicastAddress());

   EXPECT_EQ(Text(list.findSameSubnetAddress(A("192.168.1.77"))), "192.168.1.5");
   EXPECT_EQ(Text(list.findSameSubnetAddress(A("10.1.255.1"))), "10.1.0.1");
   EXPECT_EQ(Text(list.findSameSubnetAddress(A("2001:db8::ffff"))), "2001:db8::1");
   EXPECT_EQ(&list.findSameSubnetAddress(A("10.2.0.1")), &InetAddress::INVALID);
   // The entry's mask bits decide, not the argument's.
   EXPECT_EQ(&list.findSameSubnetAddress(A("10.2.0.1", 8)), &InetAddress::INVALID);

   InetAddressList v6Only;
   v6Only.add(A("2001:db8::1"));
   EXPECT_EQ(&v6Only.getFirstUnicastAddressV4(), &InetAddress::INVALID);
}

/* Copies own their entries: changing or destroying one list never touches another. */
TEST(InetAddressList, CopiesShareNothing)
{
   InetAddressList *original = new InetAddressList();
   original->add(A("10.0.0.1", 8));
   original->add(A("::1"));

   InetAddressList copied(*original);
   InetAddressList assigned;
   assigned.add(A("192.168.0.1"));
   assigned = *original;
   ASSERT_EQ(copied.size(), 2);
   ASSERT_EQ(assigned.size(), 2);
   EXPECT_FALSE(assigned.hasAddress(A("192.168.0.1")));
   EXPECT_NE(&copied.get(0), &original->get(0));
   EXPECT_NE(&assigned.get(0), &original->get(0));

   original->replace(A("10.0.0.1", 30));
   original->add(A("10.0.0.2"));
   EXPECT_EQ(copied.get(0).getMaskBits(), 8);
   EXPECT_EQ(assigned.get(0).getMaskBits(), 8);
   EXPECT_EQ(copied.size(), 2);
   delete original;  // a shared array would be released twice from here on

   EXPECT_EQ(WithBits(copied.get(0)), "10.0.0.1/8");
   EXPECT_EQ(WithBits(assigned.get(1)), "::1/128");
   InetAddressList &alias = assigned;
   assigned = alias;  // self-assignment keeps the entries
   EXPECT_EQ(assigned.size(), 2);
   copied.add(A("10.0.0.3"));
   EXPECT_EQ(assigned.size(), 2);
}

TEST(InetAddressList, JsonForm)
{
   InetAddressList list;
   EXPECT_EQ(Json(list.toJson()), "[]");
   list.add(A("10.0.0.1", 8));
   list.add(A("::1"));
   std::string expected = "[{\"family\":" + std::to_string(AF_INET) +
                          ",\"address\":\"10.0.0.1\",\"prefixLength\":8},{\"family\":" + std::to_string(AF_INET6) +
                          ",\"address\":\"::1\",\"prefixLength\":128}]";
   EXPECT_EQ(Json(list.toJson()), expected);
}
