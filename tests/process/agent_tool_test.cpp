/* qvtool agent and qvtool call as real processes over loopback: every command once, a
 * wrong configuration, a refused peer, an agent that is down or killed during a transfer,
 * and configuration reloads while calls run. Every wait is for an event (a line in the
 * agent's output, a file that appears, a process that ends), never for a time. */
#include "agent_protocol.h"
#include "support/tool_run.h"

#include <jansson.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

extern char **environ;

namespace {

/* Pause between two looks at a file or a process that is awaited, and how long the
 * awaited event may take at most before the test gives up (a hung agent must not hang
 * the test). */
constexpr auto POLL_INTERVAL = std::chrono::milliseconds(20);
constexpr int MAX_POLLS = 3000;  // a minute of looks

std::string ReadFile(const std::string &path)
{
   std::ifstream in(path, std::ios::binary);
   std::stringstream content;
   content << in.rdbuf();
   return content.str();
}

size_t Count(const std::string &text, const std::string &what)
{
   size_t n = 0;
   for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
      n++;
   return n;
}

/* A qvtool process started in the background with its standard output and error in a
 * file. */
class Background
{
public:
   ~Background()
   {
      if (m_pid > 0)
      {
         kill(m_pid, SIGKILL);
         waitpid(m_pid, nullptr, 0);
      }
   }

   bool start(const std::vector<std::string> &arguments, const std::string &output)
   {
      m_output = output;
      std::vector<std::string> words = {ToolPath()};
      words.insert(words.end(), arguments.begin(), arguments.end());
      std::vector<char *> argv;
      for (std::string &w : words)
         argv.push_back(&w[0]);
      argv.push_back(nullptr);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
      int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      return rc == 0;
   }

   std::string output() const { return ReadFile(m_output); }

   /* Waits until the output holds text count times; false when the process ended first
    * or it took too long. */
   bool waitFor(const std::string &text, size_t count = 1)
   {
      for (int i = 0; i < MAX_POLLS; i++)
      {
         if (Count(output(), text) >= count)
            return true;
         if (m_pid > 0 && waitpid(m_pid, &m_status, WNOHANG) == m_pid)
         {
            m_pid = -1;
            return Count(output(), text) >= count;
         }
         std::this_thread::sleep_for(POLL_INTERVAL);
      }
      return false;
   }

   /* Sends the signal and waits for the end: the exit code, or -1 after a signal. */
   int stop(int signal)
   {
      if (m_pid > 0)
         kill(m_pid, signal);
      return wait();
   }

   int wait()
   {
      if (m_pid > 0)
      {
         waitpid(m_pid, &m_status, 0);
         m_pid = -1;
      }
      return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
   }

   pid_t pid() const { return m_pid; }
   void signal(int signal) { kill(m_pid, signal); }

private:
   pid_t m_pid = -1;
   int m_status = 0;
   std::string m_output;
};

class AgentToolTest : public ToolDirTest
{
protected:
   Background m_agent;
   std::string m_port;

   void SetUp() override
   {
      ToolDirTest::SetUp();
      if (IsSkipped())
         return;
      ASSERT_EQ(RunTool("keygen '" + path("key.bin") + "'").status, 0);
      std::filesystem::create_directory(path("root"));
      std::filesystem::create_directory(path("received"));
   }

   /* An [agent] section on a free port with the key, the file root and the extra lines. */
   std::string config(const std::string &extra) const
   {
      return "[agent]\nPort = 0\nListenAddress = 127.0.0.1\nKeyFile = " + path("key.bin") +
             "\nFileRoot = " + path("root") + "\n" + extra;
   }

   void writeConfig(const std::string &content) { std::ofstream(path("agent.ini"), std::ios::trunc) << content; }

   /* Starts the agent on the configuration written and waits for its ready line. */
   void startAgent()
   {
      ASSERT_TRUE(m_agent.start({"agent", "--config", path("agent.ini")}, path("agent.out")));
      ASSERT_TRUE(m_agent.waitFor("agent listening on port")) << m_agent.output();
      std::string out = m_agent.output();
      size_t at = out.find("agent listening on port ") + strlen("agent listening on port ");
      m_port = out.substr(at, out.find('\n', at) - at);
   }

   ToolRun call(const std::string &arguments) { return RunTool("call 127.0.0.1:" + m_port + " " + arguments); }
};

TEST_F(AgentToolTest, EveryCommandAnswers)
{
   writeConfig(config("AllowExec = yes\nDebugTag = agent=3\n[schedules]\nnightly = \"30 2 * * *\"\n"));
   writeFile("root/fetch.txt", std::string(100000, 'x') + "end\n");
   writeFile("upload.txt", "stored by put-file\n");
   startAgent();

   ToolRun info = call("info");
   EXPECT_EQ(info.status, 0) << info.output;
   EXPECT_NE(info.output.find("process id"), std::string::npos) << info.output;
   EXPECT_NE(info.output.find(std::to_string(m_agent.pid())), std::string::npos) << info.output;

   // The facts of --json are the table's rows, one object each.
   ToolRun json = call("info --json");
   ASSERT_EQ(json.status, 0) << json.output;
   json_error_t error;
   json_t *doc = json_loads(json.output.c_str(), 0, &error);
   ASSERT_NE(doc, nullptr) << json.output;
   std::string pid;
   size_t i;
   json_t *row;
   json_array_foreach(json_object_get(doc, "rows"), i, row)
   {
      if (!strcmp(json_string_value(json_object_get(row, "NAME")), "process id"))
         pid = json_string_value(json_object_get(row, "VALUE"));
   }
   json_decref(doc);
   EXPECT_EQ(pid, std::to_string(m_agent.pid()));

   // The library's figures inside the agent: its pool is among them.
   ToolRun metrics = call("metrics");
   EXPECT_EQ(metrics.status, 0) << metrics.output;
   EXPECT_NE(metrics.output.find("thread_pool"), std::string::npos) << metrics.output;
   EXPECT_NE(metrics.output.find("AGENT"), std::string::npos) << metrics.output;
   ToolRun metricsJson = call("metrics --json");
   ASSERT_EQ(metricsJson.status, 0) << metricsJson.output;
   doc = json_loads(metricsJson.output.c_str(), 0, &error);
   ASSERT_NE(doc, nullptr) << metricsJson.output;
   bool agentPool = false;
   json_array_foreach(json_object_get(doc, "thread_pool"), i, row)
   {
      agentPool = agentPool || !strcmp(json_string_value(json_object_get(row, "name")), "AGENT");
   }
   json_decref(doc);
   EXPECT_TRUE(agentPool) << metricsJson.output;

   ToolRun schedule = call("schedule");
   EXPECT_EQ(schedule.status, 0) << schedule.output;
   EXPECT_NE(schedule.output.find("nightly"), std::string::npos) << schedule.output;
   EXPECT_NE(schedule.output.find(" 02:30 "), std::string::npos) << schedule.output;

   ToolRun echo = call("echo hello");
   EXPECT_EQ(echo.status, 0) << echo.output;
   EXPECT_NE(echo.output.find("64 bytes echoed"), std::string::npos) << echo.output;
   // The same port on IPv6.
   ToolRun echo6 = RunTool("call [::1]:" + m_port + " echo");
   EXPECT_EQ(echo6.status, 0) << echo6.output;

   // Output of both streams in the order written, then the command's exit code.
   ToolRun exec = call("exec -- 'echo one; echo two >&2; exit 3'");
   EXPECT_EQ(exec.status, 1) << exec.output;
   EXPECT_NE(exec.output.find("one\ntwo\n"), std::string::npos) << exec.output;
   EXPECT_NE(exec.output.find("exited with code 3"), std::string::npos) << exec.output;

   ToolRun get = call("get-file fetch.txt --output '" + path("received") + "'");
   EXPECT_EQ(get.status, 0) << get.output;
   EXPECT_EQ(ReadFile(path("received/fetch.txt")), ReadFile(path("root/fetch.txt")));

   ToolRun put = call("put-file '" + path("upload.txt") + "'");
   EXPECT_EQ(put.status, 0) << put.output;
   EXPECT_EQ(ReadFile(path("root/upload.txt")), "stored by put-file\n");

   // Paths that leave the file root are refused.
   ToolRun escape = call("get-file ../key.bin --output '" + path("received") + "'");
   EXPECT_EQ(escape.status, 1) << escape.output;
   EXPECT_FALSE(std::filesystem::exists(path("received/key.bin")));
   // So are links in it that lead out of it; a link that stays inside is followed.
   std::filesystem::create_symlink(path("key.bin"), path("root/key-link"));
   ToolRun linked = call("get-file key-link --output '" + path("received") + "'");
   EXPECT_EQ(linked.status, 1) << linked.output;
   EXPECT_FALSE(std::filesystem::exists(path("received/key-link")));
   std::filesystem::create_symlink("fetch.txt", path("root/fetch-link"));
   ToolRun inside = call("get-file fetch-link --output '" + path("received") + "'");
   EXPECT_EQ(inside.status, 0) << inside.output;
   EXPECT_EQ(ReadFile(path("received/fetch-link")), ReadFile(path("root/fetch.txt")));

   ToolRun debug = call("debug agent=7 --for 600");
   EXPECT_EQ(debug.status, 0) << debug.output;
   EXPECT_NE(debug.output.find("(was 3)"), std::string::npos) << debug.output;
   ToolRun again = call("debug agent=3");
   EXPECT_NE(again.output.find("(was 7)"), std::string::npos) << again.output;

   if (geteuid() == 0)
   {
      // Raw ICMP needs privileges; unprivileged echo sockets are off on these machines.
      ToolRun ping = call("ping 127.0.0.1");
      EXPECT_EQ(ping.status, 0) << ping.output;
      EXPECT_NE(ping.output.find("PING_OK from 127.0.0.1"), std::string::npos) << ping.output;
   }

   ToolRun unknown = call("frobnicate");
   EXPECT_EQ(unknown.status, 2) << unknown.output;

   EXPECT_EQ(m_agent.stop(SIGTERM), 0);
   EXPECT_NE(m_agent.output().find("agent stopped"), std::string::npos);
}

TEST_F(AgentToolTest, WrongConfigurationIsNamedByFileAndLine)
{
   // A line that is not KEY = VALUE.
   writeConfig(config("AllowExec = yes\nthis line is wrong\n"));
   ToolRun syntax = RunTool("agent --config '" + path("agent.ini") + "'");
   EXPECT_EQ(syntax.status, 1) << syntax.output;
   EXPECT_NE(syntax.output.find("agent.ini at line 7"), std::string::npos) << syntax.output;

   // Values that do not fit, each with its own line.
   writeConfig("[agent]\nPort = 70000\nKeyFile = " + path("key.bin") +
               "\nAllowExec = perhaps\n[schedules]\nx = soon\n");
   ToolRun values = RunTool("agent --config '" + path("agent.ini") + "'");
   EXPECT_EQ(values.status, 1) << values.output;
   EXPECT_NE(values.output.find("agent.ini:2: Port must be"), std::string::npos) << values.output;
   EXPECT_NE(values.output.find("agent.ini:4: AllowExec must be yes or no"), std::string::npos) << values.output;
   EXPECT_NE(values.output.find("agent.ini:6: schedule x"), std::string::npos) << values.output;

   writeConfig("[agent]\nKeyFile = " + path("missing.key") + "\n");
   ToolRun key = RunTool("agent --config '" + path("agent.ini") + "'");
   EXPECT_EQ(key.status, 1) << key.output;
   EXPECT_NE(key.output.find("cannot load the key file"), std::string::npos) << key.output;

   EXPECT_EQ(RunTool("agent").status, 2);
}

TEST_F(AgentToolTest, RefusedPeerDownAgentAndForbiddenCommandFail)
{
   writeConfig(config("AllowedPeer = 192.0.2.0/24\n"));
   startAgent();
   ToolRun refused = call("info");
   EXPECT_EQ(refused.status, 1) << refused.output;
   EXPECT_NE(refused.output.find("allowed peers"), std::string::npos) << refused.output;
   EXPECT_EQ(m_agent.stop(SIGTERM), 0);

   // The port is free again once the agent has gone.
   ToolRun down = call("info --timeout 5");
   EXPECT_EQ(down.status, 1) << down.output;
   EXPECT_NE(down.output.find("is the agent running?"), std::string::npos) << down.output;

   writeConfig(config("AllowedPeer = 127.0.0.0/8\n"));
   startAgent();
   ToolRun exec = call("exec true");
   EXPECT_EQ(exec.status, 1) << exec.output;
   EXPECT_NE(exec.output.find("does not allow commands"), std::string::npos) << exec.output;
}

/* A connection to the agent made by hand, for what qvtool call never does. */
struct RawConnection
{
   SocketCommChannel *channel = nullptr;
   std::unique_ptr<CommChannelMessageReceiver> receiver;

   ~RawConnection() { close(); }

   /* Connects and returns the agent's first message (the key request); null when either
    * fails. */
   QVCPMessage *open(const std::string &port)
   {
      SOCKET s = ConnectToHost(InetAddress::parse("127.0.0.1"), static_cast<uint16_t>(std::stoi(port)), 5000);
      if (s == INVALID_SOCKET)
         return nullptr;
      channel = new SocketCommChannel(s, true);
      receiver.reset(new CommChannelMessageReceiver(channel, 4096, 1 << 20));
      return receiver->readMessage(30000, nullptr);
   }

   void close()
   {
      receiver.reset();
      if (channel != nullptr)
      {
         channel->shutdown();
         channel->decRefCount();
         channel = nullptr;
      }
   }
};

/* A client that agrees on the session key and then writes a plain request, as anyone on
 * the path could: the agent ends the session without acting on it. */
TEST_F(AgentToolTest, PlainRequestAfterTheKeyExchangeEndsTheSession)
{
   writeConfig(config(""));
   startAgent();
   RawConnection raw;
   QVCPMessage *request = raw.open(m_port);
   ASSERT_NE(request, nullptr);
   ASSERT_EQ(request->getCode(), CMD_REQUEST_SESSION_KEY);
   QVCPEncryptionContext *context = nullptr;
   QVCPMessage *reply = nullptr;
   EXPECT_EQ(SetupEncryptionContext(request, &context, &reply, nullptr, QVCP_DEFAULT_VERSION), 0u);
   delete request;
   ASSERT_NE(reply, nullptr);
   EXPECT_TRUE(agent::SendMessage(raw.channel, nullptr, nullptr, *reply));
   delete reply;
   raw.receiver->setEncryptionContext(context);

   QVCPMessage plain(agent::CMD_GET_TABLE_REQUEST, 7);
   plain.setField(agent::FIELD_TABLE_NAME, L"info");
   EXPECT_TRUE(agent::SendMessage(raw.channel, nullptr, nullptr, plain));
   MessageReceiverResult result;
   QVCPMessage *answer;
   do
      answer = raw.receiver->readMessage(30000, &result);
   while (answer == nullptr && result == MSGRECV_TIMEOUT);
   EXPECT_EQ(answer, nullptr) << "the agent answered a plain request with code " << answer->getCode();
   EXPECT_EQ(result, MSGRECV_CLOSED) << AbstractMessageReceiver::resultToText(result);
   delete answer;
   raw.close();
   if (context != nullptr)
      context->decRefCount();

   // The agent serves encrypted requests as before.
   EXPECT_EQ(call("info").status, 0);
}

/* Past MaxSessions connections, the agent closes new ones at once; a place that frees up
 * is taken again. */
TEST_F(AgentToolTest, ConnectionsPastMaxSessionsAreClosed)
{
   writeConfig(config("MaxSessions = 1\n"));
   startAgent();
   // The key request shows that this connection holds the one session.
   RawConnection raw;
   QVCPMessage *request = raw.open(m_port);
   ASSERT_NE(request, nullptr);
   delete request;
   ToolRun refused = call("info");
   EXPECT_EQ(refused.status, 1) << refused.output;
   EXPECT_NE(refused.output.find("closed the connection at once"), std::string::npos) << refused.output;
   raw.close();

   // The agent notices the closed session; until then a call may still be turned away.
   ToolRun served;
   for (int i = 0; i < MAX_POLLS; i++)
   {
      served = call("info");
      if (served.status == 0)
         break;
      std::this_thread::sleep_for(POLL_INTERVAL);
   }
   EXPECT_EQ(served.status, 0) << served.output;
}

TEST_F(AgentToolTest, TransferCutByTheAgentsDeathLeavesNoFile)
{
   // Slow enough to be cut: 2 MiB at 64 KiB a second.
   writeConfig(config("MaxTransferRate = 64K\n"));
   std::string big;
   for (int i = 0; big.size() < 2 * 1024 * 1024; i++)
      big += std::to_string(i * 7919) + "\n";
   writeFile("root/big.txt", big);
   startAgent();

   Background client;
   ASSERT_TRUE(client.start({"call", "127.0.0.1:" + m_port, "get-file", "big.txt", "--output", path("received")},
                            path("client.out")));
   // The transfer has started once its temporary file holds bytes.
   bool started = false;
   for (int i = 0; i < MAX_POLLS && !started; i++)
   {
      for (const auto &entry : std::filesystem::directory_iterator(path("received")))
         started = started || (entry.path().filename().string().rfind(".qvrecv-", 0) == 0 && entry.file_size() > 0);
      if (!started)
         std::this_thread::sleep_for(POLL_INTERVAL);
   }
   ASSERT_TRUE(started);
   m_agent.stop(SIGKILL);

   EXPECT_EQ(client.wait(), 1) << client.output();
   EXPECT_NE(client.output().find("closed during the transfer"), std::string::npos) << client.output();
   EXPECT_TRUE(std::filesystem::is_empty(path("received")));
}

/* Whether the process has ended (a zombie waiting to be reaped counts as ended). */
bool ProcessEnded(pid_t pid)
{
   if (kill(pid, 0) != 0)
      return true;
   std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
   size_t paren = stat.rfind(')');
   return paren != std::string::npos && stat.compare(paren, 4, ") Z ") == 0;
}

TEST_F(AgentToolTest, CommandStopsWhenTheClientGoes)
{
   writeConfig(config("AllowExec = yes\n"));
   startAgent();
   Background client;
   ASSERT_TRUE(
       client.start({"call", "127.0.0.1:" + m_port, "exec", "echo pid $$; exec sleep 300"}, path("client.out")));
   ASSERT_TRUE(client.waitFor("pid ")) << client.output();
   std::string out = client.output();
   pid_t command = static_cast<pid_t>(atol(out.c_str() + out.find("pid ") + 4));
   ASSERT_GT(command, 0);
   EXPECT_FALSE(ProcessEnded(command));
   client.stop(SIGKILL);

   bool ended = false;
   for (int i = 0; i < MAX_POLLS && !ended; i++)
   {
      ended = ProcessEnded(command);
      if (!ended)
         std::this_thread::sleep_for(POLL_INTERVAL);
   }
   EXPECT_TRUE(ended);
   EXPECT_EQ(m_agent.stop(SIGTERM), 0);
}

TEST_F(AgentToolTest, ReloadUnderLoadKeepsTheLastGoodConfiguration)
{
   writeConfig(config("AllowExec = no\n"));
   startAgent();

   // Calls run one after another until the stop file appears; one failure ends the loop
   // with exit code 1.
   std::string loop = "while [ ! -e '" + path("stop") + "' ]; do '" + ToolPath() + "' call 127.0.0.1:" + m_port +
                      " echo >/dev/null || exit 1; echo call; done";
   pid_t shell = 0;
   {
      std::vector<char *> argv = {const_cast<char *>("/bin/sh"), const_cast<char *>("-c"), &loop[0], nullptr};
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, path("load.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0600);
      ASSERT_EQ(posix_spawn(&shell, "/bin/sh", &actions, nullptr, argv.data(), environ), 0);
      posix_spawn_file_actions_destroy(&actions);
   }
   auto loadCalls = [&] { return Count(ReadFile(path("load.out")), "call\n"); };
   auto waitCalls = [&](size_t n) {
      for (int i = 0; i < MAX_POLLS && loadCalls() < n; i++)
         std::this_thread::sleep_for(POLL_INTERVAL);
      return loadCalls() >= n;
   };
   ASSERT_TRUE(waitCalls(3));

   writeConfig(config("AllowExec = yes\n"));
   m_agent.signal(SIGHUP);
   ASSERT_TRUE(m_agent.waitFor("configuration reloaded")) << m_agent.output();
   ToolRun allowed = call("exec echo now");
   EXPECT_EQ(allowed.status, 0) << allowed.output;

   size_t before = loadCalls();
   writeConfig(config("AllowExec = no\nbroken line\n"));
   m_agent.signal(SIGHUP);
   ASSERT_TRUE(m_agent.waitFor("configuration not reloaded")) << m_agent.output();
   EXPECT_NE(m_agent.output().find("agent.ini at line 7"), std::string::npos) << m_agent.output();
   ToolRun kept = call("exec echo still");
   EXPECT_EQ(kept.status, 0) << kept.output;
   EXPECT_TRUE(waitCalls(before + 3));

   writeFile("stop", "");
   int status = 0;
   waitpid(shell, &status, 0);
   EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadFile(path("load.out"));
   EXPECT_EQ(m_agent.stop(SIGTERM), 0);
}

}  // namespace
