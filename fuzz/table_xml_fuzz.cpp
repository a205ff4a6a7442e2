/* Fuzz target for Table::createFromXML: the input, terminated, as UTF-8 XML. A table that
 * is read must be consistent and its own XML form must read back as the same table. */
#include "table_fuzz_check.h"

namespace {

volatile size_t g_sink;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   char *xml = static_cast<char *>(malloc(size + 1));
   memcpy(xml, data, size);
   xml[size] = 0;
   Table *t = Table::createFromXML(xml);
   free(xml);
   if (t != nullptr)
   {
      g_sink = table_fuzz::Walk(t);
      table_fuzz::CheckXmlRoundTrip(t);
      t->decRefCount();
   }
   return 0;
}
