/* Internal helpers shared by the file functions: wide paths as UTF-8 and path joining. */
#ifndef QORVEL_SYSTEM_FILES_H
#define QORVEL_SYSTEM_FILES_H

#include <qv_platform.h>

namespace qv {
namespace system {

/* Debug tag of the file functions. */
constexpr const wchar_t FILES_DEBUG_TAG[] = L"files";

/* A UTF-8 copy of a wide path that frees itself; null inside for a null path or when out
 * of memory. */
class Utf8Path
{
public:
   explicit Utf8Path(const wchar_t *path) : m_text((path != nullptr) ? UTF8StringFromWideString(path) : nullptr) {}
   ~Utf8Path() { free(m_text); }
   Utf8Path(const Utf8Path &) = delete;
   Utf8Path &operator=(const Utf8Path &) = delete;

   const char *get() const { return m_text; }
   char *data() { return m_text; }
   bool valid() const { return m_text != nullptr; }

private:
   char *m_text;
};

/* New block (free()) holding directory, a separator and name; null when out of memory. */
char *JoinPath(const char *directory, const char *name);

}  // namespace system
}  // namespace qv

#endif
