/* The field index of a message. While a message has few fields it is their list in order,
 * with their identifiers and blocks in an array beside it (ListIndex): scanning a handful
 * of identifiers is cheaper than hashing, and small messages are the common case. With
 * more, it is an open-addressing table of identifiers (FieldTable) beside the same order
 * links. Either is found through the first field. */
#include "platform/random.h"
#include "protocol/message_internals.h"

namespace qv::protocol {

using Field = QVCPMessage::Field;

namespace {

/* Smallest table: a list that outgrows LIST_INDEX_LIMIT lands in it with room to spare. */
constexpr unsigned MIN_TABLE_LOG2 = 6;

/* An empty array for a listed index. Like the tables, it has no way to report that the
 * pool is out of memory. */
ListIndex *NewList(MemoryPool &pool)
{
   auto *list = static_cast<ListIndex *>(pool.allocate(sizeof(ListIndex)));
   if (list == nullptr)
      exit(-1);
   ClearList(list);
   return list;
}

void AddToList(ListIndex *list, Field *field)
{
   list->keys[list->count] = field->key;
   list->fields[list->count] = field;
   list->count++;
   list->present |= PresenceBit(field->key);
}

void RemoveFromList(ListIndex *list, uint32_t i)
{
   list->count--;
   memmove(&list->keys[i], &list->keys[i + 1], (list->count - i) * sizeof(list->keys[0]));
   memmove(&list->fields[i], &list->fields[i + 1], (list->count - i) * sizeof(list->fields[0]));
   list->keys[list->count] = 0;
}

/* Puts field, whose identifier key is not in the table yet, into a free slot. */
void AddToTable(FieldTable *table, uint32_t key, Field *field)
{
   uint32_t mask = table->mask();
   uint32_t i = SlotOf(key, table);
   while (table->slots[i].field != nullptr)
      i = (i + 1) & mask;
   table->slots[i].field = field;
   table->slots[i].key = key;
   table->count++;
}

/* The odd multiplier of every field table of this process, drawn once. */
uint64_t FieldHashMultiplier()
{
   static const uint64_t multiplier = [] {
      // Without random bytes the golden-ratio multiplier still spreads ordinary identifiers.
      uint64_t value = 0x9E3779B97F4A7C15ull;
      qv::platform::RandomBytes(&value, sizeof(value));
      return value | 1;
   }();
   return multiplier;
}

}  // namespace

FieldTable *MessageInternals::newTable(QVCPMessage *msg, size_t expected)
{
   unsigned log2 = MIN_TABLE_LOG2;
   while (log2 < 31 && (size_t(1) << log2) / 2 < expected)
      log2++;
   size_t slots = size_t(1) << log2;
   auto *table = static_cast<FieldTable *>(msg->m_pool.allocate(sizeof(FieldTable) + slots * sizeof(FieldSlot)));
   if (table == nullptr)
      return nullptr;
   table->multiplier = FieldHashMultiplier();
   table->count = 0;
   table->shift = 32 - log2;
   table->last = nullptr;
   table->slots = reinterpret_cast<FieldSlot *>(table + 1);
   memset(table->slots, 0, slots * sizeof(FieldSlot));
   return table;
}

void MessageInternals::unlinkField(QVCPMessage *msg, Field *field)
{
   Field *prev = field->prev;
   Field *next = field->next;
   if (prev != nullptr)
   {
      prev->next = next;
   }
   else
   {
      msg->m_fields = next;
      if (next != nullptr)
         next->index = field->index;  // the index stays with the first field
   }
   if (next != nullptr)
      next->prev = prev;
}

void MessageInternals::appendField(QVCPMessage *msg, Field *field, Field *last)
{
   field->prev = last;
   field->next = nullptr;
   field->index = nullptr;
   if (last != nullptr)
      last->next = field;
   else
      msg->m_fields = field;
}

void MessageInternals::indexField(QVCPMessage *msg, Field *field)
{
   // The rare ways, out of line, so that adding a new field to a list stays short.
   auto addHashed = [msg](Field * added) __attribute__((noinline))
   {
      FieldTable *table = TableOf(msg->m_fields);
      if ((table->count + 1) > (table->mask() + 1) / 2)
         table = growTable(msg, table->count + 1);
      Field *old = PutInTable(table, added);
      if (old != nullptr)
      {
         if (table->last == old)
            table->last = old->prev;
         unlinkField(msg, old);
      }
      appendField(msg, added, table->last);
      if (msg->m_fields == added)
         SetTableOf(added, table);
      table->last = added;
   };
   auto dropListed = [msg](ListIndex * list, uint32_t key) __attribute__((noinline))
   {
      int old = FindInList(list, key);
      if (old >= 0)
      {
         unlinkField(msg, list->fields[old]);
         RemoveFromList(list, static_cast<uint32_t>(old));
      }
   };

   if (IsHashed(msg->m_fields))
   {
      addHashed(field);
      return;
   }
   ListIndex *list = (msg->m_fields != nullptr) ? ListOf(msg->m_fields) : NewList(msg->m_pool);
   // A new identifier, the common case, is told by its presence bit without a search;
   // the array was written a moment ago, and reading it whole would stall on those writes.
   if ((list->present & PresenceBit(field->key)) != 0)
      dropListed(list, field->key);
   uint32_t count = list->count;
   Field *last = (count > 0) ? list->fields[count - 1] : nullptr;
   appendField(msg, field, last);
   if (last == nullptr)
      SetListOf(field, list);
   if (count == LIST_INDEX_LIMIT)
      hashFields(msg, LIST_INDEX_LIMIT + 1);
   else
      AddToList(list, field);
}

void MessageInternals::finishIndex(QVCPMessage *msg, size_t count, bool mayRepeat)
{
   if (count > LIST_INDEX_LIMIT)
   {
      hashFields(msg, count);
      return;
   }
   if (mayRepeat)
   {
      // A field whose identifier comes again later gives way to the later one.
      for (Field *f = msg->m_fields; f != nullptr;)
      {
         Field *next = NextField(f);
         for (Field *later = next; later != nullptr; later = NextField(later))
         {
            if (later->key == f->key)
            {
               unlinkField(msg, f);
               break;
            }
         }
         f = next;
      }
   }
   if (msg->m_fields == nullptr)
      return;
   ListIndex *list = NewList(msg->m_pool);
   uint32_t n = 0;
   uint64_t present = 0;
   for (Field *f = msg->m_fields; f != nullptr; f = NextField(f), n++)
   {
      list->keys[n] = f->key;
      list->fields[n] = f;
      present |= PresenceBit(f->key);
   }
   list->count = n;
   list->present = present;
   SetListOf(msg->m_fields, list);
}

void MessageInternals::hashFields(QVCPMessage *msg, size_t expected)
{
   if (msg->m_fields == nullptr)
      return;
   FieldTable *table = newTable(msg, expected);
   if (table == nullptr)
      exit(-1);  // as a list, the index has no way to report it
   Field *last = nullptr;
   for (Field *f = msg->m_fields; f != nullptr;)
   {
      Field *next = NextField(f);
      // A field whose identifier comes again gives way to the later one, which keeps
      // its place.
      Field *old = PutInTable(table, f);
      if (old != nullptr)
         unlinkField(msg, old);
      last = f;
      f = next;
   }
   table->last = last;
   SetTableOf(msg->m_fields, table);
}

FieldTable *MessageInternals::growTable(QVCPMessage *msg, size_t expected)
{
   // The old slots hold every identifier and block, side by side: the fields themselves
   // are not read.
   FieldTable *old = TableOf(msg->m_fields);
   FieldTable *table = newTable(msg, expected);
   if (table == nullptr)
      exit(-1);  // as a list, the index has no way to report it
   for (uint32_t i = 0; i <= old->mask(); i++)
   {
      const FieldSlot &slot = old->slots[i];
      if (slot.field != nullptr)
         AddToTable(table, slot.key, slot.field);
   }
   table->last = old->last;
   SetTableOf(msg->m_fields, table);
   return table;
}

/* Kept out of line, so that the listed lookup stays small enough to be inlined into every
 * getter. */
__attribute__((noinline)) Field *MessageInternals::findHashed(const Field *head, uint32_t fieldId)
{
   return FindInTable(TableOf(head), fieldId);
}

}  // namespace qv::protocol
