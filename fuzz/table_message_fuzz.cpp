/* Fuzz target for the table and collection message forms, on the input of
 * message_fuzz_input.h: a message that deserializes is read as a table (and updated from
 * again), and around each of its first field ids as a string list, string map, string
 * set, integer array, address and column definition. A table read must be consistent
 * and write itself into a message that reads back as the same shape. */
#include "message_fuzz_input.h"
#include "table_fuzz_check.h"

namespace {

volatile size_t g_sink;

/* Field ids of a message used as count fields of the collections, at most. */
constexpr size_t MAX_IDS = 16;

using table_fuzz::Check;

size_t ReadCollections(const QVCPMessage *msg)
{
   uint32_t ids[MAX_IDS];
   size_t count = msg->getFieldIds(ids, MAX_IDS);
   size_t sum = 0;
   for (size_t i = 0; i < count && i < MAX_IDS; i++)
   {
      uint32_t id = ids[i];
      StringList list(msg, id + 1, id);
      Check(list.size() >= 0 && static_cast<size_t>(list.size()) <= msg->getFieldIds(nullptr, 0));
      for (int32_t n = 0; n < list.size(); n++)
         sum += (list.get(n) != nullptr) ? wcslen(list.get(n)) : 0;

      StringMap map;
      map.loadMessage(msg, id, id + 1);
      sum += static_cast<size_t>(map.size());

      StringSet set;
      set.addAllFromMessage(msg, id + 1, id, true, (id & 1) != 0);
      sum += set.join(L",").length();

      IntegerArray<unsigned int> values;
      sum += msg->getFieldAsInt32Array(id, &values);
      Check(values.size() >= 0);

      InetAddress addr = msg->getFieldAsInetAddress(id);
      sum += static_cast<size_t>(addr.getFamily()) + static_cast<size_t>(addr.getMaskBits());
      wchar_t text[InetAddress::TEXT_BUFFER_SIZE];
      addr.toString(text);

      TableColumnDefinition column(msg, id);
      sum += wcslen(column.getName()) + wcslen(column.getDisplayName());
   }
   return sum;
}

void CheckTable(QVCPMessage *msg)
{
   Table *t = new Table(msg);
   g_sink = table_fuzz::Walk(t);
   // A table never has more rows or columns than the message has fields (rows without
   // cells aside, which are bounded the same way).
   size_t fields = msg->getFieldIds(nullptr, 0);
   Check(static_cast<size_t>(t->getNumColumns()) <= fields && static_cast<size_t>(t->getNumRows()) <= fields);

   QVCPMessage out;
   Check(t->fillMessage(out, 0, -1) == t->getNumRows());
   Table *back = new Table(&out);
   Check(back->getNumColumns() == t->getNumColumns());
   Check(back->getNumRows() == t->getNumRows() || (t->getNumColumns() == 0 && !t->isExtendedFormat()));
   back->updateFromMessage(msg);
   Check(back->getNumRows() == t->getNumRows() && back->getNumColumns() == t->getNumColumns());
   back->decRefCount();
   t->decRefCount();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
   if (size < 1)
      return 0;
   MessageFuzzInput input(data, size);
   QVCPMessage *msg = QVCPMessage::deserialize(input.message(), input.length, input.version);
   if (msg != nullptr)
   {
      CheckTable(msg);
      g_sink = ReadCollections(msg);
      delete msg;
   }
   return 0;
}
