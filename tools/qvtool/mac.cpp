/* qvtool mac: shows what the library makes of a MAC address: its length, every notation
 * and its classes. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>

#include <string>

namespace {

const struct
{
   MacAddressNotation notation;
   const char *name;
   const char *jsonName;
} NOTATIONS[] = {
    {MAC_NOTATION_FLAT, "flat", "flat"},
    {MAC_NOTATION_COLON, "colon", "colon"},
    {MAC_NOTATION_COLON_PAIRS, "colon pairs", "colonPairs"},
    {MAC_NOTATION_HYPHEN, "hyphen", "hyphen"},
    {MAC_NOTATION_DOT_TRIPLETS, "dot triplets", "dotTriplets"},
    {MAC_NOTATION_DOT_PAIRS, "dot pairs", "dotPairs"},
};

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {"mac",
                              "ADDRESS [--json]",
                              "print a MAC address in every notation, with its length and class",
                              OPTIONS,
                              false,
                              "JSON fields: input, length (bytes), notations (flat, colon, colonPairs, hyphen,\n"
                              "  dotTriplets, dotPairs), valid (false when all zero), class (unicast, multicast,\n"
                              "  broadcast).\n"
                              "Exit code 1 when ADDRESS is not a MAC address.\n"};

std::string Notation(const MacAddress &mac, MacAddressNotation notation)
{
   wchar_t text[MacAddress::TEXT_BUFFER_SIZE];
   mac.toString(text, notation);
   char *utf8 = UTF8StringFromWideString(text);
   std::string result = (utf8 != nullptr) ? utf8 : "";
   free(utf8);
   return result;
}

}  // namespace

int CommandMac(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   argv = args.operands();
   MacAddress mac = MacAddress::parse(argv[0]);
   if (mac.length() == 0)
   {
      fprintf(stderr, "qvtool mac: \"%s\" is not a MAC address; give one such as 00:1a:2b:3c:4d:5e\n", argv[0]);
      return 1;
   }
   const char *kind = mac.isBroadcast() ? "broadcast" : (mac.isMulticast() ? "multicast" : "unicast");
   if (json)
   {
      json_t *notations = json_object();
      for (const auto &n : NOTATIONS)
         json_object_set_new(notations, n.jsonName, json_string(Notation(mac, n.notation).c_str()));
      return PrintJson(json_pack("{s:o, s:I, s:o, s:b, s:s}", "input", JsonText(argv[0]), "length",
                                 static_cast<json_int_t>(mac.length()), "notations", notations, "valid", mac.isValid(),
                                 "class", kind),
                       "mac");
   }
   printf("%-14s%zu bytes\n", "length:", mac.length());
   for (const auto &n : NOTATIONS)
      printf("%-14s%s\n", (std::string(n.name) + ":").c_str(), Notation(mac, n.notation).c_str());
   printf("%-14s%s%s\n", "class:", mac.isValid() ? "" : "not valid (all zero), ", kind);
   return 0;
}
