/* Named pipes between real clients and listeners: records both ways, large messages
 * through the pipe receiver, the access rule with a second local user, busy listeners
 * and time-outs, one listener per name, stop and start, and clients that misbehave. */
#include "net/net_test_util.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <errno.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace qvtest;

namespace {

constexpr uint32_t GENEROUS_MS = static_cast<uint32_t>(GENEROUS.count());

/* A pipe name of this test process. */
std::wstring PipeName(const char *what)
{
   std::string name = "qvtest-" + std::to_string(getpid()) + "-" + what;
   return std::wstring(name.begin(), name.end());
}

std::string SocketPath(const std::wstring &name)
{
   return "/tmp/qvpipe." + std::string(name.begin(), name.end());
}

/* One record from the pipe's handle; empty at the end or on a time-out. */
std::string ReadRecord(HPIPE handle, uint32_t timeout = GENEROUS_MS)
{
   struct pollfd entry = {handle, POLLIN, 0};
   if (poll(&entry, 1, static_cast<int>(timeout)) <= 0)
      return std::string();
   char buffer[4096];
   ssize_t n = recv(handle, buffer, sizeof(buffer), 0);
   return (n > 0) ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

/* The listener's callback runs this; what it sees is kept for the test. */
struct Served
{
   std::function<void(NamedPipe *)> body;
   std::mutex lock;
   std::vector<std::wstring> users;
   std::vector<std::wstring> names;
   std::atomic<int> count{0};

   std::wstring user(size_t i)
   {
      std::lock_guard<std::mutex> guard(lock);
      return (i < users.size()) ? users[i] : L"(none)";
   }
   std::wstring name(size_t i)
   {
      std::lock_guard<std::mutex> guard(lock);
      return (i < names.size()) ? names[i] : L"(none)";
   }

   static void Callback(NamedPipe *pipe, void *arg)
   {
      Served *self = static_cast<Served *>(arg);
      {
         std::lock_guard<std::mutex> guard(self->lock);
         self->users.push_back(pipe->user());
         self->names.push_back(pipe->name());
      }
      if (self->body)
         self->body(pipe);
      self->count++;
   }
};

/* A listener that is stopped and deleted at the end of the scope. */
using ListenerPtr = std::unique_ptr<NamedPipeListener>;
using PipePtr = std::unique_ptr<NamedPipe>;

/* A listener of the name for served, started; null when it could not be made. */
ListenerPtr Started(const std::wstring &name, Served &served, const wchar_t *user)
{
   ListenerPtr listener(NamedPipeListener::create(name.c_str(), Served::Callback, &served, user));
   if (listener != nullptr)
      listener->start();
   return listener;
}

/* True once thread tid waits in the kernel for time or for a descriptor. */
bool WaitUntilWaiting(uint32_t tid)
{
   return WaitFor([tid] {
      long call = atol(ReadTaskFile(tid, "syscall").c_str());
      return call == SYS_poll || call == SYS_ppoll || call == SYS_clock_nanosleep || call == SYS_nanosleep;
   });
}

/* A second local user for the access rule, removed at the end. */
class TestUser
{
   std::string m_name;
   uid_t m_uid = 0;
   gid_t m_gid = 0;
   bool m_created = false;

public:
   TestUser() : m_name("qvpipe" + std::to_string(getpid() % 100000))
   {
      std::string command = "useradd -M -s /usr/sbin/nologin " + m_name + " >/dev/null 2>&1";
      m_created = system(command.c_str()) == 0;
      struct passwd *entry = m_created ? getpwnam(m_name.c_str()) : nullptr;
      if (entry != nullptr)
      {
         m_uid = entry->pw_uid;
         m_gid = entry->pw_gid;
      }
   }
   ~TestUser()
   {
      if (m_created)
      {
         std::string command = "userdel " + m_name + " >/dev/null 2>&1";
         EXPECT_EQ(0, system(command.c_str()));
      }
   }
   bool ready() const { return m_created && m_uid != 0; }
   const std::string &name() const { return m_name; }
   std::wstring wideName() const { return std::wstring(m_name.begin(), m_name.end()); }

   /* Runs body in a child process with this user's identity: its exit code, -1 when it
    * did not end normally. */
   int run(const std::function<int()> &body) const
   {
      pid_t pid = fork();
      if (pid == 0)
      {
         if (setgroups(0, nullptr) != 0 || setresgid(m_gid, m_gid, m_gid) != 0 || setresuid(m_uid, m_uid, m_uid) != 0)
            _exit(90);
         _exit(body());
      }
      int status = 0;
      if (pid < 0 || waitpid(pid, &status, 0) != pid)
         return -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
   }
};

std::string CurrentUserName()
{
   struct passwd *entry = getpwuid(getuid());
   return (entry != nullptr) ? entry->pw_name : "";
}

}  // namespace

TEST(NamedPipe, ClientAndListenerExchangeRecords)
{
   DebugLines debug(5);
   std::wstring name = PipeName("exchange");
   Served served;
   served.body = [](NamedPipe *pipe) {
      std::string request = ReadRecord(pipe->handle());
      EXPECT_EQ("ping", request);
      EXPECT_TRUE(pipe->write("pong", 4));
      EXPECT_TRUE(pipe->write("", 0));  // nothing goes out: an empty record would read as the end
      EXPECT_TRUE(pipe->write("after", 5));
   };
   ListenerPtr listener(NamedPipeListener::create(name.c_str(), Served::Callback, &served, nullptr));
   ASSERT_NE(nullptr, listener);
   EXPECT_EQ(name, listener->name());
   EXPECT_EQ(std::wstring(), listener->user());
   struct stat st;
   ASSERT_EQ(0, stat(SocketPath(name).c_str(), &st));
   EXPECT_TRUE(S_ISSOCK(st.st_mode));
   listener->start();

   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, client);
   EXPECT_EQ(name, client->name());
   EXPECT_TRUE(client->write("ping", 4));
   EXPECT_EQ("pong", ReadRecord(client->handle()));
   EXPECT_EQ("after", ReadRecord(client->handle()));
   EXPECT_EQ("", ReadRecord(client->handle()));  // disconnected when the callback returned
   ASSERT_TRUE(WaitFor([&] { return served.count == 1; }));
   EXPECT_EQ(name, served.name(0));
   std::string self = CurrentUserName();
   EXPECT_EQ(std::wstring(self.begin(), self.end()), served.user(0));
   std::wstring prefix = L"NamedPipeListener(" + name + L"): ";
   EXPECT_TRUE(debug.has(prefix + L"waiting for connection"));
   EXPECT_TRUE(debug.has(prefix + L"accepted connection"));

   listener.reset();
   EXPECT_TRUE(debug.has(prefix + L"stopped"));
   EXPECT_NE(0, stat(SocketPath(name).c_str(), &st));  // the name is released
}

TEST(NamedPipe, LargeMessagesArriveWholeThroughThePipeReceiver)
{
   std::wstring name = PipeName("large");
   // One message far larger than the receiver's buffer and one larger than any record.
   const size_t sizes[] = {200 * 1024, 3 * 1024 * 1024};
   Served served;
   served.body = [&sizes](NamedPipe *pipe) {
      for (size_t size : sizes)
      {
         QVCPMessage msg(0x1234, static_cast<uint32_t>(size));
         std::vector<uint8_t> data(size);
         for (size_t i = 0; i < size; i++)
            data[i] = static_cast<uint8_t>(i * 7 + i / 251);
         msg.setField(1, data.data(), data.size());
         QVCP_MESSAGE *raw = msg.serialize();
         ASSERT_NE(nullptr, raw);
         EXPECT_TRUE(pipe->write(raw, ntohl(raw->size)));
         free(raw);
      }
   };
   ListenerPtr listener = Started(name, served, L"*");
   ASSERT_NE(nullptr, listener);
   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, client);
   PipeMessageReceiver receiver(client->handle(), 4096, 8 * 1024 * 1024);
   for (size_t size : sizes)
   {
      MessageReceiverResult result;
      std::unique_ptr<QVCPMessage> msg(receiver.readMessage(GENEROUS_MS, &result));
      ASSERT_NE(nullptr, msg) << receiver.resultToText(result);
      EXPECT_EQ(size, msg->getId());
      size_t got = 0;
      const uint8_t *data = msg->getBinaryFieldPtr(1, &got);
      ASSERT_EQ(size, got);
      bool same = true;
      for (size_t i = 0; i < size && same; i++)
         same = data[i] == static_cast<uint8_t>(i * 7 + i / 251);
      EXPECT_TRUE(same) << size;
   }
}

TEST(NamedPipe, AccessRuleLetsOnlyTheChosenUserConnect)
{
   if (getuid() != 0)
      GTEST_SKIP() << "a second local user can only be made as root";
   TestUser user;
   if (!user.ready())
      GTEST_SKIP() << "useradd could not make a second local user";
   std::wstring name = PipeName("rule");
   Served served;
   served.body = [](NamedPipe *pipe) { EXPECT_EQ("hi", ReadRecord(pipe->handle())); };
   DebugLines debug(2);
   ListenerPtr onlyUser(NamedPipeListener::create(name.c_str(), Served::Callback, &served, user.wideName().c_str()));
   ASSERT_NE(nullptr, onlyUser);
   EXPECT_TRUE(debug.has(L"NamedPipeListener(" + name + L"): will allow connections only for user " + user.wideName()));
   EXPECT_EQ(user.wideName(), onlyUser->user());
   onlyUser->start();

   // This process (root) is refused at once, not after its time-out.
   PipePtr refused(NamedPipe::connect(name.c_str(), INFINITE));
   EXPECT_EQ(nullptr, refused);
   // The chosen user is let in, and the listener sees who it is.
   EXPECT_EQ(0, user.run([&name] {
      std::unique_ptr<NamedPipe> pipe(NamedPipe::connect(name.c_str(), GENEROUS_MS));
      return (pipe != nullptr && pipe->write("hi", 2)) ? 0 : 1;
   }));
   ASSERT_TRUE(WaitFor([&] { return served.count == 1; }));
   EXPECT_EQ(user.wideName(), served.user(0));
   onlyUser.reset();

   ListenerPtr everyone = Started(name, served, L"");
   ASSERT_NE(nullptr, everyone);
   EXPECT_EQ(0, user.run([&name] {
      std::unique_ptr<NamedPipe> pipe(NamedPipe::connect(name.c_str(), GENEROUS_MS));
      return (pipe != nullptr && pipe->write("hi", 2)) ? 0 : 1;
   }));
   PipePtr root(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, root);
   EXPECT_TRUE(root->write("hi", 2));
   EXPECT_TRUE(WaitFor([&] { return served.count == 3; }));
}

TEST(NamedPipe, UnknownUserOrUnusableNameCreatesNothing)
{
   DebugLines debug(2);
   std::wstring name = PipeName("nouser");
   EXPECT_EQ(nullptr, NamedPipeListener::create(name.c_str(), Served::Callback, nullptr, L"no-such-user-qv"));
   EXPECT_TRUE(debug.has(L"NamedPipeListener(" + name + L"): SetEntriesInAcl failed (No such user)"));
   EXPECT_EQ(nullptr, NamedPipeListener::create(L"a/b", Served::Callback, nullptr, nullptr));
   EXPECT_TRUE(debug.has(L"NamedPipeListener(a/b): CreateNamedPipe failed (Invalid argument)"));
   std::wstring longName(120, L'n');
   EXPECT_EQ(nullptr, NamedPipeListener::create(longName.c_str(), Served::Callback, nullptr, nullptr));
   EXPECT_TRUE(debug.has(L"NamedPipeListener(" + longName + L"): CreateNamedPipe failed (File name too long)"));
   EXPECT_EQ(nullptr, NamedPipe::connect(L"a/b", 0));
   EXPECT_EQ(nullptr, NamedPipe::connect(PipeName("nobody").c_str(), 0));  // nothing listens
}

TEST(NamedPipe, BusyListenerMakesClientsWaitUntilTheirTimeOut)
{
   std::wstring name = PipeName("busy");
   Served served;
   Flag entered, release;
   served.body = [&](NamedPipe *) {
      entered.set();
      release.wait(std::chrono::seconds(60));
   };
   ListenerPtr listener = Started(name, served, nullptr);
   ASSERT_NE(nullptr, listener);
   PipePtr first(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, first);
   ASSERT_TRUE(entered.wait());

   // While the first is served, a client with a short time-out gives up.
   EXPECT_EQ(nullptr, NamedPipe::connect(name.c_str(), 100));

   // One with a long time-out waits, and is served once the first is done.
   std::atomic<bool> connected{false};
   PipePtr waiting;
   Worker client([&] {
      waiting.reset(NamedPipe::connect(name.c_str(), 60000));
      connected = true;
   });
   ASSERT_TRUE(WaitUntilWaiting(client.id()));
   EXPECT_FALSE(connected);
   release.set();
   client.join();
   EXPECT_NE(nullptr, waiting);
   EXPECT_TRUE(WaitFor([&] { return served.count == 2; }));
}

TEST(NamedPipe, SecondListenerOfANameFailsAndLeavesTheLiveOne)
{
   DebugLines debug(2);
   std::wstring name = PipeName("twice");
   Served served;
   ListenerPtr live = Started(name, served, nullptr);
   ASSERT_NE(nullptr, live);
   EXPECT_EQ(nullptr, NamedPipeListener::create(name.c_str(), Served::Callback, &served, nullptr));
   EXPECT_TRUE(debug.has(L"NamedPipeListener(" + name + L"): CreateNamedPipe failed (Address already in use)"));
   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   EXPECT_NE(nullptr, client);
   EXPECT_TRUE(WaitFor([&] { return served.count == 1; }));
}

TEST(NamedPipe, SocketLeftByAnEndedListenerIsReplaced)
{
   std::wstring name = PipeName("stale");
   std::string path = SocketPath(name);
   int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
   struct sockaddr_un addr = {};
   addr.sun_family = AF_UNIX;
   strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
   ASSERT_EQ(0, bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)));
   close(fd);  // the file stays, with nobody behind it

   Served served;
   ListenerPtr listener = Started(name, served, nullptr);
   ASSERT_NE(nullptr, listener);
   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   EXPECT_NE(nullptr, client);
}

TEST(NamedPipe, ListenerStopsPromptlyAndStartsAgain)
{
   DebugLines debug(2);
   std::wstring name = PipeName("restart");
   Served served;
   ListenerPtr listener = Started(name, served, nullptr);
   ASSERT_NE(nullptr, listener);
   listener->stop();
   EXPECT_EQ(1u, debug.count(L"NamedPipeListener(" + name + L"): stopped"));
   listener->stop();  // nothing runs: nothing to wait for
   listener->start();
   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   EXPECT_NE(nullptr, client);
   EXPECT_TRUE(WaitFor([&] { return served.count == 1; }));
   listener->stop();
   EXPECT_EQ(2u, debug.count(L"NamedPipeListener(" + name + L"): stopped"));
}

TEST(NamedPipe, WritingToAGonePeerFailsWithoutSignal)
{
   std::wstring name = PipeName("gone");
   Served served;
   Flag clientGone;
   std::atomic<int> serverWrite{-1};
   served.body = [&](NamedPipe *pipe) {
      if (served.count > 0)
         return;  // the second client is disconnected at once
      clientGone.wait();
      serverWrite = pipe->write("late", 4) ? 1 : 0;
   };
   ListenerPtr listener = Started(name, served, nullptr);
   ASSERT_NE(nullptr, listener);
   PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, client);
   client.reset();
   clientGone.set();
   ASSERT_TRUE(WaitFor([&] { return served.count == 1; }));
   EXPECT_EQ(0, serverWrite);  // and the process is still here: no SIGPIPE

   PipePtr second(NamedPipe::connect(name.c_str(), GENEROUS_MS));
   ASSERT_NE(nullptr, second);
   ASSERT_TRUE(WaitFor([&] { return served.count == 2; }));
   EXPECT_EQ("", ReadRecord(second->handle()));  // the listener disconnected it
   EXPECT_FALSE(second->write("late", 4));
}

TEST(NamedPipe, MisbehavingClientsDoNotStopTheListenerAndNothingLeaks)
{
   std::wstring name = PipeName("misbehave");
   long before = OpenDescriptorCount();
   {
      Served served;
      served.body = [](NamedPipe *pipe) {
         std::string request = ReadRecord(pipe->handle(), 2000);  // a silent client gets this long
         if (!request.empty())
            pipe->write(request.data(), request.size());
      };
      ListenerPtr listener(NamedPipeListener::create(name.c_str(), Served::Callback, &served, nullptr));
      ASSERT_NE(nullptr, listener);
      listener->start();
      PipePtr silent(NamedPipe::connect(name.c_str(), GENEROUS_MS));
      ASSERT_NE(nullptr, silent);
      {
         PipePtr leaving(NamedPipe::connect(name.c_str(), GENEROUS_MS));
         // leaves while waiting to be served
      }
      for (int i = 0; i < 3; i++)
      {
         PipePtr client(NamedPipe::connect(name.c_str(), GENEROUS_MS));
         ASSERT_NE(nullptr, client) << i;
         std::string text = "echo" + std::to_string(i);
         ASSERT_TRUE(client->write(text.data(), text.size()));
         EXPECT_EQ(text, ReadRecord(client->handle()));
      }
   }
   EXPECT_EQ(before, OpenDescriptorCount());
}
