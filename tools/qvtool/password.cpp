/* qvtool password: decrypts a configuration's password text, or makes the encrypted form
 * of a password, for a login name. Texts are 8-bit in the process's code page. */
#include "qvtool.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Passwords may start with "-": options end at the first operand.
const CommandSyntax SYNTAX = {"password",
                              "decrypt LOGIN TEXT\nencrypt LOGIN PASSWORD",
                              "decrypt a stored password or make its encrypted form",
                              nullptr,
                              true,
                              nullptr};

}  // namespace

int CommandPassword(int argc, char **argv)
{
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyOperands())
      return args.exitCode();
   if (args.operandCount() != 3)
      return args.usage();
   argv = args.operands();
   const char *login = argv[1];
   const char *text = argv[2];
   if (!strcmp(argv[0], "decrypt"))
   {
      // A plain text comes back whole, so the buffer holds the longer of the two.
      size_t size = strlen(text) + QV_PASSWORD_MAX_BYTES + 1;
      char *password = static_cast<char *>(malloc(size));
      if (password == nullptr)
         return 1;
      if (!DecryptPasswordA(login, text, password, size))
         fprintf(stderr, "qvtool password: the text is not an encrypted password; printed as it is\n");
      printf("%s\n", password);
      free(password);
      return 0;
   }
   if (!strcmp(argv[0], "encrypt"))
   {
      char form[QV_PASSWORD_TEXT_LENGTH + 1];
      if (!EncryptPasswordA(login, text, form, sizeof(form)))
      {
         fprintf(stderr, "qvtool password: a password can have at most %d bytes\n", QV_PASSWORD_MAX_BYTES);
         return 1;
      }
      printf("%s\n", form);
      return 0;
   }
   return args.usage();
}
