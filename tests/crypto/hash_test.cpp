/* Hashes and checksums: published vectors on the portable and the accelerated paths, every
 * length and split point against each other and against zlib and OpenSSL, pattern and file
 * digests. */
#include <qorvel.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

const uint32_t ALL_ACCELERATION = HASH_ACCEL_CRC32 | HASH_ACCEL_SHA1 | HASH_ACCEL_SHA256;

std::string Hex(const uint8_t *bytes, size_t size)
{
   static const char DIGITS[] = "0123456789abcdef";
   std::string s;
   for (size_t i = 0; i < size; i++)
   {
      s += DIGITS[bytes[i] >> 4];
      s += DIGITS[bytes[i] & 15];
   }
   return s;
}

std::string HexCrc(uint32_t crc)
{
   char text[9];
   snprintf(text, sizeof(text), "%08x", crc);
   return text;
}

/* "crc32 md5 sha1 sha256" of data, each computed in one call. */
std::string OneShotDigests(const uint8_t *data, int size)
{
   uint8_t md5[MD5_DIGEST_SIZE], sha1[SHA1_DIGEST_SIZE], sha256[SHA256_DIGEST_SIZE];
   CalculateMD5Hash(data, size, md5);
   CalculateSHA1Hash(data, size, sha1);
   CalculateSHA256Hash(data, size, sha256);
   return HexCrc(CalculateCRC32(data, size, 0)) + " " + Hex(md5, sizeof(md5)) + " " + Hex(sha1, sizeof(sha1)) + " " +
          Hex(sha256, sizeof(sha256));
}

/* The same, fed in two pieces: the first split bytes, then the rest. */
std::string SplitDigests(const uint8_t *data, int size, int split)
{
   MD5State md5State;
   SHA1State sha1State;
   SHA256State sha256State;
   MD5Init(&md5State);
   SHA1Init(&sha1State);
   SHA256Init(&sha256State);
   uint32_t crc = 0;
   for (int piece = 0; piece < 2; piece++)
   {
      const uint8_t *p = data + (piece ? split : 0);
      int n = piece ? size - split : split;
      crc = CalculateCRC32(p, n, crc);
      MD5Update(&md5State, p, n);
      SHA1Update(&sha1State, p, n);
      SHA256Update(&sha256State, p, n);
   }
   uint8_t md5[MD5_DIGEST_SIZE], sha1[SHA1_DIGEST_SIZE], sha256[SHA256_DIGEST_SIZE];
   MD5Finish(&md5State, md5);
   SHA1Finish(&sha1State, sha1);
   SHA256Finish(&sha256State, sha256);
   return HexCrc(crc) + " " + Hex(md5, sizeof(md5)) + " " + Hex(sha1, sizeof(sha1)) + " " + Hex(sha256, sizeof(sha256));
}

/* The same from zlib and OpenSSL. */
std::string OracleDigests(const uint8_t *data, int size)
{
   std::string result = HexCrc(uint32_t(crc32(0, data, uInt(size))));
   for (const EVP_MD *md : {EVP_md5(), EVP_sha1(), EVP_sha256()})
   {
      uint8_t digest[EVP_MAX_MD_SIZE];
      unsigned int length = 0;
      EVP_Digest(data, size_t(size), digest, &length, md, nullptr);
      result += " " + Hex(digest, length);
   }
   return result;
}

std::vector<uint8_t> RandomBytes(size_t size, unsigned seed)
{
   std::mt19937 random(seed);
   std::vector<uint8_t> bytes(size);
   for (uint8_t &b : bytes)
      b = uint8_t(random());
   return bytes;
}

const uint8_t *Bytes(const std::string &s)
{
   return reinterpret_cast<const uint8_t *>(s.data());
}

/* Runs the calls of a scope on the portable path, or on the processor's instructions. */
class HashPathScope
{
public:
   explicit HashPathScope(bool portable) { CryptoForcePortableHashes(portable); }
   ~HashPathScope() { CryptoForcePortableHashes(false); }
};

/* Parameter: true for the portable path. */
class HashPaths : public ::testing::TestWithParam<bool>
{
protected:
   void SetUp() override
   {
      uint32_t available = CryptoGetHashAcceleration();
      if (!GetParam() && available != ALL_ACCELERATION)
         GTEST_SKIP() << "this processor lacks PCLMULQDQ/SSE4.1 or the SHA extensions (accelerations in use: 0x"
                      << std::hex << available << "), so the accelerated path is not tested";
      CryptoForcePortableHashes(GetParam());
   }
   void TearDown() override { CryptoForcePortableHashes(false); }
};

INSTANTIATE_TEST_SUITE_P(Hash, HashPaths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool> &info) {
                            return info.param ? "Portable" : "Accelerated";
                         });

TEST_P(HashPaths, PublishedVectors)
{
   EXPECT_EQ(CryptoGetHashAcceleration(), GetParam() ? 0u : ALL_ACCELERATION);
   struct Vector
   {
      std::string input;
      const char *digests;  // crc32 md5 sha1 sha256
   };
   const Vector vectors[] = {
       {"", "00000000 d41d8cd98f00b204e9800998ecf8427e da39a3ee5e6b4b0d3255bfef95601890afd80709 "
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
       {"abc", "352441c2 900150983cd24fb0d6963f7d28e17f72 a9993e364706816aba3e25717850c26c9cd0d89d "
               "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
       {"123456789", "cbf43926 25f9e794323b453885f5181f1b624d0b f7c3bc1d808e04732adf679965ccc34ca7ae3441 "
                     "15e2b0d3c33891ebb0f1ef609ec419420c20e320ce94c65fbc8c3312448eb225"},
       {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
        "171a3f5f 8215ef0796a20bcaaae116d3876c664a 84983e441c3bd26ebaae4aa1f95129e5e54670f1 "
        "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
       {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrs"
        "tnopqrstu",
        "191f3349 03dd8807a93175fb062dfb55dc7d359c a49b2446a02c645bf419f995b67091253a04a259 "
        "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
       {std::string(1000000, 'a'), "dc25bfbc 7707d6ae4e027c70eea2a935c2296f21 34aa973cd4c4daa4f61eeb2bdbad27316534016f "
                                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
   };
   for (const Vector &v : vectors)
   {
      int size = int(v.input.size());
      EXPECT_EQ(OneShotDigests(Bytes(v.input), size), v.digests) << "length " << size;
      EXPECT_EQ(SplitDigests(Bytes(v.input), size, size / 3), v.digests) << "length " << size;
   }
   EXPECT_EQ(CalculateCRC32(Bytes("56789"), 5, CalculateCRC32(Bytes("1234"), 4, 0)), 0xCBF43926u);
}

TEST_P(HashPaths, LargeUnalignedBuffersMatchOracle)
{
   /* Long enough for many folding and multi-block rounds, with odd tails. */
   std::vector<uint8_t> data = RandomBytes(100000 + 64, 7);
   for (size_t offset = 0; offset < 17; offset++)
   {
      int size = 100000 - int(offset) * 13;
      EXPECT_EQ(OneShotDigests(data.data() + offset, size), OracleDigests(data.data() + offset, size))
          << "offset " << offset;
   }
}

TEST_P(HashPaths, Crc32AroundTheWideFoldSizesMatchesZlib)
{
   /* Every length from below the first 256-byte round of the widest fold to past its fourth,
    * so that each way of splitting into rounds, 16-byte lanes and a byte tail is met. */
   std::vector<uint8_t> data = RandomBytes(1200 + 1, 5);
   for (int size = 200; size <= 1200; size++)
   {
      const uint8_t *p = data.data() + (size & 1);
      ASSERT_EQ(CalculateCRC32(p, size, 0x12345678u), uint32_t(crc32(0x12345678u, p, uInt(size)))) << "length " << size;
   }
}

TEST_P(HashPaths, PatternDigestsEqualDigestsOfTheExpandedMessage)
{
   std::vector<uint8_t> pattern = RandomBytes(5000, 3);
   struct Case
   {
      int patternSize, fullSize, hashedSize;
   };
   const Case cases[] = {{6, 64, 64},        {6, 65, 128}, {1, 1, 64}, {64, 640, 640}, {100, 5000, 5056},
                         {5000, 9000, 9024}, {7, 0, 0},    {7, -5, 0}, {0, 64, 0},     {-3, 64, 0}};
   for (const Case &c : cases)
   {
      std::vector<uint8_t> expanded(size_t(c.hashedSize));
      for (size_t i = 0; i < expanded.size(); i++)
         expanded[i] = pattern[i % size_t(c.patternSize)];
      uint8_t md5[MD5_DIGEST_SIZE], md5Expected[MD5_DIGEST_SIZE];
      uint8_t sha1[SHA1_DIGEST_SIZE], sha1Expected[SHA1_DIGEST_SIZE];
      MD5HashForPattern(pattern.data(), c.patternSize, c.fullSize, md5);
      SHA1HashForPattern(pattern.data(), c.patternSize, c.fullSize, sha1);
      CalculateMD5Hash(expanded.data(), c.hashedSize, md5Expected);
      CalculateSHA1Hash(expanded.data(), c.hashedSize, sha1Expected);
      EXPECT_EQ(Hex(md5, sizeof(md5)), Hex(md5Expected, sizeof(md5))) << c.patternSize << "/" << c.fullSize;
      EXPECT_EQ(Hex(sha1, sizeof(sha1)), Hex(sha1Expected, sizeof(sha1))) << c.patternSize << "/" << c.fullSize;
   }

   /* The SNMPv3 password-to-key digests of "maplesyrup" over one megabyte. */
   uint8_t md5[MD5_DIGEST_SIZE], sha1[SHA1_DIGEST_SIZE];
   MD5HashForPattern(Bytes("maplesyrup"), 10, 1048576, md5);
   SHA1HashForPattern(Bytes("maplesyrup"), 10, 1048576, sha1);
   EXPECT_EQ(Hex(md5, sizeof(md5)), "9faf3283884e92834ebc9847d8edd963");
   EXPECT_EQ(Hex(sha1, sizeof(sha1)), "9fb5cc0381497b3793528939ff788d5d79145211");
}

TEST(Hash, EveryLengthAndSplitAgreesAcrossPathsAndOracle)
{
   constexpr int MAX_LENGTH = 300;
   /* One spare byte in front, so every message also starts off its natural alignment. */
   std::vector<uint8_t> buffer = RandomBytes(MAX_LENGTH + 1, 11);
   const uint8_t *data = buffer.data() + 1;
   bool accelerated = CryptoGetHashAcceleration() == ALL_ACCELERATION;
   for (int size = 0; size <= MAX_LENGTH; size++)
   {
      std::string expected = OracleDigests(data, size);
      for (bool portable : {true, false})
      {
         if (!portable && !accelerated)
            continue;
         HashPathScope path(portable);
         ASSERT_EQ(OneShotDigests(data, size), expected) << "length " << size << (portable ? " portable" : "");
         for (int split = 0; split <= size; split++)
            ASSERT_EQ(SplitDigests(data, size, split), expected)
                << "length " << size << " split " << split << (portable ? " portable" : "");
      }
   }
   if (!accelerated)
      GTEST_SKIP() << "this processor lacks PCLMULQDQ/SSE4.1 or the SHA extensions: only the portable path was checked";
}

TEST(Hash, MissingDataAndNegativeSizesAddNothing)
{
   const std::string empty = OneShotDigests(nullptr, 0);
   EXPECT_EQ(OneShotDigests(nullptr, 10), empty);
   EXPECT_EQ(OneShotDigests(Bytes("abc"), -1), empty);
   EXPECT_EQ(CalculateCRC32(Bytes("abc"), -7, 0x1234u), 0x1234u);
   EXPECT_EQ(CalculateCRC32(nullptr, 3, 0x1234u), 0x1234u);
}

class HashFiles : public ::testing::Test
{
protected:
   std::filesystem::path m_dir;

   void SetUp() override
   {
      m_dir = std::filesystem::temp_directory_path() / ("qv_hash_test_" + std::to_string(std::random_device()()));
      std::filesystem::create_directories(m_dir);
   }
   void TearDown() override { std::filesystem::remove_all(m_dir); }

   std::wstring Write(const char *name, const std::vector<uint8_t> &content)
   {
      std::filesystem::path path = m_dir / std::filesystem::u8path(name);
      FILE *f = fopen(path.c_str(), "wb");
      EXPECT_NE(f, nullptr);
      if (f != nullptr)
      {
         if (!content.empty())
            fwrite(content.data(), 1, content.size(), f);
         fclose(f);
      }
      return Wide(path.string());
   }

   static std::wstring Wide(const std::string &utf8)
   {
      wchar_t *wide = WideStringFromUTF8String(utf8.c_str());
      std::wstring result(wide);
      free(wide);
      return result;
   }

   /* "crc32 md5 sha1 sha256" of a file, or "missing" when any of them fails. */
   static std::string FileDigests(const std::wstring &name)
   {
      uint32_t crc;
      uint8_t md5[MD5_DIGEST_SIZE], sha1[SHA1_DIGEST_SIZE], sha256[SHA256_DIGEST_SIZE];
      if (!CalculateFileCRC32(name.c_str(), &crc) || !CalculateFileMD5Hash(name.c_str(), md5) ||
          !CalculateFileSHA1Hash(name.c_str(), sha1) || !CalculateFileSHA256Hash(name.c_str(), sha256))
         return "missing";
      return HexCrc(crc) + " " + Hex(md5, sizeof(md5)) + " " + Hex(sha1, sizeof(sha1)) + " " +
             Hex(sha256, sizeof(sha256));
   }
};

TEST_F(HashFiles, FileDigestsEqualMemoryDigests)
{
   /* Several 4096-byte reads and a short last one; a name outside ASCII. */
   std::vector<uint8_t> content = RandomBytes(3 * 4096 + 1234, 5);
   EXPECT_EQ(FileDigests(Write("data\xc3\xa4.bin", content)), OneShotDigests(content.data(), int(content.size())));
   EXPECT_EQ(FileDigests(Write("empty.bin", {})), OneShotDigests(nullptr, 0));
}

TEST_F(HashFiles, MissingOrUnreadableFileFailsAndLeavesResultsUntouched)
{
   std::wstring missing = Wide((m_dir / "missing.bin").string());
   uint32_t crc = 0xDEADBEEF;
   uint8_t digest[SHA256_DIGEST_SIZE];
   memset(digest, 0xA5, sizeof(digest));
   EXPECT_FALSE(CalculateFileCRC32(missing.c_str(), &crc));
   EXPECT_FALSE(CalculateFileMD5Hash(missing.c_str(), digest));
   EXPECT_FALSE(CalculateFileSHA1Hash(missing.c_str(), digest));
   EXPECT_FALSE(CalculateFileSHA256Hash(missing.c_str(), digest));
   EXPECT_FALSE(CalculateFileSHA256Hash(nullptr, digest));
   /* A directory opens but cannot be read: a failure, not the digest of nothing. */
   std::wstring directory = Wide(m_dir.string());
   EXPECT_FALSE(CalculateFileCRC32(directory.c_str(), &crc));
   EXPECT_FALSE(CalculateFileMD5Hash(directory.c_str(), digest));
   EXPECT_EQ(crc, 0xDEADBEEFu);
   uint8_t untouched[SHA256_DIGEST_SIZE];
   memset(untouched, 0xA5, sizeof(untouched));
   EXPECT_EQ(memcmp(digest, untouched, sizeof(digest)), 0);
}

}  // namespace
