/* qvtool keygen: makes a new 2048-bit RSA key pair and writes it as the library's key file
 * (the form LoadRSAKeys reads), readable by its owner only. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>

namespace {

/* Modulus size of the keys made. */
const int KEY_BITS = 2048;

const CommandSyntax SYNTAX = {"keygen", "FILE", "write a new RSA key pair to a key file", nullptr, false, nullptr};

}  // namespace

int CommandKeygen(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 1)
      return args.usage();
   argv = args.operands();
   RSA_KEY key = RSAGenerateKey(KEY_BITS);
   if (key == nullptr)
   {
      fprintf(stderr, "qvtool keygen: cannot generate an RSA key; check the crypto library's installation\n");
      return 1;
   }
   wchar_t *name = WideStringFromUTF8String(argv[0]);
   bool saved = SaveRSAKeys(key, name);
   free(name);
   RSAFree(key);
   if (!saved)
   {
      fprintf(stderr, "qvtool keygen: %s: cannot write the key file; check the directory and its permissions\n",
              argv[0]);
      return 1;
   }
   return 0;
}
