#include <qorvel.h>

#include <gtest/gtest.h>
#include <jansson.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <errno.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const wchar_t *const SAMPLE = L"00112233-4455-6677-8899-aabbccddeeff";
const unsigned char SAMPLE_BYTES[QV_UUID_LENGTH] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                                    0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

/* Filler of output arrays, to see that a failed parse leaves them untouched. */
constexpr unsigned char UNTOUCHED = 0xA5;

/* The text in a heap block of exactly its size, so that a read past the terminator is
 * caught by the address sanitizer. */
struct ExactText
{
   wchar_t *text;
   explicit ExactText(const std::wstring &s) : text(static_cast<wchar_t *>(malloc((s.size() + 1) * sizeof(wchar_t))))
   {
      wmemcpy(text, s.c_str(), s.size() + 1);
   }
   ~ExactText() { free(text); }
};

/* Result of _uuid_parse on text; out must stay untouched on failure. */
int Parse(const std::wstring &text, unsigned char *out)
{
   ExactText exact(text);
   memset(out, UNTOUCHED, QV_UUID_LENGTH);
   int rc = _uuid_parse(exact.text, out);
   if (rc != 0)
   {
      for (size_t i = 0; i < QV_UUID_LENGTH; i++)
         EXPECT_EQ(out[i], UNTOUCHED) << "byte " << i;
      EXPECT_TRUE(uuid::parse(exact.text).isNull());
   }
   return rc;
}

uuid FromText(const wchar_t *text)
{
   uuid id = uuid::parse(text);
   EXPECT_FALSE(id.isNull()) << text;
   return id;
}

TEST(Uuid, NullForms)
{
   unsigned char cleared[QV_UUID_LENGTH];
   memset(cleared, 0xFF, sizeof(cleared));
   _uuid_clear(cleared);
   EXPECT_TRUE(_uuid_is_null(cleared));
   EXPECT_TRUE(uuid().isNull());
   EXPECT_TRUE(uuid::NULL_UUID.isNull());
   EXPECT_EQ(uuid(cleared), uuid::NULL_UUID);

   // Any one byte set makes an identifier that is not null.
   for (size_t i = 0; i < QV_UUID_LENGTH; i++)
   {
      unsigned char bytes[QV_UUID_LENGTH] = {};
      bytes[i] = 0x01;
      EXPECT_FALSE(_uuid_is_null(bytes)) << i;
   }
}

TEST(Uuid, TextFormsAndRoundTrips)
{
   uuid sample(SAMPLE_BYTES);
   wchar_t wide[QV_UUID_TEXT_LENGTH + 1];
   char narrow[QV_UUID_TEXT_LENGTH + 1];
   EXPECT_STREQ(sample.toString(wide), SAMPLE);
   EXPECT_STREQ(sample.toStringA(narrow), "00112233-4455-6677-8899-aabbccddeeff");
   EXPECT_STREQ(sample.toString().getBuffer(), SAMPLE);
   EXPECT_EQ(memcmp(FromText(SAMPLE).getValue(), SAMPLE_BYTES, QV_UUID_LENGTH), 0);

   // Upper-case digits are read and printed back in lower case.
   EXPECT_STREQ(FromText(L"6BA7B810-9DAD-11D1-80B4-00C04FD430C8").toString(wide),
                L"6ba7b810-9dad-11d1-80b4-00c04fd430c8");

   // Generated identifiers survive the text form.
   for (int i = 0; i < 100; i++)
   {
      uuid id = uuid::generate();
      EXPECT_EQ(FromText(id.toString(wide)), id);
   }

   String s(L"id=");
   s.append(sample);
   s.append(L'.');
   EXPECT_STREQ(s.getBuffer(), L"id=00112233-4455-6677-8899-aabbccddeeff.");
   EXPECT_EQ(s.length(), 4u + QV_UUID_TEXT_LENGTH);

   json_t *json = sample.toJson();
   ASSERT_TRUE(json_is_string(json));
   EXPECT_STREQ(json_string_value(json), "00112233-4455-6677-8899-aabbccddeeff");
   json_decref(json);
}

TEST(Uuid, ParseRejectsMalformedTexts)
{
   const std::wstring valid = SAMPLE;
   const size_t dashes[] = {8, 13, 18, 23};
   std::vector<std::wstring> bad;

   // Every wrong length up to twice the valid one: cut, and extended by a digit or a dash.
   for (size_t n = 0; n < valid.size(); n++)
      bad.push_back(valid.substr(0, n));
   for (size_t n = valid.size() + 1; n <= 2 * valid.size(); n++)
   {
      bad.push_back(valid + std::wstring(n - valid.size(), L'0'));
      bad.push_back(valid + L"-" + std::wstring(n - valid.size() - 1, L'a'));
   }

   // A character that is no hexadecimal digit at each digit position; a digit or another
   // character in place of each dash; a dash at every other position.
   const wchar_t notDigits[] = {L'g', L'G', L'/', L':', L'@', L'`', L' ', L'-', 0x0661, 0xFF10, 0x10030};
   for (size_t pos = 0; pos < valid.size(); pos++)
   {
      bool isDash = std::find(std::begin(dashes), std::end(dashes), pos) != std::end(dashes);
      const std::vector<wchar_t> replacements = isDash
                                                    ? std::vector<wchar_t>{L'0', L'a', L'F', L'_', L' '}
                                                    : std::vector<wchar_t>(std::begin(notDigits), std::end(notDigits));
      for (wchar_t ch : replacements)
      {
         std::wstring text = valid;
         text[pos] = ch;
         bad.push_back(text);
      }
   }

   bad.push_back(L"{" + valid + L"}");
   bad.push_back(L" " + valid);
   bad.push_back(valid + L" ");
   bad.push_back(L"00112233445566778899aabbccddeeff");
   bad.push_back(L"0011223-34455-6677-8899-aabbccddeeff");
   bad.push_back(L"0x112233-4455-6677-8899-aabbccddeeff");
   bad.push_back(L"+0112233-4455-6677-8899-aabbccddeeff");

   unsigned char out[QV_UUID_LENGTH];
   for (const auto &text : bad)
   {
      std::string shown(text.begin(), text.end());
      EXPECT_EQ(Parse(text, out), -1) << shown;
   }
   EXPECT_EQ(_uuid_parse(nullptr, out), -1);
   EXPECT_TRUE(uuid::parse(nullptr).isNull());

   EXPECT_EQ(Parse(valid, out), 0);
   EXPECT_EQ(memcmp(out, SAMPLE_BYTES, QV_UUID_LENGTH), 0);
}

TEST(Uuid, OrderingIsUnsignedInStoredOrder)
{
   const struct
   {
      const wchar_t *a, *b;
      int expected;
   } cases[] = {
       {L"ffffffff-0000-0000-0000-000000000000", L"7fffffff-ffff-ffff-ffff-ffffffffffff", 1},
       {L"00000000-0000-0000-0000-000000000001", L"00000000-0000-0000-0000-000000000002", -1},
       {L"00000000-0000-0000-0000-0000000000ff", L"00000000-0000-0000-0000-000000000080", 1},
       {L"00000000-8000-0000-0000-000000000000", L"00000000-7fff-ffff-ffff-ffffffffffff", 1},
       {L"01000000-0000-0000-0000-000000000000", L"00ffffff-ffff-ffff-ffff-ffffffffffff", 1},
       {SAMPLE, L"00112233-4455-6677-8899-AABBCCDDEEFF", 0},
   };
   for (const auto &c : cases)
   {
      uuid a = FromText(c.a), b = FromText(c.b);
      EXPECT_EQ(a.compare(b), c.expected) << c.a;
      EXPECT_EQ(b.compare(a), -c.expected) << c.a;
      EXPECT_EQ(_uuid_compare(a.getValue(), b.getValue()), c.expected) << c.a;
      EXPECT_EQ(a.equals(b), c.expected == 0) << c.a;
      EXPECT_EQ(a < b, c.expected < 0) << c.a;
   }
}

/* Random version 4 with the RFC variant, laid out as the GUID structure lies in memory. */
void ExpectVersionAndVariant(const uuid &id)
{
   EXPECT_EQ(id.getValue()[7] >> 4, 4);
   EXPECT_EQ(id.getValue()[8] >> 6, 2);
}

TEST(Uuid, GeneratedIdsAreRandomVersion4AndUnique)
{
   constexpr int BATCH = 2000;
   std::set<std::vector<unsigned char>> seen;
   unsigned char everSet[QV_UUID_LENGTH] = {}, everClear[QV_UUID_LENGTH] = {};
   for (int i = 0; i < BATCH; i++)
   {
      uuid id = uuid::generate();
      ExpectVersionAndVariant(id);
      const unsigned char *v = id.getValue();
      seen.insert(std::vector<unsigned char>(v, v + QV_UUID_LENGTH));
      for (size_t b = 0; b < QV_UUID_LENGTH; b++)
      {
         everSet[b] |= v[b];
         everClear[b] |= static_cast<unsigned char>(~v[b]);
      }
   }
   EXPECT_EQ(seen.size(), static_cast<size_t>(BATCH));

   // Every bit but the six fixed ones takes both values across the batch.
   for (size_t b = 0; b < QV_UUID_LENGTH; b++)
   {
      unsigned char fixed = (b == 7) ? 0xF0 : (b == 8) ? 0xC0 : 0x00;
      EXPECT_EQ(everSet[b] & everClear[b], static_cast<unsigned char>(~fixed)) << "byte " << b;
   }

   wchar_t text[QV_UUID_TEXT_LENGTH + 1];
   uuid::generate().toString(text);
   EXPECT_EQ(text[16], L'4');
   EXPECT_NE(wcschr(L"89ab", text[19]), nullptr);
}

/* Runs generate in a child process in which getrandom fails as on a kernel without it and,
 * with noFiles, no file can be opened; the child's exit code says what it got: 0 a random
 * version 4 id, 1 the null id, 2 anything else. */
int GenerateWithoutGetrandom(bool noFiles)
{
   pid_t pid = fork();
   if (pid == 0)
   {
      struct sock_filter filter[] = {
          BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
          BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 1),
          BPF_STMT(BPF_RET | BPF_K, noFiles ? (SECCOMP_RET_ERRNO | EACCES) : SECCOMP_RET_ALLOW),
          BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      };
      struct sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
      if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
         _exit(3);
      unsigned char a[QV_UUID_LENGTH], b[QV_UUID_LENGTH];
      _uuid_generate(a);
      _uuid_generate(b);
      if (_uuid_is_null(a) && _uuid_is_null(b))
         _exit(1);
      _exit((a[7] >> 4 == 4 && a[8] >> 6 == 2 && _uuid_compare(a, b) != 0) ? 0 : 2);
   }
   int status = 0;
   EXPECT_EQ(waitpid(pid, &status, 0), pid);
   return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Uuid, GenerateFallsBackToTheRandomDeviceAndNeverFakesAnId)
{
#if defined(__x86_64__)
   EXPECT_EQ(GenerateWithoutGetrandom(false), 0);
   EXPECT_EQ(GenerateWithoutGetrandom(true), 1);
#else
   GTEST_SKIP() << "system call filter written for x86-64";
#endif
}

}  // namespace
