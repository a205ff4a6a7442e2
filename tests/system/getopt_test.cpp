/* The option parser against a table of argument vectors: each case lists the results of
 * the calls, the vector and optind at the end, and the messages printed. */
#include <qorvel.h>

#include "system/stdout_capture.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

int g_flag = 0;

const struct option LONG_OPTIONS[] = {
    {"verbose", no_argument, nullptr, 'v'},      {"version", no_argument, nullptr, 'V'},
    {"output", required_argument, nullptr, 'o'}, {"color", optional_argument, nullptr, 'c'},
    {"flag", no_argument, &g_flag, 42},          {nullptr, 0, nullptr, 0},
};

/* Two names for the same option: a shared prefix is no ambiguity for getopt_long. */
const struct option SYNONYMS[] = {
    {"verbose", no_argument, nullptr, 'v'},
    {"verbosity", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

enum Parser
{
   SHORT,
   LONG,
   LONG_ONLY
};

struct Step
{
   int result;
   const char *argument;  // expected optarg (null: none)
   int optopt;            // expected optopt after the call, or -1 when not checked
};

struct Case
{
   const char *name;
   std::vector<std::string> args;  // argv[0] included
   const char *optstring;
   Parser parser;
   const struct option *longopts;
   bool posixlyCorrect;
   std::vector<Step> steps;  // through the final -1
   std::vector<std::string> finalArgs;
   int finalOptind;
   std::string messages;
};

const std::vector<std::string> MIXED = {"prog", "x", "-a", "-b", "val", "y", "-c"};

const std::vector<Case> &Cases()
{
   static const std::vector<Case> cases = {
       // clang-format off
       {"permutation", MIXED, "ab:c", SHORT, nullptr, false,
        {{'a', nullptr, -1}, {'b', "val", -1}, {'c', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "-a", "-b", "val", "-c", "x", "y"}, 5, ""},
       {"POSIXLY_CORRECT stops at the first non-option", MIXED, "ab:c", SHORT, nullptr, true,
        {{-1, nullptr, -1}},
        MIXED, 1, ""},
       {"leading plus stops at the first non-option", MIXED, "+ab:c", SHORT, nullptr, false,
        {{-1, nullptr, -1}},
        MIXED, 1, ""},
       {"leading minus returns non-options in order", MIXED, "-ab:c", SHORT, nullptr, false,
        {{1, "x", -1}, {'a', nullptr, -1}, {'b', "val", -1}, {1, "y", -1}, {'c', nullptr, -1}, {-1, nullptr, -1}},
        MIXED, 7, ""},
       {"leading minus wins over POSIXLY_CORRECT", {"prog", "x", "-a"}, "-a", SHORT, nullptr, true,
        {{1, "x", -1}, {'a', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "x", "-a"}, 3, ""},
       {"double dash ends the options", {"prog", "-a", "x", "--", "-b", "y"}, "ab", SHORT, nullptr, false,
        {{'a', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "-a", "--", "x", "-b", "y"}, 3, ""},
       {"clusters and attached arguments", {"prog", "-ab", "-bval", "-abx", "-", "z"}, "ab:", SHORT, nullptr, false,
        {{'a', nullptr, -1}, {'b', "-bval", -1}, {'a', nullptr, -1}, {'b', "x", -1}, {-1, nullptr, -1}},
        {"prog", "-ab", "-bval", "-abx", "-", "z"}, 4, ""},
       {"optional argument only in the same word", {"prog", "-afoo", "-a", "foo"}, "a::", SHORT, nullptr, false,
        {{'a', "foo", -1}, {'a', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "-afoo", "-a", "foo"}, 3, ""},
       {"missing argument at the end", {"prog", "-b"}, "ab:", SHORT, nullptr, false,
        {{'?', nullptr, 'b'}, {-1, nullptr, -1}},
        {"prog", "-b"}, 2, "option requires an argument -- b"},
       {"missing argument with a leading colon", {"prog", "-b"}, ":ab:", SHORT, nullptr, false,
        {{':', nullptr, 'b'}, {-1, nullptr, -1}},
        {"prog", "-b"}, 2, ""},
       {"colon after plus", {"prog", "-b"}, "+:b:", SHORT, nullptr, false,
        {{':', nullptr, 'b'}, {-1, nullptr, -1}},
        {"prog", "-b"}, 2, ""},
       {"unknown short option", {"prog", "-x", "-a"}, "a", SHORT, nullptr, false,
        {{'?', nullptr, 'x'}, {'a', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "-x", "-a"}, 3, "invalid option -- x"},
       {"unknown short option with POSIXLY_CORRECT", {"prog", "-x"}, "a", SHORT, nullptr, true,
        {{'?', nullptr, 'x'}, {-1, nullptr, -1}},
        {"prog", "-x"}, 2, "illegal option -- x"},
       {"colon is no option", {"prog", "-:"}, "a:", SHORT, nullptr, false,
        {{'?', nullptr, ':'}, {-1, nullptr, -1}},
        {"prog", "-:"}, 2, "invalid option -- :"},
       {"long options, exact and abbreviated",
        {"prog", "--verb", "file", "--output=o1", "--output", "o2", "--col"}, "", LONG, LONG_OPTIONS, false,
        {{'v', nullptr, -1}, {'o', "o1", -1}, {'o', "o2", -1}, {'c', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "--verb", "--output=o1", "--output", "o2", "--col", "file"}, 6, ""},
       {"optional long argument only after =",
        {"prog", "--color=red", "--color", "blue"}, "", LONG, LONG_OPTIONS, false,
        {{'c', "red", -1}, {'c', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "--color=red", "--color", "blue"}, 3, ""},
       {"ambiguous prefix", {"prog", "--ver", "--v=1"}, "", LONG, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "--ver", "--v=1"}, 3, "option `--ver' is ambiguous" "option `--v' is ambiguous"},
       {"argument to an option without one", {"prog", "--verbose=yes"}, "", LONG, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "--verbose=yes"}, 2, "option `--verbose' doesn't allow an argument"},
       {"abbreviation with an argument it does not allow", {"prog", "--verbo=1"}, "", LONG, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "--verbo=1"}, 2, "option `--verbo' doesn't allow an argument"},
       {"missing long argument", {"prog", "--out"}, "", LONG, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "--out"}, 2, "option `--output' requires an argument"},
       {"missing long argument with a leading colon", {"prog", "--output"}, ":", LONG, LONG_OPTIONS, false,
        {{':', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "--output"}, 2, ""},
       {"unrecognized long option", {"prog", "--nope=1", "--verbose"}, "", LONG, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {'v', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "--nope=1", "--verbose"}, 3, "unrecognized option `--nope=1'"},
       {"flag pointer", {"prog", "--flag"}, "", LONG, LONG_OPTIONS, false,
        {{0, nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "--flag"}, 2, ""},
       {"synonyms are no ambiguity", {"prog", "--verb"}, "", LONG, SYNONYMS, false,
        {{'v', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "--verb"}, 2, ""},
       {"any two prefixes are ambiguous with a single dash", {"prog", "-verb"}, "", LONG_ONLY, SYNONYMS, false,
        {{'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "-verb"}, 2, "option `-verb' is ambiguous"},
       {"long options with a single dash",
        {"prog", "-verbose", "-out=f", "-o", "g", "-vo", "h", "-col"}, "vo:", LONG_ONLY, LONG_OPTIONS, false,
        {{'v', nullptr, -1}, {'o', "f", -1}, {'o', "g", -1}, {'v', nullptr, -1},
         {'o', "h", -1}, {'c', nullptr, -1}, {-1, nullptr, -1}},
        {"prog", "-verbose", "-out=f", "-o", "g", "-vo", "h", "-col"}, 8, ""},
       {"unknown single-dash option", {"prog", "-x", "--x"}, "v", LONG_ONLY, LONG_OPTIONS, false,
        {{'?', nullptr, 0}, {'?', nullptr, 0}, {-1, nullptr, -1}},
        {"prog", "-x", "--x"}, 3, "unrecognized option `-x'" "unrecognized option `--x'"},
       {"W; turns -W foo into --foo",
        {"prog", "-W", "verbose", "-Wout=f", "-W", "nope", "-W"}, "W;", LONG, LONG_OPTIONS, false,
        {{'v', nullptr, -1}, {'o', "f", -1}, {'?', nullptr, 0}, {'?', nullptr, 'W'}, {-1, nullptr, -1}},
        {"prog", "-W", "verbose", "-Wout=f", "-W", "nope", "-W"},
        7, "unrecognized option `-W nope'" "option requires an argument -- W"},
       {"no arguments", {"prog"}, "a", SHORT, nullptr, false,
        {{-1, nullptr, -1}},
        {"prog"}, 1, ""},
       // clang-format on
   };
   return cases;
}

class Argv
{
public:
   explicit Argv(const std::vector<std::string> &args)
   {
      for (const std::string &a : args)
         m_strings.push_back(strdup(a.c_str()));
      m_pointers = m_strings;
      m_pointers.push_back(nullptr);
   }
   ~Argv()
   {
      for (char *s : m_strings)
         free(s);
   }
   int argc() const { return static_cast<int>(m_strings.size()); }
   char **argv() { return m_pointers.data(); }
   std::vector<std::string> current() const
   {
      return std::vector<std::string>(m_pointers.begin(), m_pointers.end() - 1);
   }

private:
   std::vector<char *> m_strings;
   std::vector<char *> m_pointers;
};

int Call(Parser parser, Argv &args, const char *optstring, const struct option *longopts, int *index)
{
   switch (parser)
   {
      case SHORT: return getopt(args.argc(), args.argv(), optstring);
      case LONG: return getopt_long(args.argc(), args.argv(), optstring, longopts, index);
      default: return getopt_long_only(args.argc(), args.argv(), optstring, longopts, index);
   }
}

class GetOpt : public ::testing::Test
{
protected:
   void SetUp() override { unsetenv("POSIXLY_CORRECT"); }
   void TearDown() override
   {
      unsetenv("POSIXLY_CORRECT");
      opterr = 1;
      optind = 0;
   }
};

TEST_F(GetOpt, TableOfArgumentVectors)
{
   for (const Case &c : Cases())
   {
      SCOPED_TRACE(c.name);
      if (c.posixlyCorrect)
         setenv("POSIXLY_CORRECT", "1", 1);
      else
         unsetenv("POSIXLY_CORRECT");
      Argv args(c.args);
      g_flag = 0;
      optind = 0;  // restart: reads POSIXLY_CORRECT again
      opterr = 1;
      StdoutCapture capture(StdoutCapture::PIPE);
      ASSERT_TRUE(capture.ok());
      std::vector<int> results;
      std::vector<std::string> arguments;
      std::vector<int> optopts;
      for (size_t i = 0; i < c.steps.size() + 2; i++)
      {
         int index = -1;
         int result = Call(c.parser, args, c.optstring, c.longopts, &index);
         results.push_back(result);
         arguments.push_back(optarg != nullptr ? optarg : "(null)");
         optopts.push_back(optopt);
         if (result == -1)
            break;
      }
      std::string messages = capture.finish();
      ASSERT_EQ(results.size(), c.steps.size());
      for (size_t i = 0; i < c.steps.size(); i++)
      {
         EXPECT_EQ(results[i], c.steps[i].result) << "call " << i;
         EXPECT_EQ(arguments[i], c.steps[i].argument != nullptr ? c.steps[i].argument : "(null)") << "call " << i;
         if (c.steps[i].optopt >= 0)
         {
            EXPECT_EQ(optopts[i], c.steps[i].optopt) << "call " << i;
         }
      }
      EXPECT_EQ(args.current(), c.finalArgs);
      EXPECT_EQ(optind, c.finalOptind);
      EXPECT_EQ(messages, c.messages);
   }
}

TEST_F(GetOpt, LongIndexFlagAndSilentErrors)
{
   Argv args({"prog", "--flag", "--output=x", "--nope", "-z"});
   optind = 0;
   int index = -1;
   EXPECT_EQ(getopt_long(args.argc(), args.argv(), "a", LONG_OPTIONS, &index), 0);
   EXPECT_EQ(g_flag, 42);
   EXPECT_EQ(index, 4);
   EXPECT_EQ(getopt_long(args.argc(), args.argv(), "a", LONG_OPTIONS, &index), 'o');
   EXPECT_EQ(index, 2);
   opterr = 0;
   StdoutCapture capture(StdoutCapture::PIPE);
   EXPECT_EQ(getopt_long(args.argc(), args.argv(), "a", LONG_OPTIONS, nullptr), '?');
   EXPECT_EQ(getopt_long(args.argc(), args.argv(), "a", LONG_OPTIONS, nullptr), '?');
   EXPECT_EQ(optopt, 'z');
   EXPECT_EQ(getopt_long(args.argc(), args.argv(), "a", LONG_OPTIONS, nullptr), -1);
   EXPECT_EQ(capture.finish(), "");
}

TEST_F(GetOpt, RestartWithOptindZero)
{
   Argv first({"prog", "-a", "x", "-b"});
   optind = 0;
   EXPECT_EQ(getopt(first.argc(), first.argv(), "ab"), 'a');
   // Halfway through, a restart parses another vector from its start.
   Argv second({"prog", "y", "-b", "-a"});
   optind = 0;
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), 'b');
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), 'a');
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), -1);
   EXPECT_EQ(optind, 3);
   EXPECT_EQ(second.current(), (std::vector<std::string>{"prog", "-b", "-a", "y"}));
   // And the same vector again, now in order.
   optind = 0;
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), 'b');
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), 'a');
   EXPECT_EQ(getopt(second.argc(), second.argv(), "ab"), -1);
   EXPECT_EQ(optind, 3);
}

TEST_F(GetOpt, ChangingTheVectorDropsTheClusterInProgress)
{
   Argv first({"prog", "-abc"});
   optind = 0;
   EXPECT_EQ(getopt(first.argc(), first.argv(), "abc"), 'a');
   {
      // The rest of "-abc" belongs to a vector that is gone.
      Argv second({"prog", "-c"});
      optind = 1;
      EXPECT_EQ(getopt(second.argc(), second.argv(), "abc"), 'c');
      EXPECT_EQ(getopt(second.argc(), second.argv(), "abc"), -1);
   }
   // So does moving optind by hand.
   Argv third({"prog", "-ab", "-c"});
   optind = 0;
   EXPECT_EQ(getopt(third.argc(), third.argv(), "abc"), 'a');
   optind = 2;
   EXPECT_EQ(getopt(third.argc(), third.argv(), "abc"), 'c');
   EXPECT_EQ(getopt(third.argc(), third.argv(), "abc"), -1);
}

TEST_F(GetOpt, BadIndexesAndVectorsEndTheParse)
{
   Argv args({"prog", "-a"});
   optind = 0;
   EXPECT_EQ(getopt(args.argc(), args.argv(), "a"), 'a');
   optind = 7;
   EXPECT_EQ(getopt(args.argc(), args.argv(), "a"), -1);
   optind = -3;
   EXPECT_EQ(getopt(args.argc(), args.argv(), "a"), -1);
   optind = 0;
   EXPECT_EQ(getopt(0, args.argv(), "a"), -1);
   EXPECT_EQ(getopt(1, nullptr, "a"), -1);
}

}  // namespace
