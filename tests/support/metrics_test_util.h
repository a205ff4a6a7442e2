/* Figures of the library's registry for tests: one figure of one source, read from the
 * JSON form. */
#ifndef QORVEL_TESTS_SUPPORT_METRICS_TEST_UTIL_H
#define QORVEL_TESTS_SUPPORT_METRICS_TEST_UTIL_H

#include <qorvel.h>

#include <jansson.h>

#include <string.h>

namespace qvtest {

/* The figure of the last source of kind named name (UTF-8); -1 when there is no such
 * source or figure. Integer figures only. */
inline int64_t LibraryFigure(const char *kind, const char *name, const char *figure)
{
   json_t *root = GetLibraryMetricsAsJson();
   int64_t value = -1;
   json_t *sources = json_object_get(root, kind);
   for (size_t i = 0; i < json_array_size(sources); i++)
   {
      json_t *source = json_array_get(sources, i);
      const char *sourceName = json_string_value(json_object_get(source, "name"));
      json_t *item = json_object_get(source, figure);
      if (sourceName != nullptr && strcmp(sourceName, name) == 0 && json_is_integer(item))
         value = json_integer_value(item);
   }
   json_decref(root);
   return value;
}

}  // namespace qvtest

#endif
