/* Fuzz target for the installation directory taken from the environment: the input,
 * up to its first zero byte, is QORVEL_HOME (8-bit text of the default code page). Every
 * directory type must give a terminated path within QV_MAX_PATH characters that starts
 * with the variable's text or with what is left of it, and nothing past the buffer may
 * change. */
#include <qorvel.h>

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

volatile size_t g_sink;

/* Characters after the buffer that must stay as they are. */
constexpr size_t GUARD_CHARS = 16;
constexpr wchar_t GUARD = 0x5A5A;

/* Directory types tried, known and unknown. */
const int TYPES[] = {-1, QV_DIR_BIN, QV_DIR_VAR, QV_DIR_ETC, QV_DIR_LIB, QV_DIR_SHARE, QV_DIR_INSTALLATION, 1000};

void Check(bool condition)
{
   if (!condition)
      abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   std::string home(reinterpret_cast<const char *>(data), strnlen(reinterpret_cast<const char *>(data), size));
   setenv("QORVEL_HOME", home.c_str(), 1);
   wchar_t buffer[QV_MAX_PATH + GUARD_CHARS];
   for (int type : TYPES)
   {
      for (size_t i = 0; i < QV_MAX_PATH + GUARD_CHARS; i++)
         buffer[i] = GUARD;
      GetQorvelDirectory(type, buffer);
      size_t length = 0;
      while (length < QV_MAX_PATH && buffer[length] != 0)
         length++;
      Check(length < QV_MAX_PATH);
      for (size_t i = QV_MAX_PATH; i < QV_MAX_PATH + GUARD_CHARS; i++)
         Check(buffer[i] == GUARD);
      g_sink += length;
   }
   unsetenv("QORVEL_HOME");
   return 0;
}
