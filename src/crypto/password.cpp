/* Stored passwords: recognising the 44-character encrypted form, decrypting it with ICE
 * under a key made from the login name, passing other texts through, and creating the
 * form. Decrypted bytes are wiped from the stack once copied out. */
#include "crypto/wipe.h"

#include <qv_crypto.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

namespace {

using qv::crypto::SecureWipe;

/* Bytes of the encrypted block: the password, its terminator and zero padding. */
constexpr size_t PASSWORD_BLOCK = QV_PASSWORD_MAX_BYTES + 1;

/* Characters (and buffer) of the encrypted text with its terminator. */
constexpr size_t TEXT_BUFFER = QV_PASSWORD_TEXT_LENGTH + 1;

/* The base64 run of the form is followed by at most this many padding characters. */
constexpr size_t MAX_PADDING = 2;
constexpr char PADDING = '=';

/* Highest character value of the base64 alphabet's range (ASCII). */
constexpr unsigned MAX_ASCII = 0x7f;

static_assert(PASSWORD_BLOCK % ICE_BLOCK_SIZE == 0, "the password block is whole ICE blocks");

inline bool IsBase64Char(char ch)
{
   return isbase64(ch);
}

inline bool IsBase64Char(wchar_t ch)
{
   return static_cast<UCS4CHAR>(ch) <= MAX_ASCII && isbase64(static_cast<char>(ch));
}

/* Exactly 44 characters: a run of base64 characters of at least 42, then only padding.
 * Reads no further than the 45th character or the terminator. */
template <typename T> bool HasEncryptedForm(const T *text)
{
   size_t run = 0;
   while (run < QV_PASSWORD_TEXT_LENGTH && IsBase64Char(text[run]))
      run++;
   if (run < QV_PASSWORD_TEXT_LENGTH - MAX_PADDING)
      return false;
   for (size_t i = run; i < QV_PASSWORD_TEXT_LENGTH; i++)
      if (text[i] != T(PADDING))
         return false;
   return text[QV_PASSWORD_TEXT_LENGTH] == 0;
}

/* The ICE key: the first bytes of the MD5 digest of the login name (null: empty). */
void LoginKey(const char *login, uint8_t *key)
{
   MD5State state;
   MD5Init(&state);
   const uint8_t *p = reinterpret_cast<const uint8_t *>(login);
   for (size_t left = (login != nullptr) ? strlen(login) : 0; left > 0;)
   {
      int n = (left > size_t(INT_MAX)) ? INT_MAX : int(left);
      MD5Update(&state, p, n);
      p += n;
      left -= size_t(n);
   }
   uint8_t digest[MD5_DIGEST_SIZE];
   MD5Finish(&state, digest);
   memcpy(key, digest, ICE_KEY_SIZE);
}

/* Decodes and decrypts an 8-bit text of the encrypted form into the zero-terminated
 * password in block; false when it does not decode to exactly the block's bytes (the
 * form with two padding characters holds one byte less). */
bool DecryptForm(const char *login, const char *text, uint8_t *block)
{
   size_t stored = PASSWORD_BLOCK;
   base64_decode(text, QV_PASSWORD_TEXT_LENGTH, reinterpret_cast<char *>(block), &stored);
   if (stored != PASSWORD_BLOCK)
      return false;
   uint8_t key[ICE_KEY_SIZE];
   LoginKey(login, key);
   ICEDecryptData(block, int(PASSWORD_BLOCK), block, key);
   block[PASSWORD_BLOCK - 1] = 0;
   return true;
}

/* Encrypts the zero-padded password block and writes the terminated 44-character form. */
void EncryptForm(const char *login, uint8_t *block, char *text)
{
   uint8_t key[ICE_KEY_SIZE];
   LoginKey(login, key);
   ICEEncryptData(block, int(PASSWORD_BLOCK), block, key);
   base64_encode(reinterpret_cast<const char *>(block), PASSWORD_BLOCK, text, TEXT_BUFFER);
}

/* Copies text (null: empty), cut to size - 1 characters and terminated, into buffer; the
 * two may overlap. Nothing for size 0. */
template <typename T> void CopyTerminated(const T *text, T *buffer, size_t size)
{
   if (size == 0)
      return;
   size_t n = 0;
   if (text != nullptr)
      while (n < size - 1 && text[n] != 0)
         n++;
   if (n > 0)
      memmove(buffer, text, n * sizeof(T));
   buffer[n] = 0;
}

/* A login name as 8-bit text in the ANSI code page: the 8-bit text itself, or a converted
 * copy of a wide one. Null stays null (the empty name); ok() is false when the conversion
 * ran out of memory. */
class MbLogin
{
public:
   explicit MbLogin(const char *login) : m_copy(nullptr), m_text(login), m_ok(true) {}
   explicit MbLogin(const wchar_t *login)
       : m_copy((login != nullptr) ? MBStringFromWideString(login) : nullptr), m_text(m_copy),
         m_ok(login == nullptr || m_copy != nullptr)
   {}
   ~MbLogin() { free(m_copy); }
   MbLogin(const MbLogin &) = delete;
   MbLogin &operator=(const MbLogin &) = delete;

   bool ok() const { return m_ok; }
   const char *text() const { return m_text; }

private:
   char *m_copy;
   const char *m_text;
   bool m_ok;
};

/* Writes the decrypted 8-bit password into the caller's buffer, cut and terminated within
 * size units. */
void StorePassword(const char *password, char *buffer, size_t size)
{
   CopyTerminated(password, buffer, size);
}

void StorePassword(const char *password, wchar_t *buffer, size_t size)
{
   if (size == 0)
      return;
   int room = (size > size_t(INT_MAX)) ? INT_MAX : int(size);
   int n = mb_to_wchar(password, -1, buffer, room);
   buffer[(n >= 0 && n < room) ? n : room - 1] = 0;
}

/* Puts the password as 8-bit text into the zeroed block; false when it takes more than
 * QV_PASSWORD_MAX_BYTES bytes, or the code page cannot represent it (rather than
 * encrypting its '?' form). */
bool LoadPassword(const char *password, uint8_t *block)
{
   size_t length = strnlen(password, PASSWORD_BLOCK);
   if (length >= PASSWORD_BLOCK)
      return false;
   memcpy(block, password, length);
   return true;
}

bool LoadPassword(const wchar_t *password, uint8_t *block)
{
   char *text = reinterpret_cast<char *>(block);
   if (wchar_to_mb(password, -1, text, int(PASSWORD_BLOCK)) == 0)
      return false;
   wchar_t back[PASSWORD_BLOCK + 1];
   mb_to_wchar(text, -1, back, int(PASSWORD_BLOCK + 1));
   bool same = (wcscmp(back, password) == 0);
   SecureWipe(back, sizeof(back));
   return same;
}

template <typename T> bool DecryptPassword(const T *login, const T *encrypted, T *decrypted, size_t size)
{
   if (decrypted == nullptr)
      size = 0;
   if (encrypted != nullptr && HasEncryptedForm(encrypted))
   {
      // The form is ASCII, the same in every code page.
      char text[TEXT_BUFFER];
      for (size_t i = 0; i < TEXT_BUFFER; i++)
         text[i] = static_cast<char>(encrypted[i]);
      MbLogin mbLogin(login);
      uint8_t block[PASSWORD_BLOCK];
      if (mbLogin.ok() && DecryptForm(mbLogin.text(), text, block))
      {
         StorePassword(reinterpret_cast<const char *>(block), decrypted, size);
         SecureWipe(block, sizeof(block));
         return true;
      }
   }
   CopyTerminated(encrypted, decrypted, size);
   return false;
}

template <typename T> bool EncryptPassword(const T *login, const T *password, T *encrypted, size_t size)
{
   if (encrypted == nullptr)
      return false;
   uint8_t block[PASSWORD_BLOCK] = {};
   MbLogin mbLogin(login);
   bool ok = (password != nullptr && size >= TEXT_BUFFER && mbLogin.ok() && LoadPassword(password, block));
   if (ok)
   {
      char text[TEXT_BUFFER];
      EncryptForm(mbLogin.text(), block, text);
      for (size_t i = 0; i < TEXT_BUFFER; i++)
         encrypted[i] = static_cast<unsigned char>(text[i]);
   }
   else
   {
      CopyTerminated<T>(nullptr, encrypted, size);
   }
   SecureWipe(block, sizeof(block));
   return ok;
}

}  // namespace

QV_API bool DecryptPasswordA(const char *login, const char *encrypted, char *decrypted, size_t size)
{
   return DecryptPassword(login, encrypted, decrypted, size);
}

QV_API bool DecryptPasswordW(const wchar_t *login, const wchar_t *encrypted, wchar_t *decrypted, size_t size)
{
   return DecryptPassword(login, encrypted, decrypted, size);
}

QV_API bool EncryptPasswordA(const char *login, const char *password, char *encrypted, size_t size)
{
   return EncryptPassword(login, password, encrypted, size);
}

QV_API bool EncryptPasswordW(const wchar_t *login, const wchar_t *password, wchar_t *encrypted, size_t size)
{
   return EncryptPassword(login, password, encrypted, size);
}
