/* ICE and stored passwords: the published level-1 test vector, round trips over many keys,
 * sizes and buffer overlaps, key sensitivity; recognition of the encrypted form, decryption
 * against a form built from the cipher, MD5 and base64 directly, and buffer handling. */
#include <qorvel.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encrypt(const Bytes &in, const uint8_t *key)
{
   Bytes out(in.size());
   ICEEncryptData(in.data(), int(in.size()), out.data(), key);
   return out;
}

Bytes Decrypt(const Bytes &in, const uint8_t *key)
{
   Bytes out(in.size());
   ICEDecryptData(in.data(), int(in.size()), out.data(), key);
   return out;
}

Bytes RandomBytes(std::mt19937 &rng, size_t n)
{
   Bytes b(n);
   for (uint8_t &x : b)
      x = uint8_t(rng());
   return b;
}

TEST(Ice, PublishedLevel1Vector)
{
   const uint8_t key[ICE_KEY_SIZE] = {0xde, 0xad, 0xbe, 0xef, 0x01, 0x23, 0x45, 0x67};
   const Bytes plain = {0xfe, 0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10};
   const Bytes cipher = {0x7d, 0x6e, 0xf1, 0xef, 0x30, 0xd4, 0x7a, 0x96};
   EXPECT_EQ(Encrypt(plain, key), cipher);
   EXPECT_EQ(Decrypt(cipher, key), plain);
}

TEST(Ice, RoundTripsBlockByBlockAndKeepsATrailingPartialBlock)
{
   std::mt19937 rng(1);
   for (int trial = 0; trial < 200; trial++)
   {
      Bytes key = RandomBytes(rng, ICE_KEY_SIZE);
      Bytes plain = RandomBytes(rng, rng() % 41);
      Bytes cipher = Encrypt(plain, key.data());
      EXPECT_EQ(Decrypt(cipher, key.data()), plain);
      size_t whole = plain.size() / ICE_BLOCK_SIZE * ICE_BLOCK_SIZE;
      for (size_t b = 0; b < whole; b += ICE_BLOCK_SIZE)
      {
         Bytes one(plain.begin() + b, plain.begin() + b + ICE_BLOCK_SIZE);
         EXPECT_EQ(Encrypt(one, key.data()), Bytes(cipher.begin() + b, cipher.begin() + b + ICE_BLOCK_SIZE));
         EXPECT_NE(one, Bytes(cipher.begin() + b, cipher.begin() + b + ICE_BLOCK_SIZE));
      }
      EXPECT_EQ(Bytes(cipher.begin() + whole, cipher.end()), Bytes(plain.begin() + whole, plain.end()));
   }
}

TEST(Ice, BuffersMayOverlapInAnyWay)
{
   std::mt19937 rng(2);
   Bytes key = RandomBytes(rng, ICE_KEY_SIZE);
   Bytes plain = RandomBytes(rng, 29);
   Bytes expected = Encrypt(plain, key.data());
   for (int shift = -9; shift <= 9; shift++)
   {
      Bytes area(plain.size() + 20, 0);
      uint8_t *in = area.data() + 10;
      std::copy(plain.begin(), plain.end(), in);
      ICEEncryptData(in, int(plain.size()), in + shift, key.data());
      EXPECT_EQ(Bytes(in + shift, in + shift + plain.size()), expected) << shift;
      ICEDecryptData(in + shift, int(plain.size()), in, key.data());
      EXPECT_EQ(Bytes(in, in + plain.size()), plain) << shift;
   }
}

TEST(Ice, EveryKeyBitChangesTheCiphertext)
{
   std::mt19937 rng(3);
   Bytes key = RandomBytes(rng, ICE_KEY_SIZE);
   Bytes plain = RandomBytes(rng, ICE_BLOCK_SIZE);
   Bytes cipher = Encrypt(plain, key.data());
   for (int bit = 0; bit < 8 * ICE_KEY_SIZE; bit++)
   {
      Bytes other = key;
      other[bit / 8] ^= uint8_t(1 << (bit % 8));
      EXPECT_NE(Encrypt(plain, other.data()), cipher) << bit;
      EXPECT_NE(Decrypt(cipher, other.data()), plain) << bit;
   }
}

TEST(Ice, NothingForEmptySizesOrNullPointers)
{
   const uint8_t key[ICE_KEY_SIZE] = {1, 2, 3, 4, 5, 6, 7, 8};
   uint8_t in[ICE_BLOCK_SIZE] = {9, 9, 9, 9, 9, 9, 9, 9};
   uint8_t out[ICE_BLOCK_SIZE] = {};
   ICEEncryptData(in, 0, out, key);
   ICEEncryptData(in, -8, out, key);
   ICEEncryptData(in, ICE_BLOCK_SIZE, out, nullptr);
   ICEEncryptData(nullptr, ICE_BLOCK_SIZE, out, key);
   ICEDecryptData(in, ICE_BLOCK_SIZE, nullptr, key);
   EXPECT_EQ(Bytes(out, out + ICE_BLOCK_SIZE), Bytes(ICE_BLOCK_SIZE, 0));
}

/* The encrypted form of password built from its parts: the zero-padded block encrypted
 * under the first bytes of MD5 of the login name, in base64. */
std::string MakeForm(const std::string &login, const std::string &password)
{
   uint8_t digest[MD5_DIGEST_SIZE];
   CalculateMD5Hash(reinterpret_cast<const uint8_t *>(login.data()), int(login.size()), digest);
   uint8_t block[QV_PASSWORD_MAX_BYTES + 1] = {};
   memcpy(block, password.data(), password.size());
   ICEEncryptData(block, sizeof(block), block, digest);
   char text[QV_PASSWORD_TEXT_LENGTH + 1];
   base64_encode(reinterpret_cast<const char *>(block), sizeof(block), text, sizeof(text));
   return text;
}

std::wstring Widen(const std::string &ascii)
{
   return std::wstring(ascii.begin(), ascii.end());
}

/* Both forms of decryption into a buffer of size characters followed by a guard that must
 * stay untouched. Returns the 8-bit result (the wide one must match it where it is ASCII)
 * and sets *decrypted to whether the text was taken as encrypted. */
std::string DecryptBoth(const std::string &login, const std::string &text, size_t size, bool *decrypted)
{
   std::vector<char> a(size + 1, '#');
   std::vector<wchar_t> w(size + 1, L'#');
   bool ra = DecryptPasswordA(login.c_str(), text.c_str(), a.data(), size);
   bool rw = DecryptPasswordW(Widen(login).c_str(), Widen(text).c_str(), w.data(), size);
   EXPECT_EQ(ra, rw) << text;
   EXPECT_EQ(a[size], '#') << "A form wrote past the buffer";
   EXPECT_EQ(w[size], L'#') << "W form wrote past the buffer";
   *decrypted = ra;
   if (size == 0)
   {
      EXPECT_EQ(a[0], '#');
      EXPECT_EQ(w[0], L'#');
      return "<untouched>";
   }
   std::string result = a.data();
   if (std::all_of(result.begin(), result.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
   {
      EXPECT_EQ(Widen(result), std::wstring(w.data())) << text;
   }
   return result;
}

TEST(Password, TextsNotInTheEncryptedFormPassUnchanged)
{
   const std::string form = MakeForm("admin", "secret");  // 43 characters and '='
   const std::string texts[] = {
       "",
       "secret",
       form.substr(0, 43),
       form.substr(0, 43) + "==",
       form.substr(0, 10) + "!" + form.substr(11),
       form.substr(0, 41) + "===",
       form.substr(0, 42) + "=A",
       MakeForm("admin", "").substr(0, 42) + "==",  // decodes to 31 bytes only
   };
   for (const std::string &text : texts)
   {
      bool decrypted = true;
      EXPECT_EQ(DecryptBoth("admin", text, 64, &decrypted), text);
      EXPECT_FALSE(decrypted) << text;
   }
   wchar_t wide[64];
   std::wstring outside = Widen(form);
   outside[5] = wchar_t(outside[5] + 0x100);  // the same low byte, outside ASCII
   EXPECT_FALSE(DecryptPasswordW(L"admin", outside.c_str(), wide, 64));
   EXPECT_EQ(std::wstring(wide), outside);
}

TEST(Password, DecryptsTheFormOfTheCipherMd5AndBase64)
{
   const std::string passwords[] = {"", "secret", "p@ss w0rd!", std::string(QV_PASSWORD_MAX_BYTES, 'x')};
   for (const std::string &password : passwords)
   {
      std::string form = MakeForm("operator", password);
      ASSERT_EQ(form.size(), size_t(QV_PASSWORD_TEXT_LENGTH));
      EXPECT_EQ(form.back(), '=');
      bool decrypted = false;
      EXPECT_EQ(DecryptBoth("operator", form, 64, &decrypted), password);
      EXPECT_TRUE(decrypted);
      // Without padding the text decodes to 33 bytes, of which the first 32 count.
      EXPECT_EQ(DecryptBoth("operator", form.substr(0, 43) + "A", 64, &decrypted), password);
      EXPECT_TRUE(decrypted);

      char made[QV_PASSWORD_TEXT_LENGTH + 1];
      EXPECT_TRUE(EncryptPasswordA("operator", password.c_str(), made, sizeof(made)));
      EXPECT_EQ(made, form);
   }
   bool decrypted = false;
   EXPECT_NE(DecryptBoth("other", MakeForm("operator", "secret"), 64, &decrypted), "secret");
   EXPECT_TRUE(decrypted);
}

TEST(Password, ResultIsCutAndTerminatedWithinTheBuffer)
{
   const std::string form = MakeForm("admin", "secret");
   for (size_t size : {0, 1, 2, 4, 6, 7})
   {
      bool decrypted = false;
      std::string cut = (size == 0) ? "<untouched>" : std::string("secret").substr(0, size - 1);
      EXPECT_EQ(DecryptBoth("admin", form, size, &decrypted), cut) << size;
      EXPECT_TRUE(decrypted);
      std::string plainCut = (size == 0) ? "<untouched>" : std::string("plain").substr(0, size - 1);
      EXPECT_EQ(DecryptBoth("admin", "plain", size, &decrypted), plainCut) << size;
      EXPECT_FALSE(decrypted);
   }
}

TEST(Password, SameOrOverlappingBuffersAndNullTexts)
{
   char buffer[64];
   strcpy(buffer, MakeForm("admin", "secret").c_str());
   EXPECT_TRUE(DecryptPasswordA("admin", buffer, buffer, sizeof(buffer)));
   EXPECT_STREQ(buffer, "secret");
   strcpy(buffer, "xplain");
   EXPECT_FALSE(DecryptPasswordA("admin", buffer + 1, buffer, sizeof(buffer)));
   EXPECT_STREQ(buffer, "plain");
   strcpy(buffer, "plain");
   EXPECT_FALSE(DecryptPasswordA("admin", buffer, buffer + 1, sizeof(buffer) - 1));
   EXPECT_STREQ(buffer, "pplain");
   EXPECT_FALSE(DecryptPasswordA("admin", buffer, buffer, 3));
   EXPECT_STREQ(buffer, "pp");

   EXPECT_FALSE(DecryptPasswordA("admin", nullptr, buffer, sizeof(buffer)));
   EXPECT_STREQ(buffer, "");
   wchar_t wide[64] = L"x";
   EXPECT_FALSE(DecryptPasswordW(L"admin", nullptr, wide, 64));
   EXPECT_STREQ(wide, L"");
   const std::string empty = MakeForm("", "secret");
   EXPECT_TRUE(DecryptPasswordA(nullptr, empty.c_str(), buffer, sizeof(buffer)));
   EXPECT_STREQ(buffer, "secret");
   EXPECT_TRUE(DecryptPasswordW(nullptr, Widen(empty).c_str(), wide, 64));
   EXPECT_STREQ(wide, L"secret");
   EXPECT_TRUE(DecryptPasswordA("", empty.c_str(), nullptr, 64));
   EXPECT_FALSE(DecryptPasswordW(L"", L"plain", nullptr, 64));
}

TEST(Password, EncryptionRoundTripsAndRefusesWhatCannotBeStored)
{
   // The multibyte code page of the C locale is UTF-8: 'ä' takes two bytes.
   const std::wstring fits = L"p\u00e4ss" + std::wstring(QV_PASSWORD_MAX_BYTES - 5, L'w');
   wchar_t form[QV_PASSWORD_TEXT_LENGTH + 1];
   ASSERT_TRUE(EncryptPasswordW(L"r\u00f6ot", fits.c_str(), form, QV_PASSWORD_TEXT_LENGTH + 1));
   EXPECT_EQ(wcslen(form), size_t(QV_PASSWORD_TEXT_LENGTH));
   wchar_t back[64];
   EXPECT_TRUE(DecryptPasswordW(L"r\u00f6ot", form, back, 64));
   EXPECT_EQ(std::wstring(back), fits);

   char narrow[64];
   EXPECT_FALSE(EncryptPasswordA("root", std::string(QV_PASSWORD_MAX_BYTES + 1, 'x').c_str(), narrow, 64));
   EXPECT_STREQ(narrow, "");
   EXPECT_FALSE(EncryptPasswordA("root", "secret", narrow, QV_PASSWORD_TEXT_LENGTH));
   EXPECT_STREQ(narrow, "");
   EXPECT_FALSE(EncryptPasswordA("root", nullptr, narrow, 64));
   EXPECT_FALSE(EncryptPasswordW(L"root", (fits + L"w").c_str(), form, 64));
   EXPECT_STREQ(form, L"");

   ASSERT_TRUE(SetDefaultCodepage("ISO-8859-1"));
   EXPECT_TRUE(EncryptPasswordW(L"root", L"\u00e4", form, 64));
   EXPECT_FALSE(EncryptPasswordW(L"root", L"\u20ac", form, 64));  // no euro sign in Latin-1
   SetDefaultCodepage("ACP");
}

}  // namespace
