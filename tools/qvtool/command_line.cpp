/* Option parsing for qvtool's commands over the library's getopt_long. */
#include "command_line.h"

#include "qvtool.h"

#include <stdarg.h>
#include <string.h>

#include <string>

namespace {

/* Key of the --help every command has. */
constexpr int HELP_KEY = LONG_OPTION_KEY - 1;

/* Width of the option column of the help. */
constexpr int OPTION_COLUMN = 26;

const CommandOption HELP_OPTION = {"help", no_argument, HELP_KEY, nullptr, "show this help"};

/* "--name VALUE", "-o, --output FILE": how the help shows an option. */
std::string OptionLabel(const CommandOption &o)
{
   std::string label;
   if (o.key > 0 && o.key < LONG_OPTION_KEY && o.key != HELP_KEY)
   {
      label = std::string("-") + static_cast<char>(o.key);
      if (o.name != nullptr)
         label += ", ";
   }
   if (o.name != nullptr)
      label += std::string("--") + o.name;
   if (o.valueName != nullptr)
      label += (o.hasArg == optional_argument) ? std::string("[=") + o.valueName + "]" : std::string(" ") + o.valueName;
   return label;
}

/* Calls f for each option of the syntax, then for --help unless the syntax has its own. */
template <typename F> void ForEachOption(const CommandSyntax &syntax, F f)
{
   bool ownHelp = false;
   for (const CommandOption *o = syntax.options; o != nullptr && o->key != 0; o++)
   {
      f(*o);
      ownHelp = ownHelp || (o->name != nullptr && strcmp(o->name, HELP_OPTION.name) == 0);
   }
   if (!ownHelp)
      f(HELP_OPTION);
}

}  // namespace

void PrintSynopsis(FILE *out, const CommandSyntax &syntax)
{
   std::string command = "qvtool";
   if (syntax.command[0] != 0)
      command += std::string(" ") + syntax.command;
   const char *line = syntax.synopsis;
   const char *lead = "usage: ";
   do
   {
      const char *end = strchr(line, '\n');
      size_t length = (end != nullptr) ? static_cast<size_t>(end - line) : strlen(line);
      fprintf(out, "%s%s %.*s\n", lead, command.c_str(), static_cast<int>(length), line);
      lead = "       ";
      line = (end != nullptr) ? end + 1 : nullptr;
   } while (line != nullptr);
}

CommandLine::CommandLine(const CommandSyntax &syntax, int argc, char **argv) : m_syntax(syntax)
{
   static char programName[] = "qvtool";
   m_argv.push_back(programName);
   for (int i = 0; i < argc; i++)
      m_argv.push_back(argv[i]);
   m_argv.push_back(nullptr);

   // Messages are the tool's own, so the parser stays silent; the leading ":" tells a
   // missing value apart from an unknown option.
   if (syntax.optionsFirst)
      m_shortOptions.push_back('+');
   m_shortOptions.push_back(':');
   ForEachOption(syntax, [this](const CommandOption &o) {
      if (o.key < LONG_OPTION_KEY && o.key != HELP_KEY)
      {
         m_shortOptions.push_back(static_cast<char>(o.key));
         if (o.hasArg != no_argument)
            m_shortOptions.push_back(':');
         if (o.hasArg == optional_argument)
            m_shortOptions.push_back(':');
      }
      if (o.name != nullptr)
         m_longOptions.push_back(option{o.name, o.hasArg, nullptr, o.key});
   });
   m_shortOptions.push_back(0);
   m_longOptions.push_back(option{nullptr, 0, nullptr, 0});
}

bool CommandLine::next()
{
   if (m_exitCode >= 0)
      return false;
   if (!m_started)
   {
      optind = 0;  // a new parse of a new vector
      m_started = true;
   }
   opterr = 0;
   int argc = static_cast<int>(m_argv.size()) - 1;
   int result = getopt_long(argc, m_argv.data(), m_shortOptions.data(), m_longOptions.data(), nullptr);
   if (result == -1)
   {
      m_firstOperand = optind;
      return false;
   }
   if (result == '?' || result == ':')
   {
      badOption(result);
      return false;
   }
   if (result == HELP_KEY)
   {
      m_exitCode = help();
      return false;
   }
   m_key = result;
   m_value = optarg;
   m_optionText = "-";
   m_optionText += static_cast<char>(result);
   for (const struct option &o : m_longOptions)
   {
      if (o.name != nullptr && o.val == result)
      {
         m_optionText = std::string("--") + o.name;
         break;
      }
   }
   return true;
}

bool CommandLine::onlyOperands()
{
   if (next())
      m_exitCode = usage();
   return !stopped();
}

bool CommandLine::onlyFlag(int key, bool *given)
{
   *given = false;
   while (next())
   {
      if (m_key != key)
      {
         m_exitCode = usage();
         break;
      }
      *given = true;
   }
   return !stopped();
}

void CommandLine::badOption(int result)
{
   if (optopt != 0)
   {
      if (result == ':')
         fail("option -%c needs a value", optopt);
      else
         fail("unknown option -%c", optopt);
      return;
   }
   // A long option: the argument that held it is the one before optind.
   std::string written = m_argv[static_cast<size_t>(optind - 1)];
   std::string name = written.substr(0, written.find('='));
   if (result == ':')
   {
      fail("option %s needs a value", name.c_str());
      return;
   }
   int matches = 0;
   bool exact = false;
   for (const struct option &o : m_longOptions)
   {
      if (o.name == nullptr)
         continue;
      std::string candidate = std::string("--") + o.name;
      if (candidate == name)
         exact = true;
      if (candidate.compare(0, name.size(), name) == 0)
         matches++;
   }
   if (exact || matches == 1)
      fail("option %s takes no value", name.c_str());
   else if (matches > 1)
      fail("option %s is ambiguous", name.c_str());
   else
      fail("unknown option %s", name.c_str());
}

int CommandLine::usage() const
{
   printUsage(stderr);
   return 2;
}

int CommandLine::fail(const char *format, ...) const
{
   fprintf(stderr, "qvtool%s%s: ", (m_syntax.command[0] != 0) ? " " : "", m_syntax.command);
   va_list args;
   va_start(args, format);
   vfprintf(stderr, format, args);
   va_end(args);
   fputc('\n', stderr);
   const_cast<CommandLine *>(this)->m_exitCode = usage();
   return 2;
}

int CommandLine::help() const
{
   PrintSynopsis(stdout, m_syntax);
   printf("%s\n\noptions:\n", m_syntax.description);
   ForEachOption(m_syntax, [](const CommandOption &o) {
      printf("  %-*s %s\n", OPTION_COLUMN - 3, OptionLabel(o).c_str(), o.help);
   });
   if (m_syntax.notes != nullptr)
      printf("\n%s", m_syntax.notes);
   return 0;
}

void CommandLine::printUsage(FILE *out) const
{
   PrintSynopsis(out, m_syntax);
   fprintf(out, "(qvtool%s%s --help for the options)\n", (m_syntax.command[0] != 0) ? " " : "", m_syntax.command);
}
