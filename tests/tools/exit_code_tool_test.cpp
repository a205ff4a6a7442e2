/* qvtool's exit codes, command by command: 0 success, 1 the operation failed (with a
 * message that names the command and says what to do), 2 wrong usage; exec and diff keep
 * their own documented codes. */
#include "support/tool_run.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

class ExitCodes : public ToolDirTest
{
protected:
   /* "%D" in a case stands for the test's directory. */
   std::string expand(const std::string &arguments) const
   {
      std::string out = arguments;
      for (size_t at = out.find("%D"); at != std::string::npos; at = out.find("%D", at))
         out.replace(at, 2, m_dir.string());
      return out;
   }
};

struct Case
{
   const char *arguments;  // after "qvtool"
   int code;
   bool usage = false;  // wrong usage: the usage is shown
};

}  // namespace

TEST_F(ExitCodes, EveryCommandTellsSuccessFailureAndWrongUsage)
{
   writeFile("abc.txt", "abc");
   writeFile("other.txt", "abd");
   writeFile("good.ini", "a = 1\n");
   writeFile("bad.ini", "a = 1\nnot a pair\n");
   writeFile("m.hex", "0067000000000010000000090000000000");
   writeFile("table.xml", "<table><x/></table>");

   const Case cases[] = {
       {"--help", 0},
       {"", 2, true},
       {"no-such-command", 2, true},
       {"--debug 12 text a", 2, true},
       {"text a", 0},
       {"text", 2, true},
       {"text --bogus a", 2, true},
       {"addr 192.0.2.1", 0},
       {"addr 'not an address'", 1},
       {"addr 192.0.2.1/40", 1},
       {"addr", 2, true},
       {"addr --bogus 192.0.2.1", 2, true},
       {"hash '%D/abc.txt'", 0},
       {"hash '%D/missing'", 1},
       {"hash", 2, true},
       {"hash --sha512 '%D/abc.txt'", 2, true},
       {"password encrypt bob secret", 0},
       {"password encrypt bob 0123456789012345678901234567890123456789012345678901234567890123456789", 1},
       {"password frob bob secret", 2, true},
       {"msg build 1:int32=5 -o '%D/m.bin'", 0},
       {"msg dump '%D/m.bin'", 0},
       {"msg dump '%D/missing'", 1},
       {"msg build '1:file=%D/missing'", 1},
       {"msg build 1:int16=99999", 2, true},
       {"msg", 2, true},
       {"msg dump", 2, true},
       {"send-file 127.0.0.1:1 '%D/missing'", 1},
       {"send-file 127.0.0.1 '%D/abc.txt'", 2, true},
       {"receive-file", 2, true},
       {"receive-file --deadline 0 0 '%D'", 2, true},
       {"keygen '%D/no/such/dir/key'", 1},
       {"keygen", 2, true},
       {"pool-stress --workers 2 --tasks 10 --task-ms 0", 0},
       {"pool-stress --workers 0", 2, true},
       {"diff '%D/abc.txt' '%D/abc.txt'", 0},
       {"diff '%D/abc.txt' '%D/other.txt'", 1},
       {"diff '%D/abc.txt' '%D/missing'", 2},  // trouble, as diff tells it
       {"diff '%D/abc.txt'", 2, true},
       {"schedule '0 12 * * *' --from '2024-01-01 00:00' --count 1", 0},
       {"schedule '0 0 31 2 *' --from '2024-01-01 00:00'", 1},
       {"schedule '* * * * *' --count 0", 2, true},
       {"schedule '* * * * *' --from yesterday", 2, true},
       {"mac 00:1a:2b:3c:4d:5e", 0},
       {"mac zz", 1},
       {"mac", 2, true},
       {"geo 48.5", 0},
       {"geo north", 1},
       {"geo", 2, true},
       {"table '%D/table.xml'", 1},
       {"table '%D/missing'", 1},
       {"table", 2, true},
       {"crash-test --kind nope '%D'", 2, true},
       {"ping", 2, true},
       {"ping 127.0.0.1 --count 0", 2, true},
       {"exec true", 0},
       {"exec 'exit 7'", 7},
       {"exec", 2, true},
       {"exec --bogus", 2, true},
       {"info", 0},
       {"info extra", 2, true},
       {"config '%D/good.ini'", 0},
       {"config --check '%D/bad.ini'", 1},
       {"config", 2, true},
       {"config --xml --json '%D/good.ini'", 2, true},
   };
   for (const Case &c : cases)
   {
      std::string arguments = expand(c.arguments);
      ToolRun run = RunTool(arguments);
      EXPECT_EQ(run.status, c.code) << "qvtool " << arguments << "\n" << run.output;
      if (c.usage)
      {
         // Wrong usage shows how the command is used.
         EXPECT_NE(run.output.find("usage: qvtool"), std::string::npos) << "qvtool " << arguments << "\n" << run.output;
      }
   }
}

/* A failure's message names the command and, after "; ", what to do. */
TEST_F(ExitCodes, FailuresNameTheCommandAndWhatToDo)
{
   writeFile("bad.ini", "a = 1\n");
   const struct
   {
      const char *arguments;
      const char *message;
   } cases[] = {
       {"addr nope", "qvtool addr: \"nope\" is not a numeric IPv4 or IPv6 address; give one such as"},
       {"hash '%D/missing'", "qvtool hash: %D/missing: cannot open or read the file; check"},
       {"msg dump '%D/missing'", "qvtool msg dump: cannot read \"%D/missing\"; check"},
       {"send-file 127.0.0.1:1 '%D/missing'", "qvtool send-file: %D/missing: cannot open the file; check"},
       {"keygen '%D/no/key'", "qvtool keygen: %D/no/key: cannot write the key file; check"},
       {"mac zz", "qvtool mac: \"zz\" is not a MAC address; give one such as"},
       {"geo north", "qvtool geo: \"north\" is not a coordinate; give degrees such as"},
       {"table '%D/missing'", "qvtool table: cannot read \"%D/missing\"; check"},
       {"schedule '0 0 31 2 *'", "qvtool schedule: \"0 0 31 2 *\" matches nothing in the next 4 years; check"},
       {"diff '%D/missing' '%D/missing'", "qvtool diff: %D/missing: cannot open the file; check"},
   };
   for (const auto &c : cases)
   {
      ToolRun run = RunTool(expand(c.arguments));
      EXPECT_EQ(run.status, (std::string(c.arguments).compare(0, 4, "diff") == 0) ? 2 : 1) << c.arguments;
      EXPECT_NE(run.output.find(expand(c.message)), std::string::npos) << c.arguments << "\n" << run.output;
   }

   // A port in use: the receiver cannot listen there.
   int s = socket(AF_INET6, SOCK_STREAM, 0);
   ASSERT_GE(s, 0);
   sockaddr_in6 addr = {};
   addr.sin6_family = AF_INET6;
   socklen_t length = sizeof(addr);
   ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)), 0);
   ASSERT_EQ(listen(s, 1), 0);
   ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr *>(&addr), &length), 0);
   std::string port = std::to_string(ntohs(addr.sin6_port));
   ToolRun busy = RunTool("receive-file " + port + " '" + m_dir.string() + "'");
   close(s);
   EXPECT_EQ(busy.status, 1) << busy.output;
   EXPECT_NE(busy.output.find("qvtool receive-file: cannot listen on port " + port + "; choose another port"),
             std::string::npos)
       << busy.output;
}

/* The top-level help documents the exit codes and where JSON is offered. */
TEST_F(ExitCodes, TopLevelHelpDocumentsThem)
{
   ToolRun help = RunTool("--help");
   EXPECT_EQ(help.status, 0);
   EXPECT_NE(help.output.find("exit codes:\n  0  success\n  1  the operation failed"), std::string::npos)
       << help.output;
   EXPECT_NE(help.output.find("  2  wrong usage"), std::string::npos) << help.output;
   EXPECT_NE(help.output.find("exec exits with its command's code"), std::string::npos) << help.output;
   // Every command that prints JSON tells its fields in its own help.
   for (const char *command : {"addr", "config", "diff", "geo", "hash", "info", "mac", "msg dump", "password", "ping",
                               "schedule", "send-file", "receive-file", "table", "text"})
   {
      ToolRun own = RunTool(std::string(command) + " --help");
      EXPECT_EQ(own.status, 0) << command;
      EXPECT_NE(own.output.find("--json"), std::string::npos) << command << "\n" << own.output;
      EXPECT_NE(own.output.find("JSON fields"), std::string::npos) << command << "\n" << own.output;
   }
}
