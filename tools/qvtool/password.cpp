/* qvtool password: decrypts a configuration's password text, or makes the encrypted form
 * of a password, for a login name. Texts are 8-bit in the process's code page. */
#include "qvtool.h"

#include "json_output.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Passwords may start with "-": options end at the first operand.
const CommandOption OPTIONS[] = {
    JSON_OPTION,
    {nullptr, 0, 0, nullptr, nullptr},
};

const CommandSyntax SYNTAX = {
    "password",
    "[--json] decrypt LOGIN TEXT\n[--json] encrypt LOGIN PASSWORD",
    "decrypt a stored password or make its encrypted form",
    OPTIONS,
    true,
    "JSON fields: decrypt: login, password, wasEncrypted (false when TEXT was not an encrypted\n"
    "  password and is given back as it is); encrypt: login, encrypted (the encrypted form).\n"
    "Exit code 1 when PASSWORD is too long to encrypt.\n"};

}  // namespace

int CommandPassword(int argc, char **argv)
{
   bool json = false;
   CommandLine args(SYNTAX, argc, argv);
   if (!args.onlyFlag(JSON_OPTION_KEY, &json))
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
      {
         fprintf(stderr, "qvtool password: out of memory; try a shorter text\n");
         return 1;
      }
      bool decrypted = DecryptPasswordA(login, text, password, size);
      int result = 0;
      if (json)
      {
         result = PrintJson(json_pack("{s:o, s:o, s:b}", "login", JsonText(login), "password", JsonText(password),
                                      "wasEncrypted", decrypted),
                            "password");
      }
      else
      {
         if (!decrypted)
            fprintf(stderr, "qvtool password: the text is not an encrypted password; printed as it is\n");
         printf("%s\n", password);
      }
      free(password);
      return result;
   }
   if (!strcmp(argv[0], "encrypt"))
   {
      char form[QV_PASSWORD_TEXT_LENGTH + 1];
      if (!EncryptPasswordA(login, text, form, sizeof(form)))
      {
         fprintf(stderr, "qvtool password: a password can have at most %d bytes; choose a shorter one\n",
                 QV_PASSWORD_MAX_BYTES);
         return 1;
      }
      if (json)
         return PrintJson(json_pack("{s:o, s:s}", "login", JsonText(login), "encrypted", form), "password");
      printf("%s\n", form);
      return 0;
   }
   return args.usage();
}
