/* qvtool addr: shows what the library makes of a numeric address or subnet
 * ("ADDR" or "ADDR/BITS"): family, canonical text, mask bits, subnet and classes. */
#include "qvtool.h"

#include <stdio.h>
#include <string.h>
#include <sys/socket.h>

#include <string>

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

std::string Classes(const InetAddress &addr)
{
   std::string classes;
   auto add = [&classes](bool holds, const char *name) {
      if (!holds)
         return;
      if (!classes.empty())
         classes += ", ";
      classes += name;
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

const CommandSyntax SYNTAX = {
    "addr", "ADDRESS[/BITS]", "print the family, text, subnet and classes of an address", nullptr, false, nullptr};

}  // namespace

int CommandAddr(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   std::string input = args.operand(0);
   size_t slash = input.find('/');
   std::string text = input.substr(0, slash);
   InetAddress addr = InetAddress::parse(text.c_str());
   if (!addr.isValid())
   {
      fprintf(stderr, "qvtool addr: \"%s\" is not a numeric IPv4 or IPv6 address\n", text.c_str());
      return 1;
   }
   bool v4 = (addr.getFamily() == AF_INET);
   if (slash != std::string::npos)
   {
      int bits = ParseBits(input.c_str() + slash + 1);
      if (bits < 0 || bits > (v4 ? IPV4_BITS : IPV6_BITS))
      {
         fprintf(stderr, "qvtool addr: bad prefix length \"%s\"\n", input.c_str() + slash + 1);
         return 1;
      }
      addr.setMaskBits(bits);
   }

   char buffer[InetAddress::TEXT_BUFFER_SIZE];
   printf("family:     %s (%d)\n", v4 ? "IPv4" : "IPv6", addr.getFamily());
   printf("address:    %s\n", addr.toStringA(buffer));
   printf("mask bits:  %d\n", addr.getMaskBits());
   printf("subnet:     %s/%d\n", addr.getSubnetAddress().toStringA(buffer), addr.getMaskBits());
   if (v4)
      printf("broadcast:  %s\n", addr.getSubnetBroadcast().toStringA(buffer));
   printf("class:      %s\n", Classes(addr).c_str());
   return 0;
}
