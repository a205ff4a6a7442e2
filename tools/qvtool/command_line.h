/* Option parsing for qvtool and its commands, over the library's long-option parser: each
 * command describes its options and arguments once, and gets --help, the usage text and
 * the messages for bad options from that description. */
#ifndef QVTOOL_COMMAND_LINE_H
#define QVTOOL_COMMAND_LINE_H

#include <qorvel.h>

#include <stdio.h>

#include <string>
#include <vector>

/* Keys of options without a letter start here (letters are their own keys). */
constexpr int LONG_OPTION_KEY = 256;

/* One option: its long name (null: only the letter), no_argument, required_argument or
 * optional_argument, its key (a letter gives the option that short form too), the name of
 * its value in the help (null when it takes none) and one line of help. */
struct CommandOption
{
   const char *name;
   int hasArg;
   int key;
   const char *valueName;
   const char *help;
};

/* What a command takes. */
struct CommandSyntax
{
   const char *command;           // as typed after "qvtool" ("hash", "msg build"); "" for qvtool itself
   const char *synopsis;          // its arguments; several lines for several forms
   const char *description;       // what it does, one line
   const CommandOption *options;  // ended by a row with key 0; null for none
   bool optionsFirst;             // options end at the first operand, so later ones may start with "-"
   const char *notes;             // printed after the options in the help, or null
};

/* Reads the options of a command's arguments (argv[0] is the first argument, not a program
 * name):
 *
 *    CommandLine args(SYNTAX, argc, argv);
 *    while (args.next())
 *       switch (args.key()) { ... default: return args.usage(); }
 *    if (args.stopped())
 *       return args.exitCode();
 *    ... args.operandCount(), args.operand(i) ...
 *
 * --help prints the help on standard output (exit code 0); a bad option prints what is
 * wrong and the usage on standard error (exit code 2). Options and operands may be mixed
 * unless the syntax says optionsFirst; "--" ends the options. The argument strings are not
 * copied and must outlive the object. */
class CommandLine
{
public:
   CommandLine(const CommandSyntax &syntax, int argc, char **argv);

   /* True when an option was read: key() and value() tell which. False at the end of the
    * options, and when --help or a bad option stopped the parse. */
   bool next();
   int key() const { return m_key; }
   /* The option's value, or null. */
   const char *value() const { return m_value; }
   /* The option's name for messages: "--workers", or "-o" for one with only a letter. */
   const char *optionText() const { return m_optionText.c_str(); }

   /* For commands whose only option is --help: reads the options and returns true when
    * there were none; otherwise false after printing the help or the usage, and the
    * command returns exitCode(). */
   bool onlyOperands();
   /* The same for commands whose only option is one flag (--json): *given tells whether it
    * was there. */
   bool onlyFlag(int key, bool *given);

   /* next() stopped on --help or a bad option: the command returns exitCode(). */
   bool stopped() const { return m_exitCode >= 0; }
   int exitCode() const { return m_exitCode; }

   int operandCount() const { return static_cast<int>(m_argv.size()) - 1 - m_firstOperand; }
   char *operand(int i) const { return m_argv[static_cast<size_t>(m_firstOperand + i)]; }
   /* The operands as a vector ended by null, in the form commands take (argc, argv). */
   char **operands() { return m_argv.data() + m_firstOperand; }

   /* Prints the usage on standard error and returns 2, the exit code of a usage error. */
   int usage() const;
   /* Prints "qvtool COMMAND: " and the message on standard error, then the usage; returns
    * 2. */
   int fail(const char *format, ...) const __attribute__((format(printf, 2, 3)));
   /* Prints the help on standard output and returns 0. */
   int help() const;

private:
   const CommandSyntax &m_syntax;
   std::vector<char *> m_argv;  // a program name slot, the arguments, null
   std::vector<struct option> m_longOptions;
   std::vector<char> m_shortOptions;
   int m_key = 0;
   const char *m_value = nullptr;
   std::string m_optionText;
   int m_firstOperand = 1;
   int m_exitCode = -1;
   bool m_started = false;

   void badOption(int result);
   void printUsage(FILE *out) const;
};

/* Prints "usage: qvtool COMMAND" and the synopsis lines. */
void PrintSynopsis(FILE *out, const CommandSyntax &syntax);

#endif
