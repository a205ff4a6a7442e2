/* JSON strings from wide text, for the containers' toJson forms. */
#ifndef QORVEL_CONTAINERS_JSON_TEXT_H
#define QORVEL_CONTAINERS_JSON_TEXT_H

#include <qv_base.h>

namespace qv::containers {

/* A new JSON string with the UTF-8 form of text, an unpaired surrogate given as U+FFFD;
 * null when out of memory. */
json_t *StringFromWide(const wchar_t *text);

}  // namespace qv::containers

#endif
