/* Fuzz target for Table::createFromPackedXML: the input, terminated, as a packed text. A
 * table that is read must be consistent and pack into a text that reads back. */
#include "table_fuzz_check.h"

namespace {

volatile size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   char *text = static_cast<char *>(malloc(size + 1));
   memcpy(text, data, size);
   text[size] = 0;
   Table *t = Table::createFromPackedXML(text);
   free(text);
   if (t != nullptr)
   {
      g_sink = table_fuzz::Walk(t);
      table_fuzz::CheckXmlRoundTrip(t);
      char *packed = t->createPackedXML();
      table_fuzz::Check(packed != nullptr);
      Table *again = Table::createFromPackedXML(packed);
      free(packed);
      table_fuzz::Check(again != nullptr && again->getNumRows() == t->getNumRows());
      again->decRefCount();
      t->decRefCount();
   }
   return 0;
}
