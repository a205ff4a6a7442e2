/* The field index of a message. While a message has few fields it is their list in order,
 * with their identifiers and blocks in an array beside it (ListIndex): scanning a handful
 * of identifiers is cheaper than hashing, and small messages are the common case. With
 * more, it is a uthash table (Jenkins hash of the identifier) over the same order links; a
 * listed field has no table pointer. The table keeps at least one bucket per field so that
 * its chains stay short. */
#include "protocol/message_internals.h"

namespace qv::protocol {

using Field = QVCPMessage::Field;

namespace {

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

}  // namespace

void MessageInternals::unlinkListed(QVCPMessage *msg, Field *field)
{
   Field *prev = static_cast<Field *>(field->hh.prev);
   Field *next = NextField(field);
   if (prev != nullptr)
   {
      prev->hh.next = next;
   }
   else
   {
      msg->m_fields = next;
      if (next != nullptr)
         SetListOf(next, ListOf(field));  // the array stays with the first field
   }
   if (next != nullptr)
      next->hh.prev = prev;
}

void MessageInternals::appendField(QVCPMessage *msg, Field *field, Field *last)
{
   field->hh.tbl = nullptr;
   field->hh.prev = last;
   field->hh.next = nullptr;
   SetListOf(field, nullptr);
   if (last != nullptr)
      last->hh.next = field;
   else
      msg->m_fields = field;
}

void MessageInternals::indexField(QVCPMessage *msg, Field *field)
{
   // The rare ways, out of line, so that adding a new field to a list stays short.
   auto addHashed = [msg](Field * added) __attribute__((noinline))
   {
      hashField(msg, added, true);
      const UT_hash_table *table = msg->m_fields->hh.tbl;
      if (table->num_buckets < table->num_items)
         growTable(msg, 0);
   };
   auto dropListed = [msg](ListIndex * list, uint32_t key) __attribute__((noinline))
   {
      int old = FindInList(list, key);
      if (old >= 0)
      {
         unlinkListed(msg, list->fields[old]);
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
      hashFields(msg, LIST_INDEX_LIMIT + 1, false);
   else
      AddToList(list, field);
}

void MessageInternals::finishIndex(QVCPMessage *msg, size_t count, bool mayRepeat)
{
   if (count > LIST_INDEX_LIMIT)
   {
      hashFields(msg, count, mayRepeat);
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
               unlinkListed(msg, f);
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

void MessageInternals::hashField(QVCPMessage *msg, Field *field, bool mayRepeat)
{
   unsigned hash;
   HASH_VALUE(&field->key, sizeof(field->key), hash);
   if (mayRepeat)
   {
      Field *old;
      HASH_FIND_BYHASHVALUE(hh, msg->m_fields, &field->key, sizeof(field->key), hash, old);
      if (old != nullptr)
         HASH_DELETE(hh, msg->m_fields, old);
   }
   HASH_ADD_BYHASHVALUE(hh, msg->m_fields, key, sizeof(field->key), hash, field);
}

void MessageInternals::hashFields(QVCPMessage *msg, size_t expected, bool mayRepeat)
{
   Field *f = msg->m_fields;
   msg->m_fields = nullptr;
   while (f != nullptr)
   {
      Field *next = NextField(f);
      hashField(msg, f, mayRepeat);
      if (f == msg->m_fields)
         growTable(msg, expected);  // sized once, before the rest goes in
      f = next;
   }
}

void MessageInternals::growTable(QVCPMessage *msg, size_t expected)
{
   // As uthash's own expansion, but to the final power of two in one step: a table sized
   // for a received message does not pass through every size below it.
   UT_hash_table *table = msg->m_fields->hh.tbl;
   size_t wanted = (expected > table->num_items) ? expected : table->num_items;
   if (table->num_buckets >= wanted || table->noexpand)
      return;
   unsigned log2 = table->log2_num_buckets;
   while ((size_t(1) << log2) < wanted)
      log2++;
   unsigned count = 1u << log2;
   auto *buckets = static_cast<UT_hash_bucket *>(msg->m_pool.allocate(count * sizeof(UT_hash_bucket)));
   if (buckets == nullptr)
      uthash_fatal("out of memory");
   memset(buckets, 0, count * sizeof(UT_hash_bucket));
   unsigned items = table->num_items;
   table->ideal_chain_maxlen = (items >> log2) + (((items & (count - 1)) != 0) ? 1 : 0);
   table->nonideal_items = 0;
   for (unsigned b = 0; b < table->num_buckets; b++)
   {
      UT_hash_handle *hh = table->buckets[b].hh_head;
      while (hh != nullptr)
      {
         UT_hash_handle *next = hh->hh_next;
         UT_hash_bucket *bucket = &buckets[hh->hashv & (count - 1)];
         if (++bucket->count > table->ideal_chain_maxlen)
         {
            table->nonideal_items++;
            if (bucket->count > bucket->expand_mult * table->ideal_chain_maxlen)
               bucket->expand_mult++;
         }
         hh->hh_prev = nullptr;
         hh->hh_next = bucket->hh_head;
         if (bucket->hh_head != nullptr)
            bucket->hh_head->hh_prev = hh;
         bucket->hh_head = hh;
         hh = next;
      }
   }
   table->buckets = buckets;
   table->num_buckets = count;
   table->log2_num_buckets = log2;
   table->ineff_expands = (table->nonideal_items > (items >> 1)) ? table->ineff_expands + 1 : 0;
   if (table->ineff_expands > 1)
      table->noexpand = 1;
}

/* Kept out of line, so that the listed lookup stays small enough to be inlined into every
 * getter. */
__attribute__((noinline)) Field *MessageInternals::findHashed(Field *head, uint32_t fieldId)
{
   Field *field;
   HASH_FIND(hh, head, &fieldId, sizeof(fieldId), field);
   return field;
}

}  // namespace qv::protocol
