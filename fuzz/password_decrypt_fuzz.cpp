/* Fuzz target for the stored-password functions. The first byte gives the buffer size
 * (0 to 47) and the second a few switches; the rest is the login name up to the first
 * line feed and then the text. Both forms decrypt the text into a heap block of exactly
 * the buffer size, and again in place; the result must be terminated within the buffer,
 * a plain text must come back as its first size - 1 characters, and the two forms must
 * agree on whether the text was encrypted. Short texts are also encrypted and decrypted
 * back. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

volatile int g_sink;

/* Buffer sizes tried: small ones, 0 and 1 among them, up to the longest result. */
constexpr size_t SIZE_RANGE = 48;

/* Switches of the second byte. */
constexpr uint8_t SWITCH_ROUND_TRIP = 0x01;  // encrypt the text as a password first
constexpr uint8_t SWITCH_WIDE_HIGH = 0x02;   // widen bytes above 0x7F to values above 0xFF

/* Filler of the output blocks. */
constexpr uint8_t FILLER = 0x5A;

void Check(bool condition)
{
   if (!condition)
      abort();
}

template <typename T> size_t Length(const T *text, size_t limit)
{
   size_t n = 0;
   while (n < limit && text[n] != 0)
      n++;
   return n;
}

/* The result in buffer must be terminated within size units, and a plain text must come
 * back as its first size - 1 characters. */
template <typename T> void CheckResult(const T *buffer, size_t size, const std::basic_string<T> &text, bool encrypted)
{
   if (size == 0)
      return;
   size_t n = Length(buffer, size);
   Check(n < size);
   if (!encrypted)
      Check(n == std::min(text.size(), size - 1) && text.compare(0, n, buffer, n) == 0);
   g_sink = int(n);
}

/* Decrypts into a block of exactly size units and in place; both must agree. */
template <typename T, typename F>
bool DecryptChecked(F decrypt, const T *login, const std::basic_string<T> &text, size_t size)
{
   T *out = static_cast<T *>(malloc(size * sizeof(T)));
   if (size > 0)
      memset(out, FILLER, size * sizeof(T));
   bool encrypted = decrypt(login, text.c_str(), out, size);
   CheckResult(out, size, text, encrypted);
   free(out);

   size_t room = std::max(size, text.size() + 1);
   T *inPlace = static_cast<T *>(malloc(room * sizeof(T)));
   memcpy(inPlace, text.c_str(), (text.size() + 1) * sizeof(T));
   Check(decrypt(login, inPlace, inPlace, size) == encrypted);
   CheckResult(inPlace, size, text, encrypted);
   free(inPlace);
   return encrypted;
}

void RoundTrip(const std::string &login, const std::string &password, const std::wstring &wideLogin,
               const std::wstring &widePassword)
{
   char form[QV_PASSWORD_TEXT_LENGTH + 1];
   bool made = EncryptPasswordA(login.c_str(), password.c_str(), form, sizeof(form));
   Check(made == (password.size() <= QV_PASSWORD_MAX_BYTES));
   if (made)
   {
      char back[QV_PASSWORD_MAX_BYTES + 1];
      Check(DecryptPasswordA(login.c_str(), form, back, sizeof(back)));
      Check(password == back);
   }
   wchar_t wideForm[QV_PASSWORD_TEXT_LENGTH + 1];
   if (EncryptPasswordW(wideLogin.c_str(), widePassword.c_str(), wideForm, QV_PASSWORD_TEXT_LENGTH + 1))
   {
      wchar_t back[QV_PASSWORD_MAX_BYTES + 1];
      Check(DecryptPasswordW(wideLogin.c_str(), wideForm, back, QV_PASSWORD_MAX_BYTES + 1));
      Check(widePassword == back);
   }
}

std::wstring Widen(const std::string &bytes, bool high)
{
   std::wstring wide;
   for (unsigned char b : bytes)
      wide += wchar_t((high && b > 0x7f) ? b + 0x100 : b);
   return wide;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 2)
      return 0;
   size_t bufferSize = data[0] % SIZE_RANGE;
   uint8_t switches = data[1];
   std::string rest(reinterpret_cast<const char *>(data + 2), size - 2);
   rest = rest.substr(0, rest.find('\0'));  // the functions take terminated texts
   size_t split = rest.find('\n');
   std::string login = (split == std::string::npos) ? std::string() : rest.substr(0, split);
   std::string text = (split == std::string::npos) ? rest : rest.substr(split + 1);
   bool high = (switches & SWITCH_WIDE_HIGH) != 0;
   std::wstring wideLogin = Widen(login, high);
   std::wstring wideText = Widen(text, high);

   bool a = DecryptChecked<char>(DecryptPasswordA, login.c_str(), text, bufferSize);
   bool w = DecryptChecked<wchar_t>(DecryptPasswordW, wideLogin.c_str(), wideText, bufferSize);
   Check(a == w);
   if (switches & SWITCH_ROUND_TRIP)
      RoundTrip(login, text, wideLogin, wideText);
   return 0;
}
