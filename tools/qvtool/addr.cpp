/* qvtool addr: shows what the library makes of a numeric address or subnet
 * ("ADDR" or "ADDR/BITS"): family, canonical text, mask bits, subnet and classes. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <string>
#include <vector>

namespace {

/* Widths of the families in bits, the largest prefix length each takes. */
constexpr int IPV4_BITS = 32;
constexpr int IPV6_BITS = 128;

/* Digits a prefix length may have. */
constexpr size_t MAX_BITS_DIGITS = 3;

/* The prefix length in text (decimal digits only), or -1. */
int ParseBits(const char *text)
{
   size_t length = strlen(text);
   if (length == 0 || length > MAX_BITS_DIGITS)
      return -1;
   int bits = 0;
   for (size_t i = 0; i < length; i++)
   {
      if (text[i] < '0' || text[i] > '9')
         return -1;
      bits = bits * 10 + (text[i] - '0');
   }
   return bits;
}

/* The names of the classes the address belongs to. */
std::vector<const char *> Classes(const InetAddress &addr)
{
   std::vector<const char *> classes;
   auto add = [&classes](bool holds, const char *name) {
      if (holds)
         classes.push_back(name);
   };
   add(addr.isAnyLocal(), "any");
   add(addr.isLoopback(), "loopback");
   add(addr.isMulticast(), "multicast");
   add(addr.isBroadcast(), "broadcast");
   add(addr.isLinkLocal(), "link-local");
   add(addr.isValidUnicast(), "valid unicast");
   // Subnets of two addresses or fewer (/31, /32) have no broadcast address of their own.
   int bits = addr.getMaskBits();
   add(bits > 0 && bits < IPV4_BITS - 1 && addr.isSubnetBroadcast(bits) && !addr.isBroadcast(), "subnet broadcast");
   add(addr.getHostBits() > 0 && addr.getSubnetAddress().equals(addr), "subnet address");
   return classes;
}

const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "addr",
    "ADDRESS[/BITS] [--json]",
    "print the family, text, subnet and classes of an address",
    OPTIONS,
    false,
    "JSON fields: input, family (the family code), address, prefixLength, familyName (IPv4, IPv6),\n"
    "  subnet (the subnet's address), broadcast (IPv4 only; null for IPv6), classes (array of any,\n"
    "  loopback, multicast, broadcast, link-local, valid unicast, subnet broadcast, subnet address).\n"
    "Exit code 1 when ADDRESS is not a numeric address or BITS not a prefix length of its family.\n"};

/* The facts as one JSON object; null when out of memory. */
json_t *AddressJson(const char *input, const InetAddress &addr, bool v4)
{
   char buffer[InetAddress::TEXT_BUFFER_SIZE];
   json_t *object = addr.toJson();
   json_t *classes = json_array();
   for (const char *name : Classes(addr))
      json_array_append_new(classes, json_string(name));
   bool ok = object != nullptr && classes != nullptr && json_object_set_new(object, "input", JsonText(input)) == 0 &&
             json_object_set_new(object, "familyName", json_string(v4 ? "IPv4" : "IPv6")) == 0 &&
             json_object_set_new(object, "subnet", json_string(addr.getSubnetAddress().toStringA(buffer))) == 0 &&
             json_object_set_new(object, "broadcast",
                                 v4 ? json_string(addr.getSubnetBroadcast().toStringA(buffer)) : json_null()) == 0;
   json_object_set_new(object, "classes", classes);
   if (!ok)
   {
      json_decref(object);
      return nullptr;
   }
   return object;
}

}  // namespace

int CommandAddr(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   std::string input = args.operand(0);
   size_t slash = input.find('/');
   std::string text = input.substr(0, slash);
   InetAddress addr = InetAddress::parse(text.c_str());
   if (!addr.isValid())
   {
      fprintf(stderr,
              "qvtool addr: \"%s\" is not a numeric IPv4 or IPv6 address; give one such as 192.0.2.1 or 2001:db8::1\n",
              text.c_str());
      return 1;
   }
   bool v4 = (addr.getFamily() == AF_INET);
   if (slash != std::string::npos)
   {
      int bits = ParseBits(input.c_str() + slash + 1);
      if (bits < 0 || bits > (v4 ? IPV4_BITS : IPV6_BITS))
      {
         fprintf(stderr, "qvtool addr: bad prefix length \"%s\"; give 0 to %d bits\n", input.c_str() + slash + 1,
                 v4 ? IPV4_BITS : IPV6_BITS);
         return 1;
      }
      addr.setMaskBits(bits);
   }

   if (json)
      return PrintJson(AddressJson(input.c_str(), addr, v4), "addr");
   char buffer[InetAddress::TEXT_BUFFER_SIZE];
   printf("family:     %s (%d)\n", v4 ? "IPv4" : "IPv6", addr.getFamily());
   printf("address:    %s\n", addr.toStringA(buffer));
   printf("mask bits:  %d\n", addr.getMaskBits());
   printf("subnet:     %s/%d\n", addr.getSubnetAddress().toStringA(buffer), addr.getMaskBits());
   if (v4)
      printf("broadcast:  %s\n", addr.getSubnetBroadcast().toStringA(buffer));
   std::string classes;
   for (const char *name : Classes(addr))
      classes += (classes.empty() ? "" : ", ") + std::string(name);
   printf("class:      %s\n", classes.c_str());
   return 0;
}
