/* Switches the character type locale for a scope, for tests of case folding and white
 * space beyond ASCII (which the plain C locale does not know). */
#ifndef QV_TESTS_TEXT_CTYPE_LOCALE_H
#define QV_TESTS_TEXT_CTYPE_LOCALE_H

#include <locale.h>

#include <string>

class CtypeLocale
{
public:
   explicit CtypeLocale(const char *name) : m_previous(setlocale(LC_CTYPE, nullptr))
   {
      m_ok = setlocale(LC_CTYPE, name) != nullptr;
   }
   ~CtypeLocale() { setlocale(LC_CTYPE, m_previous.c_str()); }
   bool ok() const { return m_ok; }

private:
   std::string m_previous;
   bool m_ok;
};

#endif
