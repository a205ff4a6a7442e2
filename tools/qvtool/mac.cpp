/* qvtool mac: shows what the library makes of a MAC address: its length, every notation
 * and its classes. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

const struct
{
   MacAddressNotation notation;
   const char *name;
} NOTATIONS[] = {
    {MAC_NOTATION_FLAT, "flat"},
    {MAC_NOTATION_COLON, "colon"},
    {MAC_NOTATION_COLON_PAIRS, "colon pairs"},
    {MAC_NOTATION_HYPHEN, "hyphen"},
    {MAC_NOTATION_DOT_TRIPLETS, "dot triplets"},
    {MAC_NOTATION_DOT_PAIRS, "dot pairs"},
};

const CommandSyntax SYNTAX = {"mac",   "ADDRESS", "print a MAC address in every notation, with its length and class",
                              nullptr, false,     nullptr};

}  // namespace

int CommandMac(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   argv = args.operands();
   MacAddress mac = MacAddress::parse(argv[0]);
   if (mac.length() == 0)
   {
      fprintf(stderr, "qvtool mac: \"%s\" is not a MAC address\n", argv[0]);
      return 1;
   }
   printf("%-14s%zu bytes\n", "length:", mac.length());
   for (const auto &n : NOTATIONS)
   {
      wchar_t text[MacAddress::TEXT_BUFFER_SIZE];
      mac.toString(text, n.notation);
      char *utf8 = UTF8StringFromWideString(text);
      printf("%-14s%s\n", (std::string(n.name) + ":").c_str(), utf8);
      free(utf8);
   }
   const char *kind = mac.isBroadcast() ? "broadcast" : (mac.isMulticast() ? "multicast" : "unicast");
   printf("%-14s%s%s\n", "class:", mac.isValid() ? "" : "not valid (all zero), ", kind);
   return 0;
}
