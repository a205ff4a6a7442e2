/* Checks shared by the table fuzz targets: a table read from outside input must be
 * consistent, and its XML form must read back as the same table. */
#ifndef QORVEL_FUZZ_TABLE_FUZZ_CHECK_H
#define QORVEL_FUZZ_TABLE_FUZZ_CHECK_H

#include <qorvel.h>

#include <stdlib.h>
#include <string.h>

namespace table_fuzz {

inline void Check(bool condition)
{
   if (!condition)
      abort();
}

/* Reads every cell and attribute of t; returns a sum for the caller's sink. */
inline size_t Walk(Table *t)
{
   size_t sum = wcslen(t->getTitle()) + static_cast<size_t>(t->getSource());
   for (int c = 0; c < t->getNumColumns(); c++)
   {
      const TableColumnDefinition *d = t->getColumnDefinition(c);
      Check(d != nullptr && wcslen(d->getName()) < TableColumnDefinition::NAME_BUFFER_SIZE);
      Check(wcslen(d->getDisplayName()) < TableColumnDefinition::DISPLAY_NAME_BUFFER_SIZE);
      sum += static_cast<size_t>(d->getDataType()) + d->isInstanceColumn();
   }
   wchar_t instance[8];
   for (int r = 0; r < t->getNumRows(); r++)
   {
      sum += t->getObjectId(r) + static_cast<size_t>(t->getBaseRow(r));
      for (int c = 0; c < t->getNumColumns(); c++)
      {
         const wchar_t *value = t->getAsString(r, c);
         sum += (value != nullptr) ? wcslen(value) : 0;
         sum += static_cast<size_t>(t->getStatus(r, c)) + t->getCellObjectId(r, c);
         sum += static_cast<size_t>(t->getAsInt64(r, c));
      }
      t->buildInstanceString(r, instance, sizeof(instance) / sizeof(instance[0]));
      sum += instance[0];
   }
   return sum;
}

/* The XML form of t must read back as a table of the same shape, values and statuses. */
inline void CheckXmlRoundTrip(const Table *t)
{
   wchar_t *xml = t->createXML();
   Check(xml != nullptr);
   char *utf8 = UTF8StringFromWideString(xml);
   free(xml);
   Table *back = Table::createFromXML(utf8);
   free(utf8);
   Check(back != nullptr);
   Check(back->getNumRows() == t->getNumRows() && back->getNumColumns() == t->getNumColumns());
   Check(wcscmp(back->getTitle(), t->getTitle()) == 0 && back->getSource() == t->getSource());
   for (int r = 0; r < t->getNumRows(); r++)
   {
      Check(back->getObjectId(r) == t->getObjectId(r) && back->getBaseRow(r) == t->getBaseRow(r));
      for (int c = 0; c < t->getNumColumns(); c++)
      {
         Check(wcscmp(back->getAsString(r, c, L""), t->getAsString(r, c, L"")) == 0);
         Check(back->getStatus(r, c) == t->getStatus(r, c));
      }
   }
   back->decRefCount();
}

}  // namespace table_fuzz

#endif
