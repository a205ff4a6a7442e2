#include <qorvel.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring Name(uint16_t code)
{
   wchar_t buffer[QVCP_CODE_NAME_BUFFER_SIZE];
   EXPECT_EQ(QVCPMessageCodeName(code, buffer), buffer);
   return buffer;
}

/* Resolver N names the codes from FirstCode<N> to FirstCode<N> + 15 as "R<N>:<code>" and
 * logs every call. */
std::vector<std::pair<int, uint16_t>> g_calls;

template <int N> constexpr uint16_t FirstCode = 0x0200 + 0x10 * N;

template <int N> bool Resolver(uint16_t code, wchar_t *buffer)
{
   g_calls.emplace_back(N, code);
   if (code < FirstCode<N> || code >= FirstCode<N> + 0x10)
      return false;
   qv_snwprintf(buffer, QVCP_CODE_NAME_BUFFER_SIZE, L"R%d:%04X", N, code);
   return true;
}

/* Names codes outside the table by naming a table code and a code no one names. */
bool NestingResolver(uint16_t code, wchar_t *buffer)
{
   if (code != 0x0400)
      return false;
   wchar_t inner[QVCP_CODE_NAME_BUFFER_SIZE], unknown[QVCP_CODE_NAME_BUFFER_SIZE];
   qv_snwprintf(buffer, QVCP_CODE_NAME_BUFFER_SIZE, L"%s/%s", QVCPMessageCodeName(CMD_LOGIN, inner),
                QVCPMessageCodeName(0x0401, unknown));
   return true;
}

class MessageCodes : public ::testing::Test
{
protected:
   void SetUp() override { g_calls.clear(); }
   void TearDown() override
   {
      QVCPUnregisterMessageNameResolver(Resolver<0>);
      QVCPUnregisterMessageNameResolver(Resolver<1>);
      QVCPUnregisterMessageNameResolver(Resolver<2>);
      QVCPUnregisterMessageNameResolver(NestingResolver);
   }
};

TEST_F(MessageCodes, TableNamesAndFallbackAtTheBoundaries)
{
   const struct
   {
      uint16_t code;
      const wchar_t *name;
   } cases[] = {
       {0x0000, L"CMD_0x0000"},
       {0x0001, L"CMD_LOGIN"},
       {0x000B, L"<unused>0x000B"},
       {0x0070, L"0x0070"},
       {0x009F, L"<unused>0x009F"},
       {0x016F, L"0x016F"},
       {0x0174, L"CMD_PROXY_MESSAGE"},
       {0x0175, L"CMD_0x0175"},
       {0xABCD, L"CMD_0xABCD"},
       {0xFFFF, L"CMD_0xFFFF"},
       {CMD_FILE_DATA, L"CMD_FILE_DATA"},
       {CMD_ABORT_FILE_TRANSFER, L"CMD_ABORT_FILE_TRANSFER"},
       {CMD_REQUEST_SESSION_KEY, L"CMD_REQUEST_SESSION_KEY"},
       {CMD_ENCRYPTED_MESSAGE, L"CMD_ENCRYPTED_MESSAGE"},
       {CMD_SESSION_KEY, L"CMD_SESSION_KEY"},
       {CMD_GET_QVCP_CAPS, L"CMD_GET_QVCP_CAPS"},
       {CMD_QVCP_CAPS, L"CMD_QVCP_CAPS"},
   };
   for (const auto &c : cases)
      EXPECT_EQ(Name(c.code), c.name) << std::hex << c.code;

   // The codes the protocol machinery relies on.
   EXPECT_EQ(CMD_FILE_DATA, 0x0069);
   EXPECT_EQ(CMD_ABORT_FILE_TRANSFER, 0x0072);
   EXPECT_EQ(CMD_REQUEST_SESSION_KEY, 0x0082);
   EXPECT_EQ(CMD_ENCRYPTED_MESSAGE, 0x0083);
   EXPECT_EQ(CMD_SESSION_KEY, 0x0084);
   EXPECT_EQ(CMD_GET_QVCP_CAPS, 0x00B6);
   EXPECT_EQ(CMD_QVCP_CAPS, 0x00B7);
}

TEST_F(MessageCodes, ResolversAreAskedInOrderOnlyOutsideTheTable)
{
   QVCPRegisterMessageNameResolver(Resolver<0>);
   QVCPRegisterMessageNameResolver(Resolver<1>);

   for (uint32_t code = QVCP_FIRST_NAMED_CODE; code <= QVCP_LAST_NAMED_CODE; code++)
      Name(static_cast<uint16_t>(code));
   EXPECT_TRUE(g_calls.empty());

   EXPECT_EQ(Name(FirstCode<0>), L"R0:0200");
   EXPECT_EQ(Name(FirstCode<1> + 3), L"R1:0213");
   EXPECT_EQ(Name(0x0000), L"CMD_0x0000");
   EXPECT_EQ(Name(0x0175), L"CMD_0x0175");
   const std::vector<std::pair<int, uint16_t>> expected = {{0, 0x0200}, {0, 0x0213}, {1, 0x0213}, {0, 0x0000},
                                                           {1, 0x0000}, {0, 0x0175}, {1, 0x0175}};
   EXPECT_EQ(g_calls, expected);
}

TEST_F(MessageCodes, RegisteringTwiceAndUnregistering)
{
   QVCPRegisterMessageNameResolver(Resolver<0>);
   QVCPRegisterMessageNameResolver(Resolver<1>);
   QVCPRegisterMessageNameResolver(Resolver<0>);  // already there: stays first, once
   QVCPRegisterMessageNameResolver(nullptr);
   QVCPUnregisterMessageNameResolver(Resolver<2>);  // never registered
   Name(0x0300);
   const std::vector<std::pair<int, uint16_t>> once = {{0, 0x0300}, {1, 0x0300}};
   EXPECT_EQ(g_calls, once);

   // One unregistration removes the single entry; the other resolver stays.
   QVCPUnregisterMessageNameResolver(Resolver<0>);
   EXPECT_EQ(Name(FirstCode<0>), L"CMD_0x0200");
   EXPECT_EQ(Name(FirstCode<1>), L"R1:0210");

   // Registered again, it goes to the end.
   QVCPRegisterMessageNameResolver(Resolver<0>);
   g_calls.clear();
   Name(0x0300);
   const std::vector<std::pair<int, uint16_t>> reordered = {{1, 0x0300}, {0, 0x0300}};
   EXPECT_EQ(g_calls, reordered);
}

TEST_F(MessageCodes, ResolverMayNameCodesItself)
{
   QVCPRegisterMessageNameResolver(NestingResolver);
   EXPECT_EQ(Name(0x0400), L"CMD_LOGIN/CMD_0x0401");
}

/* Lookups on several threads while another registers and unregisters resolvers: each
 * lookup gives the resolver's name or the fallback, never anything else. */
bool FixedResolver(uint16_t code, wchar_t *buffer)
{
   wcslcpy(buffer, L"FIXED", QVCP_CODE_NAME_BUFFER_SIZE);
   return true;
}

TEST(MessageCodesConcurrency, LookupsWhileRegistering)
{
   constexpr int LOOKUP_THREADS = 3;
   constexpr int LOOKUPS = 2000;
   constexpr int REGISTRATIONS = 2000;
   std::atomic<int> ready{0};
   std::atomic<int> wrong{0};

   std::vector<std::thread> lookups;
   for (int t = 0; t < LOOKUP_THREADS; t++)
   {
      lookups.emplace_back([&] {
         ready.fetch_add(1);
         while (ready.load() <= LOOKUP_THREADS)
            std::this_thread::yield();
         for (int i = 0; i < LOOKUPS; i++)
         {
            std::wstring name = Name(0x0500);
            if (name != L"FIXED" && name != L"CMD_0x0500")
               wrong.fetch_add(1);
            if (Name(CMD_LOGIN) != L"CMD_LOGIN")
               wrong.fetch_add(1);
         }
      });
   }
   while (ready.load() < LOOKUP_THREADS)
      std::this_thread::yield();
   ready.fetch_add(1);  // all lookups start together with the registrations
   for (int i = 0; i < REGISTRATIONS; i++)
   {
      QVCPRegisterMessageNameResolver(FixedResolver);
      QVCPUnregisterMessageNameResolver(FixedResolver);
   }
   QVCPRegisterMessageNameResolver(FixedResolver);
   for (auto &t : lookups)
      t.join();

   EXPECT_EQ(wrong.load(), 0);
   EXPECT_EQ(Name(0x0500), L"FIXED");
   QVCPUnregisterMessageNameResolver(FixedResolver);
   EXPECT_EQ(Name(0x0500), L"CMD_0x0500");
}

}  // namespace
