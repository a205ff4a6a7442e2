/* A small table for the tests of the tools that show tables. */
#ifndef QORVEL_TESTS_SUPPORT_SAMPLE_TABLE_H
#define QORVEL_TESTS_SUPPORT_SAMPLE_TABLE_H

#include <qorvel.h>

namespace qvtest {

/* Two columns, the first an instance column with a wide display name, and two rows with
 * a tab, a null cell and CJK text; the caller releases it with decRefCount. */
inline Table *SampleTable()
{
   Table *t = new Table();
   t->setTitle(L"Interfaces");
   t->setSource(2);
   t->addColumn(L"name", 0, L"Interface", true);
   t->addColumn(L"addr", 0, L"Address");
   t->addRow();
   t->set(0, L"eth0");
   t->set(1, L"10.0.0.1\t(primary)");
   t->addRow();
   t->set(0, L"\x4E2D\x6587");
   return t;
}

}  // namespace qvtest

#endif
