/* SocketConnection and TelnetConnection against a scripted server thread on loopback:
 * prompts split across reads, kept text, Telnet negotiation, long output, a peer that
 * closes, and a peer that floods without the awaited text. */
#include "net/net_namespace.h"
#include "support/thread_test_util.h"

#include "net/telnet_filter.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <type_traits>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* A time-out that must expire in the tests, and the least time it may take to do so. */
constexpr uint32_t SHORT_WAIT_MS = 200;

/* Sends all of text on s; false when the peer is gone. */
bool SendText(int s, const std::string &text)
{
   size_t done = 0;
   while (done < text.size())
   {
      ssize_t n = send(s, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
         continue;
      if (n <= 0)
         return false;
      done += static_cast<size_t>(n);
   }
   return true;
}

/* Receives exactly size bytes from s (waiting up to GENEROUS for each piece); what came. */
std::string ReceiveText(int s, size_t size)
{
   std::string text;
   while (text.size() < size)
   {
      struct pollfd entry = {s, POLLIN, 0};
      if (poll(&entry, 1, GENEROUS_MS) <= 0)
         break;
      char chunk[4096];
      size_t want = std::min(sizeof(chunk), size - text.size());
      ssize_t n = recv(s, chunk, want, 0);
      if (n <= 0)
         break;
      text.append(chunk, static_cast<size_t>(n));
   }
   return text;
}

std::string Bytes(std::initializer_list<int> values)
{
   std::string text;
   for (int v : values)
      text.push_back(static_cast<char>(v));
   return text;
}

/* A listening socket on 127.0.0.1 and the server thread that accepts one connection and
 * runs the script on it; the connection is closed when the script returns. */
class ScriptedServer
{
   int m_listener = -1;
   uint16_t m_port = 0;
   std::function<void(int)> m_script;
   std::unique_ptr<Worker> m_worker;

public:
   explicit ScriptedServer(std::function<void(int)> script) : m_script(std::move(script))
   {
      m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa = {};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t length = sizeof(sa);
      EXPECT_EQ(0, bind(m_listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)));
      EXPECT_EQ(0, listen(m_listener, 4));
      EXPECT_EQ(0, getsockname(m_listener, reinterpret_cast<sockaddr *>(&sa), &length));
      m_port = ntohs(sa.sin_port);
      m_worker.reset(new Worker([this] {
         struct pollfd entry = {m_listener, POLLIN, 0};
         if (poll(&entry, 1, GENEROUS_MS) <= 0)
            return;
         int s = accept(m_listener, nullptr, nullptr);
         if (s < 0)
            return;
         int one = 1;
         setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
         m_script(s);
         close(s);
      }));
   }
   ~ScriptedServer()
   {
      m_worker.reset();
      close(m_listener);
   }
   uint16_t port() const { return m_port; }
   /* Waits for the script to end. */
   void join() { m_worker->join(); }
   /* Whether a connection is waiting to be accepted (nothing connected, if the script has
    * not run yet). */
   bool pending()
   {
      struct pollfd entry = {m_listener, POLLIN, 0};
      return poll(&entry, 1, 0) > 0;
   }
};

const InetAddress LOOPBACK = InetAddress::parse("127.0.0.1");

/* A connection whose reads can be watched: each read's result is recorded and, when set,
 * afterRead runs after it. */
template <typename Base> class Watched : public Base
{
public:
   std::vector<int> results;
   std::function<void(int)> afterRead;

   /* Connects as the class's own factory does. */
   bool open(uint16_t port)
   {
      if constexpr (std::is_base_of<TelnetConnection, Base>::value)
         return this->connect(LOOPBACK, port, GENEROUS_MS);
      else
         return this->connectTCP(LOOPBACK, port, GENEROUS_MS);
   }

   int read(char *buffer, int size, uint32_t timeout) override
   {
      int rc = Base::read(buffer, size, timeout);
      results.push_back(rc);
      if (afterRead)
         afterRead(rc);
      return rc;
   }
};

}  // namespace

TEST(SocketConnection, ConnectByNameRefusesAddressesThatAreNotValidUnicast)
{
   ScriptedServer server([](int) {});
   for (const wchar_t *host : {L"127.0.0.1", L"localhost", L"::1", L"169.254.1.1", L"224.0.0.1", L"0.0.0.0", L""})
   {
      EXPECT_EQ(SocketConnection::createTCPConnection(host, server.port(), SHORT_WAIT_MS), nullptr) << host;
      EXPECT_EQ(TelnetConnection::createConnection(host, server.port(), SHORT_WAIT_MS), nullptr) << host;
   }
   EXPECT_FALSE(server.pending());
   EXPECT_EQ(SocketConnection::createTCPConnection(nullptr, server.port(), SHORT_WAIT_MS), nullptr);
   // By address there is no such check.
   Watched<SocketConnection> c;
   EXPECT_TRUE(c.open(server.port()));
}

TEST(SocketConnection, ConnectByNameReachesAValidUnicastAddress)
{
   // 198.18.0.1 is valid unicast; it is put on loopback in a namespace of the test's own.
   auto body = [] {
      std::string text;
      int listener = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in sa = {};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(0xC6120001);
      socklen_t length = sizeof(sa);
      if (bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) != 0 || listen(listener, 4) != 0 ||
          getsockname(listener, reinterpret_cast<sockaddr *>(&sa), &length) != 0)
         return std::string("bind failed");
      uint16_t port = ntohs(sa.sin_port);
      // The connections complete in the backlog; they are accepted afterwards.
      SocketConnection *plain = SocketConnection::createTCPConnection(L"198.18.0.1", port, 0);
      TelnetConnection *telnet = TelnetConnection::createConnection(L"198.18.0.1", port, 0);
      if (plain == nullptr || telnet == nullptr)
         return std::string("not connected");
      plain->writeLine("ls");
      for (int i = 0; i < 2; i++)
      {
         int s = accept(listener, nullptr, nullptr);
         text += ReceiveText(s, (i == 0) ? 4 : 3) + "|";
         close(s);
      }
      delete plain;
      delete telnet;
      close(listener);
      return text;
   };
   NamespaceRun run = RunInNetworkNamespace("ip link set lo up\nip addr add 198.18.0.1/32 dev lo\n", false, body);
   if (run.state == NamespaceRun::CANNOT_MAKE)
      GTEST_SKIP() << "network namespaces cannot be made here: " << run.why;
   ASSERT_EQ(run.state, NamespaceRun::DONE) << run.why;
   EXPECT_EQ(run.output, "ls\r\n|" + Bytes({255, 252, 1}) + "|");
}

TEST(SocketConnection, WritesTextAndLines)
{
   std::string received;
   ScriptedServer server([&](int s) { received = ReceiveText(s, 4 + 2 + 5 + 1400); });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   EXPECT_TRUE(c.writeLine("ls"));
   // An empty line is a bare line end, an ordinary answer in a dialogue.
   EXPECT_TRUE(c.writeLine(""));
   EXPECT_EQ(c.write("hello", 5), 5);
   EXPECT_EQ(c.write("", 0), 0);
   EXPECT_EQ(c.write(nullptr, -1), -1);
   EXPECT_FALSE(c.writeLine(nullptr));
   std::string longLine(1398, 'L');
   EXPECT_TRUE(c.writeLine(longLine.c_str()));
   server.join();
   EXPECT_EQ(received, "ls\r\n\r\nhello" + longLine + "\r\n");
}

TEST(SocketConnection, WaitForTextFindsAPromptSplitAcrossReadsAndKeepsWhatFollows)
{
   Flag firstRead, done;
   ScriptedServer server([&](int s) {
      SendText(s, "log");
      // The rest goes only after the connection has read the first part on its own.
      firstRead.wait();
      SendText(s, std::string("in: \0rest of it>", 16));
      done.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   c.afterRead = [&](int rc) {
      if (rc > 0)
         firstRead.set();
   };
   ASSERT_TRUE(c.waitForText("login:", GENEROUS_MS));
   std::vector<int> got;
   for (int rc : c.results)
   {
      if (rc > 0)
         got.push_back(rc);
   }
   ASSERT_GE(got.size(), 2u);
   EXPECT_EQ(got[0], 3);
   // What followed the prompt is kept for the next call (the zero byte too); nothing new
   // has to arrive for it.
   c.afterRead = nullptr;
   EXPECT_TRUE(c.waitForText(" ", 0));
   EXPECT_TRUE(c.waitForText("rest", 0));
   EXPECT_TRUE(c.waitForText(" of it>", 0));
   EXPECT_TRUE(c.waitForText("", 0));
   // Kept text is not there any more for a text that follows nothing.
   EXPECT_FALSE(c.waitForText("log", SHORT_WAIT_MS));
   done.set();
}

TEST(SocketConnection, WaitForTextEndsOnTimeOutAndAtOnceOnClose)
{
   Flag timedOut;
   ScriptedServer server([&](int s) {
      SendText(s, "no prompt here");
      timedOut.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   Clock::time_point start = Clock::now();
   EXPECT_FALSE(c.waitForText("prompt>", SHORT_WAIT_MS));
   EXPECT_GE(MsSince(start), SHORT_WAIT_MS - 10);
   timedOut.set();
   server.join();
   // The server closed: no wait for the (long) time-out, and no loop on a would-block
   // left over from earlier calls.
   errno = EWOULDBLOCK;
   start = Clock::now();
   EXPECT_FALSE(c.waitForText("prompt>", GENEROUS_MS * 10));
   EXPECT_LT(MsSince(start), GENEROUS.count());
   EXPECT_EQ(c.results.back(), 0);
}

namespace {

/* A connection whose read says "closed" while the last error says "would block", the way
 * the error of an earlier call can linger. */
class ClosingRead : public SocketConnection
{
public:
   int calls = 0;
   bool open(uint16_t port) { return connectTCP(LOOPBACK, port, GENEROUS_MS); }
   int read(char *, int, uint32_t) override
   {
      // A wait that took the lingering error for "nothing yet" would call again; the
      // fourth call fails for real, so that such a wait still ends.
      if (++calls > 3)
      {
         errno = EBADF;
         return -1;
      }
      errno = EWOULDBLOCK;
      return 0;
   }
};

}  // namespace

TEST(SocketConnection, WaitForTextTakesAClosedReadAsTheEndWhateverTheLastError)
{
   Flag done;
   ScriptedServer server([&](int s) {
      SendText(s, "x");
      done.wait();
   });
   ClosingRead c;
   ASSERT_TRUE(c.open(server.port()));
   EXPECT_FALSE(c.waitForText("prompt>", GENEROUS_MS));
   EXPECT_EQ(c.calls, 1);
   done.set();
}

TEST(SocketConnection, WaitForTextFindsThePromptAfterLongOutput)
{
   std::string output;
   for (int i = 0; output.size() < 100000; i++)
      output += "line " + std::to_string(i) + " of the configuration\r\n";
   Flag done;
   ScriptedServer server([&](int s) {
      SendText(s, output + "router# after");
      done.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   EXPECT_TRUE(c.waitForText("router# ", GENEROUS_MS));
   // Only what followed the prompt is left.
   EXPECT_FALSE(c.waitForText("configuration", SHORT_WAIT_MS));
   done.set();
}

TEST(SocketConnection, AFloodWithoutTheTextEndsByTheTimeOutInTheFixedBuffer)
{
   constexpr size_t FLOOD = 10 * 1024 * 1024;
   Flag finished;
   bool sent = false;
   ScriptedServer server([&](int s) {
      std::string block(64 * 1024, 'x');
      bool ok = true;
      for (size_t done = 0; ok && done < FLOOD; done += block.size())
         ok = SendText(s, block);
      sent = ok;
      finished.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   EXPECT_FALSE(c.waitForText("PROMPT>", SHORT_WAIT_MS * 5));
   // It ended because nothing more came, after reading everything, in reads no larger
   // than the text buffer.
   EXPECT_FALSE(c.canRead(0));
   long long total = 0;
   for (int rc : c.results)
   {
      EXPECT_LT(rc, SocketConnection::TEXT_BUFFER_SIZE);
      total += (rc > 0) ? rc : 0;
   }
   EXPECT_EQ(total, static_cast<long long>(FLOOD));
   finished.set();
   server.join();
   EXPECT_TRUE(sent);
}

TEST(SocketConnection, WaitForTextFindsTheLongestTextThatFitsAndRefusesLongerOnes)
{
   // The longest text leaves one byte of the buffer for new data beside its kept start.
   std::string longest;
   for (int i = 0; i < SocketConnection::TEXT_BUFFER_SIZE - 1; i++)
      longest.push_back(static_cast<char>('a' + i % 26));
   Flag done;
   ScriptedServer server([&](int s) {
      SendText(s, std::string(100, '-') + longest + "after");
      done.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   // Texts that could never be found end at once, without reading what is waiting.
   ASSERT_TRUE(c.canRead(GENEROUS_MS));
   EXPECT_FALSE(c.waitForText(nullptr, GENEROUS_MS));
   EXPECT_FALSE(c.waitForText((longest + "z").c_str(), GENEROUS_MS));
   EXPECT_TRUE(c.results.empty());
   EXPECT_TRUE(c.waitForText(longest.c_str(), GENEROUS_MS));
   EXPECT_TRUE(c.waitForText("after", 0));
   done.set();
}

TEST(SocketConnection, ReadsWithTimeOutsAndRefusesBadArguments)
{
   Flag go, done;
   ScriptedServer server([&](int s) {
      go.wait();
      SendText(s, "abc");
      done.wait();
   });
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   char buffer[16];
   EXPECT_EQ(c.read(buffer, sizeof(buffer), SHORT_WAIT_MS), -2);
   EXPECT_EQ(c.read(buffer, 0, SHORT_WAIT_MS), -1);
   go.set();
   // INFINITE waits for the data.
   EXPECT_EQ(c.read(buffer, sizeof(buffer), INFINITE), 3);
   EXPECT_EQ(std::string(buffer, 3), "abc");
   c.disconnect();
   EXPECT_EQ(c.read(buffer, sizeof(buffer), SHORT_WAIT_MS), -1);
   EXPECT_FALSE(c.canRead(0));
   EXPECT_EQ(c.write("x", 1), -1);
   done.set();
}

TEST(TelnetConnection, AnnouncesWontEchoAndAnswersNegotiation)
{
   struct Case
   {
      std::string sent;     // what the server sends
      std::string data;     // what read returns
      std::string answers;  // what the client sends back
   };
   const std::vector<Case> cases = {
       {Bytes({255, 251, 1, 'A', 'B'}), "AB", Bytes({255, 254, 1})},      // WILL ECHO: DONT
       {Bytes({255, 253, 249, 'C', 'D'}), "CD", Bytes({255, 251, 249})},  // DO 249: WILL
       {Bytes({255, 255, 65, 66}), Bytes({255, 65, 66}), ""},
   };
   std::vector<std::string> answers;
   std::string greeting;
   // One chunk at a time: the next is sent once the client has read the last.
   std::vector<std::unique_ptr<Flag>> read;
   for (size_t i = 0; i < cases.size(); i++)
      read.emplace_back(new Flag());
   ScriptedServer server([&](int s) {
      greeting = ReceiveText(s, 3);
      for (size_t i = 0; i < cases.size(); i++)
      {
         SendText(s, cases[i].sent);
         answers.push_back(ReceiveText(s, cases[i].answers.size()));
         read[i]->wait();
      }
   });
   Watched<TelnetConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   for (size_t i = 0; i < cases.size(); i++)
   {
      char buffer[64];
      int rc = c.read(buffer, sizeof(buffer), GENEROUS_MS);
      read[i]->set();
      ASSERT_GT(rc, 0);
      EXPECT_EQ(std::string(buffer, static_cast<size_t>(rc)), cases[i].data) << i;
   }
   server.join();
   EXPECT_EQ(greeting, Bytes({255, 252, 1}));
   ASSERT_EQ(answers.size(), cases.size());
   for (size_t i = 0; i < cases.size(); i++)
      EXPECT_EQ(answers[i], cases[i].answers) << i;
}

TEST(TelnetConnection, ReadsOnAfterAChunkOfCommandsOnly)
{
   Flag answered;
   ScriptedServer server([&](int s) {
      ReceiveText(s, 3);
      SendText(s, Bytes({255, 253, 1}));
      // The data follows only after the answer to the commands came back.
      if (ReceiveText(s, 3) == Bytes({255, 252, 1}))
         SendText(s, "ok");
      answered.wait();
   });
   Watched<TelnetConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   char buffer[16];
   EXPECT_EQ(c.read(buffer, sizeof(buffer), GENEROUS_MS), 2);
   EXPECT_EQ(std::string(buffer, 2), "ok");
   answered.set();
}

TEST(TelnetConnection, ReadLineSkipsLineEndsAndZeroBytesAndStopsAtTheSize)
{
   Flag done;
   ScriptedServer server([&](int s) {
      SendText(s, std::string("\r\n\r\nfirst line\r\nsec\0ond\n\r\nlong line here\r\ntail", 46));
      done.wait();
   });
   Watched<TelnetConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   char line[32];
   memset(line, 'z', sizeof(line));
   EXPECT_EQ(c.readLine(line, sizeof(line), GENEROUS_MS), 10);
   EXPECT_STREQ(line, "first line");
   EXPECT_EQ(c.readLine(line, sizeof(line), GENEROUS_MS), 6);
   EXPECT_STREQ(line, "second");
   // Five bytes of room: four and the terminator; the rest is the next line.
   memset(line, 'z', sizeof(line));
   EXPECT_EQ(c.readLine(line, 5, GENEROUS_MS), 4);
   EXPECT_STREQ(line, "long");
   EXPECT_EQ(line[5], 'z');
   EXPECT_EQ(c.readLine(line, sizeof(line), GENEROUS_MS), 10);
   EXPECT_STREQ(line, " line here");
   // A line without its end comes back when nothing more arrives in time.
   EXPECT_EQ(c.readLine(line, sizeof(line), SHORT_WAIT_MS), 4);
   EXPECT_STREQ(line, "tail");
   EXPECT_EQ(c.readLine(line, sizeof(line), SHORT_WAIT_MS), 0);
   EXPECT_STREQ(line, "");
   EXPECT_EQ(c.readLine(line, 0, SHORT_WAIT_MS), -1);
   done.set();
}

TEST(TelnetConnection, WaitForTextSeesThroughNegotiationAndAnswersIt)
{
   std::string answer;
   Flag done;
   ScriptedServer server([&](int s) {
      ReceiveText(s, 3);
      SendText(s, "User " + Bytes({255, 251, 1}) + "name: ");
      answer = ReceiveText(s, 3);
      done.wait();
   });
   Watched<TelnetConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   EXPECT_TRUE(c.waitForText("User name:", GENEROUS_MS));
   done.set();
   server.join();
   EXPECT_EQ(answer, Bytes({255, 254, 1}));
}

TEST(TelnetConnection, AServerThatClosesEndsReadsAndWaits)
{
   ScriptedServer server([&](int s) {
      ReceiveText(s, 3);
      SendText(s, "bye\r\n");
   });
   Watched<TelnetConnection> c;
   ASSERT_TRUE(c.open(server.port()));
   server.join();
   char line[16];
   EXPECT_EQ(c.readLine(line, sizeof(line), GENEROUS_MS), 3);
   EXPECT_EQ(c.readLine(line, sizeof(line), GENEROUS_MS), 0);
   EXPECT_EQ(c.read(line, sizeof(line), GENEROUS_MS), 0);
   EXPECT_FALSE(c.waitForText("prompt", GENEROUS_MS));
}

/* The chunk walk on its own: commands removed in place, answers collected. */
TEST(TelnetFilter, RemovesCommandsAndCollectsAnswers)
{
   struct Case
   {
      std::string in, data, answers;
   };
   const std::vector<Case> cases = {
       {Bytes({255, 255, 65, 66}), Bytes({255, 65, 66}), ""},
       {Bytes({255, 255, 255, 255}), Bytes({255, 255}), ""},
       {Bytes({255, 255, 255}), Bytes({255, 255}), ""},
       {Bytes({65, 255, 251}), Bytes({65, 255, 251}), ""},  // option in the next chunk
       {Bytes({255, 254, 1, 255, 252, 249}), "", Bytes({255, 254, 1, 255, 253, 249})},
       {Bytes({0, 0, 'a', 0}), "a", ""},
       {Bytes({'a', 0, 'b', 255, 241, 'c', 255, 250, 'd', 0}), "abcd", ""},
       // Echo and suppress-go-ahead are refused like any option; 249 is agreed to.
       {Bytes({255, 253, 1, 255, 253, 3, 'E'}), "E", Bytes({255, 252, 1, 255, 252, 3})},
       {Bytes({255, 251, 249, 255, 252, 249, 255, 254, 249, 'F'}), "F",
        Bytes({255, 253, 249, 255, 253, 249, 255, 253, 249})},
       {Bytes({255, 244, 'q'}), "q", ""},  // interrupt process
       {Bytes({255}), Bytes({255}), ""},
       {"", "", ""},
   };
   for (const Case &k : cases)
   {
      std::vector<uint8_t> data(k.in.begin(), k.in.end());
      std::vector<uint8_t> replies(data.size() + 1);
      int replySize = -1;
      int count = qv::net::FilterTelnetChunk(data.data(), static_cast<int>(data.size()), replies.data(), &replySize);
      EXPECT_EQ(std::string(data.begin(), data.begin() + count), k.data);
      EXPECT_EQ(std::string(replies.begin(), replies.begin() + replySize), k.answers);
   }
}

TEST(SocketConnection, ConnectingAgainClosesTheOldConnection)
{
   bool firstClosed = false;
   ScriptedServer first([&](int s) {
      char byte;
      struct pollfd entry = {s, POLLIN, 0};
      firstClosed = poll(&entry, 1, GENEROUS_MS) > 0 && recv(s, &byte, 1, 0) == 0;
   });
   ScriptedServer second([](int) {});
   Watched<SocketConnection> c;
   ASSERT_TRUE(c.open(first.port()));
   ASSERT_TRUE(c.open(second.port()));
   first.join();
   EXPECT_TRUE(firstClosed);
}
