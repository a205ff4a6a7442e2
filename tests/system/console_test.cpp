/* Console output through a pipe and a pseudo-terminal, the password prompt on a
 * pseudo-terminal, and the wide line reader. */
#include <qorvel.h>

#include "system/stdout_capture.h"

#include <gtest/gtest.h>

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

const wchar_t COLOURED[] = L"%s\x1b[32;1m%s\x1b[0m\n";

std::string Written(StdoutCapture::Kind kind, const wchar_t *text)
{
   StdoutCapture capture(kind);
   EXPECT_TRUE(capture.ok());
   WriteToTerminal(text);
   return capture.finish();
}

TEST(WriteToTerminal, RedirectedOutputLosesTheColourSequences)
{
   StdoutCapture capture(StdoutCapture::PIPE);
   ASSERT_TRUE(capture.ok());
   WriteToTerminalEx(COLOURED, L"name: ", L"value");
   EXPECT_EQ(capture.finish(), "name: value\n");

   EXPECT_EQ(Written(StdoutCapture::PIPE, L"a\x1b[1;2;3mb\x1b[mc\x1b[41md"), "abcd");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L"keep\x1b(B lone"), "keep\x1b(B lone");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L"end\x1b"), "end\x1b");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L"cut\x1b[31 never ends"), "cut");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L"\x1b[2Jall of this is inside m!"), "!");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L"\u00e9\u20ac"), "\xc3\xa9\xe2\x82\xac");
   EXPECT_EQ(Written(StdoutCapture::PIPE, L""), "");
}

TEST(WriteToTerminal, TerminalGetsTheColoursItKnows)
{
   StdoutCapture capture(StdoutCapture::TERMINAL);
   ASSERT_TRUE(capture.ok());
   WriteToTerminalEx(COLOURED, L"name: ", L"value");
   // 32 clears the intensity before 1 sets it: bright green, then the reset.
   EXPECT_EQ(capture.finish(), "name: \x1b[22;32;1mvalue\x1b[0m\n");

   EXPECT_EQ(Written(StdoutCapture::TERMINAL, L"\x1b[1;32mplain"), "\x1b[1;22;32mplain");
   EXPECT_EQ(Written(StdoutCapture::TERMINAL, L"\x1b[41mred\x1b[22m"), "\x1b[41mred\x1b[22m");
   // Codes the console does not know, and anything else inside a sequence, go nowhere.
   EXPECT_EQ(Written(StdoutCapture::TERMINAL, L"a\x1b[4mb\x1b[2J;31mc\x1b[mdone"), "a"
                                                                                   "b\x1b[22;31mc"
                                                                                   "done");
   EXPECT_EQ(Written(StdoutCapture::TERMINAL, L"\x1b[0000000000000000000000000000000031m!"), "\x1b[22;31m!");
   EXPECT_EQ(Written(StdoutCapture::TERMINAL, L"cut\x1b[31"), "cut");
}

/* Standard input replaced by the slave side of a pseudo-terminal for the fixture's life. */
class PasswordPrompt : public ::testing::Test
{
protected:
   int m_master = -1;
   int m_slave = -1;
   int m_savedStdin = -1;

   void SetUp() override
   {
      ASSERT_EQ(openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0);
      m_savedStdin = dup(STDIN_FILENO);
      dup2(m_slave, STDIN_FILENO);
      clearerr(stdin);
   }

   void TearDown() override
   {
      dup2(m_savedStdin, STDIN_FILENO);
      close(m_savedStdin);
      clearerr(stdin);
      close(m_slave);
      close(m_master);
   }

   bool echoOn() const
   {
      struct termios mode;
      return tcgetattr(m_slave, &mode) == 0 && (mode.c_lflag & ECHO) != 0;
   }

   void setEcho(bool on)
   {
      struct termios mode;
      ASSERT_EQ(tcgetattr(m_slave, &mode), 0);
      mode.c_lflag = on ? (mode.c_lflag | ECHO) : (mode.c_lflag & ~static_cast<tcflag_t>(ECHO));
      ASSERT_EQ(tcsetattr(m_slave, TCSANOW, &mode), 0);
   }

   /* Waits until the prompt has switched the echo off (that is the event the typing must
    * follow); the bound only keeps a broken prompt from hanging the test. */
   bool waitForEchoOff() const
   {
      auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (echoOn())
      {
         if (std::chrono::steady_clock::now() > giveUp)
            return false;
         std::this_thread::yield();
      }
      return true;
   }

   void type(const char *text) const { ASSERT_EQ(write(m_master, text, strlen(text)), ssize_t(strlen(text))); }
};

TEST_F(PasswordPrompt, ReadsWithoutEchoAndRestoresIt)
{
   ASSERT_TRUE(echoOn());
   StdoutCapture output(StdoutCapture::PIPE);
   wchar_t buffer[32];
   bool result = false;
   std::thread reader([&] { result = ReadPassword(L"Password: ", buffer, 32); });
   bool echoWentOff = waitForEchoOff();
   type("s3cret \xc3\xa9\n");
   reader.join();
   std::string printed = output.finish();
   ASSERT_TRUE(echoWentOff);
   EXPECT_TRUE(result);
   EXPECT_STREQ(buffer, L"s3cret \u00e9");
   EXPECT_EQ(printed, "Password: \n");
   EXPECT_TRUE(echoOn());
   // Echo is back: the marker is echoed, and the password never was.
   type("MARK");
   std::string shown = ReadFrom(m_master, "MARK");
   EXPECT_NE(shown.find("MARK"), std::string::npos);
   EXPECT_EQ(shown.find("s3cret"), std::string::npos) << shown;
}

TEST_F(PasswordPrompt, EchoThatWasOffStaysOff)
{
   setEcho(false);
   StdoutCapture output(StdoutCapture::PIPE);
   wchar_t buffer[4];
   type("toolong\n");
   EXPECT_TRUE(ReadPassword(nullptr, buffer, 4));
   output.finish();
   EXPECT_STREQ(buffer, L"too");
   EXPECT_FALSE(echoOn());
}

TEST_F(PasswordPrompt, EndOfInputGivesAnEmptyLineAndRestoresEcho)
{
   StdoutCapture output(StdoutCapture::PIPE);
   wchar_t buffer[16] = L"old contents";
   bool result = false;
   std::thread reader([&] { result = ReadPassword(L"> ", buffer, 16); });
   bool echoWentOff = waitForEchoOff();
   type("\x04");  // end of input on a terminal
   reader.join();
   EXPECT_EQ(output.finish(), "> \n");
   ASSERT_TRUE(echoWentOff);
   EXPECT_TRUE(result);
   EXPECT_STREQ(buffer, L"");
   EXPECT_TRUE(echoOn());
   EXPECT_FALSE(ReadPassword(nullptr, nullptr, 16));
   EXPECT_FALSE(ReadPassword(nullptr, buffer, 0));
}

TEST(SafeFgetts, ReadsLinesAndEmptiesTheBufferAtTheEnd)
{
   // A stream nothing has read or written through yet, as fgetws needs one.
   int fds[2];
   ASSERT_EQ(pipe(fds), 0);
   ASSERT_EQ(write(fds[1], "ab\ncd", 5), 5);
   close(fds[1]);
   FILE *f = fdopen(fds[0], "r");
   ASSERT_NE(f, nullptr);
   wchar_t buffer[8];
   EXPECT_EQ(safe_fgetts(buffer, 8, f), buffer);
   EXPECT_STREQ(buffer, L"ab\n");
   EXPECT_EQ(safe_fgetts(buffer, 8, f), buffer);
   EXPECT_STREQ(buffer, L"cd");
   EXPECT_EQ(safe_fgetts(buffer, 8, f), nullptr);
   EXPECT_STREQ(buffer, L"");
   EXPECT_EQ(safe_fgetts(buffer, 0, f), nullptr);
   EXPECT_EQ(safe_fgetts(nullptr, 8, f), nullptr);
   fclose(f);
}

}  // namespace
