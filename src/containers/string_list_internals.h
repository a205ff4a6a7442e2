/* The one friend of StringList, shared by the list's own unit and its message form. */
#ifndef QORVEL_CONTAINERS_STRING_LIST_INTERNALS_H
#define QORVEL_CONTAINERS_STRING_LIST_INTERNALS_H

#include <qv_containers.h>

namespace qv::containers {

/* The one friend of StringList: its slot array and pool copies, each on the list given. */
struct StringListInternals
{
   /* Takes a fresh slot array of the given size from the pool (none for 0). */
   static void initSlots(StringList *list, int32_t slots);
   /* Makes room for one more entry by the growth rule. */
   static bool reserveSlot(StringList *list);
   /* Appends a pool copy of count characters of text, terminated. */
   static void addChars(StringList *list, const wchar_t *text, size_t count);
   static void addFormatted(StringList *list, const wchar_t *format, ...);
};

}  // namespace qv::containers

#endif
