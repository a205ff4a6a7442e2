/* Command-line option parsing: short options, long options and long options with a single
 * dash, with permutation of non-option arguments behind the options. One parse state for
 * the process, as the global variables imply; not for several threads at once. */
#include <qv_platform.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

QV_BEGIN_C
QV_EXPORT int qv_optind = 1;
QV_EXPORT int qv_opterr = 1;
QV_EXPORT int qv_optopt = '?';
QV_EXPORT char *qv_optarg = nullptr;
QV_END_C

namespace {

/* The environment variable that makes the parser stop at the first non-option. */
constexpr char POSIXLY_CORRECT_VARIABLE[] = "POSIXLY_CORRECT";

/* Return values besides the option characters. */
constexpr int END_OF_OPTIONS = -1;
constexpr int ERROR_RESULT = '?';
constexpr int MISSING_ARGUMENT_RESULT = ':';
/* A non-option argument returned in order (leading "-" in the option string). */
constexpr int NON_OPTION_RESULT = 1;
/* From the long-option step: not a long option, try it as short options. */
constexpr int TRY_SHORT = -2;

enum Ordering
{
   REQUIRE_ORDER,   // stop at the first non-option
   PERMUTE,         // move non-options behind the options
   RETURN_IN_ORDER  // return non-options as arguments of option 1
};

struct ParseState
{
   bool initialized = false;
   Ordering ordering = PERMUTE;
   bool posixlyCorrect = false;
   // Rest of the cluster of short options being read ("-abc"), or null.
   char *nextChar = nullptr;
   // The block of non-options skipped so far, [firstNonOption, lastNonOption).
   int firstNonOption = 1;
   int lastNonOption = 1;
   // The vector and optind as the last call left them; when the caller changes either,
   // the cluster in progress belongs to something else and is dropped.
   char *const *argv = nullptr;
   int optindLeft = 1;
};

ParseState g_state;

struct Call
{
   int argc;
   char **argv;  // permuted in place, as every parser of this family does
   const char *optstring;
   const struct option *longopts;
   int *longindex;
   bool longOnly;
   bool printErrors;
   bool colon;  // leading ":": a missing argument returns ':'
};

bool IsNonOption(const char *argument)
{
   return argument[0] != '-' || argument[1] == 0;
}

/* Moves the skipped non-options behind the options read after them. */
void Exchange(char **argv)
{
   std::rotate(argv + g_state.firstNonOption, argv + g_state.lastNonOption, argv + qv_optind);
   g_state.firstNonOption += qv_optind - g_state.lastNonOption;
   g_state.lastNonOption = qv_optind;
}

const char *Initialize(const char *optstring)
{
   g_state.firstNonOption = g_state.lastNonOption = qv_optind;
   g_state.nextChar = nullptr;
   g_state.posixlyCorrect = getenv(POSIXLY_CORRECT_VARIABLE) != nullptr;
   if (optstring[0] == '-')
   {
      g_state.ordering = RETURN_IN_ORDER;
      optstring++;
   }
   else if (optstring[0] == '+')
   {
      g_state.ordering = REQUIRE_ORDER;
      optstring++;
   }
   else
   {
      g_state.ordering = g_state.posixlyCorrect ? REQUIRE_ORDER : PERMUTE;
   }
   g_state.initialized = true;
   return optstring;
}

/* Reads the long option at nextChar (written with prefix: "--", "-" or "-W "). */
int LongOption(const Call &call, const char *prefix, bool longOnly)
{
   char *nameStart = g_state.nextChar;
   char *nameEnd = nameStart;
   while (*nameEnd != 0 && *nameEnd != '=')
      nameEnd++;
   size_t nameLength = static_cast<size_t>(nameEnd - nameStart);

   const struct option *found = nullptr;
   int foundIndex = -1;
   for (int i = 0; call.longopts[i].name != nullptr; i++)
   {
      const struct option &o = call.longopts[i];
      if (strncmp(o.name, nameStart, nameLength) == 0 && strlen(o.name) == nameLength)
      {
         found = &o;
         foundIndex = i;
         break;
      }
   }
   if (found == nullptr)
   {
      bool ambiguous = false;
      for (int i = 0; call.longopts[i].name != nullptr; i++)
      {
         const struct option &o = call.longopts[i];
         if (strncmp(o.name, nameStart, nameLength) != 0)
            continue;
         if (found == nullptr)
         {
            found = &o;
            foundIndex = i;
         }
         else if (longOnly || o.has_arg != found->has_arg || o.flag != found->flag || o.val != found->val)
         {
            ambiguous = true;
         }
      }
      if (ambiguous)
      {
         if (call.printErrors)
            printf("option `%s%.*s' is ambiguous", prefix, static_cast<int>(nameLength), nameStart);
         g_state.nextChar = nullptr;
         qv_optind++;
         qv_optopt = 0;
         return ERROR_RESULT;
      }
   }
   if (found == nullptr)
   {
      // With a single dash, a known short option letter is read as short options.
      if (!longOnly || call.argv[qv_optind][1] == '-' || strchr(call.optstring, *g_state.nextChar) == nullptr)
      {
         if (call.printErrors)
            printf("unrecognized option `%s%s'", prefix, g_state.nextChar);
         g_state.nextChar = nullptr;
         qv_optind++;
         qv_optopt = 0;
         return ERROR_RESULT;
      }
      return TRY_SHORT;
   }

   qv_optind++;
   g_state.nextChar = nullptr;
   if (*nameEnd == '=')
   {
      if (found->has_arg == no_argument)
      {
         if (call.printErrors)
            printf("option `%s%.*s' doesn't allow an argument", prefix, static_cast<int>(nameLength), nameStart);
         qv_optopt = 0;
         return ERROR_RESULT;
      }
      qv_optarg = nameEnd + 1;
   }
   else if (found->has_arg == required_argument)
   {
      if (qv_optind >= call.argc)
      {
         if (call.printErrors)
            printf("option `%s%s' requires an argument", prefix, found->name);
         qv_optopt = 0;
         return call.colon ? MISSING_ARGUMENT_RESULT : ERROR_RESULT;
      }
      qv_optarg = call.argv[qv_optind++];
   }
   if (call.longindex != nullptr)
      *call.longindex = foundIndex;
   if (found->flag != nullptr)
   {
      *found->flag = found->val;
      return 0;
   }
   return found->val;
}

/* Moves to the next argument when the current cluster is done; returns END_OF_OPTIONS or
 * NON_OPTION_RESULT when the parse stops or hands out a non-option, 0 when nextChar is at
 * an option. */
int Advance(const Call &call)
{
   if (g_state.lastNonOption > qv_optind)
      g_state.lastNonOption = qv_optind;
   if (g_state.firstNonOption > qv_optind)
      g_state.firstNonOption = qv_optind;

   if (g_state.ordering == PERMUTE)
   {
      if (g_state.firstNonOption != g_state.lastNonOption && g_state.lastNonOption != qv_optind)
         Exchange(call.argv);
      else if (g_state.lastNonOption != qv_optind)
         g_state.firstNonOption = qv_optind;
      while (qv_optind < call.argc && IsNonOption(call.argv[qv_optind]))
         qv_optind++;
      g_state.lastNonOption = qv_optind;
   }

   // "--" ends the options; what follows it is not examined.
   if (qv_optind != call.argc && strcmp(call.argv[qv_optind], "--") == 0)
   {
      qv_optind++;
      if (g_state.firstNonOption != g_state.lastNonOption && g_state.lastNonOption != qv_optind)
         Exchange(call.argv);
      else if (g_state.firstNonOption == g_state.lastNonOption)
         g_state.firstNonOption = qv_optind;
      g_state.lastNonOption = call.argc;
      qv_optind = call.argc;
   }

   if (qv_optind == call.argc)
   {
      // Leave optind at the first non-option, now behind the options.
      if (g_state.firstNonOption != g_state.lastNonOption)
         qv_optind = g_state.firstNonOption;
      return END_OF_OPTIONS;
   }

   if (IsNonOption(call.argv[qv_optind]))
   {
      if (g_state.ordering == REQUIRE_ORDER)
         return END_OF_OPTIONS;
      qv_optarg = call.argv[qv_optind++];
      return NON_OPTION_RESULT;
   }
   return 0;
}

/* The next short option of the cluster at nextChar. */
int ShortOption(const Call &call)
{
   char c = *g_state.nextChar++;
   const char *entry = strchr(call.optstring, c);
   if (*g_state.nextChar == 0)
      qv_optind++;

   if (entry == nullptr || c == ':' || c == ';')
   {
      if (call.printErrors)
         printf(g_state.posixlyCorrect ? "illegal option -- %c" : "invalid option -- %c", c);
      qv_optopt = static_cast<unsigned char>(c);
      return ERROR_RESULT;
   }

   // "W;": -W foo means --foo.
   if (entry[0] == 'W' && entry[1] == ';' && call.longopts != nullptr)
   {
      // The long option is "-Wfoo"'s rest or the next argument; reading it moves optind
      // past that argument.
      if (*g_state.nextChar == 0)
      {
         if (qv_optind == call.argc)
         {
            if (call.printErrors)
               printf("option requires an argument -- %c", c);
            qv_optopt = static_cast<unsigned char>(c);
            g_state.nextChar = nullptr;
            return call.colon ? MISSING_ARGUMENT_RESULT : ERROR_RESULT;
         }
         g_state.nextChar = call.argv[qv_optind];
      }
      return LongOption(call, "-W ", false);
   }

   if (entry[1] == ':')
   {
      if (entry[2] == ':')
      {
         // Optional: only in the same argument.
         if (*g_state.nextChar != 0)
         {
            qv_optarg = g_state.nextChar;
            qv_optind++;
         }
      }
      else if (*g_state.nextChar != 0)
      {
         qv_optarg = g_state.nextChar;
         qv_optind++;
      }
      else if (qv_optind == call.argc)
      {
         if (call.printErrors)
            printf("option requires an argument -- %c", c);
         qv_optopt = static_cast<unsigned char>(c);
         c = call.colon ? MISSING_ARGUMENT_RESULT : ERROR_RESULT;
      }
      else
      {
         qv_optarg = call.argv[qv_optind++];
      }
      g_state.nextChar = nullptr;
   }
   return static_cast<unsigned char>(c);
}

int Parse(Call &call)
{
   qv_optarg = nullptr;
   if (call.argc < 1 || call.argv == nullptr || call.optstring == nullptr)
      return END_OF_OPTIONS;

   if (qv_optind == 0 || !g_state.initialized)
   {
      if (qv_optind == 0)
         qv_optind = 1;
      call.optstring = Initialize(call.optstring);
   }
   else
   {
      if (call.argv != g_state.argv || qv_optind != g_state.optindLeft)
         g_state.nextChar = nullptr;
      if (call.optstring[0] == '-' || call.optstring[0] == '+')
         call.optstring++;
   }
   if (call.optstring[0] == ':')
   {
      call.colon = true;
      call.printErrors = false;
   }
   if (qv_optind < 1 || qv_optind > call.argc)
      return END_OF_OPTIONS;

   if (g_state.nextChar == nullptr || *g_state.nextChar == 0)
   {
      int result = Advance(call);
      if (result != 0)
         return result;
      char *argument = call.argv[qv_optind];
      if (call.longopts != nullptr)
      {
         if (argument[1] == '-')
         {
            g_state.nextChar = argument + 2;
            return LongOption(call, "--", false);
         }
         // A single dash: tried as a long option when it is more than one letter or a
         // letter that is no short option.
         if (call.longOnly && (argument[2] != 0 || strchr(call.optstring, argument[1]) == nullptr))
         {
            g_state.nextChar = argument + 1;
            int code = LongOption(call, "-", true);
            if (code != TRY_SHORT)
               return code;
         }
      }
      g_state.nextChar = argument + 1;
   }
   return ShortOption(call);
}

int GetOpt(int argc, char *const *argv, const char *optstring, const struct option *longopts, int *longindex,
           bool longOnly)
{
   Call call = {argc, const_cast<char **>(argv), optstring, longopts, longindex, longOnly, qv_opterr != 0, false};
   int result = Parse(call);
   g_state.argv = argv;
   g_state.optindLeft = qv_optind;
   return result;
}

}  // namespace

QV_API int qv_getopt(int argc, char *const *argv, const char *optstring)
{
   return GetOpt(argc, argv, optstring, nullptr, nullptr, false);
}

QV_API int qv_getopt_long(int argc, char *const *argv, const char *optstring, const struct option *longopts,
                          int *longindex)
{
   return GetOpt(argc, argv, optstring, longopts, longindex, false);
}

QV_API int qv_getopt_long_only(int argc, char *const *argv, const char *optstring, const struct option *longopts,
                               int *longindex)
{
   return GetOpt(argc, argv, optstring, longopts, longindex, true);
}
