/* Loading modules (shared objects) and looking up their symbols, with debug lines. */
#include <qv_platform.h>
#include <qv_log.h>

#include "platform/process_info.h"
#include "system/files.h"

using namespace qv::platform;

namespace {

const wchar_t DEBUG_TAG[] = L"dload";
constexpr int32_t DEBUG_LEVEL = 7;

/* Characters of a caller's error text buffer, terminator included. */
constexpr size_t ERROR_TEXT_CHARS = 256;

/* Room for the system's reason, in bytes. */
constexpr size_t REASON_BYTES = 1024;

void FillErrorText(wchar_t *errorText, const char *reason)
{
   if (errorText != nullptr)
      utf8_to_wchar(reason, -1, errorText, static_cast<int>(ERROR_TEXT_CHARS));
}

}  // namespace

QV_API void *DLOpen(const wchar_t *fileName, wchar_t *errorText)
{
   char reason[REASON_BYTES];
   void *module = nullptr;
   qv::system::Utf8Path path(fileName);
   if (!path.valid())
      strlcpy(reason, "no file name", sizeof(reason));
   else
      module = ModuleLoad(path.get(), reason, sizeof(reason));
   if (module == nullptr)
      FillErrorText(errorText, reason);
   qvlog_debug_tag(DEBUG_TAG, DEBUG_LEVEL, L"DLOpen: file=\"%s\", module=%p", (fileName != nullptr) ? fileName : L"",
                   module);
   return module;
}

QV_API void DLClose(void *module)
{
   if (module == nullptr)
      return;
   qvlog_debug_tag(DEBUG_TAG, DEBUG_LEVEL, L"DLClose: module=%p", module);
   ModuleUnload(module);
}

QV_API void *DLGetSymbolAddr(void *module, const char *symbol, wchar_t *errorText)
{
   char reason[REASON_BYTES];
   void *address = nullptr;
   // The platform reads a null module as "every loaded module", which no caller means.
   if (module == nullptr || symbol == nullptr)
      strlcpy(reason, (module == nullptr) ? "no module" : "no symbol name", sizeof(reason));
   else
      address = ModuleSymbol(module, symbol, reason, sizeof(reason));
   if (address == nullptr)
      FillErrorText(errorText, reason);
   qvlog_debug_tag(DEBUG_TAG, DEBUG_LEVEL, L"DLGetSymbolAddr: module=%p, symbol=%hs, address=%p", module,
                   (symbol != nullptr) ? symbol : "(null)", address);
   return address;
}
